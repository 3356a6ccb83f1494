"""The one writer of whole files, through its users: what a replaced file keeps
(owner, group, access rights), what a new file gets, a replacement that is
never more open than the file it replaces, a signal that leaves no temporary
file, and a file written in place that has no room for its new content."""

import errno
import os
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

import nestrel
import palvex
from dialogue import run
from files import HELPERS, without_unnamed_files, write

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


def test_without_proc_an_existing_file_is_replaced_and_keeps_its_rights(isolated):
    if os.geteuid() != 0 or not shutil.which("unshare"):
        pytest.skip("a /proc of its own needs root and unshare")
    palvex.save_config(SETTINGS)
    # The settings (an entry of its own folder, opened by its path) and the
    # comment document (an entry of a folder held open beneath the working
    # directory).
    config, document = palvex.get_user_config_path(), write(isolated / ".orvo" / "comments.json", "[]")
    write(isolated / "a.py", "x = 1  # note\n")
    kept = {"user.origin": b"mine"}
    try:
        os.setxattr(document, ACCESS, acl((USER_OBJ, 6, None), (USER, 4, 4002), (GROUP_OBJ, 4, None), (MASK, 4, None),
                                        (OTHER, 0, None)))
        kept[ACCESS] = os.getxattr(document, ACCESS)
    except OSError as error:
        assert error.errno == errno.ENOTSUP
    for path, mode in [(config, 0o640), (document, 0o644)]:
        os.chown(path, 1001, 2000)
        path.chmod(mode)
        for name, value in kept.items():
            os.setxattr(path, name, value)
    before = {path: path.stat() for path in (config, document)}
    # In a mount namespace of its own, where an empty file system hides /proc.
    code = f"""
import os, subprocess, nestrel, palvex
subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/proc"], check=True)
assert not os.path.exists("/proc/self")
palvex.save_config({LONG!r})
nestrel.extract_comments()
"""
    out = run(["unshare", "--mount", "--propagation", "private", sys.executable, "-c", code])
    if out.returncode != 0 and ("unshare:" in out.stderr or "CalledProcessError" in out.stderr):
        pytest.skip(f"no mount namespace here: {out.stderr.strip().splitlines()[-1]}")
    assert out.returncode == 0 and "Errno" not in out.stdout, out.stdout + out.stderr
    assert LONG["AI_API_KEY"] in config.read_text() and '"content": "note"' in document.read_text()
    for path, old in before.items():
        new = path.stat()
        assert new.st_ino != old.st_ino, path  # replaced, not written in place
        assert (new.st_uid, new.st_gid, new.st_mode) == (old.st_uid, old.st_gid, old.st_mode), path
        assert {name: os.getxattr(path, name) for name in kept} == kept, path
    assert os.listdir(config.parent) == ["config"] and os.listdir(document.parent) == ["comments.json"]


# ------------------------------------------- a new file, while it is written

# How the replacement is made: an unnamed file where the kernel makes them,
# else a named temporary file (the kernel refusing unnamed files to the child).
WAYS = ["unnamed", "named"]


def in_child(code, way, env=None):
    """Run `code` in a child interpreter that makes its files the `way` given."""
    return run(without_unnamed_files(code) if way == "named" else code, env=dict(HELPERS, **(env or {})))


