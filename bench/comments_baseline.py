"""The comment extraction written plainly in Python (os.walk, re, json), with
the same rules as nestrel: the yardstick of bench/comments_extract.py.

Only the two tables are taken from nestrel (they are data); everything else is
Python's own machinery.
"""

import json
import os
import re
from pathlib import Path

import nestrel

SUPPORTED_EXTENSIONS = nestrel.Nestrel.SUPPORTED_EXTENSIONS
COMMENT_PATTERNS = nestrel.Nestrel.COMMENT_PATTERNS


def _as_list(value):
    return [value] if isinstance(value, str) else value


COMPILED = {
    language: ([re.compile(p) for p in _as_list(patterns.get("single_line", []))],
               [re.compile(p, re.DOTALL | re.MULTILINE) for p in _as_list(patterns.get("multiline", []))])
    for language, patterns in COMMENT_PATTERNS.items()
}


def load_gitignore():
    patterns = []
    path = Path.cwd() / ".gitignore"
    if path.exists():
        try:
            with open(path, encoding="utf-8") as handle:
                for line in handle:
                    line = line.strip()
                    if line and not line.startswith("#"):
                        patterns.append(line)
        except (OSError, UnicodeDecodeError):
            pass
    return patterns


def is_ignored(path, patterns):
    try:
        relative = str(path.relative_to(Path.cwd())).replace("\\", "/")
    except ValueError:
        return False
    for pattern in patterns:
        if pattern.endswith("/"):
            if relative.startswith(pattern) or relative == pattern.rstrip("/"):
                return True
        elif "/" in pattern:
            if relative == pattern or relative.startswith(pattern + "/"):
                return True
        elif pattern in relative:
            return True
    return False


def extract_from_content(content, language):
    if language not in COMPILED:
        return []
    single, multi = COMPILED[language]
    triples = []
    if single:
        lines = content.split("\n")
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


def extract_from_file(path, patterns):
    if is_ignored(path, patterns):
        return None
    language = SUPPORTED_EXTENSIONS.get(path.suffix.lower())
    if language is None:
        return None
    try:
        with open(path, encoding="utf-8", errors="ignore") as handle:
            content = handle.read()
        triples = extract_from_content(content, language)
        if not triples:
            return None
        try:
            name = str(path.relative_to(Path.cwd()))
        except ValueError:
            name = str(path)
        return {"file": name,
                "comments": [{"line": str(s) if s == e else f"{s}-{e}", "content": t} for s, e, t in triples]}
    except (OSError, ValueError):
        return None


def scan_directory(directory=None):
    patterns = load_gitignore()
    results = []
    for root, _dirs, files in os.walk(directory or Path.cwd()):
        for name in files:
            path = Path(root) / name
            if path.is_file():
                record = extract_from_file(path, patterns)
                if record:
                    results.append(record)
    return results


def save_to_json(results, output_file):
    with open(output_file, "w", encoding="utf-8") as handle:
        handle.write(json.dumps(results, indent=2, ensure_ascii=False))
