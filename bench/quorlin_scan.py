"""Speed of prompt enhancement's project scan and tree drawing on a generated
project, beside a plain-Python walk with the same pruning and matcher.

    python bench/quorlin_scan.py            # about 20,000 files
    python bench/quorlin_scan.py --quick    # about 2,000 files

The file list reads every supported file twice (comments and definitions);
the plain walk only lists and matches, so it is a floor for the listing part,
not the same work. Each figure is the best of three runs.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from pathlib import Path

import pathspec

import quorlin

DEFAULT_IGNORES = {".git", ".svn", ".hg", "node_modules", "__pycache__", ".pytest_cache", ".tox", ".venv", "venv",
                   "env"}
SOURCE = "# {n}\nclass Thing{n}:\n    def run(self):\n        return {n}  # done\n"


def make_project(root: Path, packages: int) -> int:
    count = 0
    for p in range(packages):
        for d in range(10):
            folder = root / f"pkg{p}" / f"mod{d}"
            folder.mkdir(parents=True)
            for f in range(10):
                (folder / f"file{f}.py").write_text(SOURCE.format(n=count))
                count += 1
        junk = root / f"pkg{p}" / "node_modules" / "dep"
        junk.mkdir(parents=True)
        (junk / "index.js").write_text("x")
    (root / ".gitignore").write_text("*.log\nbuild/\n")
    return count


def plain_walk(root: str, matcher) -> list[str]:
    found = []
    for directory, dirs, names in os.walk(root):
        prefix = os.path.relpath(directory, root)
        prefix = "" if prefix == "." else prefix + "/"
        dirs[:] = [d for d in dirs if d not in DEFAULT_IGNORES and not matcher.match_file(prefix + d)]
        found += [prefix + n for n in names if not matcher.match_file(prefix + n)]
    return sorted(found)


def best(function, runs=3):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    packages = 20 if parser.parse_args().quick else 200
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        files = make_project(root, packages)
        os.chdir(root)
        q = quorlin.Quorlin()
        matcher = pathspec.PathSpec.from_lines("gitwildmatch", ["*.log", "build/"])
        plain_time, plain = best(lambda: plain_walk(folder, matcher))
        list_time, file_list = best(q._get_file_list)
        tree_time, tree = best(q._generate_project_tree)
        assert [e["path"] for e in file_list] == plain
        print(f"{files:,} source files in {packages * 11:,} directories")
        print(f"  plain walk (list and match only) {plain_time:8.3f} s")
        print(f"  file list (comments, definitions) {list_time:8.3f} s  {list_time / files * 1e6:8.1f} us per file")
        print(f"  project tree                      {tree_time:8.3f} s  {len(tree.splitlines()):,} lines")


if __name__ == "__main__":
    main()
