#!/usr/bin/env python3
"""Builds the fuzzing seed corpus into a folder (nothing is committed).

    python3 fuzz/make_seeds.py OUT_DIR

Seeds: small hand-written run records that between them hold every section the
reader knows (and a few of its odd corners), written with the tests' builders
(tests/xmlbuild.py); gzip forms with every header field and lying trailers; the
generator's "tiny" run (bench/generate.py); and the real corpus files
(../shared/corpus, when present) cut to their first 64 KB.
"""

import gzip
import subprocess
import sys
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from xmlbuild import array, comment_sets, energy as energy_block, fields, generator, rows, varray  # noqa: E402
from xmlbuild import structure as structure_block  # noqa: E402

CORPUS = ROOT.parent / "shared" / "corpus"
CUT = 64 * 1024


def structure(natoms, name="initialpos"):
    lattice = [(3.0, 0.0, 0.0), (0.0, 3.0, 0.0), (0.0, 0.0, 3.0)]
    rec = [(1 / 3, 0.0, 0.0), (0.0, 1 / 3, 0.0), (0.0, 0.0, 1 / 3)]
    pos = [(i / natoms, 0.25, 0.5) for i in range(natoms)]
    return structure_block(lattice, rec, pos, 27.0, name)


def head(natoms=2, incar_extra=""):
    atoms = "".join(f"<rc><c>{'Fe' if i % 2 else 'O'}</c><c>{1 + i % 2}</c></rc>\n" for i in range(natoms))
    n_o, n_fe = (natoms + 1) // 2, natoms // 2
    types = (f"<rc><c>{n_o}</c><c>O </c><c>16.0</c><c>6.0</c><c>  PAW_PBE O 08Apr2002</c></rc>\n"
             f"<rc><c>{n_fe}</c><c>Fe</c><c>55.847</c><c>8.0</c><c>  PAW_PBE Fe 06Sep2000</c></rc>\n")
    return (
        '<?xml version="1.0" encoding="ISO-8859-1"?>\n<modeling>\n'
        + generator(extra='<i name="subversion" type="string">(build x)</i>\n'
                    '<i name="platform" type="string">LinuxIFC</i>\n'
                    '<i name="date" type="string">2024 01 01</i>\n<i name="time" type="string">12:00:00</i>\n')
        + '<incar>\n<i type="string" name="SYSTEM">Fe &amp; O</i>\n<i type="int" name="ISPIN">2</i>\n'
        '<i type="logical" name="LWAVE"> .TRUE. </i>\n<i name="ENCUT">520.0</i>\n'
        '<i name="MAGMOM">5.0 -5.0 ****</i>\n<i type="logical" name="LSORBIT">maybe</i>\n'
        f'<i name="EMPTY"/>\n{incar_extra}</incar>\n'
        '<parameters>\n<separator name="electronic">\n<i type="int" name="NELM">60</i>\n'
        '<structure name="ignored"/>\n</separator>\n</parameters>\n'
        f"<atominfo>\n<atoms>{natoms}</atoms>\n<types>2</types>\n"
        + array(fields(["element", "atomtype"], {"element": "string", "atomtype": "int"}), atoms,
                dims=["ion"], field_sep="\n", name="atoms")
        + array(fields(["atomspertype", "element", "mass", "valence", "pseudopotential"],
                       {"atomspertype": "int", "element": "string", "pseudopotential": "string"}), types,
                dims=["type"], field_sep="\n", name="atomtypes")
        + "</atominfo>\n"
        '<kpoints>\n<generation param="Monkhorst-Pack">\n<v type="int" name="divisions">2 2 1</v>\n'
        '<v name="usershift">0 0 0</v>\n</generation>\n'
        + varray("kpointlist", [(0.0, 0.0, 0.0), (0.5, 0.0, 0.0)])
        + varray("weights", [(0.25,), (0.75,)])
        + '<varray name="labelindex">\n<v>1</v>\n<v>2</v>\n</varray>\n'
        + '<varray name="labels">\n<v>G</v>\n<v>X</v>\n</varray>\n</kpoints>\n'
        + structure(natoms)
    )


def energy(e):
    return energy_block(e, e - 0.01, e + 0.01)


def total_dos(nspins, grid):
    sets = comment_sets("spin {}", [rows("r", [(-5.0 + i, 0.1 * i, 0.2 * i) for i in range(grid)])] * nspins)
    return ("<total>\n" + array(fields(["energy", "total", "integrated"]), sets, dims=["gridpoints", "spin"],
                                field_sep="\n") + "</total>\n")


