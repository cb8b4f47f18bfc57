"""The Python surface: arguments, representation, introspection, property semantics, array ownership."""

import gc
import inspect
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import calcsift
from conftest import calculation_xml, dos_xml, eigenvalues_xml, make_doc, projected_xml, requires, write_doc

V = calcsift.Vasprun
PROPERTIES = ["program", "version", "incar", "atoms", "atom_types", "kpoints", "initial_structure",
              "final_structure", "ionic_steps", "eigenvalues", "eigenvalue_shape", "projected", "efermi", "dos",
              "dielectric", "converged", "parameters", "electronic_steps", "converged_electronic", "converged_ionic",
              "complete", "final_energy", "selective_dynamics", "initial_velocities", "final_velocities",
              "dielectric_tensors", "born_charges", "dynmat", "kpoints_opt", "trajectory", "generator", "incar_items",
              "parameter_items", "kpoint_blocks", "named_structures", "calculations", "ml_steps",
              "dielectric_functions", "optical_transitions", "projected_magnetization"]
SIGNATURE = "(path, parse_dos=True, parse_eigen=True, parse_projected=False, ionic_step_skip=None, ionic_step_offset=0)"
EIGEN_DOC = "ndarray shape (nspins, nkpts, nbands, 2).  Axis-3: [energy, occupancy]."
PROJECTED_DOC = ('Returns a dict with keys ``"data"`` (ndarray shape\n'
                 '``(nspins, nkpts, nbands, nions, norbitals)``) and ``"orbitals"``\n'
                 "(list of orbital label strings), or ``None`` if not parsed.")


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    body = "".join(calculation_xml(-float(i + 1), body=dos_xml(0.5 * i) + eigenvalues_xml(nkpts=2)) for i in range(3))
    return write_doc(tmp_path_factory.mktemp("api"), make_doc(body + calculation_xml(-4.0, body=projected_xml()),
                                                              kpoints=((0, 0, 0), (0.5, 0, 0))))


class Index:
    def __index__(self):
        return 1


# --- arguments ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, exc, name", [
    ({"parse_dos": 1}, TypeError, "parse_dos"),
    ({"parse_eigen": 0}, TypeError, "parse_eigen"),
    ({"parse_projected": None}, TypeError, "parse_projected"),
    ({"parse_dos": "yes"}, TypeError, "parse_dos"),
    ({"parse_dos": np.int64(1)}, TypeError, "parse_dos"),
    ({"ionic_step_skip": -1}, OverflowError, None),
    ({"ionic_step_offset": -1}, OverflowError, None),
    ({"ionic_step_skip": 2**64}, OverflowError, None),
    ({"ionic_step_offset": 2**100}, OverflowError, None),
    ({"ionic_step_offset": None}, TypeError, "ionic_step_offset"),
    ({"ionic_step_skip": 1.0}, TypeError, "ionic_step_skip"),
    ({"ionic_step_skip": "1"}, TypeError, "ionic_step_skip"),
    ({"ionic_step_offset": np.float64(1)}, TypeError, "ionic_step_offset"),
    ({"parse_dos": 1, "ionic_step_skip": -1}, TypeError, "parse_dos"),               # signature order decides
    ({"ionic_step_skip": -1, "ionic_step_offset": None}, OverflowError, None),
    ({"bogus": True}, TypeError, None),
    ({"path": "x"}, TypeError, None),                                               # given both ways
    ({"parse_dos": True, "parse_eigen": True, "parse_projected": True, "ionic_step_skip": 1, "ionic_step_offset": 0,
      "extra": 1}, TypeError, None),
])
@pytest.mark.parametrize("exists", [True, False])
def test_bad_arguments(path, kwargs, exc, name, exists):
    with pytest.raises(exc) as info:
        V(path if exists else "/nonexistent/vasprun.xml", **kwargs)
    if name:
        assert name in str(info.value)


@pytest.mark.parametrize("arg, exc", [(pathlib.Path("x.xml"), TypeError), (b"x.xml", TypeError), (None, TypeError),
                                      ("\udcff.xml", UnicodeEncodeError)])
def test_bad_path(arg, exc):
    with pytest.raises(exc) as info:
        V(arg, parse_dos=1)                       # the path is converted first
    if exc is TypeError:
        assert "path" in str(info.value)


@pytest.mark.parametrize("kwargs, nsteps", [
    ({"parse_dos": np.bool_(False)}, 4),
    ({"parse_dos": np.True_, "parse_projected": np.bool_(True)}, 4),
    ({"ionic_step_skip": np.int64(2)}, 2),
    ({"ionic_step_skip": Index(), "ionic_step_offset": Index()}, 3),
    ({"ionic_step_skip": 0, "ionic_step_offset": np.uint64(2**64 - 1)}, 0),
    ({"ionic_step_skip": 2**64 - 1}, 1),
])
def test_accepted_arguments(path, kwargs, nsteps):
    assert len(V(path, **kwargs).ionic_steps) == nsteps


