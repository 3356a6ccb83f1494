"""The one writer of whole files, through its users: what a replaced file keeps
(owner, group, access rights), and a file written in place that has no room
for its new content."""

import errno
import os
import shutil
import stat
import struct
import sys
import tempfile
from pathlib import Path

import pytest

import palvex
from dialogue import run
from files import write

SETTINGS = {"AI_API_KEY": "sk-abc", "AI_API_URL": "http://u/v1", "AI_MODEL": "m"}
LONG = dict(SETTINGS, AI_API_KEY="sk-" + "x" * 9000)

# POSIX ACLs as the kernel takes them in the extended attributes.
ACCESS, DEFAULT = "system.posix_acl_access", "system.posix_acl_default"
USER_OBJ, USER, GROUP_OBJ, MASK, OTHER = 0x01, 0x02, 0x04, 0x10, 0x20


def acl(*entries):
    """The binary form of an ACL of (tag, permission bits, id) entries."""
    entries = sorted((tag, perm, 0xFFFFFFFF if ident is None else ident) for tag, perm, ident in entries)
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *entry) for entry in entries)


def has_acl(path):
    try:
        os.getxattr(path, ACCESS)
        return True
    except OSError as error:
        assert error.errno == errno.ENODATA
        return False


def as_user(uid, groups, code, cwd):
    """Run `code` in a child that has loaded the modules as root and then
    became `uid` (its group `uid`, beside `groups`), with no override rights."""
    drop = (f"import os, osmeran, palvex\nos.setgroups({list(groups)}); os.setgid({uid}); os.setuid({uid})\n"
            "assert 'CapEff:\\t0000000000000000' in open('/proc/self/status').read()\n")
    return run(drop + code, cwd=cwd)


def test_owner_and_group_that_cannot_be_given_are_kept_by_writing_in_place(shared):
    # A group-writable tree; uid 1002 of group 2000 injects.
    os.chown(shared, 0, 2000)
    shared.chmod(0o775)
    owners = {"theirs": (1001, 2000, 0o660), "foreign_group": (1002, 3000, 0o640), "mine": (1002, 2000, 0o640)}
    before = {}
    for name, (uid, gid, mode) in owners.items():
        path = write(shared / f"{name}.py", "x = 1\n")
        os.chown(path, uid, gid)
        path.chmod(mode)
        before[name] = path.stat().st_ino
    code = ("for name in ('theirs', 'foreign_group', 'mine'):\n"
            "    print(osmeran.Osmeran()._inject_comment_to_file(name + '.py', 1, 'note', '#'))\n")
    out = as_user(1002, [2000], code, shared)
    assert out.stdout.split() == ["True"] * 3, out.stderr
    for name, owner in owners.items():
        info = (shared / f"{name}.py").stat()
        assert (shared / f"{name}.py").read_text() == "x = 1 # note\n"
        assert (info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)) == owner, name
        # The one file whose owner and group the writer can give is replaced; the others are written in place.
        assert (info.st_ino == before[name]) is (name != "mine"), name
    assert sorted(p.name for p in shared.iterdir()) == ["foreign_group.py", "mine.py", "theirs.py"]


def test_access_rights_are_the_old_files_not_the_folders_default(shared, monkeypatch, capsys):
    folder = shared / ".config" / "orvo"
    folder.mkdir(parents=True)
    grant_4001 = acl((USER_OBJ, 7, None), (USER, 4, 4001), (GROUP_OBJ, 5, None), (MASK, 5, None), (OTHER, 0, None))
    try:
        os.setxattr(folder, DEFAULT, grant_4001)
    except OSError as error:
        pytest.skip(f"no ACLs on this file system: {error}")
    monkeypatch.setenv("HOME", str(shared))
    path = folder / "config"

    def reads(uid):
        code = f"try:\n    open({str(path)!r}).read(); print('read')\nexcept PermissionError:\n    print('refused')\n"
        return as_user(uid, [], code, shared).stdout.strip() == "read"

    palvex.save_config(SETTINGS)  # a new file: its owner's alone, without the inherited entries
    assert stat.S_IMODE(path.stat().st_mode) == 0o600 and not has_acl(path)
    path.chmod(0o640)
    palvex.save_config(SETTINGS)
    assert stat.S_IMODE(path.stat().st_mode) == 0o640 and not has_acl(path) and not reads(4001)
    # An ACL of the file's own goes with it to the new file.
    os.setxattr(path, ACCESS, acl((USER_OBJ, 6, None), (USER, 4, 4002), (GROUP_OBJ, 4, None), (MASK, 4, None),
                                  (OTHER, 0, None)))
    own, inode = os.getxattr(path, ACCESS), path.stat().st_ino
    palvex.save_config(SETTINGS)
    assert path.stat().st_ino != inode and os.getxattr(path, ACCESS) == own
    assert reads(4002) and not reads(4001)
    capsys.readouterr()


def saved_sizes():
    """Save the long settings, then the short ones, and link the file: the
    size of each and the path."""
    path = palvex.get_user_config_path()
    palvex.save_config(LONG)
    long_size = path.stat().st_size
    palvex.save_config(SETTINGS)
    os.link(path, path.with_name("linked"))
    return path, long_size


def test_in_place_the_file_size_limit_refuses_the_new_content_before_a_byte_changes(capsys):
    path, long_size = saved_sizes()
    before = path.read_bytes()
    def save_within(limit):
        return run("import resource, signal, palvex; signal.signal(signal.SIGXFSZ, signal.SIG_IGN); "
                   f"resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit})); palvex.save_config({LONG!r})")

    out = save_within(long_size - 1)
    assert out.returncode == 1 and "OSError: [Errno 27] File too large" in out.stderr
    assert path.read_bytes() == before and path.with_name("linked").read_bytes() == before
    out = save_within(long_size)  # room for exactly the new content
    assert out.returncode == 0, out.stderr
    assert path.stat().st_size == long_size and os.path.samefile(path, path.with_name("linked"))
    capsys.readouterr()


def test_in_place_a_full_disk_refuses_the_new_content_before_a_byte_changes(tmp_path):
    if os.geteuid() != 0 or not shutil.which("unshare"):
        pytest.skip("a small disk of its own needs root and unshare")
    disk = tmp_path / "disk"
    disk.mkdir()
    # In a mount namespace of its own, so the disk goes with the child.
    code = f"""
import os, subprocess, palvex
subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", {str(disk)!r}], check=True)
os.environ["HOME"] = {str(disk)!r}
path = palvex.get_user_config_path()
palvex.save_config({SETTINGS!r})
os.link(path, path.with_name("linked"))
before = path.read_bytes()
fill = os.open({str(disk / "fill")!r}, os.O_WRONLY | os.O_CREAT)
try:
    while os.write(fill, b"x" * 4096):
        pass
except OSError:
    pass
try:
    palvex.save_config({LONG!r})
except OSError as error:
    print(error.errno == 28, path.read_bytes() == before == path.with_name("linked").read_bytes())
"""
    out = run(["unshare", "--mount", "--propagation", "private", sys.executable, "-c", code])
    if "mount" in out.stderr and out.returncode != 0:
        pytest.skip(f"no mount here: {out.stderr.strip().splitlines()[-1]}")
    assert out.stdout.split()[-2:] == ["True", "True"], out.stdout + out.stderr
