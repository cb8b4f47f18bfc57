"""Loading: gzip chosen by name, gzip framing, encodings, the declaration rewrite, hostile files."""

import errno
import gzip
import os
import pickle
import random
import struct
import zlib

import pytest

import calcsift
from conftest import calculation_xml, dos_xml, incar_xml, load, load_error, make_doc, projected_xml, write_doc

PLAIN = make_doc(calculation_xml(-3.0, body=dos_xml(1.25))).encode()
ENC_ERROR = "Encoding error: Failed to decode vasprun.xml as ISO-8859-1"


def gzip_member(data, flags=0, extra=b"", fname=b"", comment=b"", header_crc=False, crc=None, size=None):
    header = struct.pack("<BBBBIBB", 0x1F, 0x8B, 8, flags, 0, 0, 255)
    if flags & 4:
        header += struct.pack("<H", len(extra)) + extra
    if flags & 8:
        header += fname + b"\0"
    if flags & 16:
        header += comment + b"\0"
    if header_crc:
        header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    comp = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = comp.compress(data) + comp.flush()
    trailer = struct.pack("<II", zlib.crc32(data) if crc is None else crc, len(data) if size is None else size)
    return header + body + trailer


def summary(v):
    return repr(v), v.ionic_steps[0]["e_fr_energy"], v.efermi


# --- plain or gzip, by name only ---------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["run.xml.gz", "run.gz", "a.b.c.gz"])
def test_gzip_by_name(doc, name):
    assert summary(doc(gzip.compress(PLAIN), name)) == summary(doc(PLAIN))


@pytest.mark.parametrize("name", ["run.xml.GZ", "run.tgz", "run.gzip", "gz", ".gz", "run.gz.xml", "run.gz."])
def test_other_names_read_plain(doc, doc_error, name):
    assert summary(doc(PLAIN, name)) == summary(doc(PLAIN))
    assert not doc_error(gzip.compress(PLAIN), name).startswith("I/O error")


def test_directory_name_does_not_choose_gzip(tmp_path):
    (tmp_path / "d.gz").mkdir()
    assert calcsift.Vasprun(write_doc(tmp_path, PLAIN, "d.gz/run.xml")).program == "vasp"


@pytest.mark.parametrize("data, message", [
    (PLAIN, "invalid gzip header"),
    (b"\x1f\x8b\x07" + gzip.compress(PLAIN)[3:], "invalid gzip header"),          # compression method 7
    (gzip_member(PLAIN, crc=0), "corrupt gzip stream does not have a matching checksum"),
    (gzip_member(PLAIN, size=len(PLAIN) + 1), "corrupt gzip stream does not have a matching checksum"),
    (gzip.compress(PLAIN)[:10] + b"\x07\xff\xff\xff" + b"\0" * 8, "corrupt deflate stream"),   # reserved block type
    (gzip_member(PLAIN, flags=8, fname=b"n" * 100000), "gzip header field too long"),
    (gzip_member(PLAIN, flags=16, comment=b"c" * 100000), "gzip header field too long"),
])
def test_bad_gzip(doc_error, data, message):
    assert doc_error(data, "run.xml.gz") == "I/O error: " + message


@pytest.mark.parametrize("cut", [0, 1, 5, 11, 200, -9, -4, -1])
def test_truncated_gzip(doc_error, cut):
    data = gzip.compress(PLAIN)
    assert doc_error(data[:cut], "run.xml.gz").startswith("I/O error: ")


@pytest.mark.parametrize("kwargs", [
    {"flags": 8, "fname": b"vasprun.xml"},
    {"flags": 16, "comment": b"written by a test \xff"},
    {"flags": 4, "extra": b"AB\x02\x00xy"},
    {"flags": 4, "extra": b"\0" * 65535},
    {"flags": 2 | 4 | 8 | 16, "extra": b"e", "fname": b"n" * 1000, "comment": b"c", "header_crc": True},
    {"flags": 2, "header_crc": True},
])
def test_gzip_header_fields(doc, kwargs):
    assert summary(doc(gzip_member(PLAIN, **kwargs), "run.xml.gz")) == summary(doc(PLAIN))


