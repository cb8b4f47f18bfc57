"""The calcsift command-line tool: summary tables and JSON Lines, dump, options.

The tool is found through the CALCSIFT_CLI environment variable (a path to the built
binary), in this Python's scripts folder or on PATH; the tests are skipped when there is none.
"""

import ast
import gzip
import json
import math
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import types
from pathlib import Path

import numpy as np
import pytest

import calcsift
from conftest import (BUILD_BIN, CORPUS, calculation_xml, corpus_files, dos_xml, eigenvalues_xml, energy_xml,
                      make_doc, needs_corpus, requires, structure_xml, write_doc)

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import generate  # noqa: E402


def find_cli():
    """The built tool: $CALCSIFT_CLI, else the one of the build folder the package comes from, else the one
    installed beside this Python (pip puts it in the scripts folder, which need not be on PATH), else the first
    on PATH."""
    if os.environ.get("CALCSIFT_CLI"):
        return os.environ["CALCSIFT_CLI"]
    if (BUILD_BIN / "calcsift").is_file():
        return str(BUILD_BIN / "calcsift")
    beside = Path(sysconfig.get_path("scripts")) / "calcsift"
    return str(beside) if beside.is_file() else shutil.which("calcsift")


CLI = find_cli()
pytestmark = requires("cli", bool(CLI))

# The properties every release has had, in their order; newer ones may come among them.
FIRST_PROPERTIES = ["program", "version", "incar", "atoms", "atom_types", "kpoints", "initial_structure",
                    "final_structure", "ionic_steps", "eigenvalues", "eigenvalue_shape", "projected", "efermi", "dos",
                    "dielectric", "converged"]
# The properties of the layout table, in its order: the class's getset descriptors keep it.
PROPERTIES = [name for name, value in vars(calcsift.Vasprun).items() if isinstance(value, types.GetSetDescriptorType)]


def stub_properties():
    tree = ast.parse((ROOT / "src" / "calcsift" / "__init__.pyi").read_text())
    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Vasprun")
    return [f.name for f in cls.body if isinstance(f, ast.FunctionDef)
            and any(isinstance(d, ast.Name) and d.id == "property" for d in f.decorator_list)]


def test_every_property_is_typed_and_dumped_in_table_order(tmp_path):
    assert [name for name in PROPERTIES if name in FIRST_PROPERTIES] == FIRST_PROPERTIES
    assert stub_properties() == PROPERTIES
    result = run("dump", "--dos", "--eigen", "--projected", write_doc(tmp_path, make_doc()))
    assert list(json.loads(result.stdout)) == PROPERTIES


def run(*args):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=120)


def assert_same(got, want, where="$"):
    """``got`` (read back from JSON) equals ``want`` (a Python property) exactly: same types, same
    key order, floats bit for bit (NaN equal to NaN, -0.0 unequal to 0.0)."""
    if isinstance(want, np.ndarray):
        assert want.dtype in (np.float64, np.bool_), where
        want = want.tolist()
    if isinstance(want, tuple):
        want = list(want)
    if isinstance(want, dict):
        assert isinstance(got, dict) and list(got) == list(want), where
        for key in want:
            assert_same(got[key], want[key], f"{where}.{key}")
    elif isinstance(want, list):
        assert isinstance(got, list) and len(got) == len(want), where
        for i, (g, w) in enumerate(zip(got, want)):
            assert_same(g, w, f"{where}[{i}]")
    elif isinstance(want, float):
        assert type(got) is float, f"{where}: {got!r} is not a float"
        if math.isnan(want):
            assert math.isnan(got), where
        else:
            assert got == want and math.copysign(1.0, got) == math.copysign(1.0, want), f"{where}: {got!r} != {want!r}"
    else:
        assert type(got) is type(want) and got == want, f"{where}: {got!r} != {want!r}"