# inotify through libc: IN_CREATE | IN_MOVED_TO, one event at a time.
WATCHER = r"""
import ctypes, os, select, struct, sys, time
os.setgroups([]); os.setgid(4001); os.setuid(4001)
assert 'CapEff:\t0000000000000000' in open('/proc/self/status').read()
directory, keep, seconds = sys.argv[1], sys.argv[2].encode(), float(sys.argv[3])
libc = ctypes.CDLL(None, use_errno=True)
watch = libc.inotify_init1(os.O_CLOEXEC)
assert watch >= 0 and libc.inotify_add_watch(watch, directory.encode(), 0x100 | 0x80) >= 0
print("watching", flush=True)
seen = opened = 0
end = time.monotonic() + seconds
while time.monotonic() < end:
    if not select.select([watch], [], [], 0.1)[0]:
        continue
    events = os.read(watch, 65536)
    at = 0
    while at < len(events):
        size = struct.unpack_from("iIII", events, at)[3]
        name = events[at + 16:at + 16 + size].rstrip(b"\0")
        at += 16 + size
        if name == keep:
            continue
        seen += 1
        try:
            os.close(os.open(os.path.join(directory.encode(), name), os.O_RDONLY | os.O_NONBLOCK))
            opened += 1
        except OSError:
            pass
print(seen, opened, flush=True)
"""


@pytest.mark.parametrize("way", WAYS)
def test_another_user_never_opens_the_replacement_of_an_owner_only_file(shared, way):
    # Root rewrites its own file, for its owner alone, over and over; uid 4001
    # opens every name that appears beside it the moment it appears.
    secret = write(shared / "secret.json", "old")
    secret.chmod(0o600)
    seconds = 3
    with subprocess.Popen([sys.executable, "-c", WATCHER, str(shared), secret.name, str(seconds)],
                          stdout=subprocess.PIPE, text=True) as watcher:
        try:
            assert watcher.stdout.readline() == "watching\n"
            code = (f"import time, nestrel\nend = time.monotonic() + {seconds - 0.5}\nn = 0\n"
                    "while time.monotonic() < end:\n"
                    f"    nestrel.Nestrel().save_to_json([n] * 2000, {str(secret)!r})\n    n += 1\nprint(n)\n")
            rewrites = in_child(code, way)
            assert rewrites.returncode == 0, rewrites.stderr
            seen, opened = map(int, watcher.stdout.readline().split())
        finally:
            watcher.kill()
    assert seen >= int(rewrites.stdout) > 50  # every replacement was in reach
    assert opened == 0
    assert stat.S_IMODE(secret.stat().st_mode) == 0o600 and sorted(os.listdir(shared)) == ["secret.json"]


def comments_document_child(setup, after):
    """Code that saves a large comment document into .orvo three times, after
    `setup` and before `after`."""
    return f"""
import os, signal, sys, nestrel
{setup}
records = [{{"file": "src/f%d.py" % i, "comments": [{{"line": "1", "content": "x" * 300}}]}} for i in range(40000)]
os.makedirs(".orvo", exist_ok=True)
print("saving", flush=True)
for _ in range(3):
    nestrel.Nestrel().save_to_json(records, ".orvo/comments.json")
print("saved", flush=True)
{after}
"""


def file_being_written(child, directory):
    """The name in `directory` of a file that the process `child` has open
    (an unnamed file shows as '#<number> (deleted)'), waited for."""
    end = time.monotonic() + 20
    while time.monotonic() < end:
        for fd in os.listdir(f"/proc/{child.pid}/fd"):
            try:
                target = os.readlink(f"/proc/{child.pid}/fd/{fd}")
            except OSError:
                continue
            if target.startswith(str(directory) + "/") and not target.endswith("/comments.json"):
                return target[len(str(directory)) + 1:]
        time.sleep(0.001)
    raise AssertionError("the document was never written")


# How a signal meets the saving child: the disposition the child set before
# (and what it does after saving), and what it shows of the signal. A handler
# of Python's own is still there after the saves.
DISPOSITIONS = {
    "TERM, default": ("", "", signal.SIGTERM, lambda out: out.returncode == -signal.SIGTERM),
    "INT, Python's own": ("", "", signal.SIGINT, lambda out: "KeyboardInterrupt" in out.stderr),
    "TERM, a Python handler": (
        "hits = []\nsignal.signal(signal.SIGTERM, lambda *_: hits.append(1))",
        "signal.raise_signal(signal.SIGTERM)\nprint('handled', len(hits))", signal.SIGTERM,
        lambda out: out.returncode == 0 and out.stdout.split()[-2:] == ["handled", "2"]),
    "TERM, ignored": ("signal.signal(signal.SIGTERM, signal.SIG_IGN)", "", signal.SIGTERM,
                      lambda out: out.returncode == 0 and out.stdout.endswith("saved\n")),
}


