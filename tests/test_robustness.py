"""Robustness: files cut short, memory bombs, pathological but legal input, and the
documents that once found faults. Whatever can crash runs in a child
interpreter, so that a crash fails one test instead of ending the run."""

import json
import os
import subprocess
import sys
import time
from itertools import product
from pathlib import Path

import pytest

from conftest import calculation_xml, make_doc

TESTS = Path(__file__).resolve().parent
ROOT = TESTS.parent
REGRESSIONS = TESTS / "regressions"


def run_child(code, *args, timeout=60):
    """Runs ``code`` in a fresh interpreter that sees the same calcsift; returns its last stdout line."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in [str(TESTS)] + sys.path if p))
    proc = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env=env)
    assert proc.returncode == 0, f"child exited with {proc.returncode}:\n{proc.stderr[-3000:]}"
    return proc.stdout.strip().splitlines()[-1]


# A child that may reserve at most 1.5 GB of address space beyond what it holds after
# start-up (not under ASan, whose shadow memory takes terabytes of address space):
# a parse that asks for gigabytes fails there with MemoryError instead of taking the machine.
LIMITED = """
import sys, os, json, itertools, resource
import numpy, calcsift
if "libasan" not in os.environ.get("LD_PRELOAD", ""):
    with open("/proc/self/status") as f:
        vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (3 << 29), vm + (3 << 29)))
def fails(path, **options):
    try:
        calcsift.Vasprun(path, **options)
    except RuntimeError as e:
        return str(e)
    raise AssertionError("loaded")
"""


# --- truncation -----------------------------------------------------------------


def test_truncation_sample():
    """50 cuts of the full sweep (plain and gzip, inside a row and a tag): each loads or raises RuntimeError."""
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import truncation_sweep
    finally:
        sys.path.pop(0)
    doc = truncation_sweep.realistic_document()
    assert all(tag in doc for tag in (b"<projected>", b"<partial>", b"<dielectricfunction"))
    assert truncation_sweep.run(doc, 2000, nsample=50, verbose=False) == []


# --- memory bombs ---------------------------------------------------------------
# A few KB of nested sets whose first members are large ask for a dense block far
# bigger than the document; the guard must refuse it before allocating.

E = "<set></set>"


def eigen_bomb():  # 1000 spins x 1000 k-points x 1000 bands x 2
    return ("<eigenvalues><array><set><set><set>" + "<r>0 0</r>" * 1000 + "</set>" + E * 999 + "</set>"
            + E * 999 + "</set></array></eigenvalues>")


def projected_bomb():  # 1000 spins x 1000 k-points x 1000 bands x 1000 ions x 1 orbital
    return ("<projected><array><field>s</field><set><set><set><set>" + "<r>0</r>" * 1000 + "</set>" + E * 999
            + "</set>" + E * 999 + "</set>" + E * 999 + "</set></array></projected>")


def total_dos_bomb():  # 3001 spins x 3000 grid points: two dimensions cannot ask for as much
    return "<dos><total><array><set><set>" + "<r>0 1 2</r>" * 3000 + "</set>" + E * 3000 + "</set></array></total></dos>"


def partial_dos_bomb():  # 1000 spins x 1000 ions x 100 orbitals x 1000 grid points
    return ("<dos><total><array><set><set><r>0 1 2</r></set></set></array></total><partial><array>"
            "<field>energy</field>" + "<field>s</field>" * 100 + "<set><set><set>" + "<r>0</r>" * 1000 + "</set>"
            + E * 999 + "</set>" + E * 999 + "</set></array></partial></dos>")


@pytest.mark.parametrize("bomb, values", [(eigen_bomb, 2e9), (projected_bomb, 1e12), (total_dos_bomb, 9e6),
                                          (partial_dos_bomb, 1e11)], ids=lambda x: getattr(x, "__name__", ""))
def test_memory_bomb_is_refused(tmp_path, bomb, values):
    body = make_doc(calculation_xml(body=bomb()))
    path = tmp_path / "bomb.xml"
    path.write_text(body)
    start = time.perf_counter()
    text = run_child(LIMITED + "print(fails(sys.argv[1], parse_projected=True))", path)
    assert time.perf_counter() - start < 10
    assert text.startswith("Unexpected array shape: expected [")
    asked = 1
    for n in text.split("got [")[1].rstrip("]").split(", "):
        asked *= int(n)
    assert asked >= values > 100 * len(body)


# --- pathological but legal input -------------------------------------------------
# Each case builds its document in the child, loads it and checks the result there.

CHILD = """
import sys, time
from conftest import make_doc
import calcsift
path = sys.argv[1]
def load(doc, **options):
    with open(path, "w", encoding="utf-8") as f:
        f.write(doc)
    return calcsift.Vasprun(path, **options)
