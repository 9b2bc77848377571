"""Black-box tests of the Dorvane executable.

Run as: tool_test.py --tool "COMMAND" --samples MAKE_SAMPLES
                    [--platform posix|windows] [--pointer-bits 32|64] [--locker "COMMAND"]
                    [unittest args]
COMMAND is how the tool is started (split like a shell would), so the same
cases run against any build of it: the Linux executable, or Dorvane.exe under
Wine. A Windows build writes its texts in text mode ("\r\n") and keeps file
times in 100 ns units; --locker names a program that holds a file open
without sharing (there, an flock is no lock). --pointer-bits is the width
of the build's ULONG_PTR: 32 in a 32-bit build, for Windows or Linux, which
cannot report a base above 4 GiB.
"""
import argparse
import contextlib
import fcntl
import os
import random
import resource
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
from pe_fields import BASE_RELOCATION_DIRECTORY, PeFields
from runs import image_base, listing, read_quietly

TOOL = []
MAKE_SAMPLES = ""
PLATFORM = "posix"
POINTER_BITS = 64
LOCKER = []
# Words of the system's texts that each platform's build writes.
TEXTS = {
    "posix": {"missing": "No such file", "not_pe": "not a PE image", "signed": "signed",
              "no_relocations": "The image has no relocations and cannot be moved."},
    "windows": {"missing": "File not found", "not_pe": "Bad EXE format", "signed": "error 217",
                "no_relocations": "Invalid address.",
                "invalid_parameter": "Invalid parameter."},
}
BANNER_TITLE = b"Quillmere v.1.2"
SECOND = 10**9
YEAR = 31556952 * SECOND  # a mean Gregorian year, in nanoseconds
AT_1601 = -11644473600 * SECOND
# (last-access, last-write) times in nanoseconds since 1970 that a rebase and
# a check must keep exactly. tmpfs keeps every time a 64-bit time_t holds, to
# the nanosecond; Windows keeps 1601 to 30827 in 100 ns units.
FAR_TIMES = {
    "posix": [(AT_1601 - 571 * YEAR + 123456789, 58030 * YEAR + 987654321),  # the years 1030 and 60000
              (AT_1601 - 1, AT_1601), (-1, AT_1601 + 2**64 * 100),  # the ends of a 64-bit count of 100 ns
              (-2**63 * SECOND, (2**63 - 1) * SECOND)],
    "windows": [(AT_1601 + 100, 28030 * YEAR + 987654300), (AT_1601 + 99 * YEAR + 1234567800, -100)],
}
USAGE = b"Usage: Dorvane.exe [/BASE:<hex_digit>] [/CHECK]\n"


def text(key):
    return TEXTS[PLATFORM][key]


def normalized(result):
    """Undoes the text-mode line ends of a Windows build."""
    if PLATFORM == "windows":
        result.stdout = result.stdout.replace(b"\r\n", b"\n")
        result.stderr = result.stderr.replace(b"\r\n", b"\n")
    return result


def no_core_dumps():
    """For the tool's process: a SIGQUIT that ends it writes no core file."""
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def run(args, stdin=b"", cwd=None):
    return normalized(subprocess.run(TOOL + args, input=stdin, capture_output=True, cwd=cwd, timeout=120))


def file_time(ns):
    """A file time that the platform keeps exactly."""
    return ns - ns % 100 if PLATFORM == "windows" else ns


def texts_after(out, names):
    """What the tool wrote after each name's Processing line."""
    body = out.decode()
    texts = []
    for i, name in enumerate(names):
        start = body.index(f"Processing '{name}'...\n") + len(f"Processing '{name}'...\n")
        end = body.index(f"Processing '{names[i + 1]}'...", start) if i + 1 < len(names) else len(body)
        texts.append(body[start:end])
    return texts


class ToolTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        made = subprocess.run([MAKE_SAMPLES, self.dir, "3"], capture_output=True, check=True)
        self.samples = made.stdout.decode().split()

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def pe32_plus_sample(self, name):
        """A PE32+ sample at `name` in the test directory: DIR64 relocations, a
        checksum, based at 0x10000000, 0x20000 bytes once rounded to 64 KiB."""
        other = os.path.join(self.dir, "pe32plus")
        os.makedirs(other, exist_ok=True)
        made = subprocess.run([MAKE_SAMPLES, other, "10"], capture_output=True, check=True).stdout.decode().split()
        shutil.copy(made[9], self.path(name))
        self.assertTrue(PeFields(read_quietly(self.path(name))).pe32_plus)
        return self.path(name)

    def snapshot(self, paths):
        state = {}
        for p in paths:
            st = os.stat(p)
            state[p] = (read_quietly(p), st.st_atime_ns, st.st_mtime_ns)
        return state

    def assertProcessing(self, out, names):
        expected = b"Scanning DLLs...\n" + b"".join(b"Processing '%s'...\n" % n.encode() for n in names)
        self.assertEqual(out, expected)


class CommandLine(ToolTestCase):
    def test_bad_arguments_give_usage_and_200_without_reading_input(self):
        for args in (["-CHECK"], ["CHECK"], [""], ["/"], ["/BASE"], ["/BAS"], ["/BASE:1", "x"], ["/FOO:1"]):
            with self.subTest(args=args), tempfile.TemporaryFile() as stdin:
                stdin.write(self.samples[0].encode() + b"\n")
                stdin.seek(0)
                result = normalized(subprocess.run(TOOL + args, stdin=stdin, capture_output=True, timeout=60))
                self.assertEqual(result.returncode, 200)
                self.assertTrue(result.stderr.startswith(BANNER_TITLE), result.stderr)
                self.assertTrue(result.stderr.endswith(b"\n\n" + USAGE))
                self.assertEqual(result.stdout, b"")
                self.assertEqual(os.lseek(stdin.fileno(), 0, os.SEEK_CUR), 0)

    def test_empty_input_writes_banner_and_scanning_only(self):
        result = run([])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"Scanning DLLs...\n")
        self.assertTrue(result.stderr.startswith(BANNER_TITLE))
        self.assertTrue(result.stderr.endswith(b"\n\n"))
        self.assertEqual(result.stderr.count(b"\n"), 2)

    def test_base_option_forms(self):
        cases = [([], 0x12000000), (["/BASE:30000000"], 0x30000000), (["/base:30000000"], 0x30000000),
                 (["/BASE:300000001"], 0x30000000), (["/BASE:"], 0x12000000), (["/BASE:XYZ"], 0x12000000),
                 (["/BASE:30000000", "/BASE:40000000"], 0x40000000), (["/BASE:0x30000000"], 0x30000000),
                 (["/BASE:0X30000000"], 0x30000000), (["/base:0x300000001"], 0x30000000),
                 (["/BASE:0x50000"], 0x50000), (["/BASE:0x"], 0x12000000), (["/BASE:0xXYZ"], 0x12000000)]
        for args, expected in cases:
            with self.subTest(args=args):
                result = run(args, self.samples[0].encode() + b"\n")
                self.assertEqual(result.returncode, 0, result.stdout)
                self.assertEqual(image_base(self.samples[0])[0], expected)


