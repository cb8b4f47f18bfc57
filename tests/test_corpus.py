"""Every real run record of the corpus loads, with default options and with everything on, and is consistent."""

import math
import re

import numpy as np
import pytest

import calcsift
from conftest import CORPUS, corpus_files, needs_corpus

pytestmark = needs_corpus
FILES = corpus_files()
ALL_ON = {"parse_dos": True, "parse_eigen": True, "parse_projected": True}


def notes():
    """The per-file notes of SOURCES.tsv as dicts (``atoms=2; calcs=1; dos=1 partial=0 ...``)."""
    out = {}
    for line in (CORPUS / "SOURCES.tsv").read_text().splitlines()[1:]:
        cols = line.split("\t")
        out[cols[0]] = dict(re.findall(r"(\w+)=([\w.-]+(?:\(\d+\))?)", cols[-1]))
    return out


def ids(files):
    return [p.name for p in files]


def same(a, b):
    return repr(a) == repr(b)          # nan-safe deep comparison of nested lists and dicts


@pytest.mark.parametrize("options", [{}, ALL_ON], ids=["default", "all-on"])
@pytest.mark.parametrize("path", FILES, ids=ids(FILES))
def test_corpus_file_loads_consistently(path, options):
    v = calcsift.Vasprun(str(path), **options)
    note = notes()[path.name]
    natoms = len(v.atoms)
    assert natoms == int(note["atoms"]) == sum(t["count"] for t in v.atom_types)
    assert re.fullmatch(r"Vasprun\(program=vasp, version=\S+, atoms=\[.*\], nkpts=(\d+), nsteps=(\d+)\)", repr(v))
    nkpts = len(v.kpoints["weights"])
    assert repr(v).endswith(f"nkpts={nkpts}, nsteps={len(v.ionic_steps)})")
    scheme, count = re.fullmatch(r"(.*)\((\d+)\)", note["kpoints"]).groups()
    assert (v.kpoints.get("scheme"), nkpts, v.kpoints["kpointlist"].shape) == (scheme, int(count), (nkpts, 3))

    steps = v.ionic_steps
    assert len(steps) <= int(note["calcs"])
    for s in [{"structure": v.initial_structure}, {"structure": v.final_structure}] + steps:
        assert len(s["structure"]["species"]) == len(s["structure"]["positions"]) == natoms
    for s in [{"structure": v.final_structure}] + steps:
        assert s["structure"]["species"] == v.atoms
    for s in steps:
        assert all(not math.isinf(s[k]) for k in ("e_fr_energy", "e_wo_entrp", "e_0_energy"))
        assert len(s["forces"]) == natoms and np.array(s["stress"]).shape == (3, 3)
    assert v.converged is (bool(steps) and steps[-1]["e_fr_energy"] != 0.0)

    if v.eigenvalues is not None:
        assert v.eigenvalue_shape == v.eigenvalues.shape[:3] and v.eigenvalues.shape[3] == 2
        assert v.eigenvalue_shape[1] == nkpts
        if "noncollinear" not in note:
            assert v.eigenvalue_shape[0] == int(note["ISPIN"])
    assert (v.eigenvalues is not None) == (note["eigenvalues"] != "0")
    assert (v.dos is not None) == (note["dos"] != "0")
    if v.dos is not None:
        total = v.dos["total"]
        assert total["densities"].shape == total["integrated"].shape
        assert len(total["energies"]) <= total["densities"].shape[1]
        assert v.efermi == v.dos["efermi"]
        assert ("partial" in v.dos) == (note["partial"] != "0")
    else:
        assert v.efermi is None
    if options:
        assert (v.projected is not None) == (note["projected"] != "0")
    if v.projected is not None:
        data, orbitals = v.projected["data"], v.projected["orbitals"]
        assert data.ndim == 5 and data.shape[1:] == (nkpts, v.eigenvalue_shape[2], natoms, len(orbitals))
    for a in [v.eigenvalues, v.kpoints["kpointlist"]] + ([v.projected["data"]] if v.projected else []):
        if a is not None:
            assert a.dtype == np.float64 and a.flags.c_contiguous


@pytest.mark.parametrize("path", FILES, ids=ids(FILES))
def test_switches_change_only_their_blocks(path):
    full = calcsift.Vasprun(str(path), **ALL_ON)
    bare = calcsift.Vasprun(str(path), parse_dos=False, parse_eigen=False, parse_projected=False)
    assert (bare.dos, bare.efermi, bare.eigenvalues, bare.eigenvalue_shape, bare.projected) == (None,) * 5
    for name in ("program", "version", "incar", "atoms", "atom_types", "initial_structure", "final_structure",
                 "ionic_steps", "converged"):
        assert same(getattr(full, name), getattr(bare, name)), name
    assert same(full.dielectric, bare.dielectric) and repr(full) == repr(bare)


def test_truncated_run_keeps_its_steps():
    v = calcsift.Vasprun(str(CORPUS / "real-04.xml"))
    complete = calcsift.Vasprun(str(CORPUS / "real-03.xml"))
    assert 0 < len(v.ionic_steps) <= len(complete.ionic_steps)
    assert same(v.ionic_steps, complete.ionic_steps[:len(v.ionic_steps)])


def test_initialpos_wins_over_an_earlier_primitive_cell():
    """VASP 6 writes <structure name="primitive_cell"> before <atominfo> and <structure name="initialpos">."""
    v = calcsift.Vasprun(str(CORPUS / "real-02.xml.gz"))
    assert v.initial_structure["species"] == ["Li", "H"]
    assert v.initial_structure["volume"] == pytest.approx(16.00208809)
