"""to_ase and the ASE I/O format, checked against the peer ASE on real and generated runs (calcsift.pymatgen and
calcsift.dpdata against their peers: test_pymatgen.py, test_dpdata.py).

The peer is an optional dependency (``pip install 'calcsift[ase]'``): without it these tests skip; CI installs
it. Where the peer cannot read a file, or reads it wrongly, the test says so and checks
calcsift against the right value instead of following the peer.
"""

import os
import re
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import numpy as np
import pytest

import calcsift
from conftest import CORPUS, corpus_files, needs_corpus

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import generate  # noqa: E402

NEEDS_ASE = "ASE is not installed (pip install 'calcsift[ase]'; CI must have it)"

# Small generated runs: an MD run, relaxations with selective dynamics, with a per-ion magnetization block (.gz)
# and with `****` overflow fields in forces and stress, the MD run cut off right after a step's structure, and the
# MD run cut inside its first calculation, before any ionic step.
GENERATED = {
    "md.xml": ("md", {"nsteps": 30}),
    "relax-selective.xml": ("relax", {"nsteps": 4, "nkpts": 2, "nedos": 101, "with_projected": False,
                                      "selective": True}),
    "relax-magnetization.xml.gz": ("relax", {"nsteps": 4, "nkpts": 2, "nedos": 101, "with_projected": False,
                                             "with_magnetization": True}),
    "relax-stars.xml": ("relax", {"nsteps": 3, "nkpts": 2, "nedos": 101, "with_projected": False,
                                  "overflow_stars": True}),
    "md-cut.xml": None,
    "md-no-step.xml": None,
}
CORPUS_FILES = {p.name: p for p in corpus_files()}
NAMES = sorted(CORPUS_FILES) + list(GENERATED)

# Files a peer cannot read, and why; calcsift reads all of them.
ASE_CANNOT_READ = {
    "real-10.xml.gz": "ASE 3.29's reader raises TypeError on a run whose only calculation has no structure "
                      "(calcsift: a run without ionic steps)",
    "relax-stars.xml": "ASE 3.29's reader raises ValueError on the `****` overflow fields VASP prints in forces and "
                       "stress (calcsift: NaN in those components)",
}
# Runs without an ionic step: for ASE one image, the initial structure.
NO_STEP = [name for name in ("real-10.xml.gz", "real-17.xml.gz", "md-no-step.xml") if name in NAMES]


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("interop")
    paths = dict(CORPUS_FILES)
    for name, recipe in GENERATED.items():
        if recipe is not None:
            preset, overrides = recipe
            paths[name] = folder / name
            generate.generate(generate.resolve(preset, **overrides), str(paths[name]), seed=5)
    text = paths["md.xml"].read_text()
    last = text.rindex("<calculation>")
    paths["md-cut.xml"] = folder / "md-cut.xml"
    paths["md-cut.xml"].write_text(text[:text.index("</structure>", last) + len("</structure>")] + "\n")
    first = text.index("<calculation>")
    paths["md-no-step.xml"] = folder / "md-no-step.xml"
    paths["md-no-step.xml"].write_text(text[:text.index("</scstep>", first)] + "\n")
    return {name: str(path) for name, path in paths.items()}


def assert_close(got, want, what):
    """Equal to 1e-10 relative to the largest magnitude of the reference."""
    got, want = np.asarray(got, dtype=float), np.asarray(want, dtype=float)
    assert got.shape == want.shape, what
    scale = np.abs(want).max() if want.size else 0.0
    np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-10 * scale, err_msg=what)


