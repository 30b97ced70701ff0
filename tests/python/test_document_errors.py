"""Failures of load_yaml by kind: encoding, syntax and content (bombs: test_hostile_input.py)."""

import pytest

from document_helpers import EMPTY_HEAD, EMPTY_TAIL, load_text, panic_message

LINE = "{x0: 0, xz: 0, y0: 0, yz: 0}"


def failure(tmp_path, text):
    return panic_message(lambda: load_text(tmp_path, text))


@pytest.mark.parametrize("text", [b"meas: \xff\n", b"\xc3\x28", b"a: \xed\xa0\x80", b"\xf4\x90\x80\x80",
                                  b"a: \xe2\x82"])
def test_invalid_utf8(tmp_path, text):
    assert failure(tmp_path, text) == (
        'Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }')


@pytest.mark.parametrize(
    "text, error",
    [
        ("a: b: c\n", 'Error { kind: SCANNER, problem: "mapping values are not allowed in this '
         'context", problem_mark: Mark { line: 1, column: 5 } }'),
        ("meas: [1,\n", 'Error { kind: PARSER, problem: "did not find expected node content", '
         'problem_mark: Mark { line: 2, column: 1 }, context: "while parsing a flow node", '
         'context_mark: Mark { line: 2, column: 1 } }'),
        ('key: "\\q"\n', 'Error { kind: SCANNER, problem: "found unknown escape character", '
         'problem_mark: Mark { line: 1, column: 7 }, context: "while parsing a quoted scalar", '
         'context_mark: Mark { line: 1, column: 6 } }'),
        ("a: 1\nb:\x01\n", 'Error { kind: READER, problem: "control characters are not allowed", '
         'problem_mark: Mark { line: 2, column: 3 } }'),
        # a syntax error anywhere wins over content errors before it
        ("meas: 5\n---\n[\n", 'Error { kind: PARSER, problem: "did not find expected node '
         'content", problem_mark: Mark { line: 4, column: 1 }, context: "while parsing a flow '
         'node", context_mark: Mark { line: 4, column: 1 } }'),
    ],
)
def test_syntax_errors(tmp_path, text, error):
    assert failure(tmp_path, text) == error


def nested(field, value):
    """A complete document whose field `field` holds `value`."""
    fields = {"meas": "[]", "phi": "[]", "ts": "[]", "com": "[]", "cov_model": "[]",
              "pupil": "null", "meas_lines": "[]", "simul_dt": "0", "meas_dt": "0"}
    fields[field] = value
    return "".join(f"{k}: {v}\n" for k, v in fields.items())