def test_only_first_gzip_member(doc, doc_error):
    second = make_doc(program="second").encode()
    assert doc(gzip.compress(PLAIN) + gzip.compress(second), "r.gz").program == "vasp"
    assert doc(gzip.compress(PLAIN) + b"trailing junk \x00\xff", "r.gz").program == "vasp"
    split = PLAIN.index(b"<structure")
    parts = gzip.compress(PLAIN[:split]) + gzip.compress(PLAIN[split:])
    assert doc_error(parts, "r.gz") == "Missing element <structure[initialpos]>"


# --- encodings ---------------------------------------------------------------------------------------------

def latin_doc(declared, raw):
    decl = f'<?xml version="1.0" encoding="{declared}"?>\n'.encode() if declared else b""
    later = incar_xml('<i type="string" name="NAME">caf' + "\x00" + "</i>")      # \x00 marks the raw byte
    body = make_doc(calculation_xml(body=dos_xml()) + later, program="p\x00", declaration=False).encode()
    return decl + body.replace(b"\x00", raw)


@pytest.mark.parametrize("declared", ["ISO-8859-1", "iso-8859-1", "windows-1252", "latin1", "UTF-16", "UTF-8", None])
@pytest.mark.parametrize("raw, char", [(b"\xe9", "é"), (b"\x80", "€"), (b"\x9d", "\x9d"), (b"\xff", "ÿ"),
                                       # not UTF-8: overlong, surrogate, above U+10FFFF, cut short
                                       (b"\xc0\x80", "À€"), (b"\xed\xa0\x80", "í\xa0€"),
                                       (b"\xf4\x90\x80\x80", "ô\x90€€"), (b"\xc3", "Ã")])
def test_windows_1252_fallback(doc, declared, raw, char):
    results = [doc(latin_doc(declared, raw), parse_dos=flag) for flag in (True, False)]
    for v in results:
        assert v.program == "p" + char and v.incar == {"NAME": "caf" + char}
    assert results[0].efermi == 1.5 and results[1].efermi is None


@pytest.mark.parametrize("declared", ["ISO-8859-1", "windows-1252", "latin1"])
def test_utf8_bytes_are_not_decoded_again(doc, declared):
    second_declaration = b'<?xml version="1.0" encoding="UTF-16"?><incar>'
    text = latin_doc(declared, "é\U0001F600".encode()).replace(b"<incar>", second_declaration)
    for flag in (True, False):
        assert doc(text, parse_dos=flag).incar == {"NAME": "café\U0001F600"}


@pytest.mark.parametrize("codec, bom", [("utf-16-le", b"\xff\xfe"), ("utf-16-be", b"\xfe\xff")])
@pytest.mark.parametrize("declared", ["UTF-16", "ISO-8859-1"])
def test_utf16_with_bom(doc, codec, bom, declared):
    text = f'<?xml version="1.0" encoding="{declared}"?>\n' + make_doc(declaration=False, program="café\U0001F600")
    assert doc(bom + text.encode(codec)).program == "café\U0001F600"


@pytest.mark.parametrize("data", [
    b"\xff\xfe" + "<modeling>".encode("utf-16-le") + b"<",                     # odd length
    b"\xfe\xff" + "<modeling>".encode("utf-16-be") + b"<",
    b"\xff\xfe" + b"<\x00\x00\xd8m\x00",                                        # lone surrogate
    b"\xef\xbb\xbf" + make_doc(program="caf\xe9").encode("latin-1"),            # BOM then invalid UTF-8
])
def test_encoding_error(doc_error, data):
    assert doc_error(data, "any-name.xml") == ENC_ERROR


# No declaration: the first "?>" closes a processing instruction after the generator; the INCAR comes after it.
REWRITTEN = make_doc(declaration=False, program="ISO-8859-1 iso-8859-1 Iso-8859-1 latin1 é",
                     incar='<i type="string" name="E">ISO-8859-1</i>').replace("<incar>", "<?pi?><incar>", 1)


