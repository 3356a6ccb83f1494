"""The native comment matcher against Python's `re`, on random texts built
from the delimiters of every pattern, line breaks and ordinary characters."""

import random
import re

import pytest

import nestrel
from comments_in_re import TABLE, as_list, re_extraction
from orvo_testing import testing


def all_patterns():
    found = []
    for pattern_set in TABLE.values():
        for key in ("single_line", "multiline"):
            for pattern in as_list(pattern_set.get(key, [])):
                if pattern not in found:
                    found.append(pattern)
    return found


def literals(pattern):
    return [piece for piece in re.split(r"\(\.\*\??\)", pattern.replace("\\", "")) if piece]


# Pieces of text that make delimiters meet, overlap and nest: every literal of
# every pattern, their characters, line breaks and characters that are not
# delimiters.
PIECES = sorted({piece for p in all_patterns() for piece in literals(p)}
                | {"/", "*", "-", "=", "#", "(", ")", "{", "}", "[", "]", "<", ">", "!", "%", ";", '"', "'",
                   "\n", "\r", "\r\n", " ", "\t", "x", "é", "中", "\x0b"})


def random_text(rng, favoured=()):
    """A text of random pieces; the `favoured` ones (a pattern's own literals
    and their characters) come often, so that matches are common."""
    alphabet = PIECES + [piece for piece in favoured for _ in range(4)] + ["\n"] * 3
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 30)))


def re_matches(pattern, text, dotall):
    flags = re.DOTALL | re.MULTILINE if dotall else 0
    return [(m.start(), m.end(), m.group(1)) for m in re.finditer(pattern, text, flags)]


@pytest.mark.parametrize("pattern", all_patterns())
def test_every_table_pattern_matches_like_re(pattern):
    rng = random.Random(pattern)
    texts = ["", "/*/", "/**/", "=begin=end", "--[[]]", "(*)(* a *)(**)", "#=#", "%{}%", "#[]#", "{--}",
             "<!---->", "<!-->", "= x =cut =cut", '""""""', "''''''", "// a /* b */ c\r\nd"]
    favoured = literals(pattern) + [c for piece in literals(pattern) for c in piece]
    texts += [random_text(rng, favoured) for _ in range(500)]
    for text in texts:
        for dotall in (False, True):
            assert testing.comment_pattern_matches(pattern, text, dotall) == re_matches(pattern, text, dotall), \
                (pattern, text, dotall)


def test_pattern_forms_beyond_the_table_match_like_re():
    # A greedy group followed by a closing text, and a lazy group without one.
    rng = random.Random(7)
    for pattern in [r"<(.*)>", r"ab(.*)ba", r"#(.*?)", r"\((.*)\)"]:
        for _ in range(300):
            text = "".join(rng.choice(["<", ">", "ab", "ba", "a", "#", "(", ")", "\n", "x"])
                           for _ in range(rng.randrange(20)))
            for dotall in (False, True):
                assert testing.comment_pattern_matches(pattern, text, dotall) == re_matches(pattern, text, dotall)


def test_unsupported_patterns_are_refused_clearly():
    for pattern in ["(.*)x", "a+(.*)", "#(.+)", "#(.*)(.*)", r"\d(.*)", "#[a](.*)", "#", "#(.*", "#(.*)\\"]:
        with pytest.raises(ValueError, match="unsupported comment pattern"):
            testing.comment_pattern_matches(pattern, "x", False)
    with pytest.raises(TypeError, match="'pattern'"):
        testing.comment_pattern_matches(b"#(.*)", "x")


def test_extraction_of_every_language_follows_the_rules():
    rng = random.Random(11)
    languages = sorted(set(nestrel.Nestrel.SUPPORTED_EXTENSIONS.values()))
    extractor = nestrel.Nestrel()
    for language in languages:
        for _ in range(150):
            favoured = [piece for key in ("single_line", "multiline")
                        for p in as_list(TABLE.get(language, {}).get(key, [])) for piece in literals(p)]
            content = random_text(rng, favoured) + random_text(rng, favoured)
            assert extractor._extract_comments_from_content(content, language) == \
                re_extraction(content, language), (language, content)