class InputLines(ToolTestCase):
    def test_names_are_trimmed_of_trailing_blanks_only(self):
        os.rename(self.samples[0], self.path("  lead.dll"))
        result = run([], b"  lead.dll \t\r\n", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertProcessing(result.stdout, ["  lead.dll"])

    def test_blank_line_is_the_empty_name(self):
        result = run([], b"   \n")
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, b"Scanning DLLs...\nProcessing ''...\nFile '' cannot be opened, skipped.\n\n")

    def long_name(self, length):
        """A relative path of `length` characters naming a copy of a sample."""
        folder = os.path.join("d" * 120, "e" * 120)
        name = os.path.join(folder, "f" * (length - len(folder) - 5) + ".dll")
        os.makedirs(self.path(folder), exist_ok=True)
        os.replace(self.samples[0], self.path(name))
        self.samples[0] = self.path(name)
        return name

    def test_names_of_258_and_259_characters_are_one_name_whatever_blanks_follow(self):
        # Blanks, tabs and carriage returns after the name are trimmed, so
        # they do not count against the limit (a list written on Windows ends
        # its lines with CRLF).
        for length in (258, 259):
            name = self.long_name(length).encode()
            for lines, count in ((name + b"\n" + name + b"\r\n" + name + b" \t \r\n" + name + b"  ", 4),
                                 (name, 1), (name + b"\r", 1)):
                with self.subTest(length=length, lines=lines[len(name):]):
                    result = run([], lines, cwd=self.dir)
                    self.assertEqual(result.returncode, 0, result.stdout)
                    self.assertProcessing(result.stdout, [name.decode()] * count)

    def test_longer_line_is_skipped_whole_and_counts_against_the_run(self):
        os.rename(self.samples[1], self.path("b.dll"))
        for tail in ("b.dll", " b.dll", "\rb.dll", "\t\r b"):
            with self.subTest(tail=tail):
                result = run([], ("x" * 259 + tail).encode() + b"\nb.dll\n", cwd=self.dir)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, b"Scanning DLLs...\nName '%s...' is too long, skipped.\n\n"
                                 b"Processing 'b.dll'...\n" % ("x" * 259).encode())
        self.assertEqual(image_base(self.path("b.dll"))[0], 0x12000000)

    def test_a_line_holding_a_nul_is_skipped_whole_and_counts_against_the_run(self):
        os.makedirs(self.path("sub"))
        os.rename(self.samples[0], self.path("lib7.dll"))
        os.rename(self.samples[1], self.path("b.dll"))
        guarded = [self.path("lib7.dll"), self.path("b.dll")]
        # The first line's bytes after the 259th, read as a name of their own,
        # would rebase lib7.dll.
        crafted = b"sub/\0" + b"x" * 254 + b"lib7.dll"
        skipped = b"Name '%s...' contains a NUL character, skipped.\n\n"
        cases = [(crafted + b"\n\0lib7.dll\nlib7.dll\0\n", [b"sub/", b"", b"lib7.dll"]), (crafted, [b"sub/"]),
                 (b"lib7.dll\0b.dll\0", [b"lib7.dll"]), (b"b.dll\0", [b"b.dll"])]  # as from find -print0
        for lines, before_nul in cases:
            with self.subTest(lines=lines):
                before = self.snapshot(guarded)
                result = run([], lines, cwd=self.dir)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, b"Scanning DLLs...\n" + b"".join(skipped % t for t in before_nul))
                self.assertEqual(self.snapshot(guarded), before)
        # The next line is processed as usual.
        result = run([], b"lib7.dll\0x\r\nb.dll\n", cwd=self.dir)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, b"Scanning DLLs...\n" + skipped % b"lib7.dll" + b"Processing 'b.dll'...\n")
        self.assertEqual(image_base(self.path("b.dll"))[0], 0x12000000)
        self.assertEqual(image_base(self.path("lib7.dll"))[0], 0x10000000)


