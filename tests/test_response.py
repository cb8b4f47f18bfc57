"""Selective dynamics, velocities, dielectric tensors, Born charges, the dynamical matrix and KPOINTS_OPT:
the real files that carry them against an independent reading with xml.etree, and hand-made documents for the
edge cases of each layout."""

import gzip
import math
import re
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import calcsift

from conftest import calculation_xml, corpus_files, dos_xml, eigenvalues_xml, make_doc, needs_corpus, projected_xml, \
    structure_xml, vrows

NEW = ("selective_dynamics", "initial_velocities", "final_velocities", "dielectric_tensors", "born_charges",
       "dynmat", "kpoints_opt")


# --- The reference reading ---------------------------------------------------------------------------------------

def floats(text):
    return [math.nan if set(t) == {"*"} else float(t) for t in (text or "").split()]


def table(element, row="v"):
    return [floats(r.text) for r in element.findall(row)]


def last_with(calculations, path):
    found = [c.find(path) for c in calculations]
    found = [f for f in found if f is not None]
    return found[-1] if found else None


def ref_eigenvalues(block):
    spins = block.findall("array/set/set")
    return [[[(r + [math.nan])[:2] for r in table(k, "r")] for k in s.findall("set")] for s in spins]


def ref_projected(block):
    array = block.find("array")
    spins = array.findall("set/set")
    data = [[[table(b, "r") for b in k.findall("set")] for k in s.findall("set")] for s in spins]
    return {"data": data, "orbitals": [f.text.strip() for f in array.findall("field")]}


def ref_dos(block):
    spins = [table(s, "r") for s in block.findall("total/array/set/set")]
    out = {"efermi": float(block.find("i[@name='efermi']").text),
           "total": {"energies": [r[0] for r in spins[0]], "densities": [[r[1] for r in s] for s in spins],
                     "integrated": [[r[2] for r in s] for s in spins]}}
    partial = block.find("partial/array")
    if partial is not None:
        ions = [[table(s, "r") for s in ion.findall("set")] for ion in partial.findall("set/set")]
        data = [[[[r[k + 1] for r in ions[i][s]] for k in range(len(partial.findall("field")) - 1)]
                 for i in range(len(ions))] for s in range(len(ions[0]))]
        out["partial"] = {"data": data, "orbitals": [f.text.strip() for f in partial.findall("field")[1:]]}
    return out


def reference(path):
    """The new properties as read here with ElementTree (each block from the last calculation carrying it)."""
    opener = gzip.open if path.name.endswith(".gz") else open
    with opener(path, "rb") as f:
        root = ET.parse(f).getroot()
    initial = root.find("structure[@name='initialpos']")
    final = root.find("structure[@name='finalpos']")
    final = initial if final is None else final
    calcs = root.findall("calculation")
    out = dict.fromkeys(NEW)
    selective = initial.find("varray[@name='selective']")
    if selective is not None:
        out["selective_dynamics"] = [[{"T": True, "F": False}[t] for t in v.text.split()] for v in selective]
    for key, s in (("initial_velocities", initial), ("final_velocities", final)):
        if s.find("varray[@name='velocities']") is not None:
            out[key] = table(s.find("varray[@name='velocities']"))
    tensors = {}
    for c in calcs:
        for v in c.findall("varray"):
            if v.get("name").startswith("epsilon"):
                tensors[v.get("name")] = table(v)
    out["dielectric_tensors"] = tensors or None
    born = last_with(calcs, "array[@name='born_charges']")
    if born is not None:
        out["born_charges"] = [table(s) for s in born.findall("set")]
    dynmat = last_with(calcs, "dynmat")
    if dynmat is not None:
        out["dynmat"] = {"hessian": table(dynmat.find("varray[@name='hessian']")),
                         "eigenvalues": floats(dynmat.find("v[@name='eigenvalues']").text),
                         "eigenvectors": table(dynmat.find("varray[@name='eigenvectors']"))}
    opt = [c for c in calcs if c.find("eigenvalues_kpoints_opt") is not None
           or c.find("projected_kpoints_opt") is not None or c.find("dos[@comment='kpoints_opt']") is not None]
    if opt:
        c = opt[-1]
        kpoints = c.find("eigenvalues_kpoints_opt/kpoints")
        out["kpoints_opt"] = {"kpointlist": table(kpoints.find("varray[@name='kpointlist']")),
                              "weights": [r[0] for r in table(kpoints.find("varray[@name='weights']"))],
                              # the copy inside the projections has the occupancies
                              "eigenvalues": ref_eigenvalues(c.find("projected_kpoints_opt/eigenvalues")
                                                             if c.find("projected_kpoints_opt/eigenvalues") is not None
                                                             else c.find("eigenvalues_kpoints_opt/eigenvalues")),
                              "projected": ref_projected(c.find("projected_kpoints_opt")),
                              "dos": ref_dos(c.find("dos[@comment='kpoints_opt']"))}
    main_dos = None
    for c in calcs:
        for d in c.findall("dos"):
            if d.get("comment") != "kpoints_opt":
                main_dos = d
    return out, None if main_dos is None else ref_dos(main_dos)


