"""Speed of prompt enhancement's project scan and tree drawing on a generated
project, beside a plain-Python walk with the same pruning and matcher.

    python bench/quorlin_scan.py            # about 20,000 files
    python bench/quorlin_scan.py --quick    # about 2,000 files

The file list reads every supported file twice (comments and definitions);
the plain walk only lists and matches, so it is a floor for the listing part,
not the same work. Each figure is the best of three runs.

Then a .gitignore of 5,000 patterns over 2,000 files, matched on the Hyperscan
backend (where the `hyperscan` package loads) and on pathspec's default one,
which tries every pattern in Python for every path: the default backend's
figures are of one run, since each takes seconds.
"""

from __future__ import annotations

import argparse
import os
import sys
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


def many_patterns(count: int) -> list[str]:
    """`count` lines of every kind (names, anchored directories, double stars,
    wildcards, classes, negations), a few of which leave files out."""
    kinds = ["name{k}", "/build{k}/", "**/cache{k}/**", "*.ext{k}", "pkg{k}/mod[0-4]/file9.py", "!keep{k}.txt",
             "docs/**/draft{k}.md", "tmp{k}?/"]
    lines = [kinds[k % len(kinds)].format(k=k + 20) for k in range(count - 4)]
    return lines + ["pkg3/", "*/mod7/file[13].py", "**/mod2/file5.py", "!pkg3/mod1/file1.py"]


def backends(packages: int, patterns: int) -> None:
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        files = make_project(root, packages)
        (root / ".gitignore").write_text("\n".join(many_patterns(patterns)) + "\n")
        os.chdir(root)
        start = time.perf_counter()
        fast = quorlin.Quorlin()
        fast_load = time.perf_counter() - start
        loaded = sys.modules.get("hyperscan")
        sys.modules["hyperscan"] = None  # the package does not load: the default backend
        start = time.perf_counter()
        plain = quorlin.Quorlin()
        plain_load = time.perf_counter() - start
        sys.modules["hyperscan"] = loaded
        print(f"{patterns:,} .gitignore patterns over {files:,} source files")
        results = []
        for q, load, runs in ((fast, fast_load, 3), (plain, plain_load, 1)):
            list_time, file_list = best(q._get_file_list, runs)
            tree_time, tree = best(q._generate_project_tree, runs)
            results.append(([e["path"] for e in file_list], tree))
            print(f"  {q.gitignore_spec._backend_name:9} backend: load {load:7.3f} s   file list {list_time:7.3f} s"
                  f"   tree {tree_time:7.3f} s   {len(file_list):,} files listed")
        assert results[0] == results[1]


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
    backends(20, 5000)


if __name__ == "__main__":
    main()
