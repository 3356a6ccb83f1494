import json
import os
import random
import stat
import time
from pathlib import Path

import pytest

import nestrel
from dialogue import run, script, signalled_call
from files import racing, refusing_new_names, write

Nestrel = nestrel.Nestrel


# ------------------------------------------------------------------- tables

def test_tables_hold_the_languages_in_order():
    extractor = Nestrel()
    suffixes = extractor.SUPPORTED_EXTENSIONS
    assert suffixes is Nestrel.SUPPORTED_EXTENSIONS
    assert len(suffixes) == 59 and len(set(suffixes.values())) == 46
    keys = list(suffixes)
    assert keys[:4] == [".py", ".php", ".cs", ".java"] and keys[-3:] == [".cl", ".scm", ".rkt"]
    assert keys.index(".nim") == keys.index(".m") + 1  # the repeated ".nim" keeps its first place
    patterns = extractor.COMMENT_PATTERNS
    assert len(patterns) == 45 and "r" not in patterns and set(patterns) == set(suffixes.values()) - {"r"}
    assert list(patterns)[:3] == ["python", "php", "csharp"] and list(patterns)[-1] == "perl"
    assert patterns["python"] == {"single_line": "#(.*)", "multiline": ['"""(.*?)"""', "'''(.*?)'''"]}
    assert list(patterns["php"]) == ["single_line", "multiline"]
    assert patterns["ocaml"] == {"single_line": [r"\(\*(.*?)\*\)"]}
    assert patterns["html"] == {"multiline": ["<!--(.*?)-->"]}
    assert patterns["vue"]["multiline"] == [r"/\*(.*?)\*/", "<!--(.*?)-->"]
    assert patterns["perl"] == {"single_line": ["#(.*)"], "multiline": ["=(.*?)=cut"]}


def test_language_comes_from_the_lower_cased_suffix():
    extractor = Nestrel()
    cases = {"a.PY": "python", "x/y.H": "c", "m.m": "matlab", "s.pl": "perl", "t.pt": "prolog", "v.v": "vlang",
             "k.kotlin": "kotlin", "r.R": "r", "lib.tar.rs": "rust", "x.\u212aotlin": "kotlin",
             ".py": None, "name.": None, "noext": None, "dir.py/": "python", "a.py/..": None,
             "x.txt": None, "x.pyc": None, "": None}
    for path, language in cases.items():
        assert extractor._get_language(path) == language, path
        assert extractor._get_language(Path(path)) == language, path
    with pytest.raises(TypeError, match="'file_path'"):
        extractor._get_language(3)


# ------------------------------------------------------------- ignore rules

def test_ignore_list_is_read_once_from_the_working_directory(isolated):
    write(isolated / ".gitignore", "# a comment\n\n  build/  \r\nlog\r*.tmp\n/docs\nsrc/gen\n!keep\n")
    extractor = Nestrel()
    assert extractor.gitignore_patterns == ["build/", "log", "*.tmp", "/docs", "src/gen", "!keep"]
    write(isolated / ".gitignore", "other\n")
    assert extractor.gitignore_patterns[0] == "build/"
    assert Nestrel().gitignore_patterns == ["other"]
    # An undecodable line ends the reading; the lines before it stay.
    write(isolated / ".gitignore", b"first\nsecond\n\xff\xfe\nthird\n")
    assert Nestrel().gitignore_patterns == ["first", "second"]
    (isolated / ".gitignore").unlink()
    (isolated / ".gitignore").mkdir()
    assert Nestrel().gitignore_patterns == []


def test_an_ignore_file_no_memory_holds_is_an_unreadable_one(isolated, capsys, monkeypatch):
    with open(isolated / ".gitignore", "wb") as big:
        big.truncate(1 << 40)  # sparse: 1 TiB that takes no room on the disk
    assert Nestrel().gitignore_patterns == []
    write(isolated / "a.py", "# one\n")
    nestrel.extract_comments()
    assert capsys.readouterr().out.splitlines()[-1] == f"结果已保存到: {isolated / '.orvo' / 'comments.json'}"
    # An error without a text is named by what it is.
    monkeypatch.setattr(nestrel, "Nestrel", lambda: (_ for _ in ()).throw(MemoryError()))
    nestrel.extract_comments()
    assert capsys.readouterr().out == "注释提取过程中发生错误: out of memory\n"


