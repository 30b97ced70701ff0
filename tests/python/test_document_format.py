"""The system document's text: golden documents, the number format, what the reader accepts."""

import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vedov
from conftest import bits
from document_helpers import DATA, EMPTY_HEAD, EMPTY_TAIL, load_text, saved_text

GOLDEN = ["empty.yaml", "default_layers.yaml", "small_system.yaml", "every_variant.yaml"]


@pytest.mark.parametrize("name", GOLDEN)
def test_golden_document_loads_and_saves_unchanged(tmp_path, name):
    text = (DATA / name).read_text(encoding="utf-8")
    system = vedov.SystemGeom.load_yaml(str(DATA / name))
    assert type(system) is vedov.SystemGeom
    assert saved_text(system, tmp_path) == text


def test_new_systems_save_as_the_golden_documents(tmp_path, empty):
    assert saved_text(empty, tmp_path) == (DATA / "empty.yaml").read_text()
    empty.add_cov_layer()
    assert saved_text(empty, tmp_path) == (DATA / "default_layers.yaml").read_text()


def test_loaded_system_is_independent(tmp_path):
    path = str(DATA / "small_system.yaml")
    first = vedov.SystemGeom.load_yaml(path)
    second = vedov.SystemGeom.load_yaml(path)
    first.set_pupil(2.0, 0.0)
    assert first is not second
    assert "rad_outer: 1.0" in saved_text(first, tmp_path)
    assert "rad_outer: 4.0" in saved_text(second, tmp_path)


def time_steps(system, tmp_path):
    """The two time steps as the saved document writes them."""
    lines = saved_text(system, tmp_path).splitlines()
    return lines[-2].removeprefix("simul_dt: "), lines[-1].removeprefix("meas_dt: ")


@pytest.mark.parametrize(
    "value, text",
    [
        (0.0, "0.0"), (-0.0, "-0.0"), (math.nan, ".nan"), (math.inf, ".inf"), (-math.inf, "-.inf"),
        (0.1, "0.1"), (1e-7, "1e-7"), (1e16, "1e16"), (1e15, "1000000000000000.0"),
        (1e-5, "0.00001"), (1e-6, "1e-6"), (5e-324, "5e-324"), (60, "60.0"), (2.062782, "2.062782"),
        (-1.5e300, "-1.5e300"), (123456.789, "123456.789"),
    ],
)
def test_number_format(tmp_path, empty, value, text):
    empty.set_dt(value, value)
    assert time_steps(empty, tmp_path) == (text, text)


def round_trip(tmp_path, simul_dt, meas_dt):
    system = vedov.SystemGeom.new_empty()
    system.set_dt(simul_dt, meas_dt)
    system.set_pupil(simul_dt, meas_dt)
    first = saved_text(system, tmp_path, "first.yaml")
    loaded = vedov.SystemGeom.load_yaml(str(tmp_path / "first.yaml"))
    second = saved_text(loaded, tmp_path, "second.yaml")
    assert second == first
    return [float(v.replace(".nan", "nan").replace(".inf", "inf")) for v in time_steps(loaded, tmp_path)]


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b)


@settings(max_examples=300, deadline=None)
@given(st.floats(allow_nan=True, allow_infinity=True), st.floats(width=64))
def test_any_float_survives_save_and_load(tmp_path_factory, simul_dt, meas_dt):
    tmp_path = tmp_path_factory.mktemp("floats")
    back = round_trip(tmp_path, simul_dt, meas_dt)
    assert same_float(back[0], simul_dt) and same_float(back[1], meas_dt)


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1))
def test_any_bit_pattern_survives_save_and_load(tmp_path_factory, a, b):
    tmp_path = tmp_path_factory.mktemp("patterns")
    simul_dt, meas_dt = (struct.unpack("<d", struct.pack("<Q", p))[0] for p in (a, b))
    back = round_trip(tmp_path, simul_dt, meas_dt)
    assert same_float(back[0], simul_dt) and same_float(back[1], meas_dt)


