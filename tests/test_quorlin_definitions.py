"""The native definition finder against Python's `re`: each of the sixteen
patterns on random texts built from the patterns' own pieces, the extraction
rule on top of them, and the reading of files."""

import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorlin
from definitions_in_re import GROUPS, KEYWORDS, SAME_GROUP, re_extraction, re_finds


# Keywords of the patterns (some as tails of longer words), names with letters
# and digits of other scripts, white space of every kind, the punctuation the
# patterns read, other punctuation, a byte-order mark and a lone surrogate.
PIECES = ["class", "def", "function", "const", "let", "var", "async", "interface", "enum", "struct", "trait",
          "type", "func", "fn", "public", "private", "protected", "internal", "static", "subclass", "if",
          "return", "typedef", "a", "Foo", "x1", "_", "é", "名", "٣", " ", " ", "\t", "\n", "\n", "\u00a0",
          "\u2028", "\x1c", "\x85", "\r", "(", ")", "{", "}", ";", "=", "=>", "<", ">", "[", "]", ":", "*", "&",
          ".", ",", "-", "#", "\ufeff", "\ud800"]
# Whole and partial definitions, so that matches, near misses and long
# parameter lists are common.
FRAGMENTS = ["\nclass C:", "  def g(", "\ndef ", "\x1cclass K", "\u2028def L", "\rdef r", "\x85class M",
             "const x = (", ") =>", "let f = function", "= async (", "function f(", "func (s S) ", "func F(",
             "type T struct", "type I interface", "int main() {", "Foo bar(", "a b(c);", "static int s(int a);",
             "public void m(", "public static ", ") {", ");", "fn p<", "fn q(", "} else if (r) {",
             "vector<int> v(", "int* p(", "A::B c(", "a\nb (", "x ", " y"]

texts = st.lists(st.sampled_from(PIECES + FRAGMENTS), max_size=40).map("".join)
exploring = settings(max_examples=250, deadline=None, derandomize=True, database=None,
                     suppress_health_check=[HealthCheck.function_scoped_fixture])




@pytest.mark.parametrize("suffix,which", [(suffix, which) for suffix in GROUPS for which in (0, 1)])
@exploring
@given(text=texts)
def test_every_pattern_finds_what_re_finds(suffix, which, text):
    assert quorlin._definition_finds(suffix, which, text) == re_finds(suffix, which, text)


@pytest.mark.parametrize("suffix", sorted(GROUPS))
@exploring
@given(parts=st.lists(texts, min_size=1, max_size=6))
def test_extraction_follows_the_rule(suffix, parts):
    # Longer texts, so that the cap of 20 and repeats come into play.
    text = "".join(parts)
    assert quorlin._extract_definitions_from_text(suffix, text) == re_extraction(suffix, text)


@pytest.mark.parametrize("suffix", sorted(GROUPS))
@exploring
@given(numbers=st.lists(st.tuples(st.sampled_from(["class N", "def N", "struct N", "fn N", "function N",
                                                  "type N", "int N"]),
                                  st.integers(0, 40), st.sampled_from(["", "(", "() {", " struct", "();"])),
                        max_size=80))
def test_many_names_are_cut_to_the_first_twenty_distinct(suffix, numbers):
    text = "\n".join(f"{head}{number}{tail}" for head, number, tail in numbers)
    assert quorlin._extract_definitions_from_text(suffix, text) == re_extraction(suffix, text)


# Texts against the restart of a search after each match: many matches while an
# earlier parenthesis is still open, long parameter lists, unclosed ones.
UNITS = ["const x = ( function a ", "let f=()=>", "func ( func a( ", "func (s S) f(", "a b( ", "a b();",
         "public static a b(c) ", "public static a b(c)", "\n \n class A", "x)", " {", ") =>", "var v = ("]


@pytest.mark.parametrize("suffix,which", [(suffix, which) for suffix in GROUPS for which in (0, 1)])
def test_long_adversarial_texts_give_what_re_gives(suffix, which):
    rng = random.Random(f"{suffix}{which}")
    for unit in UNITS:
        assert quorlin._definition_finds(suffix, which, unit * 300) == re_finds(suffix, which, unit * 300)
    mixed = "".join(rng.choice(UNITS) for _ in range(1000))
    assert quorlin._definition_finds(suffix, which, mixed) == re_finds(suffix, which, mixed)


def test_a_long_run_of_words_gives_its_last_word():
    # Python's re needs seconds for this text; the find is known.
    words = " ".join(f"w{k}" for k in range(3000))
    assert quorlin._definition_finds(".c", 1, words + " name(x);") == ["name"]
    assert quorlin._definition_finds(".c", 1, words + " name") == []


