"""Speed of the embeddings client's local engines against the same operations
written plainly in Python (tests/dunmora_in_python.py, the tests' reference).

    python bench/bench_dunmora.py

`chunk_text` cuts texts of 10 MB (UTF-8) with the default sizes and a few
harder settings, and 2 MB with an overlap of 990; `calculate_similarity`
compares vectors of 4096 components. Each figure is the best of several runs;
the ratio is plain Python time over native time. Both sides must give the same
result, or the script stops.

A large overlap makes gigabytes of chunks, and then the time goes mostly to
the memory they take. Each run therefore starts with the result of the run
before freed, outside the timing, on either side alike: the first run of each
side asks the system for fresh memory, the later ones reuse what the allocator
holds, and the best run of each side is one of those.
"""

from __future__ import annotations

import random
import sys
import time
from pathlib import Path

import dunmora

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from dunmora_in_python import plain_chunks, plain_cosine  # noqa: E402

TEN_MB = 10 * 1024 * 1024
TWO_MB = 2 * 1024 * 1024


def fill(piece_maker, size_bytes: int) -> str:
    parts, total = [], 0
    while total < size_bytes:
        piece = piece_maker()
        parts.append(piece)
        total += len(piece.encode())
    return "".join(parts)


def texts() -> list[tuple[str, str, int, int]]:
    rng = random.Random(3)
    words = ["lorem", "ipsum", "dolor", "sit", "amet", "consectetur", "adipiscing", "elit", "sed", "do"]
    hanzi = "的一是在不了有和人这中大为上个国我以要他时来用们生到作地于出就分对成会可主发年动同工也能下过子说产种面"

    def english():
        line = " ".join(rng.choice(words) for _ in range(rng.randrange(5, 25))) + "."
        return line + ("\n" if rng.random() < 0.2 else " ")

    def chinese():
        sentence = "".join(rng.choice(hanzi) for _ in range(rng.randrange(8, 40))) + "。"
        return sentence + ("\n" if rng.random() < 0.1 else "")

    prose = fill(english, TEN_MB)
    return [
        ("English prose, defaults", prose, 1000, 100),
        ("Chinese prose, defaults", fill(chinese, TEN_MB), 1000, 100),
        ("no break at all, defaults", "x" * TEN_MB, 1000, 100),
        # A lone full stop every 2001 characters: after each, the window keeps finding
        # it just past its start, so about a hundred short chunks follow each stop.
        ("early breaks only, defaults", ("。" + "a" * 2000) * (TEN_MB // 2003), 1000, 100),
        ("English prose, overlap 900", prose, 1000, 900),
        ("English prose (2 MB), overlap 990", prose[:TWO_MB], 1000, 990),
    ]


def best_of(runs: int, function, *args):
    best, result = float("inf"), None
    for _ in range(runs):
        result = None  # the last run's result is freed before the timing starts
        began = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - began)
    return best, result


def report(label: str, native: float, plain: float) -> None:
    print(f"{label:<34} native {native * 1e3:10.3f} ms   plain Python {plain * 1e3:10.3f} ms   "
          f"ratio {plain / native:8.1f}x")


def main() -> int:
    client = dunmora.Dunmora("sk-bench", "http://127.0.0.1:9/v1")  # never sends anything here

    print("chunk_text on 10 MB texts")
    for label, text, size, overlap in texts():
        runs = 2 if overlap > size // 2 else 7  # the large overlap makes gigabytes of chunks
        native, got = best_of(runs, client.chunk_text, text, size, overlap)
        plain, expected = best_of(runs, plain_chunks, text, size, overlap)
        if got != expected:
            print(f"results differ: {label}", file=sys.stderr)
            return 1
        report(f"{label} ({len(got)} chunks)", native, plain)
        del got, expected

    print("calculate_similarity on 4096-component vectors (per call)")
    rng = random.Random(5)
    a = [rng.uniform(-1, 1) for _ in range(4096)]
    b = [rng.uniform(-1, 1) for _ in range(4096)]
    if client.calculate_similarity(a, b) != plain_cosine(a, b):
        print("results differ: similarity", file=sys.stderr)
        return 1
    calls = 2000
    native, _ = best_of(5, lambda: [client.calculate_similarity(a, b) for _ in range(calls)])
    plain, _ = best_of(5, lambda: [plain_cosine(a, b) for _ in range(calls // 20)])
    report("4096 dimensions", native / calls, plain / (calls // 20))
    return 0


if __name__ == "__main__":
    sys.exit(main())
