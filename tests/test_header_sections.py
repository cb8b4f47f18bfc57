"""Generator, INCAR, atom info, k-points and structures."""

import math

import numpy as np
import pytest

from conftest import atominfo_xml, kpoints_xml, make_doc, vrows


def swapped(old, new, **kw):
    """``make_doc(**kw)`` with its section ``old`` replaced by ``new``."""
    text = make_doc(**kw)
    assert old in text
    return text.replace(old, new, 1)


# --- INCAR -----------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("type_, text, expected", [
    ("logical", " F ", False),
    ("logical", "t", True),
    ("logical", ".true.", True),
    ("logical", ".FaLsE.", False),
    ("logical", "falſe", False),        # the long s upper-cases to S
    ("logical", "yes", "yes"),
    ("logical", "1", "1"),
    ("logical", "", ""),
    ("string", "a  b", "a  b"),
    ("string", "x &amp; &lt;y&gt;", "x & <y>"),
    ("int", "  2 ", 2),
    ("int", "+5", 5),
    ("int", "-9223372036854775808", -9223372036854775808),
    ("int", "9223372036854775807", 9223372036854775807),
    ("int", "9223372036854775808", "9223372036854775808"),
    ("int", "2.0", "2.0"),
    ("int", "1e3", "1e3"),
    ("int", "+", "+"),
    ("int", "+-1", "+-1"),
    ("int", "٣", "٣"),                  # a non-ASCII digit is no digit
    (None, "400.00", 400.0),
    (None, "1 2.5 -3e1", [1.0, 2.5, -30.0]),
    (None, "1 foo 3", [1.0, 3.0]),
    (None, "1.0d-3", "1.0d-3"),
    (None, "1_000", "1_000"),
    (None, "foo bar", "foo bar"),
    (None, "-Infinity", -math.inf),
    ("float", "5", 5.0),
    ("Logical", "T", "T"),             # a differently cased type name takes the float grammar
    ("INT", "3", 3.0),
    ("vector", "1 2", [1.0, 2.0]),
])
def test_incar_value_grammar(doc, type_, text, expected):
    attr = "" if type_ is None else f' type="{type_}"'
    value = doc(make_doc(incar=f'<i{attr} name="X">{text}</i>\n')).incar["X"]
    assert type(value) is type(expected)
    assert value == expected


def test_incar_items(doc):
    items = ('<i type="int" name="A">1</i>\n<i name="B"/>\n<i type="int" name="C"/>\n<i>no name</i>\n<i/>\n'
             '<v type="int" name="V">1 2 3</v>\n<separator name="s"><i name="INNER">1</i></separator>\n'
             '<i name="a&amp;b" type="string">amp</i>\n<i type="int" name="A">7</i>\n')
    incar = doc(make_doc(incar=items)).incar
    assert list(incar.items()) == [("A", 7), ("B", ""), ("C", ""), ("a&amp;b", "amp")]


def test_empty_incar_and_generator(doc):
    text = make_doc().replace('<incar>\n</incar>', '<incar/><incar></incar>')
    text = text.replace(text[text.index('<generator>'):text.index('</generator>')], '<generator><i name="program"/>')
    v = doc(text)
    assert (v.incar, v.program, v.version) == ({}, "", "")


# --- Atom info -------------------------------------------------------------------------------------------------------

FIELDS = ("atomspertype", "element", "mass", "valence", "pseudopotential")
SI_ROW = ("2", "Si", "28.085", "4.0", "PAW_PBE Si 05Jan2001")


def atominfo(atoms=("Si", "Si"), types=(SI_ROW,), fields=FIELDS, with_atoms=True, with_types=True):
    cells = lambda row: "<rc>" + "".join(f"<c>{c}</c>" for c in row) + "</rc>\n"
    out = ["<atominfo>\n<atoms>99</atoms><types>7</types>\n"]
    if with_atoms:
        out.append('<array name="atoms">\n<dimension dim="1">ion</dimension>\n<field type="string">element</field>'
                   f'<field type="int">atomtype</field>\n<set>\n{"".join(cells((a, 1)) for a in atoms)}</set>\n'
                   "</array>\n")
    out.append('<array name="other"><set><rc><c>junk</c></rc></set></array>\n')
    if with_types:
        out.append('<array name="atomtypes">\n<dimension dim="1">type</dimension>\n'
                   + "".join(f"<field>{f}</field>" for f in fields)
                   + f'\n<set>\n{"".join(cells(r) for r in types)}</set>\n</array>\n')
    out.append("</atominfo>\n")
    return "".join(out)


