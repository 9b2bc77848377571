"""The executable against bad inputs and failing calls (Linux only).

Run as: faults_test.py --tool COMMAND --samples MAKE_SAMPLES --pwrite-faults LIB --peak-rss PEAK_RSS
Each case checks what the tool prints, its status, and what became of the file.
"""
import argparse
import os
import resource
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
import tool_test
import unprivileged
from pe_fields import BASE_RELOCATION_DIRECTORY, PeFields
from runs import image_base, listing, read_quietly, tmpfs
from tool_test import ToolTestCase, run

PWRITE_FAULTS = ""  # the LD_PRELOAD library that fails or interrupts writes
PEAK_RSS = ""


def run_measured(args, stdin, env=None):
    """Runs the tool; returns (status, stdout, peak RSS in KiB, bytes read)."""
    # A sanitized build must not hold freed memory back, or it looks like growth.
    env = dict(env or os.environ)
    env["ASAN_OPTIONS"] = "quarantine_size_mb=0:thread_local_quarantine_size_kb=0:verify_asan_link_order=0"
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as inp:
        inp.write(stdin)
        inp.seek(0)
        process = subprocess.run([PEAK_RSS] + tool_test.TOOL + args, stdin=inp, stdout=out, stderr=subprocess.PIPE,
                                 env=env, timeout=600, preexec_fn=tool_test.no_core_dumps)
        out.seek(0)
        rss = int(process.stderr.split(b"peak_rss_kib ")[-1])
        read = int(process.stderr.split(b"read_bytes ")[-1].split()[0])
        return process.returncode, out.read(), rss, read


def cannot_open(name):
    return b"Processing '%s'...\nFile '%s' cannot be opened, skipped.\n\n" % (name.encode(), name.encode())


class FailingWrites(ToolTestCase):
    def rebase_with(self, path, **env_vars):
        env = dict(os.environ, LD_PRELOAD=PWRITE_FAULTS, **env_vars)
        before = read_quietly(path)
        status, out, _, _ = run_measured([], path.encode() + b"\n", env)
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
        self.assertIn("it may be partly rebased", out)
        self.assertNotEqual(read_quietly(path), before)


