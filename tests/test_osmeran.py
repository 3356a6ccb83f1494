import json
import os
import stat
from pathlib import Path

import pytest

import osmeran
from dialogue import run, script
from files import write

Osmeran = osmeran.Osmeran


def inject(entries, file="src/f", base=None):
    return Osmeran().inject_comments([{"file": file, "comments": entries}], base)


def entry(line, content):
    return {"line": line, "content": content}


# ------------------------------------------------------------ one line

LINE_CASES = [
    # suffix, file text, line, content, file text afterwards
    (".py", "a\nx = 1\n", "2", "text", "a\nx = 1 # text\n"),
    (".py", "x = 1  # old\n", "1", "new", "x = 1  # new\n"),
    (".py", "x = 1\n", "1", "  # note  ", "x = 1 # note\n"),
    (".py", "x = 1\n", "1", "  note  ", "x = 1 # note\n"),
    (".js", 'u = "http://a"; // c\n', "1", "text", 'u = "http://a"; // text\n'),
    (".go", "a\nb\n   \t\n", "3", "text", "a\nb\n// text\n"),
    (".go", "    // old\n", "1", "new", "    // new\n"),
    (".ml", "let x = 1\n\n", "1", "text", "let x = 1 (* text *)\n\n"),
    (".ml", "let x = 1\n\n", "2", "text", "let x = 1\n(* text *)\n"),
    (".ml", "let x = 1 (* old *)\n", "1", "(* new", "let x = 1 (* new *)\n"),
    (".php", "<?php $a = 1; # old\n", "1", "text", "<?php $a = 1; # text\n"),
    (".php", "<?php $a = 1;\n", "1", "text", "<?php $a = 1; // text\n"),
    (".hs", "x = 1", "1", "-- text", "x = 1 -- text\n"),
    (".py", "a\r\nb\r\nc", "1", "t", "a # t\r\nb\r\nc"),
    (".py", "a\r\nb\r\nc", "3", "t", "a\r\nb\r\nc # t\r\n"),
    (".py", "a\rb\nc", "3", "t", "a\rb\nc # t\r"),
    (".py", "café = 1\n", "01", "注释", "café = 1 # 注释\n"),
    (".py", "x\n", "+1", "t", "x # t\n"),
    (".py", "x\n", " 1 ", "t", "x # t\n"),
]


@pytest.mark.parametrize("suffix,text,line,content,expected", LINE_CASES)
def test_a_comment_lands_on_its_line(isolated, suffix, text, line, content, expected):
    path = write(isolated / ("src/f" + suffix), text)
    stats = inject([entry(line, content)], "src/f" + suffix)
    assert stats == {"files_modified": 1, "comments_injected": 1, "skipped_multiline": 0, "errors": []}
    assert path.read_bytes() == expected.encode("utf-8")


def test_entries_are_validated_counted_and_skipped(isolated):
    path = write(isolated / "a.py", "".join(f"l{i}\n" for i in range(1, 9)))
    entries = [entry(v, "r") for v in ["1-3", "0", "-2", "abc", "1.5", "1_0x"]]
    entries += [entry("", "empty line"), entry("4", ""), {"content": "no line"}, {"line": "5"},
                entry(None, 5), entry("2-2", 5), entry(False, "x")]
    entries += [entry("+4", "four"), entry("007", "seven"), entry("7", "again"), entry("40", "far")]
    stats = inject(entries, "a.py")
    assert stats == {"files_modified": 1, "comments_injected": 3, "skipped_multiline": 7,
                     "errors": ["Failed to inject comment at line 40 in a.py"]}
    assert list(stats) == ["files_modified", "comments_injected", "skipped_multiline", "errors"]
    assert path.read_text().splitlines()[3:7] == ["l4 # four", "l5", "l6", "l7 # again"]
    validate = Osmeran()._validate_line_number
    assert [validate(v) for v in ["12", " 12 ", "+4", "007", "0", "-1", "1-3", "x", "", "1.0"]] == \
        [12, 12, 4, 7, None, None, None, None, None, None]
    with pytest.raises(TypeError, match="'line_str'"):
        validate(12)