def test_ignore_rules_have_their_own_odd_cases(isolated):
    write(isolated / ".gitignore", "build/\nlog\n*.tmp\n/docs\nsrc/gen\n")
    extractor = Nestrel()
    cases = {"build/a.py": True, "build": True, "src/build/a.py": False, "buildings/a.py": False,
             "catalog.py": True, "src/blog/x.py": True, "a.tmp": False, "x*.tmp": True,
             "docs/a.py": False, "src/gen": True, "src/gen/x.py": True, "src/generated.py": False}
    for relative, ignored in cases.items():
        assert extractor._is_ignored(isolated / relative) is ignored, relative
        assert extractor._is_ignored(str(isolated / relative)) is ignored, relative
    # Only paths below the working directory can be ignored.
    assert extractor._is_ignored("build/a.py") is False
    assert extractor._is_ignored(isolated.parent / "build" / "a.py") is False
    # A file name holding "\" is matched as if it were "/".
    assert extractor._is_ignored(isolated / "build\\a.py") is True


# --------------------------------------------------------- comments of a file

def comments_of(path):
    record = Nestrel().extract_comments_from_file(path)
    return None if record is None else [(c["line"], c["content"]) for c in record["comments"]]


def test_comments_come_in_extraction_order(isolated):
    write(isolated / "a.c", "int x; // one /* two */\n/* three\n * four */ int y;\n")
    assert comments_of(isolated / "a.c") == [("1", "one /* two */"), ("1", "two"), ("2-3", "three\n * four")]
    write(isolated / "b.ml", "let x = 1 (* a *) (* b *)\n(* not\nclosed *)\n")
    assert comments_of(isolated / "b.ml") == [("1", "a"), ("1", "b")]
    write(isolated / "c.lua", "x = 1 --[[ block ]]\n")
    assert comments_of(isolated / "c.lua") == [("1", "[[ block ]]"), ("1", "block")]
    write(isolated / "d.pl", "my $x = 1;\nprint $x;\n=cut\n")  # the block starts at the assignment's "="
    assert comments_of(isolated / "d.pl") == [("1-3", "1;\nprint $x;")]
    write(isolated / "e.pl", "my $x = 1; # note\n")
    assert comments_of(isolated / "e.pl") == [("1", "note")]
    write(isolated / "f.py", "#!/usr/bin/env python\ns = 'a # b'\n")
    assert comments_of(isolated / "f.py") == [("1", "!/usr/bin/env python"), ("2", "b'")]


def test_files_without_comments_give_nothing(isolated):
    for name, text in {"empty.py": "", "markers.c": "//   \n/* */\n//\t\n", "stats.r": "# comment\n",
                       "plain.txt": "# comment\n", "code.go": "package main\n"}.items():
        assert Nestrel().extract_comments_from_file(write(isolated / name, text)) is None, name
    assert Nestrel().extract_comments_from_file(isolated / "missing.py") is None
    os.mkfifo(isolated / "pipe.py")  # never waited on
    assert Nestrel().extract_comments_from_file(isolated / "pipe.py") is None
    (isolated / "dir.py").mkdir()
    assert Nestrel().extract_comments_from_file(isolated / "dir.py") is None


def test_reading_drops_undecodable_bytes_as_python_does(isolated):
    rng = random.Random(5)
    pieces = [b"# ", b"a", b"\n", b"\r", b"\r\n", b"\xc3\xa9", b"\xe4\xb8\xad", b"\xf0\x9f\x98\x80", b"\xff",
              b"\xc3", b"\xe4\xb8", b"\xf0\x9f", b"\xed\xa0\x80", b"\xc0\xaf", b"\x80"]
    extractor = Nestrel()
    for number in range(200):
        data = b"".join(rng.choice(pieces) for _ in range(rng.randrange(40)))
        path = write(isolated / f"r{number}.sh", data)
        with open(path, encoding="utf-8", errors="ignore") as handle:
            expected = extractor._extract_comments_from_content(handle.read(), "shell")
        record = extractor.extract_comments_from_file(path)
        found = [] if record is None else [(c["line"], c["content"]) for c in record["comments"]]
        assert found == [(str(s), t) for s, _, t in expected], data


def test_line_ends_and_undecodable_bytes(isolated):
    lf = "# one\nx = 1\n'''two\nthree'''\n# four\n"
    expected = [("1", "one"), ("5", "four"), ("3-4", "two\nthree")]
    for name, text in {"lf.py": lf, "crlf.py": lf.replace("\n", "\r\n"), "cr.py": lf.replace("\n", "\r")}.items():
        assert comments_of(write(isolated / name, text)) == expected, name
    write(isolated / "bad.py", b"# caf\xc3\xa9 \xff\xfeok\r\n# \xe4\xb8\xad\n")
    assert comments_of(isolated / "bad.py") == [("1", "café ok"), ("2", "中")]


