#!/usr/bin/env python3
"""Replays a fuzzing corpus through the Python module: every file is loaded with a
few option sets and, when it loads, every property and the representation are
read. Only RuntimeError may come out of a load. Run it under the sanitized build
(see README.md) so that the binding layer meets the fuzzer's odd inputs too.

    python3 fuzz/replay_python.py DIR...
"""

import sys
from pathlib import Path

import calcsift

PROPERTIES = ("program", "version", "incar", "atoms", "atom_types", "kpoints", "initial_structure",
              "final_structure", "ionic_steps", "eigenvalues", "eigenvalue_shape", "projected", "efermi",
              "dos", "dielectric", "converged")
OPTIONS = ({}, {"parse_projected": True, "ionic_step_skip": 2},
           {"parse_dos": False, "parse_eigen": False, "ionic_step_offset": 1})


def main(dirs):
    loaded = failed = 0
    faults = []
    for path in sorted(p for d in dirs for p in Path(d).iterdir() if p.is_file()):
        for options in OPTIONS:
            try:
                v = calcsift.Vasprun(str(path), **options)
            except RuntimeError:
                failed += 1
                continue
            except Exception as e:
                faults.append(f"{path} {options}: {type(e).__name__}: {e}")
                continue
            loaded += 1
            try:
                for name in PROPERTIES:
                    getattr(v, name)
                repr(v)
            except Exception as e:
                faults.append(f"{path} {options}: property: {type(e).__name__}: {e}")
    print(f"{loaded} loads, {failed} RuntimeErrors, {len(faults)} faults")
    for f in faults:
        print("FAULT:", f)
    return 1 if faults else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1:]))
