"""Extracting the comments of a project and writing them back: unedited they
leave every byte in place, edited they change the comments' text only, and a
text that would end its comment early or put code on the line is refused."""

import contextlib
import io
import json
import re
from pathlib import Path

import pytest

import nestrel
import osmeran
from files import write

Nestrel = nestrel.Nestrel
Osmeran = osmeran.Osmeran
DOCUMENT = Path(".orvo") / "comments.json"


def extract():
    """The comment document of the working directory, as the extraction command writes it."""
    with contextlib.redirect_stdout(io.StringIO()):
        nestrel.extract_comments()
    return Osmeran().load_comments_from_json(DOCUMENT)


def snapshot(root):
    return {path: (path.read_bytes(), path.stat().st_ino)
            for path in sorted(Path(root).rglob("*")) if path.is_file() and ".orvo" not in path.parts}


def delimiters(pattern):
    """The opening and closing texts of a comment pattern such as '/\\*(.*?)\\*/'."""
    opening, closing = re.split(r"\(\.\*\??\)", pattern)
    return re.sub(r"\\(.)", r"\1", opening), re.sub(r"\\(.)", r"\1", closing)


def source(language):
    """A source text that uses every comment form of a language in awkward places."""
    patterns = Nestrel.COMMENT_PATTERNS.get(language, {})
    single = patterns.get("single_line", [])
    forms = [delimiters(p) for p in ([single] if isinstance(single, str) else single)]
    lines = ["#!/usr/bin/env tool -x", "echo ${#arr[@]} ${#}"]
    blocks = [delimiters(p) for p in patterns.get("multiline", [])] + [f for f in forms if f[1]]
    for opening, _ in (f for f in forms if not f[1]):
        p = opening
        lines += [f's = "a{p}b{p}c";  {p} after a string that holds the prefix',
                  f"{p}tight", f"t = 1 \t {p}   odd  spacing   \t", f"  \t{p}", f'u = "{p}"{p}{p} doubled',
                  f"\t{p} caf\u00e9 \u6ce8\u91ca \t indented", f"echo ${{#arr[@]}} {p} count"]
    for opening, closing in blocks:
        o, c = opening, closing
        lines += [f"{o} one-line block {c}", f"v = 2; {o} inner {c} w = 3; {o}two{c}",
                  f"{o}", "  * multi-line", "  text", f"{c} x = 4;"]
        for p, _ in (f for f in forms if not f[1]):
            lines += [f"y = 5; {p} outer {o} nested {c}", f"{o} a {p} b {c}"]
    return "\n".join(lines) + "\nz = 6 " + (forms[0][0] + " no line end" + forms[0][1] if forms else "")



def make_project(root):
    """Every suffix, with "\\n", "\\r\\n" and "\\r" line ends, and the lines that
    used to come back broken."""
    for suffix, language in Nestrel.SUPPORTED_EXTENSIONS.items():
        text = source(language)
        name = suffix[1:]
        write(root / "lf" / f"f{suffix}", text)
        write(root / "crlf" / f"f{suffix}", text.replace("\n", "\r\n"))
        write(root / "cr" / f"f{suffix}", text.replace("\n", "\r"))
        write(root / "mixed" / name / f"f{suffix}", text.replace("\n", "\r\n", 3))
    write(root / "web.js", 'const home = "http://example.com"; // home page\r\n/* round up */\r\n')
    write(root / "colours.py", 'RED = "#ff0000"  # red colour\n## Section\n#!/bin/sh\n')
    write(root / "count.sh", "#!/bin/sh\necho ${#arr[@]}\n")
    write(root / "ends.c", "int x; // joined \\\nint y; /* \x01 */\nchar *s = \"\\u000a\"; // \\u000a\n")