def atominfo_doc(**kw):
    return swapped(atominfo_xml(), atominfo(**kw))


def test_atominfo_tables(doc):
    types = (("1", " Fe ", "55.847", "8", "  PAW_PBE Fe  "), ("+1", "O", "16.0", "6.0", "PAW_PBE O"))
    v = doc(atominfo_doc(atoms=("  Fe ", "O"), types=types))
    assert v.atoms == ["Fe", "O"]
    assert v.atom_types == [
        {"element": "Fe", "count": 1, "mass": 55.847, "valence": 8.0, "pseudopotential": "PAW_PBE Fe"},
        {"element": "O", "count": 1, "mass": 16.0, "valence": 6.0, "pseudopotential": "PAW_PBE O"}]
    assert [list(t) for t in v.atom_types] == [["element", "count", "mass", "valence", "pseudopotential"]] * 2


def test_atominfo_columns_found_by_name(doc):
    order = (4, 2, 0, 3, 1)
    v = doc(atominfo_doc(fields=[FIELDS[i] for i in order], types=[[SI_ROW[i] for i in order]]))
    assert v.atom_types == doc(atominfo_doc()).atom_types
    assert v.atom_types[0]["mass"] == 28.085
    repeated = doc(atominfo_doc(fields=FIELDS + ("mass",), types=[SI_ROW + ("30.5",)]))
    assert repeated.atom_types[0]["mass"] == 30.5


def test_atominfo_empty_tables(doc):
    v = doc(atominfo_doc(atoms=(), types=()))
    assert (v.atoms, v.atom_types) == ([], [])
    assert v.initial_structure["species"] == ["X", "X"]


@pytest.mark.parametrize("kw, message", [
    (dict(with_atoms=False), "Missing element <array[atoms]>"),
    (dict(with_atoms=False, with_types=False), "Missing element <array[atoms]>"),
    (dict(with_types=False), "Missing element <array[atomtypes]>"),
    (dict(types=[("-1",) + SI_ROW[1:]]), "Failed to parse value '-1' as usize: atomspertype is not a valid integer"),
    (dict(types=[("2.5",) + SI_ROW[1:]]), "Failed to parse value '2.5' as usize: atomspertype is not a valid integer"),
    (dict(types=[("18446744073709551616",) + SI_ROW[1:]]),
     "Failed to parse value '18446744073709551616' as usize: atomspertype is not a valid integer"),
    (dict(fields=()), "Failed to parse value '' as usize: atomspertype is not a valid integer"),
    (dict(fields=("atomspertype", "element", "valence", "pseudopotential"), types=[("2", "Si", "4.0", "P")]),
     "Failed to parse value '' as f64: mass is not a valid float"),
    (dict(types=[("2", "Si", "28.1", "four", "P")]), "Failed to parse value 'four' as f64: valence is not a valid float"),
    (dict(types=[SI_ROW, ("x", "O", "y", "z", "P")]),
     "Failed to parse value 'x' as usize: atomspertype is not a valid integer"),
])
def test_atominfo_errors(doc_error, kw, message):
    assert doc_error(atominfo_doc(**kw)) == message


# --- K-points --------------------------------------------------------------------------------------------------------

def kpoints(*parts, kpointlist=((0, 0, 0), (0.5, 0, 0)), weights=((0.5,), (0.5,))):
    out = ["<kpoints>\n"]
    if kpointlist is not None:
        out.append(f'<varray name="kpointlist">\n{vrows(kpointlist)}</varray>\n')
    if weights is not None:
        out.append(f'<varray name="weights">\n{vrows(weights)}</varray>\n')
    return "".join(out + list(parts) + ["</kpoints>\n"])