def test_file_path_is_relative_below_the_working_directory(isolated, tmp_path):
    write(isolated / "src" / "a.py", "# x\n")
    write(tmp_path / "outside.py", "# y\n")
    extractor = Nestrel()
    assert extractor.extract_comments_from_file(isolated / "src" / "a.py")["file"] == "src/a.py"
    assert extractor.extract_comments_from_file(str(isolated) + "//src/./a.py")["file"] == "src/a.py"
    assert extractor.extract_comments_from_file("src/a.py")["file"] == "src/a.py"
    assert extractor.extract_comments_from_file("./src//a.py")["file"] == "src/a.py"
    assert extractor.extract_comments_from_file(tmp_path / "outside.py")["file"] == str(tmp_path / "outside.py")
    write(isolated / ".gitignore", "src/\n")
    extractor = Nestrel()
    assert extractor.extract_comments_from_file(isolated / "src" / "a.py") is None
    assert extractor.extract_comments_from_file("src/a.py") is not None  # a relative path is never ignored
    assert list(extractor.extract_comments_from_file(tmp_path / "outside.py")) == ["file", "comments"]


def test_content_extraction_checks_its_arguments():
    extractor = Nestrel()
    assert extractor._extract_comments_from_content("# a\n", "r") == []
    assert extractor._extract_comments_from_content("# a", "unknown") == []
    assert extractor._extract_comments_from_content("x # a\r\n", "shell") == [(1, 1, "a")]
    for args, name in [((None, "python"), "content"), (("# a", b"python"), "language")]:
        with pytest.raises(TypeError, match=f"'{name}'"):
            extractor._extract_comments_from_content(*args)


# --------------------------------------------------------------------- walk

def reference_walk(top):
    """The walk order the extraction follows: Python's os.walk, top-down."""
    order = []
    for root, _dirs, files in os.walk(top):
        order += [os.path.join(root, name) for name in files if os.path.isfile(os.path.join(root, name))]
    return order


def test_walk_follows_the_listing_order(isolated, tmp_path):
    for path in ["b.py", "a/z.js", "a/b/c.go", ".hidden/h.rb", "a.c", "a/y.ts", "c/d/e/f.sh", ".orvo/x.py"]:
        write(isolated / path, "# c\n// c\n")
    write(isolated / "notes.txt", "# not source\n")
    write(tmp_path / "elsewhere" / "l.py", "# linked dir\n")
    os.symlink(tmp_path / "elsewhere", isolated / "linked")
    os.symlink(isolated / "b.py", isolated / "alias.py")
    os.symlink(isolated / "gone.py", isolated / "broken.py")
    results = Nestrel().scan_directory()
    expected = [os.path.relpath(p, isolated) for p in reference_walk(str(isolated))
                if Nestrel()._get_language(p) not in (None, "r")]
    assert [r["file"] for r in results] == expected
    assert "alias.py" in expected and not any(p.startswith("linked") for p in expected)
    assert Nestrel().scan_directory(isolated) == results
    # A relative start gives relative paths as walked, never ignored.
    write(isolated / ".gitignore", "a/\n")
    assert [r["file"] for r in Nestrel().scan_directory("./a/")] == reference_walk("a")
    assert sorted(reference_walk("a")) == ["a/b/c.go", "a/y.ts", "a/z.js"]
    assert not any(r["file"].startswith("a/") for r in Nestrel().scan_directory())
    assert Nestrel().scan_directory(isolated / "missing") == []
    assert Nestrel().scan_directory(isolated / "b.py") == []


def test_walk_reads_linked_files_only_below_its_start(isolated, tmp_path):
    write(isolated / "a" / "b.py", "# inside\n")
    write(isolated / "top.py", "# top\n")
    write(tmp_path / "outside.py", "# outside\n")
    os.symlink("../top.py", isolated / "a" / "up.py")  # climbs out of its folder, stays below the start
    os.symlink(isolated / "a" / "b.py", isolated / "absolute.py")
    os.symlink(tmp_path / "outside.py", isolated / "out.py")
    os.symlink("../outside.py", isolated / "a" / "climbs.py")
    os.symlink(isolated, isolated / "a" / "loop")  # a link to a folder is not entered
    found = {r["file"]: r["comments"][0]["content"] for r in Nestrel().scan_directory()}
    assert found == {"top.py": "top", "absolute.py": "inside", "a/b.py": "inside", "a/up.py": "top"}
    # Below a start of its own, a link to a file beside that start leads out of it.
    assert [r["file"] for r in Nestrel().scan_directory(isolated / "a")] == ["a/b.py"]
    # A start that is itself a link is followed.
    os.symlink(isolated / "a", tmp_path / "start")
    assert [r["file"] for r in Nestrel().scan_directory(tmp_path / "start")] == [str(tmp_path / "start" / "b.py")]