def test_line_operation_refuses_without_changing_the_file(isolated):
    injector = Osmeran()
    path = write(isolated / "a.py", "x = 1")
    assert injector._inject_comment_to_file(path, 2, "t", "#") is False
    assert injector._inject_comment_to_file(str(path), 1, "t", "#") is True
    assert path.read_text() == "x = 1 # t\n"  # the last line gains a line end with its comment
    empty = write(isolated / "e.py", "")
    assert injector._inject_comment_to_file(empty, 1, "t", "#") is False and empty.read_bytes() == b""
    bad = write(isolated / "bad.py", b"x = '\xff'\n")
    assert injector._inject_comment_to_file(bad, 1, "t", "#") is False and bad.read_bytes() == b"x = '\xff'\n"
    assert injector._inject_comment_to_file(isolated / "missing.py", 1, "t", "#") is False
    for args, name in [((path, "1", "t", "#"), "line_num"), ((path, 1, None, "#"), "comment"),
                       ((path, 1, "t", 3), "comment_prefix"), ((1, 1, "t", "#"), "file_path")]:
        with pytest.raises(TypeError, match=f"'{name}'"):
            injector._inject_comment_to_file(*args)


def test_rewrites_keep_permissions_and_links(isolated):
    script_file = write(isolated / "run.sh", "echo hi\n")
    os.chmod(script_file, 0o751)
    owner = (1234, 1234) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(script_file, *owner)
    os.symlink("run.sh", isolated / "alias.sh")
    assert inject([entry("1", "greet")], "alias.sh")["comments_injected"] == 1
    assert (isolated / "alias.sh").is_symlink()
    assert script_file.read_text() == "echo hi # greet\n"
    assert stat.S_IMODE(script_file.stat().st_mode) == 0o751
    assert (script_file.stat().st_uid, script_file.stat().st_gid) == owner
    assert sorted(p.name for p in isolated.iterdir()) == ["alias.sh", "run.sh"]


def test_a_failed_rewrite_leaves_the_source_whole(isolated):
    # Writes beyond 4 KB fail in the child, as on a full disk.
    source = write(isolated / "big.py", "x = 1\n" * 2000)
    code = ("import resource, signal, osmeran\n"
            "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))\n"
            "print(osmeran.Osmeran().inject_comments([{'file': 'big.py', 'comments': "
            "[{'line': '1', 'content': 'c'}]}]))\n")
    out = run(code)
    assert out.stdout.strip() == ("{'files_modified': 0, 'comments_injected': 0, 'skipped_multiline': 0, "
                                  "'errors': ['Failed to inject comment at line 1 in big.py']}"), out.stderr
    assert source.read_text() == "x = 1\n" * 2000
    assert sorted(p.name for p in isolated.iterdir()) == ["big.py"]


# --------------------------------------------------------------- a document

def test_files_are_checked_before_their_comments(isolated, tmp_path):
    write(isolated / "a.py", "a\n")
    for name in ["s.css", "s.html", "s.vue", "s.pl", "s.r", "s.txt"]:
        write(isolated / name, "x\n")
    document = [{"file": name} for name in ["s.css", "s.html", "s.vue", "s.pl", "s.r", "s.txt", "gone.css"]]
    document += [{"file": ""}, {"file": None}, {"file": 0}, {"file": []}, {}, {"file": "a.py", "comments": ""},
                 {"file": "a.py", "comments": {}}, {"file": "a.py"}]
    assert Osmeran().inject_comments(document, isolated) == {
        "files_modified": 0, "comments_injected": 0, "skipped_multiline": 0,
        "errors": ["Unsupported file type: s.css", "Unsupported file type: s.html", "Unsupported file type: s.vue",
                   "Unsupported file type: s.pl", "Unsupported file type: s.r", "Unsupported file type: s.txt",
                   "File not found: gone.css"]}


def test_later_comments_see_the_earlier_ones(isolated):
    path = write(isolated / "a.py", "x\ny\n")
    document = [{"file": "a.py", "comments": [entry("1", "first"), entry("1", "second")]},
                {"file": str(path), "comments": [entry("2", "abs")]}]
    assert Osmeran().inject_comments(document)["comments_injected"] == 3
    assert path.read_text() == "x # second\ny # abs\n"


def test_paths_outside_the_base_are_refused(isolated, tmp_path):
    outside = write(tmp_path / "outside.py", "secret = 1\n")
    write(isolated / "proj" / "in.py", "x = 1\n")
    write(isolated / "proj" / "sub" / "deep.py", "y = 2\n")
    os.symlink(outside, isolated / "proj" / "link.py")
    os.symlink(tmp_path, isolated / "proj" / "dirlink")
    base = isolated / "proj"
    names = [str(outside), "../../outside.py", "link.py", "dirlink/outside.py", "sub/../../../outside.py",
             "sub/../in.py", str(base / "sub" / "deep.py")]
    document = [{"file": name, "comments": [entry("1", "pwned")]} for name in names]
    stats = Osmeran().inject_comments(document, str(base))
    assert stats["errors"] == [f"Path outside the base directory: {name}" for name in names[:5]]
    assert stats["comments_injected"] == 2
    assert outside.read_text() == "secret = 1\n"
    assert (base / "in.py").read_text() == "x = 1 # pwned\n"
    assert (base / "sub" / "deep.py").read_text() == "y = 2 # pwned\n"


