#!/usr/bin/env python3
"""Deterministic generator of synthetic VASP run records (``vasprun.xml``).

The documents mimic what VASP 6.4 writes, down to the fixed-width number
columns, the attribute spelling and the placement of every block, so that the
parser can be tested and benchmarked on files of any size without shipping
real outputs.  The numbers are pseudo-random but physically plausible and
internally consistent (energies converge, occupations follow the eigenvalues,
the DOS is a broadened histogram of the eigenvalues, ...).

Usage::

    python bench/generate.py PRESET OUT_PATH [--gzip] [--seed N] [--overflow-stars]
    python bench/generate.py --list

Output is gzip-compressed when OUT_PATH ends in ``.gz`` or ``--gzip`` is given.
The same preset and seed always give a byte-identical file (gzip output
included: the gzip header carries no name and no time stamp).

From Python::

    from generate import Params, generate, PRESETS
    generate("tiny", "out.xml", seed=1)
    generate(Params(nions=3, nsteps=4, line_mode=True, nkpts=20), "x.xml.gz")

Only the standard library is used; Python >= 3.9.
"""

import argparse
import gzip
import math
import operator
import random
import sys
import time
from dataclasses import dataclass, fields, replace
from typing import Dict, List, Optional, Sequence, Tuple, Union

# ---------------------------------------------------------------------------
# Element data: POMASS, ZVAL, POTCAR title, cohesive-ish energy per atom (eV),
# initial magnetic moment, volume per atom (A^3), dominant orbital character.
# ---------------------------------------------------------------------------
_ELEMENTS = {
    "H": (1.000, 1.0, "H 15Jun2001", -3.39, 0.0, 9.0, "s"),
    "Li": (7.010, 3.0, "Li_sv 10Sep2004", -1.91, 0.0, 20.0, "s"),
    "C": (12.011, 4.0, "C 08Apr2002", -9.22, 0.0, 10.5, "p"),
    "N": (14.001, 5.0, "N 08Apr2002", -8.32, 0.0, 12.0, "p"),
    "O": (16.000, 6.0, "O 08Apr2002", -4.95, 0.0, 12.0, "p"),
    "Si": (28.085, 4.0, "Si 05Jan2001", -5.42, 0.0, 20.0, "p"),
    "Ti": (47.880, 10.0, "Ti_pv 07Sep2000", -7.89, 0.5, 17.0, "d"),
    "Fe": (55.847, 8.0, "Fe 06Sep2000", -8.31, 2.5, 11.6, "d"),
    "Ni": (58.690, 10.0, "Ni 02Aug2007", -5.57, 0.6, 10.9, "d"),
    "Ga": (69.723, 3.0, "Ga 08Apr2002", -3.03, 0.0, 19.6, "p"),
    "As": (74.922, 5.0, "As 22Sep2009", -4.66, 0.0, 22.6, "p"),
    "Se": (78.960, 6.0, "Se 06Sep2000", -3.49, 0.0, 27.0, "p"),
    "Ce": (140.115, 12.0, "Ce 23Dec2003", -5.93, 0.0, 26.0, "f"),
    "Gd": (157.250, 18.0, "Gd 23Dec2003", -14.07, 7.0, 33.0, "f"),
}

# Orbital columns of the partial DOS and projections: LORBIT=11 writes the
# lm-decomposed set (9, or 16 with f states), LORBIT=10 the l-decomposed one.
_ORBITAL_SETS = {
    3: ("s", "p", "d"),
    4: ("s", "p", "d", "f"),
    9: ("s", "py", "pz", "px", "dxy", "dyz", "dz2", "dxz", "x2-y2"),
    16: ("s", "py", "pz", "px", "dxy", "dyz", "dz2", "dxz", "x2-y2",
         "fy3x2", "fxyz", "fyz2", "fz3", "fxz2", "fzx2", "fx3"),
}


def _l_of(orbital: str) -> int:
    """Angular momentum of an orbital column name (x2-y2 is a d orbital)."""
    return {"s": 0, "p": 1, "d": 2, "x": 2, "f": 3}[orbital[0]]

# High-symmetry path of a simple cubic cell, walked by line-mode runs.
_CUBIC_PATH = (
    (0.0, 0.0, 0.0), (0.5, 0.0, 0.0), (0.5, 0.5, 0.0), (0.0, 0.0, 0.0),
    (0.5, 0.5, 0.5), (0.5, 0.0, 0.0), (0.5, 0.5, 0.0), (0.5, 0.5, 0.5),
)