# While the walk runs, another process swaps a folder, or a file, of the tree
# for a link that leads out of it, and back.
WALK_SWAPS = {
    "folder": "os.rename('sub', 'aside'); os.symlink(OUTSIDE_DIR, 'sub'); [os.stat('sub') for _ in range(300)]\n"
              "os.unlink('sub'); os.rename('aside', 'sub'); [os.stat('sub') for _ in range(300)]",
    "file": "os.symlink(OUTSIDE_FILE, 'new'); os.replace('new', 'sub/s.py')\n"
            "open('new', 'w').write('# inside\\n'); os.replace('new', 'sub/s.py')",
}


@pytest.mark.parametrize("swapped", WALK_SWAPS)
def test_walk_never_reads_out_of_its_start_while_links_are_swapped(isolated, tmp_path, swapped):
    for k in range(300):  # time between listing the top and entering "sub"
        write(isolated / f"f{k}.py", "# top\n" * 20)
    write(isolated / "sub" / "s.py", "# inside\n")
    outside_dir = tmp_path / "elsewhere"
    outside = write(outside_dir / "s.py", "# secret\n")
    body = f"OUTSIDE_FILE, OUTSIDE_DIR = {str(outside)!r}, {str(outside_dir)!r}\n" + WALK_SWAPS[swapped]
    runs, seen, end = 0, set(), time.monotonic() + 4
    with racing(body):
        while time.monotonic() < end and "secret" not in seen:
            seen |= {r["comments"][0]["content"] for r in Nestrel().scan_directory() if r["file"].startswith("sub/")}
            runs += 1
    assert "secret" not in seen, f"after {runs} runs"
    assert runs > 20
    # Nearest case that must pass: the folder and the file in place are read.
    for name in ["sub", "new", "sub/s.py"]:
        if (isolated / name).is_symlink():
            (isolated / name).unlink()
    if (isolated / "aside").exists():
        os.rename(isolated / "aside", isolated / "sub")
    write(isolated / "sub" / "s.py", "# inside\n")
    assert outside.read_text() == "# secret\n"
    assert [r["comments"][0]["content"] for r in Nestrel().scan_directory() if r["file"].startswith("sub/")] == \
        ["inside"]


# Writes a late source into each directory d0, d1, ... of the working directory.
LATE_SOURCES = ("    for name in os.listdir('.'):\n"
                "        if name.startswith('d'):\n"
                "            open(os.path.join(name, 'late.py'), 'w').write('# late\\n')\n")


def test_signal_handlers_run_during_the_walk_and_their_error_ends_it(isolated):
    # The walk checks for signals every 256 files: the files of the working
    # directory come before its directories.
    for k in range(4096):
        write(isolated / f"f{k}.py", "# c\n")
    for k in range(4):
        (isolated / f"d{k}").mkdir()
    setup = "import nestrel\nextractor = nestrel.Nestrel()"
    scan = "[r['file'] for r in extractor.scan_directory() if 'late' in r['file']]"
    assert signalled_call(setup, scan, "    raise KeyboardInterrupt") == "raised KeyboardInterrupt"
    assert signalled_call(setup, scan, "    raise LookupError") == "raised LookupError"
    assert sorted(eval(signalled_call(setup, scan, LATE_SOURCES))) == [f"d{k}/late.py" for k in range(4)]


# ------------------------------------------------------------------- saving

TRICKY = [
    {"file": "src/ü.py", "comments": [{"line": "1", "content": 'q"b\\s/\b\f\n\r\t\x00\x1f\x7f中😀'}]},
    {"file": "e", "comments": []}, {}, [], [[]], "", 0, -12, 3.0, 1e100, 0.1, True, False, None,
    {"nested": {"deep": [1, [2, {"x": None}]]}, "tuple": (1, "a")},
]


