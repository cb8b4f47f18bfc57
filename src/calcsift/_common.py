"""What both conversions share: opening a run with only the blocks they need."""

import os

from ._core import Vasprun


def open_run(path, ionic_step_skip=None, ionic_step_offset=0):
    """The parsed run at ``path`` (str or os.PathLike), without DOS and eigenvalues."""
    return Vasprun(os.fspath(path), parse_dos=False, parse_eigen=False,
                   ionic_step_skip=ionic_step_skip, ionic_step_offset=ionic_step_offset)


def ionic_trajectory(run):
    """``run.trajectory`` without the machine-learned steps among its rows: the ionic steps of the run, which the
    peers' own readers give (they read the calculations only)."""
    t = run.trajectory
    learned = t.pop("machine_learned", None)
    if learned is None:
        return t
    return {key: rows[~learned] for key, rows in t.items()}


def present(block):
    """A step's block of a trajectory array holds data: not all NaN (which marks a missing block)."""
    import numpy as np

    return block.size > 0 and not np.isnan(block).all()
