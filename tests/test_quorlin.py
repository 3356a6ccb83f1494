"""Prompt enhancement's steps on real directories and the loopback fake
service: the scan and file list, the tree, the file selection, reading the
chosen files and the mode requests with their exact texts."""

import contextlib
import copy
import ctypes
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import threading
import time
import types
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import i18n
import quorlin
from dialogue import run, signalled_call
from fake_service import CHAT, chat_body, replies
from files import racing
from quorlin_texts import (CONCISE_QUESTION_INSTRUCTIONS, CONCISE_REVIEW_INSTRUCTIONS, CONCISE_RULES,
                           DETAILED_RULES, PROMPT_OUTPUT_RULE, PROMPT_PREAMBLE, QUESTION_INSTRUCTIONS,
                           REVIEW_INSTRUCTIONS, SEARCH_INSTRUCTIONS, SELECTION_INSTRUCTIONS)


def files(**contents):
    """Write files below the working directory ("__" in a name stands for "/")."""
    for name, content in contents.items():
        path = Path(name.replace("__", "/"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())


def paths(file_list):
    return [entry["path"] for entry in file_list]


def sent(fake, k=-1):
    """The messages and settings of the k-th chat request."""
    body = fake.calls(CHAT)[k].body
    return [m["content"] for m in body["messages"]], {k: v for k, v in body.items() if k != "messages"}


_libc = ctypes.CDLL(None, use_errno=True)


@contextlib.contextmanager
def modes_bind():
    """File modes bind this thread for the block even when it runs as root: the
    override capabilities (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH) leave its
    effective set, and come back after."""
    class Header(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]

    class Sets(ctypes.Structure):
        _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32), ("inheritable", ctypes.c_uint32)]

    header, sets = Header(0x20080522, 0), (Sets * 2)()  # _LINUX_CAPABILITY_VERSION_3
    if _libc.capget(ctypes.byref(header), sets) != 0:
        pytest.skip("capabilities cannot be read here")
    saved = sets[0].effective
    sets[0].effective &= ~0b110
    if _libc.capset(ctypes.byref(header), sets) != 0:
        pytest.skip("capabilities cannot be dropped here")
    try:
        yield
    finally:
        sets[0].effective = saved
        _libc.capset(ctypes.byref(header), sets)


@contextlib.contextmanager
def opens_of(path):
    """The number of times `path` is opened during the block (looking at it
    with stat or O_PATH does not count), in the list given."""
    fd = _libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    assert fd >= 0 and _libc.inotify_add_watch(fd, os.fsencode(path), 0x20) >= 0  # IN_OPEN
    counted = [0]
    try:
        yield counted
        with contextlib.suppress(BlockingIOError):
            while True:
                counted[0] += len(os.read(fd, 4096)) // 16  # an event without a name
    finally:
        os.close(fd)


# ------------------------------------------------------------------ the scan

def test_scan_prunes_ignored_directories_and_sorts_by_code_point(capsys):
    files(**{"lib__env__a.py": "x", "node_modules__m.js": "x", ".git__config": "x", "Env__e.txt": "",
             "envs__e.txt": "", "env": "", ".hidden__h.txt": "", "B.md": "", "a.md": "", "src-old__x.py": "",
             "src__a.py": "", "a.txt": "", "a__b.txt": "", "a_b.txt": "", "名.txt": ""})
    Path(".git2").write_text("")  # a file: default names prune directories only
    file_list = quorlin.Quorlin()._get_file_list()
    assert paths(file_list) == [".git2", ".hidden/h.txt", "B.md", "Env/e.txt", "a.md", "a.txt", "a/b.txt", "a_b.txt",
                                "env", "envs/e.txt", "src-old/x.py", "src/a.py", "名.txt"]
    assert capsys.readouterr().out == ""


def test_gitignore_rules_prune_and_skip(capsys):
    files(**{".gitignore": "gen\n  # indented comment\n\\#kept\nbuild/\n*.log\n!node_modules/keep.js\n",
             "gen__a.py": "", "src__gen__b.py": "", "build__out.txt": "", "build__deep__x.txt": "",
             "#kept": "", "x.log": "", "node_modules__keep.js": "", "main.py": ""})
    q = quorlin.Quorlin()
    assert [p.pattern for p in q.gitignore_spec.patterns] == ["gen", "\\#kept", "build/", "*.log",
                                                            "!node_modules/keep.js"]
    assert paths(q._get_file_list()) == [".gitignore", "main.py"]
    assert capsys.readouterr().out == ""


def test_kept_gitignore_lines_reach_the_matcher_as_read(capsys):
    # Leading blanks belong to the name, and an escaped trailing blank too:
    # trimmed, the one would match notes.txt and the other would not compile.
    files(**{".gitignore": "  notes.txt\na\\ \n", "  notes.txt": "", "notes.txt": "", "a ": "", "a": ""})
    q = quorlin.Quorlin()
    assert [p.pattern for p in q.gitignore_spec.patterns] == ["  notes.txt", "a\\ "]
    assert paths(q._get_file_list()) == [".gitignore", "a", "notes.txt"]
    assert capsys.readouterr().out == ""


ODD_GITIGNORES = [
    "*.log\n!keep.log\nbuild/\n!build/keep/\n",               # negations and directories
    "/top.txt\n/docs/\ndocs/**/*.md\n**/gen\na/**/b\n",      # anchored and double-star patterns
    "\\#hash\n\\!bang\nsp\\ ace\\ \n[ab].c\n[!a]x.q\nx?z\n",  # escapes and classes
    "\n# comment\n   \n  #indented\n*.q\n!bx.q\n",          # blank and comment lines
    "**/*.txt\n!**/keep*\n/a/**\n*\n!*.*\n",                # names without a dot go, directories too
]
ODD_TREE = ["a.log", "keep.log", "x/keep.log", "build/o.txt", "build/keep/k.txt", "q/build/y.txt", "top.txt",
            "s/top.txt", "docs/d.md", "docs/x/y/z.md", "q/docs/z.md", "gen/f.py", "q/gen/f.py", "a/b", "a/x/y/b",
            "#hash", "!bang", "sp ace ", "sp ace", "a.c", "d.c", "bx.q", "ax.q", "xyz", "src/m.py", "src/n.txt",
            "名/é.txt", "new\nline.log", os.fsdecode(b"\xff.log"), os.fsdecode(b"keep\xff.txt"),
            "b.log\n", "x/gen\n", "top.txt\n", "sp ace\n"]  # "$" of re matches before a last line break


def backend(q):
    return q.gitignore_spec._backend_name


def rule_set(lines, paths_before_set):
    """A PathSpec on quorlin's own matcher, which has already been asked about
    `paths_before_set` paths (past 32 it matches with its re2 set)."""
    matcher = quorlin.pathspec.PathSpec.from_lines("gitwildmatch", lines, backend="re2",
                                                   _test_backend_factory=quorlin._RuleSet)
    matcher._backend._paths = paths_before_set
    return matcher


