"""The reader's SIMD kernel sets: the choice and the CALCSIFT_SIMD switch, the number and row tests again on the
scalar set, real files read alike by both sets, and the C++ sweep of fixed-width rows."""

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
from conftest import BUILD_BIN, corpus_files

HERE = Path(__file__).resolve().parent
SCALAR_RUN = os.environ.get("CALCSIFT_SIMD") == "scalar"
# The modules whose tests read numbers and rows; rerun with the scalar kernels.
NUMBER_TESTS = ["test_reader.py", "test_calculations.py", "test_simd.py"]
PROPERTIES = ("incar", "kpoints", "initial_structure", "final_structure", "ionic_steps", "eigenvalues",
              "projected", "efermi", "dos", "dielectric")


def avx2_set_runs_here():
    """Whether this CPU has every instruction set the AVX2 kernels are built for (None: cannot tell)."""
    if platform.machine() not in ("x86_64", "AMD64"):
        return False
    try:
        with open("/proc/cpuinfo") as info:
            flags = next(line for line in info if line.startswith("flags")).split()
    except (OSError, StopIteration):
        return None
    return {"avx2", "bmi1", "bmi2", "popcnt"} <= set(flags)


def test_kernel_set_follows_cpu_and_switch():
    avx2 = avx2_set_runs_here()
    if SCALAR_RUN or avx2 is False:
        assert calcsift._core._simd_kernels == "scalar"
    elif avx2:
        assert calcsift._core._simd_kernels == "avx2"


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


def run_scalar(args):
    env = {**os.environ, "CALCSIFT_SIMD": "scalar"}
    return subprocess.run([sys.executable, *args], cwd=HERE, env=env, capture_output=True, text=True, timeout=300)


@pytest.mark.skipif(SCALAR_RUN, reason="this is the scalar run")
def test_number_and_row_tests_on_scalar_kernels():
    proc = run_scalar(["-m", "pytest", "-q", "-rA", "-p", "no:cacheprovider", *NUMBER_TESTS])
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-2000:]
    # That run's own check that its module chose the scalar set.
    assert "PASSED test_simd.py::test_kernel_set_follows_cpu_and_switch" in proc.stdout


@pytest.mark.skipif(SCALAR_RUN or not corpus_files(), reason="the scalar run, or no corpus")
def test_corpus_reads_alike_on_both_kernel_sets():
    code = "import json, test_simd; print(json.dumps(test_simd.corpus_fingerprints()))"
    proc = run_scalar(["-c", code])
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert json.loads(proc.stdout) == corpus_fingerprints()


def sweep_program():
    """tests/cpp/fixed_width_sweep from the build: $CALCSIFT_SWEEP, else beside $CALCSIFT_CLI, else in the
    build folder the package comes from."""
    if os.environ.get("CALCSIFT_SWEEP"):
        return Path(os.environ["CALCSIFT_SWEEP"])
    candidates = [BUILD_BIN / "fixed_width_sweep"]
    if os.environ.get("CALCSIFT_CLI"):
        candidates.insert(0, Path(os.environ["CALCSIFT_CLI"]).with_name("fixed_width_sweep"))
    return next((c for c in candidates if c.exists()), None)


@pytest.mark.skipif(SCALAR_RUN or sweep_program() is None,
                    reason="the scalar run, or fixed_width_sweep not found (set CALCSIFT_SWEEP or CALCSIFT_CLI)")
def test_fixed_width_sweep():
    proc = subprocess.run([str(sweep_program())], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "every reader agrees" in proc.stdout
