#!/usr/bin/env python3
"""Truncation sweep: a realistic run record cut short at many places must either
load or raise RuntimeError; nothing may crash the interpreter.

    python3 bench/truncation_sweep.py [--cuts N] [--sample N] [--document PATH]

The document is the generator's "example" preset with every block present (or
PATH, plain or .gz). It is cut at N evenly spread positions (default 2000), at
every byte of one <r> row and of one start tag, and its gzip form is cut at N
evenly spread positions as well. Every cut is loaded with the projections on and
with every block switched off, and on success every property is read.

The cuts run in-process in a child interpreter; the parent reports a crash of
the child (a signal or a non-zero exit) with the cut it was working on and
exits non-zero. --sample N keeps N cuts spread over the whole list (a quick run
for the test suite).
"""

import argparse
import gzip
import json
import os
import subprocess
import sys
import tempfile
from collections import Counter
from dataclasses import fields, replace
from pathlib import Path

HERE = Path(__file__).resolve().parent
CORPUS = HERE.parent.parent / "shared" / "corpus"

PROPERTIES = ("program", "version", "incar", "atoms", "atom_types", "kpoints", "initial_structure",
              "final_structure", "ionic_steps", "eigenvalues", "eigenvalue_shape", "projected", "efermi",
              "dos", "dielectric", "converged")
OPTIONS = ({"parse_projected": True},
           {"parse_dos": False, "parse_eigen": False, "parse_projected": False, "ionic_step_skip": 2})


def realistic_document():
    """The bytes of a document holding every block the reader knows."""
    try:
        sys.path.insert(0, str(HERE))
        import generate
    except ImportError:
        generate = None
    if generate is not None:
        params = generate.PRESETS["example"]
        names = {f.name for f in fields(params)}
        extra = {k: True for k in ("with_dos", "with_partial", "with_projected", "with_dielectric",
                                   "with_magnetization") if k in names}
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "example.xml")
            generate.generate(replace(params, **extra), out, seed=5)
            return Path(out).read_bytes()
    return gzip.decompress((CORPUS / "real-09.xml.gz").read_bytes())


def span_of(doc, opener, closer, after=b""):
    """(start, end) of the first `opener`...`closer` at or after the first `after`."""
    base = doc.find(after) if after else 0
    start = doc.find(opener, max(base, 0))
    if start < 0:
        return None
    end = doc.find(closer, start + len(opener))
    return None if end < 0 else (start, end + len(closer))


def plan(doc, ncuts):
    """The list of (kind, position) cuts of the plain document and of its gzip form."""
    n = len(doc)
    cuts = {int(i * n / ncuts) for i in range(ncuts)}
    # Every byte inside one numeric row of a dense block and inside one start tag.
    for span in (span_of(doc, b"<r>", b"</r>", b"<projected") or span_of(doc, b"<r>", b"</r>"),
                 span_of(doc, b"<varray name=\"positions\"", b">") or span_of(doc, b"<set", b">")):
        if span:
            cuts.update(range(span[0], span[1] + 1))
    packed = gzip.compress(doc, mtime=0)
    gz_cuts = sorted({int(i * len(packed) / ncuts) for i in range(ncuts)})
    return packed, [("xml", c) for c in sorted(cuts)] + [("gz", c) for c in gz_cuts]


def sample(items, k):
    if k >= len(items):
        return items
    return [items[int(i * len(items) / k)] for i in range(k)]


def worker(job_path):
    """Runs the cuts in this process; prints one JSON line of tallies at the end."""
    import calcsift

    job = json.loads(Path(job_path).read_text())
    doc = Path(job["document"]).read_bytes()
    packed = Path(job["packed"]).read_bytes()
    progress = Path(job["progress"])
    work = Path(job["workdir"])
    tally = Counter()
    unexpected = []
    for kind, pos in job["cuts"]:
        data = (doc if kind == "xml" else packed)[:pos]
        path = work / ("cut.xml" if kind == "xml" else "cut.xml.gz")
        path.write_bytes(data)
        progress.write_text(f"{kind} {pos}")
        for options in OPTIONS:
            try:
                v = calcsift.Vasprun(str(path), **options)
                for name in PROPERTIES:
                    getattr(v, name)
                repr(v)
                tally[f"{kind}: loaded"] += 1
            except RuntimeError as e:
                tally[f"{kind}: " + str(e).split("'")[0].split(":")[0].strip()] += 1
            except Exception as e:  # anything but RuntimeError is a fault
                unexpected.append(f"{kind} cut at {pos} {options}: {type(e).__name__}: {e}")
    print(json.dumps({"tally": tally, "unexpected": unexpected}))


def run(doc, ncuts, nsample=None, verbose=True):
    """Runs the sweep in a child interpreter; returns a list of problems (empty when clean)."""
    packed, cuts = plan(doc, ncuts)
    if nsample:
        cuts = sample(cuts, nsample)
    with tempfile.TemporaryDirectory(prefix="calcsift-sweep-") as tmp:
        tmp = Path(tmp)
        (tmp / "doc.xml").write_bytes(doc)
        (tmp / "doc.xml.gz").write_bytes(packed)
        job = {"document": str(tmp / "doc.xml"), "packed": str(tmp / "doc.xml.gz"),
               "progress": str(tmp / "progress"), "workdir": str(tmp), "cuts": cuts}
        (tmp / "job.json").write_text(json.dumps(job))
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        proc = subprocess.run([sys.executable, __file__, "--worker", str(tmp / "job.json")],
                              capture_output=True, text=True, env=env)
        if proc.returncode != 0:
            where = (tmp / "progress").read_text() if (tmp / "progress").exists() else "?"
            kind, _, pos = where.partition(" ")
            keep = Path(tempfile.gettempdir()) / f"calcsift-sweep-crash.{kind}"
            if pos.isdigit():
                keep.write_bytes((doc if kind == "xml" else packed)[:int(pos)])
            return [f"child exited with {proc.returncode} at cut {where} (input kept in {keep}):\n"
                    + proc.stderr[-3000:]]
        result = json.loads(proc.stdout.strip().splitlines()[-1])
    if verbose:
        print(f"{len(doc)} bytes, {len(packed)} gzipped, {len(cuts)} cuts x {len(OPTIONS)} option sets")
        for key, count in sorted(result["tally"].items()):
            print(f"  {count:6d}  {key}")
    return result["unexpected"]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cuts", type=int, default=2000, help="evenly spread cuts (default 2000)")
    ap.add_argument("--sample", type=int, help="run only this many cuts, spread over the list")
    ap.add_argument("--document", help="a document to cut instead of the generated one")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.worker:
        worker(args.worker)
        return 0
    if args.document:
        raw = Path(args.document).read_bytes()
        doc = gzip.decompress(raw) if args.document.endswith(".gz") else raw
    else:
        doc = realistic_document()
    problems = run(doc, args.cuts, args.sample)
    for p in problems:
        print("FAULT:", p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