class Rebasing(ToolTestCase):
    def test_images_go_to_consecutive_bases_and_keep_their_times(self):
        times = [(file_time(1_600_000_000_123_456_789), file_time(1_500_000_000_987_654_321)),
                 (file_time(1_234_567_890_000_000_001), file_time(1_234_567_890_999_999_999))]
        for path, (atime, mtime) in zip(self.samples, times):
            os.utime(path, ns=(atime, mtime))
        result = run(["/BASE:20000000"], listing(self.samples[:2]))
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertProcessing(result.stdout, self.samples[:2])
        first_base, first_size = image_base(self.samples[0])
        self.assertEqual(first_base, 0x20000000)
        self.assertEqual(image_base(self.samples[1])[0], 0x20000000 + ((first_size + 0xFFFF) & ~0xFFFF))
        for path, (atime, mtime) in zip(self.samples, times):
            st = os.stat(path)
            self.assertEqual((st.st_atime_ns, st.st_mtime_ns), (atime, mtime))

    def test_file_times_far_from_today_are_kept_exactly(self):
        with tempfile.TemporaryDirectory(dir="/dev/shm") as tmpfs:
            path = os.path.join(tmpfs, "far.dll")
            for atime, mtime in FAR_TIMES[PLATFORM]:
                with self.subTest(atime=atime, mtime=mtime):
                    shutil.copy(self.samples[0], path)
                    os.utime(path, ns=(atime, mtime))
                    st = os.stat(path)
                    self.assertEqual((st.st_atime_ns, st.st_mtime_ns), (atime, mtime), "tmpfs did not keep the times")
                    for args in ([], ["/CHECK"]):
                        result = run(args, path.encode() + b"\n")
                        self.assertEqual(result.returncode, 0, result.stdout)
                        st = os.stat(path)
                        self.assertEqual((st.st_atime_ns, st.st_mtime_ns), (atime, mtime), args)
                    self.assertEqual(image_base(path)[0], 0x12000000)

    def test_no_image_is_placed_once_the_bases_pass_4_gib(self):
        def refused(base):
            detail = "(requested base 0x%X lies beyond 4 GiB)" % base
            if PLATFORM == "windows":
                return "%s %s\r\n\n" % (text("invalid_parameter"), detail)
            return "The requested base address is invalid for this image. %s\n" % detail
        top = self.pe32_plus_sample("top.dll")
        x64 = self.pe32_plus_sample("x64.dll")
        missing = self.path("missing.dll")
        cannot_open = "File '%s' cannot be opened, skipped.\n\n" % missing
        # A PE32+ image may end past 4 GiB; the base after it may not, nor
        # may it wrap to a low address (here 0x00010000).
        cases = [(["/BASE:FFFF0000"], [top], [self.samples[0], x64, missing, self.samples[1]],
                  [refused(0x100010000)] * 2 + [cannot_open, refused(0x100010000)]),
                 (["/BASE:FFFE0000"], self.samples[:2], [self.samples[2], x64], [refused(0x100000000)] * 2)]
        for args, placed, remaining, texts in cases:
            with self.subTest(args=args):
                for path in [p for p in placed + remaining if p != missing]:
                    os.utime(path, ns=(file_time(1_500_000_000_000_000_100), file_time(1_500_000_000_000_000_200)))
                before = self.snapshot([p for p in remaining if os.path.exists(p)])
                result = run(args, listing(placed + remaining))
                self.assertEqual(result.returncode, 2)
                self.assertEqual(texts_after(result.stdout, placed + remaining), [""] * len(placed) + texts)
                self.assertEqual(self.snapshot(list(before)), before)
                self.assertEqual([image_base(p)[0] for p in placed], [int(args[0][6:], 16) + 0x10000 * i for i in range(len(placed))])

    def test_a_name_given_twice_is_rebased_twice(self):
        result = run([], ((self.samples[0] + "\n") * 2 + self.samples[1] + "\n").encode())
        self.assertEqual(result.returncode, 0)
        _, size = image_base(self.samples[0])
        self.assertEqual(image_base(self.samples[0])[0], 0x12000000 + ((size + 0xFFFF) & ~0xFFFF))
        self.assertEqual(image_base(self.samples[1])[0], 0x12000000 + 2 * ((size + 0xFFFF) & ~0xFFFF))

    def test_missing_and_locked_files_cannot_be_opened_and_the_run_goes_on(self):
        missing = self.path("missing.dll")
        with self.held(self.samples[0]):
            before = self.snapshot([self.samples[0]])
            result = run([], f"{missing}\n{self.samples[0]}\n{self.samples[1]}\n".encode())
            after = self.snapshot([self.samples[0]])
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout,
                         b"Scanning DLLs...\n"
                         b"Processing '%s'...\nFile '%s' cannot be opened, skipped.\n\n"
                         b"Processing '%s'...\nFile '%s' cannot be opened, skipped.\n\n"
                         b"Processing '%s'...\n" % tuple(p.encode() for p in (missing, missing, self.samples[0], self.samples[0], self.samples[1])))
        self.assertEqual(before, after)
        self.assertEqual(image_base(self.samples[1])[0], 0x12000000)

    @contextlib.contextmanager
    def held(self, path):
        """Another process holds `path` open without sharing."""
        if not LOCKER:
            with open(path, "rb") as f:
                fcntl.flock(f, fcntl.LOCK_EX)
                yield
            return
        holder = subprocess.Popen(LOCKER + [path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline().strip(), b"held")
            yield
        finally:
            holder.stdin.close()
            holder.wait(timeout=60)

    def test_refused_images_get_the_system_text_and_stay_unchanged(self):
        refused = [self.path(n) for n in ("special-not-pe.dll", "special-truncated.dll", "special-system.dll", "special-signed.dll",
                                          "special-no-relocs.dll")]
        for path in refused:
            os.utime(path, ns=(file_time(1_000_000_000_000_000_007), file_time(1_100_000_000_000_000_009)))
        before = self.snapshot(refused)
        result = run([], listing(refused + [self.samples[0]]))
        self.assertEqual(result.returncode, 2)
        texts = texts_after(result.stdout, refused + [self.samples[0]])
        for message in texts[:-1]:
            self.assertTrue(message.endswith("\n") and len(message.strip()) > 0, message)
            self.assertNotIn("cannot be opened", message)
        # The engine's detail follows the system's text on its line, on every
        # platform.
        self.assertIn(text("not_pe"), texts[0])
        self.assertRegex(texts[0], r' \(DOS signature 0x7878 is not "MZ"\)\r?\n')
        self.assertIn(text("signed"), texts[3])
        self.assertIn(text("no_relocations"), texts[4])
        self.assertEqual(texts[-1], "")
        self.assertEqual(self.snapshot(refused), before)
        # No refused image moved the base on.
        self.assertEqual(image_base(self.samples[0])[0], 0x12000000)


class CheckMode(ToolTestCase):
    def setUp(self):
        super().setUp()
        self.at_default = self.path("special-at-400000.dll")
        # samples[0] goes to 0x30000000 so both kinds are listed.
        run(["/BASE:30000000"], self.samples[0].encode() + b"\n")
        self.listed = [self.at_default, self.samples[0], self.samples[1]]
        for i, path in enumerate(self.listed):
            os.utime(path, ns=(file_time(1_300_000_000_000_000_001 + 100 * i), file_time(1_200_000_000_000_000_003 + 100 * i)))

    def check(self, args, names):
        for n in names:
            if os.path.exists(n):
                st = os.stat(n)
                os.utime(n, ns=(file_time(st.st_atime_ns), file_time(st.st_mtime_ns)))
        before = self.snapshot([n for n in names if os.path.exists(n)])
        result = run(args, listing(names))
        self.assertEqual(self.snapshot(list(before)), before, "check mode changed a file or its times")
        return result

    def report(self, entries):
        return b"Scanning DLLs...\n" + b"".join(b"Processing '%s'...\n%s" % (n.encode(), extra) for n, extra in entries)

    def test_reports_only_images_at_the_comparison_value(self):
        for args in (["/CHECK"], ["/check"], ["/CHECKALL"], ["/BASE:30000000", "/CHECK"]):
            with self.subTest(args=args):
                result = self.check(args, self.listed)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, self.report([(self.at_default, b"Image is not based\n\n"),
                                                              (self.samples[0], b""), (self.samples[1], b"")]))

    def test_a_base_after_check_is_the_comparison_value(self):
        result = self.check(["/CHECK", "/BASE:30000000"], self.listed)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, self.report([(self.at_default, b""), (self.samples[0], b"Image is not based\n\n"),
                                                      (self.samples[1], b"")]))

    def test_no_image_at_the_value_gives_status_0(self):
        result = self.check(["/CHECK"], self.listed[1:])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, self.report([(self.samples[0], b""), (self.samples[1], b"")]))

    def test_failed_queries_are_reported_and_not_compared(self):
        missing = self.path("missing.dll")
        bad = [missing, self.path("special-not-pe.dll"), self.path("special-truncated.dll")]
        # Compared with 0: a query that left its output unset must not match.
        result = self.check(["/CHECK", "/BASE:0"], bad)
        self.assertEqual(result.returncode, 0)
        texts = texts_after(result.stdout, bad)
        for message in texts:
            self.assertNotIn("Image is not based", message)
            self.assertTrue(message.endswith("\n") and len(message.strip()) > 0, message)
        self.assertIn(text("missing"), texts[0])

    def test_reads_the_base_of_headers_that_the_loader_takes_and_a_rebase_refuses(self):
        data = bytearray(read_quietly(self.at_default))
        fields = PeFields(data)
        lfanew = fields.lfanew
        # The NT headers at 4, inside the DOS header, as in the smallest
        # hand-made programs, of a program without relocations. e_lfanew is
        # SectionAlignment then: mapped as the file lies, with FileAlignment
        # the same and each section at its file offset.
        inside = bytearray(data)
        struct.pack_into("<II", inside, fields.directory(BASE_RELOCATION_DIRECTORY), 0, 0)
        struct.pack_into("<I", inside, fields.section(0) + 36, 0x60000020)  # Characteristics: code
        struct.pack_into("<I", inside, fields.optional + 36, 4)  # FileAlignment
        for index in (0, 1):
            struct.pack_into("<I", inside, fields.section(index) + 12, struct.unpack_from("<I", inside, fields.section(index) + 20)[0])
        length = fields.section(2) - lfanew
        inside[4:4 + length] = inside[lfanew:lfanew + length]
        inside[4 + length:lfanew + length] = bytes(lfanew - 4)
        struct.pack_into("<I", inside, 0x3C, 4)
        # SizeOfOptionalHeader 0: the section table over the optional header.
        no_optional = bytearray(data)
        fields.write(no_optional, "size_of_optional_header", 0)
        shapes = {"inside-dos-header.dll": inside, "no-optional-header.dll": no_optional,
                  "headers-past-end.dll": data[:fields.optional + 60]}  # the loader reads zeros past the end
        paths = []
        for name, image in shapes.items():
            paths.append(self.path(name))
            with open(paths[-1], "wb") as f:
                f.write(image)
        result = self.check(["/CHECK"], paths)
        self.assertEqual(result.stdout, self.report([(p, b"Image is not based\n\n") for p in paths]))
        self.assertEqual(result.returncode, 2)
        before = self.snapshot(paths)
        result = run([], listing(paths))
        self.assertEqual(result.returncode, 2)
        for message in texts_after(result.stdout, paths):
            self.assertTrue(message.endswith("\n") and len(message.strip()) > 0, message)
        self.assertIn(text("no_relocations"), texts_after(result.stdout, paths)[0])
        self.assertEqual(self.snapshot(paths), before)

    def test_pe32_plus_images_are_compared_with_their_whole_base(self):
        # Where ULONG_PTR has 64 bits (the x86-64 builds) the whole base is
        # compared, and none of these is at the value. Where it has 32 (the
        # 32-bit x86 builds, for Windows and for Linux) a base above 4 GiB
        # cannot be handed out and the query is refused, in each system's
        # words; it is never cut to its low 32 bits, which for 0x100400000
        # would be 0x00400000.
        def above(base):
            if POINTER_BITS == 64:
                return b""
            if PLATFORM == "windows":
                return text("invalid_parameter").encode() + b"\r\n\n"
            return b"The image base does not fit in 32 bits. (ImageBase 0x%X is above 4 GiB)\n" % base
        reported = b"Image is not based\n\n"
        cases = [(0x180000000, ["/CHECK"], above(0x180000000), 0), (0x100400000, ["/CHECK"], above(0x100400000), 0),
                 (0x110000000, ["/CHECK", "/BASE:10000000"], above(0x110000000), 0),
                 (0x00400000, ["/CHECK"], reported, 2), (0x10000000, ["/CHECK", "/BASE:10000000"], reported, 2)]
        path = self.pe32_plus_sample("x64.dll")
        data = bytearray(read_quietly(path))
        fields = PeFields(data)
        for base, args, after, status in cases:
            with self.subTest(base=hex(base), args=args):
                # A query reads only the headers: the ImageBase field alone is moved.
                fields.write(data, "image_base", base)
                with open(path, "wb") as f:
                    f.write(data)
                result = self.check(args, [path])
                self.assertEqual(result.stdout, self.report([(path, after)]))
                self.assertEqual(result.returncode, status)

    def test_queries_images_that_a_rebase_would_refuse(self):
        refused = [self.path("special-system.dll"), self.path("special-signed.dll")]
        result = self.check(["/CHECK", "/BASE:10000000"], refused)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, self.report([(n, b"Image is not based\n\n") for n in refused]))


