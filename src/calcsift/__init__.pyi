"""calcsift: fast, exact reading of VASP vasprun.xml run records."""

# The dict layouts below exist for type checkers only: at run time every property
# returns a plain dict, and the package holds nothing but the class Vasprun (from
# the extension module calcsift._core), the exception VasprunError, the functions
# read_partial, to_ase and to_pymatgen and __version__. ASE and pymatgen are optional: their
# objects are typed Any here, so that these stubs do not need either installed.

import os
from typing import (Any, Dict, List, Optional, SupportsIndex, Tuple, TypedDict, Union, final, overload,
                    type_check_only)

import numpy
from numpy.typing import NDArray

__all__ = ["Vasprun", "VasprunError", "read_partial", "to_ase", "to_pymatgen", "__version__"]

#: The version of the package (from pyproject.toml).
__version__: str

_FloatArray = NDArray[numpy.float64]
_BoolArray = NDArray[numpy.bool_]

#: The Python value of one INCAR parameter.
_IncarValue = Union[int, float, bool, str, List[float]]

#: The Python value of one item of <parameters>: the INCAR's types, and lists for its <v> items.
_ParameterValue = Union[int, float, bool, str, List[float], List[int], List[bool]]

@type_check_only
class AtomTypeDict(TypedDict):
    element: str
    count: int
    mass: float
    valence: float
    pseudopotential: str

@type_check_only
class _KpointsRequired(TypedDict):
    kpointlist: _FloatArray  # shape (N, 3)
    weights: _FloatArray  # shape (W,)

@type_check_only
class KpointsDict(_KpointsRequired, total=False):
    scheme: str  # present when the k-points have a generation block
    divisions: List[int]  # three ints; present when the generation block gives them
    labels: List[Tuple[int, str]]  # (0-based index, label); present when there are labels

@type_check_only
class StructureDict(TypedDict):
    lattice: List[List[float]]  # 3 rows of 3 floats
    volume: float
    positions: List[List[float]]  # one row of 3 floats per atom
    species: List[str]

@type_check_only
class _IonicStepRequired(TypedDict):
    structure: StructureDict
    e_fr_energy: float
    e_wo_entrp: float
    e_0_energy: float
    forces: List[List[float]]  # one row of 3 floats per atom; empty without forces
    stress: List[List[float]]  # 3 rows of 3 floats

@type_check_only
class IonicStepDict(_IonicStepRequired, total=False):
    magnetization: List[List[float]]  # present only when the step has one

@type_check_only
class ProjectedDict(TypedDict):
    data: _FloatArray  # shape (nspins, nkpts, nbands, nions, norbitals)
    orbitals: List[str]

@type_check_only
class DosTotalDict(TypedDict):
    energies: _FloatArray  # shape (E,)
    densities: _FloatArray  # shape (nspins, G)
    integrated: _FloatArray  # shape (nspins, G)

@type_check_only
class DosPartialDict(TypedDict):
    data: _FloatArray  # shape (nspins, nions, norbitals, G)
    orbitals: List[str]

@type_check_only
class _DosRequired(TypedDict):
    efermi: float
    total: DosTotalDict

@type_check_only
class DosDict(_DosRequired, total=False):
    partial: DosPartialDict  # present only when the document has a partial DOS

@type_check_only
class DielectricDict(TypedDict):
    energies: _FloatArray  # shape (rows,)
    real: _FloatArray  # shape (rows, 6)
    imag: _FloatArray  # shape (rows, 6)

@type_check_only
class DynmatDict(TypedDict):
    hessian: _FloatArray  # shape (3 * natoms, 3 * natoms), or one row per free degree of freedom
    eigenvalues: _FloatArray  # shape (3 * natoms,)
    eigenvectors: _FloatArray  # shape (3 * natoms, 3 * natoms), one eigenvector per row

@type_check_only
class _KpointsOptRequired(TypedDict):
    kpointlist: _FloatArray  # shape (N, 3)
    weights: _FloatArray  # shape (N,)

@type_check_only
class KpointsOptDict(_KpointsOptRequired, total=False):
    eigenvalues: _FloatArray  # shape (nspins, N, nbands, 2); with parse_eigen
    projected: ProjectedDict  # with parse_projected
    dos: DosDict  # with parse_dos

@type_check_only
class _TrajectoryRequired(TypedDict):
    positions: _FloatArray  # shape (nsteps, natoms, 3), fractional
    lattice: _FloatArray  # shape (nsteps, 3, 3), rows are the lattice vectors
    forces: _FloatArray  # shape (nsteps, natoms, 3); NaN rows where a step has none
    stress: _FloatArray  # shape (nsteps, 3, 3); NaN where a step has none
    e_fr_energy: _FloatArray  # shape (nsteps,); NaN where a step has no energies
    e_wo_entrp: _FloatArray  # shape (nsteps,)
    e_0_energy: _FloatArray  # shape (nsteps,)

