"""Cut run records: ``read_partial`` keeps what a run finished, ``complete`` says whether VASP closed the record."""

import gzip

import pytest

import calcsift
from conftest import calculation_xml, corpus_files, make_doc, write_doc

FILES = corpus_files()


def text_of(path):
    return gzip.open(path).read() if path.name.endswith(".gz") else path.read_bytes()


def steps(run):
    return [(s["e_fr_energy"], s["structure"]["positions"]) for s in run.ionic_steps]


@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
def test_cuts_of_real_files_keep_exactly_the_finished_steps(tmp_path, path):
    data = text_of(path)
    whole = calcsift.read_partial(str(path))
    assert whole.complete == calcsift.Vasprun(str(path)).complete
    assert steps(whole) == steps(calcsift.Vasprun(str(path)))
    ends = [i + len(b"</calculation>") for i in range(len(data)) if data.startswith(b"</calculation>", i)]
    if not ends:
        return                          # nothing to cut after: the whole record is all it holds
    closed = data.rfind(b"</modeling>") if whole.complete else len(data)
    cuts = range(ends[0], closed, max(1, (closed - ends[0]) // 9))
    for cut in cuts:
        finished = max(e for e in ends if e <= cut)
        cut_file, head_file = tmp_path / "cut.xml", tmp_path / "head.xml"
        cut_file.write_bytes(data[:cut])
        head_file.write_bytes(data[:finished])
        run = calcsift.read_partial(str(cut_file), parse_projected=True)
        assert not run.complete, cut
        assert steps(run) == steps(calcsift.Vasprun(str(head_file), parse_projected=True)), cut


def test_a_cut_before_any_calculation_ends_at_the_last_complete_element(tmp_path):
    text = make_doc(calculation_xml(-1.0), close=False)
    cut = text[:text.index("<calculation>") + 30]
    run = calcsift.read_partial(write_doc(tmp_path, cut), ionic_step_offset=0)
    assert not run.complete and run.ionic_steps == [] and run.atoms == ["Si", "Si"]
    with pytest.raises(RuntimeError, match="^Missing element <kpoints>$"):
        calcsift.read_partial(write_doc(tmp_path, text[:text.index("<kpoints>") + 20]))


def test_options_and_the_closed_record(tmp_path):
    text = make_doc("".join(calculation_xml(-float(i)) for i in range(1, 6)))
    path = write_doc(tmp_path, text)
    run = calcsift.read_partial(path, ionic_step_skip=2, ionic_step_offset=1)
    assert run.complete and [s["e_fr_energy"] for s in run.ionic_steps] == [-2.0, -4.0]
    cut = calcsift.read_partial(write_doc(tmp_path, text[:text.rindex("<calculation>") + 40], "cut.xml"))
    assert not cut.complete and len(cut.ionic_steps) == 4
    assert calcsift.Vasprun(path).complete and repr(cut).endswith("nsteps=4)")


def test_a_record_that_is_not_cut_fails_as_vasprun_fails(tmp_path):
    """Only a file without its closing </modeling> is cut: a malformed closed one is not read partially."""
    bad = make_doc(calculation_xml(-1.0) + calculation_xml(-2.0).replace("<v>", "<v>x ", 1))
    path = write_doc(tmp_path, bad)
    for read in (calcsift.Vasprun, calcsift.read_partial):
        with pytest.raises(RuntimeError, match="^Failed to parse value 'x' as f64: invalid float$"):
            read(path)
