# Type stubs of calcsift.dpdata: dpdata's format "calcsift".
import os
from typing import Any, Dict, Union

from dpdata.format import Format

from ._core import Vasprun

EV_PER_KBAR_A3: float
DEFAULT_NELM: int

class CalcsiftXMLFormat(Format):
    def from_labeled_system(
        self,
        file_name: Union[str, os.PathLike[str]],
        begin: int = 0,
        step: int = 1,
        convergence_check: bool = True,
        **kwargs: Any,
    ) -> Dict[str, Any]: ...

def labeled_system(run: Vasprun, begin: int = 0, step: int = 1, convergence_check: bool = True) -> Dict[str, Any]: ...