def test_wrong_kinds_end_the_run(isolated):
    path = write(isolated / "a.py", "x\ny\n")
    good = {"file": "a.py", "comments": [entry("1", "kept")]}
    cases = [(["text"], "element of the comment document must be a dict, not str"),
             ([{"file": 5}], "'file' of an element must be str, not int"),
             ([{"file": "a.py", "comments": None}], "'comments' of an element must be a list, not NoneType"),
             ([{"file": "a.py", "comments": "abc"}], "must be a list, not str"),
             ([{"file": "a.py", "comments": ["x"]}], "comment entry must be a dict, not str"),
             ([{"file": "a.py", "comments": [entry(5, "x")]}], "'line' of a comment entry must be str, not int"),
             ([{"file": "a.py", "comments": [entry("2", 5)]}], "'content' of a comment entry must be str, not int")]
    for tail, message in cases:
        with pytest.raises(TypeError, match=message):
            Osmeran().inject_comments([good] + tail)
    # The comments before the error stay written; later runs find it in place.
    assert path.read_text() == "x # kept\ny\n"
    with pytest.raises(TypeError, match="'comments_data'"):
        Osmeran().inject_comments({"file": "a.py"})
    with pytest.raises(TypeError, match="'current_dir'"):
        Osmeran().inject_comments([], 3)


def test_loading_the_document(isolated):
    load = Osmeran().load_comments_from_json
    assert load(isolated / "missing.json") is None
    for name, content in {"obj.json": '{"a": 1}', "bad.json": "[1,", "bom.json": "\ufeff[1]".encode("utf-8"),
                          "bytes.json": b"[\"\xff\"]"}.items():
        assert load(write(isolated / name, content)) is None, name
    assert load(str(write(isolated / "ok.json", '[{"file": "é"}, 3]'))) == [{"file": "é"}, 3]
    (isolated / "dir.json").mkdir()
    assert load(isolated / "dir.json") is None
    assert Osmeran()._get_language_comment_prefix("x.ML") == "(*"
    assert Osmeran()._get_language_comment_prefix("x.vue") is None


# ------------------------------------------------------------ message table

def test_message_table_and_lookup():
    table = osmeran.translations
    assert list(table) == ["warning_title", "warning_message", "warning_details", "backup_recommendation",
                           "warning_prompt", "invalid_confirmation", "operation_cancelled",
                           "no_comments_file_found", "comment_file_path", "reading_comments_file",
                           "injecting_comments", "comment_injection_complete", "files_modified_count",
                           "comments_injected_count", "comment_injection_error"]
    assert table["warning_details"] == [
        "• This will overwrite existing comments in your source files",
        "• Only single-line comments (with specific line numbers) will be injected",
        '• Multi-line comment ranges (like "1-3") will be ignored',
        "• This operation is IRREVERSIBLE and may damage your code",
        "• Please backup your code before proceeding"]
    assert table["backup_recommendation"].startswith("\u26a0\ufe0f  Please")
    assert osmeran.t("comment_file_path") == "Comments file path: {}"
    assert osmeran.t("comment_file_path", "p", "surplus") == "Comments file path: p"
    assert osmeran.t("Saved {} files", 3) == "Saved 3 files"
    assert osmeran.t("{name} and {0}", 1, name="n") == "n and 1"
    assert osmeran.t("{broken") == "{broken"
    assert osmeran.t("warning_details", 1) is table["warning_details"]
    with pytest.raises(TypeError, match="'key'"):
        osmeran.t(None)


# ----------------------------------------------------------------- command

def command(answers="", **kwargs):
    return run([script("osmeran")], answers, **kwargs)


def document(path, content):
    write(path / ".orvo" / "comments.json", json.dumps(content) if not isinstance(content, str) else content)
    return str(path / ".orvo" / "comments.json")


