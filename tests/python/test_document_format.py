"""The system document's text: golden documents and what the reader accepts."""

import pytest

import vedov
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


# How numbers are written and which plain spellings read as which value is the number format's
# own business (tests/cpp/number_format_test.cpp); here, tags and anchors on a number.
@pytest.mark.parametrize(
    "spelling, value",
    [("!!float 3", "3.0"), ("!!float '1.5'", "1.5"), ("!!int 0x10", "16.0"), ("!local 2.5", "2.5"),
     ("&n 4.25", "4.25")],
)
def test_tagged_and_anchored_numbers(tmp_path, spelling, value):
    system = load_text(tmp_path, EMPTY_HEAD + f"meas_lines: []\nsimul_dt: {spelling}\nmeas_dt: 0\n")
    assert saved_text(system, tmp_path).splitlines()[-2] == f"simul_dt: {value}"


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
