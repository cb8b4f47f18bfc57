"""Ionic steps, density of states, eigenvalues, projections and the dielectric function."""

import math
import random
import resource
import time
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from conftest import make_doc, structure_xml, vrows

SHAPE = "Unexpected array shape"


def calc(*body, structure=True):
    return "<calculation>\n" + (structure_xml(2, name=None) if structure else "") + "".join(body) + "</calculation>\n"


def run(doc, *calcs, **options):
    return doc(make_doc(sections="".join(calcs)), **options)


def run_error(doc_error, *calcs, **options):
    return doc_error(make_doc(sections="".join(calcs)), **options)


def rows(tag, rs):
    """``None`` writes an empty-element tag, which adds no row."""
    return "".join(f"<{tag}/>" if r is None else f"<{tag}>{r}</{tag}>" for r in rs)


def sets(*children):
    """A <set> around already written children; a list of str children is written as <r> rows."""
    return "<set>" + "".join(rows("r", c) if isinstance(c, list) else c for c in children) + "</set>\n"


def energy(**values):
    return "<energy>" + "".join(f'<i name="{k}">{v}</i>' for k, v in values.items()) + "</energy>\n"


def named(name, rs):
    return f'<varray name="{name}">' + rows("v", rs) + "</varray>\n"


# --- Ionic steps -----------------------------------------------------------------------------------------------------

def test_ionic_step_fields(doc):
    first = calc("<scstep>" + energy(e_fr_energy=-1, e_wo_entrp=-2, e_0_energy=-3) + "</scstep>\n",
                 energy(e_fr_energy=" -10.5 ", e_wo_entrp="-10.25", e_0_energy="-10.375", alphaZ="7"),
                 named("forces", ["0.1 0.2 0.3", "-0.1 -0.2 -0.3 9"]),
                 named("stress", ["1 2 3", "4 5 6", "7 8 9", "10 11 12"]),
                 named("magnetization", ["0.5", "0.1 0.2 0.3 0.6"]),
                 '<varray name="other"><v>x</v></varray><varray><v>y</v></varray><structure/>'
                 '<varray name="forces"/><i name="e_fr_energy">3</i>\n')
    second = calc("<scstep>" + energy(e_fr_energy=-5) + "</scstep>\n", named("stress", ["1 2 3", "4 5 6"]),
                  energy(e_fr_energy="****", e_wo_entrp="1.0d0", e_0_energy=2) + energy(e_0_energy="nan x"),
                  structure_xml(2, name=None, positions=[(0.1, 0.2, 0.3), (0.4, 0.5, 0.6)]))
    no_step = calc(energy(e_fr_energy=-99), named("forces", ["1 1 1"]), structure=False)
    v = run(doc, first, no_step, second)
    s1, s2 = v.ionic_steps
    assert list(s1) == ["structure", "e_fr_energy", "e_wo_entrp", "e_0_energy", "forces", "stress", "magnetization"]
    assert s1["structure"] == v.initial_structure
    assert (s1["e_fr_energy"], s1["e_wo_entrp"], s1["e_0_energy"]) == (-10.5, -10.25, -10.375)
    assert s1["forces"] == [[0.1, 0.2, 0.3], [-0.1, -0.2, -0.3]]
    assert s1["stress"] == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0]]
    assert s1["magnetization"] == [[0.5], [0.1, 0.2, 0.3, 0.6]]
    assert list(s2) == ["structure", "e_fr_energy", "e_wo_entrp", "e_0_energy", "forces", "stress"]
    assert (s2["e_fr_energy"], s2["e_wo_entrp"], s2["e_0_energy"]) == (0.0, 0.0, 0.0)
    assert (s2["forces"], s2["stress"]) == ([], [[0.0] * 3] * 3)
    assert s2["structure"]["positions"] == [[0.1, 0.2, 0.3], [0.4, 0.5, 0.6]]


def test_energies_never_from_scsteps(doc):
    sc = "<scstep>" + energy(e_fr_energy=-4, e_wo_entrp=-4, e_0_energy=-4) + "</scstep>\n"
    (step,) = run(doc, calc(sc, sc)).ionic_steps
    assert (step["e_fr_energy"], step["e_wo_entrp"], step["e_0_energy"], step["forces"]) == (0.0, 0.0, 0.0, [])