def fails(doc):
    try:
        load(doc)
    except RuntimeError as e:
        return str(e)
    raise AssertionError("loaded")
N = 10 ** 6
"""

PATHOLOGICAL = {
    # No recursion anywhere: depth must not cost stack.
    "nested-unknown-top-level": 'v = load(make_doc(head="<deep>" + "<a>" * N + "</a>" * N + "</deep>"))\n'
                                'assert v.atoms == ["Si", "Si"]',
    "nested-inside-incar": 'v = load(make_doc(incar="<i name=\\"A\\">1</i><x>" + "<a>" * N + "</a>" * N + "</x>"))\n'
                           'assert v.incar == {"A": 1.0}',
    "nested-unclosed": 'assert fails(make_doc(head="<deep>" + "<a>" * N)) == '
                       '"Missing element <EOF while skipping <deep>>"',
    "text-node-20MB": 'v = load(make_doc(incar="<i type=\\"string\\" name=\\"BIG\\">" + "x" * (20 * 2**20) + "</i>"))\n'
                      'assert v.incar["BIG"] == "x" * (20 * 2**20)',
    "attribute-and-name-1MB": 'big = "n" * 2**20\n'
                              'v = load(make_doc(head=f"<{big} k=\\"{big}\\"><x/></{big}>", incar='
                              'f"<i type=\\"string\\" name=\\"{big}\\">v</i><i name=\\"B\\" junk=\\"{big}\\">2</i>"))\n'
                              'assert v.incar == {big: "v", "B": 2.0}',
    # Many items, every one kept in order (that the time is linear in their number is bench/linear_time.py's).
    "incar-1e5-items": 'items = [f"<i type=\\"int\\" name=\\"K{i}\\">{i}</i>" for i in range(10**5)]\n'
                       'v = load(make_doc(incar="".join(items)))\n'
                       'assert list(v.incar.items()) == [(f"K{i}", i) for i in range(10**5)]',
    # Repeated sections: the last one wins, each earlier one is dropped.
    "incar-repeated-1000": 'v = load(make_doc(sections="".join(f"<incar><i type=\\"int\\" name=\\"K{i % 7}\\">{i}</i></incar>"'
                           ' for i in range(1000))))\n'
                           'assert v.incar == {"K5": 999}',
}


@pytest.mark.parametrize("case", PATHOLOGICAL.values(), ids=PATHOLOGICAL.keys())
def test_pathological_input(tmp_path, case):
    run_child(CHILD + case + "\nprint('ok')", tmp_path / "doc.xml", timeout=60)


# --- regression documents -----------------------------------------------------------
# Inputs that once crashed, tripped a sanitizer or exhausted memory (tests/regressions/*.xml[.gz]).

REGRESSION_CHILD = LIMITED + """
out = []
for dos, eigen, projected in itertools.product([False, True], repeat=3):
    try:
        v = calcsift.Vasprun(sys.argv[1], parse_dos=dos, parse_eigen=eigen, parse_projected=projected)
        for name in ("incar", "atoms", "kpoints", "initial_structure", "final_structure", "ionic_steps",
                     "eigenvalues", "projected", "dos", "dielectric"):
            getattr(v, name)
        out.append("loaded")
    except RuntimeError as e:
        out.append(str(e))
print(json.dumps(out))
"""


@pytest.mark.parametrize("path", sorted(REGRESSIONS.glob("*.xml*")) if REGRESSIONS.is_dir() else [],
                         ids=lambda p: p.name)
def test_regression_document_fails_cleanly(path):
    """Every switch combination loads the document or raises RuntimeError, within bounded memory."""
    outcomes = json.loads(run_child(REGRESSION_CHILD, path, timeout=30))
    assert len(outcomes) == len(list(product([0, 1], repeat=3)))
