"""The rest of the run record: parameters, electronic steps, convergence and the corrected final energy."""

import gzip
import math
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import calcsift
from conftest import (CORPUS, calculation_xml, corpus_files, energy_xml, make_doc, needs_corpus,
                      structure_xml)

FILES = corpus_files()


# --- an independent reading of the real files ---------------------------------------------------------------------

def etree_root(path):
    with (gzip.open(path) if path.name.endswith(".gz") else open(path, "rb")) as f:
        parser = ET.XMLPullParser(["start", "end"])
        parser.feed(f.read())
    root = None
    for _, el in parser.read_events():         # a truncated file still yields every element it opened
        root = el if root is None else root
    return root


def typed(el):
    """An item as VASP means it: by its type attribute, <v> items as lists; unreadable text stays a string."""
    text = (el.text or "").strip()
    kind = el.get("type")
    if kind == "string":
        return text
    convert = {"int": int, "logical": lambda t: {"T": True, "TRUE": True, "F": False, "FALSE": False}[
        t.upper().strip(".")]}.get(kind, float)
    try:
        values = [convert(t) for t in text.split()]
    except (ValueError, KeyError):
        return text
    if not values:
        return text
    return values if el.tag == "v" or (kind is None and len(values) > 1) else values[0]


def etree_parameters(root):
    out = {}
    for el in root.find("parameters").iter():
        if el.tag in ("i", "v") and el.get("name"):
            out[el.get("name")] = typed(el)
    return out


def ground_state_energies(calc):
    """The energies of the <scstep>s before the calculation's <structure>."""
    rows = []
    for child in calc:
        if child.tag == "structure":
            break
        if child.tag == "scstep":
            fields = {i.get("name"): float(i.text) for i in child.iter("i")}
            rows.append([fields.get(k, math.nan) for k in ("e_fr_energy", "e_wo_entrp", "e_0_energy")])
    return np.array(rows, dtype=float).reshape(-1, 3)


# Convergence of each real file, with the reason a VASP user would give.
CONVERGED = {
    "real-01.xml.gz": (True, True),    # LOPTICS static run, 13 of NELM=100 steps
    "real-02.xml.gz": (True, True),    # relaxation, 1 of NSW=99 steps
    "real-03.xml": (True, True),       # relaxation, 19 of NSW=80; last loop 3 of NELM=60 (the later NELM=1 is GW's)
    "real-04.xml": (False, False),     # the same run cut inside a calculation
    "real-05.xml": (True, True),       # static, 17 of NELM=60
    "real-06.xml.gz": (True, True),    # MD: running all NSW steps is the plan
    "real-07.xml": (True, True),
    "real-08.xml": (True, True),
    "real-09.xml.gz": (True, True),    # relaxation, 3 of NSW=99
    "real-10.xml.gz": (True, True),    # GW: no electronic loop of its own, no ionic step
    "real-11.xml": (True, True),       # finite differences (IBRION=6), last loop 5 of NELM=60 (the later NELM=1 is GW's)
    "real-12.xml": (True, True),
    "real-13.xml": (True, True),       # MD, 12 of NELM=100
    "real-14.xml.gz": (False, True),   # DFPT whose ground-state loop used all NELM=7 steps
    "real-15.xml.gz": (True, True),    # machine-learned MD, last loop 13 of NELM=500
    "real-16.xml.gz": (True, True),    # NMR chemical shifts, 12 of NELM=100 (the linear-response loops are not judged)
    "real-17.xml.gz": (False, True),   # optical transitions without any calculation: no loop ran to be judged
    "real-18.xml.gz": (True, True),    # 32 of NELM=200
}


@needs_corpus
def test_every_corpus_file_has_a_verdict():
    assert sorted(CONVERGED) == [p.name for p in FILES]


@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
def test_corpus_file(path):
    root = etree_root(path)
    v = calcsift.Vasprun(str(path))
    assert repr(v.parameters) == repr(etree_parameters(root))          # types too: 1 == 1.0 == True

    calcs = [c for c in root.findall("calculation") if c.find("structure") is not None]
    steps = v.electronic_steps
    assert len(steps) == len(v.ionic_steps) == len(calcs)
    for got, calc in zip(steps, calcs):
        assert got.dtype == np.float64 and got.flags.c_contiguous
        np.testing.assert_array_equal(got, ground_state_energies(calc))
    kept = calcsift.Vasprun(str(path), ionic_step_offset=1, ionic_step_skip=2).electronic_steps
    assert [a.tolist() for a in kept] == [a.tolist() for a in steps[1::2]]

    assert (v.converged_electronic, v.converged_ionic) == CONVERGED[path.name]
    if calcs:
        # The last electronic step's sigma-to-zero energy, which VASP before 6.1 did not copy to the calculation.
        assert v.final_energy == pytest.approx(ground_state_energies(calcs[-1])[-1, 2], abs=1e-8)
    else:
        assert v.final_energy is None