def varray(name, *rows):
    return f'<varray name="{name}">' + "".join("<v/>" if r is None else f"<v>{r}</v>" for r in rows) + "</varray>\n"


def kp(doc, *parts, **kw):
    return doc(swapped(kpoints_xml(), kpoints(*parts, **kw))).kpoints


def test_kpoints_plain(doc):
    k = kp(doc, '<varray name="rec_basis"><v>1 2</v></varray><varray><v>x</v></varray><generation param="G"/>\n',
           kpointlist=((0, 0, 0), (0.5, 0.25, 0, 9), (1, 1, 1)), weights=((0.25, 0.5), (0.75,)))
    assert list(k) == ["kpointlist", "weights"]
    assert k["kpointlist"].dtype == np.float64
    np.testing.assert_array_equal(k["kpointlist"], [[0, 0, 0], [0.5, 0.25, 0], [1, 1, 1]])
    np.testing.assert_array_equal(k["weights"], [0.25, 0.75])


def test_kpoints_empty_varrays_and_last_weights_win(doc):
    k = kp(doc, varray("weights", "0.1", "0.2"), kpointlist=(), weights=())
    assert k["kpointlist"].shape == (0, 3)
    np.testing.assert_array_equal(k["weights"], [0.1, 0.2])


@pytest.mark.parametrize("indices, labels, expected", [
    (("1", "0", "12 foo", "words only", "5"), ("G", "X", "M", "R"), [(0, "G"), (0, "X"), (11, "M"), (4, "R")]),
    (("1", "2", "3", "4"), ("G", " X ", "M"), [(0, "G"), (1, "X"), (2, "M")]),
    (("1", "2", "3"), ("G", None, "X", "M"), [(0, "G"), (1, "X"), (2, "M")]),
    (("1", None, "2"), ("G", "X"), [(0, "G"), (1, "X")]),
    (("2147483648", "-x"), ("G",), None),
    ((), ("G",), None),
])
def test_kpoint_labels(doc, indices, labels, expected):
    k = kp(doc, varray("labelindex", *indices), varray("labels", *labels))
    if expected is None:
        assert "labels" not in k
    else:
        assert k["labels"] == expected
        assert all(type(p) is tuple for p in k["labels"])


@pytest.mark.parametrize("generation, scheme, divisions", [
    ('<generation param="Gamma"><v type="int" name="divisions">4 4 4 1</v></generation>', "Gamma", [4, 4, 4]),
    ('<generation><v type="int" name="divisions"> 2 x 3 -5 </v></generation>', "unknown", [2, 3, -5]),
    ('<generation param="M"><v type="int" name="divisions">4 4 2147483648 4</v></generation>', "M", [4, 4, 4]),
    ('<generation param="M"><v type="int" name="divisions">2 2</v></generation>', "M", None),
    ('<generation param="M"><v name="divisions">4 4 4</v></generation>', "M", None),
    ('<generation param="M"><v type="int" name="divisions">4 4 4.0</v></generation>', "M", None),
    ('<generation param="M"><i type="int" name="divisions">4 4 4</i></generation>', "M", None),
    ('<generation param="A"><v type="int" name="divisions">1 1 1</v></generation>'
     '<generation param="B"><v type="int" name="divisions">3 2 1</v><v type="int" name="divisions">9</v>'
     '</generation>', "B", [3, 2, 1]),
])
def test_kpoint_generation(doc, generation, scheme, divisions):
    k = kp(doc, generation)
    assert k["scheme"] == scheme
    if divisions is None:
        assert list(k) == ["kpointlist", "weights", "scheme"]
    else:
        assert list(k) == ["kpointlist", "weights", "scheme", "divisions"]
        assert k["divisions"] == divisions


@pytest.mark.parametrize("kw, message", [
    (dict(weights=((0.5,), ())), "Failed to parse value '' as f64: empty weight row"),
    (dict(kpointlist=((0, 0),)), "Failed to parse value '0.0 0.0' as [f64; 3]: expected 3 values, got 2"),
    (dict(kpointlist=None), "Missing element <varray[kpointlist]>"),
    (dict(kpointlist=None, weights=None), "Missing element <varray[kpointlist]>"),
    (dict(weights=None), "Missing element <varray[weights]>"),
])
def test_kpoint_errors(doc_error, kw, message):
    assert doc_error(swapped(kpoints_xml(), kpoints(**kw))) == message