def test_import_calcsift_imports_no_peer(runs):
    code = ("import sys, calcsift; v = calcsift.Vasprun(sys.argv[1]); v.trajectory; v.ionic_steps; "
            "print(sorted(m for m in ('ase', 'pymatgen', 'dpdata', 'calcsift.ase', 'calcsift.pymatgen', "
            "'calcsift.dpdata') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code, runs["md.xml"]], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


@pytest.mark.parametrize("function, extra", [("to_ase", "ase"), ("to_pymatgen", "pymatgen")])
def test_missing_peer_names_the_extra(runs, function, extra):
    code = (f"import sys; sys.modules[{extra!r}] = None; import calcsift\n"
            f"try: calcsift.{function}(sys.argv[1])\nexcept ImportError as e: print(e)")
    out = subprocess.run([sys.executable, "-c", code, runs["md.xml"]], capture_output=True, text=True, check=True)
    assert out.stdout.startswith(f"calcsift.{function} needs {extra} (pip install 'calcsift[{extra}]'): ")


# --- ASE ----------------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def ase_io():
    pytest.importorskip("ase", reason=NEEDS_ASE)
    import ase.io

    return ase.io


@pytest.fixture(scope="module")
def ase_units(ase_io):
    import ase.units

    return ase.units


@pytest.mark.parametrize("name", NAMES)
def test_to_ase_agrees_with_ase(runs, ase_io, name):
    path = runs[name]
    ours = calcsift.to_ase(path)
    if name in ASE_CANNOT_READ:
        with pytest.raises(Exception):
            ase_io.read(path, index=":", format="vasp-xml")
        assert len(ours) == max(1, len(calcsift.Vasprun(path).ionic_steps))
        pytest.xfail(ASE_CANNOT_READ[name])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ref = ase_io.read(path, index=":", format="vasp-xml")
    if name == "md-cut.xml":
        # ASE drops the step cut off after its structure; calcsift keeps it, with no results.
        assert len(ours) == len(ref) + 1 and ours[-1].calc.results == {}
        ours = ours[:-1]
    if name == "real-17.xml.gz":
        # ASE 3.29 gives no image for a finished run without ionic steps (and one for such a run cut short):
        # calcsift gives the initial structure for both (test_run_without_steps_is_its_initial_structure).
        assert ref == [] and len(ours) == 1
        return
    assert len(ours) == len(ref)
    trajectory = calcsift.Vasprun(path).trajectory
    for i, (a, b) in enumerate(zip(ours, ref)):
        assert a.get_chemical_symbols() == b.get_chemical_symbols() and a.pbc.all() and b.pbc.all()
        assert_close(a.cell[:], b.cell[:], f"cell {i}")
        assert_close(a.positions, b.positions, f"positions {i}")
        if b.calc is None:                      # the initial structure of a run without steps
            assert a.calc is None
            continue
        theirs = {k: v for k, v in b.calc.results.items() if k not in ("dipole", "born_effective_charges")}
        mine = dict(a.calc.results)
        if "magnetization" in trajectory and "magmoms" not in theirs:
            # ASE's reader ignores a per-ion <varray name="magnetization">; calcsift hands it out.
            assert_close(mine.pop("magmoms"), trajectory["magnetization"][i][:, 0], f"magmoms {i}")
        assert sorted(mine) == sorted(theirs), i
        for key in theirs:                      # energy (corrected e_0), free_energy, forces, stress, magmoms
            assert_close(mine[key], theirs[key], f"{key} {i}")


@pytest.mark.parametrize("name", NO_STEP)
def test_run_without_steps_is_its_initial_structure(runs, ase_io, name):
    """One image without a calculator, as ASE's reader gives for a run cut before its first step; through the
    plugin, ase.io.read's default index (the last image) finds it."""
    from calcsift.ase import read_calcsift

    path = runs[name]
    run = calcsift.Vasprun(path)
    assert run.ionic_steps == []
    (image,) = calcsift.to_ase(path)
    s = run.initial_structure
    assert image.calc is None and image.get_chemical_symbols() == run.atoms
    assert_close(image.cell[:], s["lattice"], "cell")
    assert_close(image.get_scaled_positions(wrap=False), s["positions"], "positions")
    if name == "md-no-step.xml":
        (ref,) = ase_io.read(path, index=":", format="vasp-xml")
        assert ref.calc is None and np.array_equal(ref.positions, image.positions)
        from ase.units import fs

        # Like the first step's image of any run: the initial velocities (ASE's reader leaves them out).
        assert_close(image.get_velocities() * fs, run.initial_velocities, "velocities")
    for index in (slice(-1, None), slice(None), slice(0, 1)):     # what ase.io.read passes for -1, ":", 0
        assert [a.positions.tolist() for a in read_calcsift(path, index)] == [image.positions.tolist()]
    assert calcsift.to_ase(path, -1).positions.tolist() == image.positions.tolist()
    assert calcsift.to_ase(path, "1:") == [] and calcsift.to_ase(path, ionic_step_offset=1) == []
    with pytest.raises(IndexError, match="has no ionic step, its one image is the initial structure"):
        calcsift.to_ase(path, 1)


@pytest.mark.parametrize("name", ["real-13.xml", "relax-selective.xml"])
def test_selective_dynamics_become_the_constraints_ase_makes(runs, ase_io, name):
    def fixed(atoms):
        mask = np.zeros((len(atoms), 3), bool)
        for c in atoms.constraints:
            d = c.todict()
            if d["name"] == "FixAtoms":
                mask[d["kwargs"]["indices"]] = True
            else:
                mask[np.atleast_1d(d["kwargs"]["a"])] = np.asarray(d["kwargs"]["mask"], bool)
        return mask

    ours, ref = calcsift.to_ase(runs[name], 0), ase_io.read(runs[name], index=0, format="vasp-xml")
    assert fixed(ref).any() and np.array_equal(fixed(ours), fixed(ref))


@needs_corpus
def test_initial_velocities_go_to_the_first_step(ase_units):
    path = str(CORPUS / "real-13.xml")              # an MD run with velocities (ASE 3.29's reader leaves them out)
    first, second = calcsift.to_ase(path)
    assert_close(first.get_velocities() * ase_units.fs, calcsift.Vasprun(path).initial_velocities, "velocities")
    assert not second.has("momenta") and not calcsift.to_ase(path, 0, ionic_step_offset=1).has("momenta")


@pytest.mark.parametrize("index, steps", [(":", range(30)), ("::7", range(0, 30, 7)), (slice(-3, None), range(27, 30)),
                                          ("1:4", range(1, 4))])
def test_to_ase_selects_steps_like_ase_io_read(runs, ase_io, index, steps):
    t = calcsift.Vasprun(runs["md.xml"]).trajectory
    images = calcsift.to_ase(runs["md.xml"], index)
    assert [a.get_potential_energy() for a in images] == [t["e_0_energy"][i] for i in steps]
    assert calcsift.to_ase(runs["md.xml"], -2).get_potential_energy() == t["e_0_energy"][28]
    assert calcsift.to_ase(runs["md.xml"], "5").get_potential_energy() == t["e_0_energy"][5]
    kept = calcsift.to_ase(Path(runs["md.xml"]), ionic_step_skip=4, ionic_step_offset=2)
    assert [a.get_potential_energy() for a in kept] == list(t["e_0_energy"][2::4])
    with pytest.raises(IndexError, match="out of range: the run has 30 kept steps"):
        calcsift.to_ase(runs["md.xml"], 30)


PROBE = textwrap.dedent("""\
    import io, sys, warnings
    import numpy as np
    import ase.io, calcsift
    plain, packed, no_step = sys.argv[1], sys.argv[2], sys.argv[3]
    want = [(a.get_potential_energy(), a.positions) for a in calcsift.to_ase(plain)]
    def same(images, steps):
        got = [(a.get_potential_energy(), a.positions) for a in images]
        assert len(got) == len(steps) and all(g[0] == want[i][0] and np.array_equal(g[1], want[i][1])
                                              for g, i in zip(got, steps)), steps
    n = len(want)
    with warnings.catch_warnings():
        warnings.simplefilter("error")          # a failed registration is only a warning in ASE
        same(ase.io.read(plain, index=":", format="calcsift"), range(n))
    same(ase.io.read(packed, index=":", format="calcsift"), range(n))
    same([ase.io.read(packed, format="calcsift")], [n - 1])
    same(ase.io.iread(packed, index="1::2", format="calcsift"), range(1, n, 2))
    with open(plain, "rb") as fh:
        same(ase.io.read(fh, index=":", format="calcsift"), range(n))
    with open(plain, "rb") as fh:
        same(ase.io.read(io.BytesIO(fh.read()), index="-2:", format="calcsift"), range(n - 2, n))
    assert ase.io.read(no_step, format="calcsift").calc is None      # the initial structure
    print("read", n)
""")


def declared_entry_point():
    text = (ROOT / "pyproject.toml").read_text()
    section = re.search(r'^\[project\.entry-points\."ase\.ioformats"\]\n((?:[^\[\n].*\n)+)', text, re.M)
    assert section, "pyproject.toml declares no ase.ioformats entry point"
    return dict(re.findall(r'^(\S+)\s*=\s*"([^"]+)"', section.group(1), re.M))


def test_ase_io_read_finds_the_plugin(runs, ase_io, tmp_path):
    """Through ASE's entry-point mechanism. An installed calcsift must declare the entry point pyproject.toml
    declares; a build folder has no metadata, so the test gives it the declared one."""
    from importlib import metadata

    declared = declared_entry_point()
    assert list(declared) == ["calcsift"]
    try:
        installed = {ep.name: ep.value for ep in metadata.distribution("calcsift").entry_points
                     if ep.group == "ase.ioformats"}
    except metadata.PackageNotFoundError:
        installed = None
    env = dict(os.environ)
    if installed is not None and calcsift.__file__.startswith(str(metadata.distribution("calcsift").locate_file(""))):
        assert installed == declared
    else:
        info = tmp_path / "calcsift_probe-0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text("Metadata-Version: 2.1\nName: calcsift-probe\nVersion: 0\n")
        (info / "entry_points.txt").write_text(
            "[ase.ioformats]\n" + "".join(f"{k} = {v}\n" for k, v in declared.items()))
        env["PYTHONPATH"] = os.pathsep.join([str(tmp_path)] + [p for p in [env.get("PYTHONPATH")] if p])
    packed = tmp_path / "md.xml.gz"
    generate.generate(generate.resolve("md", nsteps=30), str(packed), seed=5)
    out = subprocess.run([sys.executable, "-c", PROBE, runs["md.xml"], str(packed), runs["md-no-step.xml"]],
                         capture_output=True, text=True, env=env, cwd=tmp_path)
    assert out.returncode == 0 and out.stdout == "read 30\n", out.stdout + out.stderr
