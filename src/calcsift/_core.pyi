# The extension module: the class that the package exports as calcsift.Vasprun (its
# name and module are calcsift's), read_partial, the version and the SIMD kernel set in use.
from typing import Optional, Tuple

from calcsift import Vasprun as Vasprun, read_partial as read_partial

__version__: str
_simd_kernels: Optional[str]  # "avx2", "sse2" or "scalar"; None when CALCSIFT_SIMD is refused
_simd_sets: Tuple[str, ...]  # the sets this CPU runs, widest first
