"""Print what calcsift reads from a run record: python3 scripts/show.py [FILE]."""
import sys
from pathlib import Path

import calcsift

path = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).parent.parent / "examples" / "vasprun.xml")
run = calcsift.Vasprun(path, parse_projected=True)
print(repr(run))
print("INCAR:", ", ".join(f"{k}={v!r}" for k, v in list(run.incar.items())[:8]), "...")
print("atom types:", [(t["element"], t["count"]) for t in run.atom_types])
print("k-points:", run.kpoints["kpointlist"].shape[0], "scheme", run.kpoints.get("scheme"))
for i, step in enumerate(run.ionic_steps):
    fmax = max((sum(c * c for c in f) ** 0.5 for f in step["forces"]), default=0.0)
    print(f"step {i}: e_fr_energy={step['e_fr_energy']:.6f} eV  max|F|={fmax:.4f} eV/A")
print("converged:", run.converged, " efermi:", run.efermi)
if run.eigenvalues is not None:
    print("eigenvalues:", run.eigenvalues.shape)
if run.dos is not None:
    partial = run.dos.get("partial")
    print("DOS:", run.dos["total"]["densities"].shape,
          "partial:", None if partial is None else (partial["data"].shape, partial["orbitals"]))
if run.projected is not None:
    print("projected:", run.projected["data"].shape)
if run.dielectric is not None:
    print("dielectric:", run.dielectric["imag"].shape)