@pytest.mark.parametrize("energies, expected", [
    ((), False),
    ((-3.0, 0.0), False),
    ((0.0, "nan"), True),
    ((0.0, -1.0), True),
    (("-inf",), True),
])
def test_converged(doc, energies, expected):
    v = run(doc, *(calc(energy(e_fr_energy=e)) for e in energies))
    assert v.converged is expected


# --- Density of states -----------------------------------------------------------------------------------------------

def total(*spins, outer=True):
    body = "".join(sets(s) for s in spins)
    return ('<total><array><dimension dim="1">gridpoints</dimension><field>energy</field><field>total</field>'
            f'<field>integrated</field>{sets(body) if outer else body}</array></total>\n')


def partial(fields, ions):
    """``ions``: per ion a list of spin sets, each a list of row strings; ``None`` writes no outer set."""
    body = "" if ions is None else sets(*(sets(*(sets(s) for s in ion)) for ion in ions))
    return f"<partial><array>{rows('field', fields)}{body}</array></partial>\n"


def dos(*parts, efermi='<i name="efermi"> 1.25 </i>'):
    return f"<dos>{efermi}{''.join(parts)}</dos>\n"


def test_dos_total_and_partial(doc):
    ion = [["-1 0.1 0.2 0.3 0.4", None, "0 1 2 3", "5"], ["-1 5 6 7", "0 8", "7"]]
    d = run(doc, calc(dos(total(["-1 0.5 1.5 9", "0 2.5 4"], ["-1 0.25", "0 3 5"]),
                          partial(["energy", "s", "p", "d"], [ion, ion[:1]])))).dos
    assert list(d) == ["efermi", "total", "partial"]
    assert d["efermi"] == 1.25
    t = d["total"]
    assert list(t) == ["energies", "densities", "integrated"]
    np.testing.assert_array_equal(t["energies"], [-1.0, 0.0])
    np.testing.assert_array_equal(t["densities"], [[0.5, 2.5], [0.25, 3.0]])
    np.testing.assert_array_equal(t["integrated"], [[1.5, 4.0], [0.0, 5.0]])
    p = d["partial"]
    assert list(p) == ["data", "orbitals"] and p["orbitals"] == ["s", "p", "d"]
    assert p["data"].shape == (2, 2, 3, 3)  # (spins, ions, orbitals, grid)
    np.testing.assert_array_equal(p["data"][0, 0], [[0.1, 1, 0], [0.2, 2, 0], [0.3, 3, 0]])
    np.testing.assert_array_equal(p["data"][0, 1], p["data"][0, 0])
    np.testing.assert_array_equal(p["data"][1, 0], [[5, 8, 0], [6, 0, 0], [7, 0, 0]])
    np.testing.assert_array_equal(p["data"][1, 1], np.zeros((3, 3)))


@pytest.mark.parametrize("efermi", ["", '<i name="efermi">abc</i>', '<i name="efermi">****</i>',
                                    '<i name="efermi">1 2</i>', '<i name="efermi">3</i><i name="efermi">1d0</i>'])
def test_efermi_fallback(doc, efermi):
    v = run(doc, calc(dos(total(["0 1 1"]), efermi=efermi)))
    assert v.efermi == 0.0 and v.dos["efermi"] == 0.0 and type(v.efermi) is float


def test_dos_irregular_rows(doc):
    d = run(doc, calc(dos(total(["-1 0.5 0.5", "", None, "1 2 3"], [None, "-1 7 8"])))).dos["total"]
    np.testing.assert_array_equal(d["energies"], [-1.0, 1.0])
    np.testing.assert_array_equal(d["densities"], [[0.5, 0.0, 2.0], [7.0, 0.0, 0.0]])
    np.testing.assert_array_equal(d["integrated"], [[0.5, 0.0, 3.0], [8.0, 0.0, 0.0]])


def test_partial_without_sets_and_last_dos_wins(doc):
    first = calc(dos(total(["0 1 1"]), efermi='<i name="efermi">9</i>'))
    second = calc(dos(total(["0 2 2"]), partial(["energy", "s", "p", "d"], None)), structure=False)
    v = run(doc, first, second)
    assert v.efermi == 1.25
    assert v.dos["partial"]["data"].shape == (0, 0, 3, 0)
    np.testing.assert_array_equal(v.dos["total"]["densities"], [[2.0]])
    assert run(doc, first, second, parse_dos=False).dos is None


