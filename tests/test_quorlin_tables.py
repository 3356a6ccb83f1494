"""The fixed tables of prompt enhancement, one row for each entry: the C and
C++ keywords that are never taken as defined names, and the directory names
that the scan and the tree never enter."""

from pathlib import Path

import pytest

import quorlin
from orvo_testing import testing

C_KEYWORDS = ["if", "while", "for", "switch", "return", "sizeof", "typedef"]
DEFAULT_IGNORES = [".git", ".svn", ".hg", "node_modules", "__pycache__", ".pytest_cache", ".tox", ".venv", "venv", "env"]


@pytest.mark.parametrize("keyword", C_KEYWORDS)
def test_c_and_cpp_never_take_the_keyword_for_a_name(keyword):
    # The second C/C++ pattern finds the keyword like any name; the rule drops
    # exactly it, for C and C++ only, and keeps names that merely look like it.
    text = f"\nint {keyword}(a);\nint {keyword}s(a);\nint {keyword.upper()}(a);\nint {keyword}_(a) {{"
    assert testing.definition_finds(".c", 1, text) == [keyword, f"{keyword}s", keyword.upper(), f"{keyword}_"]
    for suffix in (".c", ".cpp", ".h"):
        assert testing.extract_definitions_from_text(suffix, text) == [f"{keyword}s", keyword.upper(), f"{keyword}_"]
    assert testing.extract_definitions_from_text(".cs", text)[0] == keyword


def drawn(tree):
    """The names that a tree drawing shows, below its root line."""
    return [line.split("── ")[-1] for line in tree.split("\n")[1:]]


@pytest.mark.parametrize("name", DEFAULT_IGNORES)
def test_the_scan_and_the_tree_never_enter_the_directory(name):
    # At the root and deeper; a file of that name is listed (the rule is for
    # directories) but not drawn; names that differ in case or length are
    # entered.
    near = [name.swapcase(), name + "x", name[:-1]]
    for path in [f"{name}/inside.txt", f"src/{name}/deep.txt", f"lib/{name}",
                 *(f"{other}/kept.txt" for other in near)]:
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        Path(path).write_text("x\n")
    q = quorlin.Quorlin()
    assert [entry["path"] for entry in q._get_file_list()] == \
        sorted([f"lib/{name}", *(f"{other}/kept.txt" for other in near)])
    names = drawn(q._generate_project_tree())
    assert f"{name}/" not in names and name not in names and "inside.txt" not in names and "deep.txt" not in names
    assert [f"{other}/" in names for other in near] == [True] * 3 and names.count("kept.txt") == 3
    assert "src/" in names and "lib/" in names
