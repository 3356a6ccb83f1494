"""Extracting the comments of a project and writing them back: unedited they
leave every byte in place, edited they change the comments' text only, and a
text that would end its comment early or put code on the line is refused."""

import contextlib
import io
import json
import os
import pwd
import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest

import code_reader
import nestrel
import osmeran
from dialogue import run
from files import racing, write

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
     "x(); //eng\n/**\n * block\n */\ny(); // letzte"),
    ("colours.py",
     '#!/usr/bin/env python3\r\nRED = "#ff0000"  # red colour\r\n## Section\r\nx = 1   #   spaced   \r\n'
     '"""one-line doc"""\r\n',
     '#!/usr/bin/env python3\r\nRED = "#ff0000"  # rote Farbe\r\n## Section\r\nx = 1   #   weit\r\n'
     '"""one-line doc"""\r\n'),
    ("count.sh", '#!/bin/sh\necho ${#arr[@]}  # count them\necho "#x" # hash in a string\n',
     '#!/bin/sh\necho ${#arr[@]}  # z\u00e4hlen\necho "#x" # Raute\n'),
    ("m.ml", "let x = 1 (* uno *)\n(*   stars   *)\n", "let x = 1 (* eins *)\n(*   Sterne   *)\n"),
    ("q.sql", "SELECT '--' AS d; -- dashes\r\n/* kept */\r\n", "SELECT '--' AS d; -- Striche\r\n/* kept */\r\n"),
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
    # Its own opener after the opener: the text is taken as it stands.
    assert path.read_bytes() == b"x = 1  # note\r\n### Section\r\ny = 2 # note\r\n"


@pytest.mark.parametrize("content", ["b", "# b", 'a"  # b'])
def test_an_entry_that_names_the_comment_as_it_stands_leaves_the_file(isolated, content):
    # Extraction shows the line from the "#" in the string: the entry is not
    # its text, but the comment it makes is the one in place.
    path = write(isolated / "a.py", 'x = "#a"  # b  \ny = 1\n')
    inode = path.stat().st_ino
    document = extract()
    document[0]["comments"][0]["content"] = content
    stats = Osmeran().inject_comments(document)
    assert stats["errors"] == [] and stats["comments_injected"] == 1
    assert path.read_bytes() == b'x = "#a"  # b  \ny = 1\n' and path.stat().st_ino == inode


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
    path = write(isolated / f"f{suffix}", "\r\n\r\n")
    stats = Osmeran().inject_comments([{"file": f"f{suffix}", "comments": [{"line": "1", "content": text}]}])
    prefix = Osmeran()._get_language_comment_prefix(path)
    if (suffix, text) in REFUSED:
        assert stats["errors"] == [f"Failed to inject comment at line 1 in f{suffix}"]
        assert stats["comments_injected"] == 0 and stats["files_modified"] == 0
        assert Osmeran()._inject_comment_to_file(path, 1, text, prefix) is False
        assert path.read_bytes() == b"\r\n\r\n"
    else:
        assert stats["errors"] == [] and stats["comments_injected"] == 1
        closing = " *)" if prefix == "(*" else ""
        assert path.read_bytes() == f"{prefix} {text.strip()}{closing}\r\n\r\n".encode()


# ------------------------------------------- edited lines across the languages

def write_back(name, text, line, k, content):
    """Extract `text` as file `name`, give the k-th entry of `line` the new
    content and write the document back: the statistics and the file after."""
    path = write(Path(name), text)
    document = extract()
    chosen = [c for c in document[0]["comments"] if c["line"] == str(line)] if document else []
    if k < len(chosen):
        chosen[k]["content"] = content
    else:  # a hand-made entry for a line extraction found nothing on
        document = [{"file": name, "comments": [{"line": str(line), "content": content}]}]
    stats = Osmeran().inject_comments(document)
    return stats, path.read_bytes().decode()