@pytest.mark.parametrize("block, message", [
    (dos(), "Missing element <total inside dos>"),
    (dos("<total><array/></total>"), "Missing element <array inside dos/total>"),
    (dos(total(outer=False)), "Missing element <spin sets in DOS>"),
    (dos("<total><array><set><r>0 1 1</r></set></array></total>"), "Missing element <spin sets in DOS>"),
    (dos(total(["0 1 1"]), "<partial><field>x</field></partial>"), "Missing element <array inside dos/partial>"),
    (dos(total(["0 1 x"])), "Failed to parse value 'x' as f64: invalid float"),
])
def test_dos_errors(doc_error, block, message):
    assert run_error(doc_error, calc(block)) == message


@pytest.mark.parametrize("block", [
    dos(total(["0 1 1"], ["0 1 1", "1 2 2"])),                                          # later spin, more rows
    dos(total(["0 1 1"]), partial(["e", "s"], [[["0 1"]], [["0 1"], ["0 1"]]])),        # later ion, more spins
    dos(total(["0 1 1"]), partial(["e", "s"], [[["0 1"]], [["0 1", "1 2"]]])),          # later ion, more rows
    dos(total(["0 1 1"]), partial(["e", "s"], [[["0 1"], ["0 1", "1 2"]]])),            # later spin, more rows
])
def test_dos_larger_later_set_is_a_shape_error(doc_error, block):
    assert run_error(doc_error, calc(block)).startswith(SHAPE)


# --- Eigenvalues and projections -------------------------------------------------------------------------------------

def eig(*spins, fields="<field>eigene</field><field>occ</field>"):
    body = "".join(sets(*(sets(k) for k in spin)) for spin in spins)
    return f'<eigenvalues><array><dimension dim="1">band</dimension>{fields}{sets(body)}</array></eigenvalues>\n'


def proj(*spins, fields=("s", "p", "d")):
    """``spins``: per spin a list of k-points, per k-point a list of bands, per band a list of ion rows."""
    body = "".join(sets(*(sets(*(sets(b) for b in k)) for k in spin)) for spin in spins)
    return f"<projected><array>{rows('field', fields)}{sets(body)}</array></projected>\n"


def test_eigenvalues_zero_fill(doc):
    v = run(doc, calc(eig([["-5 1 7", "2 0.5"], ["-4 1", "3 0"]], [["-6 1"]])))
    assert v.eigenvalue_shape == (2, 2, 2) and type(v.eigenvalue_shape) is tuple
    e = v.eigenvalues
    assert e.shape == (2, 2, 2, 2) and e.dtype == np.float64 and e.flags.c_contiguous
    np.testing.assert_array_equal(e, [[[[-5, 1], [2, 0.5]], [[-4, 1], [3, 0]]], [[[-6, 1], [0, 0]], [[0, 0], [0, 0]]]])
    e[...] = 7
    assert v.eigenvalues[0, 0, 0, 0] == -5


def test_eigenvalues_empty_spin(doc):
    v = run(doc, calc(eig([])))
    assert v.eigenvalue_shape == (1, 0, 0) and v.eigenvalues.shape == (1, 0, 0, 2)


@pytest.mark.parametrize("block, prop, shape", [
    ("<eigenvalues><array><set><set/><set><set><r>1 2</r><r/></set><set/></set><!-- c --></set></array>"
     "</eigenvalues>", "eigenvalues", (1, 1, 1, 2)),
    ("<projected><array><field/><set><set/><set><set><set><r>1</r><r/></set><set/></set></set></set></array>"
     "</projected>", "projected", (1, 1, 1, 1, 1)),
    (dos("<total><array><set><set><r>0 1 2</r><r/></set><set/></set></array></total>"), "dos", (1, 1)),
])
def test_empty_element_tags_add_nothing(doc, block, prop, shape):
    value = getattr(run(doc, calc(block), parse_projected=True), prop)
    got = {"eigenvalues": lambda: value, "projected": lambda: value["data"], "dos": lambda: value["total"]["densities"]}
    assert got[prop]().shape == shape


