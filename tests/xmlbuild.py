"""Builders of small run records, shared by the tests (through conftest) and fuzz/make_seeds.py.

Two layers: block builders with every separator and number format open (``rows``, ``varray``,
``array``, ``comment_sets``, ``structure``, ``energy``, ...), which the seeds use to write
their deliberately varied text, and the compact documents of the tests (``make_doc`` and the
``*_xml`` functions), which are made of them.
"""

DECL = '<?xml version="1.0" encoding="ISO-8859-1"?>\n'
LATTICE = ((4.0, 0.0, 0.0), (0.0, 4.0, 0.0), (0.0, 0.0, 4.0))


def float_repr(x):
    return repr(float(x))


# --- block builders ----------------------------------------------------------------------------------------------------

def rows(tag, values, fmt=str):
    """One ``<tag>`` line per row, its values written by ``fmt`` and separated by single spaces."""
    return "".join(f"<{tag}>" + " ".join(fmt(x) for x in row) + f"</{tag}>\n" for row in values)


_rows = rows  # for the builders below whose keyword argument ``rows`` hides it


def varray(name, values, fmt=str):
    return f'<varray name="{name}">\n{rows("v", values, fmt)}</varray>\n'


def comment_sets(label, bodies):
    """``<set comment="{label}">`` around each body, ``label`` formatted with its 1-based index."""
    return "".join(f'<set comment="{label.format(i + 1)}">\n{body}</set>\n' for i, body in enumerate(bodies))


def array(fields, body, dims=(), field_sep="", name=None):
    """An <array>: dimension lines, the fields (joined by ``field_sep``, then a newline) and one outer <set>."""
    attr = "" if name is None else f' name="{name}"'
    dimensions = "".join(f'<dimension dim="{i + 1}">{d}</dimension>\n' for i, d in enumerate(dims))
    return (f"<array{attr}>\n{dimensions}" + field_sep.join(fields) + "\n"
            f"<set>\n{body}</set>\n</array>\n")


def fields(names, typed=()):
    """``<field>`` elements; names in ``typed`` (a dict) get a type attribute."""
    typed = dict(typed)
    return [f'<field type="{typed[n]}">{n}</field>' if n in typed else f"<field>{n}</field>" for n in names]


def structure(lattice, rec, positions, volume, name=None, fmt=str):
    """A <structure>; ``name=None`` writes no name attribute."""
    attr = "" if name is None else f' name="{name}"'
    return (f"<structure{attr}>\n<crystal>\n{varray('basis', lattice, fmt)}<i name=\"volume\">{volume}</i>\n"
            f"{varray('rec_basis', rec, fmt)}</crystal>\n{varray('positions', positions, fmt)}</structure>\n")


def energy(e_fr, e_wo, e_0):
    return (f'<energy>\n<i name="e_fr_energy">{e_fr}</i>\n<i name="e_wo_entrp">{e_wo}</i>\n'
            f'<i name="e_0_energy">{e_0}</i>\n</energy>\n')


def generator(program="vasp", version="6.4.2", extra=""):
    return (f'<generator>\n<i name="program" type="string">{program}</i>\n'
            f'<i name="version" type="string">{version}</i>\n{extra}</generator>\n')


# --- the tests' compact documents ------------------------------------------------------------------------------------

def vrows(values):
    return rows("v", values, float_repr)


def generator_xml(program="vasp", version="6.4.2"):
    return (f'<generator>\n <i name="program" type="string">{program}</i>\n'
            f' <i name="version" type="string">{version}</i>\n</generator>\n')


def incar_xml(items=""):
    """``items`` is raw XML inside <incar>, e.g. '<i type="int" name="ISPIN">2</i>'."""
    return f"<incar>\n{items}</incar>\n"


