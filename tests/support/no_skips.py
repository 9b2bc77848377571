"""Runs a unittest script so that no case passes by being skipped.

Run as: no_skips.py SCRIPT [ARGS...]
Every skipped case is printed with its reason ("SKIPPED: ...") and fails
the run, unless DORVANE_ALLOW_SKIPS=1 is set: then the run ends with status
77, which ctest reports as skipped. A script that ends with status 77 on its
own counts as skipped too.
"""
import os
import runpy
import sys
import unittest

SKIPPED = 77
skips = []


def recording(add_skip):
    def add(result, test, reason):
        skips.append((test.id(), reason))
        add_skip(result, test, reason)
    return add


def status_of(exit_code):
    if exit_code is None or exit_code is False:
        return 0
    if exit_code is True:
        return 1
    if isinstance(exit_code, int):
        return exit_code
    print(exit_code, file=sys.stderr)
    return 1


def run_script(script, args):
    sys.argv = [script] + args
    sys.path[0] = os.path.dirname(script)
    unittest.TestResult.addSkip = recording(unittest.TestResult.addSkip)
    try:
        runpy.run_path(script, run_name="__main__")
    except SystemExit as done:
        return status_of(done.code)
    return 0


def main():
    script = os.path.abspath(sys.argv[1])
    status = run_script(script, sys.argv[2:])
    if status not in (0, SKIPPED):
        sys.exit(status)
    if not skips and status == 0:
        sys.exit(0)
    for test, reason in skips or [(script, "the script reported itself skipped")]:
        print("SKIPPED: %s: %s" % (test, reason), file=sys.stderr)
    if os.environ.get("DORVANE_ALLOW_SKIPS") == "1":
        sys.exit(SKIPPED)
    print("A skipped test fails the suite; DORVANE_ALLOW_SKIPS=1 allows it.", file=sys.stderr)
    sys.exit(1)


if __name__ == "__main__":
    main()
