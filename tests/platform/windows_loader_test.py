"""The Windows loader judges the rebase (run under Wine).

Run as: windows_loader_test.py --tool "wine Dorvane.exe" --loader "wine load_dll.exe"
                               --mapper "wine map_images.exe" --layouts LOADER_LAYOUTS
                               --cc MINGW_GCC --source pointers.c
- The loader oracle: for each layout of the tests' image builder and each
  DLL or program the real linkers make, the tool rebases a copy; the loader
  maps the original and the copy without running them; the base relocations
  that the loader finds in the original, applied to its mapped image with
  the difference of the two addresses, must give the mapped copy byte for
  byte, but for ImageBase, TimeDateStamp, CheckSum, the security cookie and
  each section's slack. Or the tool refused it, and the file is unchanged.
  Each row says which of the two it must be. A low-alignment image is
  mapped as the file lies, without relocation: there the difference is the
  new base less the old.
- A mingw-built DLL with absolute pointers in code and data, rebased, loads
  at its new base and its functions return the right values.
- DLLs linked by the GNU linker at two bases: the one rebased to the other's
  base equals it byte for byte except the header time stamp and checksum,
  and its checksum is correct.
"""
import argparse
import os
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
from pe_fields import BASE_RELOCATION_DIRECTORY, IMAGE_FILE_RELOCS_STRIPPED, PeFields, checksum, u16, u32
from runs import listing, read_quietly, rebase

TOOL, LOADER, MAPPER = [], [], []
LAYOUTS, SOURCE = "", ""
CC = ""  # mingw-w64 gcc for the architecture of the loader
NEW_BASE = 0x30000000
PAGE = 0x1000
LOAD_CONFIG_DIRECTORY = 10
# A program whose data holds absolute addresses: of a string and of a function.
PROGRAM = b"""#include <stdio.h>
static const char *message = "runs at its base";
static int twice(int x) { return 2 * x; }
static int (*volatile operation)(int) = twice;
int main(void) { printf("%s %d\\n", message, operation(21)); return 0; }
"""
RESOURCES = b'STRINGTABLE\nBEGIN\n  1 "read from a resource-only DLL"\nEND\n'


def pe32_plus():
    return CC.startswith("x86_64")


def link(directory, name, base):
    out = os.path.join(directory, name)
    subprocess.run([CC, "-shared", "-s", "-O1", "-o", out, SOURCE, "-Wl,--image-base,0x%X" % base,
                    "-Wl,--no-insert-timestamp"], check=True)
    return out


def link_with_lld(directory):
    obj, out = os.path.join(directory, "lld.obj"), os.path.join(directory, "lld-linked.dll")
    target = "x86_64-pc-windows-msvc" if pe32_plus() else "i686-pc-windows-msvc"
    subprocess.run(["clang", "--target=" + target, "-O1", "-c", SOURCE, "-o", obj], check=True)
    subprocess.run(["lld-link", "/dll", "/noentry", "/nodefaultlib", "/base:0x10000000", "/out:" + out, obj],
                   check=True, capture_output=True)
    return out


def link_without_relocations(directory, dynamic_base):
    """The program linked with no relocation directory, not marked
    IMAGE_FILE_RELOCS_STRIPPED (GNU ld sets that flag), and marked
    DYNAMIC_BASE or not (GNU ld would add the directory with it)."""
    source = os.path.join(directory, "program.c")
    out = os.path.join(directory, "program-%s.exe" % ("dynamic-base" if dynamic_base else "fixed"))
    with open(source, "wb") as f:
        f.write(PROGRAM)
    subprocess.run([CC, "-O1", "-s", "-o", out, source, "-Wl,--disable-reloc-section", "-Wl,--disable-dynamicbase"],
                   check=True)
    data = bytearray(read_quietly(out))
    fields = PeFields(data)
    assert u32(data, fields.directory(BASE_RELOCATION_DIRECTORY) + 4) == 0
    fields.write(data, "characteristics", fields.read(data, "characteristics") & ~IMAGE_FILE_RELOCS_STRIPPED)
    if dynamic_base:
        fields.write(data, "dll_characteristics", fields.read(data, "dll_characteristics") | 0x0040)
    with open(out, "wb") as f:
        f.write(data)
    return out


def link_resources_only(directory):
    """A DLL of one string resource and nothing else, the way MSVC's linker
    makes one with /NOENTRY: no code, no relocation directory, not
    DYNAMIC_BASE."""
    script, res, out = (os.path.join(directory, n) for n in ("strings.rc", "strings.o", "resources-only.dll"))
    with open(script, "wb") as f:
        f.write(RESOURCES)
    subprocess.run([CC.replace("-gcc", "-windres"), script, "-O", "coff", "-o", res], check=True)
    machine = "x64" if pe32_plus() else "x86"
    subprocess.run(["lld-link", "/dll", "/noentry", "/dynamicbase:no", "/safeseh:no", "/machine:" + machine,
                    "/base:0x10000000", "/out:" + out, res], check=True, capture_output=True)
    return out


