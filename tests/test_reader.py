"""Reader primitives observed through small documents: text reading, entities, skipping, numbers, markup."""

import math
import random

import pytest

import calcsift
from conftest import DECL, calculation_xml, dos_xml, energy_xml, make_doc

INF, NAN = math.inf, math.nan


def same_floats(got, expected):
    return len(got) == len(expected) and all(
        (math.isnan(e) and math.isnan(g)) or (g == e and math.copysign(1, g) == math.copysign(1, e))
        for g, e in zip(got, expected))


# --- read_text: trimming, last piece, entities --------------------------------------------------------------

@pytest.mark.parametrize("raw, expected", [
    (" 1 2 3 ", "1 2 3"),
    ("\n\t vasp \r\n", "vasp"),
    ("\u00a0vasp\u2003", "vasp"),                 # Unicode whitespace around the text is trimmed too
    ("a<!-- c -->b", "b"),                        # only the last text piece counts
    ("a <![CDATA[zz]]>", "a"),                    # CDATA is not text
    ("a<![CDATA[zz]]> b", "b"),
    ("a<?pi x?>b", "b"),
    ("<x/>b", "b"),
    ("head<x>inner</x>tail", "inner"),            # the End of a nested element ends the read
    ("   ", ""),
    ("", ""),
    ("&lt;&gt;&amp;&apos;&quot;", "<>&'\""),
    ("caf&#233;&#xe9;&#x1F600;", "caféé\U0001F600"),
    ("&#32;x&#x20;", "x"),                        # unescaped first, then trimmed
    ("a &amp;&amp; b", "a && b"),
    ("&amp;lt;", "&lt;"),                         # unescaping is done once
])
def test_read_text(doc, raw, expected):
    assert doc(make_doc(program=raw)).program == expected


@pytest.mark.parametrize("raw", ["&foo;", "&#0;", "&#xD800;", "&#x110000;", "&#12a;", "&#;", "a & b", "&amp"])
def test_bad_entity_is_a_message_error(doc_error, raw):
    text = doc_error(make_doc(program=raw))
    assert text and not text.startswith(("XML parse error", "Missing element", "I/O error", "Failed to parse"))


def test_attribute_value_is_not_unescaped(doc):
    v = doc(make_doc(incar='<i type="string" name="A&amp;B">x &amp; y</i><i name="C&#233;">1</i>'))
    assert v.incar == {"A&amp;B": "x & y", "C&#233;": 1.0}


# --- skip_element ------------------------------------------------------------------------------------------

def test_skip_element_depth_ignores_empty_elements(doc):
    head = '<parameters><b/><parameters>t</parameters><c a="1"/></parameters>\n'
    assert doc(make_doc(head=head, program="after-skip")).program == "after-skip"


def test_end_tag_name_whitespace_is_ignored(doc):
    calc = calculation_xml(-1.0).replace("</calculation>", "</calculation \n\t>")
    assert [s["e_fr_energy"] for s in doc(make_doc(calc + calculation_xml(-2.0))).ionic_steps] == [-1.0, -2.0]


@pytest.mark.parametrize("body, skipped", [
    ("<unknown><x>text", "unknown"),
    ("<parameters><x>text", "parameters"),  # passed over like any unknown element, then read on its own
])
def test_skip_element_eof(doc_error, body, skipped):
    assert doc_error(DECL + "<modeling>" + body) == f"Missing element <EOF while skipping <{skipped}>>"


# --- fast_skip ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("inside", [
    "<dos></dos>",                               # an inner dos: its closing tag ends the skip
    "<!-- </dos> -->",                           # so does one inside a comment
    "<![CDATA[</dos>]]>",
])
def test_fast_skip_ends_at_first_closing_tag(doc, inside):
    calc = calculation_xml(-1.0, body="<dos>" + inside + energy_xml(7.0) + "</dos>\n")
    v = doc(make_doc(calc), parse_dos=False)
    assert v.dos is None and v.ionic_steps[0]["e_fr_energy"] == 7.0


def test_fast_skip_does_not_tokenise(doc, doc_error):
    calc = calculation_xml(-1.0, body="<dos> <!BOGUS> & <<< ]]> </dos>\n" + energy_xml(3.0))
    assert doc(make_doc(calc), parse_dos=False).ionic_steps[0]["e_fr_energy"] == 3.0
    doc_error(make_doc(calc), parse_dos=True)


@pytest.mark.parametrize("tag, options", [
    ("dos", {"parse_dos": False}),
    ("eigenvalues", {"parse_eigen": False}),
    ("projected", {}),
])
def test_fast_skip_not_found(doc_error, tag, options):
    calc = calculation_xml(body=f"<{tag}><x/></{tag} >\n")   # whitespace before '>' is not a match
    assert doc_error(make_doc(calc), **options) == f"Missing element <fast_skip: could not find </{tag}>>"


@pytest.mark.parametrize("encode", [lambda t: t.encode(), lambda t: b"\xef\xbb\xbf" + t.encode(),
                                    lambda t: t.encode("cp1252"), lambda t: b"\xff\xfe" + t.encode("utf-16-le")],
                         ids=["utf-8", "utf-8-bom", "windows-1252", "utf-16"])
def test_fast_skip_offsets_after_bom_and_decoding(doc, encode):
    calcs = calculation_xml(-1.0, body="<dos></dos>" + energy_xml(7.0)) + calculation_xml(-2.0, body=dos_xml())
    v = doc(encode(make_doc(calcs, program="é")), parse_dos=False)     # the declaration is rewritten, too
    assert ([s["e_fr_energy"] for s in v.ionic_steps], v.program) == ([7.0, -2.0], "é")