def partial_dos(nspins, nions, grid, orbitals=("s", "p", "d")):
    ions = comment_sets("ion {}", [
        comment_sets("spin {}", [rows("r", [(-5.0 + g,) + tuple(0.01 * (k + g + i) for k in range(len(orbitals)))
                                            for g in range(grid)])] * nspins)
        for i in range(nions)])
    return ("<partial>\n" + array(fields(["energy"] + [f" {o} " for o in orbitals]), ions, dims=["gridpoints"],
                                  field_sep="\n") + "</partial>\n")


def dos(nspins=2, nions=2, grid=3, partial=True):
    return ('<dos>\n<i name="efermi">  1.25 </i>\n' + total_dos(nspins, grid)
            + (partial_dos(nspins, nions, grid) if partial else "") + "</dos>\n")


def eigenvalues(nspins=2, nkpts=2, nbands=3, attr=""):
    sets = comment_sets("spin {}", [comment_sets("kpoint {}", [
        rows("r", [(-3.0 + b + k, 1.0 if b < 2 else 0.0) for b in range(nbands)]) for k in range(nkpts)])] * nspins)
    return (f"<eigenvalues{attr}>\n" + array(fields(["eigene", "occ"]), sets, dims=["band", "kpoint"], field_sep="\n")
            + "</eigenvalues>\n")


def projected(nspins=2, nkpts=2, nbands=2, nions=2, orbitals=("s", "py", "pz")):
    sets = comment_sets("spin{}", [comment_sets("kpoint {}", [comment_sets("band {}", [
        rows("r", [tuple(0.1 * (s + k + b + i + o) for o in range(len(orbitals))) for i in range(nions)])
        for b in range(nbands)]) for k in range(nkpts)]) for s in range(nspins)])
    return (eigenvalues(nspins, nkpts, nbands) + "<projected>\n" + eigenvalues(nspins, nkpts, nbands)
            + array(fields(orbitals), sets, dims=["ion"], field_sep="\n") + "</projected>\n")


def dielectric(n=3, real=True):
    def part(tag):
        values = rows("r", [(0.1 * i,) + tuple(float(i + c) for c in range(6)) for i in range(n)])
        return (f"<{tag}>\n" + array(fields(["energy", "xx", "yy", "zz", "xy", "yz", "zx"]), values,
                                     dims=["gridpoints"], field_sep="\n") + f"</{tag}>\n")
    return "<dielectricfunction>\n" + part("imag") + (part("real") if real else "") + "</dielectricfunction>\n"


def structure_extras(natoms):
    """Selective-dynamics flags and velocities, as VASP writes them into the initial and final structures."""
    flags = "".join(f'<v type="logical" > {"T" if i % 2 else "F"} T F </v>\n' for i in range(natoms))
    return (f'<varray name="selective" type="logical" >\n{flags}</varray>\n'
            + varray("velocities", [(0.001 * i, -0.002, 0.0) for i in range(natoms)]))


def response(natoms):
    """Dielectric tensors, Born charges and the dynamical matrix of a linear-response run."""
    d = 3 * natoms
    born = "".join("<set>\n" + rows("v", [(1.0 + i, 0.0, 0.1), (0.0, 1.0, 0.0), (0.1, 0.0, 1.0)]) + "</set>\n"
                   for i in range(natoms))
    hessian = [tuple(-0.5 if i == j else 0.01 * (i + j) for j in range(d)) for i in range(d)]
    return (varray("epsilon_rpa", [(13.6, 0.0, 0.0), (0.0, 13.6, 0.0), (0.0, 0.0, 13.6)])
            + varray("epsilon", [(13.0, 0.0, 0.0), (0.0, 13.0, 0.0), (0.0, 0.0, 13.0)])
            + f'<array name="born_charges" >\n<dimension dim="1">ion</dimension>\n{born}</array>\n'
            + '<dynmat>\n' + varray("hessian", hessian)
            + '<v name="eigenvalues">' + " ".join(f"{-0.1 * i:.8E}" for i in range(d)) + "</v>\n"
            + varray("eigenvectors", hessian)
            + '<array name="force_constants" >\n<set>\n<set comment="ionprim 1">\n<set comment="ion 1">\n'
            + rows("r", [(1.0, 0.0, 0.0)] * 3) + "</set>\n</set>\n</set>\n</array>\n</dynmat>\n"
            + varray("epsilon_ion", [(0.0, 0.0, 0.0)] * 3))


