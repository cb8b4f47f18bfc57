"""A run as pymatgen ``Structure`` objects and ionic-step dicts: ``calcsift.to_pymatgen``."""

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional

import numpy as np
from pymatgen.core import Lattice, Structure

from ._common import ionic_trajectory, open_run, present


@dataclass(frozen=True)
class PymatgenRun:
    """What ``calcsift.to_pymatgen`` returns; the attribute names are those of pymatgen's run reader."""

    initial_structure: Structure
    final_structure: Structure
    structures: List[Structure] = field(default_factory=list)
    ionic_steps: List[Dict[str, Any]] = field(default_factory=list)
    final_energy: Optional[float] = None


def to_pymatgen(path, *, ionic_step_skip=None, ionic_step_offset=0):
    run = open_run(path, ionic_step_skip, ionic_step_offset)
    t = ionic_trajectory(run)
    species = run.atoms
    structures = [Structure(Lattice(lat), species, pos) for lat, pos in zip(t["lattice"], t["positions"])]
    scf = run.electronic_steps
    steps = []
    for i, s in enumerate(structures):
        step = {"structure": s}
        for name in ("e_fr_energy", "e_wo_entrp", "e_0_energy"):
            step[name] = float(t[name][i])
        if present(t["forces"][i]):
            step["forces"] = t["forces"][i]
        if present(t["stress"][i]):
            step["stress"] = t["stress"][i]
        step["electronic_steps"] = [
            {"e_fr_energy": float(e[0]), "e_wo_entrp": float(e[1]), "e_0_energy": float(e[2])} for e in scf[i]]
        steps.append(step)

    flags = run.selective_dynamics
    extra = {} if flags is None else {"selective_dynamics": np.asarray(flags, dtype=bool).tolist()}
    initial = _structure(run.initial_structure, extra)
    final = _structure(run.final_structure, extra)
    return PymatgenRun(initial, final, structures, steps, run.final_energy)


def _structure(d, site_properties):
    return Structure(Lattice(d["lattice"]), d["species"], d["positions"],
                     site_properties=dict(site_properties) or None)
