"""Shared helpers for building small run records and loading them.

Other test modules import the builders directly (``from conftest import make_doc``).
"""

from pathlib import Path

import pytest

import calcsift

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"

needs_corpus = pytest.mark.skipif(not CORPUS.is_dir(), reason="corpus folder ../shared/corpus is absent")

DECL = '<?xml version="1.0" encoding="ISO-8859-1"?>\n'
LATTICE = ((4.0, 0.0, 0.0), (0.0, 4.0, 0.0), (0.0, 0.0, 4.0))


def corpus_files():
    """The real run records of the corpus, sorted by name (empty when the folder is absent)."""
    if not CORPUS.is_dir():
        return []
    return sorted(p for p in CORPUS.iterdir() if p.name.startswith("real-"))


def vrows(rows):
    return "".join("<v>" + " ".join(repr(float(x)) for x in row) + "</v>\n" for row in rows)


def generator_xml(program="vasp", version="6.4.2"):
    return (f'<generator>\n <i name="program" type="string">{program}</i>\n'
            f' <i name="version" type="string">{version}</i>\n</generator>\n')


def incar_xml(items=""):
    """``items`` is raw XML inside <incar>, e.g. '<i type="int" name="ISPIN">2</i>'."""
    return f"<incar>\n{items}</incar>\n"


def atominfo_xml(atoms=("Si", "Si")):
    kinds = list(dict.fromkeys(atoms))
    rows = "".join(f"<rc><c>{a}</c><c>{kinds.index(a) + 1}</c></rc>\n" for a in atoms)
    types = "".join(
        f"<rc><c>{sum(1 for x in atoms if x == k)}</c><c>{k}</c><c>28.085</c><c>4.0</c>"
        f"<c>PAW_PBE {k} 05Jan2001</c></rc>\n" for k in kinds)
    return (f"<atominfo>\n<atoms>{len(atoms)}</atoms>\n<types>{len(kinds)}</types>\n"
            '<array name="atoms"><dimension dim="1">ion</dimension>'
            '<field type="string">element</field><field type="int">atomtype</field>\n'
            f"<set>\n{rows}</set>\n</array>\n"
            '<array name="atomtypes"><dimension dim="1">type</dimension>'
            '<field type="int">atomspertype</field><field type="string">element</field>'
            '<field>mass</field><field>valence</field><field type="string">pseudopotential</field>\n'
            f"<set>\n{types}</set>\n</array>\n</atominfo>\n")


def kpoints_xml(kpoints=((0.0, 0.0, 0.0),), weights=None):
    if weights is None:
        weights = [1.0 / len(kpoints)] * len(kpoints) if kpoints else []
    return ('<kpoints>\n<generation param="Gamma">\n<v type="int" name="divisions">1 1 1</v>\n</generation>\n'
            f'<varray name="kpointlist">\n{vrows(kpoints)}</varray>\n'
            f'<varray name="weights">\n{vrows([w] for w in weights)}</varray>\n</kpoints>\n')


def structure_xml(natoms=2, name="initialpos", lattice=LATTICE, volume=64.0, positions=None):
    """A <structure>; ``name=None`` writes no name attribute."""
    if positions is None:
        positions = [(i / max(natoms, 1), 0.0, 0.0) for i in range(natoms)]
    rec = [[1.0 / r[i] if r[i] else 0.0 for i in range(3)] for r in lattice]
    attr = "" if name is None else f' name="{name}"'
    return (f"<structure{attr}>\n<crystal>\n<varray name=\"basis\">\n{vrows(lattice)}</varray>\n"
            f'<i name="volume">{volume}</i>\n<varray name="rec_basis">\n{vrows(rec)}</varray>\n</crystal>\n'
            f'<varray name="positions">\n{vrows(positions)}</varray>\n</structure>\n')


def energy_xml(e_fr=-10.0, e_wo=None, e_0=None):
    e_wo = e_fr if e_wo is None else e_wo
    e_0 = e_fr if e_0 is None else e_0
    return (f'<energy>\n<i name="e_fr_energy">{e_fr}</i>\n<i name="e_wo_entrp">{e_wo}</i>\n'
            f'<i name="e_0_energy">{e_0}</i>\n</energy>\n')


def dos_xml(efermi=1.5, rows=((-1.0, 0.5, 0.5), (0.0, 1.0, 1.5)), spins=1):
    sets = "".join(f'<set comment="spin {s + 1}">\n'
                   + "".join("<r>" + " ".join(str(x) for x in r) + "</r>\n" for r in rows)
                   + "</set>\n" for s in range(spins))
    return (f'<dos>\n<i name="efermi">{efermi}</i>\n<total>\n<array>\n<dimension dim="1">gridpoints</dimension>\n'
            '<field>energy</field><field>total</field><field>integrated</field>\n'
            f"<set>\n{sets}</set>\n</array>\n</total>\n</dos>\n")


