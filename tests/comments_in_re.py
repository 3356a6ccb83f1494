"""The comment extraction rules written plainly with Python's `re`: the
reference that the tests and the benchmark hold nestrel's extraction against.

Only the pattern table is taken from nestrel (it is data); the matching, the
line numbers and the trimming are Python's own.
"""

import re

import nestrel

TABLE = nestrel.Nestrel.COMMENT_PATTERNS


def as_list(value):
    return [value] if isinstance(value, str) else list(value)


# Line patterns match line by line; block patterns over the whole text, the
# dot taking line breaks.
COMPILED = {
    language: ([re.compile(p) for p in as_list(patterns.get("single_line", []))],
               [re.compile(p, re.DOTALL | re.MULTILINE) for p in as_list(patterns.get("multiline", []))])
    for language, patterns in TABLE.items()
}


def re_extraction(content, language):
    """The (start line, end line, text) of every comment of `content` in
    extraction order: the line comments pattern by pattern, line by line, then
    the block comments pattern by pattern; texts trimmed, empty ones left out."""
    if language not in COMPILED:
        return []
    single, multi = COMPILED[language]
    triples = []
    lines = content.split("\n") if single else []
    for pattern in single:
        for number, line in enumerate(lines, 1):
            for match in pattern.finditer(line):
                text = match.group(1).strip()
                if text:
                    triples.append((number, number, text))
    for pattern in multi:
        for match in pattern.finditer(content):
            text = match.group(1).strip()
            if text:
                start = content.count("\n", 0, match.start()) + 1
                triples.append((start, start + match.group(0).count("\n"), text))
    return triples
