"""Speed of the native definition finder against Python's `re` running the
same sixteen patterns.

    python bench/definitions.py            # all three parts
    python bench/definitions.py --quick    # smaller sizes

1. A run of words and spaces, the worst case of `re` on the second C/C++
   pattern: `re` grows faster than quadratically, the native finder linearly.
   `re` is left out once one of its runs takes longer than a few seconds.
2. Ordinary sources: generated files of every suffix group (and one with
   comments and names outside ASCII), this repository's own sources, and
   many small files. Compared are the raw finds of both patterns of a
   group (`re.finditer` against `definition_finds`) and the whole extraction
   (a plain-Python version of the rule against `extract_definitions_from_text`,
   which stops once its 20 names are certain).
3. Texts made against the restart of a search after each match: many short
   matches, each while an earlier, still undecided parenthesis (for instance
   "const x = (" without a ")") is open, long parameter lists, unclosed ones.
   The native time per MB must stay flat as the size grows; that of `re`
   grows with the size on several of them. "reads" is the native finder's
   work per character: the positions its searches looked at.

Each figure is the best of a few runs. Wherever `re` runs, both sides must
give the same finds, or the script stops.
"""

from __future__ import annotations

import argparse
import random
import sys
import time
from pathlib import Path

try:
    import _orvo_testing as testing
except ImportError:
    sys.exit("bench/definitions.py needs the test module _orvo_testing: install the project with "
             "-Ccmake.define.ORVO_TESTING=ON (see CONTRIBUTING.md)")

ROOT = Path(__file__).resolve().parent.parent

sys.path.insert(0, str(ROOT / "tests"))
from definitions_in_re import ADVERSARIAL, GROUPS, re_extraction, re_finds  # noqa: E402


def best(function, *args, runs=3, budget=2.0):
    """The best time of a few runs (fewer when one run is slow) and the result."""
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = function(*args)
        times.append(time.perf_counter() - start)
        if sum(times) > budget:
            break
    return min(times), result


def megabytes(text):
    return len(text.encode("utf-8", "surrogatepass")) / 1e6


def per_mb(seconds, text):
    return f"{seconds / megabytes(text) * 1e3:9.1f} ms/MB"


def check(suffix, which, text, native):
    expected = re_finds(suffix, which, text)
    if native != expected:
        sys.exit(f"different finds for {suffix} pattern {which}: {native[:5]} against {expected[:5]}")


# ------------------------------------------------- words and spaces

def words_and_spaces(length, rng):
    words = "value index result buffer count total parse render state token stream node".split()
    parts, size = [], 0
    while size < length:
        parts.append(rng.choice(words) + " " * rng.randint(1, 3))
        size += len(parts[-1])
    return "".join(parts)[:length]


def part_words(quick):
    print("1. A run of words and spaces, second C/C++ pattern")
    print(f"{'characters':>12} {'re':>12} {'native':>12} {'native per MB':>16}")
    rng = random.Random(1)
    re_gave_up = False
    sizes = [2_000, 4_000, 8_000, 16_000, 32_000, 1_000_000, 4_000_000]
    if not quick:
        sizes.append(16_000_000)
    for size in sizes:
        text = words_and_spaces(size, rng)
        native_time, native = best(testing.definition_finds, ".c", 1, text)
        re_cell = "-"
        if not re_gave_up:
            re_time, _ = best(re_finds, ".c", 1, text, runs=1)
            check(".c", 1, text, native)
            re_cell = f"{re_time:10.3f} s"
            re_gave_up = re_time > 3.0
        print(f"{size:>12,} {re_cell:>12} {native_time:10.4f} s {per_mb(native_time, text):>16}")


# ------------------------------------------------- ordinary sources

NAMES = "load save parse render update handle fetch build apply reset index count value state".split()


def name(rng):
    return rng.choice(NAMES) + rng.choice(["", "_all", "Item", "2", "_now"])


