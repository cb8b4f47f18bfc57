# The extension module: the class that the package exports as calcsift.Vasprun (its
# name and module are calcsift's), read_partial, the version and the SIMD kernel set in use.
from calcsift import Vasprun as Vasprun, read_partial as read_partial

__version__: str
_simd_kernels: str  # "avx2" or "scalar"
