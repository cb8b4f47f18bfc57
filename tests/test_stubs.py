"""The type stubs: stubtest against the importable package, and mypy over typical use."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import require_module

require_module("mypy")

STUBS = Path(__file__).resolve().parent.parent / "src"


def mypy(tmp_path, *args):
    """Runs a mypy tool on the package in the source tree (it comes first on MYPYPATH)."""
    env = dict(os.environ, MYPYPATH=str(STUBS))
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=tmp_path,
                          timeout=600)


def test_stubtest_against_the_built_module(tmp_path):
    # The modules of the conversions import their peer library: without it they cannot be checked.
    missing = [f"calcsift.{peer}\n" for peer in ("ase", "pymatgen", "dpdata") if importlib.util.find_spec(peer) is None]
    (tmp_path / "allow.txt").write_text("".join(missing))
    result = mypy(tmp_path, "mypy.stubtest", "--allowlist", "allow.txt", "calcsift")
    assert result.returncode == 0, result.stdout + result.stderr


# Lines marked "# error" must be reported by mypy; every other line must pass.
USAGE = '''\
import pathlib
from typing import Any, Dict, List, Optional, Tuple, Union

import numpy as np
from numpy.typing import NDArray

import calcsift

run = calcsift.Vasprun("vasprun.xml", parse_projected=np.True_, ionic_step_skip=2)
calcsift.Vasprun("vasprun.xml", parse_dos=False, ionic_step_offset=1)
program: str = run.program
incar: Dict[str, Union[int, float, bool, str, List[float]]] = run.incar
count: int = run.atom_types[0]["count"]
kpoints: NDArray[np.float64] = run.kpoints["kpointlist"]
labels: List[Tuple[int, str]] = run.kpoints.get("labels", [])
volume: float = run.final_structure["volume"]
step = run.ionic_steps[-1]
forces: List[List[float]] = step["forces"]
magnetization: Optional[List[List[float]]] = step.get("magnetization")
shape: Optional[Tuple[int, int, int]] = run.eigenvalue_shape
efermi: Optional[float] = run.efermi
converged: bool = run.converged
dos = run.dos
if dos is not None:
    densities: NDArray[np.float64] = dos["total"]["densities"]
    partial = dos.get("partial")
    orbitals: List[str] = partial["orbitals"] if partial else []
projected = run.projected
if projected is not None:
    data: NDArray[np.float64] = projected["data"]
dielectric = run.dielectric
if dielectric is not None:
    imag: NDArray[np.float64] = dielectric["imag"]
flags: Optional[NDArray[np.bool_]] = run.selective_dynamics
tensors: Optional[Dict[str, NDArray[np.float64]]] = run.dielectric_tensors
kpoints_opt = run.kpoints_opt
if kpoints_opt is not None:
    bands: NDArray[np.float64] = kpoints_opt.get("eigenvalues", kpoints_opt["kpointlist"])
trajectory = run.trajectory
positions: NDArray[np.float64] = trajectory["positions"]
magnetization_array: Optional[NDArray[np.float64]] = trajectory.get("magnetization")
images: List[Any] = calcsift.to_ase("vasprun.xml", ionic_step_skip=2)
last_image = calcsift.to_ase("vasprun.xml", -1)
pmg = calcsift.to_pymatgen(pathlib.Path("vasprun.xml"))
final_energy: Optional[float] = pmg.final_energy
version: str = calcsift.__version__
try:
    calcsift.Vasprun("vasprun.xml")
except calcsift.VasprunError as failure:
    reason: str = failure.args[0]
calcsift.to_ase("vasprun.xml", 1.5)  # error
calcsift.to_pymatgen("vasprun.xml", 1)  # error
trajectory["energy"]  # error
bad_efermi: float = run.efermi  # error
run.dynmat["hessian"]  # error
run.converged = False  # error
calcsift.Vasprun(b"vasprun.xml")  # error
calcsift.Vasprun("vasprun.xml", parse_dos=1.5)  # error
calcsift.Vasprun("vasprun.xml", ionic_step_offset=None)  # error
calcsift.Vasprun("vasprun.xml", parse_eigenvalues=True)  # error
run.ionic_steps[0]["energy"]  # error
run.eigenvalues.shape  # error
class Sub(calcsift.Vasprun): ...  # error
'''


def test_mypy_accepts_typical_use_and_rejects_mistakes(tmp_path):
    (tmp_path / "use.py").write_text(USAGE)
    result = mypy(tmp_path, "mypy", "--strict", "--no-error-summary", "use.py")
    reported = sorted({int(m) for m in re.findall(r"^use\.py:(\d+): error", result.stdout, re.M)})
    expected = [i + 1 for i, line in enumerate(USAGE.splitlines()) if line.endswith("# error")]
    assert reported == expected, result.stdout + result.stderr
