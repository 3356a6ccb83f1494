"""Writing the files of a test project, making a folder refuse new names,
racing a test's steps from another process, and a process whose kernel makes
no unnamed files."""

import array
import ctypes
import errno
import fcntl
import os
import platform
import struct
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


# Where a child interpreter finds this module: PYTHONPATH for `dialogue.run`.
HELPERS = {"PYTHONPATH": str(Path(__file__).parent)}


def refuse_unnamed_files():
    """From now on, have the kernel refuse this process every unnamed file
    (`open` with O_TMPFILE fails with EOPNOTSUPP), as a file system without them
    does: a seccomp filter, kept for the life of the process and its children.
    False where the filter cannot be set here (an unknown machine)."""
    machines = {"x86_64": (0xC000003E, 257), "aarch64": (0xC00000B7, 56)}  # audit arch, openat
    if platform.machine() not in machines:
        return False
    arch, openat = machines[platform.machine()]
    load, equal, any_bit, give = 0x20, 0x15, 0x45, 0x06  # BPF_LD|W|ABS, BPF_JMP|JEQ|K, BPF_JMP|JSET|K, BPF_RET|K
    unnamed = os.O_TMPFILE & ~os.O_DIRECTORY
    program = [(load, 0, 0, 4), (equal, 0, 5, arch),  # seccomp_data.arch
               (load, 0, 0, 0), (equal, 0, 3, openat),  # .nr
               (load, 0, 0, 32), (any_bit, 0, 1, unnamed),  # .args[2], the flags (low half)
               (give, 0, 0, 0x00050000 | errno.EOPNOTSUPP), (give, 0, 0, 0x7FFF0000)]
    code = b"".join(struct.pack("HBBI", *step) for step in program)
    buffer = ctypes.create_string_buffer(code, len(code))

    class Program(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    libc = ctypes.CDLL(None, use_errno=True)
    no_new_privs, set_seccomp, filter_mode = 38, 22, 2
    if libc.prctl(no_new_privs, 1, 0, 0, 0) != 0 or libc.prctl(
            set_seccomp, filter_mode, ctypes.byref(Program(len(program), ctypes.addressof(buffer))), 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "seccomp")
    try:
        os.close(os.open(".", os.O_TMPFILE | os.O_WRONLY, 0o600))
    except OSError as error:
        assert error.errno == errno.EOPNOTSUPP
        return True
    raise AssertionError("unnamed files are still made")


def without_unnamed_files(code):
    """Python code for a child (run with HELPERS in its environment) that runs
    `code` where the kernel makes no unnamed files."""
    return "import files\nassert files.refuse_unnamed_files()\n" + code