@pytest.mark.parametrize("block, message", [
    ("<eigenvalues><field>x</field></eigenvalues>", "Missing element <array inside eigenvalues>"),
    ("<eigenvalues><array><set></set></array></eigenvalues>", "Missing element <spin sets in eigenvalues>"),
    ("<eigenvalues><array><field>a</field></array></eigenvalues>", "Missing element <spin sets in eigenvalues>"),
    (eig([["1 1", "-2.5"]]), "Unexpected array shape: expected [2], got [1]"),
    (eig([["1 1"], [""]]), "Unexpected array shape: expected [2], got [0]"),
    (eig([["1 1", "1 *x"]]), "Failed to parse value '*x' as f64: invalid float"),
    ("<projected><set/></projected>", "Missing element <array inside projected>"),
    ("<projected><array><field>s</field><set></set></array></projected>", "Missing element <spin sets in projected>"),
])
def test_band_block_errors(doc_error, block, message):
    assert run_error(doc_error, calc(block), parse_projected=True) == message


@pytest.mark.parametrize("block", [
    eig([["1 1"]], [["1 1"], ["1 1"]]),                   # later spin, more k-point sets
    eig([["1 1"], ["1 1", "2 2"]]),                       # later k-point, more bands
    proj([[["1 1 1"]]], [[["1 1 1"]], [["1 1 1"]]]),      # later spin, more k-point sets
    proj([[["1 1 1"]], [["1 1 1"], ["1 1 1"]]]),          # later k-point, more bands
    proj([[["1 1 1"], ["1 1 1", "2 2 2"]]]),              # later band, more ions
    proj([[["1 1 1", "1 1 1 1"]]]),                       # more values than norbitals
    proj([[["1 1"]]], fields=()),                         # no fields: one value per row fits
])
def test_larger_later_set_is_a_shape_error(doc_error, block):
    assert run_error(doc_error, calc(block), parse_projected=True).startswith(SHAPE)


def test_projected_blocks(doc):
    p_calc = calc(proj([[["1 2 3", "4 5"], ["6"]]], [[["7 8 9"]]]))
    v = run(doc, p_calc, parse_projected=True)
    p = v.projected
    assert list(p) == ["data", "orbitals"] and p["orbitals"] == ["s", "p", "d"]
    np.testing.assert_array_equal(p["data"], [[[[[1, 2, 3], [4, 5, 0]], [[6, 0, 0], [0, 0, 0]]]],
                                              [[[[7, 8, 9], [0, 0, 0]], [[0, 0, 0], [0, 0, 0]]]]])
    assert run(doc, p_calc).projected is None
    bare = run(doc, calc(proj([[["0.5"], ["0.25"]]], fields=())), parse_projected=True).projected
    assert bare["orbitals"] == [] and bare["data"].shape == (1, 1, 2, 1, 1)
    np.testing.assert_array_equal(bare["data"].ravel(), [0.5, 0.25])


INTERPOLATED = ('<eigenvalues comment="interpolated">\n<kpoints><varray name="kpointlist"><v>0 0 0</v></varray>'
                '</kpoints>\n' + eig([["-9 1", "9 0"]]) + named("forces", ["9 9 9"]) + "</eigenvalues>\n")


@pytest.mark.parametrize("parse_eigen", [True, False])
def test_interpolated_eigenvalues_wrapper(doc, parse_eigen):
    v = run(doc, calc(INTERPOLATED, eig([["-5 1"]]), dos(total(["0 1 1"]))),
            calc(energy(e_fr_energy=-2), INTERPOLATED), parse_eigen=parse_eigen)
    assert [(s["e_fr_energy"], s["forces"]) for s in v.ionic_steps] == [(0.0, []), (-2.0, [])]
    assert v.dos["efermi"] == 1.25
    if parse_eigen:
        assert v.eigenvalues.tolist() == [[[[-5.0, 1.0]]]]
    else:
        assert v.eigenvalues is None and v.eigenvalue_shape is None


@pytest.mark.parametrize("switch", ["parse_dos", "parse_eigen", "parse_projected"])
def test_switched_off_blocks_are_never_tokenised(doc, doc_error, switch):
    broken = calc(*(f"<{n}><!-- an unclosed comment </{n}>\n" for n in ("dos", "eigenvalues", "projected")))
    v = run(doc, broken, parse_dos=False, parse_eigen=False)
    assert (v.dos, v.efermi, v.eigenvalues, v.projected, len(v.ionic_steps)) == (None, None, None, None, 1)
    options = {"parse_dos": False, "parse_eigen": False, switch: True}
    assert run_error(doc_error, broken, **options)