def test_saved_text_equals_pythons_json(isolated):
    extractor = Nestrel()
    long_texts = ["a\"b" * 400_000, "é\n中" * 300_000, "😀\t" * 300_000]  # beyond one written piece
    for results in [TRICKY, [], [float("nan"), float("inf"), -float("inf")], long_texts,
                    [{1: "int key", None: 2, 2.5: True}, type("S", (str,), {})("sub")]]:
        extractor.save_to_json(results, "out.json")
        expected = json.dumps(results, indent=2, ensure_ascii=False)
        assert (isolated / "out.json").read_bytes() == expected.encode("utf-8")
    extractor.save_to_json([{"a": 1}])
    assert (isolated / "comments.json").read_bytes() == b'[\n  {\n    "a": 1\n  }\n]'


def test_saving_fails_without_damage(isolated):
    extractor = Nestrel()
    target = write(isolated / "doc.json", "old content")
    os.chmod(target, 0o640)
    with pytest.raises(Exception) as error:
        extractor.save_to_json([{"a": 1}, object()], str(target))
    assert str(error.value) == "保存JSON文件失败: Object of type object is not JSON serializable"
    with pytest.raises(Exception) as error:
        extractor.save_to_json(["\ud800"], str(target))
    assert str(error.value).startswith("保存JSON文件失败: 'utf-8' codec can't encode")
    assert target.read_text() == "old content"
    extractor.save_to_json([1], str(target))
    assert target.read_text() == "[\n  1\n]" and stat.S_IMODE(target.stat().st_mode) == 0o640
    assert sorted(p.name for p in isolated.iterdir()) == ["doc.json"]  # no temporary file stays
    with pytest.raises(Exception) as error:
        extractor.save_to_json([], "missing/doc.json")
    assert str(error.value) == "保存JSON文件失败: [Errno 2] No such file or directory: 'missing/doc.json'"
    with pytest.raises(TypeError, match="'results'"):
        extractor.save_to_json((1,), "x.json")
    with pytest.raises(TypeError, match="'output_file'"):
        extractor.save_to_json([], 5)
    # A link is written through, not replaced.
    os.symlink(target, isolated / "link.json")
    extractor.save_to_json([2], "link.json")
    assert (isolated / "link.json").is_symlink() and target.read_text() == "[\n  2\n]"


def test_a_write_failing_half_way_keeps_the_old_document(isolated):
    # Writes beyond 4 KB fail in the child, as on a full disk.
    write(isolated / "doc.json", "old document")
    code = ("import resource, signal, nestrel\n"
            "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))\n"
            "try:\n    nestrel.Nestrel().save_to_json(['x' * 100] * 100, 'doc.json')\n"
            "except Exception as error:\n    print(error)\n")
    out = run(code)
    assert out.stdout == "保存JSON文件失败: [Errno 27] File too large: 'doc.json'\n", out.stderr
    assert (isolated / "doc.json").read_text() == "old document"
    assert sorted(p.name for p in isolated.iterdir()) == ["doc.json"]


# ------------------------------------------------------------------ command

def test_command_writes_the_document_and_a_summary(isolated, capsys):
    write(isolated / "a.py", "# one\n'''two'''\n")
    write(isolated / "sub" / "b.js", "// three\n")
    write(isolated / "c.txt", "# none\n")
    nestrel.extract_comments()
    document = isolated / ".orvo" / "comments.json"
    assert capsys.readouterr().out.splitlines() == [
        "正在扫描目录并提取注释...", "注释提取完成！", "扫描的文件数量: 2", "提取的注释总数: 3",
        f"结果已保存到: {document}"]
    text = document.read_text(encoding="utf-8")
    assert text == json.dumps(Nestrel().scan_directory(), indent=2, ensure_ascii=False)
    assert json.loads(text)[0] == {"file": "a.py", "comments": [{"line": "1", "content": "one"},
                                                              {"line": "2", "content": "two"}]}


def test_command_reports_nothing_found_and_errors(isolated, capsys):
    write(isolated / "a.py", "x = 1\n")
    nestrel.extract_comments()
    assert capsys.readouterr().out == "正在扫描目录并提取注释...\n未找到任何包含注释的编程语言文件。\n"
    assert not (isolated / ".orvo").exists()
    write(isolated / "a.py", "# now\n")
    write(isolated / ".orvo", "a file in the way")
    nestrel.extract_comments()
    assert capsys.readouterr().out.splitlines()[-1] == \
        f"注释提取过程中发生错误: [Errno 17] File exists: '{isolated / '.orvo'}'"


