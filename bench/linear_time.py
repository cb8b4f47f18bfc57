#!/usr/bin/env python3
"""Linear time: a document with ten times the items may cost at most 30 times the time (plus 50 ms).

    python3 bench/linear_time.py [--repeat 3]

Each case builds a small and a large document of the same kind (a long INCAR, deeply nested
unknown elements, a long <parameters> block with repeated names), loads each --repeat times and
compares the best times. Prints one line per case and exits non-zero when a case scales worse
than the limit. Wall times depend on the machine's load: this is a benchmark, not a test (the
test suite loads the large documents and checks their values, without a clock).
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from xmlbuild import make_doc  # noqa: E402

import calcsift  # noqa: E402

LIMIT, SLACK = 30.0, 0.05


def incar(n):
    return make_doc(incar="".join(f'<i type="int" name="K{i}">{i}</i>' for i in range(n)))


def nested(n):
    return make_doc(head="<deep>" + "<a>" * n + "</a>" * n + "</deep>")


def parameters(n):
    items = "".join(f'<i type="int" name="P{i % (n // 2)}">{i}</i>' for i in range(n))
    return make_doc(head=f'<parameters><separator name="all">{items}</separator></parameters>')


CASES = {"incar items": (incar, 10**4), "nesting depth": (nested, 10**5), "parameters, names twice": (parameters, 10**4)}


def best(path, text, repeat):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        calcsift.Vasprun(path)
        times.append(time.perf_counter() - start)
    return min(times)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=3, help="loads per document (default 3); the best counts")
    args = ap.parse_args(argv)
    failed = 0
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "vasprun.xml")
        for name, (build, n) in CASES.items():
            small, large = best(path, build(n), args.repeat), best(path, build(10 * n), args.repeat)
            holds = large < LIMIT * small + SLACK
            failed += not holds
            print(f"{name:26} {n:>8} items {small * 1e3:8.2f} ms   {10 * n:>8} items {large * 1e3:8.2f} ms   "
                  f"x{large / small:5.1f}  {'ok' if holds else f'SLOWER than x{LIMIT:g} + {SLACK * 1e3:g} ms'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