# --- Dielectric function ---------------------------------------------------------------------------------------------

def component(tag, *set_rows):
    return f"<{tag}><array><field>energy</field>{''.join(sets(r) for r in set_rows)}</array></{tag}>\n"


def diel(*parts):
    return '<dielectricfunction comment="density-density">' + "".join(parts) + "</dielectricfunction>\n"


def test_dielectric_rows(doc):
    imag = component("imag", ["0 9 9 9 9 9 9"], ["0.0 1 2 3", "0.5 1 2 3 4 5 6 7 8", "", "1.0 ** 2 3 4 5 6"])
    real = component("real", ["9 1 1 1 1 1 1"])
    d = run(doc, calc(diel(imag, real))).dielectric
    assert list(d) == ["energies", "real", "imag"]
    np.testing.assert_array_equal(d["energies"], [0.0, 0.5, 1.0])
    assert d["imag"].shape == (4, 6) and d["real"].shape == (1, 6)
    np.testing.assert_array_equal(d["imag"][:3], [[1, 2, 3, 0, 0, 0], [1, 2, 3, 4, 5, 6], [0] * 6])
    assert math.isnan(d["imag"][3, 0]) and d["imag"][3, 1:].tolist() == [2, 3, 4, 5, 6]
    np.testing.assert_array_equal(d["real"], [[1] * 6])


def test_dielectric_only_imag_and_first_wins(doc):
    first = diel(component("imag", ["0 1 2 3 4 5 6", "1 1 1 1 1 1 1"]))
    second = diel(component("imag", ["5 5 5 5 5 5 5"]))
    d = run(doc, calc(first, second)).dielectric
    np.testing.assert_array_equal(d["energies"], [0.0, 1.0])
    np.testing.assert_array_equal(d["real"], np.zeros((2, 6)))
    d = run(doc, calc(first), calc(second, structure=False)).dielectric
    np.testing.assert_array_equal(d["imag"], [[5] * 6])
    assert run(doc, calc()).dielectric is None


@pytest.mark.parametrize("block, message", [
    (diel(component("real", ["0 1 1 1 1 1 1"])), "Missing element <imag inside dielectricfunction>"),
    (diel("<imag><set><r>0 1</r></set></imag>"), "Missing element <array inside dielectric component>"),
    (diel(component("imag", ["0 1 x"])), "Failed to parse value 'x' as f64: invalid float"),
])
def test_dielectric_errors(doc_error, block, message):
    assert run_error(doc_error, calc(block)) == message


# --- A realistic relaxation, checked against an independent reading ---------------------------------------------------

ORBITALS = ["s", "py", "pz", "px", "dxy", "dyz", "dz2", "dxz", "x2-y2"]
NIONS, NKPTS, NBANDS, NGRID = 3, 3, 4, 5