REFUSE = None
EDITED_LINES = [
    # file, its text, line, which entry of the line, new content, the text after (REFUSE: left as it was)
    # the prefix inside a string, URL, template literal, raw string or interpolation: a comment of its own
    ("a.py", 'x = {"bg": "#FFF59C"}\n', 1, 0, "Farbe", 'x = {"bg": "#FFF59C"} # Farbe\n'),
    ("b.py", "if a:\n    pass\nelif line[0] == '#':\n    pass\n", 3, 0, "': (checked)",
     "if a:\n    pass\nelif line[0] == '#': # ': (checked)\n    pass\n"),
    ("c.js", "const o = {url: 'https://example.org'};\n", 1, 0, "élément",
     "const o = {url: 'https://example.org'}; // élément\n"),
    ("d.js", "const t = `a//b ${c}`;\n", 1, 0, "modèle", "const t = `a//b ${c}`; // modèle\n"),
    ("e.rs", 'let r = r"a // b";\n', 1, 0, "brut", 'let r = r"a // b"; // brut\n'),
    ("f.rb", 'puts "\\033[#{code}m"\n', 1, 0, "farbig", 'puts "\\033[#{code}m" # farbig\n'),
    ("g.sh", "echo ${#x} ${x//a/b}\n", 1, 0, "Anzahl", "echo ${#x} ${x//a/b} # Anzahl\n"),
    ("h.sh", "echo ${x//a/b}\n", 1, 0, "ersetzt", "echo ${x//a/b} # ersetzt\n"),
    # a string holding the prefix before the real comment: what extraction showed of the code is dropped
    ("i.js", 'const u = "http://x"; // home\n', 1, 0, 'x"; // accueil', 'const u = "http://x"; // accueil\n'),
    ("j.js", 'const u = "http://x"; // home\n', 1, 0, "主页", 'const u = "http://x"; // 主页\n'),
    # a one-line block comment: its text is replaced, its delimiters and blanks stay
    ("k.c", "int r; /* round up */\n", 1, 0, "arrondir", "int r; /* arrondir */\n"),
    ("l.go", "package a /*   see http://x   */\n", 1, 1, "voir", "package a /*   voir   */\n"),
    ("l.go", "package a /*   see http://x   */\n", 1, 0, "voir", REFUSE),  # the "//" inside the block
    # two comments on one line: each entry into its own
    ("m.c", "int x; /* one */ int y; // two\n", 1, 0, "zwei", "int x; /* one */ int y; // zwei\n"),
    ("m.c", "int x; /* one */ int y; // two\n", 1, 1, "eins", "int x; /* eins */ int y; // two\n"),
    # a comment whose text begins with the prefix keeps its level
    ("n.py", "## Section\n", 1, 0, "# Section (checked)", "## Section (checked)\n"),
    ("n.py", "x = 1  # old\n", 1, 0, "# new", "x = 1  # new\n"),
    # a line joined to the next: never a comment after its "\"
    ("o.c", "#define M(a) f(a) + \\\n  g(a)\n", 1, 0, "somme", REFUSE),
    ("o.c", "#define M(a) f(a) + \\\n  g(a)\n", 2, 0, "somme", "#define M(a) f(a) + \\\n  g(a) // somme\n"),
    ("p.c", "#define N 8 // eight\n", 1, 0, "acht", "#define N 8 // acht\n"),
    ("q.py", "x = 1 + \\   \n    2\n", 1, 0, "plus", REFUSE),
    ("q.py", "x = 1 + \\\n    2\n", 2, 0, "plus", "x = 1 + \\\n    2 # plus\n"),
    # a line inside a multi-line string or block comment
    ("r.py", 's = """\nhello # x\n"""\n', 2, 0, "Welt", REFUSE),
    ("r.py", 's = """\nhello # x\n"""\n', 3, 0, "Ende", 's = """\nhello # x\n""" # Ende\n'),
    ("s.c", "/*\n * see http://x\n */\n", 2, 0, "voir", REFUSE),
    ("s.c", "/*\n * see http://x\n */\nint y;\n", 4, 0, "why", "/*\n * see http://x\n */\nint y; // why\n"),
    # a docstring on one line is a string, not a comment
    ("t.py", 'def f():\n    """Doc."""\n', 2, 0, "Doku.", 'def f():\n    """Doc.""" # Doku.\n'),
    ("t.py", 'def f():\n    """Doc."""  # own\n', 2, 1, "Doku.", REFUSE),
    # instructions to tools stay as they are
    ("u.sh", "#!/bin/sh\necho hi # greet\n", 1, 0, "!/bin/bash", REFUSE),
    ("u.sh", "#!/bin/sh\necho hi # greet\n", 2, 0, "grüßen", "#!/bin/sh\necho hi # grüßen\n"),
    ("v.py", "# -*- coding: utf-8 -*-\nx = 1  # one\n", 1, 0, "-*- coding: latin-1 -*-", REFUSE),
    ("v.py", "# -*- coding: utf-8 -*-\nx = 1  # one\n", 2, 0, "un", "# -*- coding: utf-8 -*-\nx = 1  # un\n"),
    ("w.go", "//go:build linux\n\npackage a // pkg\n", 1, 0, "go:build darwin", REFUSE),
    ("w.go", "//go:build linux\n\npackage a // pkg\n", 3, 0, "paquet", "//go:build linux\n\npackage a // paquet\n"),
    ("w.go", 'package a\n\n// #include <stdio.h>\nimport "C" // cgo\n', 3, 0, "#include <stdlib.h>", REFUSE),
    ("w.go", 'package a\n\n// #include <stdio.h>\nimport "C" // cgo\n', 4, 0, "C",
     'package a\n\n// #include <stdio.h>\nimport "C" // C\n'),
    ("x.hs", "{-# LANGUAGE GADTs #-}\nx = 1 -- one\n", 1, 0, "# LANGUAGE Rank2Types #", REFUSE),
    ("x.hs", "{-# LANGUAGE GADTs #-}\nx = 1 -- one\n", 2, 0, "eins", "{-# LANGUAGE GADTs #-}\nx = 1 -- eins\n"),
    # output rather than code
    ("y.php", "<p>a // b</p>\n<?php echo 1; # one\n", 1, 0, "HTML", REFUSE),
    ("y.php", "<p>a // b</p>\n<?php echo 1; # one\n", 2, 0, "eins", "<p>a // b</p>\n<?php echo 1; # eins\n"),
    ("z.jsx", "const e = <p>\n  hi // there\n</p>;\n", 2, 0, "là", REFUSE),
    ("z.jsx", "const e = <p>\n  hi // there\n</p>; // end\n", 3, 0, "fin", "const e = <p>\n  hi // there\n</p>; // fin\n"),
    # a line that ends inside an element, between its tags, ends in output text
    ("z.jsx", 'const e = <ul>\n  <li><a href="http://x">x</a></li>\n</ul>;\n', 2, 0, "Liste", REFUSE),
    ("z.jsx", 'const e = <ul>\n  <li><a href="http://x">x</a></li>\n</ul>; // list\n', 3, 0, "Liste",
     'const e = <ul>\n  <li><a href="http://x">x</a></li>\n</ul>; // Liste\n'),
    ("z.tsx", "function f() {\n  return <div>\n    <p>hi</p>\n  </div>;\n}\n", 2, 0, "Wurzel", REFUSE),
    ("z.tsx", "function f() {\n  return <div>\n    <p>hi</p>\n  </div>;\n}\n", 4, 0, "Ende",
     "function f() {\n  return <div>\n    <p>hi</p>\n  </div>; // Ende\n}\n"),
    # ... but inside its tags and braces it is code
    ("z.jsx", "const e = <ul>\n  {/* one */}\n</ul>;\n", 2, 0, "eins", "const e = <ul>\n  {/* eins */}\n</ul>;\n"),
    ("z.jsx", "const e = <ul>\n  {items.map(i => (\n    <li>{i}</li>\n  ))}\n</ul>;\n", 2, 0, "jedes",
     "const e = <ul>\n  {items.map(i => ( // jedes\n    <li>{i}</li>\n  ))}\n</ul>;\n"),
    ("z.tsx", 'const e = <p>\n  <a\n    href="x" // link\n  >x</a>\n</p>;\n', 3, 0, "Verweis",
     'const e = <p>\n  <a\n    href="x" // Verweis\n  >x</a>\n</p>;\n'),
    # the same in an XML literal, where only the braces hold code
    ("z.scala", "val x = <ul>\n  <li>a</li>\n</ul>\n", 1, 0, "Liste", REFUSE),
    ("z.scala", "val x = <ul>\n  <li>a</li>\n</ul> // list\n", 3, 0, "Liste", "val x = <ul>\n  <li>a</li>\n</ul> // Liste\n"),
    ("z.scala", "val x = <ul>{\n  items.map(i => <li>{i}</li>)\n}</ul>\n", 1, 0, "jedes",
     "val x = <ul>{ // jedes\n  items.map(i => <li>{i}</li>)\n}</ul>\n"),
    # texts that would end their comment or open another
    ("aa.c", "int x; /* one */\n", 1, 0, "a */ b", REFUSE),
    ("aa.c", "int x; /* one */\n", 1, 0, "a * / b", "int x; /* a * / b */\n"),
    ("ab.rs", "let x = 1; /* one */\n", 1, 0, "a /* b", REFUSE),
    ("ab.c", "int x; /* one */\n", 1, 0, "a /* b", "int x; /* a /* b */\n"),
    ("ac.java", "int x; // one\n", 1, 0, "a \\u002a/ b", "int x; // a \\u002a/ b\n"),
    ("ac.java", "int x; /* one */\n", 1, 0, "a \\u002a/ b", REFUSE),
    ("ad.lua", "x = 1 --one\n", 1, 0, "[[ long", REFUSE),
    ("ad.lua", "x = 1 -- one\n", 1, 0, "[[ long", "x = 1 -- [[ long\n"),
    ("ae.jl", "x = 1 #one\n", 1, 0, "=eins", REFUSE),
    ("ae.jl", "x = 1 # one\n", 1, 0, "=eins", "x = 1 # =eins\n"),
    ("af.hs", "x = 1 --one\n", 1, 0, "> eins", REFUSE),
    ("af.hs", "x = 1 -- one\n", 1, 0, "> eins", "x = 1 -- > eins\n"),
    ("ag.php", "<?php $a = 1; # one\n", 1, 0, "a ?> b", REFUSE),
    ("ag.php", "<?php $a = 1; /* one */\n", 1, 0, "a ?> b", "<?php $a = 1; /* a ?> b */\n"),
    ("ah.rs", "fn f() {} //one\n", 1, 0, "/ doc", REFUSE),
    ("ah.rs", "fn f() {} // one\n", 1, 0, "/ doc", "fn f() {} // / doc\n"),
    ("ah.rs", "/// one\nfn f() {}\n", 1, 0, "/ eins", "/// eins\nfn f() {}\n"),
    ("ah.rs", "fn f() {} /***one*/\n", 1, 0, "*eins", REFUSE),  # "/***" is plain, "/**" documentation
    ("ah.rs", "fn f() {} /***one*/\n", 1, 0, "**eins", "fn f() {} /***eins*/\n"),
    ("ai.ml", "let x = 1 (* one *)\n", 1, 0, 'a "b', REFUSE),
    ("ai.ml", "let x = 1 (* one *)\n", 1, 0, "a 'b", "let x = 1 (* a 'b *)\n"),
    # a line the reader could not read
    ("aj.py", "x = = 1  # one\ny = 2  # two\n", 1, 0, "eins", REFUSE),
    ("aj.py", "x = = 1  # one\ny = 2  # two\n", 2, 0, "zwei", "x = = 1  # one\ny = 2  # zwei\n"),
    # no reader of the language here: edited entries are refused, never guessed
    ("ak.erl", "X = 1. % one\n", 1, 0, "eins", REFUSE),
    ("ak.erl", "X = 1. % one\n", 1, 0, "one", "X = 1. % one\n"),
    # every line keeps its line end; a last line gains the first line's only with a comment of its own
    ("al.py", "x = 1  # one\r\ny = 2\r\nz = 3", 1, 0, "eins", "x = 1  # eins\r\ny = 2\r\nz = 3"),
    ("al.py", "x = 1\r\ny = 2\r\nz = 3", 3, 0, "drei", "x = 1\r\ny = 2\r\nz = 3 # drei\r\n"),
    ("am.py", "x = 1  # one", 1, 0, "eins", "x = 1  # eins"),
    # trailing blanks of a line that gets a comment of its own go
    ("an.go", "package a \t \n", 1, 0, "paquet", "package a // paquet\n"),
]