# Names that are not UTF-8 (a byte of their own, half a character, an encoded
# surrogate, a code point beyond U+10FFFF, next to escaped and wide
# characters, in a folder's name) beside names that are.
ODD_NAMES = [b"bad\xff.py", b"\xe4\xb8.py", b"\xed\xa0\x80.py", b"\xf4\x90\x80\x80x.py", b"t\tq\"\xfe.py",
             b"\xe4\xb8\xad\xc3.py", b"d\x80\xbf/x.py"]
PLAIN_NAMES = [b"plain.py", "中文 \t\"\\.py".encode(), b"d/y.py"]


def test_command_writes_names_that_are_not_utf8_as_fsdecode_reads_them(isolated):
    for name in ODD_NAMES + PLAIN_NAMES:
        write(isolated / os.fsdecode(name), f"# {len(name)}\n")
    out = run([script("nestrel")])
    assert out.returncode == 0 and out.stdout.splitlines()[2] == f"扫描的文件数量: {len(ODD_NAMES + PLAIN_NAMES)}"
    text = (isolated / ".orvo" / "comments.json").read_bytes()
    records = json.loads(text)
    assert {record["file"]: record["comments"] for record in records} == {
        os.fsdecode(name): [{"line": "1", "content": str(len(name))}] for name in ODD_NAMES + PLAIN_NAMES}
    # The layout of json.dumps; each undecodable byte as the escape of its lone
    # surrogate, in lower case as every escape there; nothing else changes.
    assert text == json.dumps(records, indent=2, ensure_ascii=False).encode("utf-8", "backslashreplace")
    assert b'"file": "bad\\udcff.py"' in text and b'"file": "t\\tq\\"\\udcfe.py"' in text
    assert b'"file": "\xe4\xb8\xad\\udcc3.py"' in text and b'"file": "d\\udc80\\udcbf/x.py"' in text
    assert all(Path(record["file"]).is_file() for record in records)  # each name finds its file again


def test_random_names_come_back_as_fsdecode_reads_them(isolated):
    pieces = [bytes([b]) for b in range(0x80, 0x100)] + [b"a", b"\t", b'"', b"\\", "é".encode(), "中".encode(),
                                                        "😀".encode(), b"\xed\xb3\xbf"]
    rng = random.Random(7)
    names = {b"".join(rng.choice(pieces) for _ in range(rng.randint(1, 6))) + b".py" for _ in range(300)}
    for name in names:
        write(isolated / os.fsdecode(name), "# c\n")
    assert run([script("nestrel")]).returncode == 0
    text = (isolated / ".orvo" / "comments.json").read_bytes()
    records = json.loads(text)
    assert sorted(record["file"] for record in records) == sorted(os.fsdecode(name) for name in names)
    assert text == json.dumps(records, indent=2, ensure_ascii=False).encode("utf-8", "backslashreplace")


def test_console_script_runs_the_command(isolated):
    write(isolated / "m.rs", "/// doc\n")
    out = run([script("nestrel")])
    assert out.returncode == 0 and out.stdout.splitlines()[1:4] == ["注释提取完成！", "扫描的文件数量: 1",
                                                                  "提取的注释总数: 1"]
    assert json.loads((isolated / ".orvo" / "comments.json").read_text()) == \
        [{"file": "m.rs", "comments": [{"line": "1", "content": "/ doc"}]}]


# ------------------------------------------------ where the document may go

def outside_message(document, target):
    return (f"注释提取过程中发生错误: 保存JSON文件失败: '{document}' leads out of the working directory, "
            f"to '{target}'")


def test_command_writes_through_links_only_inside_the_working_directory(isolated, tmp_path, capsys):
    write(isolated / "a.py", "# c\n")
    document = isolated / ".orvo" / "comments.json"
    inside = write(isolated / "docs" / "comments.json", "old")
    write(document.parent / "keep", "")
    os.symlink("../docs/comments.json", document)
    nestrel.extract_comments()
    assert capsys.readouterr().out.splitlines()[-1] == f"结果已保存到: {document}"
    assert document.is_symlink() and json.loads(inside.read_text())[0]["file"] == "a.py"
    # The working directory is tmp_path/"work": "work2" beside it is outside.
    outside = write(tmp_path / "outside.json", "secret")
    sibling = write(tmp_path / (isolated.name + "2") / "comments.json", "secret")
    for target in [outside, sibling, tmp_path / "new.json", Path("/dev/null")]:
        document.unlink()
        os.symlink(target, document)
        nestrel.extract_comments()
        assert capsys.readouterr().out.splitlines()[-1] == outside_message(document, target)
        assert document.is_symlink()
    assert outside.read_text() == "secret" and sibling.read_text() == "secret"
    assert not (tmp_path / "new.json").exists() and stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert sorted(p.name for p in document.parent.iterdir()) == ["comments.json", "keep"]