@dataclass(frozen=True)
class Params:
    """Shape and content of one generated run record.

    The defaults describe a small spin-polarised relaxation with every block.
    ``overflow_stars`` makes a few fields overflow their Fortran width the way
    VASP prints them: the KINTER parameter (``******``), one stress component
    and one force component of the first ionic step (16 stars each).
    ``with_magnetization`` adds a per-ion ``<varray name="magnetization" >``
    after the stress of every step of a spin-polarised run; VASP itself does
    not write that block, so it is off in every preset and only serves to
    test tolerance of unexpected elements.
    """

    nions: int = 4
    elements: Tuple[str, ...] = ("Fe", "O")
    counts: Optional[Tuple[int, ...]] = None  # atoms per element; None = spread evenly
    nspins: int = 2
    nkpts: int = 6
    nbands: int = 32
    nsteps: int = 3  # ionic steps = <calculation> elements
    scsteps_first: int = 10  # electronic steps of the first ionic step
    scsteps: int = 5  # electronic steps of the later ionic steps
    nedos: int = 301
    norbitals: int = 9
    with_dos: bool = True
    with_partial: bool = True
    with_projected: bool = True
    with_dielectric: bool = False
    ndielectric: int = 1000  # frequency points of each dielectric array
    line_mode: bool = False
    md: bool = False
    selective: bool = False
    with_primitive: bool = True
    with_magnetization: bool = False
    overflow_stars: bool = False
    system: str = "unknown system"

    def composition(self) -> Tuple[int, ...]:
        if self.counts is not None:
            return tuple(self.counts)
        n = len(self.elements)
        return tuple(self.nions // n + (1 if i < self.nions % n else 0) for i in range(n))

    def species(self) -> List[str]:
        """Element symbol of every ion, grouped by type as VASP orders them."""
        out: List[str] = []
        for el, c in zip(self.elements, self.composition()):
            out.extend([el] * c)
        return out

    def nelect(self) -> float:
        return sum(_ELEMENTS[el][1] * c for el, c in zip(self.elements, self.composition()))

    def occupied(self) -> Tuple[int, ...]:
        """Number of fully occupied bands in each spin channel."""
        ne = int(round(self.nelect()))
        if self.nspins == 1:
            return ((ne + 1) // 2,)
        moment = int(round(sum(_ELEMENTS[el][4] for el in self.species())))
        moment = min(moment, ne, max(0, 2 * self.nbands - ne - 2))
        if (ne - moment) % 2:
            moment -= 1
        moment = max(moment, 0 if ne % 2 == 0 else 1)
        up = (ne + moment) // 2
        return (up, ne - up)

    def line_segments(self) -> int:
        """Segments of the band path; the k-points are split evenly over them."""
        for nseg in range(len(_CUBIC_PATH) - 1, 0, -1):
            if self.nkpts % nseg == 0 and self.nkpts // nseg >= 2:
                return nseg
        return 0

    def lorbit(self) -> int:
        if not (self.with_partial or self.with_projected):
            return 0
        return 11 if self.norbitals in (9, 16) else 10

    def validate(self) -> "Params":
        """Raise ValueError when the parameters cannot describe a real run."""
        def need(cond: bool, msg: str) -> None:
            if not cond:
                raise ValueError(msg)

        for el in self.elements:
            need(el in _ELEMENTS, "unknown element %r (known: %s)" % (el, " ".join(sorted(_ELEMENTS))))
        need(len(set(self.elements)) == len(self.elements), "elements must be distinct")
        need(self.nions >= 1 and self.nions <= 99999, "nions must be in 1..99999")
        need(self.nions >= len(self.elements), "every element needs at least one ion")
        comp = self.composition()
        need(len(comp) == len(self.elements), "counts must give one number per element")
        need(all(c >= 1 for c in comp), "every element needs at least one ion")
        need(sum(comp) == self.nions, "counts must add up to nions")
        need(self.nspins in (1, 2), "nspins must be 1 or 2")
        need(self.nkpts >= 1, "nkpts must be positive")
        need(self.nsteps >= 1, "nsteps must be positive")
        need(self.scsteps_first >= 2 and self.scsteps >= 2, "each ionic step needs at least 2 electronic steps")
        need(self.nedos >= 2, "nedos must be at least 2")
        need(self.ndielectric >= 2, "ndielectric must be at least 2")
        need(self.norbitals in _ORBITAL_SETS, "norbitals must be one of %s" % sorted(_ORBITAL_SETS))
        need(max(self.occupied()) < self.nbands, "nbands must exceed the %d occupied bands" % max(self.occupied()))
        need(not (self.line_mode and self.md), "a line-mode band run is not a molecular-dynamics run")
        need(not self.line_mode or self.line_segments() > 0,
             "line mode needs nkpts = segments * divisions with 1..7 segments and divisions >= 2")
        need(not self.with_magnetization or self.nspins == 2, "magnetization needs nspins=2")
        need("<" not in self.system and "&" not in self.system, "system must not contain markup")
        return self


PRESETS: Dict[str, Params] = {
    # every block in a few dozen kilobytes, for unit tests
    "tiny": Params(nions=2, elements=("Ga", "As"), nspins=2, nkpts=3, nbands=5, nsteps=2,
                   scsteps_first=4, scsteps=3, nedos=11, norbitals=9, with_dielectric=True,
                   ndielectric=6, selective=True, system="GaAs tiny"),
    # the bundled example: spin-polarised FeO relaxation with every block
    "example": Params(nions=4, elements=("Fe", "O"), nspins=2, nkpts=3, nbands=18, nsteps=3,
                      scsteps_first=8, scsteps=4, nedos=41, norbitals=9, with_dielectric=True,
                      ndielectric=40, system="FeO example"),
    "small": Params(nions=8, elements=("Fe", "O"), nspins=2, nkpts=8, nbands=40, nsteps=6,
                    nedos=201, norbitals=9, with_dielectric=True, ndielectric=300,
                    system="FeO small"),
    "relax": Params(nions=24, elements=("Ni", "O"), nspins=2, nkpts=20, nbands=160, nsteps=50,
                    scsteps_first=16, scsteps=7, nedos=1001, norbitals=9, system="NiO relax"),
    "md": Params(nions=64, elements=("Si",), nspins=1, nkpts=1, nbands=160, nsteps=17000,
                 scsteps_first=12, scsteps=4, nedos=301, with_partial=False,
                 with_projected=False, md=True, system="Si64 md"),
    "bands": Params(nions=40, elements=("Ce", "O"), counts=(14, 26), nspins=2, nkpts=200,
                    nbands=192, nsteps=1, scsteps_first=9, nedos=5001, norbitals=16,
                    line_mode=True, system="CeO2 bands"),
}


# ---------------------------------------------------------------------------
# Output sink: collects text pieces and writes them in large blocks.
# ---------------------------------------------------------------------------
class _Sink:
    def __init__(self, raw, limit: int = 4 << 20) -> None:
        self._raw = raw
        self._limit = limit  # characters held before writing
        self.parts: List[str] = []
        self.nbytes = 0

    def flush(self) -> None:
        if self.parts:
            data = "".join(self.parts).encode("latin-1")
            self.parts.clear()
            self._raw.write(data)
            self.nbytes += len(data)

    def check(self) -> None:
        """Write out once enough text is pending; call between blocks."""
        if len(self.parts) >= 4096 or sum(map(len, self.parts)) >= self._limit:
            self.flush()


# ---------------------------------------------------------------------------
# Small numeric helpers (3x3 algebra on tuples).
# ---------------------------------------------------------------------------
Vec = Tuple[float, float, float]
Mat = Tuple[Vec, Vec, Vec]


def _det(a: Mat) -> float:
    return (a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1])
            - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0])
            + a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]))


def _reciprocal(a: Mat) -> Mat:
    """Rows b_i with a_i . b_j = delta_ij (no factor 2 pi, as VASP writes them)."""
    v = _det(a)

    def cross(p: Vec, q: Vec) -> Vec:
        return (p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0])

    b = (cross(a[1], a[2]), cross(a[2], a[0]), cross(a[0], a[1]))
    return tuple(tuple(x / v for x in row) for row in b)  # type: ignore[return-value]


def _gauss_kernel(sigma_bins: float) -> List[float]:
    half = max(1, int(math.ceil(4.0 * sigma_bins)))
    k = [math.exp(-0.5 * (i / sigma_bins) ** 2) for i in range(-half, half + 1)]
    s = sum(k)
    return [x / s for x in k]


def _convolve(values: Sequence[float], kernel: Sequence[float]) -> List[float]:
    n, half = len(values), len(kernel) // 2
    out = [0.0] * n
    for i, v in enumerate(values):
        if v == 0.0:
            continue
        lo = i - half
        for j, kv in enumerate(kernel):
            t = lo + j
            if 0 <= t < n:
                out[t] += v * kv
    return out


# ---------------------------------------------------------------------------
# Formatting in VASP's fixed columns.
# ---------------------------------------------------------------------------
_STARS16 = "*" * 16


def _logical(b: bool) -> str:
    return " T  " if b else " F  "


def _vec_line(indent: str, v: Sequence[float]) -> str:
    return "%s<v> %16.8f %16.8f %16.8f </v>\n" % (indent, v[0], v[1], v[2])


def _wrap20(items: List[str]) -> str:
    # VASP breaks long parameter vectors after 20 numbers, without indentation
    return "\n".join("".join(items[i:i + 20]) for i in range(0, len(items), 20))