def kpoints_opt(natoms):
    """The KPOINTS_OPT blocks of VASP 6.3+: energies alone in the eigenvalues, a projected and a DOS block."""
    opt_dos = dos(1, natoms, 3, False).replace("<dos>", '<dos comment="kpoints_opt">', 1)
    opt_eigen = eigenvalues(1, 2, 3).replace("<field>occ</field>\n", "")
    opt_eigen = opt_eigen.replace(" 1.0</r>", "</r>").replace(" 0.0</r>", "</r>")
    return (opt_dos + '<eigenvalues_kpoints_opt comment="kpoints_opt">\n<kpoints>\n'
            + varray("kpointlist", [(0.0, 0.0, 0.0), (0.25, 0.0, 0.0)]) + varray("weights", [(0.5,), (0.5,)])
            + "</kpoints>\n" + opt_eigen + "</eigenvalues_kpoints_opt>\n"
            + projected(1, 2, 3, natoms).split("<projected>", 1)[1].join(["<projected_kpoints_opt>", ""])
            .replace("</projected>", "</projected_kpoints_opt>"))


def calculation(natoms, e, body="", scsteps=2):
    sc = "".join(f"<scstep>\n<time name=\"total\">1.0 1.0</time>\n{energy(e + 1.0 / (k + 1))}</scstep>\n"
                 for k in range(scsteps))
    return (f"<calculation>\n{sc}{structure(natoms, None)}"
            + varray("forces", [(0.1 * i, -0.1 * i, 0.0) for i in range(natoms)])
            + varray("stress", [(1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)])
            + varray("magnetization", [(1.5,), (-1.5, 0.0, 0.2)][:natoms])
            + energy(e) + body + "</calculation>\n")


def gzip_member(data, name=None, comment=None, extra=None, hcrc=False, isize=None, crc=None):
    """One gzip member with the optional header fields, and a trailer that may lie."""
    flags = (0x02 if hcrc else 0) | (0x04 if extra is not None else 0) | (0x08 if name else 0) | (0x10 if comment else 0)
    head = bytes([0x1F, 0x8B, 8, flags, 0, 0, 0, 0, 0, 3])
    if extra is not None:
        head += len(extra).to_bytes(2, "little") + extra
    for field in (name, comment):
        if field:
            head += field + b"\0"
    if hcrc:
        head += (zlib.crc32(head) & 0xFFFF).to_bytes(2, "little")
    body = zlib.compressobj(9, zlib.DEFLATED, -15)
    deflated = body.compress(data) + body.flush()
    crc = zlib.crc32(data) if crc is None else crc
    isize = len(data) if isize is None else isize
    return head + deflated + crc.to_bytes(4, "little") + (isize & 0xFFFFFFFF).to_bytes(4, "little")