WARNING = ["", "=" * 80, "\u26a0\ufe0f  DANGER WARNING", "=" * 80,
           "This operation will MODIFY your source code files and CANNOT BE UNDORED!", ""] + \
          ["  " + line for line in osmeran.translations["warning_details"]] + \
          ["", "\u26a0\ufe0f  Please create a backup of your code before this operation!", ""]
PROMPT = 'Type "CONFIRM" to proceed with comment injection: '


def test_command_without_a_usable_document(isolated):
    assert command().stdout == "No comments.json file found in .orvo directory.\n"
    for content, error in [("[]", "Failed to load comments data"), ('{"file": "a.py"}', "Failed to load comments data"),
                           ("not json", "Failed to load comments data"),
                           ('["text"]', "each element of the comment document must be a dict, not str")]:
        path = document(isolated, content)
        assert command().stdout.splitlines() == [f"Comments file path: {path}", "Reading comments file...",
                                                 "\u274c Error during comment injection: " + error]


def test_an_error_without_a_text_is_named_by_what_it_is(isolated, monkeypatch, capsys):
    write(isolated / "a.py", "x\n")
    document(isolated, [{"file": "a.py", "comments": [entry("1", "c")]}])
    monkeypatch.setattr("builtins.input", lambda prompt="": "CONFIRM")
    monkeypatch.setattr(osmeran.Osmeran, "inject_comments", lambda *args: (_ for _ in ()).throw(MemoryError()))
    osmeran.inject_comments_from_files()
    assert capsys.readouterr().out.endswith("\u274c Error during comment injection: out of memory\n")
    assert (isolated / "a.py").read_text() == "x\n"


def test_confirmation_answers(isolated):
    write(isolated / "a.py", "x\n")
    path = document(isolated, [{"file": "a.py", "comments": [entry("1", "c"), entry("1-2", "r")]},
                               {"file": "b.py"}])
    head = [f"Comments file path: {path}", "Reading comments file...", "", "📊 将处理 2 个文件中的 2 个注释"]
    out = command(["confirm", "", "Confirm", "N"])
    assert out.stdout.splitlines() == head + WARNING + [
        PROMPT + "Invalid confirmation. Operation cancelled."] * 3 + [PROMPT + "Operation cancelled by user."]
    for answer in ["n", "no", "C", "CANCEL", " cancel "]:
        assert command([answer]).stdout.endswith(PROMPT + "Operation cancelled by user.\n")
    assert command([]).stdout.endswith(PROMPT + "\u274c Error during comment injection: EOF when reading a line\n")
    assert (isolated / "a.py").read_text() == "x\n"
    out = command([" CONFIRM "])
    assert out.stdout.endswith(PROMPT + "\nInjecting comments to source files...\n\nComment injection completed!\n"
                               "Number of files modified: 1\nTotal comments injected: 1\n跳过多行注释: 1\n\n"
                               "\u26a0\ufe0f  发生 1 个错误:\n  • File not found: b.py\n")
    assert (isolated / "a.py").read_text() == "x # c\n"


def test_error_list_is_cut_at_five(isolated):
    write(isolated / "a.py", "x\n")
    for count, tail in [(7, ["  • ... 还有 2 个错误"]), (5, [])]:
        document(isolated, [{"file": f"m{i}.py"} for i in range(count)] + [{"file": "a.py"}])
        lines = command(["CONFIRM"]).stdout.splitlines()
        end = lines.index("Total comments injected: 0")
        assert lines[end + 1:] == ["", f"\u26a0\ufe0f  发生 {count} 个错误:"] + \
            [f"  • File not found: m{i}.py" for i in range(5)] + tail
        assert lines[end - 1] == "Number of files modified: 0"


def test_a_type_error_ends_the_confirmed_run(isolated):
    write(isolated / "a.py", "x\n")
    document(isolated, [{"file": "a.py", "comments": [entry("1", "c")]},
                        {"file": "a.py", "comments": [{"line": 5, "content": "n"}]}])
    out = command(["CONFIRM"])
    assert out.stdout.endswith("Injecting comments to source files...\n\u274c Error during comment injection: "
                               "the 'line' of a comment entry must be str, not int\n")
    assert (isolated / "a.py").read_text() == "x # c\n"


# ------------------------------------------------------------ hostile documents