# --- Structures ------------------------------------------------------------------------------------------------------

def structure(basis=((2, 0, 0), (0, 3, 0), (0, 0, 4)), volume="<i name=\"volume\"> 24.0 </i>",
              positions=((0, 0, 0), (0.5, 0.5, 0.5)), name="initialpos", crystal=True):
    out = [f'<structure name="{name}">\n']
    if crystal:
        out.append(f'<crystal>\n<varray name="basis">\n{vrows(basis)}</varray>\n{volume}\n'
                   f'<varray name="rec_basis">\n{vrows([(0.5, 0, 0), (0, 1 / 3, 0), (0, 0, 0.25)])}</varray>\n'
                   '</crystal>\n')
    if positions is not None:
        out.append(f'<varray name="positions">\n{vrows(positions)}</varray>\n'
                   '<varray type="logical" name="selective"><v type="logical"> T T F </v></varray>\n')
    return "".join(out + ["</structure>\n"])


def test_structure_dict(doc):
    v = doc(make_doc(with_structure=False, sections=structure(
        basis=((2, 0, 0), (0, 3, 0), (0, 0, 4), (9, 9, 9)))))
    s = v.initial_structure
    assert s == {"lattice": [[2.0, 0.0, 0.0], [0.0, 3.0, 0.0], [0.0, 0.0, 4.0]], "volume": 24.0,
                 "positions": [[0.0, 0.0, 0.0], [0.5, 0.5, 0.5]], "species": ["Si", "Si"]}
    assert list(s) == ["lattice", "volume", "positions", "species"]
    assert v.final_structure == s and v.final_structure is not s
    s["lattice"][0][0] = 99.0
    assert v.initial_structure["lattice"][0][0] == 2.0


@pytest.mark.parametrize("volume", ["", '<i name="volume">abc</i>', '<i name="volume">****</i>',
                                    '<i name="volume">5.0</i><i name="volume">1.0d0</i>', '<i name="volume"/>'])
def test_structure_volume_fallback(doc, volume):
    assert doc(make_doc(with_structure=False, sections=structure(volume=volume))).initial_structure["volume"] == 0.0


def test_species_before_atominfo(doc):
    v = doc(make_doc(head=structure(positions=((0, 0, 0),) * 3), with_structure=False,
                     sections=structure(name="finalpos")))
    assert v.initial_structure["species"] == ["X", "X", "X"]
    assert v.final_structure["species"] == ["Si", "Si"]


def test_structure_without_positions_rows(doc):
    v = doc(swapped(atominfo_xml(), atominfo(atoms=(), types=()), with_structure=False,
                    sections=structure(positions=())))
    assert (v.initial_structure["positions"], v.initial_structure["species"]) == ([], [])


@pytest.mark.parametrize("kw, message", [
    (dict(basis=((1, 0, 0), (0, 1, 0))), "Unexpected array shape: expected [3, 3], got [2]"),
    (dict(basis=()), "Unexpected array shape: expected [3, 3], got [0]"),
    (dict(positions=((0, 0, 0),) * 3), "Unexpected array shape: expected [2], got [3]"),
    (dict(positions=((0, 0, 0),)), "Unexpected array shape: expected [2], got [1]"),
    (dict(crystal=False, positions=None), "Missing element <crystal>"),
    (dict(positions=None), "Missing element <varray[positions]>"),
    (dict(name="finalpos"), "Missing element <structure[initialpos]>"),
])
def test_structure_errors(doc_error, kw, message):
    assert doc_error(make_doc(with_structure=False, sections=structure(**kw))) == message


def test_four_names_three_positions(doc_error):
    four = ("Si",) * 4
    text = make_doc(atoms=four, with_structure=False, sections=structure(positions=((0, 0, 0),) * 3))
    assert doc_error(text) == "Unexpected array shape: expected [4], got [3]"


