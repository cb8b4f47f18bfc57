"""The reader's SIMD kernel sets: the choice and the CALCSIFT_SIMD switch, real files read alike by every set this
CPU runs, and the C++ sweeps over every set. CI runs the whole suite once more with CALCSIFT_SIMD=scalar."""

import hashlib
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import calcsift
from conftest import BUILD_BIN, corpus_files, write_doc
from xmlbuild import make_doc

HERE = Path(__file__).resolve().parent
# Set in a rerun of the suite with one kernel set forced; the comparisons across sets run once, in the plain run.
FORCED = os.environ.get("CALCSIFT_SIMD") or None
PROPERTIES = ("incar", "kpoints", "initial_structure", "final_structure", "ionic_steps", "eigenvalues",
              "projected", "efermi", "dos", "dielectric")


def sets_this_cpu_runs():
    """The kernel sets this CPU should run, widest first, from /proc/cpuinfo (None: cannot tell)."""
    if platform.machine() not in ("x86_64", "AMD64"):
        return ("scalar",)
    try:
        with open("/proc/cpuinfo") as info:
            flags = set(next(line for line in info if line.startswith("flags")).split())
    except (OSError, StopIteration):
        return None
    return (("avx2",) if {"avx2", "bmi1", "bmi2", "popcnt"} <= flags else ()) + ("sse2", "scalar")


def test_kernel_set_follows_cpu_and_switch():
    expected = sets_this_cpu_runs()
    if expected is not None:
        assert calcsift._core._simd_sets == expected
    assert calcsift._core._simd_kernels == (FORCED or calcsift._core._simd_sets[0])


def with_kernels(name, args):
    env = {**os.environ, "CALCSIFT_SIMD": name}
    return subprocess.Popen([sys.executable, *args], cwd=HERE, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


@pytest.mark.parametrize("value", ["", "bogus", "AVX2", "scalar\n"])
def test_switch_names_a_set_or_every_parse_fails(tmp_path, value):
    code = ("import sys, calcsift\n"
            "print(calcsift._core._simd_kernels)\n"
            "for _ in range(2):\n"
            "    try:\n"
            "        print(calcsift.Vasprun(sys.argv[1]).parameters is None)\n"
            "    except RuntimeError as e:\n"
            "        print(e)\n")
    path = write_doc(tmp_path, make_doc())
    out, err = with_kernels(value, ["-c", code, path]).communicate(timeout=60)
    if value == "":
        assert out.splitlines() == [calcsift._core._simd_sets[0], "True", "True"], err
        return
    shown = value.replace("\n", "\\x0A")
    refusal = (f"CALCSIFT_SIMD='{shown}': no SIMD kernel set has that name; "
               f"the sets this CPU runs are {', '.join(calcsift._core._simd_sets)} (unset: the widest)")
    assert out.splitlines() == ["None", refusal, refusal], err


def fingerprint(value):
    """A nested value with arrays replaced by a hash of their shape and bytes (floats stay exact in repr)."""
    if isinstance(value, np.ndarray):
        return ("array", value.shape, hashlib.sha256(np.ascontiguousarray(value).tobytes()).hexdigest())
    if isinstance(value, dict):
        return {k: fingerprint(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [fingerprint(v) for v in value]
    return value


def corpus_fingerprints():
    out = {}
    for path in corpus_files():
        v = calcsift.Vasprun(str(path), parse_projected=True)
        out[path.name] = repr([fingerprint(getattr(v, p)) for p in PROPERTIES])
    return out


@pytest.mark.skipif(FORCED is not None or not corpus_files(), reason="a rerun with one set forced, or no corpus")
def test_corpus_reads_alike_on_every_kernel_set():
    code = "import json, test_simd; print(json.dumps(test_simd.corpus_fingerprints()))"
    others = {name: with_kernels(name, ["-c", code]) for name in calcsift._core._simd_sets[1:]}
    here = corpus_fingerprints()  # the widest set, while the others run
    for name, proc in others.items():
        out, err = proc.communicate(timeout=300)
        assert proc.returncode == 0, err[-3000:]
        there = json.loads(out)
        assert there.keys() == here.keys()
        assert [f for f in here if there[f] != here[f]] == [], f"read otherwise by the {name} set"


def sweep_program(name):
    """A C++ sweep (tests/cpp) from the build: beside $CALCSIFT_SWEEP (fixed_width_sweep) or $CALCSIFT_CLI, else
    in the build's bin/ (PYTHONPATH=<build>)."""
    candidates = [Path(os.environ[v]).with_name(name) for v in ("CALCSIFT_SWEEP", "CALCSIFT_CLI") if os.environ.get(v)]
    return next((c for c in candidates + [BUILD_BIN / name] if c.exists()), None)


# fixed_width_sweep: rows of numbers through every reader of a row; scan_sweep: the tokenizer, UTF-8 and search
# scans of every set against the scalar ones.
@pytest.mark.parametrize("name", ["fixed_width_sweep", "scan_sweep"])
def test_cpp_sweep(name):
    program = sweep_program(name)
    if FORCED is not None or program is None:
        pytest.skip("a rerun with one set forced, or the sweep not built (set CALCSIFT_SWEEP or CALCSIFT_CLI)")
    proc = subprocess.run([str(program)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "agrees" in proc.stdout
