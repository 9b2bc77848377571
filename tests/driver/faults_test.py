"""The executable against bad inputs and failing calls (Linux only).

Run as: faults_test.py --tool COMMAND --samples MAKE_SAMPLES --fail-writes LIB
Each case checks what the tool prints, its status, and what became of the file.
"""
import argparse
import os
import resource
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
import tool_test
import unprivileged
from tool_test import ToolTestCase, image_base, read_quietly, run

FAIL_WRITES = ""
PEAK_RSS = ""


def run_measured(args, stdin, env=None):
    """Runs the tool; returns (status, stdout, peak RSS in KiB)."""
    # A sanitized build must not hold freed memory back, or it looks like growth.
    env = dict(env or os.environ)
    env["ASAN_OPTIONS"] = "quarantine_size_mb=0:thread_local_quarantine_size_kb=0:verify_asan_link_order=0"
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as inp:
        inp.write(stdin)
        inp.seek(0)
        process = subprocess.run([PEAK_RSS] + tool_test.TOOL + args, stdin=inp, stdout=out, stderr=subprocess.PIPE,
                                 env=env, timeout=600)
        out.seek(0)
        rss = int(process.stderr.split(b"peak_rss_kib ")[-1])
        return process.returncode, out.read(), rss


def cannot_open(name):
    return b"Processing '%s'...\nFile '%s' cannot be opened, skipped.\n\n" % (name.encode(), name.encode())


class FailingWrites(ToolTestCase):
    def rebase_with(self, path, **env_vars):
        env = dict(os.environ, LD_PRELOAD=FAIL_WRITES, **env_vars)
        before = read_quietly(path)
        status, out, _ = run_measured([], path.encode() + b"\n", env)
        return status, out.decode(), before

    def test_a_failed_write_leaves_the_old_image(self):
        path = self.path("special-sparse-relocs.dll")
        for at in ("1", "2", "3", "4"):  # the four pages with relocations
            with self.subTest(failing_write=at):
                status, out, before = self.rebase_with(path, FAIL_PWRITE_AT=at)
                self.assertEqual(status, 2)
                self.assertTrue(out.endswith("Input/output error\n"), out)
                self.assertEqual(read_quietly(path), before)

    def test_a_failed_restore_says_the_image_is_partly_rebased(self):
        path = self.path("special-sparse-relocs.dll")
        status, out, before = self.rebase_with(path, FAIL_PWRITE_AT="2", FAIL_PWRITE_AFTER="1")
        self.assertEqual(status, 2)
        self.assertIn("it is partly rebased", out)
        self.assertNotEqual(read_quietly(path), before)