def test_an_unedited_round_trip_leaves_every_byte(isolated):
    make_project(isolated)
    before = snapshot(isolated)
    document = extract()
    prefix = Osmeran()._get_language_comment_prefix
    unsupported = [e["file"] for e in document if prefix(e["file"]) is None]
    single = sum(1 for e in document if prefix(e["file"]) for c in e["comments"] if "-" not in c["line"])
    ranges = sum(1 for e in document if prefix(e["file"]) for c in e["comments"] if "-" in c["line"])
    assert single > 1000 and ranges > 100 and len(unsupported) > 20
    for _ in range(2):  # nothing grows from run to run
        stats = Osmeran().inject_comments(json.loads(json.dumps(document)))
        assert stats["errors"] == [f"Unsupported file type: {f}" for f in unsupported]
        assert stats["comments_injected"] == single and stats["skipped_multiline"] == ranges
        after = snapshot(isolated)
        assert [p for p in before if after[p][0] != before[p][0]] == []
        assert after == before  # no file was even rewritten
    assert (isolated / "web.js").read_bytes().startswith(b'const home = "http://example.com"; // home page\r\n')


EDITS = {"home page": "start page", "tabbed note": "Notiz", "tight": "eng", "last one": "letzte",
         "red colour": "rote Farbe", "spaced": "weit", "count them": "z\u00e4hlen", "hash in a string": "Raute",
         "uno": "eins", "dashes": "Striche", "stars": "Sterne"}

EDITED = [
    # file, its text, the text after the edited round trip
    ("web.js",
     'const home = "http://example.com"; // home page\nlet a = 1;\t//\ttabbed note\n/* round up */\n'
     "x(); //tight\n/**\n * block\n */\ny(); // last one",
     'const home = "http://example.com"; // start page\nlet a = 1;\t//\tNotiz\n/* round up */\n'
     "x(); //eng\n/**\n * block\n */\ny(); // letzte\n"),
    ("colours.py",
     '#!/usr/bin/env python3\r\nRED = "#ff0000"  # red colour\r\n## Section\r\nx = 1   #   spaced   \r\n'
     '"""one-line doc"""\r\n',
     '#!/usr/bin/env python3\nRED = "#ff0000"  # rote Farbe\n## Section\nx = 1   #   weit\n"""one-line doc"""\n'),
    ("count.sh", '#!/bin/sh\necho ${#arr[@]}  # count them\necho "#x" # hash in a string\n',
     '#!/bin/sh\necho ${#arr[@]}  # z\u00e4hlen\necho "#x" # Raute\n'),
    ("m.ml", "let x = 1 (* uno *)\n(*   stars   *)\n", "let x = 1 (* eins *)\n(*   Sterne *)\n"),
    ("q.sql", "SELECT '--' AS d; -- dashes\r\n/* kept */\r\n", "SELECT '--' AS d; -- Striche\n/* kept */\n"),
    ("kept.go", "x := 1 // home\r\n", "x := 1 // home\r\n"),
]


def edited(document):
    for element in document:
        for comment in element["comments"]:
            for old, new in EDITS.items():
                comment["content"] = comment["content"].replace(old, new)
    return document


def test_an_edited_round_trip_changes_only_the_comments(isolated):
    for name, text, _ in EDITED:
        write(isolated / name, text)
    document = edited(extract())
    stats = Osmeran().inject_comments(document)
    assert stats["errors"] == [] and stats["skipped_multiline"] == 1
    assert {name: (isolated / name).read_bytes().decode() for name, _, _ in EDITED} == \
        {name: after for name, _, after in EDITED}
    # Once written, the edited comments stand: a second run rewrites nothing.
    before = snapshot(isolated)
    assert Osmeran().inject_comments(document)["comments_injected"] == stats["comments_injected"]
    assert snapshot(isolated) == before