def test_positional_arguments(path):
    v = V(path, False, False, True, 2, 1)
    assert (v.dos, v.eigenvalues, len(v.ionic_steps)) == (None, None, 2) and v.projected is not None


# --- representation ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("atoms, shown", [
    (("Si", "O"), '["Si", "O"]'),
    ((), "[]"),
    (('a"b', "c\\d", "e\nf", "g\th", "é"), '["a\\"b", "c\\\\d", "e\\nf", "g\\th", "é"]'),
])
def test_repr(doc, atoms, shown):
    text = make_doc(calculation_xml(natoms=len(atoms)), atoms=atoms, program='va"sp', version=" 5.4.1 build ",
                    kpoints=((0, 0, 0),) * 3, weights=(0.5, 0.5))
    assert repr(doc(text)) == f"Vasprun(program=va\"sp, version=5.4.1 build, atoms={shown}, nkpts=2, nsteps=1)"
    assert repr(doc(text, ionic_step_offset=1)).endswith("nsteps=0)")


# --- introspection -----------------------------------------------------------------------------------------

def test_module_surface():
    # Submodules (calcsift.ase after a call of to_ase, ...) are attributes too, but not the surface.
    public = [n for n in dir(calcsift) if not n.startswith("_") and not inspect.ismodule(getattr(calcsift, n))]
    assert public == ["Vasprun", "VasprunError", "read_partial", "to_ase", "to_pymatgen"]
    assert calcsift.__all__ == public + ["__version__"]
    doc = calcsift.__doc__
    assert doc and "\n" not in doc.strip() and doc.strip().endswith(".") and doc.strip().count(". ") == 0
    assert (V.__name__, V.__module__, repr(V)) == ("Vasprun", "calcsift", "<class 'calcsift.Vasprun'>")
    assert V is calcsift._core.Vasprun and issubclass(calcsift.VasprunError, RuntimeError)


