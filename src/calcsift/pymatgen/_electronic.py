"""The electronic blocks as pymatgen holds them: eigenvalues and projections by ``Spin``, ``Dos`` objects and
per-ion partial densities by orbital, the KPOINTS_OPT bands, dielectric functions, the dynamical matrix."""

from collections import defaultdict

import numpy as np
from pymatgen.electronic_structure.core import Orbital, OrbitalType, Spin
from pymatgen.electronic_structure.dos import Dos
from pymatgen.io.vasp.outputs import KpointOptProps

from . import _inputs


def by_spin(sets):
    """Per-spin arrays: set 1 is up, every later one down (only two appear in VASP's eigenvalue blocks)."""
    out = {Spin.up: sets[0]}
    if len(sets) > 1:
        out[Spin.down] = sets[-1]
    return out


def _dos_spins(sets):
    """Densities by spin: up and down for exactly two spin sets; otherwise the first set as up (a
    non-collinear run writes four: total and the three magnetisation components)."""
    return {Spin.up: sets[0], Spin.down: sets[1]} if len(sets) == 2 else {Spin.up: sets[0]}


def dos(block):
    """(tdos, idos, pdos, efermi) of a DOS block of calcsift's layout.

    Raises ValueError where pymatgen's reader marks the DOS as unreadable (more orbitals than it names)."""
    efermi = block["efermi"]
    total = block["total"]
    energies = total["energies"]
    tdos = Dos(efermi, energies, _dos_spins(total["densities"]))
    idos = Dos(efermi, energies, _dos_spins(total["integrated"]))
    pdos = []
    partial = block.get("partial")
    if partial is not None:
        data = partial["data"]                          # (spins, ions, orbitals, points)
        names = partial["orbitals"]
        kind = Orbital if any("x" in n for n in names) else OrbitalType
        orbitals = [kind(j) for j in range(len(names))]
        spins = [Spin.up, Spin.down] if data.shape[0] == 2 else [Spin.up]
        for ion in range(data.shape[1]):
            per_ion = defaultdict(dict)
            for j, orbital in enumerate(orbitals):
                per_ion[orbital] = {spin: data[s, ion, j] for s, spin in enumerate(spins)}
            pdos.append(per_ion)
    return tdos, idos, pdos, efermi


def projected(block):
    """(projected_eigenvalues, projected_magnetization) of a projected block: a non-collinear run's four sets
    are the total (up) and the magnetisation components x, y, z stacked on a last axis."""
    data = block["data"]                                # (sets, kpoints, bands, ions, orbitals)
    if data.shape[0] == 4:
        return {Spin.up: data[0]}, np.stack([data[1], data[2], data[3]], axis=-1)
    return by_spin(data), None


def kpoints_opt(block, parse_eigen, parse_dos, parse_projected, with_dos=True):
    """KpointOptProps of calcsift's ``kpoints_opt`` block. VASP writes the bands of <eigenvalues_kpoints_opt>
    without occupancies; the copy inside <projected_kpoints_opt> has them: the energies alone keep one field."""
    props = KpointOptProps()
    props.kpoints, props.actual_kpoints, props.actual_kpoints_weights = _inputs.kpoints(
        {"kpointlist": block["kpointlist"], "weights": block["weights"]})
    eigen = block.get("eigenvalues")
    if parse_eigen and eigen is not None:
        if eigen.shape[-1] == 2 and np.isnan(eigen[..., 1]).all():
            eigen = np.ascontiguousarray(eigen[..., :1])
        props.eigenvalues = by_spin(eigen)
    if parse_projected and block.get("projected") is not None:
        props.projected_eigenvalues, props.projected_magnetization = projected(block["projected"])
    if parse_dos and block.get("dos") is not None:
        tdos, idos, pdos, props.efermi = dos(block["dos"])
        if with_dos:
            props.tdos, props.idos, props.pdos = tdos, idos, pdos
            props.dos_has_errors = False
    return props


_COMMENT_KEYS = {"density-density": "density", "current-current": "velocity"}


def dielectric_data(functions, bse):
    """``dielectric_data`` of the dielectric functions (calcsift's layout) in file order: keyed by their comment
    (density-density and current-current are "density" and "velocity"); one without a comment is
    "freq_dependent" in a BSE run, else "density", then "velocity"."""
    out = {}
    for f in functions:
        comment = f.get("comment")
        if comment is not None:
            key = _COMMENT_KEYS.get(comment, comment)
        elif bse:
            key = "freq_dependent"
        else:
            key = "velocity" if "density" in out else "density"
        out[key] = (f["energies"].tolist(), f["real"].tolist(), f["imag"].tolist())
    return out


def dynmat(block):
    """(force_constants, normalmode_eigenvals, normalmode_eigenvecs): the Hessian as (n, n, 3, 3) blocks and one
    eigenvector per row as (n, 3), in VASP's units and sign."""
    hessian = block["hessian"]
    d = hessian.shape[0]
    n = d // 3
    force_constants = hessian.reshape(n, 3, n, 3).transpose(0, 2, 1, 3)
    eigenvectors = block["eigenvectors"]
    return force_constants, block["eigenvalues"], eigenvectors.reshape(eigenvectors.shape[0], n, 3)
