"""calcsift.pymatgen against pymatgen's own Vasprun and BSVasprun, on every corpus file and the generated small,
relax and md runs: every attribute pymatgen's reader sets (taken from its object's ``__dict__``), ``as_dict()`` and
the methods that derive band structures, densities of states, band properties and computed entries. Every
deliberate difference is in EXPECTED with its reason; an entry there that no longer happens fails too.
"""

import bz2
import math
import pickle
import re
import warnings
from pathlib import Path

import numpy as np
import pytest

import calcsift
from conftest import require_module, peer_run_names

require_module("pymatgen")
from pymatgen.io.vasp import outputs  # noqa: E402
from pymatgen.io.vasp.outputs import Vasprun as PymatgenVasprun  # noqa: E402  (bound before any patch)

import calcsift.pymatgen as cp  # noqa: E402

KINTER = re.compile(rb'(<i type="int" name="KINTER">)\*+(</i>)')
# pymatgen cannot read these: it reads a copy with KINTER = 0 instead (see EXPECTED).
REPAIRED = {"real-03.xml", "real-04.xml"}
# Options of every mode for a file: pymatgen reads the cut real-04 only with exception_on_bad_xml=False.
FILE_OPTIONS = {"real-04.xml": {"exception_on_bad_xml": False}}

MODES = {
    "default": (cp.Vasprun, outputs.Vasprun, {}),
    "projected": (cp.Vasprun, outputs.Vasprun, {"parse_projected_eigen": True}),
    "skip": (cp.Vasprun, outputs.Vasprun, {"ionic_step_skip": 3, "ionic_step_offset": 1}),
    "bands": (cp.BSVasprun, outputs.BSVasprun, {"parse_projected_eigen": True}),
}

_KINTER_REASON = ("pymatgen raises ValueError on KINTER = ****** (an int field VASP overflowed) and reads the "
                  "repaired copy; ours keeps the text '******'")
# (file, mode or "*") -> {difference: reason}. A difference is the path of a value that is not equal.
EXPECTED = {
    ("real-03.xml", "*"): {"parameters['KINTER']": _KINTER_REASON, "filename": "pymatgen reads a repaired copy"},
    ("real-04.xml", "*"): {"parameters['KINTER']": _KINTER_REASON, "filename": "pymatgen reads a repaired copy",
                           "as_dict()['input']['parameters']['KINTER']": _KINTER_REASON},
    ("real-03.xml", "default"): {"as_dict()['input']['parameters']['KINTER']": _KINTER_REASON},
    ("real-03.xml", "projected"): {"as_dict()['input']['parameters']['KINTER']": _KINTER_REASON},
    ("real-03.xml", "skip"): {"as_dict()['input']['parameters']['KINTER']": _KINTER_REASON},
    ("real-04.xml", "skip"): {"nionic_steps": "a cut run is read up to its last complete calculation "
                                              "(calcsift.read_partial); pymatgen also counts the cut one"},
}


def expected(name, mode):
    out = dict(EXPECTED.get((name, "*"), {}))
    out.update(EXPECTED.get((name, mode), {}))
    if mode == "bands":
        out.pop("as_dict()['input']['parameters']['KINTER']", None)
    return out


def differences(a, b, path=""):
    """Paths where a (ours) and b (pymatgen's) differ: same types, arrays bitwise (or within 1e-12 relative),
    dicts with their key order, pymatgen objects by as_dict()."""
    if type(a) is not type(b):
        return [f"{path}"]
    if isinstance(a, np.ndarray):
        if a.shape != b.shape or a.dtype != b.dtype:
            return [path]
        if a.dtype.kind in "fc" and not np.array_equal(a, b, equal_nan=True):
            return [] if np.allclose(a, b, rtol=1e-12, atol=0, equal_nan=True) else [path]
        return [] if a.dtype.kind in "fc" or np.array_equal(a, b) else [path]
    if isinstance(a, dict):
        if list(a) != list(b):
            missing = [k for k in b if k not in a] + [k for k in a if k not in b]
            return [f"{path}[{k!r}]" for k in missing] or [f"{path} (key order)"]
        return [d for k in a for d in differences(a[k], b[k], f"{path}[{k!r}]")]
    if isinstance(a, (list, tuple)):
        if len(a) != len(b):
            return [f"{path} (length)"]
        return [d for i, (x, y) in enumerate(zip(a, b)) for d in differences(x, y, f"{path}[{i}]")]
    if isinstance(a, float):
        return [] if a == b or (math.isnan(a) and math.isnan(b)) else [path]
    if isinstance(a, outputs.KpointOptProps):
        return differences(vars(a), vars(b), path)
    if hasattr(a, "as_dict") and not isinstance(a, outputs.Vasprun):
        return differences(a.as_dict(), b.as_dict(), path)
    return [] if a == b else [path]


def outcome(f):
    """What calling f gives: its value, or the type of what it raises."""
    try:
        return f()
    except Exception as e:      # pymatgen's own methods on runs that lack what they need
        return ("raises", type(e))