@pytest.mark.parametrize("encode", [lambda t: t.encode(), lambda t: b"\xef\xbb\xbf" + t.encode(),
                                    lambda t: b"\xff\xfe" + t.encode("utf-16-le"), lambda t: t.encode("cp1252")],
                         ids=["utf-8", "utf-8-bom", "utf-16", "windows-1252"])
def test_declaration_rewrite(doc, encode):
    v = doc(encode(REWRITTEN))
    assert (v.program, v.incar) == ("UTF-8 UTF-8 Iso-8859-1 latin1 é", {"E": "ISO-8859-1"})


@pytest.mark.parametrize("text", [make_doc(program="ISO-8859-1", version="iso-8859-1"),     # after the first "?>"
                                  make_doc(declaration=False, program="ISO-8859-1", version="iso-8859-1")])  # none
def test_text_after_first_pi_end_is_unchanged(doc, text):
    v = doc(text)
    assert (v.program, v.version) == ("ISO-8859-1", "iso-8859-1")


# --- files that are not run records ------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["nope.xml", "nope.xml.gz", "missing-dir/vasprun.xml"])
def test_missing_file(tmp_path, name):
    with pytest.raises(RuntimeError) as info:
        calcsift.Vasprun(str(tmp_path / name))
    assert str(info.value) == "I/O error: No such file or directory (os error 2)"


@pytest.mark.parametrize("name", ["dir", "dir.gz"])
def test_directory(tmp_path, name):
    (tmp_path / name).mkdir()
    with pytest.raises(RuntimeError) as info:
        calcsift.Vasprun(str(tmp_path / name))
    assert str(info.value).startswith("I/O error: ") and "(os error " in str(info.value)


def test_nul_in_path():
    with pytest.raises(RuntimeError, match="^I/O error: "):
        calcsift.Vasprun("vasprun\0.xml")


def unreadable(tmp_path):
    path = tmp_path / "locked.xml"
    path.write_bytes(PLAIN)
    path.chmod(0)
    return path


# Every failure is a calcsift.VasprunError; one the system reports for the file is also the OSError of its errno.
@pytest.mark.parametrize("make, os_error, errnum, text", [
    (lambda tmp: tmp / "nope.xml", FileNotFoundError, errno.ENOENT,
     "I/O error: No such file or directory (os error 2)"),
    (lambda tmp: tmp, IsADirectoryError, errno.EISDIR, "I/O error: Is a directory (os error 21)"),
    pytest.param(unreadable, PermissionError, errno.EACCES, "I/O error: Permission denied (os error 13)",
                 marks=pytest.mark.skipif(os.geteuid() == 0, reason="root reads a file without read permission")),
    (lambda tmp: tmp / "junk.xml.gz", None, None, "I/O error: invalid gzip header"),
    (lambda tmp: tmp / "junk.xml", None, None, "XML parse error: unclosed tag at end of input"),
    (lambda tmp: "vasprun\0.xml", None, None, "I/O error: file name contained an unexpected NUL byte"),
], ids=["missing", "directory", "unreadable", "bad-gzip", "malformed-xml", "nul-in-name"])
def test_error_classes(tmp_path, make, os_error, errnum, text):
    (tmp_path / "junk.xml.gz").write_bytes(PLAIN)
    (tmp_path / "junk.xml").write_bytes(PLAIN[:PLAIN.index(b"<kpoints>") + 4])
    with pytest.raises(calcsift.VasprunError) as info:
        calcsift.Vasprun(str(make(tmp_path)))
    e = info.value
    assert isinstance(e, RuntimeError) and (str(e), e.args) == (text, (text,))
    assert isinstance(e, OSError) == (os_error is not None)
    if os_error:
        assert isinstance(e, os_error) and (e.errno, e.strerror, e.filename) == (errnum, None, None)
    back = pickle.loads(pickle.dumps(e))                # as a Dask worker sends it
    assert type(back) is type(e) and back.args == e.args and getattr(back, "errno", None) == errnum


@pytest.mark.parametrize("data, message", [
    (b"", "Missing element <modeling>"),
    (b"   \n", "Missing element <modeling>"),
    (b'<?xml version="1.0"?><modeling/>', "Missing element <modeling>"),
    (b"<modeling>", "Missing element <generator>"),
    (b"\0" * 64, "Missing element <modeling>"),
])
def test_degenerate_files(doc_error, data, message):
    assert doc_error(data) == message


