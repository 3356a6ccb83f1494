"""Speed of prompt enhancement's project scan and tree drawing on a generated
project, beside a plain-Python walk with the same pruning and matcher.

    python bench/quorlin_scan.py            # about 20,000 files
    python bench/quorlin_scan.py --quick    # about 2,000 files

The file list reads every supported file twice (comments and definitions);
the plain walk only lists and matches, so it is a floor for the listing part,
not the same work. Each figure is the best of three runs.

Then one request's work over 2,000 files with a .gitignore of 20, 100, 1,000
and 5,000 patterns: the construction of a Quorlin, which compiles the
.gitignore, its file list and its tree, on pathspec's default backend (which
tries every pattern in Python for every path), on the Hyperscan backend that
quorlin chose before where the `hyperscan` package loads, and on the matcher
it chooses now. Figures from 1,000 patterns on are of one run, since the
default backend takes seconds there. These figures are processor time, which
other work on the machine changes less than the wall-clock time beside them;
"ignore work" is the total less that of the project without a .gitignore.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import os
import re
import sys
import tempfile
import time
import types
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


def emulating_hyperscan():
    """A stand-in for quorlin's `pathspec` whose matchers are all on the
    Hyperscan backend: the matcher that quorlin chose before, where the
    `hyperscan` package loads."""
    class OnHyperscan(pathspec.PathSpec):
        @classmethod
        def from_lines(cls, style, lines, **_):
            return pathspec.PathSpec.from_lines(style, lines, backend="hyperscan")

    return types.SimpleNamespace(PathSpec=OnHyperscan)


def one_request(runs: int, results: list) -> tuple[float, float, float, float, str]:
    """The ignore-related steps of one request: construction (which compiles
    the .gitignore), the file list and the tree, each of a new Quorlin, in
    processor time (this process's, whatever else the machine runs), and the
    total in wall-clock time. The best run by processor time; `re`'s cache of
    compiled patterns is emptied before each, as a new process would find it."""
    best_run = None
    for _ in range(runs):
        re.purge()
        q = None
        wall = time.perf_counter()
        start = time.process_time()
        q = quorlin.Quorlin()
        built = time.process_time()
        file_list = q._get_file_list()
        listed = time.process_time()
        tree = q._generate_project_tree()
        done = time.process_time()
        run = (built - start, listed - built, done - listed, time.perf_counter() - wall, q.gitignore_spec)
        if best_run is None or sum(run[:3]) < sum(best_run[:3]):
            best_run = run
        results.append(([e["path"] for e in file_list], tree))
    matcher = best_run[4]
    return (*best_run[:4], "none" if matcher is None else matcher._backend_name)


def backends(packages: int, counts: list[int]) -> None:
    """Per .gitignore size, one request's construction, file list and tree on
    pathspec's default backend, on the Hyperscan backend that quorlin chose
    before (where it loads) and on the matcher quorlin chooses now."""
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        files = make_project(root, packages)
        os.chdir(root)
        (root / ".gitignore").unlink()
        one_request(3, [])  # the file system's cache filled
        base = sum(one_request(5, [])[:3])
        print(f"one request over {files:,} source files, processor time of construction, file list and tree "
              f"(without a .gitignore {base * 1e3:.1f} ms in all); wall-clock time of the three")
        print(f"  {'patterns':>8}  {'matcher':<30} {'construction':>12} {'file list':>10} {'tree':>9} "
              f"{'total':>9} {'ignore work':>11} {'wall':>9}")
        hyperscan_loads = importlib.util.find_spec("hyperscan") is not None
        for count in counts:
            (root / ".gitignore").write_text("\n".join(many_patterns(count)) + "\n")
            runs = 1 if count >= 1000 else 5
            rows, results = [], []
            with contextlib.ExitStack() as stack:
                stack.enter_context(blocked("re2"))
                stack.enter_context(blocked("hyperscan"))
                rows.append(("default", *one_request(runs, results)))
            if hyperscan_loads:
                saved, quorlin.pathspec = quorlin.pathspec, emulating_hyperscan()
                try:
                    rows.append(("before: Hyperscan", *one_request(runs, results)))
                finally:
                    quorlin.pathspec = saved
            rows.append(("chosen", *one_request(runs, results)))
            assert all(result == results[0] for result in results), "the matchers differ"
            for label, construction, file_list, tree, wall, name in rows:
                total = construction + file_list + tree
                print(f"  {count:>8,}  {label + ' (' + name + ')':<30} {construction * 1e3:9.1f} ms "
                      f"{file_list * 1e3:7.1f} ms {tree * 1e3:6.1f} ms {total * 1e3:6.1f} ms "
                      f"{(total - base) * 1e3:8.1f} ms {wall * 1e3:6.1f} ms")


@contextlib.contextmanager
def blocked(module: str):
    """The package `module` does not load inside the block."""
    saved = sys.modules.get(module, ...)
    sys.modules[module] = None
    try:
        yield
    finally:
        if saved is ...:
            del sys.modules[module]
        else:
            sys.modules[module] = saved


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--matchers-only", action="store_true", help="only the .gitignore table")
    arguments = parser.parse_args()
    if arguments.matchers_only:
        backends(20, [20, 100, 1000, 5000])
        return
    packages = 20 if arguments.quick else 200
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
    backends(20, [20, 100, 1000, 5000])


if __name__ == "__main__":
    main()