def test_word_and_space_characters_are_those_of_re_everywhere():
    # Every code point, surrogates included: `\w` decides the name after
    # "struct _", `\s` whether "fn" and a name are apart.
    chars = [chr(code) for code in range(0x110000)]
    text = "".join(f"struct _{char};" for char in chars)
    assert quorlin._definition_finds(".c", 0, text) == re_finds(".c", 0, text)
    text = "".join(f"fn{char}a(" for char in chars)
    assert quorlin._definition_finds(".rs", 1, text) == re_finds(".rs", 1, text)


def test_the_finds_of_examples():
    finds = quorlin._definition_finds
    assert finds(".js", 1, "function load(x) {}\nconst save = async (x) => x\nlet f = function() {}\n"
                           "const double = n => n * 2\nconst x = 5;") == [("load", ""), ("", "save"), ("", "f")]
    assert finds(".c", 1, "int main() {\n  if (x) {\n  return compute(x);\nstatic int scale(int a);") == \
        ["main", "if", "compute", "scale"]
    assert finds(".py", 0, "\ufeffclass A:\n  class B(C):\nasync class D") == ["B"]
    assert finds(".go", 1, "func (s Server) Start() {}\nfunc (s Server)") == ["Start"]
    assert finds(".go", 0, "type Config struct\ntype X = int") == ["Config"]
    assert finds(".java", 1, "public static void main(String[] args) {\nint count();") == ["main"]
    assert finds(".cs", 1, "public int Count();") == ["Count"]
    assert finds(".rs", 1, "pub fn parse<T>(\nfn run (\nfn done;") == ["parse", "run"]
    assert finds(".php", 0, "// a subclass Foo\ntrait Bar") == ["Foo", "Bar"]


def test_the_extraction_rule_by_examples():
    extract = quorlin._extract_definitions_from_text
    # Only C and C++ drop keywords; scripts take the name after function, else the one after const/let/var.
    assert extract(".cpp", "typedef struct Node\nint main() {\n  if (x) {\n  return compute(x);") == \
        ["Node", "main", "compute"]
    assert extract(".java", "} else if (ready) {\nenum Color") == ["Color", "if"]
    assert extract(".tsx", "export class Store\nfunction load(x)\nconst save = (x) => x") == \
        ["Store", "load", "save"]
    # All class finds come first; a name found again keeps its first place.
    assert extract(".py", "def a():\nclass B:\ndef B():\nclass a:") == ["B", "a"]
    # 30 distinct names give the first 20 in find order.
    source = "".join(f"class C{k}\n" for k in range(25)) + "".join(f"def f{k}():\n" for k in range(5))
    assert extract(".PY", source) == [f"C{k}" for k in range(20)]
    assert extract(".rb", "class A") == [] and extract("", "class A") == []
    # The group is chosen by the lower-cased suffix.
    sample = "class A\ninterface B\nstruct C\nfunction d(\nint e() {\ntype F struct\nfn g("
    for suffix, same in SAME_GROUP.items():
        assert extract(suffix, sample) == extract(same, sample) != [], suffix


def test_files_are_read_decoded_and_chosen_by_suffix(tmp_path):
    of_file = quorlin.Quorlin()._extract_definitions_from_file

    def definitions(name, content):
        path = tmp_path / name
        path.write_bytes(content)
        return of_file(str(path))

    assert definitions("Main.PY", b"\xef\xbb\xbfclass A\nclass B\r\nclass C\rdef f():") == ["B", "C", "f"]
    # Bytes that are not UTF-8 are dropped; names on either side are still found.
    assert definitions("a.rs", b"struct Po\xffint\xc3 fn \x80parse(") == ["Point", "parse"]
    for name in (".py", "Makefile", "a.py.", "notes.md", "archive.py.gz"):
        assert definitions(name, b"class A") == []
    (tmp_path / "pkg.py").mkdir()
    assert of_file(tmp_path / "pkg.py") == []
    assert of_file(str(tmp_path / "missing.py")) == []


def test_arguments_are_checked_clearly():
    with pytest.raises(ValueError, match="must be 0 or 1"):
        quorlin._definition_finds(".py", 2, "")
    with pytest.raises(ValueError, match="no definition patterns for the suffix '.rb'"):
        quorlin._definition_finds(".rb", 0, "")
    with pytest.raises(TypeError):
        quorlin._definition_finds(".py", 0, b"class A")
    with pytest.raises(TypeError, match="file_path"):
        quorlin.Quorlin()._extract_definitions_from_file(3)
