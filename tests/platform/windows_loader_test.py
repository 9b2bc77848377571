"""The Windows loader proves the rebase (run under Wine).

Run as: windows_loader_test.py --tool "wine Dorvane.exe" --loader "wine load_dll.exe" --cc MINGW_GCC
                               --source pointers.c --wine WINE
- A mingw-built DLL with absolute pointers in code and data, rebased by the
  tool, loads at its new base (the loader did not have to move it) and its
  functions return the right values.
- DLLs linked by the GNU linker at two bases: the one rebased to the other's
  base equals it byte for byte except the header time stamp and checksum,
  and its checksum is correct.
- A program linked without relocations (and without the flag that says so),
  whose absolute addresses would point at its old base once moved, is
  refused, unchanged, and still runs.
- A resource-only DLL without relocations, moved by the tool, loads at its
  new base and its resources are read.
"""
import argparse
import os
import shlex
import subprocess
import sys
import tempfile
import unittest

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
from pe_fields import BASE_RELOCATION_DIRECTORY, IMAGE_FILE_RELOCS_STRIPPED, PeFields, checksum, u32

TOOL, LOADER, SOURCE, WINE = [], [], "", []
CC = ""  # mingw-w64 gcc for the architecture of the loader
# A program whose data holds absolute addresses: of a string and of a function.
PROGRAM = b"""#include <stdio.h>
static const char *message = "runs at its base";
static int twice(int x) { return 2 * x; }
static int (*volatile operation)(int) = twice;
int main(void) { printf("%s %d\\n", message, operation(21)); return 0; }
"""
RESOURCES = b'STRINGTABLE\nBEGIN\n  1 "read from a resource-only DLL"\nEND\n'


def link(directory, name, base):
    out = os.path.join(directory, name)
    subprocess.run([CC, "-shared", "-s", "-O1", "-o", out, SOURCE, "-Wl,--image-base,0x%X" % base,
                    "-Wl,--no-insert-timestamp"], check=True)
    return out


def tool(path, base):
    return subprocess.run(TOOL + ["/BASE:%X" % base], input=path.encode() + b"\n", capture_output=True, timeout=120)


def shape(path):
    """Characteristics, DllCharacteristics and the relocation directory's size."""
    with open(path, "rb") as f:
        data = f.read()
    fields = PeFields(data)
    return (fields.read(data, "characteristics"), fields.read(data, "dll_characteristics"),
            u32(data, fields.directory(BASE_RELOCATION_DIRECTORY) + 4))


def link_without_relocations(directory, dynamic_base):
    """The program linked with no relocation directory, not marked
    IMAGE_FILE_RELOCS_STRIPPED (GNU ld sets that flag), and marked
    DYNAMIC_BASE or not (GNU ld would add the directory with it)."""
    source, out = os.path.join(directory, "program.c"), os.path.join(directory, "program.exe")
    with open(source, "wb") as f:
        f.write(PROGRAM)
    subprocess.run([CC, "-O1", "-s", "-o", out, source, "-Wl,--disable-reloc-section", "-Wl,--disable-dynamicbase"],
                   check=True)
    with open(out, "r+b") as f:
        data = bytearray(f.read())
        fields = PeFields(data)
        fields.write(data, "characteristics", fields.read(data, "characteristics") & ~IMAGE_FILE_RELOCS_STRIPPED)
        if dynamic_base:
            fields.write(data, "dll_characteristics", fields.read(data, "dll_characteristics") | 0x0040)
        f.seek(0)
        f.write(data)
    return out


def link_resources_only(directory, base):
    """A DLL of one string resource and nothing else, at `base`, the way
    MSVC's linker makes one with /NOENTRY: no code, no relocation directory,
    not DYNAMIC_BASE."""
    script, res, out = (os.path.join(directory, n) for n in ("strings.rc", "strings.o", "strings.dll"))
    with open(script, "wb") as f:
        f.write(RESOURCES)
    subprocess.run([CC.replace("-gcc", "-windres"), script, "-O", "coff", "-o", res], check=True)
    machine = "x64" if CC.startswith("x86_64") else "x86"
    subprocess.run(["lld-link", "/dll", "/noentry", "/dynamicbase:no", "/safeseh:no", "/machine:" + machine,
                    "/base:0x%X" % base, "/out:" + out, res], check=True, capture_output=True)
    return out


def rebase(path, base):
    result = tool(path, base)
    assert result.returncode == 0, result.stdout


def load(path):
    result = subprocess.run(LOADER + [path], capture_output=True, timeout=120)
    return result.stdout.decode().strip()


def run(program):
    result = subprocess.run(WINE + [program], capture_output=True, timeout=120)
    return result.stdout.decode().strip() if result.returncode == 0 else "exit status %d" % result.returncode


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
            fields = PeFields(rebased)
            self.assertNotEqual(fields.read(rebased, "checksum"), 0)
            self.assertEqual(fields.read(rebased, "checksum"), checksum(rebased))
            for data in (rebased, expected):
                fields.write(data, "time_date_stamp", 0)
                fields.write(data, "checksum", 0)
            self.assertEqual(rebased, expected)

    def test_program_without_relocations_is_refused_and_still_runs(self):
        # Marked DYNAMIC_BASE, it is no safer: without relocations the loader
        # cannot move it, and its data holds addresses of its own.
        for dynamic_base in (0, 0x0040):
            with self.subTest(dynamic_base=dynamic_base), tempfile.TemporaryDirectory() as directory:
                program = link_without_relocations(directory, dynamic_base)
                characteristics, dll_characteristics, relocations = shape(program)
                self.assertEqual((characteristics & 0x0001, dll_characteristics & 0x0040, relocations), (0, dynamic_base, 0))
                self.assertEqual(run(program), "runs at its base 42")
                with open(program, "rb") as f:
                    before = f.read()
                result = tool(program, 0x23450000)
                self.assertEqual(result.returncode, 2, result.stdout)
                self.assertIn(b"Invalid address.", result.stdout)  # the system's text for ERROR_INVALID_ADDRESS
                with open(program, "rb") as f:
                    self.assertEqual(f.read(), before)
                self.assertEqual(run(program), "runs at its base 42")

    def test_resource_only_dll_without_relocations_loads_at_its_new_base(self):
        with tempfile.TemporaryDirectory() as directory:
            dll = link_resources_only(directory, 0x10000000)
            characteristics, dll_characteristics, relocations = shape(dll)
            self.assertEqual((characteristics & 0x0001, dll_characteristics & 0x0040, relocations), (0, 0, 0))
            self.assertEqual(load(dll), "base 0x10000000 string read from a resource-only DLL")
            rebase(dll, 0x23450000)
            self.assertEqual(load(dll), "base 0x23450000 string read from a resource-only DLL")


def main():
    global TOOL, LOADER, SOURCE, CC, WINE
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--loader", required=True)
    parser.add_argument("--cc", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--wine", required=True)
    args, rest = parser.parse_known_args()
    TOOL, LOADER, SOURCE, CC = shlex.split(args.tool), shlex.split(args.loader), args.source, args.cc
    WINE = shlex.split(args.wine)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