class BadFiles(ToolTestCase):
    def test_files_that_are_not_regular_cannot_be_opened_without_blocking(self):
        fifo = self.path("fifo.dll")
        os.mkfifo(fifo)
        dangling = self.path("dangling.dll")
        os.symlink(self.path("nowhere.dll"), dangling)
        names = [self.dir, fifo, "/dev/zero", dangling]
        result = run([], listing(names))
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
        result = run([], listing(names), cwd=self.dir)
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

    def test_a_file_without_write_permission_is_refused_unchanged_even_as_root(self):
        # Run as whoever runs the suite: root too, whom the kernel would let
        # write, is refused, as Windows refuses a read-only file to an
        # administrator. The engine's refusal of the image before it leaves
        # no detail behind for the system's text.
        path, not_pe = self.samples[0], self.path("special-not-pe.dll")
        for mode in (0o444, 0o400, 0o555, 0o000):
            with self.subTest(mode=oct(mode), euid=os.geteuid()):
                os.chmod(path, mode)
                os.utime(path, ns=(1_400_000_000_123_456_789, 1_300_000_000_987_654_321))
                before = self.snapshot([path])
                result = run([], listing([not_pe, path]))
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, b"Scanning DLLs...\nProcessing '%s'...\nThe file is not a PE image. (DOS signature"
                                 b" 0x7878 is not \"MZ\")\nProcessing '%s'...\nPermission denied\n" % (not_pe.encode(), path.encode()))
                self.assertEqual(self.snapshot([path]), before)

    def assert_refused_on_a_tmpfs(self, size, prepare, text):
        """Mounts a tmpfs of `size`, where `prepare(mount)` puts an image (and
        makes the file system fail) and returns its path; the tool must refuse
        it with `text` at the end of its output and leave it unchanged."""
        with tmpfs("size=" + size, self.dir) as mount:
            path = prepare(mount)
            before = read_quietly(path)
            result = run([], path.encode() + b"\n")
            self.assertEqual(result.returncode, 2)
            self.assertTrue(result.stdout.endswith(text), result.stdout)
            self.assertEqual(read_quietly(path), before)

    def test_a_file_on_a_read_only_mount_is_refused_unchanged(self):
        def read_only(mount):
            path = os.path.join(mount, "a.dll")
            shutil.copy(self.samples[0], path)
            subprocess.run(["mount", "-o", "remount,ro", mount], check=True)
            return path
        self.assert_refused_on_a_tmpfs("16m", read_only, b"Read-only file system\n")

    def test_a_full_file_system_leaves_the_image_as_it_was(self):
        # Data left as holes: the first window lands in the page the headers
        # hold, the next ones in holes that the full file system cannot fill;
        # or one window reaches a page with data before it meets a hole.
        for data_pages, relocated, filled in ((4096, range(0, 4096, 16), ()),
                                              (512, (0, 0x81, 0x82, 0x83), (0, 0x81))):
            def full(mount):
                path = os.path.join(mount, "sparse.dll")
                write_sparse_image(path, self.samples[0], data_pages, list(relocated), filled)
                subprocess.run(["dd", "if=/dev/zero", "of=" + os.path.join(mount, "filler"), "bs=4096"],
                               capture_output=True)
                return path
            with self.subTest(data_pages=data_pages, filled=filled):
                self.assert_refused_on_a_tmpfs("4m", full, b"No space left on device\n")

    def test_a_sparse_huge_file_is_refused_quickly_in_bounded_memory(self):
        path = self.path("huge.dll")
        data = bytearray(read_quietly(self.samples[0]))
        fields = PeFields(data)
        # .data claims 3 GiB of raw data; the relocation directory claims
        # 2 GiB of it, all zeros: its first block is SizeOfBlock 0.
        fields.write(data, "number_of_sections", 1)
        struct.pack_into("<IIII", data, fields.section(0) + 8, 0xC0000000, 0x1000, 0xC0000000, 0x1000)
        fields.write(data, "size_of_image", 0xC0001000)
        struct.pack_into("<II", data, fields.directory(BASE_RELOCATION_DIRECTORY), 0x1000, 0x80000000)
        with open(path, "wb") as f:
            f.write(data)
            f.truncate(0xC0001000)
        status, out, rss, read = run_measured([], path.encode() + b"\n")
        self.assertEqual(status, 2)
        self.assertIn(b"has SizeOfBlock 0, below 8", out)
        self.assertLess(rss, 64 * 1024)
        # The headers and the first block, not the gigabytes behind them.
        self.assertLess(read, 1024 * 1024)


def write_sparse_image(path, template, data_pages, relocated_pages, filled_pages=()):
    """Writes at `path` an image made from `template` (a sample of one .data
    section and a .reloc section after it): .data grows to `data_pages`
    pages, left as holes in the file but for `filled_pages`, and the
    relocation table after it has a block with one HIGHLOW at offset 0x10
    for each of `relocated_pages`, in that order."""
    data = bytearray(read_quietly(template, 0x200))
    fields = PeFields(data)
    table = b"".join(struct.pack("<IIHH", 0x1000 + page * 0x1000, 12, 0x3010, 0) for page in relocated_pages)
    reloc_rva = 0x1000 + data_pages * 0x1000
    reloc_raw = 0x200 + data_pages * 0x1000
    struct.pack_into("<IIII", data, fields.section(0) + 8, data_pages * 0x1000, 0x1000, data_pages * 0x1000, 0x200)
    struct.pack_into("<IIII", data, fields.section(1) + 8, len(table), reloc_rva, (len(table) + 0x1FF) & ~0x1FF,
                     reloc_raw)
    fields.write(data, "size_of_image", (reloc_rva + len(table) + 0xFFF) & ~0xFFF)
    fields.write(data, "checksum", 0)  # no checksum: only the relocated pages are read
    struct.pack_into("<II", data, fields.directory(BASE_RELOCATION_DIRECTORY), reloc_rva, len(table))
    with open(path, "wb") as f:
        f.write(data)
        for page in filled_pages:
            f.seek(0x200 + page * 0x1000)
            f.write(b"\x11" * 0x1000)
        f.seek(reloc_raw)
        f.write(table)
        f.truncate(reloc_raw + ((len(table) + 0x1FF) & ~0x1FF))
    return reloc_raw