@pytest.mark.parametrize("gitignore", ODD_GITIGNORES)
def test_every_matching_backend_lists_the_same_files(gitignore):
    for name in ODD_TREE:
        files(**{name.replace("/", "__"): ""})
    Path(".gitignore").write_text(gitignore)
    q = quorlin.Quorlin()
    lines = [p.pattern for p in q.gitignore_spec.patterns]
    q.gitignore_spec = quorlin.pathspec.PathSpec.from_lines("gitwildmatch", lines, backend="simple")
    listed, tree = paths(q._get_file_list()), q._generate_project_tree()
    # The .gitignore is listed too: at least one file is left out, and not all.
    assert 1 < len(listed) <= len(ODD_TREE)
    matchers = {}
    if importlib.util.find_spec("re2"):  # pathspec's own re2 backend differs on names ending in a line break
        matchers |= {"set from the first path": rule_set(lines, 1000), "set from the 33rd path": rule_set(lines, 0),
                     "set of uncompiled patterns": quorlin.pathspec.PathSpec.from_lines(
                         quorlin._GitignorePattern, lines, backend="re2", _test_backend_factory=quorlin._RuleSet)}
    if importlib.util.find_spec("hyperscan"):
        matchers["hyperscan"] = quorlin.pathspec.PathSpec.from_lines("gitwildmatch", lines, backend="hyperscan")
    for name, matcher in matchers.items():
        q.gitignore_spec = matcher
        assert (paths(q._get_file_list()), q._generate_project_tree()) == (listed, tree), name
    if matchers.get("set from the first path"):
        assert matchers["set from the first path"]._backend._set
        assert matchers["set of uncompiled patterns"]._backend._set


def test_the_matcher_suits_the_number_of_lines(monkeypatch):
    pytest.importorskip("re2")
    files(**{".gitignore": "".join(f"*.x{k}\n" for k in range(4)), "a.x3": "", "b.txt": ""})
    assert backend(quorlin.Quorlin()) == "simple"  # a few lines: one by one
    Path(".gitignore").write_text("".join(f"*.x{k}\n" for k in range(5)))
    q = quorlin.Quorlin()
    assert backend(q) == "re2" and isinstance(q.gitignore_spec._backend, quorlin._RuleSet)
    assert paths(q._get_file_list()) == [".gitignore", "b.txt"]
    with monkeypatch.context() as m:
        m.setitem(sys.modules, "re2", None)  # the package does not load
        assert backend(quorlin.Quorlin()) == "simple"


def test_the_rule_set_answers_as_the_default_backend_whatever_the_path():
    pytest.importorskip("re2")
    lines = ["*.log", "!keep*", "gen/", "[!a]x.q", "名/**"]
    plain = quorlin.pathspec.PathSpec.from_lines("gitwildmatch", lines, backend="simple")
    odd = ["a.log", "keep.log", "gen/x", "bx.q", "ax.q", "名/é", "x.log\n", "keep.log\n", "\n", "", "\udcff.log",
           "keep\ud800.log", "a\nb.log", "gen\n/x"]
    for before in (0, 1000):  # one by one, and with the set
        fast = rule_set(lines, before)
        assert [fast.check_file(p).index for p in odd] == [plain.check_file(p).index for p in odd], before
    assert fast._backend._set and fast._backend._paths == 1001  # counted up to the set
    # An expression that re2 does not take leaves every path to the patterns one by one.
    patterns = [quorlin.pathspec.pattern.RegexPattern("^a(?=b)"), quorlin.pathspec.pattern.RegexPattern("^c")]
    refused = quorlin._RuleSet(patterns)
    refused._paths = 1000
    assert [refused.match_file(p) for p in ("ab", "ac", "c", "x")] == [(True, 0), (None, None), (True, 1),
                                                                      (None, None)]
    assert refused._set is False


GITIGNORE_LINES = ["*.log", "!keep*", "gen/", "/top/**/x", "a/**", "**/b", "[!a]x.q", "[a-c]?", "\\#h", "\\!b",
                   "sp\\ ", "  lead", "#comment", "/", "", "名/**", "[z-a]", "[]", "\\", "!", "a\\", "***", "x**y/",
                   "[[:alpha:]]", "\\[", "a]b", "(x)", "x{1}", "\x00", "\n", "^$", "?*"]


def pattern_answers(make, line):
    """What a pattern made of `line` is (pattern, include, regex), or the type of its error."""
    try:
        pattern = make(line)
    except Exception as error:
        return type(error)
    return pattern.pattern, pattern.include, pattern.regex


@pytest.mark.parametrize("line", GITIGNORE_LINES + [line.encode() for line in GITIGNORE_LINES[:8]])
def test_a_gitignore_pattern_is_pathspecs_compiled_when_first_read(line):
    plain = quorlin.pathspec.patterns.GitWildMatchPattern
    lazy = quorlin._GitignorePattern
    assert pattern_answers(lazy, line) == pattern_answers(plain, line)
    if not isinstance(pattern_answers(plain, line), type):
        made = lazy(line)
        assert isinstance(made, plain) and made == plain(line)
        for path in ["a.log", "keep.log", "gen/x", "top/y/x", "a/b", "bx.q", "#h", "sp ", "名/é", "[", "x/?z"]:
            path = path.encode() if isinstance(line, bytes) else path
            assert bool(made.match_file(path)) == bool(plain(line).match_file(path)), path
        copied = copy.copy(made)
        assert (copied.pattern, copied.include, copied.regex) == (made.pattern, made.include, made.regex)
        made.regex = None  # set as on any pathspec pattern
        assert made.regex is None and made.match_file("a.log") is None


@given(st.text(alphabet="ab/*?[]!-^\\# .\n", max_size=12))
@settings(max_examples=400, deadline=None)
def test_any_line_makes_the_same_pattern_compiled_at_once_or_when_first_read(line):
    # An expression that `re` refuses fails where pathspec's own pattern fails.
    assert pattern_answers(quorlin._GitignorePattern, line) == pattern_answers(
        quorlin.pathspec.patterns.GitWildMatchPattern, line)


def test_a_long_gitignore_is_matched_without_compiling_its_patterns():
    pytest.importorskip("re2")
    files(**{".gitignore": "".join(f"*.x{k}\n" for k in range(50)) + "!keep.x3\n", "a.x3": "", "keep.x3": "",
             "b.txt": "", "d__c.x49": ""})
    q = quorlin.Quorlin()
    assert all(isinstance(p, quorlin._GitignorePattern) for p in q.gitignore_spec.patterns)
    assert paths(q._get_file_list()) == [".gitignore", "b.txt", "keep.x3"]
    assert "c.x49" not in q._generate_project_tree()
    assert not any(hasattr(p, "_compiled_regex") for p in q.gitignore_spec.patterns)  # the set matched alone
    assert q.gitignore_spec.check_file(os.fsdecode(b"\xff.x7")).index == 7  # not UTF-8: one by one
    assert q.gitignore_spec.patterns == quorlin.pathspec.PathSpec.from_lines(
        "gitwildmatch", [f"*.x{k}" for k in range(50)] + ["!keep.x3"]).patterns


def test_the_rule_set_keeps_its_answers_by_path():
    pytest.importorskip("re2")
    matcher = quorlin.pathspec.PathSpec.from_lines(quorlin._GitignorePattern, ["*.log", "!keep*", "gen/"], backend="re2",
                                                   _test_backend_factory=quorlin._RuleSet)
    asked = ["a.log", "keep.log", "gen/x", "b.txt", "\udcff.log"]
    answers = [matcher.check_file(p).index for p in asked]
    assert answers == [0, 1, 2, None, 0]
    matcher._backend._patterns, matcher._backend._set = [], False  # nothing left to match with
    assert [matcher.check_file(p).index for p in asked] == answers  # the answers kept
    assert matcher.check_file("x.log").index is None

    class Path(str):
        pass

    assert matcher._backend.match_file(Path("a.log")) == (None, None)  # a subclass of str is matched anew