@pytest.mark.parametrize("links, written", [
    (["../top.json"], "top.json"),  # in the working directory itself
    (["{work}/docs/absolute.json"], "docs/absolute.json"),
    (["../docs/first.json", "second.json"], "docs/second.json"),  # a link to a link
])
def test_command_follows_links_that_stay_in_the_working_directory(isolated, capsys, links, written):
    write(isolated / "a.py", "# c\n")
    (isolated / ".orvo").mkdir()
    (isolated / "docs").mkdir()
    names = [isolated / ".orvo" / "comments.json"] + [isolated / "docs" / "first.json"]
    for name, link in zip(names, links):
        os.symlink(link.format(work=isolated), name)
    nestrel.extract_comments()
    assert capsys.readouterr().out.splitlines()[1] == "注释提取完成！"
    assert json.loads((isolated / written).read_text())[0]["file"] == "a.py"
    assert all(name.is_symlink() for name in names[:len(links)])


def test_command_refuses_an_orvo_directory_outside(isolated, tmp_path, capsys):
    write(isolated / "a.py", "# c\n")
    sibling = tmp_path / (isolated.name + "2")
    sibling.mkdir()
    os.symlink(sibling, isolated / ".orvo")
    nestrel.extract_comments()
    assert capsys.readouterr().out.splitlines()[-1] == outside_message(
        isolated / ".orvo" / "comments.json", sibling / "comments.json")
    assert list(sibling.iterdir()) == []
    # A link to a directory inside the working directory is followed.
    (isolated / ".orvo").unlink()
    (isolated / "meta").mkdir()
    os.symlink("meta", isolated / ".orvo")
    nestrel.extract_comments()
    assert capsys.readouterr().out.splitlines()[1] == "注释提取完成！"
    assert json.loads((isolated / "meta" / "comments.json").read_text())[0]["file"] == "a.py"


# While the command runs, another process swaps the document (or the folder
# that holds it) between a link that stays inside and one that leads out, or
# takes it away; the swap is atomic (a rename) where it replaces a link.
SWAPS = {
    "document": "for to in [None, OUTSIDE_FILE] * 4 + ['../docs/comments.json']:\n"
                "    os.close(os.open('.orvo/new', os.O_CREAT)) if to is None else os.symlink(to, '.orvo/new')\n"
                "    os.replace('.orvo/new', '.orvo/comments.json')\n"
                "os.unlink('.orvo/comments.json')",
    "folder": "for to in [OUTSIDE_DIR, 'meta']:\n    os.symlink(to, 'new')\n    os.replace('new', '.orvo')",
}


@pytest.mark.parametrize("swapped", SWAPS)
def test_command_never_writes_out_of_the_working_directory_while_links_are_swapped(isolated, tmp_path, capsys,
                                                                                    swapped):
    write(isolated / "a.py", "# c\n")
    (isolated / "meta").mkdir()
    inside = write(isolated / "docs" / "comments.json", "old")
    outside = write(tmp_path / "outside.json", "secret")
    outside_dir = tmp_path / "elsewhere"
    outside_dir.mkdir()
    os.symlink("meta", isolated / ".orvo")
    body = f"OUTSIDE_FILE, OUTSIDE_DIR = {str(outside)!r}, {str(outside_dir)!r}\n" + SWAPS[swapped]
    runs, end = 0, time.monotonic() + 4
    with racing(body):
        while time.monotonic() < end and outside.read_text() == "secret" and not os.listdir(outside_dir):
            nestrel.extract_comments()
            capsys.readouterr()
            runs += 1
    assert outside.read_text() == "secret" and os.listdir(outside_dir) == [], f"after {runs} runs"
    assert runs > 50
    # Nearest case that must pass: a link to a file inside is followed and written.
    for name in [".orvo", "new", "meta/new", "meta/comments.json"]:
        if os.path.lexists(isolated / name):
            os.unlink(isolated / name)
    os.symlink("meta", isolated / ".orvo")
    os.symlink("../docs/comments.json", isolated / "meta" / "comments.json")
    nestrel.extract_comments()
    assert capsys.readouterr().out.splitlines()[1] == "注释提取完成！"
    assert json.loads(inside.read_text())[0]["file"] == "a.py"