def test_short_rec_basis(doc_error):
    text = make_doc(with_structure=False, sections=structure().replace(
        "<v>0.0 0.0 0.25</v>\n</varray>\n</crystal>", "</varray>\n</crystal>"))
    assert doc_error(text) == "Unexpected array shape: expected [3, 3], got [2]"


# --- A realistic header ----------------------------------------------------------------------------------------------

def vasp_structure(attrs, basis, volume, rec, positions, selective=""):
    """A <structure> laid out and padded the way VASP 5 and 6 write it."""
    table = lambda name, rs: (f'   <varray name="{name}" >\n'
                              + "".join("    <v>" + "".join(f"{x:16.8f}" for x in r) + " </v>\n" for r in rs)
                              + "   </varray>\n")
    return (f" <structure{attrs} >\n  <crystal>\n{table('basis', basis)}   <i name=\"volume\">{volume:16.8f} </i>\n"
            f"{table('rec_basis', rec)}  </crystal>\n{table('positions', positions)[1:]}{selective} </structure>\n")


LATTICE_I = [[2.87, 0.0, 0.0], [0.0, 2.87, 0.0], [0.0, 0.0, 10.34]]
REC_I = [[0.34843206, 0.0, 0.0], [0.0, 0.34843206, 0.0], [0.0, 0.0, 0.0967118]]
POSITIONS_I = [[0.0, 0.0, 0.0], [0.5, 0.5, 0.25], [0.0, 0.0, 0.5]]
LATTICE_F = [[2.88, 0.0, 0.0], [0.0, 2.88, 0.0], [0.0, 0.0, 10.3]]
POSITIONS_F = [[0.0, 0.0, 0.0], [0.5, 0.5, 0.24], [0.0, 0.0, 0.51]]
SELECTIVE = ('  <varray type="logical" name="selective" >\n' + '   <v type="logical" >  F  F  F </v>\n'
             + '   <v type="logical" >  T  T  T </v>\n' * 2 + "  </varray>\n")

