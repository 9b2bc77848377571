"""The Windows build as it is shipped (run under Wine).

Run as: windows_package_test.py --build DIR --reader "wine file_version.exe" --version X.Y.Z
DIR is a mingw-w64 build of Dorvane.exe. Windows itself reads its version
resource: product Quillmere, the project's version.
"""
import argparse
import os
import shlex
import subprocess
import sys
import unittest

BUILD, READER, VERSION = "", [], ""


def version_resource(exe):
    """The version resource of exe, as Windows' version API reads it."""
    result = subprocess.run(READER + [exe], capture_output=True, timeout=120)
    lines = result.stdout.decode().replace("\r\n", "\n").splitlines()
    assert result.returncode == 0, lines
    return dict(line.split(": ", 1) for line in lines)


class VersionResource(unittest.TestCase):
    def test_names_the_product_and_its_version(self):
        fixed = VERSION + ".0"
        resource = version_resource(os.path.join(BUILD, "Dorvane.exe"))
        self.assertEqual({k: resource.get(k) for k in ("ProductName", "ProductVersion", "FileVersion",
                                                      "FixedFileVersion", "FixedProductVersion",
                                                      "OriginalFilename")},
                         {"ProductName": "Quillmere", "ProductVersion": VERSION, "FileVersion": VERSION,
                          "FixedFileVersion": fixed, "FixedProductVersion": fixed,
                          "OriginalFilename": "Dorvane.exe"})
        self.assertIn("MIT", resource["LegalCopyright"])


def main():
    global BUILD, READER, VERSION
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--reader", required=True)
    parser.add_argument("--version", required=True)
    args, rest = parser.parse_known_args()
    BUILD, READER, VERSION = args.build, shlex.split(args.reader), args.version
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