# ------------------------------------------ what saving writes in place

def test_saving_writes_a_device_in_place(isolated):
    extractor = Nestrel()
    # A private device first, so that a faulty writer fails here and not on the
    # system's (which only a user who may make devices could replace).
    try:
        os.mknod(isolated / "null", stat.S_IFCHR | 0o666, os.stat("/dev/null").st_rdev)
    except PermissionError:
        pass
    else:
        extractor.save_to_json([1], "null")
        assert stat.S_ISCHR(os.lstat(isolated / "null").st_mode)
    before = os.stat("/dev/null")
    os.symlink("/dev/null", isolated / "null.json")
    extractor.save_to_json([1], "null.json")
    extractor.save_to_json([2], "/dev/null")
    after = os.stat("/dev/null")
    assert stat.S_ISCHR(after.st_mode) and (after.st_ino, after.st_rdev) == (before.st_ino, before.st_rdev)
    assert (isolated / "null.json").is_symlink()


def test_saving_writes_a_pipe_in_place_without_waiting_for_a_reader(isolated):
    os.mkfifo(isolated / "pipe.json")
    code = ("import nestrel\n"
            "try:\n    nestrel.Nestrel().save_to_json([1], 'pipe.json')\n"
            "except Exception as error:\n    print(error)\n")
    assert run(code, timeout=20).stdout == "保存JSON文件失败: [Errno 6] No such device or address: 'pipe.json'\n"
    reader = os.open(isolated / "pipe.json", os.O_RDONLY | os.O_NONBLOCK)
    try:
        with pytest.raises(Exception, match="not JSON serializable"):
            Nestrel().save_to_json([1, object()], "pipe.json")
        Nestrel().save_to_json([2], "pipe.json")
        assert os.read(reader, 1000) == b"[\n  2\n]"
    finally:
        os.close(reader)
    assert stat.S_ISFIFO(os.lstat(isolated / "pipe.json").st_mode)
    assert sorted(p.name for p in isolated.iterdir()) == ["pipe.json"]


def test_saving_keeps_hard_links(isolated):
    extractor = Nestrel()
    target = write(isolated / "doc.json", "old content, longer than the new")
    other = isolated / "other.json"
    os.link(target, other)
    extractor.save_to_json([1], "doc.json")
    assert other.read_text() == "[\n  1\n]" and os.path.samefile(target, other)
    # A failure half way (after more than one written piece) writes nothing.
    with pytest.raises(Exception, match="not JSON serializable"):
        extractor.save_to_json(["a" * 3_000_000, object()], str(other))
    assert target.read_text() == "[\n  1\n]"
    extractor.save_to_json([{None: 3}], str(other))  # Python's json takes over
    assert target.read_text() == '[\n  {\n    "null": 3\n  }\n]' and os.path.samefile(target, other)
    assert sorted(p.name for p in isolated.iterdir()) == ["doc.json", "other.json"]


def test_saving_into_a_directory_that_takes_no_new_name(isolated):
    target = write(isolated / "fixed" / "doc.json", "old")
    with refusing_new_names(isolated / "fixed"):
        with pytest.raises(PermissionError):
            (isolated / "fixed" / "probe").touch()
        Nestrel().save_to_json([1], str(target))
        with pytest.raises(Exception, match=r"^保存JSON文件失败: \[Errno (1|13)\] .*: '.*new\.json'$"):
            Nestrel().save_to_json([1], str(isolated / "fixed" / "new.json"))
    assert target.read_text() == "[\n  1\n]"
    assert sorted(p.name for p in (isolated / "fixed").iterdir()) == ["doc.json"]


def test_saving_through_a_dangling_link_creates_its_target(isolated):
    os.symlink("sub/made.json", isolated / "dangling.json")
    (isolated / "sub").mkdir()
    Nestrel().save_to_json([1], "dangling.json")
    assert (isolated / "dangling.json").is_symlink() and (isolated / "sub" / "made.json").read_text() == "[\n  1\n]"
    os.symlink("loop.json", isolated / "loop.json")
    with pytest.raises(Exception, match=r"^保存JSON文件失败: \[Errno 40\] Too many levels of symbolic links"):
        Nestrel().save_to_json([1], "loop.json")
    assert (isolated / "loop.json").is_symlink()
