"""Filling a pymatgen ``Vasprun`` or ``BSVasprun`` from calcsift instead of pymatgen's own parse.

``fill_vasprun`` and ``fill_bsvasprun`` set every attribute pymatgen's reader sets, with its types and values, in
the order it sets them, then do what its constructor does after the parse (the POTCAR look-up when asked, the
warning for an unconverged run). They serve the subclasses of this package and, after ``patch()``, pymatgen's own
classes.

Where calcsift cannot read a file (a compression it does not know, a malformed number, ...) or this layer cannot
give what pymatgen's reader would (a block that only an earlier selected calculation holds), pymatgen's own
constructor does the work: the result is pymatgen's, at pymatgen's speed. A file the system cannot open raises
its ``OSError`` as pymatgen's reader does.
"""

import gc
import os
import warnings

from lxml.etree import XMLSyntaxError  # type: ignore[import-untyped]
from pymatgen.io.vasp.inputs import Incar
from pymatgen.io.vasp.outputs import UnconvergedVASPWarning

from .. import _core
from .._errors import VasprunError
from . import _electronic, _inputs
from ._steps import Steps, kept
from ._structures import StructureFactory


class CutRecordError(VasprunError, XMLSyntaxError):
    """The run record ends before VASP closed it (a run cut short or still running). Raised where pymatgen's
    reader raises lxml's ``XMLSyntaxError`` (an instance of both): with ``exception_on_bad_xml=True`` and always
    for ``BSVasprun``."""

    def __init__(self, message, filename):
        XMLSyntaxError.__init__(self, message, 0, 0, 0, filename)

    def __reduce__(self):
        return type(self), (self.msg, self.filename)


class UsePymatgen(Exception):
    """calcsift cannot give this run as pymatgen's reader would: pymatgen's own constructor reads it."""


def load(filename, parse_dos, parse_eigen, parse_projected, cut_ok):
    """The calcsift run of every calculation (no selection). A cut record raises CutRecordError unless
    ``cut_ok``; then its complete calculations are read, with pymatgen's warning category."""
    path = os.fsdecode(os.fspath(filename))
    options = dict(parse_dos=bool(parse_dos), parse_eigen=bool(parse_eigen), parse_projected=bool(parse_projected))
    try:
        run = (_core.read_partial if cut_ok else _core.Vasprun)(path, **options)
    except OSError:
        raise
    except VasprunError as e:
        raise UsePymatgen(str(e)) from e
    if not run.complete:
        if not cut_ok:
            raise CutRecordError(f"{path}: the run record ends before </modeling> (the run was cut short or is still "
                                 "running); Vasprun(..., exception_on_bad_xml=False) reads its complete calculations",
                                 path)
        warnings.warn(f"{path}: the run record ends before </modeling>; its complete calculations are read",
                      UserWarning, stacklevel=4)
    return run


class _Blocks:
    """Which calculation supplies each block: pymatgen takes it from the last selected calculation that has one;
    calcsift hands out the last one of the file."""

    def __init__(self, calcs, skip, offset):
        self.calcs, self.skip, self.offset = calcs, skip, offset

    def here(self, *names):
        """The block is calcsift's (True) or absent for this selection (False)."""
        holders = [i for i, c in enumerate(self.calcs) if any(n in c["blocks"] for n in names)]
        chosen = [i for i in holders if kept(i, self.skip, self.offset)]
        if not chosen:
            return False
        if chosen[-1] != holders[-1]:
            raise UsePymatgen(f"the {names[0]} block of a selected calculation that is not the last to hold one")
        return True


