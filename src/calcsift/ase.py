"""Runs as ``ase.Atoms``: ``calcsift.to_ase`` and the ASE I/O format ``calcsift``.

The format is registered through the entry point group ``ase.ioformats``, so ASE imports this module whenever
``ase.io`` is imported: at the top it imports nothing of ASE but its plugin record, and the functions that build
images import the rest. ``ase.io.read(path, index=":", format="calcsift")`` calls ``read_calcsift``.

Each kept ionic step becomes one image with a single-point calculator. A run without any ionic step (cut before
its first calculation had a structure) is one image of its initial structure, without a calculator, as ASE's own
reader gives it.
"""

import gzip
import io
import operator
import os
import tempfile

import numpy as np
from ase.utils.plugins import ExternalIOFormat

from ._common import ionic_trajectory, open_run

# Binary file objects ('B'): ASE opens the path (a .gz through gzip); multiple images ('+').
# No extension or magic is claimed: the format is chosen by name, never guessed.
calcsift_format = ExternalIOFormat(
    desc="VASP vasprun.xml (plain or .gz) read by calcsift",
    code="+B",
    module="calcsift.ase",
)

# VASP writes the stress in kBar with pressure positive; ASE wants eV/A^3 with
# tension positive, in Voigt order xx, yy, zz, yz, xz, xy.
_VOIGT = (np.array([0, 1, 2, 1, 0, 0]), np.array([0, 1, 2, 2, 2, 1]))


def to_ase(path, index=":", *, ionic_step_skip=None, ionic_step_offset=0):
    run = open_run(path, ionic_step_skip, ionic_step_offset)
    return images(run, index, ionic_step_offset)


def read_calcsift(fileobj, index=slice(None), **options):
    """Images of the kept ionic steps, one at a time; ``options`` are ``ionic_step_skip`` and
    ``ionic_step_offset``. ``index`` is a slice (ASE turns an int into one)."""
    path = _path_of(fileobj)
    if path is not None:
        run = open_run(path, **options)
    else:
        # A stream without a file calcsift could open itself: copy its text to one.
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "vasprun.xml")
            with open(path, "wb") as out:
                data = fileobj.read()
                out.write(data.encode("utf-8") if isinstance(data, str) else data)
            run = open_run(path, **options)
    offset = options.get("ionic_step_offset", 0)
    if isinstance(index, slice):
        yield from iter_images(run, index, offset=offset)
    else:
        yield images(run, index, offset)


def images(run, index=":", offset=0):
    """``index`` as in ``ase.io.read``: an int gives one Atoms, a slice or its text a list. ``offset`` is the
    run's ``ionic_step_offset``: with 0, the first kept step is the run's first, which has its initial velocities."""
    if isinstance(index, str):
        from ase.io.formats import string2index

        index = string2index(index)
    t = ionic_trajectory(run)
    if isinstance(index, slice):
        return list(iter_images(run, index, t, offset))
    n = _count(t, offset)
    i = operator.index(index)
    if not -n <= i < n:
        if n and not len(t["e_0_energy"]):
            raise IndexError("ionic step index %d out of range: the run has no ionic step, its one image is the "
                             "initial structure" % i)
        raise IndexError("ionic step index %d out of range: the run has %d kept steps" % (i, n))
    return next(iter_images(run, slice(i % n, i % n + 1), t, offset))


def _count(t, offset):
    """The number of images: one per kept step, or the initial structure alone for a run without steps (which an
    offset passes over like any first image)."""
    n = len(t["e_0_energy"])
    return n if n or offset else 1


def iter_images(run, selection, t=None, offset=0):
    """The Atoms of the steps a slice selects, built one at a time."""
    from ase.units import GPa

    t = ionic_trajectory(run) if t is None else t
    if not len(t["e_0_energy"]):
        if range(_count(t, offset))[selection]:
            yield _initial_image(run)
        return
    steps = range(len(t["e_0_energy"]))[selection]
    if not steps:
        return
    # The numeric work for all selected steps at once; per step only the objects remain.
    pick = np.asarray(steps, dtype=np.intp)
    cells = t["lattice"][pick]
    positions = np.matmul(t["positions"][pick], cells)
    forces = t["forces"][pick]
    has_forces = ~np.isnan(forces).all(axis=(1, 2)) if forces.size else np.zeros(len(pick), bool)
    kbar = 0.1 * GPa
    stress = -kbar * t["stress"][pick][:, _VOIGT[0], _VOIGT[1]]
    has_stress = ~np.isnan(stress).all(axis=1)
    energy, free_energy = t["e_0_energy"][pick], t["e_fr_energy"][pick]
    magnetization = t.get("magnetization")
    if magnetization is not None:
        magnetization = magnetization[pick]
        has_magnetization = (~np.isnan(magnetization).all(axis=(1, 2)) if magnetization.size
                             else np.zeros(len(pick), bool))
        if magnetization.shape[2] == 1:
            magnetization = magnetization[:, :, 0]
    build = _Builder(run, offset)
    from ase.calculators.singlepoint import SinglePointCalculator

    for k in range(len(pick)):
        atoms = build.atoms(positions[k], cells[k], first=steps[k] == 0)
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
        atoms.calc = SinglePointCalculator(atoms, **results)
        yield atoms


def _initial_image(run):
    """The initial structure of a run without ionic steps, with its constraints and velocities; no calculator."""
    s = run.initial_structure
    cell = np.asarray(s["lattice"], dtype=float)
    return _Builder(run, 0).atoms(np.matmul(np.asarray(s["positions"], dtype=float).reshape(-1, 3), cell), cell,
                                  first=True)


class _Builder:
    """Makes the Atoms of a run's images: symbols, constraints, and the initial velocities on the first image."""

    def __init__(self, run, offset):
        from ase import Atoms

        self._atoms = Atoms
        self.numbers = Atoms(symbols=run.atoms).numbers
        self.constraints = _constraints(run)
        # With an offset, the first kept step is not the run's first.
        self.velocities = run.initial_velocities if offset == 0 else None

    def atoms(self, positions, cell, first):
        atoms = self._atoms(numbers=self.numbers, positions=positions, cell=cell, pbc=True,
                            constraint=[c.copy() for c in self.constraints])
        if first and self.velocities is not None:
            from ase.units import fs

            # VASP writes A/fs; the constraints must not zero the momenta of fixed atoms.
            atoms.set_momenta(atoms.get_masses()[:, None] * np.asarray(self.velocities) / fs, apply_constraint=False)
        return atoms


def _constraints(run):
    """The constraints of selective dynamics: FixAtoms where no direction is free, FixScaled where some are."""
    flags = run.selective_dynamics  # True = free
    if flags is None:
        return []
    from ase.constraints import FixAtoms, FixScaled

    fixed = ~np.asarray(flags, dtype=bool)
    whole = np.flatnonzero(fixed.all(axis=1))
    partial = np.flatnonzero(fixed.any(axis=1) & ~fixed.all(axis=1))
    constraints = []
    if len(whole):
        constraints.append(FixAtoms(indices=whole))
    if len(partial):
        constraints.append(FixScaled(partial, fixed[partial]))
    return constraints


def _path_of(fileobj):
    """The path of a plain or gzip file object (calcsift reads both), else None."""
    if isinstance(fileobj, (str, os.PathLike)):
        return os.fspath(fileobj)
    if isinstance(fileobj, (io.BufferedReader, io.FileIO, io.TextIOWrapper, gzip.GzipFile)):
        name = getattr(fileobj, "name", None)
        if isinstance(name, str) and os.path.isfile(name):
            return name
    return None
