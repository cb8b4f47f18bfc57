"""examples/dask_summary.py: summary rows computed on a Dask cluster bound to 127.0.0.1, one Parquet table,
checked row by row against calcsift read directly. Needs dask.distributed, pyarrow and pandas."""

import collections
import gzip
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

import calcsift

distributed = pytest.importorskip("distributed", reason="the Dask recipe needs dask.distributed "
                                  "(pip install 'dask[distributed]')")
pytest.importorskip("pyarrow", reason="the Dask recipe needs pyarrow (pip install pyarrow)")
pd = pytest.importorskip("pandas", reason="the Dask recipe's test reads the table with pandas (pip install pandas)")

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "examples" / "dask_summary.py"
sys.path.insert(0, str(ROOT / "bench"))
import generate  # noqa: E402


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    """Generated runs (plain and .gz, with and without a DOS, a NaN energy), a file cut inside a tag, a
    missing one and a relaxation cut after some steps (readable, complete in neither sense)."""
    folder = tmp_path_factory.mktemp("batch")
    files = []
    for name, preset, overrides in [("tiny.xml", "tiny", {}), ("small.xml.gz", "small", {}),
                                    ("nodos.xml", "tiny", dict(with_dos=False, nsteps=3))]:
        generate.generate(generate.resolve(preset, **overrides), str(folder / name), seed=len(files))
        files.append(str(folder / name))
    text = (folder / "tiny.xml").read_bytes()
    value = text.rindex(b'name="e_fr_energy">') + len(b'name="e_fr_energy">')  # the last step's
    (folder / "nan.xml").write_bytes(text[:value] + b" NaN " + text[text.index(b"</i>", value):])
    files.append(str(folder / "nan.xml"))
    (folder / "cut.xml").write_bytes(text[:text.index(b"<atominfo") + 5])
    files[2:2] = [str(folder / "cut.xml"), str(folder / "missing.xml")]
    text = gzip.decompress((folder / "small.xml.gz").read_bytes())
    (folder / "partial.xml").write_bytes(text[:text.rindex(b"<calculation>") + 200])
    files.append(str(folder / "partial.xml"))
    return files


def expected_row(path):
    try:
        run = calcsift.Vasprun(path)
    except RuntimeError as e:
        return dict(path=path, program=None, version=None, composition=None, nsteps=None, e_fr_energy=None,
                    e_0_energy=None, converged_electronic=None, converged_ionic=None, complete=None,
                    efermi=None, nkpts=None, error=str(e))
    steps = run.ionic_steps
    e_0 = run.final_energy if hasattr(calcsift.Vasprun, "final_energy") else steps[-1]["e_0_energy"]
    return dict(path=path, program=run.program, version=run.version,
                composition="".join(f"{e}{n}" for e, n in collections.Counter(run.atoms).items()),
                nsteps=len(steps), e_fr_energy=steps[-1]["e_fr_energy"], e_0_energy=e_0,
                converged_electronic=run.converged_electronic, converged_ionic=run.converged_ionic,
                complete=run.complete if hasattr(calcsift.Vasprun, "complete") else None,
                efermi=run.efermi, nkpts=len(run.kpoints["weights"]), error=None)


def plain(value):
    """A cell as a Python value: None for a null, floats as floats (NaN kept apart from null)."""
    if value is pd.NA or value is None:
        return None
    return value.item() if hasattr(value, "item") else value


def same(got, want):
    if isinstance(want, float) and math.isnan(want):
        return isinstance(got, float) and math.isnan(got)
    return type(got) is type(want) and got == want


@pytest.mark.parametrize("cluster", ["local", "scheduler"])
def test_dask_recipe_table_matches_calcsift(batch, tmp_path, cluster):
    out = tmp_path / "table.parquet"
    args = [sys.executable, str(SCRIPT), *batch, "--out", str(out)]
    if cluster == "local":  # the script's own cluster: worker processes on 127.0.0.1
        result = subprocess.run(args + ["--workers", "2"], capture_output=True, text=True, timeout=60)
    else:  # a running cluster the script connects to
        with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, protocol="tcp",
                                      host="127.0.0.1", dashboard_address=None) as running:
            assert running.scheduler_address.startswith("tcp://127.0.0.1:")
            result = subprocess.run(args + ["--scheduler", running.scheduler_address, "--chunk", "2"],
                                    capture_output=True, text=True, timeout=60)
    assert result.returncode == 1, result.stderr
    assert result.stderr.endswith(f"2 of {len(batch)} files could not be read (see the error column of {out})\n")

    # The pyarrow-backed frame keeps a NaN apart from a null (the NumPy-nullable one makes both NA).
    table = pd.read_parquet(out, dtype_backend="pyarrow")
    assert [str(t) for t in table.dtypes] == ["string[pyarrow]"] * 4 + [
        "int64[pyarrow]", "double[pyarrow]", "double[pyarrow]"] + ["bool[pyarrow]"] * 3 + ["double[pyarrow]",
        "int64[pyarrow]", "string[pyarrow]"]
    rows = [{name: plain(value) for name, value in row.items()} for row in table.to_dict("records")]
    want = [expected_row(path) for path in batch]
    assert [row["path"] for row in rows] == batch
    for got, expected in zip(rows, want):
        assert list(got) == list(expected)
        bad = [name for name in expected if not same(got[name], expected[name])]
        assert not bad, (got["path"], {name: (got[name], expected[name]) for name in bad})
    assert want[2]["error"].startswith("XML parse error") and want[3]["error"].startswith("I/O error")
    assert want[4]["efermi"] is None and math.isnan(want[5]["e_fr_energy"])
    # The relaxations used all NSW steps; the cut one is not electronically converged either.
    assert [(row["converged_electronic"], row["converged_ionic"]) for row in (want[1], want[6])] == [
        (True, False), (False, False)]
    assert want[6]["complete"] in (False, None)