@type_check_only
class TrajectoryDict(_TrajectoryRequired, total=False):
    magnetization: _FloatArray  # shape (nsteps, natoms, ncomponents); present when a step has one
    machine_learned: _BoolArray  # shape (nsteps,): the machine-learned steps among the rows; present when any is

#: An item of <incar> as written: (name, type attribute or None, text, True for a <v> item).
_IncarItem = Tuple[str, Optional[str], str, bool]
#: An item of <parameters>: the same and the names of its enclosing <separator>s, outermost first.
_ParameterItem = Tuple[str, Optional[str], str, bool, Tuple[str, ...]]

@type_check_only
class _KpointBlockRequired(TypedDict):
    kpointlist: _FloatArray  # shape (N, 3)
    weights: _FloatArray  # shape (W,)

@type_check_only
class KpointBlockDict(_KpointBlockRequired, total=False):
    generation: Dict[str, Any]  # "param" (str) and every item of <generation> by name, typed as parameters are
    labels: List[Tuple[int, str]]

@type_check_only
class NamedStructureDict(StructureDict, total=False):
    selective: _BoolArray  # shape (natoms, 3); present when the structure has selective-dynamics flags

@type_check_only
class _CalculationRequired(TypedDict):
    step: Optional[int]  # its ionic step's index in ionic_steps and trajectory, when it has one and it is kept
    closed: bool  # its end tag was read
    varrays: Dict[str, _FloatArray]  # every <varray> but forces, stress and magnetization (see ionic_steps)
    scsteps: List[Dict[str, float]]  # every <scstep>'s energy terms, also those after the structure
    ground_state_scsteps: int  # how many of scsteps come before the structure
    blocks: List[str]  # which of eigenvalues, projected, dos, dielectricfunction, dynmat, born_charges, kpoints_opt

@type_check_only
class CalculationDict(_CalculationRequired, total=False):
    energy: Dict[str, float]  # every term of its <energy>; absent without one
    selective: _BoolArray  # shape (natoms, 3): its structure's selective-dynamics flags

@type_check_only
class _MlStepRequired(TypedDict):
    after: int  # index in calculations of the calculation before it; -1 before any
    structure: StructureDict
    energy: Dict[str, float]

@type_check_only
class MlStepDict(_MlStepRequired, total=False):
    forces: _FloatArray  # shape (natoms, 3)
    stress: _FloatArray  # shape (3, 3)

@type_check_only
class _DielectricFunctionRequired(TypedDict):
    energies: _FloatArray  # shape (rows,)
    real: _FloatArray  # shape (rows, 6)
    imag: _FloatArray  # shape (rows, 6)

@type_check_only
class DielectricFunctionDict(_DielectricFunctionRequired, total=False):
    comment: str  # its comment attribute (VASP 6: "density-density", "current-current")
    calculation: int  # index in calculations; absent at top level

_Path = Union[str, os.PathLike[str]]

def read_partial(
    path: str,
    parse_dos: bool = True,
    parse_eigen: bool = True,
    parse_projected: bool = False,
    ionic_step_skip: Optional[SupportsIndex] = None,
    ionic_step_offset: SupportsIndex = 0,
) -> Vasprun: ...

class VasprunError(RuntimeError):
    """Every failure to read or parse a run record; str(e) (its one argument) says why.

    A file the system could not open or read ("I/O error: No such file or directory (os
    error 2)") is also an instance of the OSError subclass of its errno, with errno set:
    FileNotFoundError (ENOENT), IsADirectoryError (EISDIR), PermissionError (EACCES, EPERM),
    else OSError; its strerror and filename stay None. A corrupt .gz and every parse error
    are VasprunError only. Running out of memory is MemoryError.
    """

# ImportError naming the extra to install (pip install 'calcsift[ase]') when ASE is missing.
@overload
def to_ase(
    path: _Path,
    index: slice = ...,
    *,
    ionic_step_skip: Optional[SupportsIndex] = None,
    ionic_step_offset: SupportsIndex = 0,
) -> List[Any]: ...  # one ase.Atoms per selected step

@overload
def to_ase(
    path: _Path,
    index: Union[SupportsIndex, str],
    *,
    ionic_step_skip: Optional[SupportsIndex] = None,
    ionic_step_offset: SupportsIndex = 0,
) -> Any: ...  # one ase.Atoms for an int; for a text, what ase.io.read gives for it

