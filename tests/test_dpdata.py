"""dpdata's format "calcsift" against dpdata's own vasp/xml reader, on every corpus file and the generated small,
relax and md runs, with and without its convergence check and with begin/step. dpdata's reader cannot read .gz
files: it reads a decompressed copy. Where it fails, ours must load (DPDATA_FAILS says what it gives)."""

import contextlib
import gzip
import io
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import peer_run_names, require_module

dpdata = require_module("dpdata")
import calcsift.dpdata  # noqa: E402,F401  (registers the format where the entry point is not installed)

MODES = {"check": {}, "no-check": {"convergence_check": False}, "begin-step": {"begin": 1, "step": 2}}
# (file, mode) -> (what dpdata raises, the options of dpdata's run ours equals (None: ours has no frame), why)
DPDATA_FAILS = {
    ("real-04.xml", "check"): ("ParseError", {"convergence_check": False},
                               "a cut run: ours reads its complete calculations"),
    ("real-04.xml", "begin-step"): ("ParseError", {"begin": 1, "step": 2, "convergence_check": False},
                                    "a cut run: ours reads its complete calculations"),
    **{("real-10.xml.gz", m): ("AttributeError", None, "its one calculation has no structure: ours gives no frame")
       for m in MODES},
}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", peer_run_names())
def test_calcsift_format_equals_vasp_xml(peer_runs, tmp_path, name, mode):
    path = peer_runs[name]
    reference = path
    if path.endswith(".gz"):
        reference = str(tmp_path / Path(path).stem)
        Path(reference).write_bytes(gzip.decompress(Path(path).read_bytes()))
    ours = dpdata.LabeledSystem(path, fmt="calcsift", **MODES[mode])
    options = MODES[mode]
    fails = DPDATA_FAILS.get((name, mode))
    if fails is not None:
        with pytest.raises(Exception) as info, contextlib.redirect_stdout(io.StringIO()):
            dpdata.LabeledSystem(reference, fmt="vasp/xml", **options)
        assert type(info.value).__name__ == fails[0]
        if fails[1] is None:
            assert len(ours) == 0
            return
        options = fails[1]
    with contextlib.redirect_stdout(io.StringIO()):
        theirs = dpdata.LabeledSystem(reference, fmt="vasp/xml", **options)
    a, b = ours.data, theirs.data
    assert list(a) == list(b)
    for key in b:
        x, y = a[key], b[key]
        if isinstance(y, np.ndarray):
            assert x.dtype == y.dtype and x.shape == y.shape and np.array_equal(x, y), key
        else:
            assert x == y and [type(v) for v in x] == [type(v) for v in y], key


def test_dpdata_finds_the_format_through_its_entry_point(peer_runs, tmp_path):
    """dpdata imports the module pyproject.toml declares in its plugin group at `import dpdata`. An installed
    calcsift has the entry point; a build folder has no metadata, so the test gives it the declared one."""
    text = (Path(__file__).resolve().parent.parent / "pyproject.toml").read_text()
    declared = re.search(r'^\[project\.entry-points\."dpdata\.plugins"\]\n(\S+) = "([^"]+)"', text, re.M)
    assert declared and declared.groups() == ("calcsift", "calcsift.dpdata")
    info = tmp_path / "calcsift_probe-0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: calcsift-probe\nVersion: 0\n")
    (info / "entry_points.txt").write_text("[dpdata.plugins]\n%s = %s\n" % declared.groups())
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path)] + sys.path))
    # dpdata first (it loads the plugin), or the module first (which imports dpdata, which loads the plugin)
    for first in ("dpdata", "calcsift.dpdata, dpdata"):
        code = (f"import sys, {first}; s = dpdata.LabeledSystem(sys.argv[1], fmt='calcsift'); "
                "print(len(s), 'calcsift.dpdata' in sys.modules)")
        out = subprocess.run([sys.executable, "-c", code, peer_runs["real-06.xml.gz"]], capture_output=True,
                             text=True, env=env, cwd=tmp_path)
        assert out.returncode == 0 and out.stdout == "10 True\n", out.stdout + out.stderr