@pytest.mark.parametrize("name,text,line,k,content,expected", EDITED_LINES)
def test_an_edited_line_changes_its_comment_and_nothing_else(isolated, name, text, line, k, content, expected):
    stats, after = write_back(name, text, line, k, content)
    if expected is REFUSE:
        assert stats["errors"] == [f"Failed to inject comment at line {line} in {name}"]
        assert after == text
    else:
        assert stats["errors"] == [] and after == expected


SHEBANGS = {"a.rs": "fn main() {}", "a.kotlin": "val x = 1", "a.lua": "x = 1", "a.dart": "void main() {}",
            "a.swift": "let x = 1", "a.scala": "val x = 1", "a.php": "<?php echo 1;", "a.hs": "main = pure ()",
            "a.jl": "x = 1", "a.ts": "let x = 1;", "a.py": "x = 1", "a.rb": "x = 1", "a.sh": "x=1"}


@pytest.mark.parametrize("name", SHEBANGS)
def test_the_interpreter_line_is_never_written(isolated, name):
    text = f"#!/usr/bin/env tool\n{SHEBANGS[name]}\n"
    stats, after = write_back(name, text, 1, 9, "note")
    assert stats["errors"] == [f"Failed to inject comment at line 1 in {name}"] and after == text
    stats, after = write_back(name, text, 2, 9, "note")
    assert stats["errors"] == [] and after.startswith("#!/usr/bin/env tool\n")


