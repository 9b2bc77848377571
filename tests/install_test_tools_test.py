"""The set-up's decisions, against a fake apt first on PATH (no network).

Run as: install_test_tools_test.py --script tests/install_test_tools.sh
The fake apt-get, apt-cache, dpkg, dpkg-query and id log every call and act
as the case says: an update that fails a number of times (as a mirror caught
mid-sync fails one index), package lists that lack a package, an install
refused for a version skew between the two architectures, with or without
the main release as the target.
"""
import argparse
import os
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from runs import tmpfs

SCRIPT = ""
FAILED_INDEX = "http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"
FAKE = r"""#!/bin/sh
echo "$(basename "$0") $*" >> "$FAKE_DIR/calls"
case "$(basename "$0") $1" in
  "id -u") echo "$FAKE_UID" ;;
  "dpkg-query "*)
    [ "$FAKE_INSTALLED" = all ] && for p in "$@"; do
      case $p in -*) ;; *:*) echo "${p%:*} ${p#*:} installed" ;; *) echo "$p amd64 installed" ;; esac
    done ;;
  "dpkg --print-architecture") echo amd64 ;;
  "dpkg --print-foreign-architectures") ;;
  "dpkg --add-architecture") ;;
  "apt-cache policy") echo "$2:"; [ "$FAKE_LISTS" = full ] && echo "  Candidate: 1.0" || echo "  Candidate: (none)" ;;
  "apt-get update")
    n=$(cat "$FAKE_DIR/updates" 2>/dev/null || echo 0); echo $((n + 1)) > "$FAKE_DIR/updates"
    if [ "$n" -lt "$FAKE_UPDATE_FAILURES" ]; then
      echo "E: Failed to fetch FAILED_INDEX  File has unexpected size (1 != 2). Mirror sync in progress?"; exit 100
    fi ;;
  "apt-get install")
    case "$*" in *" -t "*) outcome=$FAKE_INSTALL_TARGETED ;; *) outcome=$FAKE_INSTALL ;; esac
    case $outcome in
      skew) echo "The following packages have unmet dependencies:"
            echo " libwine:i386 : Depends: libgstreamer-plugins-base1.0-0:i386 (>= 1.0.0) but it is not going to be installed"
            echo "E: Unable to correct problems, you have held broken packages."; exit 100 ;;
      fail) echo "E: Failed to fetch http://deb.debian.org/pool/x.deb  404  Not Found"; exit 100 ;;
    esac ;;
esac
""".replace("FAILED_INDEX", FAILED_INDEX)
RELEASE = subprocess.run(["sh", "-c", ". /etc/os-release && echo $VERSION_CODENAME"],
                         capture_output=True, text=True).stdout.strip()


class Setup(unittest.TestCase):
    def run_setup(self, uid=0, installed="none", update_failures=0, lists="full", install="ok",
                  install_targeted="ok", runs_x86_32="OFF"):
        with tempfile.TemporaryDirectory() as fake_dir:
            with open(os.path.join(fake_dir, "fake"), "w") as f:
                f.write(FAKE)
            os.chmod(os.path.join(fake_dir, "fake"), stat.S_IRWXU)
            for name in ("apt-get", "apt-cache", "dpkg", "dpkg-query", "id"):
                os.symlink("fake", os.path.join(fake_dir, name))
            env = dict(os.environ, PATH=fake_dir + ":" + os.environ["PATH"], FAKE_DIR=fake_dir,
                       FAKE_UID=str(uid), FAKE_INSTALLED=installed, FAKE_UPDATE_FAILURES=str(update_failures),
                       FAKE_LISTS=lists, FAKE_INSTALL=install, FAKE_INSTALL_TARGETED=install_targeted,
                       DORVANE_RUNS_X86_32=runs_x86_32, DORVANE_APT_RETRY_PAUSE="0")
            result = subprocess.run(["bash", SCRIPT], env=env, capture_output=True, text=True, timeout=60)
            calls_file = os.path.join(fake_dir, "calls")
            calls = []
            if os.path.exists(calls_file):
                with open(calls_file) as f:
                    calls = f.read().splitlines()
        apt = [c for c in calls if c.startswith(("apt-get", "dpkg --add"))]
        return result.returncode, result.stdout + result.stderr, apt

    def test_decisions(self):
        update, install = "apt-get update -q", "apt-get install -y -q"
        targeted = "apt-get install -y -q -t " + RELEASE
        index_line = "apt-get update failed (attempt 1 of 3): Failed to fetch " + FAILED_INDEX
        later = "a later run may succeed"
        # (case, settings, status, apt calls, words the output must hold)
        cases = [
            ("everything installed: no network call", dict(installed="all"), 0, [], []),
            ("not root: the one command to run", dict(uid=1000), 1, [], ["Run this as root", "apt-get update && apt-get install -y cmake"]),
            ("an update that fails once", dict(update_failures=1), 0, [update, update, install], [index_line]),
            ("an update that keeps failing, lists that hold everything", dict(update_failures=99), 0,
             [update] * 3 + [install], [index_line, "attempt 3 of 3", "Going on with the package lists already here"]),
            ("an update that keeps failing, lists that lack a package", dict(update_failures=99, lists="lacking"), 1,
             [update] * 3, ["Could not install", "lack some of them", later]),
            ("a skew that the main release mends", dict(install="skew"), 0, [update, install, targeted],
             ["different versions", "-t " + RELEASE]),
            ("a skew that stays", dict(install="skew", install_targeted="skew"), 1, [update, install, targeted],
             ["Could not install", "held broken packages", "  libwine:i386 : Depends: libgstreamer", later]),
            ("a failure that is no skew", dict(install="fail"), 1, [update, install], ["Could not install", "404", later]),
            ("32-bit x86 runs: wine32 and its architecture", dict(runs_x86_32="ON"), 0,
             ["dpkg --add-architecture i386", update, install], ["wine32:i386"]),
        ]
        for name, settings, status, calls, words in cases:
            with self.subTest(name):
                got_status, output, apt = self.run_setup(**settings)
                self.assertEqual(got_status, status, output)
                self.assertEqual([c.split(" cmake ")[0] for c in apt], calls, output)
                for word in words:
                    self.assertIn(word, output)
                if settings.get("runs_x86_32") != "ON":
                    self.assertNotIn("wine32", output + "".join(apt))


class Probe(unittest.TestCase):
    """The probe whose answer lets the 32-bit suites go unrun: only a clear
    "no" does; a directory it cannot run programs from is no answer."""

    def test_a_noexec_directory_is_no_answer(self):
        probe = os.path.join(os.path.dirname(SCRIPT), "support", "runs_x86_32.sh")
        with tmpfs("noexec,size=1m") as mount:
            result = subprocess.run(["sh", probe, mount], capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout.split(":")[0]), (2, "unknown"), result.stdout)


def main():
    global SCRIPT
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    args, rest = parser.parse_known_args()
    SCRIPT = args.script
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