@pytest.mark.parametrize("disposition", DISPOSITIONS)
@pytest.mark.parametrize("way", WAYS)
def test_a_signal_while_the_document_is_written_leaves_no_temporary_file(isolated, way, disposition):
    setup, after, number, shows = DISPOSITIONS[disposition]
    code = comments_document_child(setup, after)
    with subprocess.Popen([sys.executable, "-c", without_unnamed_files(code) if way == "named" else code],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, **HELPERS)) as child:
        try:
            assert child.stdout.readline() == "saving\n"
            name = file_being_written(child, isolated / ".orvo")
            assert name.endswith(" (deleted)") if way == "unnamed" else name.startswith(".comments.json.")
            child.send_signal(number)
            stdout, stderr = child.communicate(timeout=60)
        finally:
            child.kill()
    out = type("Out", (), {"stdout": "saving\n" + stdout, "stderr": stderr, "returncode": child.returncode})
    assert shows(out), (child.returncode, stdout, stderr[-2000:])
    assert os.listdir(isolated / ".orvo") in ([], ["comments.json"])


@pytest.mark.parametrize("way", WAYS)
def test_sigterm_during_the_extraction_command_leaves_no_temporary_file(isolated, way):
    for number in range(400):
        write(isolated / "src" / f"m{number}.py", "".join(f"x = 1  # comment {line}\n" for line in range(200)))
    code = "import nestrel\nnestrel.extract_comments()\n"
    with subprocess.Popen([sys.executable, "-c", without_unnamed_files(code) if way == "named" else code],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ, **HELPERS)) as child:
        try:
            file_being_written(child, isolated / ".orvo")
            child.terminate()
            child.communicate(timeout=60)
        finally:
            child.kill()
    assert child.returncode == -signal.SIGTERM
    assert os.listdir(isolated / ".orvo") == []


# The document is written through Python's json module, which asks a record
# of a dict subclass for its items; meanwhile the settings are saved, and the
# kernel sends SIGTERM the moment their new file appears in its folder
# (dnotify): the handlers of two modules, each with a file of its own.
TWO_MODULES = """
import fcntl, os, signal, nestrel, palvex
palvex.save_config({settings!r})
folder = os.open(palvex.get_user_config_path().parent, os.O_RDONLY | os.O_DIRECTORY)
class Record(dict):
    def items(self):
        fcntl.fcntl(folder, fcntl.F_SETSIG, signal.SIGTERM)
        fcntl.fcntl(folder, fcntl.F_NOTIFY, fcntl.DN_CREATE)
        palvex.save_config({settings!r})
        return super().items()
nestrel.Nestrel().save_to_json([Record(a=1)], "doc.json")
print("saved")
"""


@pytest.mark.parametrize("way", WAYS)
def test_sigterm_while_two_modules_write_leaves_no_temporary_file_of_either(isolated, way):
    out = in_child(TWO_MODULES.format(settings=SETTINGS), way)
    assert out.returncode == -signal.SIGTERM, (out.stdout, out.stderr)
    assert os.listdir(isolated) == [] and os.listdir(palvex.get_user_config_path().parent) == ["config"]


NEW_FILE = "import nestrel\nnestrel.Nestrel().save_to_json([1], 'made.json')\n"