def source(suffix, size, rng):
    """A plausible source file of about `size` characters."""
    blocks = {
        ".py": lambda: (f"class {name(rng).title()}(Base):\n    \"\"\"{name(rng)} the {name(rng)}.\"\"\"\n\n"
                        f"    def {name(rng)}(self, {name(rng)}, *args):\n        if {name(rng)}:\n"
                        f"            return self.{name(rng)}({name(rng)}) + 1\n"
                        f"        # {name(rng)} {name(rng)}\n        return None\n\n"),
        ".js": lambda: (f"export class {name(rng).title()} extends Base {{\n  constructor() {{ super(); }}\n}}\n"
                        f"function {name(rng)}(a, b) {{\n  if (a) {{ return b.map((x) => x + 1); }}\n}}\n"
                        f"const {name(rng)} = async (items) => {{\n  return await fetch(items);\n}};\n"
                        f"let {name(rng)} = 42; // {name(rng)}\n\n"),
        ".java": lambda: (f"public class {name(rng).title()} {{\n    private int {name(rng)};\n"
                          f"    public static List<String> {name(rng)}(String[] args, int n) {{\n"
                          f"        if (n > 0) {{ return helper(args); }}\n        return null;\n    }}\n"
                          f"    protected void {name(rng)}() {{ run(); }}\n}}\n\n"),
        ".cs": lambda: (f"internal struct {name(rng).title()} {{\n    public int {name(rng)}(int a) {{ return a; }}\n"
                        f"    private static void {name(rng)}(string s);\n}}\nenum {name(rng).title()} {{ A, B }}\n\n"),
        ".php": lambda: (f"class {name(rng).title()} {{\n    public function {name(rng)}($a, $b) {{\n"
                         f"        return $this->{name(rng)}($a);\n    }}\n}}\ntrait {name(rng).title()} {{}}\n\n"),
        ".go": lambda: (f"type {name(rng).title()} struct {{\n\t{name(rng)} int\n}}\n\n"
                        f"func (s *Server) {name(rng)}(ctx context.Context) error {{\n"
                        f"\tif err := s.{name(rng)}(); err != nil {{\n\t\treturn err\n\t}}\n\treturn nil\n}}\n\n"),
        ".rs": lambda: (f"pub struct {name(rng).title()} {{\n    {name(rng)}: u32,\n}}\n\n"
                        f"impl Thing {{\n    pub fn {name(rng)}<T>(&self, v: T) -> Option<T> {{\n"
                        f"        if self.ok() {{ Some(v) }} else {{ None }}\n    }}\n}}\n\n"),
        ".c": lambda: (f"struct {name(rng)} {{\n    int {name(rng)};\n    char *{name(rng)};\n}};\n\n"
                       f"static int {name(rng)}(const char *s, size_t n) {{\n"
                       f"    for (size_t i = 0; i < n; ++i) {{\n        if (s[i] == 0) return {name(rng)}(s);\n"
                       f"    }}\n    return sizeof(struct {name(rng)});\n}}\n"
                       f"std::vector<int> {name(rng)}(int a);\n\n"),
    }
    parts, length = [], 0
    while length < size:
        parts.append(blocks[suffix]())
        length += len(parts[-1])
    return "".join(parts)


def repository_sources():
    by_group = {".py": [], ".c": []}
    for pattern, suffix in (("src/**/*.cpp", ".c"), ("src/**/*.hpp", ".c"), ("tests/*.py", ".py"),
                            ("bench/*.py", ".py")):
        for path in sorted(ROOT.glob(pattern)):
            by_group[suffix].append(path.read_text(encoding="utf-8", errors="ignore"))
    return {suffix: "\n".join(texts) for suffix, texts in by_group.items()}


def both_native(suffix, text):
    return testing.definition_finds(suffix, 0, text), testing.definition_finds(suffix, 1, text)


def both_re(suffix, text):
    return re_finds(suffix, 0, text), re_finds(suffix, 1, text)