def load(cls, path, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run = outcome(lambda: cls(path, **options))
    return run, [w.category for w in caught if w.category is not ResourceWarning]


METHODS = {
    "as_dict()": lambda v: v.as_dict(),
    "get_band_structure()": lambda v: v.get_band_structure().as_dict(),
    "complete_dos": lambda v: v.complete_dos.as_dict(),
    "eigenvalue_band_properties": lambda v: v.eigenvalue_band_properties,
    "get_computed_entry()": lambda v: v.get_computed_entry().as_dict(),
}


@pytest.fixture(scope="module")
def runs(peer_runs, tmp_path_factory):
    """The files and, for those pymatgen cannot read, the repaired copies it reads instead."""
    folder = tmp_path_factory.mktemp("repaired")
    reference = dict(peer_runs)
    for name in REPAIRED & set(peer_runs):
        reference[name] = str(folder / name)
        Path(reference[name]).write_bytes(KINTER.sub(rb"\g<1>     0\g<2>", Path(peer_runs[name]).read_bytes()))
    return peer_runs, reference


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", peer_run_names())
def test_drop_in_equals_pymatgen(runs, name, mode):
    paths, reference = runs
    ours_cls, their_cls, options = MODES[mode]
    if ours_cls is cp.Vasprun:
        options = dict(options, **FILE_OPTIONS.get(name, {}))
    theirs, their_warnings = load(their_cls, reference[name], **options)
    ours, our_warnings = load(ours_cls, paths[name], **options)
    assert our_warnings == their_warnings
    if isinstance(theirs, tuple):       # pymatgen fails: so do we, the same way
        assert isinstance(ours, tuple) and issubclass(ours[1], theirs[1]), (ours, theirs)
        return
    assert isinstance(ours, their_cls), ours
    found = {}
    for attr in theirs.__dict__:
        for d in differences(ours.__dict__.get(attr, KeyError), theirs.__dict__[attr], attr):
            found[d] = True
    assert list(ours.__dict__) == list(theirs.__dict__)
    for what, f in METHODS.items():
        if mode == "bands" and what == "as_dict()":
            continue        # pymatgen's as_dict needs ionic steps, which BSVasprun does not read
        for d in differences(outcome(lambda: f(ours)), outcome(lambda: f(theirs)), what):
            found[d] = True
    assert sorted(found) == sorted(expected(name, mode))


@pytest.mark.filterwarnings("ignore:No POTCAR file")
def test_drop_in_where_calcsift_cannot_read_or_pymatgen_fails(runs, tmp_path):
    paths, reference = runs
    # A cut run without exception_on_bad_xml=False: pymatgen's exception type (also a calcsift.VasprunError).
    from lxml.etree import XMLSyntaxError

    for cls in (cp.Vasprun, cp.BSVasprun, outputs.Vasprun):
        with pytest.raises(XMLSyntaxError):
            cls(paths["real-04.xml"] if cls is not outputs.Vasprun else reference["real-04.xml"])
    with pytest.raises(calcsift.VasprunError, match="ends before </modeling>"):
        cp.Vasprun(paths["real-04.xml"])
    # A compression calcsift does not read: pymatgen's own parse (and its result).
    packed = tmp_path / "vasprun.xml.bz2"
    packed.write_bytes(bz2.compress(Path(paths["real-05.xml"]).read_bytes()))
    ours, theirs = cp.Vasprun(str(packed)), outputs.Vasprun(str(packed))
    assert differences(ours.__dict__, theirs.__dict__) == []
    with pytest.raises(FileNotFoundError):
        cp.Vasprun(str(tmp_path / "missing.xml"))


def test_to_pymatgen_is_the_drop_in_and_pickles(runs):
    paths, _ = runs
    run = calcsift.to_pymatgen(Path(paths["md.xml"]), ionic_step_skip=10, parse_dos=False)
    assert type(run) is cp.Vasprun and isinstance(run, PymatgenVasprun)
    assert run.filename == Path(paths["md.xml"]) and len(run.structures) == 4
    back = pickle.loads(pickle.dumps(run))
    assert differences(back.__dict__, run.__dict__) == [] and back.final_energy == run.final_energy


@pytest.mark.filterwarnings("ignore:No POTCAR file")
def test_patch_routes_pymatgen_through_calcsift(runs, tmp_path, monkeypatch):
    """pymatgen's own helper builds its Vasprun objects through calcsift after patch(), also through names bound
    before it; unpatch() and the end of patched() restore pymatgen's constructors."""
    paths, _ = runs
    folder = tmp_path / "bands"
    (folder / "branch_0").mkdir(parents=True)
    (folder / "branch_0" / "vasprun.xml").write_bytes(Path(paths["real-08.xml"]).read_bytes())
    own = outputs.Vasprun.__dict__["__init__"], outputs.BSVasprun.__dict__["__init__"]
    before = outputs.get_band_structure_from_vasp_multiple_branches(str(folder))

    def no_pymatgen_parse(*args, **kwargs):
        raise AssertionError("pymatgen's own parse ran")

    with cp.patched():
        assert cp.is_patched()
        monkeypatch.setattr(outputs.Vasprun, "_parse", no_pymatgen_parse)
        after = outputs.get_band_structure_from_vasp_multiple_branches(str(folder))
        run = PymatgenVasprun(paths["real-08.xml"], parse_potcar_file=False)
        with cp.patched():                  # nested: still patched after the inner block
            pass
        bands = outputs.BSVasprun(paths["real-08.xml"])
        monkeypatch.undo()
    assert not cp.is_patched()
    assert (outputs.Vasprun.__dict__["__init__"], outputs.BSVasprun.__dict__["__init__"]) == own
    assert type(run) is PymatgenVasprun and type(bands) is outputs.BSVasprun
    assert differences(after.as_dict(), before.as_dict()) == []
    assert differences(run.__dict__, PymatgenVasprun(paths["real-08.xml"], parse_potcar_file=False).__dict__) == []
    cp.patch()
    cp.patch()
    try:
        assert PymatgenVasprun.__init__ is not own[0]
    finally:
        cp.unpatch()
    assert PymatgenVasprun.__init__ is own[0]