class Interruptions(ToolTestCase):
    """Runs over many images, interrupted at random moments."""
    SEED = 11
    COUNT = 200
    TRIALS = {"posix": 24, "windows": 10}
    # Wine turns SIGINT into Ctrl-C; the other signals it does not pass on.
    SIGNALS = {"posix": [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT], "windows": [signal.SIGINT]}

    def ended_by(self, sig):
        # Windows ends a process on Ctrl-C with STATUS_CONTROL_C_EXIT
        # (0xC000013A), of which a POSIX parent sees the low byte.
        return 0x3A if PLATFORM == "windows" else -sig

    def test_each_image_is_left_unchanged_or_wholly_rebased(self):
        rng = random.Random(self.SEED)
        pristine, expected_dir, work = (os.path.join(self.dir, d) for d in ("pristine", "expected", "work"))
        for d in (pristine, expected_dir, work):
            os.mkdir(d)
        names = [os.path.basename(p) for p in
                 subprocess.run([MAKE_SAMPLES, pristine, str(self.COUNT)], capture_output=True, check=True).stdout.decode().split()]
        original = [(read_quietly(os.path.join(pristine, n)), file_time(1_600_000_000_000_000_000 + 1_234_567 * i),
                     file_time(1_500_000_000_000_000_000 + 7_654_321 * i)) for i, n in enumerate(names)]

        def copy_originals(directory):
            for name, (data, atime, mtime) in zip(names, original):
                with open(os.path.join(directory, name), "wb") as f:
                    f.write(data)
                os.utime(os.path.join(directory, name), ns=(atime, mtime))
        copy_originals(expected_dir)
        status, full_out, duration = self.interrupted(listing(os.path.join(expected_dir, n) for n in names),
                                                      os.path.join(expected_dir, names[0]), original[0][0])
        self.assertEqual(status, 0, full_out)
        expected = [read_quietly(os.path.join(expected_dir, n)) for n in names]
        listed = listing(os.path.join(work, n) for n in names)
        full_out = full_out.replace(expected_dir.encode(), work.encode())
        paths = [os.path.join(work, n) for n in names]
        midway = 0
        for trial in range(self.TRIALS[PLATFORM]):
            copy_originals(work)
            sig = rng.choice(self.SIGNALS[PLATFORM])
            # The signal comes a random moment after a random image in the
            # first half of the list began to change: a moment inside an image
            # or between two, whatever the machine's load.
            watched = rng.randrange(1, self.COUNT // 2)
            delay = rng.uniform(0, 3 * duration / self.COUNT)
            with self.subTest(seed=self.SEED, trial=trial, signal=sig.name, watched=watched, delay=delay):
                status, out, _ = self.interrupted(listed, paths[watched], original[watched][0], delay, sig)
                after = self.snapshot(paths)
                done = 0
                for i, path in enumerate(paths):
                    data, atime, mtime = after[path]
                    self.assertEqual((atime, mtime), original[i][1:], path)
                    self.assertIn(data, (original[i][0], expected[i]), "%s is neither as it was nor rebased" % path)
                    if data == expected[i]:
                        # The tool stops between images and takes them in order.
                        self.assertEqual(done, i, "%s is rebased after an image that is not" % path)
                        done += 1
                self.assertTrue(full_out.startswith(out), out[-300:])
                if status == 0:
                    # The run was over before the signal came.
                    self.assertEqual((done, out), (self.COUNT, full_out))
                else:
                    self.assertEqual(status, self.ended_by(sig))
                    self.assertGreaterEqual(done, watched, "an image before the one that began to change is not rebased")
                    midway += done < self.COUNT
        # Otherwise too few runs were interrupted midway to tell anything.
        self.assertGreaterEqual(midway, self.TRIALS[PLATFORM] // 3)

    def interrupted(self, listed, watched, watched_original, delay=0, sig=None):
        """Runs the tool over `listed` and sends it `sig` (if any) `delay`
        seconds after the `watched` image changed. Returns its status, its
        standard output and the seconds from that change to its end."""
        with tempfile.TemporaryFile() as stdin, tempfile.TemporaryFile() as stdout:
            stdin.write(listed)
            stdin.seek(0)
            tool = subprocess.Popen(TOOL + ["/BASE:20000000"], stdin=stdin, stdout=stdout, stderr=subprocess.DEVNULL,
                                    preexec_fn=no_core_dumps)
            while tool.poll() is None and read_quietly(watched) == watched_original:
                time.sleep(0.0002)
            changed = time.monotonic()
            if sig is not None:
                time.sleep(delay)
                tool.send_signal(sig)
            status = tool.wait(timeout=120)
            ended = time.monotonic()
            stdout.seek(0)
            out = stdout.read()
        return status, out.replace(b"\r\n", b"\n") if PLATFORM == "windows" else out, ended - changed


class RebaseUnavailable(ToolTestCase):
    """A build whose platform ReBaseImage is not implemented (Wine's imagehlp)."""

    def test_every_image_fails_with_the_system_text_and_stays_unchanged(self):
        listed = self.samples + [self.path("special-not-pe.dll")]
        for path in listed:
            os.utime(path, ns=(file_time(1_400_000_000_000_000_000), file_time(1_400_000_000_000_000_000)))
        before = self.snapshot(listed)
        result = run(["/BASE:20000000"], listing(listed))
        self.assertEqual(result.returncode, 2)
        for message in texts_after(result.stdout, listed):
            self.assertEqual(message, "Call not implemented.\r\n\n")
        self.assertEqual(self.snapshot(listed), before)


def main():
    global TOOL, MAKE_SAMPLES, PLATFORM, POINTER_BITS, LOCKER
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--samples", required=True)
    parser.add_argument("--platform", choices=sorted(TEXTS), default="posix")
    parser.add_argument("--pointer-bits", type=int, choices=(32, 64), default=64)
    parser.add_argument("--locker", default="")
    parser.add_argument("--rebase-unavailable", action="store_true",
                        help="the build's ReBaseImage is not implemented: run only that case")
    args, rest = parser.parse_known_args()
    if args.rebase_unavailable:
        rest = ["RebaseUnavailable"] + rest
    else:
        del globals()["RebaseUnavailable"]
    PLATFORM, POINTER_BITS, LOCKER = args.platform, args.pointer_bits, shlex.split(args.locker)
    TOOL = shlex.split(args.tool)
    # Absolute, since some cases run the tool in another directory.
    TOOL = [os.path.abspath(t) if os.path.exists(t) else t for t in TOOL]
    MAKE_SAMPLES = args.samples
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