def dump_equals_properties(path, flags=(), **options):
    result = run("dump", *flags, path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("\n") == 1 and result.stderr == ""
    document = json.loads(result.stdout)
    assert list(document) == PROPERTIES
    run_record = calcsift.Vasprun(str(path), **options)
    for name in PROPERTIES:
        assert_same(document[name], getattr(run_record, name), name)
    return document


ALL = ("--dos", "--eigen", "--projected")
ALL_OPTIONS = dict(parse_dos=True, parse_eigen=True, parse_projected=True)


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    """Realistic generated run records: spin-polarised relaxation with every block and overflow
    fields (NaN), and a line-mode band run with labels and a magnetization."""
    folder = tmp_path_factory.mktemp("generated")
    files = {
        "relax": generate.Params(nsteps=4, with_dielectric=True, ndielectric=40, overflow_stars=True,
                                 selective=True),
        "bands": generate.Params(nions=3, nspins=2, nkpts=12, nbands=16, nsteps=2, line_mode=True,
                                 with_magnetization=True, norbitals=4, counts=(1, 2)),
    }
    paths = {}
    for name, params in files.items():
        paths[name] = folder / f"{name}.xml.gz"
        generate.generate(params, str(paths[name]), seed=3)
    return paths


@pytest.mark.parametrize("name", ["relax", "bands"])
def test_dump_equals_python_properties_on_generated_runs(generated, name):
    document = dump_equals_properties(generated[name], ALL, **ALL_OPTIONS)
    assert document["projected"] is not None and document["dos"] is not None
    if name == "relax":
        assert any(math.isnan(x) for step in document["ionic_steps"] for row in step["forces"] for x in row)


@pytest.mark.parametrize("flags, options", [
    ((), dict(parse_dos=False, parse_eigen=False)),
    (("--eigen", "--skip", "2", "--offset", "1"), dict(parse_dos=False, ionic_step_skip=2, ionic_step_offset=1)),
    (("--dos", "--skip", "0", "--offset", "9"), dict(parse_eigen=False, ionic_step_skip=0, ionic_step_offset=9)),
])
def test_dump_options_match_constructor_options(generated, flags, options):
    document = dump_equals_properties(generated["relax"], flags, **options)
    assert (document["dos"] is None) == ("--dos" not in flags)
    assert document["projected"] is None


def test_dump_bundled_example():
    example = ROOT / "examples" / "vasprun.xml"
    if not example.is_file():
        pytest.skip("no bundled example")
    dump_equals_properties(example, ALL, **ALL_OPTIONS)


@needs_corpus
@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: p.name)
def test_dump_equals_python_properties_on_real_runs(path):
    dump_equals_properties(path, ALL, **ALL_OPTIONS)


def test_dump_special_floats_and_types(tmp_path):
    incar = ('<i name="A">nan</i><i name="B">-inf</i><i name="C">inf</i><i name="D">-0.0</i><i name="E">3</i>'
             '<i name="F">1e300 2</i><i type="int" name="G">-7</i><i type="logical" name="H">T</i>'
             '<i type="string" name="I">a "quoted" \\ tab\t&lt;x&gt; é</i>'
             '<i name="J">123456789012345678901234</i><i name="K">5e-324</i>')
    path = write_doc(tmp_path, make_doc(incar=incar, atoms=("Fe", "Fe"),
                                        sections=calculation_xml(-1.5, body=dos_xml())))
    document = dump_equals_properties(path, ("--dos",), parse_eigen=False)
    raw = run("dump", path).stdout
    assert '"A":NaN' in raw and '"B":-Infinity' in raw and '"C":Infinity' in raw and '"D":-0.0' in raw
    assert '"E":3.0' in raw and '"K":5e-324' in raw
    assert document["incar"]["G"] == -7 and document["incar"]["H"] is True


