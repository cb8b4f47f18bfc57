"""bench/generate.py: preset consistency, shape and column layout of its output, physical sanity, reproducibility."""

import gzip
import re
import subprocess
import sys
import types
import xml.etree.ElementTree as ET
from dataclasses import replace
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "bench" / "generate.py"


def _load_generator():
    # bench/ is not a package; load the script as a module of its own name
    mod = types.ModuleType("calcsift_bench_generate")
    mod.__file__ = str(SCRIPT)
    sys.modules[mod.__name__] = mod
    exec(compile(SCRIPT.read_text(), str(SCRIPT), "exec"), mod.__dict__)
    return mod


gen = _load_generator()
TINY = gen.PRESETS["tiny"]


def floats(elem):
    return [float(x) for x in elem.text.split()]


def write(tmp_path, params, name="run.xml", seed=0):
    path = tmp_path / name
    gen.generate(params, str(path), seed=seed)
    return path


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    path = write(tmp_path_factory.mktemp("tiny"), "tiny")
    return path.read_text(encoding="latin-1"), ET.parse(str(path)).getroot()


# --- presets ----------------------------------------------------------------------------------------------------

# what each preset promises about its shape (the byte sizes are measured outside the test suite)
PRESET_SHAPES = {
    "tiny": dict(nspins=2, with_partial=True, with_projected=True, with_dielectric=True, with_dos=True),
    "example": dict(nspins=2, with_partial=True, with_projected=True, with_dielectric=True, with_dos=True),
    "small": dict(nspins=2),
    "relax": dict(nspins=2, nsteps=50),
    "md": dict(nspins=1, nions=64, md=True, with_partial=False, with_projected=False),
    "bands": dict(nspins=2, nions=40, nkpts=200, norbitals=16, nedos=5001, line_mode=True, with_projected=True),
}


def test_every_preset_is_listed_with_its_shape():
    assert set(gen.PRESETS) == set(PRESET_SHAPES)