def test_the_language_of_each_file_judges_its_lines(isolated):
    # The same text is valid in both: only Lua reads "--" as a comment.
    write(isolated / "a.lua", "x = 1  -- note\n")
    write(isolated / "a.py", "x = 1  -- note\n")
    entries = [{"line": "1", "content": "note"}]
    stats = Osmeran().inject_comments([{"file": "a.lua", "comments": entries}, {"file": "a.py", "comments": entries}])
    assert stats["errors"] == [] and stats["comments_injected"] == 2
    assert (isolated / "a.lua").read_text() == "x = 1  -- note\n"
    assert (isolated / "a.py").read_text() == "x = 1  -- note # note\n"


def test_one_read_and_one_replacement_per_element(isolated):
    path = write(isolated / "a.py", "a = 1  # one\nb = 2  # two\n")
    inode = path.stat().st_ino
    entries = [{"line": "1", "content": "eins"}, {"line": "2", "content": "zwei"}, {"line": "9", "content": "x"}]
    stats = Osmeran().inject_comments([{"file": "a.py", "comments": entries}])
    assert stats["comments_injected"] == 2 and stats["errors"] == ["Failed to inject comment at line 9 in a.py"]
    assert path.read_text() == "a = 1  # eins\nb = 2  # zwei\n"
    assert path.stat().st_ino != inode  # replaced once, whole
    # A type error later in the element leaves the whole file as it was.
    entries = [{"line": "1", "content": "one"}, {"line": "2", "content": 5}]
    with pytest.raises(TypeError, match="'content'"):
        Osmeran().inject_comments([{"file": "a.py", "comments": entries}])
    assert path.read_text() == "a = 1  # eins\nb = 2  # zwei\n"


