# Type stubs of calcsift.pymatgen: pymatgen's run readers filled by calcsift, and the patch of pymatgen's own.
import os
from contextlib import AbstractContextManager
from typing import Any, Optional, SupportsIndex, Union

from lxml.etree import XMLSyntaxError  # type: ignore[import-untyped]
from pymatgen.io.vasp import outputs

from .._errors import VasprunError

__all__ = ["Vasprun", "BSVasprun", "CutRecordError", "to_pymatgen", "patch", "unpatch", "patched", "is_patched"]

_Path = Union[str, os.PathLike[str]]

class CutRecordError(VasprunError, XMLSyntaxError):  # type: ignore[misc]
    """The run record ends before VASP closed it: where pymatgen's reader raises lxml's XMLSyntaxError."""

    def __init__(self, message: str, filename: str) -> None: ...

class Vasprun(outputs.Vasprun):
    """pymatgen's Vasprun (a subclass of it) with every attribute filled by calcsift."""

    def __init__(
        self,
        filename: _Path,
        ionic_step_skip: Optional[int] = None,
        ionic_step_offset: int = 0,
        parse_dos: bool = True,
        parse_eigen: bool = True,
        parse_projected_eigen: bool = False,
        parse_potcar_file: Union[bool, _Path] = True,
        occu_tol: float = 1e-08,
        separate_spins: bool = False,
        exception_on_bad_xml: bool = True,
    ) -> None: ...

class BSVasprun(outputs.BSVasprun):
    """pymatgen's BSVasprun (a subclass of it) with every attribute filled by calcsift."""

    def __init__(
        self,
        filename: _Path,
        parse_projected_eigen: Union[bool, str] = False,
        parse_potcar_file: Union[bool, _Path] = False,
        occu_tol: float = 1e-08,
        separate_spins: bool = False,
    ) -> None: ...

def to_pymatgen(
    path: _Path,
    *,
    ionic_step_skip: Optional[SupportsIndex] = None,
    ionic_step_offset: SupportsIndex = 0,
    **options: Any,
) -> Vasprun: ...

# pymatgen's own Vasprun and BSVasprun construct through calcsift (patch) or their own parse (unpatch).
def patch() -> None: ...
def unpatch() -> None: ...
def is_patched() -> bool: ...
def patched() -> AbstractContextManager[None]: ...
