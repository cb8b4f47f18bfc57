"""dpdata's format "calcsift": ``dpdata.LabeledSystem(path, fmt="calcsift")`` reads a vasprun.xml through calcsift.

Frames, energies, forces, virials, cells and coordinates are those of dpdata's own ``vasp/xml`` reader, with the
same ``begin``, ``step`` and ``convergence_check`` and the same rotation of every frame to a lower-triangular cell
afterwards. Beyond it, this format reads ``.gz`` files, runs cut short (their complete calculations), ``****``
overflow fields (NaN) and runs with a calculation without structure (which adds no frame). Machine-learned
force-field steps are not frames, as in dpdata's reader.

Installed with calcsift, the format is found through the entry point group ``dpdata.plugins``; importing this
module registers it too.
"""

import os

import numpy as np
from dpdata.format import Format

from . import _core

# kBar * Å^3 -> eV, applied as dpdata applies it: stress * (volume * factor).
EV_PER_KBAR_A3 = 1 / 1602.176621

# VASP's default number of electronic steps, for a run whose record names none.
DEFAULT_NELM = 60


@Format.register("calcsift")
class CalcsiftXMLFormat(Format):
    """A VASP run record (vasprun.xml, plain or .gz) read by calcsift.

    ``begin`` and ``step`` select calculations as dpdata's ``vasp/xml`` does (over all of them); with
    ``convergence_check`` a calculation whose electronic loop ran NELM steps or more (every <scstep> counted;
    NELM the first of <parameters>) is left out.
    """

    @Format.post("rot_lower_triangular")
    def from_labeled_system(self, file_name, begin=0, step=1, convergence_check=True, **kwargs):
        run = _core.read_partial(os.fsdecode(os.fspath(file_name)), parse_dos=False, parse_eigen=False)
        return labeled_system(run, begin, step, convergence_check)


def _nelm(run):
    for name, _, text, _, _ in run.parameter_items or ():
        if name == "NELM":
            try:
                return int(text)
            except ValueError:
                break
    nelm = (run.incar or {}).get("NELM")
    return nelm if isinstance(nelm, int) else DEFAULT_NELM


def _species(run):
    names, numbs = [], []
    for t in run.atom_types:
        element = t["element"].strip()
        if element in names:
            numbs[names.index(element)] += t["count"]
        else:
            names.append(element)
            numbs.append(t["count"])
    types = np.array([names.index(a.strip()) for a in run.atoms], dtype=np.int64)
    return names, types, [np.int64(n) for n in numbs]


def labeled_system(run, begin=0, step=1, convergence_check=True):
    """The dict of a dpdata LabeledSystem from a calcsift run (before dpdata's rotation)."""
    t = run.trajectory
    learned = t.get("machine_learned")
    rows = np.arange(len(t["lattice"])) if learned is None else np.flatnonzero(~learned)
    calcs = run.calculations
    row_of = dict(zip((i for i, c in enumerate(calcs) if c.get("step") is not None), rows.tolist()))
    nelm = _nelm(run) if convergence_check else None
    frames = [row_of[i] for i in range(begin, len(calcs), step)
              if i in row_of and (nelm is None or len(calcs[i]["scsteps"]) < nelm)]
    names, types, numbs = _species(run)
    data = {"atom_names": names, "atom_types": types}
    if not frames:
        empty = np.zeros(0, dtype=np.float64)
        data.update(cells=empty, coords=empty.copy(), energies=empty.copy(), forces=empty.copy(), atom_numbs=numbs)
        return data
    cells = t["lattice"][frames]
    data["cells"] = cells
    data["coords"] = t["positions"][frames] @ cells
    data["energies"] = t["e_fr_energy"][frames]
    data["forces"] = t["forces"][frames]
    data["atom_numbs"] = numbs
    stress = t["stress"][frames]
    if not np.isnan(stress).all(axis=(1, 2)).any():
        data["virials"] = stress * (np.linalg.det(cells) * EV_PER_KBAR_A3)[:, None, None]
    return data