def relaxation_doc(seed=11):
    rng = random.Random(seed)
    num = lambda lo=-5.0, hi=5.0: f"{rng.uniform(lo, hi):16.8f}"
    line = lambda n, tag="v", **kw: f"<{tag}>" + "".join(num(**kw) for _ in range(n)) + f" </{tag}>\n"
    varr = lambda name, nrows, ncols: f'<varray name="{name}" >\n' + "".join(line(ncols) for _ in range(nrows)) \
        + "</varray>\n"
    energy_block = lambda: ("<energy>\n" + "".join(f'<i name="{n}">{num(-30, -10)} </i>\n' for n in
                            ("alphaZ", "e_fr_energy", "e_wo_entrp", "e_0_energy")) + "</energy>\n")

    def structure():
        return ("<structure>\n<crystal>\n" + varr("basis", 3, 3) + f'<i name="volume">{num(40, 90)} </i>\n'
                + varr("rec_basis", 3, 3) + "</crystal>\n" + varr("positions", NIONS, 3) + "</structure>\n")

    def eigen(nspins):
        body = "".join(f'<set comment="spin {s + 1}">\n' + "".join(
            f'<set comment="kpoint {k + 1}">\n' + "".join(line(2, "r") for _ in range(NBANDS)) + "</set>\n"
            for k in range(NKPTS)) + "</set>\n" for s in range(nspins))
        return ('<eigenvalues>\n<array>\n<dimension dim="1">band</dimension>\n<dimension dim="2">kpoint</dimension>\n'
                '<dimension dim="3">spin</dimension>\n<field>eigene</field>\n<field>occ</field>\n'
                f"<set>\n{body}</set>\n</array>\n</eigenvalues>\n")

    def projected():
        body = "".join(f'<set comment="spin{s + 1}">\n' + "".join(
            f'<set comment="kpoint {k + 1}">\n' + "".join(
                f'<set comment="band {b + 1}">\n' + "".join(line(9, "r", lo=0, hi=1) for _ in range(NIONS))
                + "</set>\n" for b in range(NBANDS)) + "</set>\n" for k in range(NKPTS)) + "</set>\n"
            for s in range(2))
        return ("<projected>\n" + eigen(2) + '<array>\n<dimension dim="1">ion</dimension>\n'
                + "".join(f"<field>{o}</field>" for o in ORBITALS) + f"\n<set>\n{body}</set>\n</array>\n</projected>\n")

    def dos():
        spin = lambda ncols: "".join(f'<set comment="spin {s + 1}">\n' + "".join(
            line(ncols, "r", lo=0, hi=3) for _ in range(NGRID)) + "</set>\n" for s in range(2))
        ions = "".join(f'<set comment="ion {i + 1}">\n{spin(10)}</set>\n' for i in range(NIONS))
        return (f'<dos>\n<i name="efermi">{num()} </i>\n<total>\n<array>\n<dimension dim="1">gridpoints</dimension>\n'
                '<dimension dim="2">spin</dimension>\n<field>energy</field><field>total</field>'
                f"<field>integrated</field>\n<set>\n{spin(3)}</set>\n</array>\n</total>\n<partial>\n<array>\n"
                '<dimension dim="1">gridpoints</dimension>\n<dimension dim="2">spin</dimension>\n'
                '<dimension dim="3">ion</dimension>\n<field>energy</field>'
                + "".join(f"<field>{o}</field>" for o in ORBITALS) + f"\n<set>\n{ions}</set>\n</array>\n</partial>\n"
                "</dos>\n")

    def dielectric():
        part = lambda tag: (f"<{tag}>\n<array>\n<dimension dim=\"1\">gridpoints</dimension>\n<field>energy</field>"
                            + "".join(f"<field>{c}</field>" for c in ("xx", "yy", "zz", "xy", "yz", "zx"))
                            + "\n<set>\n" + "".join(line(7, "r") for _ in range(NGRID)) + f"</set>\n</array>\n</{tag}>\n")
        return '<dielectricfunction comment="density-density">\n' + part("imag") + part("real") \
            + "</dielectricfunction>\n"

    calcs = []
    for step in range(3):
        scsteps = "".join('<scstep>\n<time name="dav">0.1 0.1</time>\n' + energy_block() + "</scstep>\n"
                          for _ in range(3))
        extra = dos() if step == 0 else ""
        if step == 2:
            extra = eigen(2) + '<separator name="orbital magnetization" >\n<v name="OM">1 2 3</v>\n</separator>\n' \
                + projected() + dos() + dielectric()
        calcs.append("<calculation>\n" + scsteps + structure() + varr("forces", NIONS, 3) + varr("stress", 3, 3)
                     + varr("magnetization", NIONS, 4) + energy_block() + '<time name="totalsc">1.0 1.0</time>\n'
                     + extra + "</calculation>\n")
    return make_doc(atoms=("Fe", "Fe", "O"), sections="".join(calcs))


def floats(elem, tag="v"):
    return [[float(x) for x in r.text.split()] for r in elem.iter(tag)]


