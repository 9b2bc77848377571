"""The Windows build as it is shipped.

Run as: windows_package_test.py --build DIR --source SOURCE_DIR --arch i686|x86_64 --version X.Y.Z
                                [--wine WINE] [WindowsBuild | UnderWine]
DIR is a mingw-w64 build tree in which `cpack -G ZIP -B DIR/package` made a
zip of Dorvane.exe, the README and the licence.
- WindowsBuild, on every machine: the zip's contents; the executables as
  files: machine, console subsystem, which of them imports imagehlp's
  ReBaseImage, and the version resource (product Quillmere, the project's
  version), read with pefile.
- UnderWine (needs --wine): the zipped executable runs, and Windows itself
  reads its version resource (tests/windows/file_version.exe in DIR).
"""
import argparse
import os
import shlex
import subprocess
import sys
import tempfile
import unittest
import zipfile

import pefile

BUILD, SOURCE, ARCH, WINE, VERSION = "", "", "", [], ""
# Machine field and the zip's system name for each architecture.
MACHINES = {"i686": (0x14C, "win32"), "x86_64": (0x8664, "win64")}
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3


class ZipTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.top = "Dorvane-%s-%s" % (VERSION, MACHINES[ARCH][1])
        cls.zip = zipfile.ZipFile(os.path.join(BUILD, "package", cls.top + ".zip"))
        cls.zip.extractall(cls.tmp.name)
        cls.exe = os.path.join(cls.tmp.name, cls.top, "Dorvane.exe")

    @classmethod
    def tearDownClass(cls):
        cls.zip.close()
        cls.tmp.cleanup()

    def expected_version(self, resource):
        fixed = VERSION + ".0"
        self.assertEqual({k: resource.get(k) for k in ("ProductName", "ProductVersion", "FileVersion",
                                                      "FixedFileVersion", "FixedProductVersion",
                                                      "OriginalFilename")},
                         {"ProductName": "Quillmere", "ProductVersion": VERSION, "FileVersion": VERSION,
                          "FixedFileVersion": fixed, "FixedProductVersion": fixed,
                          "OriginalFilename": "Dorvane.exe"})
        self.assertIn("MIT", resource["LegalCopyright"])


def imports(pe):
    return {entry.dll.decode().lower(): {i.name.decode() for i in entry.imports if i.name}
            for entry in pe.DIRECTORY_ENTRY_IMPORT}


def pefile_version(pe):
    """The version resource's fixed versions and first strings, as pefile reads them."""
    fixed = pe.VS_FIXEDFILEINFO[0]

    def dotted(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    resource = {"FixedFileVersion": dotted(fixed.FileVersionMS, fixed.FileVersionLS),
                "FixedProductVersion": dotted(fixed.ProductVersionMS, fixed.ProductVersionLS)}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for key, value in info.StringTable[0].entries.items():
                resource[key.decode()] = value.decode()
    return resource


class WindowsBuild(ZipTestCase):
    def test_holds_the_executable_readme_and_licence(self):
        files = sorted(i.filename for i in self.zip.infolist() if not i.is_dir())
        self.assertEqual(files, [self.top + "/" + name for name in ("Dorvane.exe", "LICENSE", "README.md")])
        for name in ("LICENSE", "README.md"):
            with open(os.path.join(SOURCE, name), "rb") as f:
                self.assertEqual(self.zip.read(self.top + "/" + name), f.read())

    def test_executables_are_console_programs_for_the_architecture(self):
        # The zipped one calls the system's imagehlp; the test build's
        # own-engine one does not need it.
        for exe, uses_imagehlp in ((self.exe, True), (os.path.join(BUILD, "own-engine", "Dorvane.exe"), False)):
            with self.subTest(exe=exe):
                pe = pefile.PE(exe)
                self.assertEqual(pe.FILE_HEADER.Machine, MACHINES[ARCH][0])
                self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI)
                self.assertEqual(pe.OPTIONAL_HEADER.Magic, 0x20B if ARCH == "x86_64" else 0x10B)
                imported = imports(pe)
                self.assertIn("CreateFileA", imported["kernel32.dll"])
                if uses_imagehlp:
                    self.assertIn("ReBaseImage", imported["imagehlp.dll"])
                else:
                    self.assertNotIn("imagehlp.dll", imported)

    def test_its_version_resource_names_the_product_and_version(self):
        self.expected_version(pefile_version(pefile.PE(self.exe)))


class UnderWine(ZipTestCase):
    def test_the_zipped_executable_runs(self):
        result = subprocess.run(WINE + [self.exe], input=b"", capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0)
        title = "Quillmere v." + ".".join(VERSION.split(".")[:2])
        self.assertTrue(result.stderr.startswith(title.encode()), result.stderr)
        self.assertEqual(result.stdout.replace(b"\r\n", b"\n"), b"Scanning DLLs...\n")

    def test_windows_reads_its_version_resource(self):
        reader = WINE + [os.path.join(BUILD, "tests", "windows", "file_version.exe")]
        result = subprocess.run(reader + [self.exe], capture_output=True, timeout=120)
        lines = result.stdout.decode().replace("\r\n", "\n").splitlines()
        self.assertEqual(result.returncode, 0, lines)
        self.expected_version(dict(line.split(": ", 1) for line in lines))


def main():
    global BUILD, SOURCE, ARCH, WINE, VERSION
    parser = argparse.ArgumentParser()
    for option in ("--build", "--source", "--version"):
        parser.add_argument(option, required=True)
    parser.add_argument("--arch", choices=sorted(MACHINES), required=True)
    parser.add_argument("--wine", default="")
    args, rest = parser.parse_known_args()
    BUILD, SOURCE, ARCH, VERSION = args.build, args.source, args.arch, args.version
    WINE = shlex.split(args.wine)
    if not WINE:
        del globals()["UnderWine"]
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
