"""Runs a program as an unprivileged user, for tests that run as root.

That user may not be able to reach the program where it was built (a
checkout under /root is mode 0700 on a fresh system), so it runs a copy of
the program placed in a directory of its own that everyone can enter.
"""
import os
import shutil
import subprocess
import tempfile

NOBODY = 65534


def drop_to_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def run_as_nobody(command, **kwargs):
    """Like subprocess.run(command, **kwargs), but as user and group 65534,
    running a copy of command[0]; the caller must be root."""
    with tempfile.TemporaryDirectory() as directory:
        os.chmod(directory, 0o755)
        program = shutil.copy(command[0], directory)
        os.chmod(program, 0o755)
        return subprocess.run([program] + list(command[1:]), cwd=directory, preexec_fn=drop_to_nobody, **kwargs)