CONTENT_ERRORS = [
    # document count and the root
    ("", 'Error("EOF while parsing a value")'),
    ("# only a comment\n", 'Error("EOF while parsing a value")'),
    (EMPTY_HEAD + EMPTY_TAIL + "---\n" + EMPTY_HEAD + EMPTY_TAIL,
     'Error("deserializing from YAML containing more than one document is not supported")'),
    ("---\n", 'Error("missing field `meas`", line: 2, column: 1)'),
    ("[1, 2]\n", 'Error("invalid type: sequence, expected struct SystemGeom", line: 1, column: 1)'),
    ("4\n", 'Error("invalid type: integer `4`, expected struct SystemGeom", line: 1, column: 1)'),
    ("abc\n", 'Error("invalid type: string \\"abc\\", expected struct SystemGeom", line: 1, '
     'column: 1)'),
    # missing and duplicate fields
    (EMPTY_HEAD + "meas_lines: []\nsimul_dt: 0\n",
     'Error("missing field `meas_dt`", line: 1, column: 1)'),
    ("phi: []\n", 'Error("missing field `meas`", line: 1, column: 1)'),
    (EMPTY_HEAD + "meas: []\n" + EMPTY_TAIL, 'Error("duplicate field `meas`", line: 6, column: 1)'),
    (nested("meas_lines", "[{x0: 1, xz: 0, y0: 0}]"),
     'Error("meas_lines[0]: missing field `yz`", line: 7, column: 14)'),
    (nested("meas", "\n- !SlopeTwoLine\n  line_pos:\n    x0: 1\n"),
     'Error("meas[0].line_pos: missing field `xz`", line: 4, column: 5)'),
    (nested("cov_model", "[{r0: 1, l0: 2, alt: 3, v: {x: 1, x: 2}}]"),
     'Error("cov_model[0].v: duplicate field `x`", line: 5, column: 46)'),
    # variants
    (nested("meas", f"[!Slope {{line: {LINE}}}]"),
     'Error("meas[0]: unknown variant `Slope`, expected one of `Zero`, `Phase`, `SlopeTwoLine`, '
     '`SlopeTwoEdge`", line: 1, column: 8)'),
    (nested("com", "[Gauss]"),
     'Error("com[0]: unknown variant `Gauss`, expected one of `Zero`, `Gaussian`, `TipTilt`", '
     'line: 4, column: 7)'),
    (nested("com", "[{Gaussian: {sigma: 1}}]"),
     'Error("com[0]: invalid type: map, expected a YAML tag starting with \'!\'", line: 4, '
     'column: 7)'),
    (nested("meas", "[[1]]"),
     'Error("meas[0]: invalid type: sequence, expected a YAML tag starting with \'!\'", line: 1, '
     'column: 8)'),
    (nested("phi", "[Phase]"),
     'Error("phi[0]: invalid type: unit variant, expected struct variant", line: 2, column: 7)'),
    (nested("phi", "[!Phase [1]]"),
     'Error("phi[0]: invalid type: sequence, expected struct variant Measurement::Phase", '
     'line: 2, column: 7)'),
    (nested("ts", "[!SlopeTwoLine 5]"),
     'Error("ts[0]: invalid type: integer `5`, expected struct variant '
     'Measurement::SlopeTwoLine", line: 3, column: 6)'),
    (nested("com", "[!TipTilt {}]"),
     'Error("com[0]: missing field `unit_response`", line: 4, column: 7)'),
    (nested("com", "[!Gaussian x]"),
     'Error("com[0]: invalid type: string \\"x\\", expected struct variant Actuator::Gaussian", '
     'line: 4, column: 7)'),
    (nested("com", "[!Zero {}]"), 'Error("com[0]: invalid type: map, expected unit", line: 4, '
     'column: 7)'),
    (nested("meas", "[!SlopeTwoEdge {}]"),
     'Error("meas[0]: missing field `central_line`", line: 1, column: 8)'),
    # numbers
    (nested("simul_dt", "'1.5'"),
     'Error("simul_dt: invalid type: string \\"1.5\\", expected f64", line: 8, column: 11)'),
    (nested("simul_dt", "true"),
     'Error("simul_dt: invalid type: boolean `true`, expected f64", line: 8, column: 11)'),
    (nested("meas_dt", "~"), 'Error("meas_dt: invalid type: unit value, expected f64", line: 9, '
     'column: 10)'),
    (nested("meas_dt", "1e400"),
     'Error("meas_dt: invalid type: string \\"1e400\\", expected f64", line: 9, column: 10)'),
    (nested("meas_dt", "{a: 1}"),
     'Error("meas_dt: invalid type: map, expected f64", line: 9, column: 10)'),
    (nested("simul_dt", "!!int 1.5"),
     'Error("simul_dt: invalid value: string \\"1.5\\", expected an integer", line: 8, '
     'column: 11)'),
    (nested("meas", "[!SlopeTwoEdge {npoints: 4.0}]"),
     'Error("meas[0].npoints: invalid type: floating point `4.0`, expected u64", line: 1, '
     'column: 32)'),
    (nested("meas", "[!SlopeTwoEdge {npoints: -1}]"),
     'Error("meas[0].npoints: invalid value: integer `-1`, expected u64", line: 1, column: 32)'),
    (nested("meas", "[!SlopeTwoEdge {npoints: 18446744073709551616}]"),
     'Error("meas[0].npoints: invalid value: integer `18446744073709551616`, expected u64", '
     'line: 1, column: 32)'),
    # sequences, records and spiders
    (nested("meas_lines", "5"),
     'Error("meas_lines: invalid type: integer `5`, expected a sequence", line: 7, column: 13)'),
    (nested("cov_model", "{r0: 1}"),
     'Error("cov_model: invalid type: map, expected a sequence", line: 5, column: 12)'),
    (nested("meas_lines", "[[0, 0, 0, 0]]"),
     'Error("meas_lines[0]: invalid type: sequence, expected struct Line", line: 7, column: 14)'),
    (nested("pupil", "'null'"),
     'Error("pupil: invalid type: string \\"null\\", expected struct Pupil", line: 6, column: 8)'),
    (nested("pupil", "{rad_outer: 1, rad_inner: 0, spider_thickness: 0, spiders: [[{x: 0, y: 0}]]}"),
     'Error("pupil.spiders[0]: invalid length 1, expected a tuple of size 2", line: 6, '
     'column: 68)'),
    (nested("pupil", "{rad_outer: 1, rad_inner: 0, spider_thickness: 0, spiders: [[]]}"),
     'Error("pupil.spiders[0]: invalid length 0, expected a tuple of size 2", line: 6, '
     'column: 68)'),
    (nested("pupil", "{rad_outer: 1, rad_inner: 0, spider_thickness: 0, "
            "spiders: [[{x: 0, y: 0}, {x: 0, y: 0}, {x: 0, y: 0}]]}"),
     'Error("pupil.spiders[0]: invalid length 3, expected sequence of 2 elements", line: 6, '
     'column: 68)'),
    (nested("pupil", "{rad_outer: 1, rad_inner: 0, spider_thickness: 0, spiders: [{x: 1}]}"),
     'Error("pupil.spiders[0]: invalid type: map, expected a tuple of size 2", line: 6, '
     'column: 68)'),
    (nested("pupil", "{rad_outer: 1, rad_inner: 0, spider_thickness: 0, "
            "spiders: [[{x: 0, y: 0}, {x: 0}]]}"),
     'Error("pupil.spiders[0][1]: missing field `y`", line: 6, column: 83)'),
    # keys, anchors and merges
    ("? [a]\n: 1\n", 'Error("invalid type: sequence, expected field identifier", line: 1, '
     'column: 3)'),
    (nested("meas_lines", "[*nowhere]"), 'Error("unknown anchor", line: 7, column: 14)'),
    (nested("meas_lines", "[{<<: 1}]"),
     'Error("meas_lines[0]: expected a mapping or list of mappings for merging, but found '
     'scalar", line: 7, column: 19)'),
    # the message's own quotes and backslashes are escaped
    (nested("simul_dt", '"a\\"b\\\\c"'),
     'Error("simul_dt: invalid type: string \\"a\\\\\\"b\\\\\\\\c\\", expected f64", line: 8, '
     'column: 11)'),
]


@pytest.mark.parametrize("text, error", CONTENT_ERRORS,
                         ids=[error[7:60] for _, error in CONTENT_ERRORS])
def test_content_errors(tmp_path, text, error):
    assert failure(tmp_path, text) == error

