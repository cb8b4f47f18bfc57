"""Kept ionic steps as ``ase.Atoms`` with a single-point calculator each."""

import operator

import numpy as np
from ase import Atoms
from ase.calculators.singlepoint import SinglePointCalculator
from ase.constraints import FixAtoms, FixScaled
from ase.units import GPa

from ._common import open_run, present, selective_flags

# VASP writes the stress in kBar with pressure positive; ASE wants eV/A^3 with
# tension positive, in Voigt order xx, yy, zz, yz, xz, xy.
_KBAR = 0.1 * GPa
_VOIGT = (np.array([0, 1, 2, 1, 0, 0]), np.array([0, 1, 2, 2, 2, 1]))


def to_ase(path, index=":", *, ionic_step_skip=None, ionic_step_offset=0):
    run = open_run(path, ionic_step_skip, ionic_step_offset)
    return images(run, index)


def images(run, index=":"):
    """``index`` as in ``ase.io.read``: an int gives one Atoms, a slice or its text a list."""
    if isinstance(index, str):
        from ase.io.formats import string2index

        index = string2index(index)
    t = run.trajectory
    if isinstance(index, slice):
        return list(iter_images(run, index, t))
    n = len(t["e_0_energy"])
    i = operator.index(index)
    if not -n <= i < n:
        raise IndexError("ionic step index %d out of range: the run has %d kept steps" % (i, n))
    return next(iter_images(run, slice(i % n, i % n + 1), t))


def iter_images(run, selection, t=None):
    """The Atoms of the steps a slice selects, built one at a time."""
    t = run.trajectory if t is None else t
    template = _template(run)
    for i in range(len(t["e_0_energy"]))[selection]:
        yield _atoms(t, i, template)


def _template(run):
    """An Atoms with the run's symbols, periodic, and the constraints of selective dynamics."""
    atoms = Atoms(symbols=run.atoms, pbc=True)
    flags = selective_flags(run)
    if flags is not None:
        fixed = ~np.asarray(flags, dtype=bool)
        whole = np.flatnonzero(fixed.all(axis=1))
        partial = np.flatnonzero(fixed.any(axis=1) & ~fixed.all(axis=1))
        constraints = []
        if len(whole):
            constraints.append(FixAtoms(indices=whole))
        if len(partial):
            constraints.append(FixScaled(partial, fixed[partial]))
        atoms.set_constraint(constraints)
    return atoms


def _atoms(t, i, template):
    atoms = template.copy()
    cell = t["lattice"][i]
    atoms.set_cell(cell)
    atoms.positions[:] = t["positions"][i] @ cell
    results = {}
    for key, name in (("energy", "e_0_energy"), ("free_energy", "e_fr_energy")):
        value = t[name][i]
        if not np.isnan(value):
            results[key] = float(value)
    forces = t["forces"][i]
    if present(forces):
        results["forces"] = forces
    stress = t["stress"][i]
    if present(stress):
        results["stress"] = -_KBAR * stress[_VOIGT]
    magnetization = t.get("magnetization")
    if magnetization is not None and present(magnetization[i]):
        m = magnetization[i]
        results["magmoms"] = m[:, 0] if m.shape[1] == 1 else m
    atoms.calc = SinglePointCalculator(atoms, **results)
    return atoms
