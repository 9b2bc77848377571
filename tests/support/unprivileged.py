"""Runs a program as an unprivileged user, for tests that run as root.

That user may not be able to reach the program where it was built (a
checkout under /root is mode 0700 on a fresh system), so it runs a copy of
the program placed in a directory that everyone can enter; under an
emulator, a copy of the program that the emulator runs too.
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
    running copies of the command's words that name files (the program, or
    an emulator and the program it runs); the caller must be root."""
    with tempfile.TemporaryDirectory() as directory:
        os.chmod(directory, 0o755)
        words = []
        for index, word in enumerate(command):
            if os.path.isfile(word):
                place = os.path.join(directory, str(index))
                os.mkdir(place)
                os.chmod(place, 0o755)
                word = shutil.copy(word, place)
                os.chmod(word, 0o755)
            words.append(word)
        return subprocess.run(words, cwd=directory, preexec_fn=drop_to_nobody, **kwargs)
