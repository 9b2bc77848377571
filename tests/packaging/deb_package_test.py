"""The Debian package, made by cpack and unpacked into a scratch root.

Run as: deb_package_test.py --cpack CPACK --build DIR --samples MAKE_SAMPLES --version X.Y.Z
                            [--architecture ARCH] [--emulator "COMMAND"]
The package names itself, its version, architecture (ARCH, by default the
machine's), maintainer and the libraries it needs (found by dpkg-shlibdeps:
none for a statically linked tool); the tool it installs rebases and checks
sample images, started under the emulator COMMAND if one is given, and man
reads the page it installs.
"""
import argparse
import glob
import os
import shlex
import subprocess
import sys
import tempfile
import unittest

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
from runs import image_base, need

CPACK, BUILD, MAKE_SAMPLES, VERSION, ARCHITECTURE = "", "", "", "", ""
EMULATOR = []
INSTALLED = ["usr/bin/Dorvane", "usr/share/doc/dorvane/README.md", "usr/share/doc/dorvane/changelog.gz",
             "usr/share/doc/dorvane/copyright", "usr/share/man/man1/Dorvane.1.gz"]


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        need("dpkg-deb", "dpkg-shlibdeps", "file", "man")
        cls.tmp = tempfile.TemporaryDirectory()
        made = subprocess.run([CPACK, "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                               "-B", cls.tmp.name], capture_output=True, timeout=300)
        assert made.returncode == 0, made.stdout + made.stderr
        cls.deb = glob.glob(os.path.join(cls.tmp.name, "*.deb"))[0]
        cls.root = os.path.join(cls.tmp.name, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", self.deb, name], capture_output=True, check=True).stdout.decode()

    def test_names_itself_its_maintainer_and_the_libraries_it_needs(self):
        self.assertEqual(os.path.basename(self.deb), "dorvane_%s_%s.deb" % (VERSION, ARCHITECTURE))
        self.assertEqual(self.field("Architecture"), ARCHITECTURE + "\n")
        self.assertEqual(self.field("Package"), "dorvane\n")
        self.assertEqual(self.field("Version"), VERSION + "\n")
        self.assertRegex(self.field("Maintainer"), r"^\S.* <[^@>\s]+@[^@>\s]+>\n$")
        self.assertTrue(self.field("Description").startswith("Quillmere: gives DLLs"))
        linked = subprocess.run(["file", "-b", os.path.join(self.root, "usr/bin/Dorvane")], capture_output=True,
                                check=True).stdout.decode()
        if "statically linked" in linked:
            self.assertEqual(self.field("Depends").strip(), "")
        else:
            self.assertRegex(self.field("Depends"), r"(^|, )libc6 \(>= [0-9.]+\)")

    def test_holds_the_tool_its_man_page_readme_and_licence(self):
        files = sorted(os.path.relpath(os.path.join(d, f), self.root)
                       for d, _, names in os.walk(self.root) for f in names)
        self.assertEqual(files, INSTALLED)

    def test_the_installed_tool_rebases_and_checks_sample_images(self):
        with tempfile.TemporaryDirectory() as samples:
            made = subprocess.run([MAKE_SAMPLES, samples, "3"], capture_output=True, check=True).stdout
            images = made.decode().split()
            tool = os.path.join(self.root, "usr/bin/Dorvane")
            rebased = subprocess.run(EMULATOR + [tool, "/BASE:20000000"], input=made, capture_output=True, timeout=60)
            self.assertEqual(rebased.returncode, 0, rebased.stdout)
            title = "Quillmere v." + ".".join(VERSION.split(".")[:2])
            self.assertTrue(rebased.stderr.startswith(title.encode()), rebased.stderr)
            bases = [image_base(p)[0] for p in images]
            self.assertEqual(bases[0], 0x20000000)
            self.assertEqual(bases, sorted(set(bases)))
            checked = subprocess.run(EMULATOR + [tool, "/CHECK", "/BASE:20000000"], input=made,
                                     capture_output=True, timeout=60)
            self.assertEqual(checked.returncode, 2)
            self.assertEqual(checked.stdout.count(b"Image is not based"), 1)

    def test_man_reads_the_installed_page(self):
        page = os.path.join(self.root, "usr/share/man/man1/Dorvane.1.gz")
        env = dict(os.environ, MANPAGER="cat", MANWIDTH="80", LC_ALL="C.UTF-8")
        shown = subprocess.run(["man", "-l", page], capture_output=True, env=env, timeout=60)
        self.assertEqual((shown.returncode, shown.stderr), (0, b""))
        text = shown.stdout.decode()
        for heading in ("NAME", "SYNOPSIS", "OPTIONS", "STANDARD INPUT", "EXIT STATUS", "ON LINUX", "EXAMPLES"):
            self.assertIn("\n" + heading + "\n", text)
        self.assertIn("Dorvane " + VERSION, text)


def main():
    global CPACK, BUILD, MAKE_SAMPLES, VERSION, ARCHITECTURE, EMULATOR
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--samples", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--architecture", default="")
    parser.add_argument("--emulator", default="")
    args, rest = parser.parse_known_args()
    CPACK, BUILD, MAKE_SAMPLES, VERSION = args.cpack, args.build, args.samples, args.version
    ARCHITECTURE = args.architecture or subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                                                       text=True).stdout.strip()
    EMULATOR = shlex.split(args.emulator)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
