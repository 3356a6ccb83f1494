"""Writing the files of a test project, making a folder refuse new names, and
racing a test's steps from another process."""

import array
import fcntl
import os
import subprocess
import sys
from contextlib import contextmanager
from pathlib import Path

import pytest


def write(path, text):
    """Write `text` (UTF-8, line ends as given) or bytes to `path`, making its folders."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
    return path


@contextmanager
def refusing_new_names(directory):
    """Make `directory` refuse new names while the files in it stay writable: by
    its mode, or for root, who passes over modes, by the immutable flag (the test
    is skipped where that flag cannot be set)."""
    if os.geteuid() != 0:
        os.chmod(directory, 0o555)
        try:
            yield
        finally:
            os.chmod(directory, 0o755)
        return
    get_flags, set_flags, immutable = 0x80086601, 0x40086602, 0x10  # FS_IOC_GETFLAGS, FS_IOC_SETFLAGS
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        flags = array.array("i", [0])
        try:
            fcntl.ioctl(fd, get_flags, flags, True)
            fcntl.ioctl(fd, set_flags, array.array("i", [flags[0] | immutable]), True)
        except OSError as error:
            pytest.skip(f"the immutable flag cannot be set here: {error}")
        try:
            yield
        finally:
            fcntl.ioctl(fd, set_flags, flags, True)
    finally:
        os.close(fd)


@contextmanager
def racing(body, uid=None):
    """Run the Python statements `body` (with `os` imported) over and over in
    another process, on another core, from before the block starts until it
    ends; an `OSError` of one round is ignored. With `uid`, the process acts
    as that user (its group `uid`, no other groups, no override rights)."""
    drop = f"os.setgroups([]); os.setgid({uid}); os.setuid({uid})\n" if uid is not None else ""
    code = ("import os\n" + drop + "print(flush=True)\nwhile True:\n    try:\n"
            + "".join("        " + line + "\n" for line in body.splitlines()) + "    except OSError:\n        pass\n")
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE)
    try:
        child.stdout.readline()  # it runs
        yield
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
