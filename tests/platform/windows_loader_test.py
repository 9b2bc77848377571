"""The Windows loader proves the rebase (run under Wine).

Run as: windows_loader_test.py --tool "wine Dorvane.exe" --loader "wine load_dll.exe" --cc MINGW_GCC
                               --source pointers.c
- A mingw-built DLL with absolute pointers in code and data, rebased by the
  tool, loads at its new base (the loader did not have to move it) and its
  functions return the right values.
- DLLs linked by the GNU linker at two bases: the one rebased to the other's
  base equals it byte for byte except the header time stamp and checksum,
  and its checksum is correct.
"""
import argparse
import os
import shlex
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL, LOADER, SOURCE = [], [], ""
CC = ""  # mingw-w64 gcc for the architecture of the loader


def pe_checksum(data, field):
    total = 0
    for i in range(0, len(data), 2):
        word = data[i] | (data[i + 1] << 8 if i + 1 < len(data) else 0)
        if i in (field, field + 2):
            word = 0
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16)) + len(data)


def fields(data):
    lfanew = struct.unpack_from("<I", data, 0x3C)[0]
    return lfanew + 8, lfanew + 24 + 64  # TimeDateStamp, CheckSum


def link(directory, name, base):
    out = os.path.join(directory, name)
    subprocess.run([CC, "-shared", "-s", "-O1", "-o", out, SOURCE, "-Wl,--image-base,0x%X" % base,
                    "-Wl,--no-insert-timestamp"], check=True)
    return out


def rebase(path, base):
    result = subprocess.run(TOOL + ["/BASE:%X" % base], input=path.encode() + b"\n", capture_output=True, timeout=120)
    assert result.returncode == 0, result.stdout


def load(path):
    result = subprocess.run(LOADER + [path], capture_output=True, timeout=120)
    return result.stdout.decode().strip()


class Loader(unittest.TestCase):
    def test_rebased_dll_loads_at_its_new_base_and_works(self):
        with tempfile.TemporaryDirectory() as directory:
            dll = link(directory, "pointers.dll", 0x10000000)
            self.assertEqual(load(dll), "base 0x10000000 sum 100 name second")
            rebase(dll, 0x23450000)
            self.assertEqual(load(dll), "base 0x23450000 sum 100 name second")

    def test_rebased_dll_equals_the_one_linked_at_that_base(self):
        with tempfile.TemporaryDirectory() as directory:
            os.mkdir(os.path.join(directory, "a"))
            os.mkdir(os.path.join(directory, "b"))
            a = link(directory, "a/pointers.dll", 0x10000000)
            b = link(directory, "b/pointers.dll", 0x34560000)
            rebase(a, 0x34560000)
            with open(a, "rb") as f:
                rebased = bytearray(f.read())
            with open(b, "rb") as f:
                expected = bytearray(f.read())
            stamp, checksum = fields(rebased)
            self.assertNotEqual(struct.unpack_from("<I", rebased, checksum)[0], 0)
            self.assertEqual(struct.unpack_from("<I", rebased, checksum)[0], pe_checksum(rebased, checksum))
            for data in (rebased, expected):
                data[stamp:stamp + 4] = b"\0\0\0\0"
                data[checksum:checksum + 4] = b"\0\0\0\0"
            self.assertEqual(rebased, expected)


def main():
    global TOOL, LOADER, SOURCE, CC
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--loader", required=True)
    parser.add_argument("--cc", required=True)
    parser.add_argument("--source", required=True)
    args, rest = parser.parse_known_args()
    TOOL, LOADER, SOURCE, CC = shlex.split(args.tool), shlex.split(args.loader), args.source, args.cc
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
