"""The document walk: root, structure slots, required sections, ionic-step selection, blocks kept per run."""

import pytest

from conftest import (DECL, load, load_error, atominfo_xml, calculation_xml, dos_xml, eigenvalues_xml, energy_xml, generator_xml,
                      incar_xml, kpoints_xml, make_doc, projected_xml, structure_xml)


def volumes(v):
    return v.initial_structure["volume"], v.final_structure["volume"]


@pytest.mark.parametrize("names, expected", [
    (["initialpos", "finalpos"], (1.0, 2.0)),
    (["initialpos"], (1.0, 1.0)),
    (["initialpos", "relaxed"], (1.0, 2.0)),
    (["initialpos", "finalpos", "other"], (1.0, 3.0)),         # a later other-named structure replaces finalpos
    (["initialpos", "other", "finalpos"], (1.0, 3.0)),
    (["finalpos", "initialpos"], (2.0, 1.0)),
    ([None, None, None], (1.0, 3.0)),
    (["initialpos", "Finalpos"], (1.0, 2.0)),
    (["initialpos", "finalpos", "finalpos"], (1.0, 3.0)),
    (["primitive_cell", "initialpos"], (2.0, 2.0)),                # VASP 6 writes a primitive cell first
    (["initialpos", "primitive_cell", "finalpos"], (1.0, 3.0)),
    (["initialpos", "primitive_cell"], (1.0, 1.0)),
    (["primitive_cell", "finalpos"], (1.0, 2.0)),                  # VASP 5.4.4 dielectric runs have no initialpos
    (["primitive_cell", "primitive_cell", "finalpos"], (2.0, 3.0)),
])
def test_structure_slots(doc, names, expected):
    structures = "".join(structure_xml(2, name=n, volume=float(i + 1)) for i, n in enumerate(names))
    assert volumes(doc(make_doc(structures, with_structure=False))) == expected


@pytest.mark.parametrize("structures", [
    structure_xml(2, name="finalpos"),
    '<structure name="initialpos"/>' + structure_xml(2, name="finalpos"),
    "<parameters>" + structure_xml(2) + "</parameters>",
])
def test_no_initial_structure(doc_error, structures):
    assert doc_error(make_doc(structures, with_structure=False)) == "Missing element <structure[initialpos]>"


CELL = structure_xml(2, name="primitive_cell")
BAD_CELL = CELL.replace('"positions">\n<v>', '"positions">\n<v>bad ')
CUT_CELL = CELL.split('<varray name="positions">')[0]
BAD = "Failed to parse value 'bad' as f64: invalid float"


@pytest.mark.parametrize("structures, error", [
    (CELL + structure_xml(2), None),
    (BAD_CELL + structure_xml(2), BAD),
    (structure_xml(2) + BAD_CELL + structure_xml(2, name="finalpos"), BAD),
    (BAD_CELL + structure_xml(2, name="finalpos"), BAD),
    (structure_xml(2) + CUT_CELL, "Missing element <varray[positions]>"),
    (CUT_CELL, "Missing element <varray[positions]>"),
])
def test_primitive_cell_is_read_as_every_top_level_structure(tmp_path, structures, error):
    """It is read where it stands, like any top-level structure, but serves only when there is no other."""
    body = make_doc(structures, with_structure=False, close=CUT_CELL not in structures)
    if error is None:
        assert load(tmp_path, body).initial_structure["volume"] == 64.0
    else:
        assert load_error(tmp_path, body) == error


def test_primitive_cell_before_atominfo_has_placeholder_species(doc):
    v = doc(make_doc(structure_xml(2, name="finalpos"), head=structure_xml(2, name="primitive_cell"),
                     with_structure=False))
    assert v.initial_structure["species"] == ["X", "X"] and v.final_structure["species"] == ["Si", "Si"]


def test_structure_before_atominfo_has_placeholder_species(doc):
    v = doc(make_doc(head=structure_xml(2), with_structure=False))
    assert v.initial_structure["species"] == ["X", "X"] and v.atoms == ["Si", "Si"]


SECTIONS = {"generator": generator_xml(), "incar": incar_xml(), "atominfo": atominfo_xml(),
            "kpoints": kpoints_xml(), "structure[initialpos]": structure_xml(2)}


@pytest.mark.parametrize("removed, missing", [
    ({"generator"}, "generator"),
    ({"incar"}, "incar"),
    ({"atominfo"}, "atominfo"),
    ({"kpoints"}, "kpoints"),
    ({"structure[initialpos]"}, "structure[initialpos]"),
    ({"generator", "incar"}, "generator"),
    ({"incar", "kpoints"}, "incar"),
    ({"atominfo", "structure[initialpos]"}, "atominfo"),
    ({"kpoints", "structure[initialpos]"}, "kpoints"),
    (set(SECTIONS), "generator"),
])
def test_required_sections_in_order(doc_error, removed, missing):
    body = "".join(xml for key, xml in reversed(SECTIONS.items()) if key not in removed)
    assert doc_error(DECL + "<modeling>\n" + body + calculation_xml() + "</modeling>") == f"Missing element <{missing}>"


@pytest.mark.parametrize("replace, missing", [
    ((incar_xml(), "<incar/>"), "incar"),                                   # an empty element counts as absent
    ((generator_xml(), generator_xml().replace("generator>", "Generator>")), "generator"),
    ((kpoints_xml(), "<parameters>" + kpoints_xml() + "</parameters>"), "kpoints"),
])
def test_section_not_recognised(doc_error, replace, missing):
    assert doc_error(make_doc().replace(*replace)) == f"Missing element <{missing}>"


