"""Shared helpers for building small run records and loading them, and the CI requirements.

Other test modules import the builders directly (``from conftest import make_doc``); they live in
``xmlbuild.py``, which fuzz/make_seeds.py shares.
"""

import os
import re
from pathlib import Path

import pytest

import calcsift
from xmlbuild import (DECL, LATTICE, atominfo_xml, calculation_xml, dos_xml, eigenvalues_xml,  # noqa: F401
                      energy_xml, generator_xml, incar_xml, kpoints_xml, make_doc, projected_xml, structure_xml,
                      vrows)

# ---- CI requirements ------------------------------------------------------------------------------------------------
# A test that needs what a machine may lack names it from REQUIREMENTS: the mark `requires(name, available)` (also as
# `pytestmark`), `require_module(name)` for an import, or `skip_missing(name)` inside a test or fixture. Where it is
# missing the test is skipped with the reason "[needs NAME] ...", unless CALCSIFT_REQUIRE (a comma-separated list of
# names, or "all"; .ci/run sets it) asks for NAME: then the skip is a failure, so that CI cannot pass while testing
# less than it should. A new requirement is one line in REQUIREMENTS; with CALCSIFT_REQUIRE=all CI requires it at once.
REQUIREMENTS = {
    "corpus": "the real run records in ../shared/corpus",
    "cli": "the calcsift executable (CALCSIFT_CLI, this Python's scripts folder or PATH)",
    "mypy": "mypy, for the checks of the type stubs",
    "wheel": "a wheel built by scripts/build_wheel.sh (CALCSIFT_WHEEL)",
    "cmake": "cmake and a C++ compiler, for the configure-time checks",
    "ase": "ASE, a peer reader for the differential tests",
    "pymatgen": "pymatgen, a peer reader for the differential tests",
    "dpdata": "dpdata, a peer reader for the differential tests",
    "dask": "dask, for the tests of reading with dask",
    "other-numpy": "a Python with the other NumPy major version (CALCSIFT_OTHER_NUMPY, see docs/design.md)",
}
_TAG = re.compile(r"\[needs ([\w.+-]+)\]")


def _asked():
    return {n.strip() for n in os.environ.get("CALCSIFT_REQUIRE", "").split(",") if n.strip()}


def _required():
    return set(REQUIREMENTS) if "all" in _asked() else _asked()


def _reason(name, detail=""):
    return f"[needs {name}] missing: {REQUIREMENTS[name]}" + (f" ({detail})" if detail else "")


def requires(name, available, detail=""):
    """A skipif mark for a test that needs ``name`` (a key of REQUIREMENTS)."""
    return pytest.mark.skipif(not available, reason=_reason(name, detail))


def require_module(name, module=None):
    """Import ``module`` (default: ``name``) or skip the test module for the requirement ``name``."""
    return pytest.importorskip(module or name, reason=_reason(name))


def skip_missing(name, detail=""):
    pytest.skip(_reason(name, detail))


def pytest_configure(config):
    unknown = _asked() - set(REQUIREMENTS) - {"all"}
    if unknown:
        raise pytest.UsageError(f"CALCSIFT_REQUIRE names unknown requirements: {', '.join(sorted(unknown))}")


def _fail_required_skip(report):
    if not report.skipped or hasattr(report, "wasxfail"):
        return
    text = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
    found = _TAG.search(text)
    if found and found.group(1) in _required():
        report.outcome = "failed"
        report.longrepr = f"{text}: required in this run (CALCSIFT_REQUIRE={os.environ.get('CALCSIFT_REQUIRE')})"


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    _fail_required_skip(outcome.get_result())


@pytest.hookimpl(hookwrapper=True)
def pytest_make_collect_report(collector):
    outcome = yield
    _fail_required_skip(outcome.get_result())
# ---- end of CI requirements ------------------------------------------------------------------------------------------


CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"

# A build folder imported through PYTHONPATH=<build> holds the package in <build>/calcsift and its
# programs (the CLI, the C++ test programs) in <build>/bin.
BUILD_BIN = Path(calcsift.__file__).resolve().parent.parent / "bin"

needs_corpus = requires("corpus", CORPUS.is_dir())


def corpus_files():
    """The real run records of the corpus, sorted by name (empty when the folder is absent)."""
    if not CORPUS.is_dir():
        return []
    return sorted(p for p in CORPUS.iterdir() if p.name.startswith("real-"))


def write_doc(tmp_path, body, name="vasprun.xml"):
    """Write ``body`` (str as UTF-8, or bytes as they are) to ``tmp_path / name``; return the path as str."""
    path = Path(tmp_path) / name
    path.write_bytes(body.encode("utf-8") if isinstance(body, str) else body)
    return str(path)


def load(tmp_path, body, name="vasprun.xml", **options):
    return calcsift.Vasprun(write_doc(tmp_path, body, name), **options)


def load_error(tmp_path, body, name="vasprun.xml", **options):
    """Load a document that must fail; return the RuntimeError's text."""
    with pytest.raises(RuntimeError) as info:
        load(tmp_path, body, name, **options)
    assert len(info.value.args) == 1
    return str(info.value)


@pytest.fixture
def doc(tmp_path):
    """``doc(body, **options)`` writes and loads a document in the test's temporary folder."""
    return lambda body, name="vasprun.xml", **options: load(tmp_path, body, name, **options)


@pytest.fixture
def doc_error(tmp_path):
    """``doc_error(body, **options)`` loads a document that must fail and returns the error text."""
    return lambda body, name="vasprun.xml", **options: load_error(tmp_path, body, name, **options)


# Runs the differential tests of the peer readers (pymatgen, dpdata) read: every corpus file and the generated
# presets small, relax and a short md (40 steps), written once per session.
PEER_PRESETS = {"small.xml": ("small", {}), "relax.xml": ("relax", {}), "md.xml": ("md", {"nsteps": 40})}


def peer_run_names():
    return [p.name for p in corpus_files()] + list(PEER_PRESETS)


@pytest.fixture(scope="session")
def peer_runs(tmp_path_factory):
    import sys

    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
    import generate

    folder = tmp_path_factory.mktemp("peer-runs")
    paths = {p.name: str(p) for p in corpus_files()}
    for name, (preset, overrides) in PEER_PRESETS.items():
        paths[name] = str(folder / name)
        generate.generate(generate.resolve(preset, **overrides), paths[name], seed=0)
    return paths