class _Run:
    """All values of one document, computed up front where they are small."""

    def __init__(self, p: Params, seed: int) -> None:
        self.p = p
        self.seed = seed
        self.species = p.species()
        self.comp = p.composition()
        self.nocc = p.occupied()
        self.orbitals = _ORBITAL_SETS[p.norbitals]
        self._setup_cell()
        self._setup_kpoints()

    def rng(self, tag: str) -> random.Random:
        # an independent, reproducible stream per part of the document; the
        # run's shape takes part so that different presets differ in values
        p = self.p
        shape = (p.nions, p.elements, p.composition(), p.nspins, p.nkpts, p.nbands, p.nsteps)
        return random.Random("calcsift:%d:%s:%r" % (self.seed, tag, shape))

    # -- structure --------------------------------------------------------
    def _setup_cell(self) -> None:
        p, r = self.p, self.rng("cell")
        vol = sum(_ELEMENTS[el][5] for el in self.species)
        a = vol ** (1.0 / 3.0)
        if p.md or p.line_mode:
            self.cell0: Mat = ((a, 0.0, 0.0), (0.0, a, 0.0), (0.0, 0.0, a))
        else:
            t = [r.uniform(-0.03, 0.03) for _ in range(6)]
            self.cell0 = ((a * (1 + t[0]), a * t[1], a * t[2]),
                          (a * t[1], a * (1 + t[3]), a * t[4]),
                          (a * t[2], a * t[4], a * (1 + t[5])))
        m = 1
        while m ** 3 < p.nions:
            m += 1
        sites = [((i + 0.5) / m, (j + 0.5) / m, (k + 0.5) / m)
                 for i in range(m) for j in range(m) for k in range(m)]
        r.shuffle(sites)
        sites = sorted(sites[:p.nions])
        amp = 0.0 if p.line_mode else 0.02
        self.pos0: List[Vec] = [tuple(c + r.uniform(-amp, amp) for c in s) for s in sites]  # type: ignore[misc]
        self.flags = [(True, True, True) if i % 3 else (False, False, r.random() < 0.5)
                      for i in range(p.nions)]
        self.amag = a

    def _setup_kpoints(self) -> None:
        p = self.p
        if p.line_mode:
            nseg = p.line_segments()
            self.divisions = p.nkpts // nseg
            self.path = _CUBIC_PATH[:nseg + 1]
            kp: List[Vec] = []
            for s in range(nseg):
                a0, b0 = self.path[s], self.path[s + 1]
                for i in range(self.divisions):
                    f = i / (self.divisions - 1)
                    kp.append(tuple(a0[c] + (b0[c] - a0[c]) * f for c in range(3)))  # type: ignore[misc]
            self.kpoints = kp
            self.weights = [1.0 / p.nkpts] * p.nkpts
            return
        d = 1
        while self._wedge_size(d) < p.nkpts:
            d += 1
        self.divisions = d
        pts, mult = [], []
        for i in range(d // 2 + 1):
            for j in range(i + 1):
                for k in range(j + 1):
                    if len(pts) < p.nkpts:
                        pts.append(tuple(x / d for x in (i, j, k)))
                        mult.append(self._star(d, (i, j, k)))
        total = float(sum(mult))
        self.kpoints = pts  # type: ignore[assignment]
        self.weights = [m / total for m in mult]

    @staticmethod
    def _wedge_size(d: int) -> int:
        h = d // 2 + 1
        return h * (h + 1) * (h + 2) // 6

    @staticmethod
    def _star(d: int, ijk: Tuple[int, int, int]) -> int:
        # size of the orbit of a grid point under the 48 cubic operations
        seen = set()
        perms = ((0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0))
        for pm in perms:
            for sx in (1, -1):
                for sy in (1, -1):
                    for sz in (1, -1):
                        seen.add(((sx * ijk[pm[0]]) % d, (sy * ijk[pm[1]]) % d, (sz * ijk[pm[2]]) % d))
        return len(seen)


# ---------------------------------------------------------------------------
# Document writer.
# ---------------------------------------------------------------------------
class _Writer:
    def __init__(self, run: _Run, sink: _Sink) -> None:
        self.run = run
        self.p = run.p
        self.sink = sink
        self.out = sink.parts.append

    # -- header blocks ----------------------------------------------------
    def header(self) -> None:
        p, w, r = self.p, self.out, self.run.rng("header")
        day = int(r.random() * 300)
        hh, mm, ss = r.randrange(24), r.randrange(60), r.randrange(60)
        month, dom = 1 + day // 28, 1 + day % 28
        kind = "gamma-only" if p.nkpts == 1 else "complex"
        w('<?xml version="1.0" encoding="ISO-8859-1"?>\n<modeling>\n <generator>\n')
        w('  <i name="program" type="string">vasp </i>\n')
        w('  <i name="version" type="string">6.4.2  </i>\n')
        w('  <i name="subversion" type="string">20Jul23 (build Oct 18 2023 14:14:43) %-33sparallel </i>\n' % kind)
        w('  <i name="platform" type="string">LinuxIFC </i>\n')
        w('  <i name="date" type="string">2024 %02d %02d </i>\n' % (month, dom))
        w('  <i name="time" type="string">%02d:%02d:%02d </i>\n' % (hh, mm, ss))
        w(' </generator>\n')
        self.incar()
        if p.with_primitive:
            self.primitive()
        self.kpoints()
        self.parameters()
        self.atominfo()
        self.structure(" ", "initialpos", self.run.cell0, self.run.pos0,
                       self.initial_velocities() if p.md else None)

    def _incar_items(self) -> List[Tuple[str, str, object]]:
        p = self.p
        items: List[Tuple[str, str, object]] = [
            ("s", "SYSTEM", p.system), ("s", "PREC", "Accurate"), ("s", "ALGO", "Fast"),
            ("d", "ISPIN", p.nspins), ("d", "NELM", 100)]
        if p.line_mode:
            items.append(("d", "ICHARG", 11))
        if p.nsteps > 1:
            items += [("d", "IBRION", 0 if p.md else 2), ("d", "NSW", p.nsteps)]
            if p.md:
                items += [("f", "POTIM", 2.0), ("f", "TEBEG", 300.0), ("f", "SMASS", 1.0), ("d", "MDALGO", 2)]
            else:
                items += [("f", "EDIFFG", -0.02), ("d", "ISIF", 3)]
        items += [("f", "EDIFF", 1e-5), ("f", "ENCUT", 520.0)]
        if p.nspins == 2:
            items.append(("vf", "MAGMOM", self._magmom()))
        items += [("s", "LREAL", "Auto"), ("d", "ISMEAR", 0), ("f", "SIGMA", 0.05),
                  ("d", "NBANDS", p.nbands), ("l", "LWAVE", False), ("l", "LCHARG", not p.md)]
        if p.lorbit():
            items.append(("d", "LORBIT", p.lorbit()))
        if p.with_dos:
            items.append(("d", "NEDOS", p.nedos))
        if p.with_dielectric:
            items += [("l", "LOPTICS", True), ("f", "CSHIFT", 0.1)]
        items.append(("vd", "KPOINT_BSE", (-1, 0, 0, 0)))
        return items

    def _magmom(self) -> List[float]:
        return [(_ELEMENTS[el][4] or 0.6) if self.p.nspins == 2 else 1.0 for el in self.run.species]

    def _item(self, ind: str, code: str, name: str, val: object) -> str:
        if code == "s":
            return '%s<i type="string" name="%s">%s</i>\n' % (ind, name, val)
        if code == "d":
            text = "******" if val == "*" else "%6d" % val  # type: ignore[str-format]
            return '%s<i type="int" name="%s">%s</i>\n' % (ind, name, text)
        if code == "l":
            return '%s<i type="logical" name="%s">%s</i>\n' % (ind, name, _logical(bool(val)))
        if code == "f":
            return '%s<i name="%s">%16.8f</i>\n' % (ind, name, val)
        if code == "vf":
            return '%s<v name="%s">%s</v>\n' % (ind, name, _wrap20(["%16.8f" % x for x in val]))  # type: ignore[attr-defined]
        if code == "vd":
            return '%s<v type="int" name="%s">%s</v>\n' % (ind, name, "".join("%6d" % x for x in val))  # type: ignore[attr-defined]
        raise ValueError(code)

    def incar(self) -> None:
        w = self.out
        w(" <incar>\n")
        for code, name, val in self._incar_items():
            w(self._item("  ", code, name, val))
        w(" </incar>\n")

    def primitive(self) -> None:
        w, run = self.out, self.run
        w(" <primitive_cell>\n")
        self.structure("  ", "primitive_cell", run.cell0, run.pos0, None, selective=False)
        w('  <varray name="primitive_index" >\n')
        for i in range(self.p.nions):
            w('   <v type="int" >%9d </v>\n' % (i + 1))
        w("  </varray>\n </primitive_cell>\n")

    def kpoints(self) -> None:
        p, w, run = self.p, self.out, self.run
        w(" <kpoints>\n")
        if p.line_mode:
            w('  <generation param="listgenerated">\n')
            w('   <i name="divisions" type="int">%8d </i>\n' % run.divisions)
            for v in run.path:
                w(_vec_line("   ", v))
        else:
            d = run.divisions
            w('  <generation param="Gamma">\n')
            w('   <v type="int" name="divisions">%8d %8d %8d </v>\n' % (d, d, d))
            w('   <v name="usershift">%16.8f %16.8f %16.8f </v>\n' % (0.0, 0.0, 0.0))
            for i in range(3):
                g = [0.0, 0.0, 0.0]
                g[i] = 1.0 / d
                w('   <v name="genvec%d">%16.8f %16.8f %16.8f </v>\n' % (i + 1, g[0], g[1], g[2]))
            w('   <v name="shift">%16.8f %16.8f %16.8f </v>\n' % (0.0, 0.0, 0.0))
        w("  </generation>\n")
        w('  <varray name="kpointlist" >\n')
        for k in run.kpoints:
            w(_vec_line("   ", k))
        w('  </varray>\n  <varray name="weights" >\n')
        for x in run.weights:
            w("   <v> %16.8f </v>\n" % x)
        w("  </varray>\n </kpoints>\n")

    def _parameter_values(self) -> Dict[str, object]:
        p, run = self.p, self.run
        ntyp = len(p.elements)
        grid = 2 * int(math.ceil(run.amag * 2.2 / 2.0 + 1e-9)) + 12
        relax = p.nsteps > 1 and not p.md
        return {
            "SYSTEM": p.system, "NBANDS": p.nbands, "NELECT": p.nelect(), "ISPIN": p.nspins,
            "MAGMOM": self._magmom(), "ROPT": [-0.00025] * ntyp, "RWIGS": [-1.0] * ntyp,
            "POMASS": [_ELEMENTS[el][0] for el in p.elements],
            "DARWINR": [0.0] * ntyp, "DARWINV": [1.0] * ntyp,
            "NGX": grid, "NGY": grid, "NGZ": grid, "NGXF": 2 * grid, "NGYF": 2 * grid, "NGZF": 2 * grid,
            "NSW": p.nsteps if p.nsteps > 1 else 0,
            "IBRION": 0 if p.md else (2 if relax else -1),
            "MDALGO": 2 if p.md else 0, "ISIF": 3 if relax else 2,
            "POTIM": 2.0 if p.md else 0.5, "SMASS": 1.0 if p.md else -3.0,
            "TEBEG": 300.0 if p.md else 0.0001, "ICHARG": 11 if p.line_mode else 2,
            "LORBIT": p.lorbit(), "NEDOS": p.nedos, "LOPTICS": p.with_dielectric,
            "LCHARG": not p.md, "ISYM": 0 if p.md else 2,
        }

    def parameters(self) -> None:
        w, vals = self.out, self._parameter_values()
        w(" <parameters>\n")
        depth = 1
        for line in _PARAMETERS.strip("\n").split("\n"):
            ind = " " * (depth + 1)
            if line.startswith("["):
                w('%s<separator name="%s" >\n' % (ind, line[2:]))
                depth += 1
                continue
            if line == "]":
                depth -= 1
                w("%s</separator>\n" % (" " * (depth + 1)))
                continue
            if line.startswith("?"):  # only written when fields overflow on purpose
                if not self.p.overflow_stars:
                    continue
                line = line[1:]
            code, name, raw = (line.split(" ", 2) + [""])[:3]
            if raw.startswith("{"):
                val = vals[raw[1:-1]]
            elif code == "s":
                val = raw
            elif code == "d":
                val = raw if raw == "*" else int(raw)
            elif code == "l":
                val = raw == "T"
            elif code == "f":
                val = float(raw)
            elif code == "vf":
                val = [float(x) for x in raw.split()]
            else:
                val = [int(x) for x in raw.split()]
            w(self._item(ind, code, name, val))
        w(" </parameters>\n")

    def atominfo(self) -> None:
        p, w = self.p, self.out
        w(" <atominfo>\n  <atoms>%8d </atoms>\n  <types>%8d </types>\n" % (p.nions, len(p.elements)))
        w('  <array name="atoms" >\n   <dimension dim="1">ion</dimension>\n'
          '   <field type="string">element</field>\n   <field type="int">atomtype</field>\n   <set>\n')
        for t, (el, c) in enumerate(zip(p.elements, self.run.comp)):
            row = "    <rc><c>%-2s</c><c>%4d</c></rc>\n" % (el, t + 1)
            w(row * c)
        w("   </set>\n  </array>\n")
        w('  <array name="atomtypes" >\n   <dimension dim="1">type</dimension>\n'
          '   <field type="int">atomspertype</field>\n   <field type="string">element</field>\n'
          '   <field>mass</field>\n   <field>valence</field>\n'
          '   <field type="string">pseudopotential</field>\n   <set>\n')
        for el, c in zip(p.elements, self.run.comp):
            mass, zval, title = _ELEMENTS[el][:3]
            w("    <rc><c>%4d</c><c>%-2s</c><c>%16.8f</c><c>%16.8f</c><c>%-40s</c></rc>\n"
              % (c, el, mass, zval, " PAW_PBE " + title))
        w("   </set>\n  </array>\n </atominfo>\n")

    def structure(self, ind: str, name: Optional[str], cell: Mat, pos: Sequence[Vec],
                  velocities: Optional[Sequence[Vec]] = None, selective: Optional[bool] = None) -> None:
        w = self.out
        i2, i3, i4 = ind + " ", ind + "  ", ind + "   "
        w('%s<structure name="%s" >\n' % (ind, name) if name else "%s<structure>\n" % ind)
        w('%s<crystal>\n%s<varray name="basis" >\n' % (i2, i3))
        for v in cell:
            w(_vec_line(i4, v))
        w('%s</varray>\n%s<i name="volume">%16.8f </i>\n%s<varray name="rec_basis" >\n'
          % (i3, i3, _det(cell), i3))
        for v in _reciprocal(cell):
            w(_vec_line(i4, v))
        w('%s</varray>\n%s</crystal>\n%s<varray name="positions" >\n' % (i3, i2, i2))
        vl = i3 + "<v> %16.8f %16.8f %16.8f </v>\n"
        w("".join([vl % (x[0], x[1], x[2]) for x in pos]))
        w("%s</varray>\n" % i2)
        if self.p.selective if selective is None else selective:
            w('%s<varray type="logical" name="selective" >\n' % i2)
            for f in self.run.flags:
                w('%s<v type="logical" > %s  %s  %s </v>\n' % (i3, "TF"[not f[0]], "TF"[not f[1]], "TF"[not f[2]]))
            w("%s</varray>\n" % i2)
        if velocities is not None:
            w('%s<varray name="velocities" >\n' % i2)
            w("".join([vl % (x[0], x[1], x[2]) for x in velocities]))
            w("%s</varray>\n" % i2)
        w("%s</structure>\n" % ind)

    def initial_velocities(self) -> List[Vec]:
        r = self.run.rng("velocities")
        v = [(r.gauss(0, 0.0025), r.gauss(0, 0.0025), r.gauss(0, 0.0025)) for _ in range(self.p.nions)]
        mean = [sum(x[c] for x in v) / len(v) for c in range(3)]
        return [(x[0] - mean[0], x[1] - mean[1], x[2] - mean[2]) for x in v]

    # -- ionic steps ------------------------------------------------------
    def calculations(self) -> None:
        p, run, w = self.p, self.run, self.out
        r = run.rng("ionic")
        rs = run.rng("scf")
        nat = p.nions
        e_final = sum(_ELEMENTS[el][3] for el in run.species)
        # reference energies of the isolated atoms and the Madelung scale
        atom_ref = {el: 100.0 + 6.0 * _ELEMENTS[el][1] + r.uniform(0.0, 5.0) for el in p.elements}
        e_atom = sum(atom_ref[el] for el in run.species)
        madelung = r.uniform(100.0, 120.0)
        alpha_scale = r.uniform(3.9, 4.3)
        # relaxation: strain and displacements decay towards the final geometry
        strain0 = [r.uniform(-0.02, 0.02) for _ in range(3)]
        disp0 = [(r.gauss(0, 0.01), r.gauss(0, 0.01), r.gauss(0, 0.01)) for _ in range(nat)]
        decay = r.uniform(0.86, 0.93)
        de0 = 0.05 * nat + 0.02
        stress0 = [r.uniform(-20, 20) for _ in range(3)]
        pos = list(run.pos0)
        vel = self.initial_velocities() if p.md else None
        a = run.amag
        kin = nos_pot = nos_kin = 0.0
        temp = 300.0
        e_md = prev_energy = e_final
        t_step = 0.004 * nat * max(1.0, math.sqrt(p.nkpts)) * p.nspins
        last = p.nsteps - 1
        stars = p.overflow_stars
        vl = "   <v> %16.8f %16.8f %16.8f </v>\n"
        for step in range(p.nsteps):
            q = decay ** step
            if p.md:
                cell = run.cell0
                vel = [(v[0] * 0.99 + r.gauss(0, 0.0003), v[1] * 0.99 + r.gauss(0, 0.0003),
                        v[2] * 0.99 + r.gauss(0, 0.0003)) for v in vel]  # type: ignore[union-attr]
                f2 = 2.0 / a
                pos = [((x[0] + v[0] * f2) % 1.0, (x[1] + v[1] * f2) % 1.0, (x[2] + v[2] * f2) % 1.0)
                       for x, v in zip(pos, vel)]
                forces = [(r.gauss(0, 0.6), r.gauss(0, 0.6), r.gauss(0, 0.6)) for _ in range(nat)]
                temp += 0.1 * (300.0 - temp) + r.gauss(0, 12.0)
                kin = 1.5 * nat * 8.617333e-5 * max(temp, 1.0)
                e_md += 0.05 * (e_final + 0.02 * nat - e_md) + r.gauss(0, 0.004 * nat)
                nos_pot += r.gauss(0, 0.01) - 0.01 * nos_pot
                nos_kin = abs(nos_kin + r.gauss(0, 0.01)) * 0.99
                energy = e_md
            else:
                s = [1.0 + strain0[c] * q for c in range(3)]
                cell = tuple(tuple(run.cell0[i][j] * s[j] for j in range(3)) for i in range(3))  # type: ignore[assignment]
                pos = [(b[0] + d[0] * q, b[1] + d[1] * q, b[2] + d[2] * q) for b, d in zip(run.pos0, disp0)]
                kf = 15.0 * q
                forces = [(-d[0] * kf + r.gauss(0, 0.01 * q + 0.001), -d[1] * kf + r.gauss(0, 0.01 * q + 0.001),
                           -d[2] * kf + r.gauss(0, 0.01 * q + 0.001)) for d in disp0]
                energy = e_final + de0 * q + r.uniform(0, 0.02 * de0 * q)
                if step:
                    energy = min(energy, prev_energy - 1e-6)
            prev_energy = energy
            mean = [sum(f[c] for f in forces) / nat for c in range(3)]
            forces = [(f[0] - mean[0], f[1] - mean[1], f[2] - mean[2]) for f in forces]
            # electronic steps
            w(" <calculation>\n")
            nsc = p.scsteps_first if step == 0 else p.scsteps
            nsc = max(2, nsc + (rs.randrange(-1, 2) if step else 0))
            alpha = alpha_scale * nat * nat / _det(cell)
            ewald = -nat * madelung * (a / (_det(cell) ** (1.0 / 3.0)))
            if p.md:  # the ions move, so the Ewald energy does too
                ewald *= 1.0 + r.gauss(0.0, 0.002)
            big = (2.5 * nat) if step == 0 else (0.01 * nat * (1 + q))
            t_tot = 0.0
            for k in range(nsc):
                if k == nsc - 1:
                    e_fr = energy
                else:
                    e_fr = energy + big * (0.3 ** k) * (1 if k == 0 else rs.choice((-1, 1)))
                t = t_step * rs.uniform(0.9, 1.2) * (1.4 if k == 0 else 1.0)
                t_tot += t
                if k < (5 if step == 0 else 1):
                    w('  <scstep>\n   <time name="dav">%8.2f%8.2f</time>\n'
                      '   <time name="total">%8.2f%8.2f</time>\n' % (t * 0.6, t * 1.2, t, t * 2.0))
                else:
                    w('  <scstep>\n   <time name="diag">%8.2f%8.2f</time>\n'
                      '   <time name="diis">%8.2f%8.2f</time>\n'
                      '   <time name="orth">%8.2f%8.2f</time>\n'
                      '   <time name="total">%8.2f%8.2f</time>\n'
                      % (t * 0.1, t * 0.2, t * 0.2, t * 0.4, t * 0.03, t * 0.06, t, t * 2.0))
                ent = -abs(rs.gauss(0, 2e-4 * nat)) if k < nsc - 1 else -1e-5 * nat * (1 + q)
                w("   <energy>\n")
                if k == 0 or k == nsc - 1:
                    hart = -nat * rs.uniform(5.0, 8.0)
                    xc = -nat * rs.uniform(8.0, 10.0)
                    psdc = nat * rs.uniform(30.0, 37.0)
                    aedc = -nat * rs.uniform(15.0, 19.0)
                    band = e_fr - (alpha + ewald + hart + xc + psdc + aedc + ent + e_atom)
                    w('    <i name="alphaZ">%16.8f </i>\n    <i name="ewald">%16.8f </i>\n'
                      '    <i name="hartreedc">%16.8f </i>\n    <i name="XCdc">%16.8f </i>\n'
                      '    <i name="pawpsdc">%16.8f </i>\n    <i name="pawaedc">%16.8f </i>\n'
                      '    <i name="eentropy">%16.8f </i>\n    <i name="bandstr">%16.8f </i>\n'
                      '    <i name="atom">%16.8f </i>\n'
                      % (alpha, ewald, hart, xc, psdc, aedc, ent, band, e_atom))
                w('    <i name="e_fr_energy">%16.8f </i>\n    <i name="e_wo_entrp">%16.8f </i>\n'
                  '    <i name="e_0_energy">%16.8f </i>\n   </energy>\n  </scstep>\n'
                  % (e_fr, e_fr - ent, e_fr - 0.5 * ent))
                if k == nsc - 1:
                    last_ent = ent
            self.structure("  ", None, cell, pos)
            w('  <varray name="forces" >\n')
            lines = [vl % (f[0], f[1], f[2]) for f in forces]
            if stars and step == 0:
                lines[0] = "   <v> %s %16.8f %16.8f </v>\n" % (_STARS16, forces[0][1], forces[0][2])
            w("".join(lines))
            w('  </varray>\n  <varray name="stress" >\n')
            if p.md:
                base = [r.gauss(5.0, 3.0) for _ in range(3)]
            else:
                base = [stress0[c] * q for c in range(3)]
            sx = [[0.0] * 3 for _ in range(3)]
            for i in range(3):
                for j in range(i, 3):
                    sx[i][j] = sx[j][i] = base[i] if i == j else r.gauss(0, 0.3) * (q if not p.md else 1.0)
            for i in range(3):
                if stars and step == 0 and i == 0:
                    w("   <v> %s %16.8f %16.8f </v>\n" % (_STARS16, sx[0][1], sx[0][2]))
                else:
                    w(vl % tuple(sx[i]))
            w("  </varray>\n")
            if p.with_magnetization:
                w('  <varray name="magnetization" >\n')
                for el in run.species:
                    w("   <v> %16.8f </v>\n" % (_ELEMENTS[el][4] * (1.0 + 0.1 * q) + r.gauss(0, 0.01)))
                w("  </varray>\n")
            w('  <energy>\n   <i name="e_fr_energy">%16.8f </i>\n   <i name="e_wo_entrp">%16.8f </i>\n'
              '   <i name="e_0_energy">%16.8f </i>\n' % (energy, energy - last_ent, energy - 0.5 * last_ent))
            if p.md:
                w('   <i name="kinetic">%16.8f </i>\n   <i name="lattice kinetic">%16.8f </i>\n'
                  '   <i name="nosepot">%16.8f </i>\n   <i name="nosekinetic">%16.8f </i>\n'
                  '   <i name="total">%16.8f </i>\n'
                  % (kin, 0.0, nos_pot, nos_kin, energy + kin + nos_pot + nos_kin))
            w("  </energy>\n")
            w('  <time name="totalsc">%8.2f%8.2f</time>\n' % (t_tot, t_tot * 2.0))
            if step == last:
                self.final_blocks()
            w(" </calculation>\n")
            self.sink.check()
        self.final_cell, self.final_pos, self.final_vel = cell, pos, vel

    # -- electronic structure of the last step ----------------------------
    def _bands(self) -> None:
        """Eigenvalues and occupations, band energies sorted at each k-point."""
        p, run = self.p, self.run
        r = run.rng("bands")
        self.efermi = r.uniform(2.0, 7.0)
        ef = self.efermi
        self.eig: List[List[List[float]]] = []
        self.occ: List[List[List[float]]] = []
        twopi = 2.0 * math.pi
        for s in range(p.nspins):
            nocc = run.nocc[s]
            shift = 0.0 if s == 0 else r.uniform(0.1, 0.4)
            model = []
            for n in range(p.nbands):
                if n < nocc:
                    c = ef - 1.2 - 11.0 * (nocc - 1 - n) / max(nocc, 1)
                    wdt = min(r.uniform(0.3, 1.2), ef - 0.45 - c - shift)
                else:
                    c = ef + 1.0 + 0.35 * (n - nocc) + 0.1 * shift
                    wdt = min(r.uniform(0.4, 1.6), c - ef - 0.45)
                waves = [((r.randint(-1, 1), r.randint(-1, 1), r.randint(0, 2)), r.uniform(0, twopi))
                         for _ in range(3)]
                model.append((c + shift, max(wdt, 0.0), waves))
            eig_s, occ_s = [], []
            for k in run.kpoints:
                es = []
                for c, wdt, waves in model:
                    g = 0.0
                    for (gx, gy, gz), ph in waves:
                        g += math.cos(twopi * (gx * k[0] + gy * k[1] + gz * k[2]) + ph)
                    es.append(c + wdt * g / 3.0)
                es.sort()
                eig_s.append(es)
                occ_s.append([0.5 * math.erfc((e - ef) / 0.05) for e in es])
            self.eig.append(eig_s)
            self.occ.append(occ_s)

    def _eigenvalues(self, ind: str, projected_style: bool = False) -> None:
        p, w = self.p, self.out
        i1, i2, i3, i4, i5 = (ind + " " * n for n in (1, 2, 3, 4, 5))
        w("%s<eigenvalues>\n%s<array>\n" % (ind, i1))
        w('%s<dimension dim="1">band</dimension>\n%s<dimension dim="2">kpoint</dimension>\n'
          '%s<dimension dim="3">spin</dimension>\n%s<field>eigene</field>\n%s<field>occ</field>\n%s<set>\n'
          % (i2, i2, i2, i2, i2, i2))
        row = i5 + "<r>%10.4f%10.4f </r>\n"
        for s in range(p.nspins):
            w('%s<set comment="spin %d">\n' % (i3, s + 1))
            for k in range(p.nkpts):
                w('%s<set comment="kpoint %d">\n' % (i4, k + 1))
                w("".join([row % eo for eo in zip(self.eig[s][k], self.occ[s][k])]))
                w("%s</set>\n" % i4)
            w("%s</set>\n" % i3)
            self.sink.check()
        w("%s</set>\n%s</array>\n%s</eigenvalues>\n" % (i2, i1, ind))

    def final_blocks(self) -> None:
        p, w = self.p, self.out
        self._bands()
        self._eigenvalues("  ")
        w('  <separator name="orbital magnetization" >\n'
          '   <v name="MAGDIPOLOUT">%16.8f%16.8f%16.8f</v>\n  </separator>\n' % (0.0, 0.0, 0.0))
        if p.with_dielectric:
            self.dielectric("density-density", 0)
            self.dielectric("current-current", 1)
        if p.with_dos:
            self.dos()
        if p.with_projected:
            self.projected()

    def _characters(self, r: random.Random) -> Dict[str, Tuple[float, ...]]:
        """Per-element split of each l channel over its m components."""
        out = {}
        for el in self.p.elements:
            ls = [_l_of(o) for o in self.run.orbitals]
            raw = [max(0.2, 1.0 + 0.25 * r.gauss(0, 1)) for _ in ls]
            tot = [0.0] * 4
            for l, x in zip(ls, raw):
                tot[l] += x
            out[el] = tuple(x / tot[l] for l, x in zip(ls, raw))
        return out

    def _orbital_fractions(self, el: str, x: float, split: Tuple[float, ...]) -> List[float]:
        """Share of each orbital column in the states of element ``el`` at E - E_F = x."""
        char = _ELEMENTS[el][6]
        deep = 1.0 / (1.0 + math.exp(max(-50.0, min(50.0, (x + 7.0)))))
        near = math.exp(-(x / 3.0) ** 2)
        if char == "s":
            lw = (1.0, 0.25, 0.02, 0.0)
        elif char == "p":
            lw = (0.1 + deep, 1.0 - 0.8 * deep, 0.04, 0.002)
        elif char == "d":
            lw = (0.1 + 0.5 * deep, 0.4 * (1.0 - near) + 0.05, 1.6 * near + 0.05, 0.005)
        else:
            lw = (0.1 + 0.2 * deep, 0.3, 0.4 * near + 0.05, 2.5 * math.exp(-(x / 1.2) ** 2) + 0.01)
        ls = [_l_of(o) for o in self.run.orbitals]
        present = set(ls)
        norm = sum(lw[l] for l in present)
        return [lw[l] / norm * sp for l, sp in zip(ls, split)]

    def _ion_shares(self, r: random.Random) -> List[float]:
        # weight of each ion in the projected states: ~85% inside the spheres
        zv = [_ELEMENTS[el][1] for el in self.run.species]
        tot = sum(zv)
        return [0.85 * z / tot * (1.0 + 0.05 * r.gauss(0, 1)) for z in zv]

    def dos(self) -> None:
        p, run, w = self.p, self.run, self.out
        r = run.rng("dos")
        ef = self.efermi
        emin = min(min(min(e) for e in es) for es in self.eig) - 1.7
        emax = max(max(max(e) for e in es) for es in self.eig) + 1.7
        n = p.nedos
        de = (emax - emin) / (n - 1)
        grid = [emin + i * de for i in range(n)]
        fac = 2.0 / p.nspins
        kernel = _gauss_kernel(max(0.7, 0.12 / de))
        self.dos_curves = []
        w('  <dos>\n   <i name="efermi">%16.8f </i>\n   <total>\n    <array>\n'
          '     <dimension dim="1">gridpoints</dimension>\n     <dimension dim="2">spin</dimension>\n'
          '     <field>energy</field>\n     <field>total</field>\n     <field>integrated</field>\n'
          '     <set>\n' % ef)
        row3 = "       <r> %10.4f %10.4f %10.4f </r>\n"
        for s in range(p.nspins):
            hist = [0.0] * n
            for k, es in enumerate(self.eig[s]):
                wk = run.weights[k] * fac
                for e in es:
                    hist[min(n - 1, max(0, int((e - emin) / de + 0.5)))] += wk
            dens = [x / de for x in _convolve(hist, kernel)]
            integ, acc = [], 0.0
            for x in hist:
                acc += x
                integ.append(acc)
            self.dos_curves.append(dens)
            w('      <set comment="spin %d">\n' % (s + 1))
            w("".join([row3 % t for t in zip(grid, dens, integ)]))
            w("      </set>\n")
            self.sink.check()
        w("     </set>\n    </array>\n   </total>\n")
        if p.with_partial:
            self._partial(grid, r)
        w("  </dos>\n")

    def _field_lines(self, ind: str) -> str:
        return "".join("%s<field>%5s</field>\n" % (ind, o) for o in self.run.orbitals)

    def _partial(self, grid: List[float], r: random.Random) -> None:
        p, run, w = self.p, self.run, self.out
        ef = self.efermi
        split = self._characters(r)
        shares = self._ion_shares(r)
        fracs = {el: [self._orbital_fractions(el, e - ef, split[el]) for e in grid] for el in p.elements}
        w('   <partial>\n    <array>\n     <dimension dim="1">gridpoints</dimension>\n'
          '     <dimension dim="2">spin</dimension>\n     <dimension dim="3">ion</dimension>\n'
          '     <field>energy</field>\n')
        w(self._field_lines("     "))
        w("     <set>\n")
        row = "        <r>" + " %10.4f" * (1 + p.norbitals) + " </r>\n"
        for ion, el in enumerate(run.species):
            w('      <set comment="ion %d">\n' % (ion + 1))
            fr = fracs[el]
            for s in range(p.nspins):
                dens = self.dos_curves[s]
                ripple = r.uniform(0.0, 6.28)
                sh = shares[ion]
                w('       <set comment="spin %d">\n' % (s + 1))
                lines = []
                for j, e in enumerate(grid):
                    d = dens[j] * sh * (1.0 + 0.04 * math.sin(0.7 * e + ripple))
                    lines.append(row % ((e,) + tuple([d * f for f in fr[j]])))
                w("".join(lines))
                w("       </set>\n")
                self.sink.check()
            w("      </set>\n")
        w("     </set>\n    </array>\n   </partial>\n")

    def projected(self) -> None:
        p, run, w = self.p, self.run, self.out
        r = run.rng("projected")
        ef = self.efermi
        w("  <projected>\n")
        self._eigenvalues("   ")
        w('   <array>\n    <dimension dim="1">ion</dimension>\n    <dimension dim="2">band</dimension>\n'
          '    <dimension dim="3">kpoint</dimension>\n    <dimension dim="4">spin</dimension>\n')
        w(self._field_lines("    "))
        w("    <set>\n")
        # A row is the element's orbital character at the band energy times a
        # window of a shared noise table; the windows start at random offsets,
        # so rows rarely repeat and the large presets stay quick to write.
        split = self._characters(r)
        ztot = float(sum(_ELEMENTS[el][1] for el in run.species))
        lo = min(min(min(e) for e in es) for es in self.eig)
        hi = max(max(max(e) for e in es) for es in self.eig)
        nbins = 64
        width = (hi - lo) / nbins or 1.0
        norb = p.norbitals
        row = "        <r>" + "%8.4f" * norb + " </r>\n"
        # noise at most 1.15 keeps each ion below 0.85 * 1.15 of its share,
        # so the sum over ions and orbitals of a band never exceeds one
        noise = [r.uniform(0.6, 1.15) for _ in range(4096 + norb)]
        chars: Dict[str, List[Tuple[float, ...]]] = {}
        for el in p.elements:
            base = 0.85 * _ELEMENTS[el][1] / ztot
            chars[el] = [tuple(base * f for f in self._orbital_fractions(el, lo + (b + 0.5) * width - ef, split[el]))
                         for b in range(nbins)]
        ion_chars = [chars[el] for el in run.species]
        getbits, mul = r.getrandbits, operator.mul
        for s in range(p.nspins):
            w('     <set comment="spin%d">\n' % (s + 1))
            for k in range(p.nkpts):
                w('      <set comment="kpoint %d">\n' % (k + 1))
                for b, e in enumerate(self.eig[s][k]):
                    bi = min(nbins - 1, int((e - lo) / width))
                    w('       <set comment="band %d">\n' % (b + 1))
                    w("".join([row % tuple(map(mul, ch[bi], noise[o:o + norb]))
                               for ch, o in zip(ion_chars, [getbits(12) for _ in ion_chars])]))
                    w("       </set>\n")
                w("      </set>\n")
                self.sink.check()
            w("     </set>\n")
        w("    </set>\n   </array>\n  </projected>\n")

    def dielectric(self, comment: str, variant: int) -> None:
        p, w = self.p, self.out
        r = self.run.rng("dielectric")  # same oscillators for both variants
        gap = 1.5 + r.uniform(0.0, 1.5)
        osc = [(gap + 1.0 + 3.0 * i + r.uniform(0, 1), r.uniform(60, 160), r.uniform(0.8, 2.5)) for i in range(3)]
        aniso = (1.0, 1.0 + r.uniform(-0.05, 0.05), 1.0 + r.uniform(-0.05, 0.05))
        emax = 40.0
        n = p.ndielectric
        step = emax / (n - 1)
        tweak = 1.0 + 0.03 * variant
        imag_rows, real_rows = [], []
        row = "      <r>" + " %10.4f" * 7 + " </r>\n"
        for i in range(n):
            om = i * step
            re, im = 1.0, 0.0
            for w0, f, g in osc:
                den = (w0 * w0 - om * om) ** 2 + (g * om) ** 2
                re += f * (w0 * w0 - om * om) / den
                im += f * g * om / den
            im *= tweak
            re = 1.0 + (re - 1.0) * tweak
            off = 1e-6 * math.sin(om)
            imag_rows.append(row % (om, im * aniso[0], im * aniso[1], im * aniso[2], -off, -off, off))
            real_rows.append(row % (om, re * aniso[0], re * aniso[1], re * aniso[2], -off, -off, off))
        head = ('    <array>\n     <dimension dim="1">gridpoints</dimension>\n     <field>energy</field>\n'
                '     <field>xx</field>\n     <field>yy</field>\n     <field>zz</field>\n'
                '     <field>xy</field>\n     <field>yz</field>\n     <field>zx</field>\n     <set>\n')
        tail = "     </set>\n    </array>\n"
        w('  <dielectricfunction comment="%s">\n   <imag>\n' % comment)
        w(head + "".join(imag_rows) + tail)
        w("   </imag>\n   <real>\n")
        w(head + "".join(real_rows) + tail)
        w("   </real>\n  </dielectricfunction>\n")

    def footer(self) -> None:
        self.structure(" ", "finalpos", self.final_cell, self.final_pos,
                       self.final_vel if self.p.md else None)
        self.out("</modeling>\n")


# The <parameters> block as VASP 6.4 lays it out: "[ name" opens a separator,
# "]" closes it, other lines are "kind NAME value" with kind s(tring), d (int),
# l(ogical), f(loat), vf/vd (vectors); "{KEY}" takes a run-dependent value and
# a leading "?" marks items written only with overflow_stars.
_PARAMETERS = """
[ general
s SYSTEM {SYSTEM}
l LCOMPAT F
]
[ electronic
s PREC accura
f ENMAX 520.0
f ENAUG 605.392
f EDIFF 0.00001
d IALGO 68
d IWAVPR 11
d NBANDS {NBANDS}
d NBANDSLOW -1
d NBANDSHIGH -1
f NELECT {NELECT}
d TURBO 0
d IRESTART 0
d NREBOOT 0
d NMIN 0
f EREF 0.0
[ electronic smearing
d ISMEAR 0
f SIGMA 0.05
f KSPACING 0.5
l KGAMMA T
l KBLOWUP T
]
[ electronic projectors
l LREAL T
vf ROPT {ROPT}
d LMAXPAW -100
d LMAXMIX 4
l NLSPLINE F
]
[ electronic startup
d ISTART 0
d ICHARG {ICHARG}
d INIWAV 1
]
[ electronic spin
d ISPIN {ISPIN}
l LNONCOLLINEAR F
vf MAGMOM {MAGMOM}
f NUPDOWN -1.0
l LSORBIT F
vf SAXIS 0.0 0.0 1.0
l LSPIRAL F
vf QSPIRAL 0.0 0.0 0.0
l LZEROZ F
]
[ electronic exchange-correlation
l LASPH T
l LMETAGGA F
]
[ electronic convergence
d NELM 100
d NELMDL -5
d NELMIN 2
f ENINI 520.0
[ electronic convergence detail
l LDIAG T
l LSUBROT F
f WEIMIN 0.001
f EBREAK 0.00000156
f DEPER 0.3
d NRMM 4
f TIME 0.4
]
]
[ electronic mixer
f AMIX 0.4
f BMIX 1.0
f AMIN 0.1
f AMIX_MAG 1.6
f BMIX_MAG 1.0
[ electronic mixer details
d IMIX 4
l MIXFIRST F
d MAXMIX -45
f WC 100.0
d INIMIX 1
d MIXPRE 1
d MREMOVE 5
]
]
[ electronic dipolcorrection
l LDIPOL F
l LMONO F
d IDIPOL 0
f EPSILON 1.0
vf DIPOL -100.0 -100.0 -100.0
f EFIELD 0.0
]
]
[ grids
d NGX {NGX}
d NGY {NGY}
d NGZ {NGZ}
d NGXF {NGXF}
d NGYF {NGYF}
d NGZF {NGZF}
l ADDGRID F
]
[ ionic
d NSW {NSW}
d IBRION {IBRION}
d MDALGO {MDALGO}
d ISIF {ISIF}
f PSTRESS 0.0
f EDIFFG -0.02
d NFREE 1
f POTIM {POTIM}
f SMASS {SMASS}
f SCALEE 1.0
]
[ ionic md
f TEBEG {TEBEG}
f TEEND {TEBEG}
d NBLOCK 1
d KBLOCK 99
d NPACO 256
f APACO 10.0
]
[ symmetry
d ISYM {ISYM}
f SYMPREC 0.00001
]
[ dos
d LORBIT {LORBIT}
vf RWIGS {RWIGS}
d NEDOS {NEDOS}
f EMIN 10.0
f EMAX -10.0
f EFERMI 0.0
]
[ writing
d NWRITE 2
l LWAVE F
l LDOWNSAMPLE F
l LCHARG {LCHARG}
l LPARD F
l LVTOT F
l LVHAR F
l LELF F
l LOPTICS {LOPTICS}
vf STM 0.0 0.0 0.0 0.0 0.0 0.0 0.0
]
[ performance
d NPAR 4
d NSIM 4
d NBLK -1
l LPLANE T
l LSCALAPACK T
l LSCAAWARE F
l LSCALU F
l LASYNC F
l LORBITALREAL F
]
[ miscellaneous
d IDIOT 3
d PHON_NSTRUCT -1
l LMUSIC F
vf POMASS {POMASS}
vf DARWINR {DARWINR}
vf DARWINV {DARWINV}
l LCORR T
]
l GGA_COMPAT T
l LBERRY F
d ICORELEVEL 0
l LDAU F
d I_CONSTRAINED_M 0
[ electronic exchange-correlation
s GGA --
d VOSKOWN 0
l LHFCALC F
s PRECFOCK
l LSYMGRAD F
l LHFONE F
l LRHFCALC F
l LTHOMAS F
l LMODELHF F
l LFOCKACE F
f ENCUT4O -1.0
d EXXOEP 0
d FOURORBIT 0
f AEXX 0.0
f HFALPHA 0.0
f MCALPHA 0.0
f ALDAX 1.0
f AGGAX 1.0
f ALDAC 1.0
f AGGAC 1.0
d NKREDX 1
d NKREDY 1
d NKREDZ 1
l SHIFTRED F
l ODDONLY F
l EVENONLY F
d LMAXFOCK 0
d NMAXFOCKAE 0
l LFOCKAEDFT F
f HFSCREEN 0.0
f HFSCREENC 0.0
d NBANDSGWLOW 0
]
[ vdW DFT
l LUSE_VDW F
d IVDW_NL 1
l LSPIN_VDW F
f Zab_VDW -0.8491
f PARAM1 0.1234
f PARAM2 1.0
f PARAM3 0.0
]
[ model GW
d MODEL_GW 0
f MODEL_EPS0 12.478125
f MODEL_ALPHA 1.0
]
[ linear response parameters
l LEPSILON F
l LRPA F
l LNABLA F
l LVEL F
?d KINTER *
f CSHIFT 0.1
f OMEGAMAX -1.0
f DEG_THRESHOLD 0.002
f RTIME -0.1
f WPLASMAI 0.0
vf DFIELD 0.0 0.0 0.0
vf WPLASMA 0.0 0.0 0.0 0.0 0.0 0.0 0.0 0.0 0.0
]
[ orbital magnetization
l NUCIND F
vf MAGPOS 0.0 0.0 0.0
l LNICSALL T
l ORBITALMAG F
l LMAGBLOCH F
l LCHIMAG F
l LGAUGE T
d MAGATOM 0
vf MAGDIPOL 0.0 0.0 0.0
vf AVECCONST 0.0 0.0 0.0
]
[ response functions
l LALL_IN_ONE F
d IALL_IN_ONE -1
d NBANDS_WAVE -1
l LFINITE_TEMPERATURE F
l LADDER F
l LRPAFORCE F
l LFXC F
l LHARTREE T
d IBSE 0
vd KPOINT -1 0 0 0
l LTCTC F
l LTCTE F
l LTETE F
l LTRIPLET F
l LFXCEPS F
l LFXHEG F
d NATURALO 2
l LHOLEGF F
l L2ORDER F
l LDMP1 F
l LMP2LT F
l LSMP2LT F
l LGWLF F
f ENCUTGW -1.60000002
f ENCUTGWSOFT -1.60000002
f ENCUTLF -1.0
l LESF_SPLINES F
d LMAXMP2 -1
f SCISSOR 0.0
d NOMEGA 0
d NOMEGAR 0
d NBANDSGW -1
d NBANDSO -1
d NBANDSV -1
d NELMGW 1
d NELMHF 1
d DIM 3
d IESPILON 4
d ANTIRES 0
f OMEGAMAX -30.0
f OMEGAMIN -30.0
f OMEGATL -200.0
d OMEGAGRID 0
f CSHIFT -0.1
l LSELFENERGY F
l LSPECTRAL F
l LSPECTRALGW F
l LSINGLES F
l LFERMIGW F
l ODDONLYGW F
l EVENONLYGW F
d NKREDLFX 1
d NKREDLFY 1
d NKREDLFZ 1
d MAXMEM 2800
d TELESCOPE 0
d NTAUPAR -1
d NOMEGAPAR -1
f DAMP_NEWTON 0.80000001
f LAMBDA 1.0
]
[ External order field
f OFIELD_KAPPA 0.0
vf OFIELD_K 0.0 0.0 0.0
f OFIELD_Q6_NEAR 0.0
f OFIELD_Q6_FAR 0.0
f OFIELD_A 0.0
]
[ optional k-points parameters
d KPOINTS_OPT_MODE 1
l LKPOINTS_OPT F
]
"""


# ---------------------------------------------------------------------------
# Public entry points.
# ---------------------------------------------------------------------------
def resolve(preset_or_params: Union[str, Params], **overrides: object) -> Params:
    """Params of a preset name (or a Params as is), with fields overridden."""
    if isinstance(preset_or_params, Params):
        p = preset_or_params
    else:
        try:
            p = PRESETS[preset_or_params]
        except KeyError:
            raise ValueError("unknown preset %r (known: %s)" % (preset_or_params, ", ".join(PRESETS))) from None
    if overrides:
        p = replace(p, **overrides)  # type: ignore[arg-type]
    return p.validate()


def write(p: Params, raw, seed: int = 0) -> int:
    """Write the document for ``p`` to the binary file object ``raw``.

    Returns the number of bytes of XML text written.
    """
    p.validate()
    sink = _Sink(raw)
    writer = _Writer(_Run(p, seed), sink)
    writer.header()
    sink.flush()
    writer.calculations()
    writer.footer()
    sink.flush()
    return sink.nbytes


def generate(preset_or_params: Union[str, Params], path: str, seed: int = 0,
             compress: Optional[bool] = None, compresslevel: int = 6) -> int:
    """Write a run record to ``path``; gzip it when ``compress`` is true or,
    by default, when the path ends in ``.gz``.  Returns the uncompressed size.
    """
    p = resolve(preset_or_params)
    if compress is None:
        compress = str(path).endswith(".gz")
    with open(path, "wb") as fh:
        if compress:
            # no file name and a zero time stamp keep the output reproducible
            with gzip.GzipFile(filename="", mode="wb", fileobj=fh, mtime=0,
                               compresslevel=compresslevel) as gz:
                return write(p, gz, seed)
        return write(p, fh, seed)


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description="Write a synthetic VASP vasprun.xml.")
    ap.add_argument("preset", nargs="?", help="one of: " + ", ".join(PRESETS))
    ap.add_argument("out", nargs="?", help="output path (.gz for gzip)")
    ap.add_argument("--gzip", action="store_true", help="gzip the output whatever its name")
    ap.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    ap.add_argument("--overflow-stars", action="store_true", help="include ****** overflow fields")
    ap.add_argument("--list", action="store_true", help="list the presets and exit")
    args = ap.parse_args(argv)
    if args.list:
        for name, p in PRESETS.items():
            shown = ", ".join("%s=%s" % (f.name, getattr(p, f.name)) for f in fields(p)
                              if getattr(p, f.name) != getattr(Params(), f.name))
            print("%-8s %s" % (name, shown))
        return 0
    if not args.preset or not args.out:
        ap.error("PRESET and OUT_PATH are required")
    try:
        p = resolve(args.preset, **({"overflow_stars": True} if args.overflow_stars else {}))
    except ValueError as exc:
        ap.error(str(exc))
    t0 = time.perf_counter()
    n = generate(p, args.out, seed=args.seed, compress=True if args.gzip else None)
    sys.stderr.write("%s: %d bytes of XML in %.2f s\n" % (args.out, n, time.perf_counter() - t0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
