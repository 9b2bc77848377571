"""The Windows build as it is shipped (run under Wine).

Run as: windows_package_test.py --cpack CPACK --build DIR --source SOURCE_DIR
                                --reader "wine file_version.exe" --wine WINE --version X.Y.Z
DIR is a mingw-w64 build of Dorvane.exe. `cpack -G ZIP` there makes a zip of
Dorvane.exe, the README and the licence; the zipped executable runs, and
Windows itself reads its version resource: product Quillmere, the project's
version.
"""
import argparse
import os
import shlex
import subprocess
import sys
import tempfile
import unittest
import zipfile

CPACK, BUILD, SOURCE, READER, WINE, VERSION = "", "", "", [], [], ""


def version_resource(exe):
    """The version resource of exe, as Windows' version API reads it."""
    result = subprocess.run(READER + [exe], capture_output=True, timeout=120)
    lines = result.stdout.decode().replace("\r\n", "\n").splitlines()
    assert result.returncode == 0, lines
    return dict(line.split(": ", 1) for line in lines)


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        made = subprocess.run([CPACK, "-G", "ZIP", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                               "-B", cls.tmp.name], capture_output=True, timeout=300)
        assert made.returncode == 0, made.stdout + made.stderr
        cls.top = "Dorvane-%s-win32" % VERSION
        cls.zip = zipfile.ZipFile(os.path.join(cls.tmp.name, cls.top + ".zip"))
        cls.zip.extractall(cls.tmp.name)
        cls.exe = os.path.join(cls.tmp.name, cls.top, "Dorvane.exe")

    @classmethod
    def tearDownClass(cls):
        cls.zip.close()
        cls.tmp.cleanup()

    def test_holds_the_executable_readme_and_licence(self):
        files = sorted(i.filename for i in self.zip.infolist() if not i.is_dir())
        self.assertEqual(files, [self.top + "/" + name for name in ("Dorvane.exe", "LICENSE", "README.md")])
        for name in ("LICENSE", "README.md"):
            with open(os.path.join(SOURCE, name), "rb") as f:
                self.assertEqual(self.zip.read(self.top + "/" + name), f.read())

    def test_the_zipped_executable_runs(self):
        result = subprocess.run(WINE + [self.exe], input=b"", capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0)
        title = "Quillmere v." + ".".join(VERSION.split(".")[:2])
        self.assertTrue(result.stderr.startswith(title.encode()), result.stderr)
        self.assertEqual(result.stdout.replace(b"\r\n", b"\n"), b"Scanning DLLs...\n")

    def test_its_version_resource_names_the_product_and_version(self):
        fixed = VERSION + ".0"
        resource = version_resource(self.exe)
        self.assertEqual({k: resource.get(k) for k in ("ProductName", "ProductVersion", "FileVersion",
                                                      "FixedFileVersion", "FixedProductVersion",
                                                      "OriginalFilename")},
                         {"ProductName": "Quillmere", "ProductVersion": VERSION, "FileVersion": VERSION,
                          "FixedFileVersion": fixed, "FixedProductVersion": fixed,
                          "OriginalFilename": "Dorvane.exe"})
        self.assertIn("MIT", resource["LegalCopyright"])


def main():
    global CPACK, BUILD, SOURCE, READER, WINE, VERSION
    parser = argparse.ArgumentParser()
    for option in ("--cpack", "--build", "--source", "--reader", "--wine", "--version"):
        parser.add_argument(option, required=True)
    args, rest = parser.parse_known_args()
    CPACK, BUILD, SOURCE, VERSION = args.cpack, args.build, args.source, args.version
    READER, WINE = shlex.split(args.reader), shlex.split(args.wine)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