@pytest.mark.parametrize("way", WAYS)
def test_the_signal_dispositions_are_as_before_once_the_document_is_saved(isolated, way):
    # Python's handler of SIGINT, SIGTERM ignored, then SIGTERM's default.
    code = """
import signal, nestrel
def dispositions():
    fields = dict(line.split(":\\t") for line in open("/proc/self/status").read().splitlines() if ":\\t" in line)
    return fields["SigCgt"], fields["SigIgn"]
for setting in [signal.SIG_IGN, signal.SIG_DFL]:
    signal.signal(signal.SIGTERM, setting)
    before = dispositions()
    nestrel.Nestrel().save_to_json([1], "doc.json")
    print(dispositions() == before)
"""
    out = in_child(code, way)
    assert out.stdout.split() == ["True", "True"], out.stderr


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002], ids=oct)
@pytest.mark.parametrize("way", WAYS)
def test_a_new_file_gets_the_bits_open_gives_it(isolated, way, umask):
    out = in_child(f"import os\nos.umask({umask})\n" + NEW_FILE
                   + "os.close(os.open('opened.json', os.O_WRONLY | os.O_CREAT, 0o666))\n", way)
    assert out.returncode == 0, out.stderr
    made, opened = os.stat(isolated / "made.json"), os.stat(isolated / "opened.json")
    assert stat.S_IMODE(made.st_mode) == stat.S_IMODE(opened.st_mode) == 0o666 & ~umask
    assert (isolated / "made.json").read_text() == "[\n  1\n]"


@pytest.mark.parametrize("way", WAYS)
def test_a_new_file_in_a_folder_with_a_default_acl_gets_what_open_gives(isolated, way):
    grant = acl((USER_OBJ, 7, None), (USER, 6, 4001), (GROUP_OBJ, 5, None), (MASK, 7, None), (OTHER, 4, None))
    try:
        os.setxattr(isolated, DEFAULT, grant)
    except OSError as error:
        pytest.skip(f"no ACLs on this file system: {error}")
    out = in_child("import os\nos.umask(0o077)\n" + NEW_FILE
                   + "os.close(os.open('opened.json', os.O_WRONLY | os.O_CREAT, 0o666))\n", way)
    assert out.returncode == 0, out.stderr
    made, opened = isolated / "made.json", isolated / "opened.json"
    assert stat.S_IMODE(made.stat().st_mode) == stat.S_IMODE(opened.stat().st_mode) == 0o664
    assert os.getxattr(made, ACCESS) == os.getxattr(opened, ACCESS)
    # An owner-only file takes none of the entries: the settings file.
    (isolated / ".config" / "orvo").mkdir(parents=True)
    out = in_child("import palvex\npalvex.save_config({'AI_API_KEY': 'k', 'AI_API_URL': 'u', 'AI_MODEL': 'm'})\n",
                   way, env={"HOME": str(isolated)})
    config = isolated / ".config" / "orvo" / "config"
    assert out.returncode == 0, out.stderr
    assert stat.S_IMODE(config.stat().st_mode) == 0o600 and not has_acl(config)


ANSWER = """
import os, quorlin
class Client:
    def chat_completion(self, messages, temperature):
        return {"choices": [{"message": {"content": "notes"}}]}
quorlin.create_corvane = Client
quorlin.Quorlin.enhance_prompt = lambda self, prompt, mode: "answer"
os.umask(0o027)
quorlin.run_quorlin()
"""


@pytest.mark.parametrize("way", WAYS)
def test_a_new_answer_file_is_made_whole_with_the_bits_open_gives(isolated, way):
    mine = write(isolated / "notes.md", "mine")  # not an answer file: never written over
    out = run(without_unnamed_files(ANSWER) if way == "named" else ANSWER, ["task", "1", "t", "2"], env=HELPERS)
    assert out.returncode == 0, out.stderr
    made = [name for name in os.listdir(isolated) if name != "notes.md"]
    assert len(made) == 1 and made[0].endswith(".md"), made
    assert stat.S_IMODE(os.stat(isolated / made[0]).st_mode) == 0o640
    assert "answer" in (isolated / made[0]).read_text() and mine.read_text() == "mine"