def test_a_document_that_shrinks_during_the_run(isolated):
    write(isolated / "a.py", "x\ny\n")

    class Clearing(Osmeran):
        def _get_language_comment_prefix(self, file_path):
            doc.clear()  # the document empties under the running loop
            return super()._get_language_comment_prefix(file_path)

    doc = [{"file": "a.py", "comments": [entry("1", "one")]}, {"file": "gone.py"}, {"file": "gone2.py"}]
    assert Clearing().inject_comments(doc)["comments_injected"] == 1

    class Emptying(str):
        def __bool__(self):
            entries.clear()
            return True

    entries = [entry("2", Emptying("two")), entry("1", "never"), entry("1", "never")]
    stats = Osmeran().inject_comments([{"file": "a.py", "comments": entries}])
    assert stats["comments_injected"] == 1 and (isolated / "a.py").read_text() == "x # one\ny # two\n"


def test_a_comment_of_several_lines_is_never_written(isolated):
    path = write(isolated / "a.py", "x = 1\ny = 2\n")
    breaks = ["\n", "\r", "\r\n", "\v", "\f", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029"]
    entries = [entry("1", f"n{b}print('PWNED')") for b in breaks]
    # Trimmed ends break no line; "\x1f" breaks none either, but is refused as a control character.
    entries += [entry("2", "# kept \n"), entry("2", "a\x1fb")]
    stats = inject(entries, "a.py")
    assert stats == {"files_modified": 1, "comments_injected": 1, "skipped_multiline": len(breaks),
                     "errors": ["Failed to inject comment at line 2 in a.py"]}
    assert path.read_text() == "x = 1\ny = 2 # kept\n"
    assert Osmeran()._inject_comment_to_file(path, 1, "a\nb", "#") is False
    assert path.read_text() == "x = 1\ny = 2 # kept\n"


def test_one_bad_entry_does_not_end_the_run(isolated):
    path = write(isolated / "a.py", "x\ny\n")
    doc = [{"file": "a\x00.py", "comments": [entry("1", "c")]},
           {"file": "\ud800.py", "comments": [entry("1", "c")]},
           {"file": "a.py", "comments": [entry("1", "lone \udc80"), entry("2", "fine"),
                                         entry("99999999999999999999999", "far")]}]
    stats = Osmeran().inject_comments(doc)
    assert stats["errors"] == ["File not found: a\x00.py", "File not found: \ud800.py",
                               "Failed to inject comment at line 1 in a.py",
                               "Failed to inject comment at line 99999999999999999999999 in a.py"]
    assert stats["comments_injected"] == 1 and path.read_text() == "x\ny # fine\n"
    assert Osmeran()._inject_comment_to_file(path, 2**70, "t", "#") is False


# ------------------------------------------------- what a rewrite keeps

def test_injection_keeps_hard_links(isolated):
    source = write(isolated / "a.py", "x = 1\ny = 2\n")
    os.link(source, isolated / "same.py")
    assert inject([entry("1", "one")], "a.py")["comments_injected"] == 1
    assert inject([entry("2", "two")], "same.py")["comments_injected"] == 1
    assert source.read_text() == "x = 1 # one\ny = 2 # two\n"
    assert os.path.samefile(source, isolated / "same.py")
    assert sorted(p.name for p in isolated.iterdir()) == ["a.py", "same.py"]


def test_injection_keeps_extended_attributes(isolated):
    source = write(isolated / "a.py", "x = 1\n")
    try:
        os.setxattr(source, "user.note", b"x")
    except OSError as error:
        pytest.skip(f"no user attributes on this file system: {error}")
    os.setxattr(source, "user.blob", bytes(range(256)) * 8)
    replaced = os.stat(source).st_ino
    assert inject([entry("1", "c")], "a.py")["comments_injected"] == 1
    assert os.stat(source).st_ino != replaced  # a new file, which took the attributes
    assert sorted(os.listxattr(source)) == ["user.blob", "user.note"]
    assert os.getxattr(source, "user.note") == b"x" and os.getxattr(source, "user.blob") == bytes(range(256)) * 8


def test_base_directory_is_compared_by_whole_components(tmp_path):
    base = tmp_path / "proj"
    direct = write(base / "a.py", "x = 1\n")
    sibling = write(tmp_path / "proj2" / "a.py", "y = 2\n")
    refused = [str(sibling), "../proj2/a.py", ".", str(base)]
    document = [{"file": name, "comments": [entry("1", "c")]} for name in refused + ["a.py"]]
    for given in [str(base), str(base) + "/"]:
        write(direct, "x = 1\n")
        stats = Osmeran().inject_comments(document, given)
        assert stats["errors"] == [f"Path outside the base directory: {name}" for name in refused]
        assert stats["comments_injected"] == 1 and direct.read_text() == "x = 1 # c\n"
    assert sibling.read_text() == "y = 2\n"
