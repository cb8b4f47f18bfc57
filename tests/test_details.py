"""What the record keeps beside the sections the load reads (items as written, k-point blocks, named structures,
calculations with every energy term, machine-learned steps, dielectric functions, optical transitions): the real
files against an independent reading with xml.etree, and hand-made documents for the selection rules."""

import math

import numpy as np
import pytest

import calcsift
from conftest import calculation_xml, corpus_files, make_doc, structure_xml
from test_run_record import etree_root

FILES = corpus_files()


def text(el):
    return (el.text or "").strip()


def number(t):
    try:
        return float(t)
    except ValueError:
        return math.nan


def terms(energy):
    return {i.get("name"): number(text(i)) for i in energy.findall("i") if i.get("name")}


def same(a, b):
    """Equal, NaN equal to NaN, arrays compared as lists."""
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)) and not isinstance(b, np.ndarray):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def items(parent, separators=None):
    """(name, type, text, vector[, separators]) of the named items below parent, separators flattened."""
    out = []
    for child in parent:
        if child.tag == "separator" and separators is not None:
            out += items(child, separators + (child.get("name") or "",))
        elif child.tag in ("i", "v") and child.get("name"):
            item = (child.get("name"), child.get("type"), text(child), child.tag == "v")
            out.append(item if separators is None else item + (separators,))
    return out


@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
def test_real_files_against_an_independent_reading(path):
    root = etree_root(path)
    run = calcsift.Vasprun(str(path), parse_projected=True)
    assert run.generator == {i.get("name"): text(i) for i in root.find("generator")}
    assert run.incar_items == items(root.find("incar"))
    assert run.parameter_items == (items(root.find("parameters"), ()) if root.find("parameters") is not None else None)
    blocks = root.findall("kpoints")
    assert len(run.kpoint_blocks) == len(blocks)
    for got, block in zip(run.kpoint_blocks, blocks):
        assert got["kpointlist"].shape[0] == len(block.findall("varray[@name='kpointlist']/v"))
        generation = block.find("generation")
        if generation is not None:
            assert list(got["generation"]) == ["param"] + [c.get("name") for c in generation if c.get("name")]
    assert sorted(run.named_structures) == sorted({s.get("name") for s in root.findall("structure") if s.get("name")})

    calcs = root.findall("calculation")
    assert len(run.calculations) == len(calcs)
    steps = iter(range(len(run.ionic_steps)))
    for got, calc in zip(run.calculations, calcs):
        assert got["step"] == (next(steps) if calc.find("structure") is not None else None)
        energy = calc.findall("energy")
        assert same(got.get("energy"), terms(energy[-1]) if energy else None)
        scsteps = [terms(s.find("energy")) if s.find("energy") is not None else {} for s in calc.findall("scstep")]
        assert same(got["scsteps"], scsteps)
        others = [v.get("name") for v in calc.findall("varray") if v.get("name") not in ("forces", "stress",
                                                                                        "magnetization")]
        assert list(got["varrays"]) == list(dict.fromkeys(others))

    top_steps = [s for s in root.findall("structure") if s.get("name") is None]
    assert len(run.ml_steps) == (len(top_steps) if root.find("structure[@name='initialpos']") is not None else 0)
    functions = [(d.get("comment"), i) for i, c in enumerate(calcs) for d in c.findall("dielectricfunction")]
    functions += [(d.get("comment"), None) for d in root.findall("dielectricfunction")]
    assert sorted(((d.get("comment"), d.get("calculation")) for d in run.dielectric_functions),
                  key=repr) == sorted(functions, key=repr)
    transitions = root.findall(".//varray[@name='opticaltransitions']")
    assert (run.optical_transitions is None) == (not transitions)
    if run.projected is not None and run.projected["data"].shape[0] == 4:
        np.testing.assert_array_equal(run.projected_magnetization,
                                      np.moveaxis(run.projected["data"][1:], 0, -1))
    else:
        assert run.projected_magnetization is None


def ml_doc():
    """Two calculations, each followed by a machine-learned step (structure, forces, energy at top level)."""
    def ml(e):
        return (structure_xml(2, name=None) + '<varray name="forces">\n<v>1 2 3</v>\n<v>4 5 6</v>\n</varray>\n'
                f'<energy>\n<i name="e_fr_energy">{e}</i>\n<i name="total">{e - 1}</i>\n</energy>\n')
    return make_doc(calculation_xml(-1.0) + ml(-10.0) + calculation_xml(-2.0) + ml(-20.0)
                    + structure_xml(2, name="finalpos"))


@pytest.mark.parametrize("options, rows", [
    ({}, [-1.0, -10.0, -2.0, -20.0]),
    ({"ionic_step_offset": 1}, [-2.0, -20.0]),
    ({"ionic_step_skip": 2}, [-1.0, -10.0]),
])
def test_machine_learned_steps_follow_the_calculation_before_them(doc, options, rows):
    run = doc(ml_doc(), **options)
    assert [(m["after"], m["energy"]) for m in run.ml_steps] == [
        (0, {"e_fr_energy": -10.0, "total": -11.0}), (1, {"e_fr_energy": -20.0, "total": -21.0})]
    assert run.ml_steps[0]["forces"].tolist() == [[1, 2, 3], [4, 5, 6]]
    t = run.trajectory
    assert t["e_fr_energy"].tolist() == rows
    assert t["machine_learned"].tolist() == [e < -5 for e in rows]
    assert len(run.ionic_steps) == len(rows) // 2
    assert run.final_structure["volume"] == 64.0                # finalpos, as before


def test_a_machine_learned_block_that_cannot_be_read(doc):
    """Its steps are unknown: ml_steps and the trajectory (whose rows they are) raise; the load is unaffected."""
    run = doc(ml_doc().replace("<v>4 5 6</v>", "<v>4 5 x</v>", 1))
    for name in ("ml_steps", "trajectory"):
        with pytest.raises(calcsift.VasprunError, match="^Failed to parse value 'x' as f64: invalid float$"):
            getattr(run, name)
    assert [s["e_fr_energy"] for s in run.ionic_steps] == [-1.0, -2.0]


def test_every_energy_term_and_electronic_step(doc):
    scstep = '<scstep><energy><i name="alphaZ">1.5</i><i name="e_fr_energy">-3</i><i name="x">****</i></energy></scstep>'
    calc = calculation_xml(-1.0).replace("<calculation>\n", "<calculation>\n" + scstep, 1) + \
        calculation_xml(-2.0, with_structure=False).replace("<calculation>\n", "<calculation>\n" + scstep * 2, 1)
    c1, c2 = doc(make_doc(calc)).calculations
    assert c1["energy"] == {"e_fr_energy": -1.0, "e_wo_entrp": -1.0, "e_0_energy": -1.0}
    assert [list(s) for s in c1["scsteps"]] == [["alphaZ", "e_fr_energy", "x"]] and math.isnan(c1["scsteps"][0]["x"])
    assert (c1["step"], c1["closed"], c1["ground_state_scsteps"]) == (0, True, 1)
    assert (c2["step"], len(c2["scsteps"]), c2["ground_state_scsteps"]) == (None, 2, 2)
