"""The one writer of whole files, through its users: what a replaced file keeps
(owner, group, access rights)."""

import errno
import os
import shutil
import stat
import struct
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


@pytest.fixture
def shared():
    """A folder that other users can reach (the test's own are root's alone)."""
    if os.geteuid() != 0:
        pytest.skip("acting as other users needs root")
    path = Path(tempfile.mkdtemp(prefix="orvo-shared-"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


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
