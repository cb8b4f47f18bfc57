"""Kept ionic steps as ``ase.Atoms`` with a single-point calculator each."""

import operator

import numpy as np
from ase import Atoms
from ase.calculators.singlepoint import SinglePointCalculator
from ase.constraints import FixAtoms, FixScaled
from ase.units import GPa, fs

from ._common import open_run

# VASP writes the stress in kBar with pressure positive; ASE wants eV/A^3 with
# tension positive, in Voigt order xx, yy, zz, yz, xz, xy.
_KBAR = 0.1 * GPa
_VOIGT = (np.array([0, 1, 2, 1, 0, 0]), np.array([0, 1, 2, 2, 2, 1]))


def to_ase(path, index=":", *, ionic_step_skip=None, ionic_step_offset=0):
    run = open_run(path, ionic_step_skip, ionic_step_offset)
    return images(run, index, ionic_step_offset)


def images(run, index=":", offset=0):
    """``index`` as in ``ase.io.read``: an int gives one Atoms, a slice or its text a list. ``offset`` is the
    run's ``ionic_step_offset``: with 0, the first kept step is the run's first, which has its initial velocities."""
    if isinstance(index, str):
        from ase.io.formats import string2index

        index = string2index(index)
    t = run.trajectory
    if isinstance(index, slice):
        return list(iter_images(run, index, t, offset))
    n = len(t["e_0_energy"])
    i = operator.index(index)
    if not -n <= i < n:
        raise IndexError("ionic step index %d out of range: the run has %d kept steps" % (i, n))
    return next(iter_images(run, slice(i % n, i % n + 1), t, offset))


def iter_images(run, selection, t=None, offset=0):
    """The Atoms of the steps a slice selects, built one at a time."""
    t = run.trajectory if t is None else t
    n = len(t["e_0_energy"])
    steps = range(n)[selection]
    if not steps:
        return
    # The numeric work for all selected steps at once; per step only the objects remain.
    pick = np.asarray(steps, dtype=np.intp)
    cells = t["lattice"][pick]
    positions = np.matmul(t["positions"][pick], cells)
    forces = t["forces"][pick]
    has_forces = ~np.isnan(forces).all(axis=(1, 2)) if forces.size else np.zeros(len(pick), bool)
    stress = -_KBAR * t["stress"][pick][:, _VOIGT[0], _VOIGT[1]]
    has_stress = ~np.isnan(stress).all(axis=1)
    energy, free_energy = t["e_0_energy"][pick], t["e_fr_energy"][pick]
    magnetization = t.get("magnetization")
    if magnetization is not None:
        magnetization = magnetization[pick]
        has_magnetization = (~np.isnan(magnetization).all(axis=(1, 2)) if magnetization.size
                             else np.zeros(len(pick), bool))
        if magnetization.shape[2] == 1:
            magnetization = magnetization[:, :, 0]
    numbers = Atoms(symbols=run.atoms).numbers
    constraints = _constraints(run)
    velocities = run.initial_velocities if offset == 0 else None
    for k in range(len(pick)):
        atoms = Atoms(numbers=numbers, positions=positions[k], cell=cells[k], pbc=True,
                      constraint=[c.copy() for c in constraints])
        results = {}
        if not np.isnan(energy[k]):
            results["energy"] = float(energy[k])
        if not np.isnan(free_energy[k]):
            results["free_energy"] = float(free_energy[k])
        if has_forces[k]:
            results["forces"] = forces[k]
        if has_stress[k]:
            results["stress"] = stress[k]
        if magnetization is not None and has_magnetization[k]:
            results["magmoms"] = magnetization[k]
        if velocities is not None and steps[k] == 0:
            # VASP writes A/fs; the constraints must not zero the momenta of fixed atoms.
            atoms.set_momenta(atoms.get_masses()[:, None] * np.asarray(velocities) / fs, apply_constraint=False)
        atoms.calc = SinglePointCalculator(atoms, **results)
        yield atoms


def _constraints(run):
    """The constraints of selective dynamics: FixAtoms where no direction is free, FixScaled where some are."""
    flags = run.selective_dynamics  # True = free
    if flags is None:
        return []
    fixed = ~np.asarray(flags, dtype=bool)
    whole = np.flatnonzero(fixed.all(axis=1))
    partial = np.flatnonzero(fixed.any(axis=1) & ~fixed.all(axis=1))
    constraints = []
    if len(whole):
        constraints.append(FixAtoms(indices=whole))
    if len(partial):
        constraints.append(FixScaled(partial, fixed[partial]))
    return constraints