def test_dump_failure_is_reported(tmp_path):
    path = write_doc(tmp_path, "<modeling></modeling>")
    result = run("dump", path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"{path}: Missing element <generator>\n"


def test_dump_of_a_block_that_cannot_be_read(tmp_path):
    """The document is written whole, that block's key null, its error on stderr."""
    bad = '<varray name="epsilon">\n<v>1 2 x</v>\n</varray>\n'
    path = write_doc(tmp_path, make_doc(sections=calculation_xml(-1.5, body=bad)))
    result = run("dump", path)
    document = json.loads(result.stdout)
    assert result.returncode == 1 and document["dielectric_tensors"] is None and document["calculations"] is None
    assert document["ionic_steps"][0]["e_fr_energy"] == -1.5
    assert result.stderr.splitlines() == [f"{path}: {name}: Failed to parse value 'x' as f64: invalid float"
                                          for name in ("dielectric_tensors", "calculations")]


@pytest.mark.parametrize("document, message", [
    (make_doc(sections=calculation_xml(body='<dos><i name="efermi">1.0</i><total><array><set><set comment="spin 1">'
                                            '<r>\0x 0.5 0.5</r></set></set></array></total></dos>')),
     "Failed to parse value '\0x' as f64: invalid float"),
    (make_doc(incar='<i type="string" name="A">x&b\0c;</i>'),
     "Error while escaping character at range 1..6: unrecognized entity '&b\0c;'"),
    (make_doc(sections="<fo\0o>", close=False), "Missing element <EOF while skipping <fo\0o>>"),
], ids=["value", "entity", "tag-name"])
def test_error_texts_keep_nul_bytes(tmp_path, document, message):
    path = write_doc(tmp_path, document)
    with pytest.raises(RuntimeError) as error:
        calcsift.Vasprun(path)
    assert str(error.value) == message
    # summary reads a cut file (no </modeling>) up to its last complete element instead
    closed = document.rstrip().endswith("</modeling>")
    for command in (("dump", "--dos"),) + ((("summary",),) if closed else ()):
        assert run(*command, path).stderr == f"{path}: {message}\n"


# --- summary ---------------------------------------------------------------

PROJECTED = ('<projected><array><field>s</field><set><set comment="spin 1"><set comment="kpoint 1">'
             '<set comment="band 1"><r>0.1</r></set></set></set></set></array></projected>')


@pytest.fixture
def summary_files(tmp_path):
    """Two readable documents around an unreadable one and a missing one."""
    full = make_doc(atoms=("Fe", "O", "O"), sections=(
        calculation_xml(-3.0, natoms=3) + calculation_xml(-4.25, natoms=3, body=dos_xml(efermi=2.5)
                                                          + eigenvalues_xml(nkpts=2)
                                                          + PROJECTED)),
        kpoints=((0, 0, 0), (0.5, 0, 0)))
    files = [write_doc(tmp_path, full, "full.xml"),
             write_doc(tmp_path, "<modeling><generator/>", "broken.xml"),
             str(tmp_path / "missing.xml"),
             # Neither a longer name nor an empty element counts as a <projected> block.
             write_doc(tmp_path, make_doc(atoms=("Si",), sections="<calculation><projected_kpoints_opt>"
                                          "</projected_kpoints_opt><projected/></calculation>"), "bare.xml")]
    return files


def test_summary_table_reports_bad_files_and_goes_on(summary_files):
    full, broken, missing, bare = summary_files
    result = run("summary", *summary_files)
    assert result.returncode == 1
    errors = result.stderr.splitlines()
    assert errors[0] == f"{broken}: Missing element <generator>"
    assert errors[1].startswith(f"{missing}: I/O error: ") and len(errors) == 2

    header, *rows = result.stdout.splitlines()
    assert header.split() == ["FILE", "PROGRAM", "COMPOSITION", "NSTEPS", "E_FR_ENERGY", "E_0_ENERGY", "ELECTRONIC",
                              "IONIC", "COMPLETE", "EFERMI", "NKPTS", "BLOCKS"]
    assert [r.split()[0] for r in rows] == [full, bare]
    assert rows[0].split()[1:] == ["vasp", "6.4.2", "Fe1O2", "2", "-4.25", "-4.25", "yes", "yes", "yes", "2.5", "2",
                                   "dos,eigen,projected"]
    assert rows[1].split()[1:] == ["vasp", "6.4.2", "Si1", "0", "-", "-", "yes", "yes", "yes", "-", "1", "-"]
    # Aligned: text columns start, number columns end, where their header does.
    for row, cells in [(rows[0], ("Fe1O2", "dos,eigen,projected", "2", "-4.25", "2.5")),
                       (rows[1], ("Si1", "-", "0", "-", "-"))]:
        for name, value in zip(("COMPOSITION", "BLOCKS"), cells[:2]):
            assert row[header.index(name):].startswith(value + " " if name != "BLOCKS" else value)
        for name, value in zip(("NSTEPS", "E_0_ENERGY", "EFERMI"), cells[2:]):
            end = header.index(name) + len(name)
            assert row[:end].endswith(" " + value)


def test_summary_json_lines(summary_files):
    full, _, _, bare = summary_files
    result = run("summary", "--json", *summary_files)
    assert result.returncode == 1
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert [line["file"] for line in lines] == [full, bare]
    first = calcsift.Vasprun(full)
    assert lines[0] == {"file": full, "program": "vasp", "version": "6.4.2", "composition": "Fe1O2",
                        "nsteps": len(first.ionic_steps), "e_fr_energy": -4.25, "e_0_energy": -4.25,
                        "converged_electronic": True, "converged_ionic": True, "complete": True,
                        "efermi": first.efermi, "nkpts": 2, "blocks": ["dos", "eigen", "projected"]}
    assert (lines[1]["e_fr_energy"], lines[1]["efermi"], lines[1]["blocks"]) == (None, None, [])


def test_summary_corrects_e_0_energy_and_notes_only_real_projections(tmp_path):
    # Old VASP wrote the entropy term as the step's e_0_energy; the last electronic step has the right one.
    # A <projected> in a comment or outside a calculation is no block of the run.
    # VASP writes the electronic steps before the step's structure.
    step = ("<calculation>\n<scstep>" + energy_xml(-9.0, e_0=-9.25) + "</scstep>\n"
            + "<scstep>" + energy_xml(-10.0, e_0=-10.5) + "</scstep>\n"
            + structure_xml(2, name=None) + energy_xml(-10.0, e_0=-0.25) + "<!-- <projected> -->\n</calculation>\n")
    path = write_doc(tmp_path, make_doc(sections=step + "<projected><x/></projected>\n"))
    assert calcsift.Vasprun(path).ionic_steps[-1]["e_0_energy"] == -0.25
    line = json.loads(run("summary", "--json", path).stdout)
    assert (line["e_fr_energy"], line["e_0_energy"], line["blocks"]) == (-10.0, -10.5, [])
    assert run("summary", path).stdout.splitlines()[1].split()[5:7] == ["-10.0", "-10.5"]


# (converged_electronic, converged_ionic, complete) where the run's own word "converged" misleads.
CORPUS_VERDICTS = {
    "real-04.xml": (False, False, False),    # a relaxation cut inside a calculation
    "real-10.xml.gz": (True, True, True),    # GW: no electronic loop of its own, no ionic step
    "real-14.xml.gz": (False, True, True),   # DFPT whose ground-state loop used all NELM steps
}


@needs_corpus
def test_summary_convergence_on_real_runs():
    files = [str(p) for p in corpus_files()]
    result = run("summary", "--json", *files)
    assert result.returncode == 0, result.stderr
    lines = {Path(line["file"]).name: line for line in map(json.loads, result.stdout.splitlines())}
    assert list(lines) == [Path(f).name for f in files]
    for path in files:
        v = calcsift.Vasprun(path)
        line = lines[Path(path).name]
        assert (line["converged_electronic"], line["converged_ionic"]) == (v.converged_electronic, v.converged_ionic)
        assert line["complete"] == (Path(path).name != "real-04.xml")
    assert {name: tuple(lines[name][key] for key in ("converged_electronic", "converged_ionic", "complete"))
            for name in CORPUS_VERDICTS} == CORPUS_VERDICTS


def test_summary_walks_directories(tmp_path):
    doc = make_doc(sections=calculation_xml(-1.0))
    runs = tmp_path / "runs"
    for name in ["a/deep/er/vasprun.xml", "b/vasprun.xml", "a/vasprun.xml.d/vasprun.xml"]:
        (runs / name).parent.mkdir(parents=True, exist_ok=True)
        write_doc(runs, doc, name)
    write_doc(runs, gzip.compress(doc.encode()), "a/vasprun_relax.xml.gz")
    write_doc(runs, "not a run record", "a/run.xml")  # names the walk passes over
    write_doc(runs, "not a run record", "a/vasprunxml")
    os.symlink("..", runs / "b" / "loop")   # back to runs/: read once
    os.symlink("a", runs / "0link")         # a/ keeps its real path
    (runs / "c").mkdir()
    empty = tmp_path / "empty"
    empty.mkdir()
    given = write_doc(tmp_path, doc, "any.name")  # a file argument is taken whatever its name

    result = run("summary", given, runs, empty)
    assert (result.returncode, result.stderr) == (0, f"{empty}: no vasprun*.xml* file in this directory or below\n")
    assert [row.split()[0] for row in result.stdout.splitlines()[1:]] == [
        given, *(f"{runs}/{name}" for name in ["a/deep/er/vasprun.xml", "a/vasprun.xml.d/vasprun.xml",
                                               "a/vasprun_relax.xml.gz", "b/vasprun.xml"])]

    nothing = run("summary", empty)
    assert (nothing.returncode, nothing.stdout) == (1, "")
    if os.geteuid() != 0:  # root reads every directory
        (runs / "b").chmod(0)
        try:
            denied = run("summary", runs)
        finally:
            (runs / "b").chmod(0o755)
        assert denied.returncode == 1 and f"{runs}/b: I/O error: Permission denied" in denied.stderr


def test_summary_parallel_output_equals_serial(generated, summary_files):
    files = summary_files + [str(p) for p in generated.values()] + [str(p) for p in corpus_files()]
    files = files * 3
    for mode in ([], ["--json"]):
        serial = run("summary", "--jobs", "1", *mode, *files)
        parallel = run("summary", "--jobs", "2", *mode, *files)
        assert serial.returncode == parallel.returncode == 1
        assert (parallel.stdout, parallel.stderr) == (serial.stdout, serial.stderr)
        assert "\x1b" not in parallel.stderr  # no progress bar when stderr is not a terminal


PROGRESS_LINE = re.compile(r"\[[#.]+\] +\d+%  ")
FINAL_LINE = re.compile(r"\[#+\] 100%  (\d+)/\1 files  [\d.]+ files/s  in [\d.:]+s?")


@pytest.mark.parametrize("mode", [[], ["--json"]], ids=["table", "json"])
def test_summary_progress_on_stderr_only(summary_files, mode):
    plain = run("summary", "--jobs", "2", *mode, *summary_files)
    forced = run("summary", "--jobs", "2", "--progress", *mode, *summary_files)
    assert (forced.returncode, forced.stdout) == (plain.returncode, plain.stdout)
    # Without a terminal: the errors, plain progress lines (one every few seconds) and a final one.
    lines = forced.stderr.splitlines()
    last = lines[-1]
    assert "".join(line + "\n" for line in lines if not PROGRESS_LINE.match(line)) == plain.stderr
    assert FINAL_LINE.fullmatch(last) and last.split()[2] == f"{len(summary_files)}/{len(summary_files)}"
    assert not re.search(r"[\r\x1b]", forced.stderr)
    assert run("summary", "--no-progress", *mode, *summary_files).stderr == plain.stderr


def run_on_terminal(args, stdout_too=False):
    """Runs the tool with stderr (and stdout when asked) on a pseudo-terminal; returns the
    terminal's transcript and the piped stdout."""
    pty = pytest.importorskip("pty")
    master, slave = pty.openpty()
    try:
        proc = subprocess.Popen([CLI, *map(str, args)], stdin=subprocess.DEVNULL, stderr=slave,
                                stdout=slave if stdout_too else subprocess.PIPE)
    finally:
        os.close(slave)
    transcript = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: every end of the terminal is closed
            break
        if not chunk:
            break
        transcript += chunk
    os.close(master)
    stdout = ""
    if proc.stdout:
        with proc.stdout:
            stdout = proc.stdout.read().decode()
    proc.wait(timeout=60)
    return transcript.decode(), stdout


def test_summary_progress_bar_on_a_terminal(summary_files, generated):
    files = summary_files[::3] + [str(p) for p in generated.values()]
    expected = run("summary", *files).stdout
    transcript, stdout = run_on_terminal(["summary", "--jobs", "2", *files])
    assert stdout == expected
    assert transcript.startswith("\r\x1b[K[") and transcript.endswith("\r\x1b[K")  # drawn, then erased
    assert FINAL_LINE.fullmatch(transcript.split("\r\x1b[K")[-2])
    assert run_on_terminal(["summary", "--no-progress", *files]) == ("", expected)

    # JSON lines on the same terminal each start on a line the bar was erased from.
    transcript, _ = run_on_terminal(["summary", "--json", *files], stdout_too=True)
    lines = run("summary", "--json", *files).stdout.splitlines()
    assert len(lines) == len(files) and all("\x1b[K" + line + "\r\n" in transcript for line in lines)


# --- command line ----------------------------------------------------------

def project_version():
    text = (ROOT / "pyproject.toml").read_text()
    return re.search(r'^version\s*=\s*"([^"]+)"', text, re.M).group(1)


@pytest.mark.parametrize("args, status, stream, text", [
    (["--version"], 0, "stdout", None),
    (["--help"], 0, "stdout", "summary"),
    (["summary", "--help"], 0, "stdout", "--jobs"),
    (["dump", "--help"], 0, "stdout", "NaN"),
    ([], 2, "stderr", "subcommand"),
    (["frobnicate"], 2, "stderr", "frobnicate"),
    (["summary"], 2, "stderr", "FILE"),
    (["summary", "--jobs", "0", "x"], 2, "stderr", "--jobs"),
    (["summary", "--bogus", "x"], 2, "stderr", "--bogus"),
    (["summary", "--progress", "--no-progress", "x"], 2, "stderr", "--progress"),
    (["dump", "--skip", "-1", "x"], 2, "stderr", "--skip"),
    (["dump", "--offset", "18446744073709551616", "x"], 2, "stderr", "--offset"),
    (["dump", "a", "b"], 2, "stderr", "b"),
])
def test_command_line(args, status, stream, text):
    result = run(*args)
    assert result.returncode == status
    out = getattr(result, stream)
    if text is None:
        assert out == f"calcsift {project_version()}\n"
    else:
        assert text in out