def test_a_comment_in_place_is_left_alone_and_counted(isolated):
    path = write(isolated / "a.py", "x = 1  # note\r\n## Section\r\ny = 2")
    inode = path.stat().st_ino
    entries = [{"line": "1", "content": "  note "}, {"line": "2", "content": "# Section"}]
    stats = Osmeran().inject_comments([{"file": "a.py", "comments": entries}])
    assert stats == {"files_modified": 1, "comments_injected": 2, "skipped_multiline": 0, "errors": []}
    assert Osmeran()._inject_comment_to_file(path, 1, "note", "#") is True
    assert path.read_bytes() == b"x = 1  # note\r\n## Section\r\ny = 2" and path.stat().st_ino == inode
    # The same text on another line, or a line's own text with its prefix, is written.
    entries = [{"line": "3", "content": "note"}, {"line": "2", "content": "## Section"}]
    Osmeran().inject_comments([{"file": "a.py", "comments": entries}])
    assert path.read_bytes() == b"x = 1  # note\n## Section\ny = 2 # note\n"


@pytest.mark.parametrize("line,comment,expected", [
    ('const home = "http://example.com"; // home page', 'example.com"; // start page',
     'const home = "http://example.com"; // start page'),
    ("x = 1;\t//\t old", "new", "x = 1;\t//\t new"),
    ("x = 1; //old", "new", "x = 1; //new"),
    ("x = 1; //   ", "new", "x = 1; //   new"),
    ("    // old", "new", "    // new"),
    ("x = 1;", "new", "x = 1; // new"),
    ("  \t", "new", "// new"),
])
def test_a_line_with_the_prefix_keeps_everything_before_the_text(isolated, line, comment, expected):
    path = write(isolated / "a.ts", line + "\n")
    for _ in range(3):  # the same result at every run
        assert Osmeran().inject_comments([{"file": "a.ts", "comments": [{"line": "1", "content": comment}]}]) \
            ["comments_injected"] == 1
        assert path.read_text() == expected + "\n"


REFUSED = [
    (".py", "a\x00b"), (".py", "a\x01b"), (".rb", "bell\x07"), (".go", "\x1b[2J"), (".py", "a\x1fb"), (".py", "a\x7fb"),
    (".ml", "a *) let y = 2"), (".ml", "*)"),
    (".c", "ends \\"), (".h", "ends \\\\"), (".cpp", "C:\\dir\\  "), (".hpp", "x\\"),
    (".java", "\\u000a"), (".java", "x \\u000A y"), (".java", "\\uuu000d"), (".java", "\\\\\\u000D"),
    (".java", "\\u005c\\u000a"),
]
WRITTEN = [
    (".py", "a\tb"), (".py", "a~b"), (".go", "[2J"),
    (".ml", "a * ) b"), (".ml", "a )* b"), (".ml", "*"),
    (".c", "a \\ b"), (".c", "\\n"), (".js", "ends \\"), (".py", "ends \\"), (".cs", "ends \\"),
    (".java", "\\u000b"), (".java", "\\\\u000a"), (".java", "\\u00a"), (".java", "u000a"), (".java", "\\x000a"),
    (".java", "\\u005cu000a"), (".js", "\\u000a"), (".kotlin", "\\u000d"),
]


@pytest.mark.parametrize("suffix,text", REFUSED + WRITTEN)
def test_a_text_that_would_end_its_comment_is_refused(isolated, suffix, text):
    path = write(isolated / f"f{suffix}", "x = 1\r\ny = 2\r\n")
    stats = Osmeran().inject_comments([{"file": f"f{suffix}", "comments": [{"line": "1", "content": text}]}])
    prefix = Osmeran()._get_language_comment_prefix(path)
    if (suffix, text) in REFUSED:
        assert stats["errors"] == [f"Failed to inject comment at line 1 in f{suffix}"]
        assert stats["comments_injected"] == 0 and stats["files_modified"] == 0
        assert Osmeran()._inject_comment_to_file(path, 1, text, prefix) is False
        assert path.read_bytes() == b"x = 1\r\ny = 2\r\n"
    else:
        assert stats["errors"] == [] and stats["comments_injected"] == 1
        closing = " *)" if prefix == "(*" else ""
        assert path.read_text() == f"x = 1 {prefix} {text.strip()}{closing}\ny = 2\n"