# ------------------------------------------------------ a small project, edited

PROJECT = {
    "app.py": '#!/usr/bin/env python3\n# -*- coding: utf-8 -*-\n"""Module doc."""\nimport re  # regular expressions\n'
              'URL = "http://example.org/#top"  # the home page\nRED = "#ff0000"\n\n\ndef f(x):  # one\n'
              '    """Doc."""\n    s = """\n    # not a comment\n    """\n    return f"{x}#{s}"  # formatted\n'
              '\n\nif RED[0] == "#":  ## Section\n    pass\n',
    "lib.c": '#include <stdio.h> /* io */\n#define TWICE(a) ((a) * 2) /* double */\n#define N 8 // eight\n'
             '#define LONG(a) \\\n    ((a) + \\\n     1) /* plus one */\n\nstatic const char *u = "http://x"; // url\n'
             'int f(int x) { /* body */ return TWICE(x) + N; } // trailing\n/* See: http://en.wikipedia.org/ */\n'
             'int g(void) { return 0; /* one */ } // two\r\n',
    "lib.cpp": 'auto r = R"x(// raw)x"; // raw string\nint h() { return 1; } /* block */ // line\n',
    "Main.java": 'class Main { // the class\n  /** Doc. */\n  String u = "http://x"; // url\n'
                 '  int f() { return 1; /* one */ } // two\n}\n',
    "web.js": 'const u = "http://example.org"; // home\nconst t = `a//b ${1 /* one */}`; // template\n'
              '/* See: http://x */\nconst re = /\\/\\//g; // slashes\n',
    "main.go": '//go:build linux\n\n// Package main does things.\npackage main // pkg\n\nimport "fmt" // printing\n\n'
               'func main() { fmt.Println("http://x") /* one */ } // two\n',
    "tool.rb": '# frozen_string_literal: true\nputs "\\033[#{1}m" # colour\nx = "#{2} # not" # real\n',
    "run.sh": '#!/bin/sh\necho ${#x} ${x//a/b} # count\necho "#x" # hash\ncat <<EOF\n# inside\nEOF\n',
    "page.php": '<p>a // b</p>\n<?php $a = "http://x"; // url\n# hash\n$b = 1; /* block */ ?>\n<p>end</p>\n',
    "conf.lua": 'local x = "--" -- dashes\n--[[ block ]] local y = 1 -- after\n',
    "lib.rs": '/// Doc.\npub fn f() -> &\'static str { r"a // b" } // raw\n/* outer /* inner */ */\n',
}
# The tools keep their settings in the user's home, which each test replaces.
USER_HOME = Path(pwd.getpwuid(os.getuid()).pw_dir)
# the language tools run as on a developer's machine: without a preloaded
# sanitizer runtime, which some of them refuse to load beside
TOOLS_ENVIRONMENT = {key: value for key, value in os.environ.items()
                     if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
TOOLS_ENVIRONMENT.update(RUSTUP_HOME=str(USER_HOME / ".rustup"), CARGO_HOME=str(USER_HOME / ".cargo"))
# a tool that reads each file as its language does, where this machine has it
CHECKERS = {
    ".c": ["gcc", "-fsyntax-only", "-w"], ".cpp": ["g++", "-std=c++17", "-fsyntax-only", "-w"],
    ".java": ["javac", "-d", "{out}"], ".js": ["node", "--check"], ".go": ["gofmt", "-e"],
    ".rb": ["ruby", "-c"], ".sh": ["bash", "-n"], ".php": ["php", "-l"], ".lua": ["luac5.4", "-p"],
    ".rs": ["rustc", "--crate-type=lib", "--emit=metadata", "-o", "{out}/lib.rmeta"],
}


def translations(content, index):
    words = ["vérifié", "élément", "注释", "données", "résultat"]
    return " ".join(words[(index + i) % len(words)] for i in range(max(1, len(content) // 8)))


@pytest.mark.parametrize("how", ["append", "replace"])
def test_an_edited_project_still_reads_as_it_did(isolated, tmp_path, how):
    for name, text in PROJECT.items():
        write(isolated / name, text)
    before = {name: (isolated / name).read_bytes() for name in PROJECT}
    document = extract()
    for i, comment in enumerate(c for element in document for c in element["comments"]):
        comment["content"] = comment["content"] + " (checked)" if how == "append" else translations(comment["content"], i)
    stats = Osmeran().inject_comments(document)
    assert stats["comments_injected"] > 40
    for name, old in before.items():
        new = (isolated / name).read_bytes()
        suffix = Path(name).suffix
        assert code_reader.code(suffix, new) == code_reader.code(suffix, old), name
        if suffix == ".py":
            compile(new, name, "exec")
        checker = CHECKERS.get(suffix)
        if checker and shutil.which(checker[0]):
            command = [part.format(out=tmp_path) for part in checker] + [name]
            result = subprocess.run(command, capture_output=True, text=True, env=TOOLS_ENVIRONMENT)
            assert result.returncode == 0, (name, result.stderr)


def test_without_the_readers_only_unedited_entries_pass(isolated):
    write(isolated / "a.py", "x = 1  # one\ny = 2\n")
    code = ("import sys; sys.modules['tree_sitter'] = None\nimport osmeran\n"
            "print(osmeran.Osmeran().inject_comments([{'file': 'a.py', 'comments': ["
            "{'line': '1', 'content': 'one'}, {'line': '2', 'content': 'two'}]}]))\n")
    out = run(code)
    assert out.stdout.strip() == ("{'files_modified': 1, 'comments_injected': 1, 'skipped_multiline': 0, "
                                  "'errors': ['Failed to inject comment at line 2 in a.py']}"), out.stderr
    assert (isolated / "a.py").read_text() == "x = 1  # one\ny = 2\n"


def test_a_file_swapped_for_a_link_is_never_written_through(isolated, tmp_path):
    outside = write(tmp_path / "outside.py", "secret = 1\n")
    write(isolated / "a.py", "a = 1\nb = 2\n")
    entries = [{"line": str(n), "content": f"note {n}"} for n in (1, 2)]
    with racing(f"os.rename('a.py', 'keep')\nos.symlink({str(outside)!r}, 'a.py')\nos.unlink('a.py')\n"
                "os.rename('keep', 'a.py')"):
        end = time.monotonic() + 3
        while time.monotonic() < end:
            Osmeran().inject_comments([{"file": "a.py", "comments": entries}] * 20)
    assert outside.read_text() == "secret = 1\n"
    # the racer may have been stopped with the file under its other name
    kept = isolated / ("keep" if (isolated / "keep").exists() else "a.py")
    assert kept.read_text() in ("a = 1\nb = 2\n", "a = 1 # note 1\nb = 2 # note 2\n")


def test_a_file_name_that_is_not_utf8_is_written_back_into_the_same_file(isolated):
    name = os.fsdecode(b"caf\xff.py")
    write(isolated / name, "x = 1  # one\n")
    write(isolated / "plain.py", "y = 2  # two\n")
    document = extract()
    assert sorted(element["file"] for element in document) == sorted([name, "plain.py"])
    for element in document:
        element["comments"][0]["content"] = "eins"
    stats = Osmeran().inject_comments(document)
    assert stats["errors"] == [] and stats["comments_injected"] == 2
    assert (isolated / name).read_bytes() == b"x = 1  # eins\n"
    # A lone surrogate that stands for no byte names no file.
    stats = Osmeran().inject_comments([{"file": "caf\ud800.py", "comments": [{"line": "1", "content": "x"}]}])
    assert stats["errors"] == ["File not found: caf\ud800.py"]


@pytest.mark.parametrize("text,comment,expected", [
    ("int x; /* one */ int y; // two\n", "zwei", "int x; /* one */ int y; // zwei\n"),  # at or after the prefix
    ("int x; /* one */ int y; /* two */\n", "zwei", "int x; /* one */ int y; /* zwei */\n"),  # else the last
    ('char *u = "http://x"; /* one */\n', "eins", 'char *u = "http://x"; /* eins */\n'),
    ("int x; /* two */\n", "two", "int x; /* two */\n"),  # as it stands: nothing to write
])
def test_a_comment_without_its_place_in_the_document_goes_into_the_lines_comment(isolated, text, comment, expected):
    path = write(isolated / "a.c", text)
    assert Osmeran()._inject_comment_to_file(path, 1, comment, "//") is True
    assert path.read_text() == expected


def test_a_text_that_is_only_its_prefix_is_skipped(isolated):
    path = write(isolated / "a.py", "x = 1  # one\ny = 2\n")
    stats = Osmeran().inject_comments([{"file": "a.py", "comments": [{"line": "1", "content": "#"},
                                                                     {"line": "2", "content": " # "}]}])
    assert stats == {"files_modified": 0, "comments_injected": 0, "skipped_multiline": 0, "errors": []}
    assert path.read_text() == "x = 1  # one\ny = 2\n"