# ImportError naming the extra to install (pip install 'calcsift[pymatgen]') when pymatgen is missing.
# Returns a calcsift.pymatgen.Vasprun (a pymatgen.io.vasp.Vasprun; typed in calcsift/pymatgen/__init__.pyi).
def to_pymatgen(
    path: _Path,
    *,
    ionic_step_skip: Optional[SupportsIndex] = None,
    ionic_step_offset: SupportsIndex = 0,
    **options: Any,
) -> Any: ...

@final
class Vasprun:
    """A parsed vasprun.xml run record (read-only). The constructor reads the whole file and
    raises VasprunError (see there) when it cannot."""

    def __new__(
        cls,
        path: str,
        parse_dos: Union[bool, numpy.bool_] = True,
        parse_eigen: Union[bool, numpy.bool_] = True,
        parse_projected: Union[bool, numpy.bool_] = False,
        ionic_step_skip: Optional[SupportsIndex] = None,
        ionic_step_offset: SupportsIndex = 0,
    ) -> Vasprun: ...
    @property
    def program(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def incar(self) -> Dict[str, _IncarValue]: ...
    @property
    def atoms(self) -> List[str]: ...
    @property
    def atom_types(self) -> List[AtomTypeDict]: ...
    @property
    def kpoints(self) -> KpointsDict: ...
    @property
    def initial_structure(self) -> StructureDict: ...
    @property
    def final_structure(self) -> StructureDict: ...
    @property
    def ionic_steps(self) -> List[IonicStepDict]: ...
    @property
    def eigenvalues(self) -> Optional[_FloatArray]:
        """ndarray shape (nspins, nkpts, nbands, 2).  Axis-3: [energy, occupancy]."""
    @property
    def eigenvalue_shape(self) -> Optional[Tuple[int, int, int]]: ...
    @property
    def projected(self) -> Optional[ProjectedDict]:
        """Returns a dict with keys ``"data"`` (ndarray shape
        ``(nspins, nkpts, nbands, nions, norbitals)``) and ``"orbitals"``
        (list of orbital label strings), or ``None`` if not parsed."""
    @property
    def efermi(self) -> Optional[float]: ...
    @property
    def dos(self) -> Optional[DosDict]: ...
    @property
    def dielectric(self) -> Optional[DielectricDict]: ...
    @property
    def converged(self) -> bool: ...
    @property
    def parameters(self) -> Optional[Dict[str, _ParameterValue]]: ...
    @property
    def electronic_steps(self) -> List[_FloatArray]: ...  # one (nsc, 3) array per ionic step
    @property
    def converged_electronic(self) -> bool: ...
    @property
    def converged_ionic(self) -> bool: ...
    @property
    def complete(self) -> bool: ...  # VASP closed the record (</modeling>); False for a cut run
    @property
    def final_energy(self) -> Optional[float]: ...
    @property
    def selective_dynamics(self) -> Optional[_BoolArray]: ...  # shape (natoms, 3)
    @property
    def initial_velocities(self) -> Optional[_FloatArray]: ...  # shape (natoms, 3)
    @property
    def final_velocities(self) -> Optional[_FloatArray]: ...  # shape (natoms, 3)
    @property
    def dielectric_tensors(self) -> Optional[Dict[str, _FloatArray]]: ...  # (3, 3) tensors; GW's epsilon_diag (n, 2)
    @property
    def born_charges(self) -> Optional[_FloatArray]: ...  # shape (natoms, 3, 3)
    @property
    def dynmat(self) -> Optional[DynmatDict]: ...
    @property
    def kpoints_opt(self) -> Optional[KpointsOptDict]: ...
    @property
    def trajectory(self) -> TrajectoryDict: ...  # kept ionic steps, and machine-learned steps marked
    @property
    def generator(self) -> Dict[str, str]: ...  # every item of <generator>
    @property
    def incar_items(self) -> List[_IncarItem]: ...  # every item of <incar> as written, <v> items too
    @property
    def parameter_items(self) -> Optional[List[_ParameterItem]]: ...
    @property
    def kpoint_blocks(self) -> List[KpointBlockDict]: ...  # every top-level <kpoints>; kpoints is the last
    @property
    def named_structures(self) -> Dict[str, NamedStructureDict]: ...  # initialpos, finalpos, primitive_cell, ...
    @property
    def calculations(self) -> List[CalculationDict]: ...  # every <calculation>, kept or not
    @property
    def ml_steps(self) -> List[MlStepDict]: ...  # machine-learned force-field steps (VASP 6.3+)
    @property
    def dielectric_functions(self) -> List[DielectricFunctionDict]: ...  # every <dielectricfunction>
    @property
    def optical_transitions(self) -> Optional[_FloatArray]: ...  # shape (N, 2)
    @property
    def projected_magnetization(self) -> Optional[_FloatArray]: ...  # (nkpts, nbands, nions, norbitals, 3)