def part_sources(quick):
    print("\n2. Ordinary sources: finds of both patterns, and the whole extraction")
    print(f"{'text':>24} {'MB':>6} {'finds: re':>16} {'native':>16} {'ratio':>7}"
          f" {'extraction: re':>16} {'native':>16}")
    rng = random.Random(7)
    size = 300_000 if quick else 2_000_000
    texts = [(f"generated {suffix}", suffix, source(suffix, size, rng)) for suffix in GROUPS]
    # Comments and names outside ASCII, for the reading of longer characters.
    text = source(".py", size, rng).replace("# ", "# 注释：缓冲区的状态 ")
    for word in NAMES:
        text = text.replace(word, word.replace("a", "ä").replace("e", "é"))
    texts.append(("generated .py, non-ASCII", ".py", text))
    texts += [(f"this repository {suffix}", suffix, text) for suffix, text in repository_sources().items()]
    for label, suffix, text in texts:
        re_time, expected = best(both_re, suffix, text)
        native_time, native = best(both_native, suffix, text)
        if native != expected:
            sys.exit(f"different finds for {label}")
        re_rule_time, rule = best(re_extraction, suffix, text)
        native_rule_time, names = best(testing.extract_definitions_from_text, suffix, text)
        if names != rule:
            sys.exit(f"different extraction for {label}")
        print(f"{label:>24} {megabytes(text):6.2f} {per_mb(re_time, text):>16} {per_mb(native_time, text):>16}"
              f" {re_time / native_time:6.1f}x {per_mb(re_rule_time, text):>16}"
              f" {per_mb(native_rule_time, text):>16}")

    count = 100 if quick else 500
    print(f"\n   {count} small files (about 4 KB) per group: finds of both patterns, per file")
    print(f"{'group':>22} {'re':>16} {'native':>16} {'ratio':>7}")
    for suffix in GROUPS:
        files = [source(suffix, 4_000, rng) for _ in range(count)]
        re_time, expected = best(lambda: [both_re(suffix, text) for text in files])
        native_time, native = best(lambda: [both_native(suffix, text) for text in files])
        if native != expected:
            sys.exit(f"different finds for small {suffix} files")
        print(f"{suffix:>22} {re_time / count * 1e6:13.1f} us {native_time / count * 1e6:13.1f} us"
              f" {re_time / native_time:6.1f}x")


# ---------------------------------------------- restarts after matches

def part_adversarial(quick):
    print("\n3. Texts against the restart after each match: time per MB, native and re")
    sizes = [10_000, 100_000, 1_000_000] + ([] if quick else [8_000_000])
    re_sizes = [10_000, 100_000]
    print(f"{'text':>28} {'finds':>9} {'reads':>6} " + " ".join(f"{f'{s:,} chars':>16}" for s in sizes)
          + " " + " ".join(f"{f're {s:,}':>16}" for s in re_sizes))
    for label, suffix, which, unit in ADVERSARIAL:
        cells, finds = [], 0
        for size in sizes:
            text = unit * (size // len(unit))
            native_time, native = best(testing.definition_finds, suffix, which, text)
            cells.append(per_mb(native_time, text))
            finds = len(native)
        # The positions the searches looked at, per character of the largest text.
        reads = testing.definition_work(suffix, which, text) / len(text)
        slow = False
        for size in re_sizes:
            text = unit * (size // len(unit))
            if slow:
                cells.append("-")
                continue
            re_time, _ = best(re_finds, suffix, which, text, runs=1)
            check(suffix, which, text, testing.definition_finds(suffix, which, text))
            cells.append(per_mb(re_time, text))
            slow = re_time > 0.3  # ten times the text may take a hundred times as long
        print(f"{label:>28} {finds:>9,} {reads:6.2f} " + " ".join(f"{c:>16}" for c in cells))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes")
    quick = parser.parse_args().quick
    testing.definition_finds(".c", 0, "")  # the character tables are filled once, not timed
    part_words(quick)
    part_sources(quick)
    part_adversarial(quick)


if __name__ == "__main__":
    main()
