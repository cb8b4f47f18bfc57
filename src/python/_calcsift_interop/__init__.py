"""Conversions of calcsift's records into ASE and pymatgen objects.

Private: the public entry points are ``calcsift.to_ase`` and ``calcsift.to_pymatgen``
and the ASE I/O format ``calcsift``. Nothing here is imported by ``import calcsift``;
each submodule imports its peer library when it is first used.
"""