@pytest.mark.parametrize("seed", range(6))
def test_binary_garbage(doc_error, seed):
    data = random.Random(seed).randbytes(4096)
    doc_error(data)
    doc_error(b"<modeling>" + data)


def test_cut_inside_a_tag(doc_error):
    cut = PLAIN.index(b'<varray name="forces"') + 10
    assert doc_error(PLAIN[:cut]).startswith("XML parse error: ")


# --- files read from a mapping -----------------------------------------------------------------------------
# From 256 KiB on, a plain file is parsed straight from a mapping of it (a .gz inflated from one): the text that
# must change (declaration rewrite, decoding) must come out as from a file read into memory.

PAD = "<!--" + "padding " * 40000 + "-->\n"                     # 320 KB
RANDOM_PAD = "<!--" + random.Random(0).randbytes(300000).hex() + "-->\n"   # still 280 KB after gzip


# A projected block of 120 KB, passed over whole with the default options, with a byte inside (\x00 here) that
# makes the file windows-1252: the UTF-8 "é" of the program name must then read as two characters.
SKIPPED = projected_xml(rows=[[(0.5, 0.25)] * 40] * 200).replace("<array>", "<array><!-- caf\x00 -->", 1)


def latin_skipped(text):
    return text.encode().replace(b"\x00", b"\xe9")


def outcome(tmp_path, data, name):
    try:
        v = load(tmp_path, data, name)
        return v.program, v.incar, v.efermi
    except RuntimeError as e:
        return str(e)


@pytest.mark.parametrize("build, name", [
    (lambda pad: REWRITTEN.replace("<modeling>\n", "<modeling>\n" + pad).encode(), "x.xml"),       # head > 256 KB
    (lambda pad: (REWRITTEN + pad).encode().ljust(80 * 4096 if pad else 0), "x.xml"),     # ends with a page
    (lambda pad: b"\xef\xbb\xbf" + (REWRITTEN + pad).encode(), "x.xml"),
    (lambda pad: b"\xff\xfe" + (REWRITTEN + pad).encode("utf-16-le"), "x.xml"),
    (lambda pad: (REWRITTEN + pad).encode("cp1252"), "x.xml"),
    (lambda pad: latin_doc("ISO-8859-1", b"\x80") + pad.encode(), "x.xml"),
    (lambda pad: b"\xef\xbb\xbf" + make_doc(program="caf\xe9").encode("latin-1") + pad.encode(), "x.xml"),
    (lambda pad: gzip.compress((REWRITTEN + pad).encode()), "x.xml.gz"),
    (lambda pad: latin_skipped(make_doc(calculation_xml(body=SKIPPED), program="café") + pad), "x.xml"),
    (lambda pad: latin_skipped(make_doc(calculation_xml(body=SKIPPED + "<!bogus>") + pad)), "x.xml"),
])
def test_mapped_file_reads_like_a_small_one(tmp_path, build, name):
    pad = RANDOM_PAD if name.endswith(".gz") else PAD
    big = build(pad)
    assert len(big) >= 256 << 10
    expected = outcome(tmp_path, build(""), name)
    assert outcome(tmp_path, big, name) == expected


def test_mapped_byte_in_a_skipped_block_decides_the_encoding(tmp_path):
    """The only non-ASCII byte of the file lies in a block passed over: the file is still windows-1252, and the
    memory-bomb guard measures its decoded text (one byte longer, the declaration five bytes shorter)."""
    e = "<set></set>"
    bomb = ("<eigenvalues><array><set><set><set>" + "<r>0 0</r>" * 1000 + "</set>" + e * 999 + "</set>" + e * 999
            + "</set></array></eigenvalues>")
    data = latin_skipped(make_doc(calculation_xml(body=SKIPPED + bomb)) + PAD)
    assert load_error(tmp_path, data).startswith(f"Unexpected array shape: expected [{len(data) + 1 - 5}], got [")