def test_sections_in_any_order(doc):
    v = doc(DECL + "<modeling>" + "".join(reversed(SECTIONS.values())) + "</modeling>")
    assert repr(v) == 'Vasprun(program=vasp, version=6.4.2, atoms=["Si", "Si"], nkpts=1, nsteps=0)'


@pytest.mark.parametrize("prefix", ["<modeling/>", "<wrapper>", "<!-- <modeling> -->", "<![CDATA[<modeling>]]>"])
def test_root_search(doc, prefix):
    assert doc(DECL + prefix + make_doc(declaration=False)).program == "vasp"


def test_later_sections_replace_earlier(doc):
    v = doc(make_doc(generator_xml("second", "2") + incar_xml('<i type="int" name="N">1</i>')
                     + atominfo_xml(("O", "O")) + kpoints_xml(((0, 0, 0), (0.5, 0, 0)))))
    assert repr(v) == 'Vasprun(program=second, version=2, atoms=["O", "O"], nkpts=2, nsteps=0)'
    assert v.incar == {"N": 1} and v.initial_structure["species"] == ["Si", "Si"]


def test_unknown_top_level_elements_are_skipped_whole(doc):
    hidden = "<parameters>" + calculation_xml(-9.0, body=dos_xml(9.0)) + structure_xml(2, name="finalpos", volume=9.0)
    hidden += generator_xml("hidden") + "</parameters>\n"
    v = doc(make_doc(hidden + calculation_xml(-1.0)))
    assert (len(v.ionic_steps), v.efermi, v.final_structure["volume"], v.program) == (1, None, 64.0, "vasp")


@pytest.mark.parametrize("tail", ["", "\n", "<calculation>", "</calculation>\n</junk>", "<!-- c -->"])
def test_missing_modeling_end(doc, tail):
    v = doc(make_doc(calculation_xml(-1.0) + calculation_xml(-2.0), close=False).rstrip("\n") + tail)
    assert [s["e_fr_energy"] for s in v.ionic_steps] == [-1.0, -2.0]


@pytest.mark.parametrize("trailer", ["<<< &bad; </x", calculation_xml(-5.0), "<modeling>" + calculation_xml(-5.0),
                                     "\xff\x00 junk", make_doc(program="other")])
def test_content_after_modeling_end_is_ignored(doc, trailer):
    v = doc(make_doc(calculation_xml(-1.0)) + trailer)
    assert ([s["e_fr_energy"] for s in v.ionic_steps], v.program) == ([-1.0], "vasp")


# --- ionic steps -------------------------------------------------------------------------------------------

TEN = make_doc("".join(calculation_xml(-float(i)) for i in range(10)))


@pytest.mark.parametrize("offset, skip, kept", [
    (2, 3, [2, 5, 8]),
    (0, None, list(range(10))),
    (0, 0, list(range(10))),
    (0, 1, list(range(10))),
    (0, 2, [0, 2, 4, 6, 8]),
    (3, None, list(range(3, 10))),
    (9, None, [9]),
    (9, 5, [9]),
    (10, None, []),
    (11, 2, []),
    (2**64 - 1, None, []),
    (0, 9, [0, 9]),
    (0, 10, [0]),
    (1, 2**64 - 1, [1]),
])
def test_offset_then_skip(doc, offset, skip, kept):
    v = doc(TEN, ionic_step_offset=offset, ionic_step_skip=skip)
    assert [-s["e_fr_energy"] for s in v.ionic_steps] == kept
    assert repr(v).endswith(f"nsteps={len(kept)})")
    assert v.converged is (bool(kept) and kept[-1] != 0)


def test_blocks_come_from_last_calculation_that_has_them(doc):
    calcs = [calculation_xml(-1.0, body=dos_xml(1.0) + eigenvalues_xml(nkpts=1)),
             calculation_xml(-2.0, body=dos_xml(2.0)),
             calculation_xml(-3.0, body=eigenvalues_xml(nkpts=3), with_structure=False),  # no step, but a block
             calculation_xml(-4.0)]
    for offset in (0, 5):
        v = doc(make_doc("".join(calcs)), ionic_step_offset=offset)
        assert [s["e_fr_energy"] for s in v.ionic_steps] == ([-1.0, -2.0, -4.0] if offset == 0 else [])
        assert (v.efermi, v.dos["efermi"], v.eigenvalue_shape) == (2.0, 2.0, (1, 3, 2))


@pytest.mark.parametrize("parse_dos", [True, False])
@pytest.mark.parametrize("parse_eigen", [True, False])
@pytest.mark.parametrize("parse_projected", [True, False])
def test_parse_switches(doc, parse_dos, parse_eigen, parse_projected):
    calc = calculation_xml(None, body=eigenvalues_xml() + projected_xml() + dos_xml(0.75) + energy_xml(-6.5))
    v = doc(make_doc(calc), parse_dos=parse_dos, parse_eigen=parse_eigen, parse_projected=parse_projected)
    assert v.ionic_steps[0]["e_fr_energy"] == -6.5
    assert (v.efermi, v.dos is None) == ((0.75, False) if parse_dos else (None, True))
    assert v.eigenvalue_shape == ((1, 1, 2) if parse_eigen else None)
    assert (v.eigenvalues is None) is not parse_eigen
    if parse_projected:
        assert v.projected["data"].shape == (1, 1, 2, 2, 2) and v.projected["orbitals"] == ["s", "p"]
    else:
        assert v.projected is None