@pytest.mark.parametrize("parse_dos", [True, False])
def test_empty_element_is_not_skipped(doc, parse_dos):
    calc = calculation_xml(-1.0, body="<dos/><eigenvalues/><projected/>" + energy_xml(5.0))
    v = doc(make_doc(calc + calculation_xml(-2.0, body=dos_xml(2.5))), parse_dos=parse_dos)
    assert [s["e_fr_energy"] for s in v.ionic_steps] == [5.0, -2.0]
    assert v.efermi == (2.5 if parse_dos else None)


# --- parse_floats / parse_v3 -------------------------------------------------------------------------------

def magnetization(doc, text):
    calc = calculation_xml(body=f'<varray name="magnetization"><v>{text}</v></varray>\n')
    return doc(make_doc(calc)).ionic_steps[0]["magnetization"]


def test_float_grammar(doc):
    tokens = {"1.0": 1.0, "-2.5e-3": -0.0025, "********": NAN, "*": NAN, "nan": NAN, "NaN": NAN,
              "inf": INF, "-Infinity": -INF, "+INF": INF, "+1.5": 1.5, "1e400": INF, "-1e400": -INF,
              "1e-400": 0.0, "-0.0": -0.0, ".5": 0.5, "5.": 5.0, "1E2": 100.0, "007": 7.0, "0.1": 0.1,
              "2.2250738585072014e-308": 2.2250738585072014e-308, "1.7976931348623157e308": 1.7976931348623157e308}
    text = " \t".join(tokens) + "\n"
    assert same_floats(magnetization(doc, text)[0], list(tokens.values()))


def test_float_rounding_matches_python(doc):
    rng = random.Random(7)
    tokens = [f"{rng.choice('-+') if rng.random() < 0.3 else ''}{rng.randrange(10 ** rng.randrange(1, 21))}"
              f".{rng.randrange(10 ** 20):020d}"[:rng.randrange(3, 26)] for _ in range(3000)]
    tokens = [t for t in tokens if t[-1].isdigit()] + [f"{rng.uniform(-1e3, 1e3)!r}" for _ in range(500)]
    assert magnetization(doc, " ".join(tokens))[0] == [float(t) for t in tokens]


@pytest.mark.parametrize("text, expected", [("1\u00a02\u20033", [1.0, 2.0, 3.0]), ("", []), ("  \n ", [])])
def test_float_splitting(doc, text, expected):
    assert magnetization(doc, text) == [expected]


@pytest.mark.parametrize("token", ["1.0D+01", "1.0d0", "0x10", "1_000", "1.0,", "abc", "1e", "1e+", ".", "--1",
                                   "1**", "**1", "inff", "1.0.0", "e5", "+", "-", "1-2", "1+2", "−1"])
def test_bad_float(doc_error, token):
    calc = calculation_xml(body=f'<varray name="magnetization"><v>1.0 {token} zz</v></varray>\n')
    assert doc_error(make_doc(calc)) == f"Failed to parse value '{token}' as f64: invalid float"


@pytest.mark.parametrize("text, expected", [
    ("1 2 3 4", [1.0, 2.0, 3.0]),
    ("1 2", "Failed to parse value '1 2' as [f64; 3]: expected 3 values, got 2"),
    ("1\t  2", "Failed to parse value '1\t  2' as [f64; 3]: expected 3 values, got 2"),
    ("  ", "Failed to parse value '' as [f64; 3]: expected 3 values, got 0"),
    ("1 x 3", "Failed to parse value 'x' as f64: invalid float"),
    ("1 2 ****", [1.0, 2.0, NAN]),
])
def test_parse_v3(doc, doc_error, text, expected):
    calc = make_doc(calculation_xml(body=f'<varray name="forces"><v>{text}</v></varray>\n'))
    if isinstance(expected, str):
        assert doc_error(calc) == expected
    else:
        assert same_floats(doc(calc).ionic_steps[0]["forces"][0], expected)


# --- markup ------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("tail", ["<calculation", "<", "</modeling", "<!-- open", "<![CDATA[ open", "<?pi open",
                                  "<!BOGUS>", "<calculation><energy><i name='e_fr_energy'>1</i", "<!DOCTYPE x [ <"])
def test_malformed_markup(doc_error, tail):
    assert doc_error(make_doc(close=False) + tail).startswith("XML parse error: ")


@pytest.mark.parametrize("declaration", [True, False])
def test_leading_bom_is_not_text(doc, declaration):
    v = doc(b"\xef\xbb\xbf" + make_doc(declaration=declaration).encode())
    assert v.program == "vasp"


def test_comments_cdata_pi_doctype_ignored(doc):
    noise = '<!-- <generator> --><?pi <x>?><![CDATA[<kpoints>]]> stray &bad; text\n'
    body = ('<!DOCTYPE modeling [ <!ENTITY x "y"> ]>\n' + noise + "<modeling/>" + noise
            + make_doc(declaration=False, head=noise, sections=noise + calculation_xml(-4.0) + noise))
    v = doc(DECL + body)
    assert (v.program, len(v.ionic_steps)) == ("vasp", 1)


@pytest.mark.parametrize("path", ["missing\0.xml", "run.xml.gz\0"])
def test_nul_in_path_is_refused_before_opening(path):
    with pytest.raises(RuntimeError) as err:
        calcsift.Vasprun(path)
    assert str(err.value) == "I/O error: file name contained an unexpected NUL byte"