def assert_equal(got, want, where):
    """Exact equality of nested dicts, lists and arrays (NaN equal to NaN)."""
    if isinstance(want, dict):
        assert isinstance(got, dict) and list(got) == list(want), where
        for k in want:
            assert_equal(got[k], want[k], f"{where}.{k}")
    elif want is None:
        assert got is None, where
    elif isinstance(want, (float, str)) or (isinstance(want, list) and want and isinstance(want[0], str)):
        assert type(got) is type(want) and got == want, where
    else:
        assert isinstance(got, np.ndarray) and got.flags.c_contiguous, where
        np.testing.assert_array_equal(got, np.array(want, dtype=got.dtype), err_msg=where)


@needs_corpus
@pytest.mark.parametrize("path", [p for p in corpus_files() if p.name != "real-04.xml"], ids=lambda p: p.name)
def test_real_files_match_an_independent_reading(path):
    run = calcsift.Vasprun(str(path), parse_projected=True)
    want, main_dos = reference(path)
    for name in NEW:
        assert_equal(getattr(run, name), want[name], name)
    if run.selective_dynamics is not None:
        assert run.selective_dynamics.dtype == np.bool_
    # The KPOINTS_OPT density of states is never the run's own.
    assert_equal(run.dos, main_dos, "dos")


@needs_corpus
def test_real_files_hold_what_their_notes_say():
    holds = {name: {k for k in NEW if getattr(calcsift.Vasprun(str(p)), k) is not None}
             for name, p in ((p.name, p) for p in corpus_files())}
    assert holds["real-13.xml"] == {"selective_dynamics", "initial_velocities", "final_velocities"}
    assert holds["real-06.xml.gz"] == holds["real-15.xml.gz"] == {"initial_velocities", "final_velocities"}
    assert holds["real-11.xml"] == holds["real-14.xml.gz"] == {"dielectric_tensors", "born_charges", "dynmat"}
    assert holds["real-12.xml"] == {"kpoints_opt"}
    assert all(not holds[n] for n in holds if n not in ("real-06.xml.gz", "real-11.xml", "real-12.xml",
                                                          "real-13.xml", "real-14.xml.gz", "real-15.xml.gz"))


# --- Hand-made documents -------------------------------------------------------------------------------------------

SHAPE = "Unexpected array shape: expected {}, got {}"


def v(rows):
    """<v> rows with the values as given (str() of each: stars stay stars)."""
    return "".join("<v>" + " ".join(map(str, r)) + "</v>\n" for r in rows)


def tensor(name="epsilon", rows=((1, 2, 3), (4, 5, 6), (7, 8, 9))):
    return f'<varray name="{name}">\n{v(rows)}</varray>\n'


def born(sets):
    return '<array name="born_charges"><dimension dim="1">ion</dimension>\n' + "".join(
        f"<set>\n{v(s)}</set>\n" for s in sets) + "</array>\n"


def matrix(n, scale=1.0):
    return [[scale * (i * n + j) for j in range(n)] for i in range(n)]


def dynmat(hessian=None, eigenvalues=None, eigenvectors=None, extra=""):
    hessian = matrix(6) if hessian is None else hessian
    eigenvalues = [-1.0 * i for i in range(len(hessian))] if eigenvalues is None else eigenvalues
    eigenvectors = matrix(len(hessian), 0.5) if eigenvectors is None else eigenvectors
    parts = ["<dynmat>\n"]
    if hessian != "missing":
        parts.append(f'<varray name="hessian">\n{v(hessian)}</varray>\n')
    if eigenvalues != "missing":
        parts.append(v([eigenvalues]).replace("<v>", '<v name="eigenvalues">'))
    if eigenvectors != "missing":
        parts.append(f'<varray name="eigenvectors">\n{v(eigenvectors)}</varray>\n')
    return "".join(parts) + extra + "</dynmat>\n"


