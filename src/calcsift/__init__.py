"""calcsift: fast, exact reading of VASP vasprun.xml run records."""

# Vasprun and read_partial (from the extension module calcsift._core) parse a file. to_ase and
# to_pymatgen hand a run to ASE and pymatgen, whose modules are imported on the first call:
# `import calcsift` imports neither library.
import importlib as _importlib

from ._errors import VasprunError
from ._core import Vasprun, __version__, read_partial

__all__ = ["Vasprun", "VasprunError", "read_partial", "to_ase", "to_pymatgen", "__version__"]


def to_ase(path, index=":", *, ionic_step_skip=None, ionic_step_offset=0):
    """The kept ionic steps of the run at path as ase.Atoms, each with a single-point
    calculator (energy, free_energy, forces, stress, magmoms where the step has them).
    index works as in ase.io.read: an int gives one Atoms, a slice or its text a list.
    A run without ionic steps gives one Atoms, its initial structure."""
    return _peer("ase", "to_ase").to_ase(path, index, ionic_step_skip=ionic_step_skip,
                                         ionic_step_offset=ionic_step_offset)


def to_pymatgen(path, *, ionic_step_skip=None, ionic_step_offset=0, **options):
    """The run at path as a calcsift.pymatgen.Vasprun: a pymatgen.io.vasp.Vasprun
    filled by calcsift (initial_structure, final_structure, structures, ionic_steps,
    final_energy and every other attribute and method of pymatgen's reader). options
    are those of its constructor (parse_dos, parse_eigen, ...)."""
    return _peer("pymatgen", "to_pymatgen").to_pymatgen(path, ionic_step_skip=ionic_step_skip,
                                                       ionic_step_offset=ionic_step_offset, **options)


def _peer(extra, function):
    """The conversion module for a peer library; without the library, an ImportError that names the extra."""
    try:
        return _importlib.import_module("calcsift." + extra)
    except ImportError as e:
        raise ImportError(f"calcsift.{function} needs {extra} (pip install 'calcsift[{extra}]'): {e}") from e