def test_a_backend_that_fails_leaves_the_default(monkeypatch, capsys):
    class Refusing(quorlin.pathspec.PathSpec):
        @classmethod
        def from_lines(cls, style, lines, *, backend=None, **options):
            if backend != "simple":
                raise RuntimeError("cannot compile")
            return super().from_lines(style, lines, backend=backend, **options)

    monkeypatch.setattr(quorlin, "pathspec", types.SimpleNamespace(PathSpec=Refusing))
    # Enough lines for a faster matcher than the default backend to be tried.
    files(**{".gitignore": "*.log\n*.a\n*.b\n*.c\n*.d\n", "a.log": "", os.fsdecode(b"\xff.log"): "", "b.txt": ""})
    q = quorlin.Quorlin()
    assert backend(q) == "simple" and paths(q._get_file_list()) == [".gitignore", "b.txt"]
    Path(".gitignore").write_text("ok\n!\n")  # a pattern refused on every backend
    assert quorlin.Quorlin().gitignore_spec is None
    assert capsys.readouterr().out.startswith("Failed to load .gitignore: ")


@pytest.mark.parametrize("own", [True, False])
def test_one_matcher_scanned_by_threads_at_once(own):
    files(**{f"d{k}__f{j}.{'log' if j % 2 else 'txt'}": "" for k in range(20) for j in range(10)})
    Path(".gitignore").write_text("".join(f"d{k}/*.log\n" for k in range(0, 20, 2)) + "".join(
        f"other{k}/\n" for k in range(1000)))
    q = quorlin.Quorlin()
    if own:  # the matcher made for the .gitignore
        pytest.importorskip("re2")
        assert backend(q) == "re2"
    else:  # a matcher of the caller's, with one scratch space that a second scan may not use meanwhile
        pytest.importorskip("hyperscan")
        q.gitignore_spec = quorlin.pathspec.PathSpec(q.gitignore_spec.patterns, backend="hyperscan")
        assert backend(q) == "hyperscan"
    want, seen, errors = paths(q._get_file_list()), [], []

    def scan():
        try:
            for _ in range(25):
                seen.append(paths(q._get_file_list()))
        except Exception as error:
            errors.append(error)

    threads = [threading.Thread(target=scan) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and seen == [want] * 100 and len(want) == 151


def test_signal_handlers_run_during_the_walks_and_their_error_ends_them():
    # The walks check for signals after each directory they list.
    for k in range(2000):
        os.mkdir(f"d{k:04}")
    late = ("    for name in os.listdir('.'):\n"
            "        open(os.path.join(name, 'late.txt'), 'w').close()\n")
    setup = "import quorlin\nq = quorlin.Quorlin()"
    for walk in ["q._get_file_list()", "q._generate_project_tree()"]:
        assert signalled_call(setup, walk, "    raise KeyboardInterrupt") == "raised KeyboardInterrupt"
        assert signalled_call(setup, walk, "    raise LookupError") == "raised LookupError"
    listed = eval(signalled_call(setup, "[p['path'] for p in q._get_file_list()]", late))
    assert listed and all(path.endswith("/late.txt") for path in listed)
    for path in listed:
        os.remove(path)
    drawn = eval(signalled_call(setup, "q._generate_project_tree()", late))
    assert "late.txt" in drawn


def test_a_gitignore_of_only_comments_excludes_nothing():
    files(**{".gitignore": "\n# comment\n   \n", "a.log": ""})
    q = quorlin.Quorlin()
    assert len(q.gitignore_spec.patterns) == 0
    assert paths(q._get_file_list()) == [".gitignore", "a.log"]


def test_an_empty_root_joins_as_the_working_directory():
    files(**{".gitignore": "*.log\n"})
    q = quorlin.Quorlin()
    q.current_dir = ""
    assert [p.pattern for p in q._load_gitignore().patterns] == ["*.log"]


def huge(name):
    """A sparse file of 1 TiB: more than any memory holds, and no room taken on the disk."""
    with open(name, "wb") as file:
        file.truncate(1 << 40)


@pytest.mark.parametrize("make", [lambda: Path(".gitignore").write_bytes(b"ok\n\xff\n"),
                                  lambda: Path(".gitignore").mkdir(),
                                  lambda: os.mkfifo(".gitignore"),  # never waited on
                                  lambda: Path(".gitignore").write_text("ok\n!\n"),
                                  lambda: huge(".gitignore")])
def test_a_gitignore_that_cannot_be_used_is_reported(make, capsys):
    make()
    files(**{"ok.txt": ""})
    q = quorlin.Quorlin()
    out = capsys.readouterr().out
    assert out.startswith("Failed to load .gitignore: ") and out.count("\n") == 1
    assert out.removeprefix("Failed to load .gitignore: ").strip()  # the error is named
    assert q.gitignore_spec is None and "ok.txt" in paths(q._get_file_list())


def test_entries_carry_three_comments_cut_by_code_point_and_definitions():
    long = "注" * 150
    files(**{"Main.PY": f"# one\n# {long}\n# three\n# four\n# five\nclass A:\n    def f(self): pass\n",
             "plain.py": "x = 1\n", "archive.tar.gz": "class A", ".bashrc": "# c", "a.": "", ".py": "# c",
             "src__environment.py": "# hidden from comments\ndef g(): pass\n", ".gitignore": "env\n"})
    by_path = {e["path"]: e for e in quorlin.Quorlin()._get_file_list()}
    assert list(by_path["Main.PY"]) == ["path", "comments", "definitions"]
    assert by_path["Main.PY"]["comments"] == ["one", long[:100], "three"]
    assert by_path["Main.PY"]["definitions"] == ["A", "f"]
    # No comments and no definitions, or no supported suffix: the path alone.
    for name in ("plain.py", "archive.tar.gz", ".bashrc", "a.", ".py"):
        assert by_path[name] == {"path": name}
    # The Nestrel's own reading of .gitignore ("env" as a substring) hides the comments only.
    assert by_path["src/environment.py"] == {"path": "src/environment.py", "definitions": ["g"]}


def test_links_pipes_and_unreadable_things_in_the_scan(tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "deep.py").write_text("class Deep: pass\n")
    files(**{"real.py": "class Real: pass\n", "locked__secret.py": "class S: pass\n"})
    os.symlink(outside, "dirlink")
    os.symlink("real.py", "filelink.py")
    os.symlink("missing.py", "dangling.py")
    os.mkfifo("pipe.py")
    Path("unreadable.py").write_text("class U: pass\n")
    os.chmod("unreadable.py", 0)
    os.chmod("locked", 0)
    try:
        by_path = {e["path"]: e for e in quorlin.Quorlin()._get_file_list()}
    finally:
        os.chmod("locked", 0o755)
    if os.geteuid() != 0:
        assert by_path["unreadable.py"] == {"path": "unreadable.py"}
    assert by_path["filelink.py"]["definitions"] == ["Real"]
    assert by_path["dangling.py"] == {"path": "dangling.py"} and by_path["pipe.py"] == {"path": "pipe.py"}
    assert not any(p.startswith("dirlink") for p in by_path)


def test_the_scan_looks_at_a_files_type_before_it_opens_it():
    os.mkfifo("pipe.py")
    os.symlink("pipe.py", "link.py")
    Path("real.py").write_text("class Real: pass\n")
    q = quorlin.Quorlin()
    with opens_of("pipe.py") as opened:
        file_list = q._get_file_list()
        # The readers the scan uses, asked directly, look first too.
        assert q.nestrel.extract_comments_from_file(os.path.abspath("link.py")) is None
        assert q._extract_definitions_from_file("link.py") == []
    assert opened == [0]
    assert file_list == [{"path": "link.py"}, {"path": "pipe.py"}, {"path": "real.py", "definitions": ["Real"]}]


def test_names_that_are_not_utf8_are_listed_and_ordered_as_python_orders_them():
    for name in (b"z.txt", b"\xff.txt", "\uffff.txt".encode(), b"\xe4\xb8.txt", "\U0001f600.txt".encode(),
                 b"\xc0\x80.txt", b"\xe0\x80\xaf.txt", b"\xed\xa0\x80.txt", b"\xf4\x90\x80\x80.txt"):
        Path(os.fsdecode(name)).write_text("")
    listed = paths(quorlin.Quorlin()._get_file_list())
    assert listed == sorted(os.listdir(".")) and set(listed) == set(os.listdir("."))


def test_a_root_holding_a_nul_is_refused_as_python_refuses_it():
    files(**{"a.txt": "a"})
    q = quorlin.Quorlin()
    q.current_dir = os.getcwd() + "\0/elsewhere"
    for step in (q._get_file_list, q._generate_project_tree, lambda: q._read_files_content(["a.txt"])):
        with pytest.raises(ValueError, match="embedded null byte"):
            step()
    q.current_dir = os.getcwd() + "/"
    assert paths(q._get_file_list()) == ["a.txt"] and q._read_files_content(["a.txt"]) == {"a.txt": "a"}


def test_a_root_renamed_and_replaced_by_a_link_is_still_the_project(tmp_path):
    other = tmp_path / "other"  # a folder of someone else's, which the link leads to
    (other / "sub").mkdir(parents=True)
    (other / "secret.py").write_text("# theirs\nclass Theirs: pass\n")
    (other / "sub" / "deep.txt").write_text("theirs")
    files(**{"a.py": "# mine\nclass Mine: pass\n", "src__b.txt": "b"})
    root = os.getcwd()
    q = quorlin.Quorlin()
    os.rename(root, root + "-old")
    os.symlink(other, root)
    assert q.current_dir == root
    assert q._get_file_list() == [{"path": "a.py", "comments": ["mine"], "definitions": ["Mine"]},
                                  {"path": "src/b.txt"}]
    assert q._generate_project_tree() == "work/\n├── src/\n│   └── b.txt\n└── a.py"
    # Absolute paths under the root's name are read through the open root too.
    chosen = ["a.py", f"{root}/src/b.txt", "secret.py", f"{root}/secret.py", str(other / "secret.py"),
              f"{root}/../work/secret.py"]
    assert q._read_files_content(chosen) == {"a.py": "# mine\nclass Mine: pass\n", f"{root}/src/b.txt": "b"}
    # A root assigned anew is opened anew.
    q.current_dir = str(other)
    assert paths(q._get_file_list()) == ["secret.py", "sub/deep.txt"]
    q.current_dir = root + "-old"
    assert paths(q._get_file_list()) == ["a.py", "src/b.txt"]
    q.current_dir = root  # the name, which now leads to the other folder
    assert paths(q._get_file_list()) == ["secret.py", "sub/deep.txt"]


def test_the_ignore_rules_are_read_from_the_project_held_open(tmp_path):
    other = tmp_path / "other"
    other.mkdir()
    (other / ".gitignore").write_text("*.py\n")
    files(**{".gitignore": "*.log\n", "a.py": "", "a.log": ""})
    root = os.getcwd()
    q = quorlin.Quorlin()
    os.rename(root, root + "-old")
    os.symlink(other, root)
    matcher = q._load_gitignore()
    assert matcher.match_file("a.log") and not matcher.match_file("a.py")
    q.current_dir = str(other)  # the nearest that must change: a root assigned anew
    assert q._load_gitignore().match_file("a.py")


def test_the_scan_sees_state_changed_by_callers():
    files(**{"a.py": "def f(): pass\n", "b.txt": ""})
    q = quorlin.Quorlin()
    q.gitignore_spec = q.nestrel = None
    with pytest.raises(AttributeError):
        q._get_file_list()  # the Nestrel is needed for a supported file
    q = quorlin.Quorlin()
    q._extract_definitions_from_file = lambda path: ["from", os.path.basename(path)]
    assert q._get_file_list()[0]["definitions"] == ["from", "a.py"]


def test_a_file_swapped_for_a_link_while_the_project_is_scanned_never_leaks(shared, monkeypatch):
    # The project is another user's; the file it swaps in is root's alone.
    private = shared / "private"
    private.mkdir(mode=0o700)
    (private / "secret.py").write_text("# SECRET token\nclass SecretClass: pass\n")
    project = shared / "project"
    project.mkdir()
    (project / "a.py").write_text("# plain\nclass Plain: pass\n")
    os.chown(project, 1001, 1001)
    monkeypatch.chdir(project)
    q = quorlin.Quorlin()
    seen = set()
    with racing("os.symlink('../private/secret.py', 'new')\nos.replace('new', 'a.py')\n"
                "with open('new', 'w') as f: f.write('# plain\\nclass Plain: pass\\n')\nos.replace('new', 'a.py')",
                uid=1001):
        end = time.monotonic() + 3
        while time.monotonic() < end:
            seen.update(repr(entry) for entry in q._get_file_list())
    assert not any("SECRET" in entry or "Secret" in entry for entry in seen), seen
    assert "{'path': 'a.py', 'comments': ['plain'], 'definitions': ['Plain']}" in seen


class Asked:
    """An extraction of the caller's: records the paths it is asked about."""
    def __init__(self):
        self.paths = []

    def extract_comments_from_file(self, path):
        self.paths.append(path)
        return {"comments": [{"content": "asked"}]}


@pytest.mark.parametrize("replace", ["nestrel", "method", "subclass"])
def test_an_extraction_a_caller_put_in_place_is_asked_by_path(replace, monkeypatch):
    import nestrel
    files(**{"a.py": "# own\ndef f(): pass\n", "b.txt": ""})
    q = quorlin.Quorlin()
    asked = Asked()
    if replace == "nestrel":
        asked.SUPPORTED_EXTENSIONS = nestrel.Nestrel.SUPPORTED_EXTENSIONS
        q.nestrel = asked
    elif replace == "method":
        q.nestrel.extract_comments_from_file = asked.extract_comments_from_file
    else:
        class Mine(nestrel.Nestrel):
            def extract_comments_from_file(self, path):
                return asked.extract_comments_from_file(path)
        q.nestrel = Mine()
    assert q._get_file_list() == [{"path": "a.py", "comments": ["asked"], "definitions": ["f"]}, {"path": "b.txt"}]
    assert asked.paths == [os.path.join(os.getcwd(), "a.py")]
    # The class's own method replaced counts too; the instance's own extraction is back.
    q.nestrel = nestrel.Nestrel()
    monkeypatch.setattr(nestrel.Nestrel, "extract_comments_from_file",
                        lambda self, path: asked.extract_comments_from_file(path))
    assert q._get_file_list()[0]["comments"] == ["asked"] and len(asked.paths) == 2
    monkeypatch.undo()
    assert q._get_file_list()[0]["comments"] == ["own"] and len(asked.paths) == 2


# ------------------------------------------------------------------ the tree

def test_the_tree_of_the_example_and_its_rules(tmp_path):
    root = tmp_path / "proj"
    root.mkdir()
    os.chdir(root)
    files(**{"src__main.py": "", ".git__HEAD": "", "README.md": ""})
    assert quorlin.Quorlin()._generate_project_tree() == "proj/\n├── src/\n│   └── main.py\n└── README.md"
    # Directories first, each part by code point; the last entry is decided after filtering.
    files(**{"docs__b.txt": "", "Makefile": "", "main.c": "", "Zeta": "", "alpha": "", "env": "", "venv__x": "",
             ".gitignore": "gen/\nzz\n", "gen__g.c": "", "zz": ""})
    assert quorlin.Quorlin()._generate_project_tree().split("\n") == [
        "proj/", "├── docs/", "│   └── b.txt", "├── gen/", "├── src/", "│   └── main.py", "├── .gitignore",
        "├── Makefile", "├── README.md", "├── Zeta", "├── alpha", "└── main.c"]


def test_the_tree_draws_links_unreadable_and_looping_directories(tmp_path):
    files(**{"a__locked__x.txt": "", "a__later.txt": "", "target__t.txt": ""})
    os.symlink("target", "b-link")
    os.symlink("..", "target/up")  # leads back to the root
    os.chmod("a/locked", 0)
    try:
        tree = quorlin.Quorlin()._generate_project_tree()
    finally:
        os.chmod("a/locked", 0o755)
    lines = tree.split("\n")[1:]
    expected_locked = ["│   ├── locked/"] if os.geteuid() != 0 else ["│   ├── locked/", "│   │   └── x.txt"]
    # The entries of target are drawn at its own place; the link to it, which
    # comes first, and the link back to the root get their line alone.
    assert lines == ["├── a/", *expected_locked, "│   └── later.txt", "├── b-link/", "└── target/",
                     "    ├── up/", "    └── t.txt"]


def test_an_empty_or_unlistable_root_draws_its_line_alone(tmp_path):
    assert quorlin.Quorlin()._generate_project_tree() == "work/"
    q = quorlin.Quorlin()
    q.current_dir = str(tmp_path / "gone")
    with pytest.raises(FileNotFoundError):
        q._generate_project_tree()


def test_an_entry_that_cannot_be_examined_is_drawn_on_its_own():
    files(**{"private__d__x.txt": "", "b.txt": ""})
    os.symlink("private/d", "peek")  # a link that may not be followed
    os.chmod("private", 0)
    try:
        with modes_bind():
            q = quorlin.Quorlin()
            tree = q._generate_project_tree()
            listed = paths(q._get_file_list())
    finally:
        os.chmod("private", 0o755)
    assert tree.split("\n") == ["work/", "├── private/", "├── b.txt", "└── peek"]
    assert listed == ["b.txt", "peek"]


def test_a_tree_deeper_than_the_path_limit_is_drawn_and_listed():
    name, levels = "d" * 200, 25  # 25 levels of 201 bytes: beyond the 4,096 of a path
    fd = os.open(".", os.O_RDONLY)
    for _ in range(levels):
        os.mkdir(name, dir_fd=fd)
        inner = os.open(name, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = inner
    os.close(os.open("deep.txt", os.O_WRONLY | os.O_CREAT, dir_fd=fd))
    os.close(fd)
    Path("top.txt").write_text("")
    q = quorlin.Quorlin()
    lines = q._generate_project_tree().split("\n")
    assert len(lines) == levels + 3 and lines[-2] == "│   " + "    " * (levels - 1) + "└── deep.txt"
    assert lines[-1] == "└── top.txt"
    assert paths(q._get_file_list()) == ["/".join([name] * levels + ["deep.txt"]), "top.txt"]


def remove_nested(name):
    """Remove the directory `name` of the working directory and everything in it, however deep, by descriptors."""
    stack = [os.open(".", os.O_RDONLY)]
    while True:
        try:
            stack.append(os.open(name, os.O_RDONLY, dir_fd=stack[-1]))
        except FileNotFoundError:
            break
    for inner, outer in zip(reversed(stack[1:]), reversed(stack[:-1])):
        for entry in os.listdir(inner):
            if entry != name:
                os.unlink(entry, dir_fd=inner)
        os.close(inner)
        os.rmdir(name, dir_fd=outer)
    os.close(stack[0])


def make_deep_chain():
    """The directories d, d/d, ... 2,050 levels deep, with at2048.py and
    at2050.py in the directories 2,047 and 2,049 levels deep."""
    fd = os.open(".", os.O_RDONLY)
    for level in range(1, 2051):
        if level in (2048, 2050):
            os.close(os.open(f"at{level}.py", os.O_WRONLY | os.O_CREAT, dir_fd=fd))
        os.mkdir("d", dir_fd=fd)
        inner = os.open("d", os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = inner
    os.close(fd)


def test_a_walk_goes_2048_levels_deep_and_no_further():
    # Deeper than any path can name: the tree's text grows with the square of the depth.
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 4096:
        pytest.skip("the walk needs a descriptor per level")
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096 if hard == resource.RLIM_INFINITY else max(soft, 4096), hard))
    try:
        make_deep_chain()
        q = quorlin.Quorlin()
        listed = paths(q._get_file_list())
        lines = q._generate_project_tree().split("\n")
    finally:
        remove_nested("d")  # deeper than the paths that the test folder's clean-up takes
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert listed == ["d/" * 2047 + "at2048.py"]
    # The root, the 2,049 directories and the file: the entries of directories down to 2,048 levels deep,
    # the deepest directory drawn without entries.
    assert len(lines) == 1 + 2049 + 1 and max(len(line) for line in lines if line.endswith("d/")) == 4 * 2048 + len("└── d/")


# Both walks in a thread with a small stack, under the usual limit of 1,024 open files.
DEEP_WALKS = """
import resource, threading, quorlin
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (1024, hard))
threading.stack_size(256 * 1024)
def walks():
    q = quorlin.Quorlin()
    listed = [entry["path"] for entry in q._get_file_list()]
    lines = q._generate_project_tree().split("\\n")
    print(listed == ["d/" * 2047 + "at2048.py"], len(lines), max(len(line) for line in lines if line.endswith("d/")))
thread = threading.Thread(target=walks)
thread.start()
thread.join()
"""


def test_deep_walks_need_neither_a_descriptor_nor_a_stack_frame_per_level():
    import resource
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    if hard != resource.RLIM_INFINITY and hard < 1024:
        pytest.skip("a limit of 1,024 open files cannot be set here")
    make_deep_chain()
    try:
        done = run(DEEP_WALKS)
    finally:
        remove_nested("d")
    assert (done.stdout, done.returncode) == (f"True 2051 {4 * 2048 + len('└── d/')}\n", 0), done.stderr


class Swapping:
    """A matcher that leaves nothing out, and that moves folders away the first
    time it is asked about a path `depth` levels deep: the folder at level
    `moved` (with everything below it) out of the root, and the one at level
    `replaced`, which gives way to a new folder of that name holding
    z/intruder.txt and d/z/intruder.txt."""
    def __init__(self, outside, depth=100, moved=60, replaced=10):
        self.outside, self.depth, self.moved, self.replaced, self.done = outside, depth, moved, replaced, False

    def match_file(self, path):
        if not self.done and path.count("/") >= self.depth:
            self.done = True
            os.rename("d/" * (self.moved - 1) + "d", self.outside / "moved")
            os.rename("d/" * (self.replaced - 1) + "d", self.outside / "replaced")
            files(**{"d__" * (self.replaced - 1) + "d__z__intruder.txt": "",
                     "d__" * (self.replaced - 1) + "d__d__z__intruder.txt": ""})
        return False


def test_a_folder_opened_again_on_the_way_up_must_be_the_one_left(tmp_path):
    # d/ (levels 1 to 100), each with z/z.txt; z sorts after d, so it is drawn on the way back up.
    levels, outside = 100, tmp_path / "outside"
    outside.mkdir()
    for level in range(1, levels + 1):
        files(**{"d__" * level + "z__z.txt": ""})
    q = quorlin.Quorlin()
    q.gitignore_spec = Swapping(outside)
    tree = q._generate_project_tree()
    assert "intruder" not in tree and len(tree.split("\n")) == 1 + 2 * levels + (levels - 50)
    # The levels 10 to 59 can no longer be reached from the root: their z/ is drawn empty. The levels
    # moved away together are still the folders that were entered.
    lines = tree.split("\n")
    with_file = [(len(lines[k - 1]) - len("└── z/")) // 4 for k, line in enumerate(lines) if line.endswith("z.txt")]
    assert sorted(with_file) == [*range(1, 10), *range(60, 101)]
    shutil.rmtree("d")
    shutil.rmtree(outside)
    outside.mkdir()
    for level in range(1, levels + 1):
        files(**{"d__" * level + "z__z.txt": ""})
    q.gitignore_spec = Swapping(outside)
    listed = paths(q._get_file_list())
    assert not any("intruder" in path for path in listed) and "d/" * levels + "z/z.txt" in listed


def test_a_walk_through_links_deeper_than_the_descriptors_it_keeps_comes_back_to_each_level():
    # hidden/ is left out: its folders are drawn through the link "start" and
    # then each one's link "next", 40 levels down; each one's zz/ is drawn on
    # the way back up, from the folder the link led to.
    levels = 40
    for k in range(levels):
        files(**{f"hidden__H{k:02}__zz__leaf{k}.txt": ""})
        if k + 1 < levels:
            os.symlink(f"../H{k + 1:02}", f"hidden/H{k:02}/next")
    Path(".gitignore").write_text("hidden\n")
    os.symlink("hidden/H00", "start")
    lines = quorlin.Quorlin()._generate_project_tree().split("\n")
    assert [line.rsplit(" ", 1)[-1] for line in lines if "leaf" in line] == [f"leaf{k}.txt" for k in
                                                                              reversed(range(levels))]
    assert len(lines) == 1 + 1 + 3 * levels - 1 + 1


def test_links_out_of_the_root_get_their_line_and_nothing_more(tmp_path):
    # "work-old" lies beside the root "work", whose name it extends.
    sibling = tmp_path / "work-old"
    (sibling / "big").mkdir(parents=True)
    for k in range(50):
        (sibling / "big" / f"n{k}.txt").write_text("")
    (sibling / "secret.py").write_text("# token sk-secret\nclass Secret: pass\n")
    files(**{"src__real.py": "# inside\nclass Real: pass\n"})
    os.symlink(sibling / "big", "ext")
    os.symlink("/", "system")
    os.symlink("../work-old/secret.py", "settings.py")
    os.symlink("src/real.py", "inside.py")
    os.symlink("src", "src-link")
    q = quorlin.Quorlin()
    assert q._generate_project_tree().split("\n") == [
        "work/", "├── ext/", "├── src/", "│   └── real.py", "├── src-link/", "├── system/", "├── inside.py",
        "└── settings.py"]
    assert q._get_file_list() == [
        {"path": "inside.py", "comments": ["inside"], "definitions": ["Real"]}, {"path": "settings.py"},
        {"path": "src/real.py", "comments": ["inside"], "definitions": ["Real"]}]


def test_each_directory_is_drawn_once_however_many_links_lead_to_it():
    levels = 14
    for k in range(levels):
        Path(f"L{k:02}").mkdir()
    for k in range(levels - 1):
        os.symlink(f"../L{k + 1:02}", f"L{k:02}/x")
        os.symlink(f"../L{k + 1:02}", f"L{k:02}/y")
    Path(f"L{levels - 1:02}/leaf.txt").write_text("")
    tree = quorlin.Quorlin()._generate_project_tree()
    # The root, its directories, two links in each but the last, and the leaf.
    assert len(tree.split("\n")) == 1 + levels + 2 * (levels - 1) + 1 and tree.count("leaf.txt") == 1
    assert tree.startswith("work/\n├── L00/\n│   ├── x/\n│   └── y/\n├── L01/\n")
    # Left out of the tree, they are reached through one link: each one's entries are drawn once.
    Path(".gitignore").write_text("L*\n")
    os.symlink("L00", "entry")
    tree = quorlin.Quorlin()._generate_project_tree()
    assert len(tree.split("\n")) == 1 + 1 + 2 * (levels - 1) + 1 + 1 and tree.count("leaf.txt") == 1
    assert tree.startswith("work/\n├── entry/\n│   ├── x/\n│   │   ├── x/\n")


def test_a_directory_shows_its_entries_at_its_own_place_or_through_one_link():
    files(**{"src__main.py": "", "src__lib__util.py": "", "vendor__pkg__mod.py": "", "vendor__pkg__debug.log": "",
             "node_modules__dep__index.js": "", ".gitignore": "vendor\n*.log\n"})
    os.symlink("src", "a_link")  # sorts before the directory it leads to
    os.symlink("src/lib", "lib-link")
    os.symlink(".", "here")
    os.symlink("vendor", "v")  # left out at its own place: its entries, filtered by their paths through v
    os.symlink("vendor/pkg", "w")  # its entries are drawn already, below v
    os.symlink("node_modules/dep", "deps")  # below a name never drawn
    q = quorlin.Quorlin()
    assert q._generate_project_tree().split("\n") == [
        "work/", "├── a_link/", "├── deps/", "│   └── index.js", "├── here/", "├── lib-link/", "├── src/",
        "│   ├── lib/", "│   │   └── util.py", "│   └── main.py", "├── v/", "│   └── pkg/", "│       └── mod.py",
        "├── w/", "└── .gitignore"]
    # The file list enters no link.
    assert paths(q._get_file_list()) == [".gitignore", "src/lib/util.py", "src/main.py"]


# ---------------------------------------------------------- file selection

LIST = [{"path": "a.py", "definitions": ["f", "g"], "comments": ["one", "two\nlines"]},
        {"path": "b.txt"}, {"path": "c.py", "definitions": []}]
FORMATTED = "📄 a.py\n  ├─ 定义: f, g\n  └─ 注释: one | two\nlines\n\n📄 b.txt\n\n📄 c.py"


def test_the_selection_request_is_sent_exactly(ai_env):
    replies(ai_env, '```json\n{"files": ["x.py", "x.py", "../y"], "reason": "r"}\n```')
    q = quorlin.Quorlin()
    assert q._format_file_list_for_ai(LIST) == FORMATTED and q._format_file_list_for_ai([]) == ""
    assert q._ask_ai_for_files("fix it", LIST) == ["x.py", "x.py", "../y"]
    (system, user), settings = sent(ai_env)
    assert system == SELECTION_INSTRUCTIONS + "Please respond in English.\n"
    assert user == ("用户任务提示词：\nfix it\n\n项目文件列表（包含定义和注释信息）：\n" + FORMATTED
                    + "\n\n请分析并返回需要查看的文件路径。")
    assert settings == {"model": "gpt-3.5-turbo", "temperature": 0.3, "max_tokens": None, "stream": False}
    i18n.set_language("zh")
    replies(ai_env, '{"files": ["a"]}')
    q._ask_ai_for_files("p", [])
    assert sent(ai_env)[0][0].endswith("6. 请用中文回复。\n")


@pytest.mark.parametrize("reply,printed", [
    ('{"files": ["a.py"]}```', None),
    ('```{"files": ["a.py"]}```', "Could not parse the AI's JSON reply: "),
    ("```", "Could not parse the AI's JSON reply: "),
    ('{"reason": "none"}', "The AI selected no files."),
    ('{"files": []}', "The AI selected no files."),
    ('{"files": 0}', "The AI selected no files."),
    ('{"files": "a.py"}', "Error while choosing the relevant files: "),
    ('["a.py"]', "Error while choosing the relevant files: "),
    ('{"files": ' + "[" * 100000 + "]" * 100000 + "}", "Error while choosing the relevant files: "),
    (chat_body(choices=[]), "The AI service returned no usable answer."),
    (chat_body(None), "Error while choosing the relevant files: "),
])
def test_replies_that_choose_nothing(ai_env, capsys, reply, printed):
    replies(ai_env, reply)
    result = quorlin.Quorlin()._ask_ai_for_files("task", [])
    out = capsys.readouterr().out
    if printed is None:
        assert result == ["a.py"] and out == ""
    else:
        assert result is None and out.startswith(printed) and out.count("\n") == 1


def test_names_that_are_not_utf8_do_not_stop_a_request(ai_env):
    Path("a.py").write_text("x = 1\n")
    Path(os.fsdecode(b"b\xff.py")).write_text("")
    replies(ai_env, '{"files": ["a.py"]}')
    q = quorlin.Quorlin()
    assert q._ask_ai_for_files("t\udc80sk", q._get_file_list()) == ["a.py"]
    (system, user), _ = sent(ai_env)
    assert "t\ufffdsk" in user and "b\ufffd.py" in user


def test_a_list_that_changes_while_it_is_formatted():
    class Shrinking:
        def __str__(self):
            entries.clear()
            return "first"
    entries = [{"path": Shrinking()}, {"path": "second"}]
    assert quorlin.Quorlin()._format_file_list_for_ai(entries) == "📄 first"


def test_a_missing_key_is_reported_and_arguments_are_checked(capsys):
    q = quorlin.Quorlin()
    assert q._ask_ai_for_files("task", []) is None
    assert capsys.readouterr().out.startswith("Error while choosing the relevant files: ")
    with pytest.raises(TypeError, match="user_prompt"):
        q._ask_ai_for_files(b"task", [])
    with pytest.raises(TypeError, match="file_list"):
        q._format_file_list_for_ai(("not", "a list"))
    with pytest.raises(TypeError, match="definitions must be str, not int"):
        q._format_file_list_for_ai([{"path": "a", "definitions": ["ok", 3]}])


# ------------------------------------------------------ reading chosen files

def test_reading_is_limited_to_eight_in_order(capsys):
    files(**{f"f{k}.txt": f"text {k}\r\nnext" for k in range(9)})
    q = quorlin.Quorlin()
    chosen = [f"f{k}.txt" for k in range(9)]
    assert q._read_files_content(chosen[:7] + ["f0.txt"]) == {f"f{k}.txt": f"text {k}\nnext" for k in range(7)}
    assert capsys.readouterr().out == ""
    assert list(q._read_files_content(chosen)) == chosen[:8]
    assert capsys.readouterr().out == ("\n⚠️  Warning: The AI selected 9 files, more than the limit.\n"
                                       "ℹ️  Only the first 8 files are read.\n")


def test_only_regular_files_below_the_root_are_read(tmp_path, capsys):
    (tmp_path / "secret.txt").write_text("outside")
    files(**{"src__a.py": "inside", "bad.txt": b"ok\xff", "sub__x": ""})
    os.symlink(tmp_path / "secret.txt", "out-link")
    os.symlink("src/a.py", "in-link")
    os.mkfifo("pipe")
    q = quorlin.Quorlin()
    assert q._read_files_content(["../secret.txt", str(tmp_path / "secret.txt"), "out-link", "pipe", "sub",
                                  "missing", ""]) == {}
    assert capsys.readouterr().out == ""
    contents = q._read_files_content(["in-link", str(Path("src/a.py").resolve()), "bad.txt", "src/../src/a.py"])
    assert list(contents) == ["in-link", str(Path("src/a.py").resolve()), "bad.txt", "src/../src/a.py"]
    assert contents["in-link"] == "inside" and contents["bad.txt"].startswith("# Read failed: 'utf-8' codec")
    assert capsys.readouterr().out.startswith("Failed to read the file bad.txt: 'utf-8' codec can't decode")
    with pytest.raises(TypeError, match="file_paths"):
        q._read_files_content(["a", 3])
    # Names no file can have are left out like missing ones.
    assert q._read_files_content(["a\0b", "\ud800", "\udcff"]) == {}
    assert q._extract_definitions_from_file("\ud800.py") == [] == q._extract_definitions_from_file("a\0.py")


def test_a_file_that_cannot_be_opened_shows_the_system_error(capsys):
    files(**{"locked.txt": "x", "open.txt": "y"})
    os.chmod("locked.txt", 0)
    with modes_bind():
        contents = quorlin.Quorlin()._read_files_content(["locked.txt", "open.txt"])
    error = f"[Errno 13] Permission denied: '{os.getcwd()}/locked.txt'"
    assert contents == {"locked.txt": f"# Read failed: {error}", "open.txt": "y"}
    assert capsys.readouterr().out == f"Failed to read the file locked.txt: {error}\n"


def test_a_file_there_is_no_memory_for_is_a_placeholder_and_the_request_goes_on(ai_env, capsys):
    files(**{"a.py": "x = 1\n"})
    huge("big.bin")
    huge("huge.py")
    q = quorlin.Quorlin()
    assert q._get_file_list() == [{"path": "a.py"}, {"path": "big.bin"}, {"path": "huge.py"}]
    assert q._read_files_content(["big.bin", "a.py"]) == {"big.bin": "# Read failed: out of memory",
                                                          "a.py": "x = 1\n"}
    assert capsys.readouterr().out == "Failed to read the file big.bin: out of memory\n"
    replies(ai_env, '{"files": ["big.bin", "a.py"]}', "enhanced")
    assert q.enhance_prompt("task") == "enhanced"
    assert "## big.bin\n```\n# Read failed: out of memory\n```\n## a.py\n" in sent(ai_env)[0][1]


def test_a_link_to_a_file_there_is_no_memory_for_outside_the_root_is_outside(tmp_path, capsys):
    # A link to a huge file outside is left out as a link to a small one is;
    # the huge file inside is still the placeholder, and its reading leaves
    # no descriptor open.
    outside = tmp_path / "outside"
    outside.mkdir()
    huge(outside / "huge.py")
    (outside / "small.py").write_text("class Small: pass\n")
    os.symlink(outside / "huge.py", "huge-link.py")
    os.symlink("../outside/small.py", "small-link.py")
    huge("inside.bin")
    q = quorlin.Quorlin()
    assert q._get_file_list() == [{"path": "huge-link.py"}, {"path": "inside.bin"}, {"path": "small-link.py"}]
    opened = len(os.listdir("/proc/self/fd"))
    assert q._read_files_content(["huge-link.py", "small-link.py", "inside.bin"]) == {
        "inside.bin": "# Read failed: out of memory"}
    assert len(os.listdir("/proc/self/fd")) == opened
    assert capsys.readouterr().out == "Failed to read the file inside.bin: out of memory\n"


@pytest.mark.parametrize("kind,args,shown", [(MemoryError, (), "out of memory"), (KeyError, (), "KeyError"),
                                              (OSError, ("",), "OSError"), (ValueError, ("  ",), "ValueError")])
def test_an_error_without_a_text_is_reported_by_what_it_is(kind, args, shown, monkeypatch, capsys):
    def failing():
        raise kind(*args)  # a new one each time: no traceback outlives the test
    monkeypatch.setattr(quorlin, "create_corvane", failing)
    q = quorlin.Quorlin()
    assert q._ask_ai_for_files("task", []) is None and q._generate_enhanced_prompt("task", {}) is None
    assert capsys.readouterr().out == (f"Error while choosing the relevant files: {shown}\n"
                                       f"Generation failed: {shown}\n")


@pytest.mark.parametrize("sibling", ["work-old", "work2"])
def test_a_sibling_whose_name_extends_the_roots_is_outside(tmp_path, sibling):
    # The root is "work": a path below it begins with the root and a "/".
    (tmp_path / sibling).mkdir()
    (tmp_path / sibling / "secret.txt").write_text("outside")
    Path("top.txt").write_text("inside")
    os.symlink(f"../{sibling}/secret.txt", "old-link")
    os.symlink(tmp_path / sibling, "old-dir")
    q = quorlin.Quorlin()
    outside = [f"../{sibling}/secret.txt", str(tmp_path / sibling / "secret.txt"), "old-link", "old-dir/secret.txt"]
    assert q._read_files_content(outside) == {}
    top = str(Path("top.txt").resolve())
    assert q._read_files_content(["top.txt", top]) == {"top.txt": "inside", top: "inside"}


def test_a_link_flipped_while_it_is_read_never_leaks_a_file_outside(tmp_path):
    (tmp_path / "secret.txt").write_text("outside")
    Path("inside.txt").write_text("inside")
    os.symlink("inside.txt", "flip")
    q = quorlin.Quorlin()
    seen = set()
    with racing(f"os.symlink({str(tmp_path / 'secret.txt')!r}, 'new')\nos.replace('new', 'flip')\n"
                "os.symlink('inside.txt', 'new')\nos.replace('new', 'flip')"):
        end = time.monotonic() + 3
        while time.monotonic() < end and "outside" not in seen:
            seen.update(q._read_files_content(["flip"]).values())
    assert seen == {"inside"}


# ------------------------------------------------------------ mode requests

MODES = {
    "question": (QUESTION_INSTRUCTIONS, "用户问题：\n", "\n```\n\n相关代码文件：\n", "\n\n请基于以上代码内容回答用户的问题。"),
    "question_concise": (CONCISE_QUESTION_INSTRUCTIONS, "用户问题：\n", "\n```\n\n相关代码文件：\n",
                         "\n\n请简洁地回答用户的问题。"),
    "diff_review": (REVIEW_INSTRUCTIONS, "用户审查要求：\n", None, "\n\n请基于以上信息审查代码修改。"),
    "diff_review_concise": (CONCISE_REVIEW_INSTRUCTIONS, "用户审查要求：\n", None, "\n\n请简洁地审查这些代码修改。"),
    "code_search": (SEARCH_INSTRUCTIONS, "用户搜索需求：\n", "\n```\n\n代码文件内容：\n",
                    "\n\n请根据用户需求查找相关的代码段，并严格按照要求的格式输出。"),
}
SPINNERS = {"question": "AI正在回答问题...", "question_concise": "AI正在回答问题...",
            "diff_review": "AI正在审查代码修改...", "diff_review_concise": "AI正在快速审查代码修改...",
            "code_search": "AI正在搜索相关代码段..."}


@pytest.fixture
def spinner(monkeypatch):
    import brisolet
    shown = []

    def loading_context(message, style):
        shown.append((message, style))
        return brisolet.loading_context(message, style)
    monkeypatch.setattr(quorlin, "loading_context", loading_context)
    return shown


@pytest.mark.parametrize("mode", [*MODES, "detailed", "concise", "Question", "question ", "other"])
def test_every_mode_sends_its_texts(ai_env, spinner, mode):
    files(**{"a.py": "print(1)\n"})
    replies(ai_env, "  the answer\n```x```  ")
    q = quorlin.Quorlin()
    contents = {"a.py": "print(1)\n", "b.py": "# Read failed: x"}
    assert q._generate_enhanced_prompt("do it", contents, mode, "DIFF") == "the answer\n```x```"
    (system, user), settings = sent(ai_env)
    assert settings == {"model": "gpt-3.5-turbo", "temperature": 0.7, "max_tokens": None, "stream": False}
    tree = "work/\n└── a.py"
    block = "## a.py\n```\nprint(1)\n\n```\n## b.py\n```\n# Read failed: x\n```"
    if mode in MODES:
        instructions, head, middle, closing = MODES[mode]
        assert system == instructions + "Please answer the user's question in English."
        if middle is None:
            middle = "\n```\n\nGit Diff（代码修改）：\n```diff\nDIFF\n```\n\n相关代码文件（作为上下文）：\n"
        assert user == head + "do it\n\n项目结构：\n```\n" + tree + middle + block + closing
        assert spinner == [(i18n.t(SPINNERS[mode]), "dots")]  # the fixed text is looked up as a key
    else:
        rules = DETAILED_RULES if mode == "detailed" else CONCISE_RULES
        assert system == PROMPT_PREAMBLE + rules + PROMPT_OUTPUT_RULE + "Please generate the enhanced prompt in English."
        assert user == ("原始提示词：\ndo it\n\n项目结构：\n```\n" + tree + "\n```\n\n相关代码文件：\n" + block
                        + "\n\n请生成增强版提示词。")
        assert spinner == [("The AI is generating the enhanced prompt...", "dots")]


def test_chinese_language_lines_and_an_empty_block(ai_env, spinner):
    i18n.set_language("zh")
    replies(ai_env, "答", "答")
    q = quorlin.Quorlin()
    q._generate_enhanced_prompt("p", {}, "diff_review")
    (system, user), _ = sent(ai_env)
    assert system.endswith("\n\n请用中文回答用户问题。") and "```diff\n\n```\n\n相关代码文件（作为上下文）：\n\n\n请基于" in user
    q._generate_enhanced_prompt("p", {})
    (system, user), _ = sent(ai_env)
    assert system.endswith("文字。\n请用中文生成增强提示词。") and user.endswith("相关代码文件：\n\n\n请生成增强版提示词。")
    assert spinner[1] == ("AI 正在生成增强提示词...", "dots")


def test_failed_requests_print_one_line_after_the_animation(ai_env, spinner, capsys, monkeypatch):
    q = quorlin.Quorlin()
    replies(ai_env, chat_body(choices=[]))
    assert q._generate_enhanced_prompt("p", {}, "question") is None
    assert capsys.readouterr().out.endswith("The AI service returned no usable answer.\n")
    monkeypatch.delenv("AI_API_KEY")
    assert q._generate_enhanced_prompt("p", {}) is None
    assert capsys.readouterr().out.startswith("Generation failed: ") and len(spinner) == 1
    with pytest.raises(TypeError, match="file_contents"):
        q._generate_enhanced_prompt("p", [], "question")
    with pytest.raises(TypeError, match="git_diff"):
        q._generate_enhanced_prompt("p", {}, "question", None)


def test_enhance_prompt_runs_the_pipeline(ai_env, spinner, capsys):
    files(**{"a.py": "def f(): pass\n"})
    replies(ai_env, '{"files": ["missing.py"]}', "enhanced")
    assert quorlin.Quorlin().enhance_prompt("task", "code_search") == "enhanced"
    assert "\n\n代码文件内容：\n\n\n请根据" in sent(ai_env)[0][1]
    assert "📄 a.py\n  ├─ 定义: f" in sent(ai_env, 0)[0][1]
    replies(ai_env, '{"files": []}')
    assert quorlin.Quorlin().enhance_prompt("task") is None
    assert capsys.readouterr().out.endswith("\rThe AI selected no files.\n") and len(ai_env.calls(CHAT)) == 3
