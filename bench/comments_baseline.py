"""The comment extraction written plainly in Python (os.walk, re, json), with
the same rules as nestrel: the yardstick of bench/comments_extract.py.

Only the two tables are taken from nestrel (they are data); everything else is
Python's own machinery. The extraction of one text is the tests' reference
(tests/comments_in_re.py).
"""

import json
import os
import sys
from pathlib import Path

import nestrel

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from comments_in_re import re_extraction  # noqa: E402

SUPPORTED_EXTENSIONS = nestrel.Nestrel.SUPPORTED_EXTENSIONS


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


def extract_from_file(path, patterns):
    if is_ignored(path, patterns):
        return None
    language = SUPPORTED_EXTENSIONS.get(path.suffix.lower())
    if language is None:
        return None
    try:
        with open(path, encoding="utf-8", errors="ignore") as handle:
            content = handle.read()
        triples = re_extraction(content, language)
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
