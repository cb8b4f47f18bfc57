"""Vasprun.trajectory: the kept ionic steps as dense arrays, consistent with ionic_steps; NaN where a step lacks a block."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import calcsift
from conftest import CORPUS, corpus_files, energy_xml, make_doc, needs_corpus, structure_xml, vrows

FILES = corpus_files()
KEYS = ["positions", "lattice", "forces", "stress", "e_fr_energy", "e_wo_entrp", "e_0_energy"]
ENERGIES = ("e_fr_energy", "e_wo_entrp", "e_0_energy")


def version_tuple(v):
    return tuple(int(x) for x in v.version.split(".")[:2])


@needs_corpus
@pytest.mark.parametrize("options", [{}, {"ionic_step_skip": 2, "ionic_step_offset": 1}], ids=["all", "skip"])
@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
def test_trajectory_holds_the_ionic_steps(path, options):
    v = calcsift.Vasprun(str(path), **options)
    t, steps, natoms = v.trajectory, v.ionic_steps, len(v.atoms)
    learned = t.pop("machine_learned", np.zeros(len(t["e_0_energy"]), bool))
    ml = [m for m in v.ml_steps if any(c["step"] is not None for c in v.calculations[:m["after"] + 1][-1:])]
    assert learned.sum() == len(ml)
    for m, row in zip(ml, np.flatnonzero(learned)):       # the machine-learned steps, their energies as written
        assert np.array_equal(t["positions"][row], m["structure"]["positions"])
        assert t["e_fr_energy"][row] == m["energy"]["e_fr_energy"]
    t = {key: rows[~learned] for key, rows in t.items()}
    n = len(steps)
    assert list(t)[:7] == KEYS
    shapes = {"positions": (n, natoms, 3), "lattice": (n, 3, 3), "forces": (n, natoms, 3), "stress": (n, 3, 3)}
    for key in KEYS:
        assert t[key].shape == shapes.get(key, (n,)) and t[key].dtype == np.float64 and t[key].flags.c_contiguous
    for i, s in enumerate(steps):
        assert np.array_equal(t["positions"][i], s["structure"]["positions"])
        assert np.array_equal(t["lattice"][i], s["structure"]["lattice"])
        assert np.array_equal(t["forces"][i], s["forces"], equal_nan=True)
        if np.isnan(t["stress"][i]).all():             # the MD runs write no stress; ionic_steps keeps zeros
            assert path.name in ("real-13.xml", "real-15.xml.gz") and s["stress"] == [[0.0] * 3] * 3
        else:
            assert np.array_equal(t["stress"][i], s["stress"], equal_nan=True)
        assert t["e_fr_energy"][i] == s["e_fr_energy"]
        if version_tuple(v) >= (6, 1):          # consistent files keep their energies bit for bit
            assert [t[k][i] for k in ENERGIES] == [s[k] for k in ENERGIES]
    assert ("magnetization" in t) == any("magnetization" in s for s in steps)


@needs_corpus
def test_truncated_run_gives_the_complete_runs_first_steps():
    cut = calcsift.Vasprun(str(CORPUS / "real-04.xml")).trajectory
    full = calcsift.Vasprun(str(CORPUS / "real-03.xml")).trajectory
    n = len(cut["e_0_energy"])
    for key in KEYS:
        assert np.array_equal(cut[key], full[key][:n])


def calc(natoms=2, forces=True, stress=True, energy=True, magnetization=None):
    """A <calculation> with a structure and the chosen blocks (a run cut off mid-step lacks the later ones)."""
    parts = ["<calculation>\n", structure_xml(natoms, name=None)]
    if forces:
        parts.append(f'<varray name="forces">\n{vrows([(0.1, -0.2, 0.3)] * natoms)}</varray>\n')
    if stress:
        parts.append(f'<varray name="stress">\n{vrows([(1.0, 2.0, 3.0)] * 3)}</varray>\n')
    if magnetization is not None:
        parts.append(f'<varray name="magnetization">\n{vrows(magnetization)}</varray>\n')
    if energy:
        parts.append(energy_xml(-5.0))
    return "".join(parts) + "</calculation>\n"


def test_missing_blocks_give_nan_rows_and_leave_ionic_steps_as_they_were(doc):
    v = doc(make_doc(calc() + calc(forces=False, stress=False, energy=False) + calc(stress=False)))
    t, steps = v.trajectory, v.ionic_steps
    assert np.isnan(t["forces"][1]).all() and not np.isnan(t["forces"][[0, 2]]).any()
    assert np.isnan(t["stress"][1:]).all() and np.array_equal(t["stress"][0], [[1, 2, 3]] * 3)
    assert [np.isnan(t[k]).tolist() for k in ENERGIES] == [[False, True, False]] * 3
    assert steps[1]["forces"] == [] and steps[1]["stress"] == [[0.0] * 3] * 3 and steps[2]["stress"] == [[0.0] * 3] * 3
    assert [steps[1][k] for k in ENERGIES] == [0.0] * 3
    # A run cut off after the last step's structure has no final energy to give (not 0 plus an entropy term).
    cut = doc(make_doc(calc() + calc(forces=False, stress=False, energy=False).replace(
        "<calculation>\n", "<calculation>\n<scstep>" + energy_xml(-5.0, -4.0, -4.5) + "</scstep>\n")))
    assert len(cut.electronic_steps[1]) == 1
    assert np.isnan(cut.final_energy) and np.isnan(cut.trajectory["e_0_energy"][1])


def test_cut_inside_the_forces_gives_nan_for_the_rows_not_written(doc):
    body = make_doc(calc(natoms=2), close=False)
    text = body + "<calculation>\n" + structure_xml(2, name=None) + '<varray name="forces">\n<v>1 2 3</v>\n'
    t = doc(text).trajectory
    assert np.array_equal(t["forces"][1], [[1, 2, 3], [np.nan] * 3], equal_nan=True)


def test_magnetization_is_nan_padded_to_the_widest_row(doc):
    v = doc(make_doc(calc(magnetization=[(0.5,), (0.25,)]) + calc() + calc(magnetization=[(1.0, 2.0, 3.0)])))
    m = v.trajectory["magnetization"]
    assert m.shape == (3, 2, 3)
    want = [[[0.5, np.nan, np.nan], [0.25, np.nan, np.nan]], [[np.nan] * 3] * 2, [[1, 2, 3], [np.nan] * 3]]
    assert np.array_equal(m, want, equal_nan=True)


def test_no_steps_gives_a_leading_zero(doc):
    t = doc(make_doc(atoms=("Ga", "As", "As"))).trajectory
    assert {k: a.shape for k, a in t.items()} == {
        "positions": (0, 3, 3), "lattice": (0, 3, 3), "forces": (0, 3, 3), "stress": (0, 3, 3),
        "e_fr_energy": (0,), "e_wo_entrp": (0,), "e_0_energy": (0,)}


def test_more_rows_than_atoms_is_an_error(doc):
    v = doc(make_doc(calc(natoms=2).replace("<v>0.1 -0.2 0.3</v>", "<v>0.1 -0.2 0.3</v><v>0 0 0</v>", 1)))
    with pytest.raises(RuntimeError, match=r"^Unexpected array shape: expected \[2, 3\], got \[3, 3\]$"):
        v.trajectory
    assert len(v.ionic_steps[0]["forces"]) == 3


def test_plot_example_runs(tmp_path):
    """examples/plot_relaxation.py on the bundled run: a picture with matplotlib, a table without."""
    examples = Path(__file__).resolve().parent.parent / "examples"
    out = tmp_path / "relaxation.png"
    result = subprocess.run([sys.executable, str(examples / "plot_relaxation.py"), str(examples / "vasprun.xml"),
                             "-o", str(out)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    if importlib.util.find_spec("matplotlib"):
        assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        nsteps = len(calcsift.Vasprun(str(examples / "vasprun.xml")).ionic_steps)
        assert len(result.stdout.splitlines()) == 1 + nsteps
