"""Ionic steps, machine-learned MD steps and their count, as pymatgen's reader holds them.

calcsift is read without ionic_step_skip and ionic_step_offset: every <calculation> is in ``calculations``, every
step with a structure a row of ``trajectory``; the selection happens here, by pymatgen's rules (a calculation
counts whether or not it has a structure; machine-learned steps before the first and after the last calculation
are always kept).
"""

import numpy as np

from .._common import present


def kept(index, skip, offset):
    """Calculation ``index`` (0-based over all of them) is selected by ionic_step_skip and ionic_step_offset."""
    return index >= offset and (index - offset) % (skip or 1) == 0


class Steps:
    """The per-step data of a run read without selection: calculations and machine-learned steps paired with
    their trajectory rows."""

    def __init__(self, run, make_structure):
        self.calcs = run.calculations
        self.ml_steps = run.ml_steps or []
        t = run.trajectory
        self.lattice, self.positions = t["lattice"], t["positions"]
        self.forces, self.stress = t["forces"], t["stress"]
        self.magnetization = t.get("magnetization")
        self.make = make_structure
        learned = t.get("machine_learned")
        nrows = len(self.lattice)
        if learned is None:
            calc_rows, ml_rows = np.arange(nrows), np.zeros(0, dtype=np.intp)
        else:
            calc_rows, ml_rows = np.flatnonzero(~learned), np.flatnonzero(learned)
        with_step = [i for i, c in enumerate(self.calcs) if c.get("step") is not None]
        if len(with_step) != len(calc_rows):
            raise RuntimeError(f"calcsift: {len(with_step)} calculations with a structure, "
                               f"{len(calc_rows)} trajectory rows")
        self.row = dict(zip(with_step, calc_rows.tolist()))
        self.ml_row = ml_rows.tolist() if len(ml_rows) == len(self.ml_steps) else None

    def structure(self, index):
        r = self.row.get(index)
        if r is None:
            return None
        return self.make(self.lattice[r], self.positions[r], self.calcs[index].get("selective"))

    def _arrays(self, index):
        """The calculation's varrays in file order: forces, stress and magnetization come first in VASP's files."""
        out = {}
        r = self.row.get(index)
        if r is not None:
            if present(self.forces[r]):
                out["forces"] = self.forces[r].copy()
            if present(self.stress[r]):
                out["stress"] = self.stress[r].copy()
            if self.magnetization is not None and present(self.magnetization[r]):
                m = self.magnetization[r]
                width = int((~np.isnan(m)).any(axis=0).sum())
                out["magnetization"] = np.ascontiguousarray(m[:, :width])
        out.update(self.calcs[index]["varrays"])
        return out

    def ionic_step(self, index):
        c = self.calcs[index]
        step = dict(c.get("energy", ()))
        step.update(self._arrays(index))
        step["electronic_steps"] = [e for e in c["scsteps"] if e]
        step["structure"] = self.structure(index)
        return step

    def nmr_steps(self, index):
        """A chemical-shift (LCHIMAG) calculation as pymatgen splits it: one step per run of electronic steps
        whose free energies follow each other within 1 eV (the second of a run always joins it); the first step
        holds the varrays and the structure, the last one also the energies of the last electronic step."""
        scf = [e for e in self.calcs[index]["scsteps"] if e]
        groups = []
        for e in scf:
            if groups and (len(groups[-1]) == 1
                           or abs(e["e_fr_energy"] - groups[-1][-1]["e_fr_energy"]) < 1.0):
                groups[-1].append(e)
            else:
                groups.append([e])
        steps = []
        for g, group in enumerate(groups):
            step = {}
            if g == 0:
                step.update(self._arrays(index))
                step["structure"] = self.structure(index)
            step["electronic_steps"] = group
            steps.append(step)
        if steps:
            steps[-1].update(groups[-1][-1])
        return steps

    def ionic_steps(self, skip, offset, chemical_shifts):
        out = []
        for i in range(len(self.calcs)):
            if kept(i, skip, offset):
                if chemical_shifts:
                    out.extend(self.nmr_steps(i))
                else:
                    out.append(self.ionic_step(i))
        return out

    def _ml_structure(self, k):
        if self.ml_row is not None:
            r = self.ml_row[k]
            return self.make(self.lattice[r], self.positions[r])
        s = self.ml_steps[k]["structure"]
        return self.make(np.array(s["lattice"], dtype=np.float64), np.array(s["positions"], dtype=np.float64))

    def md_data(self, skip, offset):
        """Every kept calculation and machine-learned step in file order: {"structure", "forces", "energy"}."""
        ncalcs = len(self.calcs)
        by_calc = {}
        for k, m in enumerate(self.ml_steps):
            by_calc.setdefault(m["after"], []).append(k)
        out = []

        def add_ml(after):
            for k in by_calc.get(after, ()):
                m = self.ml_steps[k]
                forces = m.get("forces")
                out.append({"structure": self._ml_structure(k),
                            "forces": None if forces is None else forces.copy(),
                            "energy": dict(m.get("energy", ()))})

        add_ml(-1)
        for i in range(ncalcs):
            selected = kept(i, skip, offset)
            if selected:
                arrays = self._arrays(i)
                out.append({"structure": self.structure(i), "forces": arrays.get("forces"),
                            "energy": dict(self.calcs[i].get("energy", ()))})
            if selected or i == ncalcs - 1:
                add_ml(i)
        return out