def eigenvalues_xml(bands=((-5.0, 1.0), (2.0, 0.0)), nkpts=1, spins=1):
    kset = "".join(f'<set comment="kpoint {k + 1}">\n'
                   + "".join(f"<r>{e} {o}</r>\n" for e, o in bands) + "</set>\n" for k in range(nkpts))
    sets = "".join(f'<set comment="spin {s + 1}">\n{kset}</set>\n' for s in range(spins))
    return ("<eigenvalues>\n<array>\n<dimension dim=\"1\">band</dimension>\n"
            "<field>eigene</field><field>occ</field>\n"
            f"<set>\n{sets}</set>\n</array>\n</eigenvalues>\n")


def projected_xml(rows=(((0.1, 0.2), (0.3, 0.4)), ((0.5, 0.6), (0.7, 0.8))), orbitals=("s", "p")):
    """A <projected> of one spin and one k-point; ``rows[band][ion]`` are the orbital values. Like real files, it
    carries an <eigenvalues> of its own (three bands) that must not be taken for the calculation's."""
    bands = "".join(f'<set comment="band {b + 1}">' + "".join("<r>" + " ".join(map(str, r)) + "</r>" for r in ions)
                    + "</set>\n" for b, ions in enumerate(rows))
    fields = "".join(f"<field>{o}</field>" for o in orbitals)
    return ("<projected>\n" + eigenvalues_xml(bands=((1.0, 1.0),) * 3) + f"<array>\n{fields}\n"
            f'<set><set comment="spin1"><set comment="kpoint 1">\n{bands}</set></set></set>\n</array>\n</projected>\n')


def calculation_xml(e_fr=-10.0, natoms=2, body="", with_structure=True):
    """One ionic step: structure (unless switched off), energy, zero forces and stress, then ``body``."""
    parts = ["<calculation>\n"]
    if with_structure:
        parts.append(structure_xml(natoms, name=None))
    parts.append(f'<varray name="forces">\n{vrows([(0.0, 0.0, 0.0)] * natoms)}</varray>\n')
    parts.append(f'<varray name="stress">\n{vrows([(0.0, 0.0, 0.0)] * 3)}</varray>\n')
    if e_fr is not None:
        parts.append(energy_xml(e_fr))
    parts.append(body)
    parts.append("</calculation>\n")
    return "".join(parts)


def make_doc(sections="", atoms=("Si", "Si"), with_structure=True, program="vasp", version="6.4.2",
             incar="", kpoints=((0.0, 0.0, 0.0),), weights=None, declaration=True, close=True, head=""):
    """A complete minimal run record.

    ``head`` goes right after <modeling>, before the required sections; ``sections`` goes after the initial
    structure (calculations, extra structures, ...). ``close=False`` leaves out ``</modeling>``.
    """
    return "".join([
        DECL if declaration else "",
        "<modeling>\n",
        head,
        generator_xml(program, version),
        incar_xml(incar),
        atominfo_xml(atoms),
        kpoints_xml(kpoints, weights),
        structure_xml(len(atoms)) if with_structure else "",
        sections,
        "</modeling>\n" if close else "",
    ])


def write_doc(tmp_path, body, name="vasprun.xml"):
    """Write ``body`` (str as UTF-8, or bytes as they are) to ``tmp_path / name``; return the path as str."""
    path = Path(tmp_path) / name
    path.write_bytes(body.encode("utf-8") if isinstance(body, str) else body)
    return str(path)


def load(tmp_path, body, name="vasprun.xml", **options):
    return calcsift.Vasprun(write_doc(tmp_path, body, name), **options)


def load_error(tmp_path, body, name="vasprun.xml", **options):
    """Load a document that must fail; return the RuntimeError's text."""
    with pytest.raises(RuntimeError) as info:
        load(tmp_path, body, name, **options)
    assert len(info.value.args) == 1
    return str(info.value)


@pytest.fixture
def doc(tmp_path):
    """``doc(body, **options)`` writes and loads a document in the test's temporary folder."""
    return lambda body, name="vasprun.xml", **options: load(tmp_path, body, name, **options)


@pytest.fixture
def doc_error(tmp_path):
    """``doc_error(body, **options)`` loads a document that must fail and returns the error text."""
    return lambda body, name="vasprun.xml", **options: load_error(tmp_path, body, name, **options)