def with_calc(body):
    return make_doc(sections=calculation_xml(body=body))


def test_response_blocks_of_a_calculation(doc):
    body = (tensor("epsilon_rpa", matrix(3)) + tensor("epsilon", matrix(3, 2.0)) + born([matrix(3), matrix(3, -1.0)])
            + dynmat(extra='<array name="force_constants"><set><r>1 2 3</r></set></array>\n')
            + tensor("epsilon_ion", [(0, 0, 0)] * 3))
    run = doc(with_calc(body))
    assert list(run.dielectric_tensors) == ["epsilon_rpa", "epsilon", "epsilon_ion"]
    assert run.dielectric_tensors["epsilon"].tolist() == matrix(3, 2.0)
    assert run.born_charges.shape == (2, 3, 3) and run.born_charges[1].tolist() == matrix(3, -1.0)
    assert list(run.dynmat) == ["hessian", "eigenvalues", "eigenvectors"]
    assert run.dynmat["hessian"].tolist() == matrix(6) and run.dynmat["eigenvectors"].tolist() == matrix(6, 0.5)
    assert run.dynmat["eigenvalues"].tolist() == [-1.0 * i for i in range(6)]


def test_each_block_comes_from_the_last_calculation_that_carries_it(doc):
    first = calculation_xml(body=tensor("epsilon", matrix(3)) + tensor("epsilon_ion", matrix(3))
                            + born([matrix(3)] * 2))
    second = calculation_xml(body=tensor("epsilon_ion", matrix(3, 3.0)) + dynmat())
    third = calculation_xml()
    run = doc(make_doc(sections=first + second + third))
    assert list(run.dielectric_tensors) == ["epsilon", "epsilon_ion"]
    assert run.dielectric_tensors["epsilon"].tolist() == matrix(3)
    assert run.dielectric_tensors["epsilon_ion"].tolist() == matrix(3, 3.0)
    assert run.born_charges.tolist() == [matrix(3)] * 2 and run.dynmat is not None


def test_absent_blocks_are_none(doc):
    run = doc(with_calc('<varray name="dielectric_like">\n<v>1</v>\n</varray>\n<dynmat/>\n'
                        '<array name="other"><set><v>1 2 3</v></set></array>\n'))
    assert all(getattr(run, name) is None for name in NEW)


def property_error(doc, text, name, **options):
    """The document loads (its own sections as if the block were not there) and reading ``name`` raises."""
    run = doc(text, **options)
    with pytest.raises(RuntimeError) as info:
        getattr(run, name)
    assert run.ionic_steps and len(info.value.args) == 1
    return str(info.value)


@pytest.mark.parametrize("body, expected, got", [
    (tensor(rows=[(1, 2, 3)] * 2 + [(1, 2, 3, 4)]), [3, 3], [3, 4]),      # ragged rows
    (born([matrix(3)]), [2, 3, 3], [1, 3, 3]),
    (born([matrix(3)] * 3), [2, 3, 3], [3, 3, 3]),
    (born([matrix(3), matrix(3)[:2]]), [2, 3, 3], [2, 2, 3]),
    (born([matrix(3), [(1, 2)] * 3]), [2, 3, 3], [2, 3, 2]),
    ('<array name="born_charges"></array>', [2, 3, 3], [0, 3, 3]),
    (dynmat(hessian=matrix(4)), [6, 6], [4, 4]),
    (dynmat(hessian=matrix(6)[:5]), [6, 6], [5, 6]),
    (dynmat(eigenvalues=[1.0] * 5), [6], [5]),
    (dynmat(eigenvectors=[r[:5] for r in matrix(6)]), [6, 6], [6, 5]),
    (dynmat(hessian=[]), [6, 6], [0, 0]),
])
def test_response_shape_errors(doc, body, expected, got):
    name = {"<v": "dielectric_tensors", "<a": "born_charges", "<d": "dynmat"}[body[:2]]
    assert property_error(doc, with_calc(body), name) == SHAPE.format(expected, got)


@pytest.mark.parametrize("body, message", [
    (dynmat(hessian="missing"), "Missing element <varray[hessian]>"),
    (dynmat(eigenvalues="missing"), "Missing element <v[eigenvalues]>"),
    (dynmat(eigenvectors="missing"), "Missing element <varray[eigenvectors]>"),
    ("<dynmat></dynmat>", "Missing element <varray[hessian]>"),
    (tensor(rows=[(1, 2, "x")] * 3), "Failed to parse value 'x' as f64: invalid float"),
])
def test_response_other_errors(doc, body, message):
    name = "dynmat" if body.startswith("<dynmat") else "dielectric_tensors"
    assert property_error(doc, with_calc(body), name) == message