REAL_HEAD = """<?xml version="1.0" encoding="ISO-8859-1"?>
<modeling>
 <generator>
  <i name="program" type="string">vasp </i>
  <i name="version" type="string">6.1.1  </i>
  <i name="subversion" type="string">27Jan20 (build Mar 05 2020 12:32:07) complex            parallel </i>
  <i name="platform" type="string">LinuxIFC </i>
  <i name="date" type="string">2021 02 11 </i>
  <i name="time" type="string">09:44:11 </i>
 </generator>
 <incar>
  <i type="string" name="SYSTEM">Fe2O  unit   cell</i>
  <i type="int" name="NELM">    60</i>
  <i type="string" name="PREC">accurate</i>
  <i type="int" name="ISPIN">     2</i>
  <i name="ENCUT">    520.00000000</i>
  <i name="EDIFF">      0.00000100</i>
  <i type="logical" name="LWAVE"> F  </i>
  <i type="logical" name="LCHARG"> .TRUE. </i>
  <i name="MAGMOM">      5.00000000      5.00000000      0.60000000</i>
  <v type="int" name="LDAUL">     2    -1</v>
  <v name="LDAUU">      4.00000000      0.00000000</v>
  <i name="ISIF">     3</i>
  <i type="string" name="METAGGA"/>
  <i type="int" name="NELM">   100</i>
 </incar>
@PRIMITIVE@ <kpoints>
  <generation param="Gamma">
   <v type="int" name="divisions">       4        4        2 </v>
   <v name="usershift">      0.00000000      0.00000000      0.00000000 </v>
   <v name="genvec1">      0.25000000      0.00000000      0.00000000 </v>
   <v name="genvec2">      0.00000000      0.25000000      0.00000000 </v>
   <v name="genvec3">      0.00000000      0.00000000      0.50000000 </v>
   <v name="shift">      0.00000000      0.00000000      0.00000000 </v>
  </generation>
  <varray name="kpointlist" >
   <v>       0.00000000       0.00000000       0.00000000 </v>
   <v>       0.25000000       0.00000000       0.00000000 </v>
   <v>       0.50000000       0.00000000       0.00000000 </v>
   <v>       0.25000000       0.25000000       0.50000000 </v>
  </varray>
  <varray name="weights" >
   <v>       0.12500000 </v>
   <v>       0.25000000 </v>
   <v>       0.12500000 </v>
   <v>       0.50000000 </v>
  </varray>
 </kpoints>
 <parameters>
  <separator name="general" >
   <i type="string" name="SYSTEM">parameters only</i>
   <i type="logical" name="LCOMPAT"> F  </i>
  </separator>
  <separator name="electronic" >
   <i name="ENCUT">    999.00000000</i>
   <separator name="electronic spin" >
    <i type="int" name="ISPIN">     1</i>
    <v name="MAGMOM">      5.00000000      5.00000000      0.60000000</v>
   </separator>
   <v type="logical" name="LATTICE_CONSTRAINTS">T T T</v>
  </separator>
 </parameters>
 <atominfo>
  <atoms>       3 </atoms>
  <types>       2 </types>
  <array name="atoms" >
   <dimension dim="1">ion</dimension>
   <field type="string">element</field>
   <field type="int">atomtype</field>
   <set>
    <rc><c>Fe</c><c>   1</c></rc>
    <rc><c>Fe</c><c>   1</c></rc>
    <rc><c>O </c><c>   2</c></rc>
   </set>
  </array>
  <array name="atomtypes" >
   <dimension dim="1">type</dimension>
   <field type="int">atomspertype</field>
   <field type="string">element</field>
   <field>mass</field>
   <field>valence</field>
   <field type="string">pseudopotential</field>
   <set>
    <rc><c>   2</c><c>Fe</c><c>     55.84700000</c><c>      8.00000000</c><c>  PAW_PBE Fe 06Sep2000                   </c></rc>
    <rc><c>   1</c><c>O </c><c>     16.00000000</c><c>      6.00000000</c><c>  PAW_PBE O 08Apr2002                    </c></rc>
   </set>
  </array>
 </atominfo>
@INITIAL@ <calculation>
@STEP@  <energy>
   <i name="e_fr_energy">    -20.12345678 </i>
   <i name="e_wo_entrp">    -20.12000000 </i>
   <i name="e_0_energy">    -20.12172839 </i>
  </energy>
  <eigenvalues>
   <array>
    <dimension dim="1">band</dimension>
    <dimension dim="2">kpoint</dimension>
    <dimension dim="3">spin</dimension>
    <field>eigene</field>
    <field>occ</field>
    <set>
     <set comment="spin 1">
      <set comment="kpoint 1">
       <r>   -5.5000    1.0000 </r>
      </set>
     </set>
    </set>
   </array>
  </eigenvalues>
 </calculation>
@FINAL@</modeling>
""".replace("@INITIAL@", vasp_structure(' name="initialpos"', LATTICE_I, 85.168466, REC_I, POSITIONS_I, SELECTIVE)) \
    .replace("@STEP@", vasp_structure("", LATTICE_I, 85.168466, REC_I, POSITIONS_I)) \
    .replace("@FINAL@", vasp_structure(' name="finalpos"', LATTICE_F, 85.43232, REC_I, POSITIONS_F))

PRIMITIVE_CELL = vasp_structure(' name="primitive_cell"', [[-1.435, 1.435, 5.17], [1.435, -1.435, 5.17], [1.435, 1.435, -5.17]],
                                42.584233, REC_I, [[0, 0, 0], [0.75, 0.25, 0.5]]) \
    + ' <varray name="primitive_index" >\n  <v type="int" >        1 </v>\n  <v type="int" >        3 </v>\n </varray>\n'