def documents():
    n = 2
    full = dos() + projected() + dielectric()
    docs = {
        "minimal.xml": head(n) + "</modeling>\n",
        "full.xml": head(n) + calculation(n, -10.0) + calculation(n, -11.0, full)
        + structure(n, "finalpos") + "</modeling>\n",
        "steps.xml": head(n) + "".join(calculation(n, -10.0 - k, scsteps=1) for k in range(5))
        + "</modeling>\n",
        "spin1.xml": head(n) + calculation(n, -9.0, dos(1, n, 4) + eigenvalues(1, 2, 4)) + "</modeling>\n",
        "irregular.xml": head(n) + calculation(n, -9.0, eigenvalues(1, 2, 3).replace(
            "<r>0.0 0.0</r>\n</set>", "</set>", 1) + dos(2, n, 3, False)) + "</modeling>\n",
        "interpolated.xml": head(n) + calculation(n, -9.0, '<eigenvalues comment="interpolated">\n<kpoints>\n'
                                                  + varray("kpointlist", [(0, 0, 0)]) + "</kpoints>\n"
                                                  + eigenvalues(1, 1, 2) + "</eigenvalues>\n"
                                                  + eigenvalues(1, 1, 2)) + "</modeling>\n",
        "dielectric.xml": head(n) + calculation(n, -9.0, dielectric(4, real=False) + dielectric(2))
        + "</modeling>\n",
        "unclosed.xml": head(n) + calculation(n, -9.0, dos(1, n, 2, False)),
        "odd_markup.xml": head(n).replace("<modeling>", "<!DOCTYPE modeling [<!ENTITY x \"y\">]>\n<?pi data?>\n"
                                          "<modeling><!-- c --><![CDATA[ <x> ]]>")
        + calculation(n, -9.0) + "</modeling >\ntrailing <junk",
        # A large first set followed by many empty ones: the shapes that size dense blocks from
        # the first set (and buffers from earlier sets) meet their limits here.
        "dos-empty-sets.xml": head(n) + calculation(n, -9.0, '<dos>\n<i name="efermi">0.5</i>\n<total>\n<array>\n'
                                                  "<set>\n<set>\n" + rows("r", [(0.1 * i, 1.0, 2.0) for i in range(60)])
                                                  + "</set>\n" + "<set></set>\n" * 60 + "</set>\n</array>\n</total>\n"
                                                  + partial_dos(1, n, 40).replace("</set>\n</set>\n</array>",
                                                                                  "</set>\n" + "<set></set>" * 40
                                                                                  + "</set>\n</array>")
                                                  + "</dos>\n") + "</modeling>\n",
        "eigen-empty-sets.xml": head(n) + calculation(n, -9.0, "<eigenvalues>\n<array>\n<set>\n<set>\n<set>\n"
                                                    + rows("r", [(-1.0 + 0.1 * b, 1.0) for b in range(20)])
                                                    + "</set>\n" + "<set></set>" * 20 + "</set>\n" + "<set></set>" * 3
                                                    + "</set>\n</array>\n</eigenvalues>\n"
                                                    + projected(1, 1, 1, 30).replace("</set>\n</set>\n</set>\n</set>",
                                                                                    "</set>\n" + "<set></set>" * 30
                                                                                    + "</set>\n</set>\n</set>", 1))
        + "</modeling>\n",
        "unicode.xml": head(n, '<i type="string" name="NAME">\u00e9\u2003&#x1F600;&#65;</i>\n'
                            '<i type="logical" name="LONGS">\u017fTRUE</i>\n') + "</modeling>\n",
        # Parameters of every item kind, VASP 5's repeated NELM, a DFPT calculation whose
        # linear-response electronic steps follow its structure.
        "parameters.xml": head(n).replace(
            "</parameters>\n", '<separator name="ionic">\n<i type="int" name="IBRION">8</i>\n'
            '<i type="int" name="NSW">1</i>\n<v type="int" name="KPOINT">-1 0 0 0</v>\n'
            '<v type="logical" name="LATTICE_CONSTRAINTS">T F T</v>\n<v name="ROPT">-0.00025</v>\n'
            '<v type="string" name="S">a b</v>\n<v name="E"/>\n</separator>\n'
            '<separator name="response functions">\n<i type="int" name="NELM">1</i>\n</separator>\n'
            "</parameters>\n", 1)
        + calculation(n, -9.0, ("<scstep>\n" + energy(-20.0) + "</scstep>\n") * 2, scsteps=3) + "</modeling>\n",
        "response.xml": head(n) + calculation(n, -9.0, response(n)) + "</modeling>\n",
        "response-cut.xml": head(n) + calculation(n, -9.0, response(n)[:-600]),
        "kpoints-opt.xml": head(n) + calculation(n, -9.0, kpoints_opt(n) + dos(1, n, 3) + eigenvalues(1, 1, 3))
        + structure(n, ' name="finalpos"') + "</modeling>\n",
        "md.xml": head(n).replace("</structure>", structure_extras(n) + "</structure>")
        + calculation(n, -9.0) + structure(n, ' name="finalpos"').replace("</structure>", structure_extras(n)
                                                                          + "</structure>") + "</modeling>\n",
        "stars.xml": head(n).replace("0.5 0.0 0.0", "******** nan -inf").replace("<i name=\"volume\">27.0",
                                                                                "<i name=\"volume\">1.0D+00")
        + "</modeling>\n",
    }
    out = {name: text.encode("utf-8") for name, text in docs.items()}
    out["latin1.xml"] = (head(n, '<i type="string" name="NAME">caf\xe9 \x80</i>\n') + "</modeling>\n").encode("latin-1")
    out["bom.xml"] = b"\xef\xbb\xbf" + docs["minimal.xml"].encode("utf-8")
    out["utf16.xml"] = docs["minimal.xml"].encode("utf-16")
    out["minimal.xml.gz"] = gzip.compress(out["minimal.xml"], mtime=0)
    out["spin1.xml.gz"] = gzip.compress(out["spin1.xml"], mtime=0)
    small = out["minimal.xml"]
    out["fields.xml.gz"] = gzip_member(small, name=b"vasprun.xml", comment=b"run 1", extra=b"AB\x02\x00xy", hcrc=True)
    out["short-isize.xml.gz"] = gzip_member(out["full.xml"], isize=10)
    out["bad-crc.xml.gz"] = gzip_member(small, crc=12345)
    out["two-members.xml.gz"] = gzip_member(small) + gzip_member(b"<junk/>")
    return out


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    target = Path(argv[1])
    target.mkdir(parents=True, exist_ok=True)
    for name, data in documents().items():
        (target / name).write_bytes(data)
    script = ROOT / "bench" / "generate.py"
    if script.is_file():
        subprocess.run([sys.executable, str(script), "tiny", str(target / "generated-tiny.xml")],
                       check=True, capture_output=True)
    if CORPUS.is_dir():
        for path in sorted(CORPUS.glob("real-*")):
            data = gzip.decompress(path.read_bytes()) if path.name.endswith(".gz") else path.read_bytes()
            (target / (path.name.removesuffix(".gz") + ".cut")).write_bytes(data[:CUT])


if __name__ == "__main__":
    main(sys.argv)