def test_epsilon_blocks_keep_their_own_shape(doc):
    """GW runs write epsilon_diag as (frequency, value) rows beside the 3 x 3 tensors."""
    diag = tensor("epsilon_diag", [(0.1 * i, 2.0 + i) for i in range(169)])
    run = doc(with_calc(tensor() + diag + '<varray name="epsilon_scf"></varray>'))
    assert {k: a.shape for k, a in run.dielectric_tensors.items()} == {
        "epsilon": (3, 3), "epsilon_diag": (169, 2), "epsilon_scf": (0, 0)}
    assert run.dielectric_tensors["epsilon_diag"][5].tolist() == [0.5, 7.0]


def test_response_star_fields_are_nan(doc):
    stars = [(1.0, "****", 3.0)]
    body = (tensor(rows=stars * 3) + born([stars * 3] * 2)
            + dynmat(hessian=[["*******"] * 6] + matrix(6)[1:], eigenvalues=["****"] + [0.0] * 5))
    run = doc(with_calc(body))
    assert np.isnan(run.dielectric_tensors["epsilon"][:, 1]).all() and run.dielectric_tensors["epsilon"][0, 0] == 1.0
    assert np.isnan(run.born_charges[:, :, 1]).all() and not np.isnan(run.born_charges[:, :, 0]).any()
    assert np.isnan(run.dynmat["hessian"][0]).all() and np.isnan(run.dynmat["eigenvalues"][0])


@pytest.mark.parametrize("cut_in, element", [("epsilon", "varray"), ("born_charges", "array"), ("hessian", "dynmat")])
def test_response_block_cut_by_the_end_of_the_file(doc_error, cut_in, element):
    """The load passes over such a block as over any element it does not read: a cut there ends it so."""
    text = with_calc(tensor(rows=matrix(3)) + born([matrix(3)] * 2) + dynmat())
    at = text.index("</v>", text.index(f'name="{cut_in}"')) + 4
    assert doc_error(text[:at]) == f"Missing element <EOF while skipping <{element}>>"


def test_dynmat_of_free_degrees_of_freedom(doc, doc_error):
    """Finite differences with selective dynamics have one row per free Cartesian component."""
    selective = '<varray name="selective" type="logical">\n<v type="logical"> F F F </v>\n<v> T F T </v>\n</varray>\n'
    initial = structure_xml(2).replace("</structure>", selective + "</structure>")
    text = make_doc(with_structure=False, sections=initial + calculation_xml(body=dynmat(hessian=matrix(2))))
    assert doc(text).dynmat["hessian"].shape == (2, 2)
    assert property_error(doc, text.replace("T F T", "T T T"), "dynmat") == SHAPE.format([6, 6], [2, 2])


# --- Structure extras ------------------------------------------------------------------------------------------------

def extras_doc(selective=None, velocities=None, final_velocities=None, cut=None):
    def add(s, sel, vel):
        extra = ""
        if sel is not None:
            extra += '<varray name="selective" type="logical">\n' + "".join(
                f'<v type="logical">{row}</v>\n' for row in sel) + "</varray>\n"
        if vel is not None:
            extra += f'<varray name="velocities">\n{vrows(vel) if not isinstance(vel, str) else vel}</varray>\n'
        return s.replace("</structure>", extra + "</structure>")
    initial = add(structure_xml(2), selective, velocities)
    final = add(structure_xml(2, name="finalpos"), None, final_velocities)
    text = make_doc(with_structure=False, sections=initial + calculation_xml() + final)
    return text if cut is None else text[:text.index(cut) + len(cut)]


def test_selective_dynamics_and_velocities(doc):
    run = doc(extras_doc(selective=[" T  F  T ", "F F F"], velocities=[(0.1, 0.2, 0.3), (-1, 0, 1)],
                         final_velocities=[(1, 2, 3), (4, 5, 6)]))
    assert run.selective_dynamics.dtype == np.bool_ and run.selective_dynamics.flags.writeable
    assert run.selective_dynamics.tolist() == [[True, False, True], [False, False, False]]
    assert run.initial_velocities.tolist() == [[0.1, 0.2, 0.3], [-1.0, 0.0, 1.0]]
    assert run.final_velocities.tolist() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
    assert list(run.initial_structure) == ["lattice", "volume", "positions", "species"]