@needs_corpus
def test_dfpt_linear_response_loops_are_not_electronic_steps():
    """real-14: 7 ground-state steps, then 48 of the linear-response loops after the structure."""
    v = calcsift.Vasprun(str(CORPUS / "real-14.xml.gz"))
    (steps,) = v.electronic_steps
    assert steps.shape == (7, 3) and v.parameters["NELM"] == 7
    assert v.ionic_steps[0]["e_0_energy"] == 0.0 and v.final_energy == -10.83367326  # VASP 5.3.5's wrong value


@needs_corpus
def test_convergence_is_judged_on_the_whole_run():
    path = str(CORPUS / "real-14.xml.gz")
    assert calcsift.Vasprun(path, ionic_step_offset=5).converged_electronic is False
    assert calcsift.Vasprun(path, ionic_step_offset=5).final_energy is None


# --- hand-made documents ------------------------------------------------------------------------------------------

def parameters_xml(items):
    return f"<parameters>\n{items}\n</parameters>\n"


@pytest.mark.parametrize("block, expected", [
    ("", None),
    ("<parameters/>", None),                                           # an empty element counts as absent
    ("<parameters></parameters>", {}),
    (parameters_xml('<separator name="a"><i type="int" name="N">1</i><separator name="b"><i name="X">2.5</i>'
                    '</separator></separator><i type="logical" name="L"> T </i>'), {"N": 1, "X": 2.5, "L": True}),
    (parameters_xml('<i type="int" name="NELM">60</i><i name="A">1</i><i type="int" name="NELM">1</i>'),
     {"NELM": 1, "A": 1.0}),                                           # a repeated name keeps the last value
    (parameters_xml('<v type="int" name="K">-1 0 0 0</v><v name="R">0.5</v><v type="logical" name="C">T F .TRUE.</v>'
                    '<v type="string" name="S">a b</v><v name="E"></v><v name="M"/>'),
     {"K": [-1, 0, 0, 0], "R": [0.5], "C": [True, False, True], "S": "a b", "E": "", "M": ""}),
    (parameters_xml('<i type="int" name="KINTER">******</i><v type="int" name="K">1 ** 3</v><v name="F">1.0 *** 2</v>'
                    '<v type="logical" name="B">T X</v><i name="G">--</i><i type="string" name="P"></i>'),
     {"KINTER": "******", "K": "1 ** 3", "F": [1.0, 2.0], "B": "T X", "G": "--", "P": ""}),  # as incar treats them
    (parameters_xml('<i name="A">1</i><array name="x"><i name="B">2</i></array><i>3</i><foo name="C">4</foo>'),
     {"A": 1.0}),                                                      # only named <i> and <v> items count
])
def test_parameters(doc, block, expected):
    assert repr(doc(make_doc(block + calculation_xml())).parameters) == repr(expected)


@pytest.mark.parametrize("inside", [
    '<separator name="a"><i type="int" name="N">1</i><i name="X">2',
    '<i type="int" name="N">1</i><unknown><x>',
    '<separator name="a">',
])
def test_parameters_cut_inside(doc_error, inside):
    """No load depends on <parameters>: a cut inside it ends the load as a cut inside any unknown element."""
    text = make_doc(parameters_xml(inside), close=False)
    assert doc_error(text.split("</parameters>")[0]) == "Missing element <EOF while skipping <parameters>>"


def scstep(e_fr="-1.0", e_wo=None, e_0=None):
    fields = [("e_fr_energy", e_fr), ("e_wo_entrp", e_wo), ("e_0_energy", e_0)]
    return "<scstep><energy>" + "".join(f'<i name="{n}">{x}</i>' for n, x in fields if x is not None) + \
        "</energy></scstep>\n"


def calc_with(scsteps="", after=""):
    """A calculation whose ``scsteps`` come before its structure and ``after`` after it."""
    return calculation_xml(body=after).replace("<calculation>\n", "<calculation>\n" + scsteps, 1)


NAN = math.nan


@pytest.mark.parametrize("calcs, expected", [
    ([calc_with()], [[]]),
    ([calc_with(scstep("-1", "-2", "-3") + scstep("-4", "-5", "-6")), calc_with(scstep("-7", "-7", "-7"))],
     [[[-1, -2, -3], [-4, -5, -6]], [[-7, -7, -7]]]),
    ([calc_with(scstep("-1") + scstep("****", "-2", "x") + "<scstep><time>1</time></scstep>")],
     [[[-1, NAN, NAN], [NAN, -2, NAN], [NAN, NAN, NAN]]]),
    ([calc_with(scstep("-1"), after=scstep("-50") + scstep("-60"))], [[[-1, NAN, NAN]]]),  # DFPT response loops
    ([calc_with(scstep("-1")), "<calculation>" + scstep("-2")], [[[-1, NAN, NAN]]]),  # cut before its structure
])
def test_electronic_steps(doc, calcs, expected):
    v = doc(make_doc("".join(calcs)))
    assert [a.shape for a in v.electronic_steps] == [(len(e), 3) for e in expected]
    for got, want in zip(v.electronic_steps, expected):
        np.testing.assert_array_equal(got, np.array(want, dtype=float).reshape(-1, 3))