def expected_from_tree(text):
    root = ET.fromstring(text.encode())
    atoms = [rc.find("c").text.strip() for rc in root.find("atominfo/array[@name='atoms']/set")]
    steps = []
    for c in root.findall("calculation"):
        st = c.find("structure")
        e = {i.get("name"): float(i.text) for i in c.find("energy").findall("i")}
        steps.append({"structure": {"lattice": floats(st.find("crystal/varray[@name='basis']")),
                                    "volume": float(st.find("crystal/i[@name='volume']").text),
                                    "positions": floats(st.find("varray[@name='positions']")), "species": atoms},
                      "e_fr_energy": e["e_fr_energy"], "e_wo_entrp": e["e_wo_entrp"], "e_0_energy": e["e_0_energy"],
                      "forces": floats(c.find("varray[@name='forces']")),
                      "stress": floats(c.find("varray[@name='stress']"))[:3],
                      "magnetization": floats(c.find("varray[@name='magnetization']"))})
    last = root.findall("calculation")[-1]
    eig_ = np.array([[floats(k, "r") for k in spin] for spin in last.find("eigenvalues/array/set")])
    proj_ = np.array([[[floats(b, "r") for b in k] for k in spin] for spin in last.find("projected/array/set")])
    d = last.find("dos")
    tot = np.array([floats(s, "r") for s in d.find("total/array/set")])
    part = np.array([[floats(s, "r") for s in ion] for ion in d.find("partial/array/set")])
    imag, real = (np.array(floats(last.find(f"dielectricfunction/{t}"), "r")) for t in ("imag", "real"))
    return {"steps": steps, "eigenvalues": eig_[..., :2], "projected": proj_,
            "efermi": float(d.find("i[@name='efermi']").text),
            "total": (tot[0, :, 0], tot[:, :, 1], tot[:, :, 2]),
            "partial": part[..., 1:].transpose(1, 0, 3, 2),
            "dielectric": (imag[:, 0], real[:, 1:], imag[:, 1:])}


@pytest.fixture(scope="module")
def relaxation():
    text = relaxation_doc()
    return text, expected_from_tree(text)


def test_realistic_relaxation(doc, relaxation):
    text, want = relaxation
    v = doc(text, parse_projected=True)
    assert v.ionic_steps == want["steps"]
    assert v.converged is True
    assert v.final_structure == v.initial_structure  # no finalpos: a copy of the initial one
    assert v.eigenvalue_shape == (2, NKPTS, NBANDS)
    np.testing.assert_array_equal(v.eigenvalues, want["eigenvalues"])
    p = v.projected
    assert p["orbitals"] == ORBITALS and p["data"].shape == (2, NKPTS, NBANDS, NIONS, 9)
    np.testing.assert_array_equal(p["data"], want["projected"])
    d = v.dos
    assert v.efermi == d["efermi"] == want["efermi"]
    for got, exp in zip(d["total"].values(), want["total"]):
        np.testing.assert_array_equal(got, exp)
    assert d["partial"]["orbitals"] == ORBITALS and d["partial"]["data"].shape == (2, NIONS, 9, NGRID)
    np.testing.assert_array_equal(d["partial"]["data"], want["partial"])
    for got, exp in zip(v.dielectric.values(), want["dielectric"]):
        np.testing.assert_array_equal(got, exp)


@pytest.mark.parametrize("switch, gone", [
    ({"parse_dos": False}, ("dos", "efermi")),
    ({"parse_eigen": False}, ("eigenvalues", "eigenvalue_shape")),
    ({"parse_projected": False}, ("projected",)),
])
def test_realistic_relaxation_switches(doc, relaxation, switch, gone):
    text, want = relaxation
    v = doc(text, **{"parse_projected": True, **switch})
    for name in gone:
        assert getattr(v, name) is None
    kept = {"dos", "eigenvalues", "projected"} - {n for n in gone}
    for name in kept:
        assert getattr(v, name) is not None
    assert v.ionic_steps == want["steps"] and v.dielectric is not None


# --- Blocks whose first sets ask for far more values than the document holds ----------------------------------------

N = 1000
BOMBS = {  # first sets of N (or 200) entries each, every later set empty
    "eigenvalues": eig([["0 0"] * N] + [[]] * (N - 1), *([] for _ in range(N - 1))),
    "projected": proj([[["0"] * 200] + [[]] * 199] + [[]] * 199, *([] for _ in range(199)),
                      fields=[f"o{i}" for i in range(200)]),
    "partial dos": dos(total(["0 1 1"]),
                       partial(["e"] + [f"o{i}" for i in range(N)], [[["0 1"] * N]] + [[[]]] * (N - 1))),
    "total dos": dos(total(["0 1 1"] * 10000, *([] for _ in range(10000)))),
}


@pytest.mark.parametrize("kind", list(BOMBS))
def test_memory_bomb_is_a_shape_error(doc_error, kind):
    text = make_doc(sections=calc(BOMBS[kind]))
    assert len(text) < 400_000
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    message = doc_error(text, parse_projected=True)
    assert time.perf_counter() - start < 5.0
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 200_000  # KiB
    assert message.startswith(SHAPE), message
