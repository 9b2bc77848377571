"""What the Python suites share: the tool's standard input for a list of
files, the tool's rebase of one, the programs a case needs, a scratch tmpfs,
and a file, or its base, read without changing its access time."""
import contextlib
import os
import shutil
import subprocess
import tempfile
import unittest

from pe_fields import PeFields


def listing(paths):
    """The tool's standard input for `paths`: one a line."""
    return "".join(p + "\n" for p in paths).encode()


def rebase(tool, path, base):
    """Rebases `path` to `base` with the tool started as `tool` (a list);
    fails the case unless the tool says it went through."""
    result = subprocess.run(tool + ["/BASE:%X" % base], input=listing([path]), capture_output=True, timeout=120)
    assert result.returncode == 0, result.stdout


def need(*programs):
    """Skips the case unless every one of `programs` is installed."""
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        raise unittest.SkipTest("not installed: " + ", ".join(missing))


@contextlib.contextmanager
def tmpfs(options, directory=None):
    """A tmpfs mounted with `options` ("size=1m", "noexec,size=1m") in a new
    folder of `directory`, for the length of a `with` block; the case is
    skipped where no file system can be mounted."""
    mount = tempfile.mkdtemp(dir=directory)
    try:
        if subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", mount], capture_output=True).returncode != 0:
            raise unittest.SkipTest("cannot mount a file system here")
        try:
            yield mount
        finally:
            subprocess.run(["umount", mount], check=True)
    finally:
        os.rmdir(mount)


def read_quietly(path, size=-1):
    """The file's bytes, read without changing its access time."""
    fd = os.open(path, os.O_RDONLY | os.O_NOATIME)
    with os.fdopen(fd, "rb") as f:
        return f.read(size)


def image_base(path):
    """ImageBase and SizeOfImage, read straight from the file's headers."""
    data = read_quietly(path, 4096)
    fields = PeFields(data)
    return fields.read(data, "image_base"), fields.read(data, "size_of_image")