class BadFiles(ToolTestCase):
    def test_files_that_are_not_regular_cannot_be_opened_without_blocking(self):
        fifo = self.path("fifo.dll")
        os.mkfifo(fifo)
        dangling = self.path("dangling.dll")
        os.symlink(self.path("nowhere.dll"), dangling)
        names = [self.dir, fifo, "/dev/zero", dangling]
        result = run([], "".join(n + "\n" for n in names).encode())
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, b"Scanning DLLs...\n" + b"".join(cannot_open(n) for n in names))

    def test_a_symlink_rebases_its_target_and_stays_a_link(self):
        link = self.path("link.dll")
        os.symlink(self.samples[0], link)
        result = run([], link.encode() + b"\n")
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertTrue(os.path.islink(link))
        self.assertEqual(image_base(self.samples[0])[0], 0x12000000)

    def test_a_file_truncated_after_listing_is_refused_unchanged(self):
        for size in (0, 0x40, 0x300):
            with self.subTest(size=size):
                path = self.samples[1]
                with open(path, "r+b") as f:
                    f.truncate(size)
                before = read_quietly(path)
                result = run([], path.encode() + b"\n")
                self.assertEqual(result.returncode, 2)
                self.assertEqual(len(result.stdout.decode().split("\n")), 4)
                self.assertEqual(read_quietly(path), before)

    def test_names_with_spaces_quotes_percent_and_utf8(self):
        names = ["with space.dll", "it's \"quoted\".dll", "100%s%n%d.dll", "größe-名前.dll"]
        for i, name in enumerate(names):
            shutil.copy(self.samples[i % 3], self.path(name))
        result = run([], "".join(n + "\n" for n in names).encode(), cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(result.stdout, b"Scanning DLLs...\n" + b"".join(b"Processing '%s'...\n" % n.encode() for n in names))
        self.assertEqual(image_base(self.path(names[0]))[0], 0x12000000)

    def test_a_read_only_file_is_refused_unchanged(self):
        if os.geteuid() != 0:
            os.chmod(self.samples[0], 0o444)
            run_tool = subprocess.run
        else:
            # Root writes anyway: run the tool as an unprivileged user instead.
            os.chmod(self.dir, 0o755)
            os.chmod(self.samples[0], 0o444)
            run_tool = unprivileged.run_as_nobody
        before = read_quietly(self.samples[0])
        result = run_tool(tool_test.TOOL, input=self.samples[0].encode() + b"\n", capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertTrue(result.stdout.endswith(b"Permission denied\n"), result.stdout)
        self.assertEqual(read_quietly(self.samples[0]), before)

    def test_a_file_on_a_read_only_mount_is_refused_unchanged(self):
        mount = self.path("mnt")
        os.mkdir(mount)
        if subprocess.run(["mount", "-t", "tmpfs", "tmpfs", mount], capture_output=True).returncode != 0:
            self.skipTest("cannot mount a file system here")
        try:
            path = os.path.join(mount, "a.dll")
            shutil.copy(self.samples[0], path)
            subprocess.run(["mount", "-o", "remount,ro", mount], check=True)
            before = read_quietly(path)
            result = run([], path.encode() + b"\n")
            self.assertEqual(result.returncode, 2)
            self.assertTrue(result.stdout.endswith(b"Read-only file system\n"), result.stdout)
            self.assertEqual(read_quietly(path), before)
        finally:
            subprocess.run(["umount", mount])

    def test_a_sparse_huge_file_is_refused_quickly_in_bounded_memory(self):
        path = self.path("huge.dll")
        data = bytearray(read_quietly(self.samples[0]))
        lfanew = struct.unpack_from("<I", data, 0x3C)[0]
        table = lfanew + 24 + 224
        # .data claims 3 GiB of raw data; the relocation directory claims
        # 2 GiB of it, all zeros: its first block is SizeOfBlock 0.
        struct.pack_into("<H", data, lfanew + 6, 1)
        struct.pack_into("<IIII", data, table + 8, 0xC0000000, 0x1000, 0xC0000000, 0x1000)
        struct.pack_into("<I", data, lfanew + 24 + 56, 0xC0001000)
        struct.pack_into("<II", data, lfanew + 24 + 96 + 40, 0x1000, 0x80000000)
        with open(path, "wb") as f:
            f.write(data)
            f.truncate(0xC0001000)
        started = time.monotonic()
        status, out, rss = run_measured([], path.encode() + b"\n")
        self.assertEqual(status, 2)
        self.assertIn(b"SizeOfBlock 0 is below 8", out)
        self.assertLess(rss, 64 * 1024)
        self.assertLess(time.monotonic() - started, 30)


class LongLists(ToolTestCase):
    def test_memory_stays_flat_over_100000_names(self):
        def listing(count):
            lines = []
            for i in range(count):
                lines.append(self.samples[i % 2] if i % 1000 == 0 else self.path("missing-%d.dll" % i))
            return "".join(n + "\n" for n in lines).encode()
        status_small, _, rss_small = run_measured([], listing(100))
        status_large, out, rss_large = run_measured([], listing(100000))
        self.assertEqual((status_small, status_large), (2, 2))
        self.assertEqual(out.count(b"Processing '"), 100000)
        self.assertLess(rss_large, rss_small + 512, "peak RSS grew with the list")


def main():
    global FAIL_WRITES, PEAK_RSS
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--samples", required=True)
    parser.add_argument("--fail-writes", required=True)
    parser.add_argument("--peak-rss", required=True)
    args, rest = parser.parse_known_args()
    tool_test.TOOL = [os.path.abspath(t) if os.path.exists(t) else t for t in shlex.split(args.tool)]
    tool_test.MAKE_SAMPLES = args.samples
    FAIL_WRITES = os.path.abspath(args.fail_writes)
    PEAK_RSS = os.path.abspath(args.peak_rss)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