def int_items(settings):
    return "".join(f'<i type="int" name="{k}">{x}</i>' for k, x in (settings or {}).items())


def run_doc(nsteps, last_scsteps, parameters=None, incar=None, close=True, tail=""):
    """``nsteps`` calculations of 2 electronic steps, the last of ``last_scsteps``; parameters and INCAR as int items."""
    block = parameters_xml(int_items(parameters)) if parameters is not None else ""
    calcs = "".join(calc_with(scstep() * (last_scsteps if i == nsteps - 1 else 2)) for i in range(nsteps))
    return make_doc(block + calcs + tail, incar=int_items(incar), close=close)


@pytest.mark.parametrize("nsteps, nsc, parameters, incar, expected", [
    (1, 59, None, None, (True, True)),                                 # VASP's default NELM is 60
    (1, 60, None, None, (False, True)),
    (1, 10, None, {"NELM": 10}, (False, True)),
    (1, 10, {"NELM": 11}, {"NELM": 10}, (True, True)),                 # parameters before the INCAR
    (1, 10, {"NELM": "x"}, {"NELM": 11}, (True, True)),                # an unreadable NELM: the INCAR's
    (1, 5, {"ISPIN": 1}, {"NELM": 5}, (False, True)),                  # no NELM in parameters: the INCAR's
    (1, 0, {"NELM": 1}, None, (True, True)),                           # no electronic loop of its own
    (3, 2, {"IBRION": 2, "NSW": 3}, None, (True, False)),              # a relaxation that used every ionic step
    (3, 2, {"IBRION": 1, "NSW": 4}, None, (True, True)),
    (3, 2, {"IBRION": 3}, {"NSW": 3}, (True, False)),
    (3, 2, {"IBRION": 0, "NSW": 3}, None, (True, True)),               # MD
    (3, 2, {"IBRION": 8, "NSW": 3}, None, (True, True)),               # DFPT
    (3, 2, {"IBRION": 2, "NSW": 0}, None, (True, True)),               # static
    (3, 2, {"NSW": 3}, {"IBRION": 2}, (True, False)),
    (0, 0, {"IBRION": 2, "NSW": 3}, None, (False, False)),             # nothing ran
    (0, 0, None, None, (False, True)),
])
def test_convergence(doc, nsteps, nsc, parameters, incar, expected):
    v = doc(run_doc(nsteps, nsc, parameters, incar))
    assert (v.converged_electronic, v.converged_ionic) == expected
    kept = doc(run_doc(nsteps, nsc, parameters, incar), ionic_step_offset=nsteps, ionic_step_skip=3)
    assert (kept.converged_electronic, kept.converged_ionic, kept.final_energy) == expected + (None,)


def test_vasp5_repeats_nelm_for_its_gw_loop(doc):
    block = parameters_xml('<separator name="electronic convergence"><i type="int" name="NELM">60</i></separator>'
                           '<separator name="response functions"><i type="int" name="NELM">1</i></separator>')
    v = doc(make_doc(block + calc_with(scstep() * 3)))
    assert v.parameters["NELM"] == 1 and v.converged_electronic is True


@pytest.mark.parametrize("tail", ["<calculation>" + scstep(), "", structure_xml(2, name="finalpos")])
def test_unfinished_run_is_not_converged(doc, tail):
    v = doc(run_doc(2, 2, {"IBRION": 2, "NSW": 10}, close=False, tail=tail))
    assert (v.converged_electronic, v.converged_ionic, len(v.ionic_steps)) == (False, False, 2)


@pytest.mark.parametrize("scsteps, energy, expected", [
    ("", energy_xml(-5.0, -5.1, 0.0), 0.0),                            # nothing to correct from: the file's value
    (scstep("-5.0", "-5.1", "-5.05"), energy_xml(-5.0, -5.1, 0.0), -5.05),  # VASP before 6.1
    (scstep("-5.0", "-5.1", "-5.05"), energy_xml(-5.0, -5.1, -5.05), -5.05),
    (scstep("-5.0", "-5.1", "****"), energy_xml(-5.0, -5.1, 0.0), 0.0),
])
def test_final_energy(doc, scsteps, energy, expected):
    calc = calc_with(scsteps).replace(energy_xml(), energy)
    assert doc(make_doc(calc)).final_energy == expected
