#!/usr/bin/env python3
"""Energy and largest force of every ionic step of a relaxation (or an MD run), from Vasprun.trajectory.

    python3 examples/plot_relaxation.py vasprun.xml.gz                     # a window (matplotlib)
    python3 examples/plot_relaxation.py vasprun.xml.gz -o relaxation.png   # a picture file

Without matplotlib (pip install matplotlib) the values are printed as a table instead. A step that lacks its
energy or forces (a run cut off while writing it) is NaN in the trajectory and left out of the plot.
"""

import argparse
import sys

import numpy as np

import calcsift


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("path", help="vasprun.xml, plain or .gz")
    ap.add_argument("-o", "--out", help="write the plot to this file (PNG, SVG, PDF) instead of a window")
    args = ap.parse_args(argv)

    run = calcsift.Vasprun(args.path, parse_dos=False, parse_eigen=False)
    t = run.trajectory
    energy = t["e_0_energy"]                                  # eV, sigma -> 0
    fmax = np.linalg.norm(t["forces"], axis=2).max(axis=1) if len(run.atoms) else np.full(len(energy), np.nan)
    steps = np.arange(1, len(energy) + 1)
    if not len(steps):
        sys.exit("%s has no ionic steps" % args.path)

    try:
        import matplotlib
        if args.out:
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("%5s %18s %12s" % ("step", "e_0_energy (eV)", "max |F| (eV/A)"))
        for s, e, f in zip(steps, energy, fmax):
            print("%5d %18.8f %12.6f" % (s, e, f))
        return 0

    formula = "".join("%s%s" % (a["element"], a["count"] if a["count"] > 1 else "") for a in run.atom_types)
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(6.4, 4.8), constrained_layout=True)
    top.plot(steps, energy, "o-", ms=3, color="tab:blue")
    top.set_ylabel("energy (eV)")
    top.set_title("%s: %d ionic steps" % (formula, len(steps)))
    bottom.semilogy(steps, fmax, "o-", ms=3, color="tab:red")
    bottom.set_ylabel("max |force| (eV/Å)")
    bottom.set_xlabel("ionic step")
    for ax in (top, bottom):
        ax.grid(alpha=0.3)
    if args.out:
        fig.savefig(args.out, dpi=100)
    else:
        plt.show()
    return 0


if __name__ == "__main__":
    sys.exit(main())