def test_version_is_the_project_version():
    text = (pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml").read_text()
    assert calcsift.__version__ == re.search(r'^version = "([^"]+)"', text, re.M).group(1)


def test_class_introspection():
    assert str(inspect.signature(V)) == SIGNATURE
    assert V.__doc__ is None
    assert [k for k, d in vars(V).items() if inspect.isdatadescriptor(d) and not k.startswith("__")] == PROPERTIES
    docs = {k: getattr(V, k).__doc__ for k in PROPERTIES}
    assert docs == {k: EIGEN_DOC if k == "eigenvalues" else PROJECTED_DOC if k == "projected" else None
                    for k in PROPERTIES}
    assert [k for k in vars(V) if not k.startswith("__") and k not in PROPERTIES] == []


def test_read_only_and_no_dict(path):
    v = V(path)
    for name in PROPERTIES:
        with pytest.raises(AttributeError):
            setattr(v, name, 1)
        with pytest.raises(AttributeError):
            delattr(v, name)
        with pytest.raises(TypeError):
            getattr(V, name).__get__(object())
    with pytest.raises(AttributeError):
        v.extra = 1
    assert not hasattr(v, "__dict__")
    with pytest.raises(TypeError):
        type("Sub", (V,), {})


# --- values and arrays -------------------------------------------------------------------------------------

def test_fresh_objects_per_access(path):
    v = V(path, parse_projected=True)
    for name in PROPERTIES:
        a, b = getattr(v, name), getattr(v, name)
        if isinstance(a, (list, dict, np.ndarray)):
            assert a is not b
    e = v.eigenvalues
    e[...] = 99.0
    v.incar["X"] = 1
    v.ionic_steps[0]["e_fr_energy"] = 0.0
    v.dos["total"]["energies"][0] = 42.0
    assert v.eigenvalues[0, 0, 0, 0] == -5.0 and "X" not in v.incar
    assert v.ionic_steps[0]["e_fr_energy"] == -1.0 and v.dos["total"]["energies"][0] == -1.0


def arrays_of(v):
    return {"eigenvalues": v.eigenvalues, "densities": v.dos["total"]["densities"],
            "energies": v.dos["total"]["energies"], "kpointlist": v.kpoints["kpointlist"],
            "weights": v.kpoints["weights"], "projected": v.projected["data"]}


def test_arrays_own_their_data(path):
    v = V(path, parse_projected=True)
    arrays = arrays_of(v)
    expected = {k: a.tolist() for k, a in arrays.items()}
    del v
    gc.collect()
    V(path, parse_projected=True)                # reuse freed memory, if any was shared
    for name, a in arrays.items():
        assert a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable, name
        assert a.base is not None and not isinstance(a.base, np.ndarray), name
        assert a.tolist() == expected[name], name
        a += 1.0
    assert arrays["eigenvalues"].shape == (1, 2, 2, 2) and arrays["projected"].shape == (1, 1, 2, 2, 2)


def run_python(code):
    """Run ``code`` in a fresh interpreter that imports this build of calcsift; return its stdout."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(calcsift.__file__)))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=20)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_numpy_missing_at_first_array(path):
    out = run_python(f"""
import sys
sys.modules["numpy"] = None
import calcsift
v = calcsift.Vasprun({path!r})
print(v.eigenvalue_shape)
try:
    v.eigenvalues
except SystemError as e:
    print(str(e).startswith("Failed to access NumPy array API capsule"))
del sys.modules["numpy"]
print(v.eigenvalues.shape)
""")
    assert out.split("\n")[:3] == ["(1, 2, 2)", "True", "(1, 2, 2, 2)"]


def test_module_is_initialised_once():
    out = run_python("import sys, importlib.util, calcsift\nV = calcsift.Vasprun\n"
                     "del sys.modules['calcsift'], sys.modules['calcsift._core']\n"
                     "import calcsift\nfound = importlib.util.find_spec('calcsift._core')\n"
                     "print(calcsift.Vasprun is V, importlib.util.module_from_spec(found).Vasprun is V)")
    assert out.split() == ["True", "True"]


def test_sub_interpreter_import_is_refused():
    """A second interpreter of the process gets an ImportError (it must neither hang nor share the class)."""
    pytest.importorskip("_xxsubinterpreters")
    out = run_python("""
import _xxsubinterpreters as interpreters
import calcsift
interpreters.run_string(interpreters.create(), "try:\\n import calcsift\\n print('imported')\\n"
                        "except ImportError:\\n print('refused')\\n")
print(calcsift.Vasprun.__name__)
""")
    assert out.split() == ["refused", "Vasprun"]


# A stand-in for NumPy whose C API table reports the given ABI and C-API versions (the table's entries 0 and
# 211); calcsift must refuse it before it calls anything else in the table.
FAKE_NUMPY = {
    "numpy/__init__.py": "__version__ = '{major}.0.0'\nfrom . import lib\n",
    "numpy/lib.py": "class NumpyVersion:\n    def __init__(self, v):\n        self.major = int(v.split('.')[0])\n",
    "numpy/_core/__init__.py": "",
    "numpy/core/__init__.py": "",
    "numpy/_core/multiarray.py": """
import ctypes
VERSION = ctypes.CFUNCTYPE(ctypes.c_uint)
_abi, _feature = VERSION(lambda: {abi}), VERSION(lambda: {feature})
_table = (ctypes.c_void_p * 300)()
_table[0], _table[211] = ctypes.cast(_abi, ctypes.c_void_p), ctypes.cast(_feature, ctypes.c_void_p)
capsule = ctypes.pythonapi.PyCapsule_New
capsule.restype, capsule.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_ARRAY_API = capsule(ctypes.addressof(_table), None, None)
""",
}


@pytest.mark.parametrize("major, abi, feature", [(3, 0x03000000, 0x20), (1, 0x01000009, 0x6)])
def test_numpy_it_cannot_use_is_refused(tmp_path, path, major, abi, feature):
    for name, text in FAKE_NUMPY.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text.format(major=major, abi=abi, feature=feature))
    (tmp_path / "numpy/core/multiarray.py").write_text((tmp_path / "numpy/_core/multiarray.py").read_text())
    out = run_python(f"""
import sys
sys.path.insert(0, {str(tmp_path)!r})
import calcsift
v = calcsift.Vasprun({path!r})
for _ in range(2):
    try:
        v.eigenvalues
    except ImportError as e:
        print(e)
""")
    assert out.splitlines() == [f"calcsift cannot use this NumPy: it reports C-API ABI version {abi:#x} and C-API "
                                f"version {feature:#x}; calcsift needs ABI version at most 0x2000000 (NumPy 1.x or "
                                "2.x) and C-API version at least 0x7 (NumPy 1.7)"] * 2


@requires("other-numpy", bool(os.environ.get("CALCSIFT_OTHER_NUMPY")))
def test_other_numpy_major_version(path, tmp_path):
    """The module serves NumPy 1.x and 2.x alike: the same arrays from an interpreter with the other one."""
    code = ("import json, sys, numpy, calcsift\nv = calcsift.Vasprun(sys.argv[1], parse_projected=True)\n"
            "arrays = [v.eigenvalues, v.projected['data'], v.dos['total']['densities'], v.kpoints['kpointlist']]\n"
            "print(numpy.__version__.split('.')[0], json.dumps([[a.dtype.str, a.shape, a.flags.writeable, a.tolist()]"
            " for a in arrays]))")
    # The package alone on the path: where it is installed, its folder would bring this NumPy along.
    package = pathlib.Path(calcsift.__file__).parent
    (tmp_path / "calcsift").mkdir()
    for item in package.iterdir():
        if item.name != "__pycache__":
            (tmp_path / "calcsift" / item.name).symlink_to(item)
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    done = [subprocess.run([python, "-c", code, path], env=env, capture_output=True, text=True, timeout=60)
            for python in (sys.executable, os.environ["CALCSIFT_OTHER_NUMPY"])]
    assert all(d.returncode == 0 for d in done), done[-1].stderr
    (major, mine), (other_major, theirs) = (d.stdout.split(" ", 1) for d in done)
    assert major != other_major and mine == theirs
