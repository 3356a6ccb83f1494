"""Time to import each module, as `python -X importtime -c "import <module>"`
reports it (its cumulative figure: the module and everything it imports), in
fresh interpreters, and whether `ast` was loaded by the import.

    python bench/import_time.py [runs] [module ...]

Each figure is the best of `runs` interpreters (7 unless given), the median
beside it.
"""

from __future__ import annotations

import statistics
import subprocess
import sys

MODULES = ["i18n", "config", "corvane", "dunmora", "brisolet", "trelwick", "nestrel", "osmeran", "quorlin",
           "hadrel", "palvex", "kestovan"]


def cumulative_us(module: str) -> int:
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"], capture_output=True,
                          text=True, check=True)
    for line in done.stderr.splitlines():
        fields = [field.strip() for field in line.removeprefix("import time:").split("|")]
        if len(fields) == 3 and fields[2] == module:
            return int(fields[1])
    raise SystemExit(f"no import time reported for {module}")


def loads_ast(module: str) -> bool:
    code = f"import {module}, sys; print('ast' in sys.modules)"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True).stdout.strip() == "True"


def main() -> int:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    modules = sys.argv[2:] or MODULES
    print(f"{'module':<10} {'best ms':>9} {'median ms':>10}  ast loaded")
    for module in modules:
        times = [cumulative_us(module) / 1e3 for _ in range(runs)]
        print(f"{module:<10} {min(times):9.1f} {statistics.median(times):10.1f}  {loads_ast(module)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