def test_final_velocities_are_those_of_the_final_structure(doc):
    """Without a finalpos the final structure is the initial one, and so are its velocities."""
    text = extras_doc(velocities=[(1, 2, 3)] * 2)
    run = doc(text[:text.index('<structure name="finalpos"')] + "</modeling>\n")
    assert run.final_velocities.tolist() == run.initial_velocities.tolist() == [[1.0, 2.0, 3.0]] * 2
    assert doc(extras_doc(final_velocities=[(1, 2, 3)] * 2)).initial_velocities is None


@pytest.mark.parametrize("kw, name, message", [
    (dict(selective=["T T T"]), "selective_dynamics", SHAPE.format([2, 3], [1, 3])),       # a row short
    (dict(selective=["T T", "T T T"]), "selective_dynamics", SHAPE.format([2, 3], [2, 2])),  # a flag short
    (dict(selective=[]), "selective_dynamics", SHAPE.format([2, 3], [0, 3])),
    (dict(velocities=[(1, 2, 3)] * 3), "initial_velocities", SHAPE.format([2, 3], [3, 3])),
    (dict(velocities=[(1, 2, 3), (1, 2)]), "initial_velocities", SHAPE.format([2, 3], [2, 2])),
    (dict(velocities=""), "initial_velocities", SHAPE.format([2, 3], [0, 3])),
    (dict(selective=["T T X", "F F F"]), "selective_dynamics", "Failed to parse value 'X' as bool: expected T or F"),
    (dict(selective=["T T ****", "F F F"]), "selective_dynamics",
     "Failed to parse value '****' as bool: expected T or F"),
    (dict(velocities="<v>1 2 3d0</v><v>1 2 3</v>"), "initial_velocities",
     "Failed to parse value '3d0' as f64: invalid float"),
])
def test_structure_extras_that_cannot_be_read(doc, kw, name, message):
    run = doc(extras_doc(**kw))
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        getattr(run, name)
    assert run.initial_structure["positions"] == [[0.0, 0.0, 0.0], [0.5, 0.0, 0.0]]


@pytest.mark.parametrize("kw", [
    dict(selective=["T T T", "F F F"], cut="<v type=\"logical\">T T T</v>"),
    dict(velocities=[(1, 2, 3)] * 2, cut="<v>1.0 2.0 3.0</v>"),
])
def test_structure_extras_cut_by_the_end_of_the_file(doc_error, kw):
    assert doc_error(extras_doc(**kw)) == "Missing element <EOF while skipping <varray>>"


def test_structure_extras_forms(doc):
    run = doc(extras_doc(selective=[".TRUE. f true", "F .FALSE. t"], velocities="<v>1 **** 3</v><v>4 5 6</v>"))
    assert run.selective_dynamics.tolist() == [[True, False, True], [False, False, True]]
    assert np.isnan(run.initial_velocities[0, 1]) and run.initial_velocities[1].tolist() == [4.0, 5.0, 6.0]


# --- KPOINTS_OPT -----------------------------------------------------------------------------------------------------

OPT_KPOINTS = ((0.0, 0.0, 0.0), (0.5, 0.0, 0.0))


def opt_eigenvalues(rows=((-5.0,), (2.0,)), kpoints=OPT_KPOINTS):
    kset = "".join('<set comment="kpoint">\n' + "".join("<r>" + " ".join(map(str, r)) + "</r>\n" for r in rows)
                   + "</set>\n" for _ in kpoints)
    return ('<eigenvalues_kpoints_opt comment="kpoints_opt">\n<kpoints>\n'
            f'<varray name="kpointlist">\n{vrows(kpoints)}</varray>\n'
            f'<varray name="weights">\n{vrows([(1 / len(kpoints),)] * len(kpoints))}</varray>\n</kpoints>\n'
            '<eigenvalues>\n<array>\n<field>eigene</field>\n'
            f'<set>\n<set comment="spin 1">\n{kset}</set>\n</set>\n</array>\n</eigenvalues>\n'
            '</eigenvalues_kpoints_opt>\n')


def opt_projected():
    return projected_xml(rows=(((0.9, 0.8), (0.7, 0.6)),)).replace("<projected>", "<projected_kpoints_opt>") \
        .replace("</projected>", "</projected_kpoints_opt>")


def opt_dos(efermi=7.0):
    return dos_xml(efermi).replace("<dos>", '<dos comment="kpoints_opt">', 1)


