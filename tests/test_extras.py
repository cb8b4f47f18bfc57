"""Blocks no load depends on: when one cannot be read (a shape not expected, a bad number or entity), the file
loads exactly as it loads without the block, and only the block's property raises, with the precise text; a cut
inside one ends the load as a cut inside any element the load does not know."""

import re

import numpy as np
import pytest

import calcsift
from conftest import calculation_xml, make_doc, structure_xml, write_doc
from test_response import born, dynmat, matrix, opt_eigenvalues, opt_projected, tensor

SPECIFIED = ("program", "version", "incar", "atoms", "atom_types", "kpoints", "initial_structure", "final_structure",
             "ionic_steps", "eigenvalues", "eigenvalue_shape", "projected", "efermi", "dos", "dielectric", "converged")
SHAPE = "Unexpected array shape: expected {}, got {}"
NUMBER = "Failed to parse value '{}' as f64: invalid float"
ENTITY = r"Error while escaping character at range \d+\.\.\d+: unrecognized entity '&bogus;'"


def selective(rows):
    return '<varray name="selective" type="logical">\n' + "".join(f"<v>{r}</v>\n" for r in rows) + "</varray>\n"


def velocities(rows):
    return '<varray name="velocities">\n' + "".join(f"<v>{r}</v>\n" for r in rows) + "</varray>\n"


def in_calculation(block):
    return make_doc(calculation_xml(-1.0, body=block) + calculation_xml(-2.0))


def in_structure(block):
    return make_doc(calculation_xml(-1.0), with_structure=False).replace(
        "<calculation>", structure_xml(2).replace("</structure>", block + "</structure>") + "<calculation>", 1)


def in_document(block):
    return make_doc(block + calculation_xml(-1.0))


# property, where the block stands, the element the load passes over, and for each kind of fault the block and
# the property's error (None: that fault cannot happen to this block)
CASES = {
    "parameters": (in_document, "parameters", {
        "entity": ('<parameters><i name="A">&bogus;</i></parameters>', ENTITY)}),
    "dielectric_tensors": (in_calculation, "varray", {
        "shape": (tensor(rows=[(1, 2, 3), (1, 2)]), SHAPE.format([2, 3], [2, 2])),
        "number": (tensor(rows=[(1, 2, "3d0")] * 3), NUMBER.format("3d0")),
        "entity": (tensor(rows=[(1, 2, "&bogus;")] * 3), ENTITY)}),
    "born_charges": (in_calculation, "array", {
        "shape": (born([matrix(3)]), SHAPE.format([2, 3, 3], [1, 3, 3])),
        "number": (born([matrix(3), [(1, 2, "x")] * 3]), NUMBER.format("x")),
        "entity": (born([matrix(3), [(1, 2, "&bogus;")] * 3]), ENTITY)}),
    "dynmat": (in_calculation, "dynmat", {
        "shape": (dynmat(hessian=matrix(4)), SHAPE.format([6, 6], [4, 4])),
        "number": (dynmat(eigenvalues=["x"] * 6), NUMBER.format("x")),
        "entity": (dynmat(eigenvalues=["&bogus;"] * 6), ENTITY)}),
    "kpoints_opt": (in_calculation, "eigenvalues_kpoints_opt", {
        "shape": (opt_eigenvalues(rows=((),)), SHAPE.format([2], [0])),
        "number": (opt_eigenvalues(rows=(("x",),)), NUMBER.format("x")),
        "entity": (opt_eigenvalues(rows=(("&bogus;",),)), ENTITY)}),
    "selective_dynamics": (in_structure, "varray", {
        "shape": (selective(["T T T"]), SHAPE.format([2, 3], [1, 3])),
        "number": (selective(["T T 1", "T T T"]), "Failed to parse value '1' as bool: expected T or F"),
        "entity": (selective(["T T &bogus;", "T T T"]), ENTITY)}),
    "initial_velocities": (in_structure, "varray", {
        "shape": (velocities(["1 2 3"] * 3), SHAPE.format([2, 3], [3, 3])),
        "number": (velocities(["1 2 x", "1 2 3"]), NUMBER.format("x")),
        "entity": (velocities(["1 2 &bogus;", "1 2 3"]), ENTITY)}),
}
FAULTS = [(prop, fault) for prop, (_, _, faults) in CASES.items() for fault in (*faults, "cut")]


def specified(run):
    """What the load itself yields: the specified properties, arrays as lists."""
    def plain(x):
        if isinstance(x, np.ndarray):
            return x.tolist()
        if isinstance(x, dict):
            return {k: plain(v) for k, v in x.items()}
        if isinstance(x, list):
            return [plain(v) for v in x]
        return x
    return {name: plain(getattr(run, name)) for name in SPECIFIED}


@pytest.mark.parametrize("prop, fault", FAULTS, ids=[f"{p}-{f}" for p, f in FAULTS])
def test_a_block_no_load_depends_on_never_decides_the_load(tmp_path, prop, fault):
    place, element, faults = CASES[prop]
    options = {"parse_projected": True}
    without = specified(calcsift.Vasprun(write_doc(tmp_path, place(""), "without.xml"), **options))
    if fault == "cut":
        block = next(iter(faults.values()))[0]
        text = place(block)
        middle = text.index(block) + len(block) // 2
        cut = text[:text.index(">", middle) + 1]                # between two tags inside the block
        with pytest.raises(RuntimeError, match=f"^Missing element <EOF while skipping <{element}>>$"):
            calcsift.Vasprun(write_doc(tmp_path, cut, "cut.xml"), **options)
        return
    block, message = faults[fault]
    run = calcsift.Vasprun(write_doc(tmp_path, place(block)), **options)
    assert specified(run) == without
    with pytest.raises(RuntimeError, match="^" + (message if message is ENTITY else re.escape(message)) + "$"):
        getattr(run, prop)


def test_a_projected_kpoints_opt_block_that_cannot_be_read(doc):
    bad = opt_projected().replace("0.9", "x")
    run = doc(in_calculation(bad), parse_projected=True)
    with pytest.raises(RuntimeError, match="^" + re.escape(NUMBER.format("x")) + "$"):
        run.kpoints_opt
    assert doc(in_calculation(bad), parse_eigen=False).kpoints_opt is None     # its projections are not read
