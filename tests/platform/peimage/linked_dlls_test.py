"""The tool against DLLs that real linkers made.

Run as: linked_dlls_test.py --tool COMMAND --source pointers.c
- lld-link builds each DLL twice, at base A and base B; the A build rebased
  to B must equal the B build byte for byte, except the header time stamp,
  which is the linked stamp plus one.
- The mingw-w64 GNU linker writes a checksum; after a rebase the stored
  checksum must equal the one pefile computes, for a file of odd length too.
Cases whose toolchain is missing are skipped, and say so.
"""
import argparse
import os
import shlex
import subprocess
import sys
import tempfile
import unittest

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "support"))
from pe_fields import PeFields
from runs import listing, need, rebase

TOOL = []
SOURCE = ""
STAMP = 0x5A5A0000


class LldLinkedDlls(unittest.TestCase):
    def link(self, target, base, directory):
        obj = os.path.join(directory, "pointers.obj")
        subprocess.run(["clang", "--target=" + target, "-O1", "-c", SOURCE, "-o", obj], check=True)
        os.makedirs(os.path.join(directory, hex(base)), exist_ok=True)
        out = os.path.join(directory, hex(base), "pointers.dll")
        subprocess.run(["lld-link", "/dll", "/noentry", "/nodefaultlib", "/timestamp:%d" % STAMP,
                        "/base:0x%X" % base, "/out:" + out, obj], check=True, capture_output=True)
        return out

    def check_target(self, target, base_a, base_b):
        need("clang", "lld-link")
        with tempfile.TemporaryDirectory() as directory:
            a = self.link(target, base_a, directory)
            b = self.link(target, base_b, directory)
            with open(a, "rb") as f:
                original = f.read()
            rebase(TOOL, a, base_b)
            with open(a, "rb") as f:
                rebased = bytearray(f.read())
            with open(b, "rb") as f:
                expected = bytearray(f.read())
            self.assertNotEqual(original, bytes(expected))
            fields = PeFields(rebased)
            self.assertEqual(fields.read(rebased, "time_date_stamp"), STAMP + 1)
            fields.write(rebased, "time_date_stamp", STAMP)
            self.assertEqual(rebased, expected)

    def test_x86_up_and_down(self):
        self.check_target("i686-pc-windows-msvc", 0x10000000, 0x12340000)
        self.check_target("i686-pc-windows-msvc", 0x60000000, 0x00400000)

    def test_x64_up_and_down(self):
        self.check_target("x86_64-pc-windows-msvc", 0x180000000, 0x12340000)
        self.check_target("x86_64-pc-windows-msvc", 0x10000000, 0x7FF00000)

    def test_check_mode_reads_the_base_of_linked_dlls(self):
        need("clang", "lld-link")
        with tempfile.TemporaryDirectory() as directory:
            at_default = self.link("i686-pc-windows-msvc", 0x400000, directory)
            elsewhere = self.link("x86_64-pc-windows-msvc", 0x10000000, directory)
            before = [open(p, "rb").read() for p in (at_default, elsewhere)]
            listed = listing([at_default, elsewhere])
            result = subprocess.run(TOOL + ["/CHECK"], input=listed, capture_output=True, timeout=60)
            self.assertEqual(result.returncode, 2)
            self.assertEqual(result.stdout.count(b"Image is not based"), 1)
            self.assertIn(b"Processing '%s'...\nImage is not based\n\n" % at_default.encode(), result.stdout)
            result = subprocess.run(TOOL + ["/CHECK", "/BASE:10000000"], input=listed, capture_output=True, timeout=60)
            self.assertEqual(result.returncode, 2)
            self.assertTrue(result.stdout.endswith(b"Processing '%s'...\nImage is not based\n\n" % elsewhere.encode()))
            self.assertEqual([open(p, "rb").read() for p in (at_default, elsewhere)], before)


class GnuLinkedChecksums(unittest.TestCase):
    def test_checksum_matches_pefile_for_even_and_odd_lengths(self):
        need("i686-w64-mingw32-gcc")
        try:
            import pefile
        except ImportError:
            raise unittest.SkipTest("not installed: pefile")
        with tempfile.TemporaryDirectory() as directory:
            dll = os.path.join(directory, "pointers.dll")
            subprocess.run(["i686-w64-mingw32-gcc", "-shared", "-s", "-O1", "-o", dll, SOURCE,
                            "-Wl,--image-base,0x10000000"], check=True)
            odd = os.path.join(directory, "odd.dll")
            with open(dll, "rb") as f, open(odd, "wb") as g:
                g.write(f.read() + b"\x7f")
            for path in (dll, odd):
                with self.subTest(path=os.path.basename(path)):
                    with open(path, "rb") as f:
                        before = f.read()
                    stored_before = PeFields(before).read(before, "checksum")
                    self.assertNotEqual(stored_before, 0)
                    rebase(TOOL, path, 0x23450000)
                    pe = pefile.PE(path)
                    self.assertEqual(pe.OPTIONAL_HEADER.ImageBase, 0x23450000)
                    self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())
                    self.assertNotEqual(pe.OPTIONAL_HEADER.CheckSum, stored_before)
                    self.assertEqual(len(pe.__data__), len(before))


def main():
    global TOOL, SOURCE
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--source", required=True)
    args, rest = parser.parse_known_args()
    TOOL, SOURCE = shlex.split(args.tool), args.source
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    result = program.result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.skipped and len(result.skipped) == result.testsRun:
        sys.exit(77)  # everything skipped: reported as skipped, not passed


if __name__ == "__main__":
    main()