def fill_vasprun(obj, filename, ionic_step_skip=None, ionic_step_offset=0, parse_dos=True, parse_eigen=True,
                 parse_projected_eigen=False, parse_potcar_file=True, occu_tol=1e-08, separate_spins=False,
                 exception_on_bad_xml=True, *, fallback):
    obj.filename = filename
    obj.ionic_step_skip = ionic_step_skip
    obj.ionic_step_offset = ionic_step_offset
    obj.occu_tol = occu_tol
    obj.separate_spins = separate_spins
    obj.exception_on_bad_xml = exception_on_bad_xml
    # The cyclic garbage collector stays off while the objects are built: an MD run makes millions of them (a
    # site and its state each), none in a cycle, and the collections their count sets off would take twice as
    # long as building them.
    collecting = gc.isenabled()
    gc.disable()
    try:
        run = load(filename, parse_dos, parse_eigen, parse_projected_eigen, not exception_on_bad_xml)
        _vasprun_from(obj, run, ionic_step_skip, ionic_step_offset, parse_dos, parse_eigen, parse_projected_eigen)
        ours = True
    except UsePymatgen:
        ours = False
    finally:
        if collecting:
            gc.enable()
    if not ours:
        obj.__dict__.clear()
        fallback(obj, filename, ionic_step_skip=ionic_step_skip, ionic_step_offset=ionic_step_offset,
                 parse_dos=parse_dos, parse_eigen=parse_eigen, parse_projected_eigen=parse_projected_eigen,
                 parse_potcar_file=parse_potcar_file, occu_tol=occu_tol, separate_spins=separate_spins,
                 exception_on_bad_xml=exception_on_bad_xml)
        return
    # As pymatgen's reader: the POTCAR look-up only for a run read whole.
    if parse_potcar_file and not (ionic_step_skip or ionic_step_offset):
        obj.update_potcar_spec(parse_potcar_file)
        obj.update_charge_from_potcar(parse_potcar_file)
    # As pymatgen's reader: no verdict on BSE and response-function runs, no warning for molecular dynamics.
    if (str(obj.incar.get("ALGO", "")).upper() not in ("BSE", "CHI") and not obj.converged
            and obj.parameters.get("IBRION") != 0):
        warnings.warn(f"{filename} is an unconverged VASP run (electronic convergence: {obj.converged_electronic}, "
                      f"ionic convergence: {obj.converged_ionic})", UnconvergedVASPWarning, stacklevel=3)


def _vasprun_from(obj, run, skip, offset, parse_dos, parse_eigen, parse_projected):
    calcs = run.calculations
    if (skip or offset) and calcs:
        if offset >= len(calcs):        # as pymatgen's reader, before it reads anything
            raise IndexError(f"ionic_step_offset={offset}: the run has {len(calcs)} calculations")
        obj.nionic_steps = len(calcs)
    obj.efermi = None
    obj.eigenvalues = None
    obj.projected_eigenvalues = None
    obj.projected_magnetization = None
    obj.dielectric_data = {}
    obj.incar = Incar()
    obj.kpoints_opt_props = None
    _head(obj, run, with_incar=True)
    make = StructureFactory(obj.atomic_symbols)
    named = run.named_structures
    if "initialpos" in named:
        obj.initial_structure = _named(make, named["initialpos"])
    if "finalpos" in named:
        obj.final_structure = _named(make, named["finalpos"])
    elif "initialpos" in named:
        obj.final_structure = obj.initial_structure
    blocks = _Blocks(calcs, skip, offset)
    if blocks.here("dynmat"):
        obj.force_constants, obj.normalmode_eigenvals, obj.normalmode_eigenvecs = _electronic.dynmat(run.dynmat)
    optical = run.optical_transitions
    if optical is not None:
        obj.optical_transition = optical
    if parse_dos and blocks.here("dos") and run.dos is not None:
        try:
            obj.tdos, obj.idos, obj.pdos, obj.efermi = _electronic.dos(run.dos)
            obj.dos_has_errors = False
        except ValueError:
            obj.efermi = None
            obj.dos_has_errors = True
    if parse_eigen and blocks.here("eigenvalues", "projected") and run.eigenvalues is not None:
        obj.eigenvalues = _electronic.by_spin(run.eigenvalues)
    if parse_projected and blocks.here("projected") and run.projected is not None:
        obj.projected_eigenvalues, obj.projected_magnetization = _electronic.projected(run.projected)
    bse = str(obj.incar.get("ALGO")).upper() == "BSE"
    functions = [f for f in run.dielectric_functions if "calculation" not in f or kept(f["calculation"], skip, offset)]
    obj.dielectric_data.update(_electronic.dielectric_data(functions, bse))
    if blocks.here("kpoints_opt") and run.kpoints_opt is not None:
        obj.kpoints_opt_props = _electronic.kpoints_opt(run.kpoints_opt, parse_eigen, parse_dos, parse_projected)
    steps = Steps(run, make)
    obj.ionic_steps = steps.ionic_steps(skip, offset, bool(obj.parameters.get("LCHIMAG", False)))
    obj.md_data = steps.md_data(skip, offset) if obj.incar.get("ML_LMLFF", False) else []
    obj.vasp_version = obj.generator["VERSION"]
    if not (skip or offset):
        learned = len(obj.md_data) - len(calcs) if obj.md_data else 0
        obj.nionic_steps = len(obj.ionic_steps) + learned
    elif not calcs:
        obj.nionic_steps = 0