def with_data_raw_pointer_moved(path, by):
    """A copy of `path` whose .data PointerToRawData is `by` bytes further on,
    nothing else: the loader still maps .data from the rounded-down offset."""
    data = bytearray(read_quietly(path))
    fields = PeFields(data)
    for index in range(fields.read(data, "number_of_sections")):
        header = fields.section(index)
        if data[header:header + 8].rstrip(b"\0") == b".data":
            struct.pack_into("<I", data, header + 20, u32(data, header + 20) + by)
    out = path.replace(".dll", "-data-plus-0x%x.dll" % by)
    with open(out, "wb") as f:
        f.write(data)
    return out


def load(path):
    result = subprocess.run(LOADER + [path], capture_output=True, timeout=120)
    return result.stdout.decode().strip()


class MappedImage:
    """An image as the loader mapped it: the address and the bytes."""

    def __init__(self, path):
        data = read_quietly(path + ".mapped")
        self.address = struct.unpack_from("<Q", data)[0]
        self.bytes = bytearray(data[8:])
        self.fields = PeFields(self.bytes)
        optional = self.fields.optional
        self.section_alignment = u32(self.bytes, optional + 32)
        self.image_base = self.fields.read(self.bytes, "image_base")

    def directory(self, index):
        """A data directory as Wine reads it: at its place after the optional
        header's start, whatever NumberOfRvaAndSizes and SizeOfOptionalHeader
        say."""
        entry = self.fields.directory(index)
        return u32(self.bytes, entry), u32(self.bytes, entry + 4)

    def apply_relocations(self, delta):
        """Applies the base relocations found in the image, as the loader
        would with `delta`."""
        rva, size = self.directory(BASE_RELOCATION_DIRECTORY)
        at, end = rva, rva + size
        image = self.bytes
        while at + 8 <= end:
            page, block_size = u32(image, at), u32(image, at + 4)
            if block_size < 8:
                break
            entries = [u16(image, at + 8 + 2 * i) for i in range((block_size - 8) // 2)]
            i = 0
            while i < len(entries):
                kind, target = entries[i] >> 12, page + (entries[i] & 0xFFF)
                if kind == 1:
                    struct.pack_into("<H", image, target, (u16(image, target) + (delta >> 16)) & 0xFFFF)
                elif kind == 2:
                    struct.pack_into("<H", image, target, (u16(image, target) + delta) & 0xFFFF)
                elif kind == 3:
                    struct.pack_into("<I", image, target, (u32(image, target) + delta) & 0xFFFFFFFF)
                elif kind == 4:
                    i += 1
                    low = entries[i] - 0x10000 if entries[i] & 0x8000 else entries[i]
                    full = (u16(image, target) << 16) + low + delta
                    struct.pack_into("<H", image, target, ((full + 0x8000) >> 16) & 0xFFFF)
                elif kind == 10:
                    value = struct.unpack_from("<Q", image, target)[0]
                    struct.pack_into("<Q", image, target, (value + delta) & 0xFFFFFFFFFFFFFFFF)
                i += 1
            at += block_size

    def ignored(self):
        """The RVA ranges a rebase or a load may change besides relocation
        targets: ImageBase, TimeDateStamp, CheckSum, the security cookie the
        loader writes, and each section's slack past its VirtualSize."""
        fields, image = self.fields, self.bytes
        ranges = [(fields.offset(name), fields.offset(name) + fields.fields[name][1])
                  for name in ("image_base", "time_date_stamp", "checksum")]
        for index in range(fields.read(image, "number_of_sections")):
            header = fields.section(index)
            virtual_size, rva, raw_size = u32(image, header + 8), u32(image, header + 12), u32(image, header + 16)
            end = rva + (virtual_size or raw_size)
            alignment = max(self.section_alignment, 1)
            ranges.append((end, -(-end // alignment) * alignment))
        config, config_size = self.directory(LOAD_CONFIG_DIRECTORY)
        width = 8 if fields.pe32_plus else 4
        cookie_field = config + (0x58 if fields.pe32_plus else 0x3C)
        if config and config_size >= cookie_field - config + width:
            cookie = int.from_bytes(image[cookie_field:cookie_field + width], "little") - self.address
            ranges.append((cookie, cookie + width))
        return ranges


def differences(expected, mapped, ignored):
    """The first RVAs at which two mapped images differ outside `ignored`."""
    if len(expected) != len(mapped):
        return ["SizeOfImage 0x%X against 0x%X" % (len(expected), len(mapped))]
    found = []
    for page in range(0, len(expected), PAGE):
        if expected[page:page + PAGE] == mapped[page:page + PAGE]:
            continue
        for rva in range(page, min(page + PAGE, len(expected))):
            if expected[rva] != mapped[rva] and not any(a <= rva < b for a, b in ignored):
                found.append("RVA 0x%X: 0x%02X expected, 0x%02X mapped" % (rva, expected[rva], mapped[rva]))
                if len(found) == 4:
                    return found
    return found


class LoaderOracle(unittest.TestCase):
    def judge(self, rows, directory):
        """Rebases copies of the images of `rows` ((name, path, moves)) in one
        run of the tool, maps originals and copies in one run of the loader,
        and holds each row to the loader's reading."""
        copies = {}
        for name, path, _ in rows:
            copies[name] = os.path.join(directory, "rebased-" + os.path.basename(path))
            shutil.copyfile(path, copies[name])
        result = subprocess.run(TOOL + ["/BASE:%X" % NEW_BASE], input=listing(copies[name] for name, _, _ in rows),
                                capture_output=True, timeout=300)
        output = result.stdout.replace(b"\r\n", b"\n").decode(errors="replace")
        said = {}
        for name, _, _ in rows:
            after = output.split("Processing '%s'...\n" % copies[name], 1)[1]
            said[name] = after.split("Processing '", 1)[0].strip()
        moved = [copies[name] for name, path, _ in rows if read_quietly(copies[name]) != read_quietly(path)]
        mapped = subprocess.run(MAPPER + [path for _, path, _ in rows] + moved, capture_output=True, timeout=120)
        report = mapped.stdout.decode(errors="replace")
        for name, path, moves in rows:
            with self.subTest(row=name):
                self.assertIn("%s mapped at" % path, report, "the loader must map the original: " + report)
                if not moves:
                    self.assertEqual(read_quietly(copies[name]), read_quietly(path),
                                     "a refused image must be unchanged")
                    self.assertNotEqual(said[name], "", "the refusal must be told")
                    continue
                self.assertEqual(said[name], "", "the rebase must succeed")
                self.assertIn(copies[name], moved, "the rebase must change the file")
                self.check_against_the_loader(path, copies[name])

    def check_against_the_loader(self, original_path, copy_path):
        original, copy = MappedImage(original_path), MappedImage(copy_path)
        self.assertEqual(copy.address, copy.image_base, "the loader must map the copy at its new base")
        if original.section_alignment < PAGE:
            delta = copy.image_base - original.image_base  # mapped as the file lies, unrelocated
        else:
            delta = copy.address - original.address
        original.apply_relocations(delta)
        ignored = original.ignored() + copy.ignored()
        self.assertEqual(differences(original.bytes, copy.bytes, ignored), [])

    def test_layouts_of_the_image_builder(self):
        with tempfile.TemporaryDirectory() as directory:
            listed = subprocess.run([LAYOUTS, directory, "pe32+" if pe32_plus() else "pe32"], check=True,
                                    capture_output=True).stdout.decode().split("\n")
            rows = [(line.split()[0], os.path.join(directory, line.split()[0] + ".dll"), line.endswith(" moves"))
                    for line in listed if line]
            self.assertGreater(len(rows), 10)
            self.judge(rows, directory)

    def test_dlls_and_programs_that_linkers_make(self):
        with tempfile.TemporaryDirectory() as directory:
            mingw = link(directory, "mingw-linked.dll", 0x10000000)
            rows = [("mingw-linked", mingw, True),
                    ("mingw-linked-data-raw-pointer-plus-0x10", with_data_raw_pointer_moved(mingw, 0x10), True),
                    ("lld-linked", link_with_lld(directory), True),
                    ("resources-only", link_resources_only(directory), True),
                    # Without relocations and holding addresses of its own,
                    # DYNAMIC_BASE or not: the loader cannot move it either.
                    ("program-without-relocations", link_without_relocations(directory, False), False),
                    ("program-without-relocations-dynamic-base", link_without_relocations(directory, True), False)]
            self.judge(rows, directory)


class Loader(unittest.TestCase):
    def test_rebased_dll_loads_at_its_new_base_and_works(self):
        with tempfile.TemporaryDirectory() as directory:
            dll = link(directory, "pointers.dll", 0x10000000)
            self.assertEqual(load(dll), "base 0x10000000 sum 100 name second")
            rebase(TOOL, dll, 0x23450000)
            self.assertEqual(load(dll), "base 0x23450000 sum 100 name second")

    def test_rebased_dll_equals_the_one_linked_at_that_base(self):
        with tempfile.TemporaryDirectory() as directory:
            os.mkdir(os.path.join(directory, "a"))
            os.mkdir(os.path.join(directory, "b"))
            a = link(directory, "a/pointers.dll", 0x10000000)
            b = link(directory, "b/pointers.dll", 0x34560000)
            rebase(TOOL, a, 0x34560000)
            rebased, expected = bytearray(read_quietly(a)), bytearray(read_quietly(b))
            fields = PeFields(rebased)
            self.assertNotEqual(fields.read(rebased, "checksum"), 0)
            self.assertEqual(fields.read(rebased, "checksum"), checksum(rebased))
            for data in (rebased, expected):
                fields.write(data, "time_date_stamp", 0)
                fields.write(data, "checksum", 0)
            self.assertEqual(rebased, expected)


def main():
    global TOOL, LOADER, MAPPER, LAYOUTS, SOURCE, CC
    parser = argparse.ArgumentParser()
    for option in ("--tool", "--loader", "--mapper", "--layouts", "--cc", "--source"):
        parser.add_argument(option, required=True)
    args, rest = parser.parse_known_args()
    TOOL, LOADER, MAPPER = (shlex.split(a) for a in (args.tool, args.loader, args.mapper))
    LAYOUTS, SOURCE, CC = args.layouts, args.source, args.cc
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