@pytest.mark.parametrize("name", sorted(PRESET_SHAPES))
def test_preset_parameters_are_consistent(name):
    p = gen.resolve(name)  # validates
    for key, value in PRESET_SHAPES[name].items():
        assert getattr(p, key) == value, key
    assert sum(p.composition()) == p.nions == len(p.species())
    occupied = p.occupied()
    assert len(occupied) == p.nspins and sum(occupied) * (2 // p.nspins) == round(p.nelect())
    assert max(occupied) < p.nbands
    if p.line_mode:
        assert p.nkpts % p.line_segments() == 0
    if name in ("tiny", "example"):
        assert 2 <= p.nions <= 4 and p.nsteps >= 2


@pytest.mark.parametrize("overrides, message", [
    (dict(nbands=3), "occupied"),
    (dict(norbitals=7), "norbitals"),
    (dict(elements=("Xx",), nions=2), "unknown element"),
    (dict(counts=(1, 2)), "add up"),
    (dict(nions=1), "at least one ion"),
    (dict(nspins=3), "nspins"),
    (dict(line_mode=True, nkpts=1), "line mode"),
    (dict(line_mode=True, md=True), "line-mode"),
    (dict(nspins=1, with_magnetization=True), "magnetization"),
    (dict(scsteps=1), "electronic steps"),
    (dict(system="a<b"), "markup"),
])
def test_impossible_parameters_are_rejected(overrides, message):
    with pytest.raises(ValueError, match=message):
        gen.resolve("tiny", **overrides)


def test_unknown_preset_is_rejected(tmp_path):
    with pytest.raises(ValueError, match="unknown preset"):
        gen.generate("huge", str(tmp_path / "x.xml"))


# --- shape of the tiny document ---------------------------------------------------------------------------------

def test_tiny_counts(tiny):
    _, root = tiny
    p = TINY
    assert root.tag == "modeling"
    assert root.find("generator/i[@name='version']").text == "6.4.2  "
    calcs = root.findall("calculation")
    assert len(calcs) == p.nsteps
    assert int(root.find("atominfo/atoms").text) == p.nions
    assert len(root.findall("atominfo/array[@name='atoms']/set/rc")) == p.nions
    assert len(root.findall("atominfo/array[@name='atomtypes']/set/rc")) == len(p.elements)
    for s in root.iter("structure"):
        assert len(s.find("varray[@name='positions']")) == p.nions
        assert len(s.find("crystal/varray[@name='basis']")) == 3
    assert len(root.find("structure[@name='initialpos']/varray[@name='selective']")) == p.nions
    assert len(root.find("kpoints/varray[@name='kpointlist']")) == p.nkpts
    weights = [floats(v)[0] for v in root.find("kpoints/varray[@name='weights']")]
    assert len(weights) == p.nkpts and abs(sum(weights) - 1.0) < 1e-6
    # the electronic structure is written in the last ionic step only
    assert [c.find("eigenvalues") is not None for c in calcs] == [False] * (p.nsteps - 1) + [True]
    last = calcs[-1]
    for eig in (last.find("eigenvalues"), last.find("projected/eigenvalues")):
        spins = eig.findall("array/set/set")
        assert [s.get("comment") for s in spins] == ["spin %d" % (i + 1) for i in range(p.nspins)]
        for s in spins:
            assert len(s) == p.nkpts
            assert all(len(k) == p.nbands and all(len(floats(r)) == 2 for r in k) for k in s)
    total = last.findall("dos/total/array/set/set")
    assert len(total) == p.nspins and all(len(s) == p.nedos for s in total)
    partial = last.find("dos/partial/array")
    assert len(partial.findall("field")) == 1 + p.norbitals
    ions = partial.findall("set/set")
    assert [i.get("comment") for i in ions] == ["ion %d" % (i + 1) for i in range(p.nions)]
    for ion in ions:
        assert len(ion) == p.nspins
        assert all(len(s) == p.nedos and all(len(floats(r)) == 1 + p.norbitals for r in s) for s in ion)
    proj = last.find("projected/array")
    assert [f.text for f in proj.findall("field")] == ["    s", "   py", "   pz", "   px", "  dxy", "  dyz",
                                                       "  dz2", "  dxz", "x2-y2"]
    spins = proj.findall("set/set")
    assert [s.get("comment") for s in spins] == ["spin%d" % (i + 1) for i in range(p.nspins)]
    for s in spins:
        assert len(s) == p.nkpts
        for k in s:
            assert len(k) == p.nbands
            assert all(len(b) == p.nions and all(len(floats(r)) == p.norbitals for r in b) for b in k)
    diel = last.findall("dielectricfunction")
    assert [d.get("comment") for d in diel] == ["density-density", "current-current"]
    for d in diel:
        for part in ("imag", "real"):
            rows = d.findall(part + "/array/set/r")
            assert len(rows) == p.ndielectric and all(len(floats(r)) == 7 for r in rows)
    final = root.find("structure[@name='finalpos']")
    assert [floats(v) for v in final.find("varray[@name='positions']")] == \
        [floats(v) for v in last.find("structure/varray[@name='positions']")]


def test_projected_eigenvalues_repeat_the_calculation_eigenvalues(tiny):
    _, root = tiny
    last = root.findall("calculation")[-1]
    assert [floats(r) for r in last.findall("eigenvalues/array/set/set/set/r")] == \
        [floats(r) for r in last.findall("projected/eigenvalues/array/set/set/set/r")]


# --- fixed-width columns as VASP prints them ---------------------------------------------------------------------

def fixed_columns(body, width, decimals):
    """Split ``body`` into fields of ``width`` characters; each must be a right-aligned number."""
    assert len(body) % width == 0, body
    cells = [body[i:i + width] for i in range(0, len(body), width)]
    for c in cells:
        assert re.fullmatch(r" *-?\d+\.\d{%d}" % decimals, c), repr(c)
    return len(cells)


def test_number_columns_have_vasp_widths(tiny):
    text, _ = tiny
    seen = {"eig": 0, "dos": 0, "proj": 0, "vec": 0, "energy": 0}
    for line in text.splitlines():
        m = re.fullmatch(r" +<r>(.*) </r>", line)
        if m:
            body = m.group(1)
            if len(body) == 20:                          # band energy, occupation
                seen["eig"] += fixed_columns(body, 10, 4)
            elif len(body) % 11 == 0:                    # DOS, partial DOS, dielectric function
                seen["dos"] += fixed_columns(body, 11, 4)
            else:                                        # projections
                seen["proj"] += fixed_columns(body, 8, 4)
            continue
        m = re.fullmatch(r" +<v>(.*) </v>", line)
        if m:
            seen["vec"] += fixed_columns(m.group(1), 17, 8)
            continue
        m = re.fullmatch(r' +<i name="[^"]+">(.*) </i>', line)
        if m:
            seen["energy"] += fixed_columns(m.group(1), 16, 8)
    assert all(seen.values()), seen
    assert re.search(r'<i type="int" name="NBANDS">     5</i>', text)
    assert re.search(r'<i name="EDIFF">      0\.00001000</i>', text)
    assert re.search(r'<i type="logical" name="LWAVE"> F  </i>', text)
    assert re.search(r'<v type="int" name="KPOINT_BSE">    -1     0     0     0</v>', text)
    assert re.search(r'<v name="MAGMOM">(      0\.60000000){2}</v>', text)


def test_long_parameter_vectors_wrap_after_twenty_numbers(tmp_path):
    text = write(tmp_path, replace(TINY, nions=45, nbands=120, with_partial=False, with_projected=False)).read_text()
    magmom = re.findall(r'<v name="MAGMOM">(.*?)</v>', text, re.S)
    assert len(magmom) == 2
    for body in magmom:
        assert [len(line) // 16 for line in body.split("\n")] == [20, 20, 5]


# --- physical sanity ---------------------------------------------------------------------------------------------

def test_occupations_follow_the_fermi_level(tiny):
    _, root = tiny
    last = root.findall("calculation")[-1]
    efermi = float(last.find("dos/i[@name='efermi']").text)
    for s, spin in enumerate(last.findall("eigenvalues/array/set/set")):
        for k in spin:
            rows = [floats(r) for r in k]
            assert [e for e, _ in rows] == sorted(e for e, _ in rows)
            assert all(o == 1.0 for e, o in rows if e < efermi - 0.3)
            assert all(o == 0.0 for e, o in rows if e > efermi + 0.3)
            assert sum(o for _, o in rows) == pytest.approx(TINY.occupied()[s], abs=1e-3)


def test_dos_is_non_negative_and_integrates_to_the_band_count(tiny):
    _, root = tiny
    last = root.findall("calculation")[-1]
    for spin in last.findall("dos/total/array/set/set"):
        rows = [floats(r) for r in spin]
        assert all(b[0] > a[0] for a, b in zip(rows, rows[1:]))
        assert all(r[1] >= 0.0 for r in rows)
        assert all(b[2] >= a[2] for a, b in zip(rows, rows[1:]))
        assert rows[-1][2] == pytest.approx(TINY.nbands * 2 / TINY.nspins, abs=1e-3)
    for r in last.findall("dos/partial/array/set/set/set/r"):
        assert min(floats(r)[1:]) >= 0.0
    for band in last.findall("projected/array/set/set/set/set"):
        assert 0.0 < sum(sum(floats(r)) for r in band) <= 1.0


def test_energies_are_consistent_and_decrease_during_relaxation(tmp_path):
    root = ET.parse(str(write(tmp_path, replace(TINY, nsteps=6)))).getroot()
    finals = []
    for calc in root.findall("calculation"):
        steps = calc.findall("scstep")
        for sc in (steps[0], steps[-1]):                  # the full energy breakdown
            e = {i.get("name"): float(i.text) for i in sc.find("energy")}
            parts = sum(v for k, v in e.items() if k not in ("e_fr_energy", "e_wo_entrp", "e_0_energy"))
            assert parts == pytest.approx(e["e_fr_energy"], abs=1e-6)
            assert e["e_fr_energy"] - e["e_wo_entrp"] == pytest.approx(e["eentropy"], abs=2e-8)
        block = {i.get("name"): float(i.text) for i in calc.find("energy")}
        assert block == {i.get("name"): float(i.text) for i in steps[-1].find("energy") if i.get("name") in block}
        finals.append(block["e_fr_energy"])
        forces = [floats(v) for v in calc.find("varray[@name='forces']")]
        assert all(abs(sum(f[c] for f in forces)) < 1e-6 for c in range(3))
    assert all(b < a for a, b in zip(finals, finals[1:]))


def test_molecular_dynamics_records(tmp_path):
    p = gen.Params(nions=4, elements=("Si",), nspins=1, nkpts=1, nbands=12, nsteps=4, md=True,
                   with_partial=False, with_projected=False)
    root = ET.parse(str(write(tmp_path, p))).getroot()
    for name in ("initialpos", "finalpos"):
        assert len(root.find("structure[@name='%s']/varray[@name='velocities']" % name)) == 4
    assert root.find("kpoints/generation/v[@name='divisions']").text.split() == ["1", "1", "1"]
    assert "gamma-only" in root.find("generator/i[@name='subversion']").text
    for calc in root.findall("calculation"):
        e = {i.get("name"): float(i.text) for i in calc.find("energy")}
        assert e["total"] == pytest.approx(
            e["e_fr_energy"] + e["kinetic"] + e["lattice kinetic"] + e["nosepot"] + e["nosekinetic"], abs=1e-6)


def test_line_mode_kpoints(tmp_path):
    p = gen.Params(nions=2, elements=("Si",), nspins=1, nkpts=14, nbands=8, nsteps=1, line_mode=True)
    root = ET.parse(str(write(tmp_path, p))).getroot()
    g = root.find("kpoints/generation")
    assert g.get("param") == "listgenerated"
    assert int(g.find("i[@name='divisions']").text) == 2
    ends = [floats(v) for v in g.findall("v")]
    kpts = [floats(v) for v in root.find("kpoints/varray[@name='kpointlist']")]
    assert len(ends) == 8 and len(kpts) == 14
    assert kpts[0::2] == ends[:-1] and kpts[1::2] == ends[1:]   # each segment runs end to end
    assert {floats(v)[0] for v in root.find("kpoints/varray[@name='weights']")} == {round(1 / 14, 8)}
    assert root.find("kpoints/varray[@name='labelindex']") is None
    assert int(root.find("parameters//i[@name='ICHARG']").text) == 11


def test_overflow_stars(tmp_path):
    path = write(tmp_path, replace(TINY, overflow_stars=True))
    text = path.read_text()
    assert '<i type="int" name="KINTER">******</i>' in text
    first = text[text.index("<calculation>"):text.index("</calculation>")]
    forces = first[first.index('name="forces"'):first.index('name="stress"')]
    stress = first[first.index('name="stress"'):]
    assert forces.count("*" * 16) == 1 and stress.count("*" * 16) == 1
    assert text.count("*" * 16) == 2
    ET.parse(str(path))
    assert "*" not in write(tmp_path, TINY, "plain.xml").read_text()


def test_magnetization_block_is_opt_in(tiny, tmp_path):
    assert tiny[0].count('name="magnetization"') == 0
    root = ET.parse(str(write(tmp_path, replace(TINY, with_magnetization=True)))).getroot()
    for calc in root.findall("calculation"):
        assert len(calc.find("varray[@name='magnetization']")) == TINY.nions


def test_f_orbital_columns(tmp_path):
    root = ET.parse(str(write(tmp_path, replace(TINY, norbitals=16)))).getroot()
    fields = [f.text for f in root.findall("calculation/projected/array/field")]
    assert fields[9:] == ["fy3x2", " fxyz", " fyz2", "  fz3", " fxz2", " fzx2", "  fx3"]


# --- reproducibility ---------------------------------------------------------------------------------------------

def test_same_seed_same_bytes_other_seed_other_bytes(tmp_path):
    a = write(tmp_path, "tiny", "a.xml", seed=5).read_bytes()
    b = write(tmp_path, "tiny", "b.xml", seed=5).read_bytes()
    c = write(tmp_path, "tiny", "c.xml", seed=6).read_bytes()
    assert a == b and a != c


def test_gzip_output_is_reproducible_and_matches_the_cli(tmp_path):
    api = write(tmp_path, "tiny", "api.xml.gz", seed=3).read_bytes()
    plain = write(tmp_path, "tiny", "plain.xml", seed=3).read_bytes()
    assert gzip.decompress(api) == plain
    assert api[3] == 0 and api[4:8] == bytes(4)  # header: no file name, no time stamp
    cli = tmp_path / "cli.out"
    subprocess.run([sys.executable, str(SCRIPT), "tiny", str(cli), "--gzip", "--seed", "3"],
                   check=True, capture_output=True)
    assert cli.read_bytes() == api


def test_bundled_example_is_current(tmp_path):
    # examples/vasprun.xml is the "example" preset with seed 0; regenerate it after changing the generator
    fresh = write(tmp_path, "example", "example.xml").read_bytes()
    assert (ROOT / "examples" / "vasprun.xml").read_bytes() == fresh
    assert 50_000 <= len(fresh) <= 150_000