@pytest.mark.parametrize(
    "spelling, value",
    [
        ("60", 60.0), ("-7", -7.0), ("+5", 5.0), ("0x1F", 31.0), ("-0x10", -16.0), ("0o17", 15.0),
        ("0b101", 5.0), ("1e3", 1000.0), ("2.5E-3", 0.0025), (".5", 0.5), ("-.5", -0.5),
        ("1e-400", 0.0), (".Inf", math.inf), ("+.INF", math.inf), ("-.Inf", -math.inf),
        (".NaN", math.nan), ("!!float 3", 3.0), ("!!float '1.5'", 1.5), ("!!int 0x10", 16.0),
        ("!local 2.5", 2.5), ("&n 4.25", 4.25), ("18446744073709551617", 18446744073709551617.0),
    ],
)
def test_number_spellings(tmp_path, spelling, value):
    system = load_text(tmp_path, EMPTY_HEAD + f"meas_lines: []\nsimul_dt: {spelling}\nmeas_dt: 0\n")
    assert same_float(round_trip_value(system, tmp_path), value)


def round_trip_value(system, tmp_path):
    text = time_steps(system, tmp_path)[0]
    return float(text.replace(".nan", "nan").replace(".inf", "inf"))


def test_tolerant_reading(tmp_path):
    """Comments, flow style, quoted keys, unknown keys, anchors, aliases and merge keys."""
    text = """# a hand-written system
unknown_top: {whatever: [1, 2, {deep: !!binary aGk=}]}  # skipped
meas:
- !SlopeTwoLine {line_pos: &pos {x0: 0.5, xz: 0, y0: 0, yz: 0, note: extra}, line_neg: *pos}
- !SlopeTwoEdge
  <<: &edge {edge_length: 4, edge_separation: 0.5, npoints: 0x10, altitude: .inf}
  central_line: {"x0": 1, 'xz': 0, y0: 0, yz: 0}
  gradient_axis: {x: 1, y: 0}
  npoints: 8
phi: [Zero]
ts: []
com: [!Zero , !TipTilt {unit_response: {x: 1, y: 0}}]
cov_model: []
pupil: {rad_outer: 4, rad_inner: 0.5, spider_thickness: 0.1,
        spiders: [[{x: 0, y: 0}, {x: 4, y: 0}]]}
meas_lines: [*pos]
simul_dt: 1
meas_dt: 2
"""
    saved = saved_text(load_text(tmp_path, text), tmp_path)
    expected = """meas:
- !SlopeTwoLine
  line_pos:
    x0: 0.5
    xz: 0.0
    y0: 0.0
    yz: 0.0
  line_neg:
    x0: 0.5
    xz: 0.0
    y0: 0.0
    yz: 0.0
- !SlopeTwoEdge
  central_line:
    x0: 1.0
    xz: 0.0
    y0: 0.0
    yz: 0.0
  edge_length: 4.0
  edge_separation: 0.5
  gradient_axis:
    x: 1.0
    y: 0.0
  npoints: 8
  altitude: .inf
phi:
- Zero
ts: []
com:
- Zero
- !TipTilt
  unit_response:
    x: 1.0
    y: 0.0
cov_model: []
pupil:
  rad_outer: 4.0
  rad_inner: 0.5
  spider_thickness: 0.1
  spiders:
  - - x: 0.0
      y: 0.0
    - x: 4.0
      y: 0.0
meas_lines:
- x0: 0.5
  xz: 0.0
  y0: 0.0
  yz: 0.0
simul_dt: 1.0
meas_dt: 2.0
"""
    assert saved == expected
    assert "note" not in saved and "unknown_top" not in saved


@pytest.mark.parametrize("pupil", ["", "pupil: ~\n", "pupil:\n", "pupil: null\n", "pupil: NULL\n",
                                   "pupil: !!null\n"])
def test_absent_pupil(tmp_path, pupil):
    system = load_text(tmp_path, EMPTY_HEAD + pupil + EMPTY_TAIL)
    assert "pupil: null\n" in saved_text(system, tmp_path)


def test_empty_plain_values_read_as_empty_collections(tmp_path):
    text = "meas:\nphi:\nts: []\ncom: []\ncov_model: []\n" + EMPTY_TAIL
    assert saved_text(load_text(tmp_path, text), tmp_path) == (DATA / "empty.yaml").read_text()


def test_documents_with_explicit_markers_load(tmp_path):
    text = "%YAML 1.1\n---\n" + (DATA / "empty.yaml").read_text() + "...\n"
    assert saved_text(load_text(tmp_path, text), tmp_path) == (DATA / "empty.yaml").read_text()