def test_kpoints_opt_blocks(doc):
    body = opt_dos() + opt_eigenvalues() + opt_projected() + eigenvalues_xml() + dos_xml(1.5) + projected_xml()
    run = doc(with_calc(body), parse_projected=True)
    k = run.kpoints_opt
    assert list(k) == ["kpointlist", "weights", "eigenvalues", "projected", "dos"]
    assert k["kpointlist"].tolist() == [list(p) for p in OPT_KPOINTS] and k["weights"].tolist() == [0.5, 0.5]
    # The copy inside the projections (three bands of (1, 1) in opt_projected) has the occupancies.
    assert k["eigenvalues"].tolist() == [[[[1.0, 1.0]] * 3]]
    # Without it, those of <eigenvalues_kpoints_opt>, where VASP writes the energies alone: NaN occupancies.
    alone = doc(with_calc(opt_eigenvalues())).kpoints_opt["eigenvalues"]
    assert alone.shape == (1, 2, 2, 2) and alone[0, 1, :, 0].tolist() == [-5.0, 2.0] and np.isnan(alone[..., 1]).all()
    assert k["projected"]["data"].tolist() == [[[[[0.9, 0.8], [0.7, 0.6]]]]]
    assert k["projected"]["orbitals"] == ["s", "p"]
    assert k["dos"]["efermi"] == 7.0 and run.dos["efermi"] == run.efermi == 1.5
    assert run.eigenvalue_shape == (1, 1, 2) and run.projected["data"].shape == (1, 1, 2, 2, 2)


@pytest.mark.parametrize("order", ["opt first", "opt last", "opt only"])
def test_a_kpoints_opt_dos_is_never_the_run_dos(doc, order):
    main = {"opt first": dos_xml(1.5), "opt last": dos_xml(1.5), "opt only": ""}[order]
    body = opt_dos() + main if order == "opt first" else main + opt_dos()
    run = doc(with_calc(body))
    assert run.kpoints_opt["dos"]["efermi"] == 7.0
    if order == "opt only":
        assert run.dos is None and run.efermi is None
    else:
        assert run.dos["efermi"] == run.efermi == 1.5


@pytest.mark.parametrize("options, keys", [
    (dict(), ["kpointlist", "weights", "eigenvalues", "dos"]),
    (dict(parse_eigen=False), ["kpointlist", "weights", "dos"]),
    (dict(parse_dos=False, parse_projected=True), ["kpointlist", "weights", "eigenvalues", "projected"]),
    (dict(parse_dos=False, parse_eigen=False), ["kpointlist", "weights"]),
])
def test_kpoints_opt_parts_follow_their_switches(doc, options, keys):
    # Each part switched off is passed over at byte level; the run's own blocks after it are still read.
    body = opt_eigenvalues() + opt_projected() + opt_dos() + eigenvalues_xml() + dos_xml(1.5)
    run = doc(with_calc(body), **options)
    assert list(run.kpoints_opt) == keys
    assert (run.eigenvalues is None) == (options.get("parse_eigen") is False)
    assert (run.dos is None) == (options.get("parse_dos") is False)


@pytest.mark.parametrize("body, kpoints", [
    (opt_dos(), 0),                                                            # no k-point list
    ("<eigenvalues_kpoints_opt></eigenvalues_kpoints_opt>", 0),                # empty
    (opt_eigenvalues(rows=((-5.0, 1.0), (2.0, "****"))), 2),                   # occupancies, stars
])
def test_kpoints_opt_layout_edges(doc, body, kpoints):
    k = doc(with_calc(body)).kpoints_opt
    assert k["kpointlist"].shape == (kpoints, 3) and k["weights"].shape == (kpoints,)
    if kpoints:
        assert k["eigenvalues"][0, 0, :, 1][0] == 1.0 and np.isnan(k["eigenvalues"][0, 0, 1, 1])


def test_kpoints_opt_cut_inside_the_block(doc_error):
    text = with_calc(opt_eigenvalues())
    cut = text[:text.index("</r>", text.index('<set comment="kpoint">')) + 5]
    assert doc_error(cut) == "Missing element <EOF while skipping <eigenvalues_kpoints_opt>>"


def test_kpoints_opt_errors(doc):
    no_weights = opt_eigenvalues().replace('<varray name="weights">', '<varray name="w">')
    assert property_error(doc, with_calc(no_weights), "kpoints_opt") == "Missing element <varray[weights]>"
    assert property_error(doc, with_calc(opt_eigenvalues(rows=((),))), "kpoints_opt") == SHAPE.format([2], [0])