LINE_MODE_KPOINTS = """ <kpoints>
  <generation param="listgenerated">
   <i name="divisions" type="int">       2 </i>
   <v>       0.00000000       0.00000000       0.00000000 </v>
   <v>       0.50000000       0.00000000       0.00000000 </v>
   <v>       0.50000000       0.50000000       0.00000000 </v>
  </generation>
  <varray name="kpointlist" >
   <v>       0.00000000       0.00000000       0.00000000 </v>
   <v>       0.50000000       0.00000000       0.00000000 </v>
   <v>       0.50000000       0.50000000       0.00000000 </v>
  </varray>
  <varray name="weights" >
   <v>       0.33333333 </v>
   <v>       0.33333333 </v>
   <v>       0.33333333 </v>
  </varray>
  <varray name="labelindex" >
   <v>        1 </v>
   <v>        2 </v>
   <v>        3 </v>
  </varray>
  <varray name="labels" >
   <v> \\Gamma </v>
   <v> X </v>
   <v> M </v>
  </varray>
 </kpoints>
"""


def real_head(primitive):
    """The VASP 6.1 layout puts the primitive cell at top level; 6.3 wraps it in <primitive_cell>."""
    block = {"none": "", "bare": PRIMITIVE_CELL,
             "wrapped": " <primitive_cell>\n" + PRIMITIVE_CELL + " </primitive_cell>\n"}[primitive]
    return REAL_HEAD.replace("@PRIMITIVE@", block)


@pytest.mark.parametrize("primitive", ["none", "bare", "wrapped"])
def test_realistic_header(doc, primitive):
    v = doc(real_head(primitive))
    assert (v.program, v.version) == ("vasp", "6.1.1")
    assert repr(v) == 'Vasprun(program=vasp, version=6.1.1, atoms=["Fe", "Fe", "O"], nkpts=4, nsteps=1)'
    assert list(v.incar.items()) == [
        ("SYSTEM", "Fe2O  unit   cell"), ("NELM", 100), ("PREC", "accurate"), ("ISPIN", 2), ("ENCUT", 520.0),
        ("EDIFF", 1e-06), ("LWAVE", False), ("LCHARG", True), ("MAGMOM", [5.0, 5.0, 0.6]), ("ISIF", 3.0),
        ("METAGGA", "")]
    assert v.atoms == ["Fe", "Fe", "O"]
    assert v.atom_types == [
        {"element": "Fe", "count": 2, "mass": 55.847, "valence": 8.0, "pseudopotential": "PAW_PBE Fe 06Sep2000"},
        {"element": "O", "count": 1, "mass": 16.0, "valence": 6.0, "pseudopotential": "PAW_PBE O 08Apr2002"}]
    k = v.kpoints
    assert list(k) == ["kpointlist", "weights", "scheme", "divisions"]
    np.testing.assert_array_equal(k["kpointlist"], [[0, 0, 0], [0.25, 0, 0], [0.5, 0, 0], [0.25, 0.25, 0.5]])
    np.testing.assert_array_equal(k["weights"], [0.125, 0.25, 0.125, 0.5])
    assert (k["scheme"], k["divisions"]) == ("Gamma", [4, 4, 2])
    species = ["Fe", "Fe", "O"]
    assert v.initial_structure == {"lattice": LATTICE_I, "volume": 85.168466, "positions": POSITIONS_I,
                                   "species": species}
    assert v.final_structure == {"lattice": LATTICE_F, "volume": 85.43232, "positions": POSITIONS_F,
                                 "species": species}
    (step,) = v.ionic_steps
    assert step["structure"] == v.initial_structure
    assert (step["e_fr_energy"], step["e_wo_entrp"], step["e_0_energy"]) == (-20.12345678, -20.12, -20.12172839)
    assert v.eigenvalues.tolist() == [[[[-5.5, 1.0]]]]


def test_realistic_line_mode_kpoints(doc):
    text = real_head("none")
    start, end = text.index(" <kpoints>"), text.index("</kpoints>\n") + len("</kpoints>\n")
    v = doc(text[:start] + LINE_MODE_KPOINTS + text[end:])
    k = v.kpoints
    assert list(k) == ["kpointlist", "weights", "scheme", "labels"]
    assert k["scheme"] == "listgenerated"
    np.testing.assert_array_equal(k["kpointlist"], [[0, 0, 0], [0.5, 0, 0], [0.5, 0.5, 0]])
    np.testing.assert_array_equal(k["weights"], [0.33333333] * 3)
    assert k["labels"] == [(0, "\\Gamma"), (1, "X"), (2, "M")]
    assert "nkpts=3," in repr(v)
