"""help() shows each module as its own: its functions under FUNCTIONS with
their parameters, and nothing it merely imports."""

import copy
import importlib
import inspect
import pickle
import pydoc

import pytest

from dialogue import run

MODULES = ["i18n", "config", "corvane", "dunmora", "brisolet", "trelwick", "nestrel", "osmeran", "quorlin",
           "hadrel", "palvex", "kestovan"]
IMPORTED = {"trelwick": ["create_corvane", "loading_context", "t", "Path", "subprocess"],
            "quorlin": ["create_corvane", "loading_context", "t", "get_language", "Nestrel", "pathspec",
                        "get_staged_changes", "get_unstaged_changes"],
            "osmeran": ["Nestrel"], "brisolet": ["t"], "kestovan": ["t", "os", "set_language"],
            "palvex": ["t", "I18n", "requests", "deobfuscate_key", "os", "set_language", "get_language"]}


@pytest.mark.parametrize("name", MODULES)
def test_help_lists_the_modules_own_functions(name):
    module = importlib.import_module(name)
    text = pydoc.render_doc(module, renderer=pydoc.plaintext)
    functions = [n for n in module.__all__ if inspect.isroutine(getattr(module, n))]
    assert functions and "nb_func" not in text
    listed = "\n" + text.split("\nFUNCTIONS\n", 1)[1]
    for function in functions:
        assert f"\n    {function}(" in listed
        inspect.signature(getattr(module, function))
    for imported in IMPORTED.get(name, []):
        assert hasattr(module, imported) and imported not in module.__all__


def test_signatures_and_calls_are_the_functions_own():
    import dunmora
    import palvex
    import trelwick

    assert str(inspect.signature(palvex.get_input)) == "(prompt, default=None, required=True, mask=False)"
    assert palvex.get_input.__doc__.startswith(
        "get_input(prompt: str, default: str | None = None, required: bool = True, mask: bool = False)")
    assert trelwick.commit_changes.__module__ == "trelwick" and trelwick.commit_changes.__self__ is trelwick
    get_input = palvex.get_input
    assert inspect.isbuiltin(get_input) and repr(get_input) == "<built-in function get_input>"
    assert pydoc.render_doc(get_input).startswith("Python Library Documentation: built-in function get_input in "
                                                  "module palvex\n")
    assert pickle.loads(pickle.dumps(get_input)) is get_input and copy.copy(get_input) is get_input
    with pytest.raises(TypeError, match="'text'"):
        palvex.print_info(text=1)
    assert dunmora.Dunmora.calculate_similarity is not None


def test_importing_parses_no_signature():
    # Modules that do not load the openai package (which imports it) load no `ast`.
    code = ("import sys\n"
            "import i18n, config, brisolet, nestrel, osmeran, hadrel, palvex, kestovan\n"
            "print('ast' in sys.modules)\n"
            "import inspect\n"
            "print(inspect.signature(nestrel.extract_comments), inspect.signature(hadrel.obfuscate_key))")
    out = run(code)
    assert out.stdout == "False\n() (key)\n", out