def atominfo_xml(atoms=("Si", "Si")):
    kinds = list(dict.fromkeys(atoms))
    ions = "".join(f"<rc><c>{a}</c><c>{kinds.index(a) + 1}</c></rc>\n" for a in atoms)
    types = "".join(
        f"<rc><c>{sum(1 for x in atoms if x == k)}</c><c>{k}</c><c>28.085</c><c>4.0</c>"
        f"<c>PAW_PBE {k} 05Jan2001</c></rc>\n" for k in kinds)
    return (f"<atominfo>\n<atoms>{len(atoms)}</atoms>\n<types>{len(kinds)}</types>\n"
            '<array name="atoms"><dimension dim="1">ion</dimension>'
            '<field type="string">element</field><field type="int">atomtype</field>\n'
            f"<set>\n{ions}</set>\n</array>\n"
            '<array name="atomtypes"><dimension dim="1">type</dimension>'
            '<field type="int">atomspertype</field><field type="string">element</field>'
            '<field>mass</field><field>valence</field><field type="string">pseudopotential</field>\n'
            f"<set>\n{types}</set>\n</array>\n</atominfo>\n")


def kpoints_xml(kpoints=((0.0, 0.0, 0.0),), weights=None):
    if weights is None:
        weights = [1.0 / len(kpoints)] * len(kpoints) if kpoints else []
    return ('<kpoints>\n<generation param="Gamma">\n<v type="int" name="divisions">1 1 1</v>\n</generation>\n'
            + varray("kpointlist", kpoints, float_repr) + varray("weights", ([w] for w in weights), float_repr)
            + "</kpoints>\n")


def structure_xml(natoms=2, name="initialpos", lattice=LATTICE, volume=64.0, positions=None):
    """A <structure>; ``name=None`` writes no name attribute."""
    if positions is None:
        positions = [(i / max(natoms, 1), 0.0, 0.0) for i in range(natoms)]
    rec = [[1.0 / r[i] if r[i] else 0.0 for i in range(3)] for r in lattice]
    return structure(lattice, rec, positions, volume, name, float_repr)


def energy_xml(e_fr=-10.0, e_wo=None, e_0=None):
    return energy(e_fr, e_fr if e_wo is None else e_wo, e_fr if e_0 is None else e_0)


def dos_xml(efermi=1.5, rows=((-1.0, 0.5, 0.5), (0.0, 1.0, 1.5)), spins=1):
    total = array(fields(["energy", "total", "integrated"]),
                  comment_sets("spin {}", [_rows("r", rows)] * spins), dims=["gridpoints"])
    return f'<dos>\n<i name="efermi">{efermi}</i>\n<total>\n{total}</total>\n</dos>\n'


def eigenvalues_xml(bands=((-5.0, 1.0), (2.0, 0.0)), nkpts=1, spins=1):
    kset = comment_sets("kpoint {}", [rows("r", bands)] * nkpts)
    return ("<eigenvalues>\n" + array(fields(["eigene", "occ"]), comment_sets("spin {}", [kset] * spins),
                                      dims=["band"]) + "</eigenvalues>\n")


def projected_xml(rows=(((0.1, 0.2), (0.3, 0.4)), ((0.5, 0.6), (0.7, 0.8))), orbitals=("s", "p")):
    """A <projected> of one spin and one k-point; ``rows[band][ion]`` are the orbital values. Like real files, it
    carries an <eigenvalues> of its own (three bands) that must not be taken for the calculation's."""
    bands = "".join(f'<set comment="band {b + 1}">' + "".join("<r>" + " ".join(map(str, r)) + "</r>" for r in ions)
                    + "</set>\n" for b, ions in enumerate(rows))
    return ("<projected>\n" + eigenvalues_xml(bands=((1.0, 1.0),) * 3) + "<array>\n" + "".join(fields(orbitals))
            + f'\n<set><set comment="spin1"><set comment="kpoint 1">\n{bands}</set></set></set>\n</array>\n'
            "</projected>\n")


def calculation_xml(e_fr=-10.0, natoms=2, body="", with_structure=True):
    """One ionic step: structure (unless switched off), energy, zero forces and stress, then ``body``."""
    parts = ["<calculation>\n"]
    if with_structure:
        parts.append(structure_xml(natoms, name=None))
    parts.append(varray("forces", [(0.0, 0.0, 0.0)] * natoms, float_repr))
    parts.append(varray("stress", [(0.0, 0.0, 0.0)] * 3, float_repr))
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