def _head(obj, run, with_incar):
    """generator, incar, kpoints, parameters, atomic and POTCAR symbols, in pymatgen's order."""
    obj.generator = _inputs.generator(run.generator.items())
    if with_incar and run.incar is not None:
        obj.incar = _inputs.incar(run.incar_items)
    blocks = run.kpoint_blocks
    if blocks:
        obj.kpoints, obj.actual_kpoints, obj.actual_kpoints_weights = _inputs.kpoints(blocks[0])
    items = run.parameter_items
    obj.parameters = Incar() if items is None else _inputs.parameters(items)
    obj.atomic_symbols = _inputs.atomic_symbols(run.atoms)
    obj.potcar_symbols = _inputs.potcar_symbols(run.atom_types)
    obj.potcar_spec = _inputs.potcar_spec(obj.potcar_symbols)


def _named(make, s):
    import numpy as np

    return make(np.array(s["lattice"], dtype=np.float64), np.array(s["positions"], dtype=np.float64),
                s.get("selective"))


def fill_bsvasprun(obj, filename, parse_projected_eigen=False, parse_potcar_file=False, occu_tol=1e-08,
                   separate_spins=False, *, fallback):
    obj.filename = filename
    obj.occu_tol = occu_tol
    obj.separate_spins = separate_spins
    try:
        run = load(filename, True, True, parse_projected_eigen, False)
        _bsvasprun_from(obj, run, parse_projected_eigen)
    except UsePymatgen:
        obj.__dict__.clear()
        fallback(obj, filename, parse_projected_eigen=parse_projected_eigen, parse_potcar_file=parse_potcar_file,
                 occu_tol=occu_tol, separate_spins=separate_spins)
        return
    if parse_potcar_file:
        obj.update_potcar_spec(parse_potcar_file)


def _bsvasprun_from(obj, run, parse_projected):
    obj.efermi = run.efermi
    eigen = run.eigenvalues
    obj.eigenvalues = None if eigen is None else _electronic.by_spin(eigen)
    obj.projected_eigenvalues = None
    obj.kpoints_opt_props = None
    if run.kpoints_opt is not None:
        obj.kpoints_opt_props = _electronic.kpoints_opt(run.kpoints_opt, True, True, parse_projected, with_dos=False)
    _head(obj, run, with_incar=True)
    if parse_projected and run.projected is not None:
        obj.projected_eigenvalues, obj.projected_magnetization = _electronic.projected(run.projected)
    named = run.named_structures
    if "finalpos" in named:
        obj.final_structure = _named(StructureFactory(obj.atomic_symbols), named["finalpos"])
    obj.vasp_version = obj.generator["VERSION"]