class OutOfOrderTables(ToolTestCase):
    """A relocation table in any order, or a hostile one, costs about what one
    in page order costs."""

    def rebase_measured(self, path):
        status, out, rss, _ = run_measured(["/BASE:20000000"], path.encode() + b"\n")
        self.assertEqual(status, 0, out)
        return rss

    def bound_kib(self, blocks):
        # Beside what a small image takes: a window and a table buffer of 256
        # KiB each, 16 bytes a block, and room for the allocator's rounding.
        small = self.rebase_measured(self.samples[1])
        return small + 512 + 16 * blocks // 1024 + 1024

    def test_a_backward_table_gives_the_bytes_of_a_forward_one_in_bounded_memory(self):
        images = {}
        for order in ("forward", "backward"):
            folder = self.path(order)
            os.mkdir(folder)
            # One image of 16,384 pages, a HIGHLOW every 16 bytes of each.
            subprocess.run([tool_test.MAKE_SAMPLES, folder, "1", "16384", "1", "0", order], check=True,
                           capture_output=True)
            images[order] = os.path.join(folder, "sample-0000.dll")
        # Views, so that comparing 64 MiB ranges copies none of them.
        original = {order: memoryview(read_quietly(path)) for order, path in images.items()}
        table_at = 0x200 + 16384 * 0x1000  # the .reloc section's raw data, after .data
        self.assertEqual(original["forward"][:table_at], original["backward"][:table_at])
        self.assertNotEqual(original["forward"][table_at:], original["backward"][table_at:])
        rss = {order: self.rebase_measured(path) for order, path in images.items()}
        rebased = {order: memoryview(read_quietly(path)) for order, path in images.items()}
        self.assertNotEqual(rebased["backward"][:table_at], original["backward"][:table_at])
        self.assertEqual(rebased["backward"][:table_at], rebased["forward"][:table_at])
        self.assertEqual(rebased["backward"][table_at:], original["backward"][table_at:])
        self.assertLess(rss["backward"], self.bound_kib(16384))
        # The table is 8.1 MiB: holding even a tenth of it shows, while the
        # allocator's own noise (larger under the sanitizers) stays below.
        self.assertLess(rss["backward"], rss["forward"] + 768)

    def test_blocks_over_thousands_of_sections_are_refused_in_bounded_memory(self):
        # 2,048 sections of two bytes in one page, the file data of each
        # right after the last: each block is one piece, and the overlap is
        # found before the pieces pile up. 8 MiB of blocks of 32,768 entries,
        # 16 MiB of 4,096 identical blocks.
        for blocks, entries in ((128, 32768), (4096, 2048)):
            with self.subTest(blocks=blocks, entries=entries):
                folder = tempfile.mkdtemp(dir=self.dir)
                path = subprocess.run([tool_test.MAKE_SAMPLES, folder, "--sections-in-one-page", str(blocks),
                                       str(entries)], check=True, capture_output=True).stdout.decode().strip()
                before = read_quietly(path)
                status, out, rss, _ = run_measured([], path.encode() + b"\n")
                self.assertEqual(status, 2)
                self.assertIn(b"The image relocation table is malformed. (relocation of type 1 at RVA 0x15", out)
                self.assertIn(b"overlaps another target)", out)
                self.assertEqual(read_quietly(path), before)
                self.assertLess(rss, self.bound_kib(blocks))

    def test_a_sparse_gigabyte_image_with_a_backward_table_rebases_in_bounded_memory(self):
        path = self.path("sparse.dll")
        pages = list(range(0, 262144, 8))[::-1]  # 1 GiB of data, a block for every eighth page, backwards
        table_at = write_sparse_image(path, self.samples[0], 262144, pages)
        self.assertLess(os.stat(path).st_blocks * 512, 4 << 20)
        rss = self.rebase_measured(path)
        self.assertLess(rss, self.bound_kib(len(pages)))
        with open(path, "rb") as f:
            for page in pages:
                value = struct.unpack("<I", os.pread(f.fileno(), 4, 0x200 + page * 0x1000 + 0x10))[0]
                self.assertEqual(value, 0x20000000 - 0x10000000, "page %d" % page)
            self.assertEqual(os.pread(f.fileno(), 4, 0x200 + 0x1000 + 0x10), bytes(4))
        self.assertEqual(image_base(path)[0], 0x20000000)
        self.assertEqual(os.path.getsize(path), table_at + ((12 * len(pages) + 0x1FF) & ~0x1FF))


class Interruptions(ToolTestCase):
    def test_a_signal_amid_the_writes_waits_for_the_image_and_then_ends_the_run(self):
        sparse = self.path("special-sparse-relocs.dll")  # four writes of its own
        listed = [sparse] + self.samples[:2]
        originals = self.snapshot(listed)
        expected_dir = os.path.join(self.dir, "expected")
        os.mkdir(expected_dir)
        for path in listed:
            shutil.copy(path, expected_dir)
        expected = os.path.join(expected_dir, os.path.basename(sparse))
        self.assertEqual(run([], expected.encode() + b"\n").returncode, 0)
        for sig, at in ((signal.SIGINT, 1), (signal.SIGTERM, 2), (signal.SIGHUP, 4), (signal.SIGQUIT, 3),
                        (signal.SIGPIPE, 2)):
            with self.subTest(signal=sig.name, write=at):
                for path, (data, atime, mtime) in originals.items():
                    with open(path, "wb") as f:
                        f.write(data)
                    os.utime(path, ns=(atime, mtime))
                env = dict(os.environ, LD_PRELOAD=PWRITE_FAULTS, SIGNAL_AT_PWRITE=str(at), SIGNAL=str(int(sig)))
                status, out, _, _ = run_measured([], listing(listed), env)
                self.assertEqual(status, 128 + sig)
                # Flushed before the end, and nothing after the image.
                self.assertEqual(out, b"Scanning DLLs...\nProcessing '%s'...\n" % sparse.encode())
                after = self.snapshot(listed)
                self.assertEqual(after[sparse], (read_quietly(expected),) + originals[sparse][1:])
                self.assertEqual({p: after[p] for p in listed[1:]}, {p: originals[p] for p in listed[1:]})


class LongLists(ToolTestCase):
    def test_memory_stays_flat_over_100000_names(self):
        def names(count):
            return [self.samples[i % 2] if i % 1000 == 0 else self.path("missing-%d.dll" % i) for i in range(count)]
        status_small, _, rss_small, _ = run_measured([], listing(names(100)))
        status_large, out, rss_large, _ = run_measured([], listing(names(100000)))
        self.assertEqual((status_small, status_large), (2, 2))
        self.assertEqual(out.count(b"Processing '"), 100000)
        self.assertLess(rss_large, rss_small + 512, "peak RSS grew with the list")


def main():
    global PWRITE_FAULTS, PEAK_RSS
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--samples", required=True)
    parser.add_argument("--pwrite-faults", required=True)
    parser.add_argument("--peak-rss", required=True)
    args, rest = parser.parse_known_args()
    tool_test.TOOL = [os.path.abspath(t) if os.path.exists(t) else t for t in shlex.split(args.tool)]
    tool_test.MAKE_SAMPLES = args.samples
    PWRITE_FAULTS = os.path.abspath(args.pwrite_faults)
    PEAK_RSS = os.path.abspath(args.peak_rss)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
