"""Interaction, projection and covariance matrices: shapes, rules, determinism and refusals."""

import random

import pytest

import records
import reference
import vedov
from conftest import OUT_OF_BOUNDS, bits, expect_refusal, panic_message
from document_helpers import load_text

SystemGeom, SystemMatrices, ReconMatrices = vedov.SystemGeom, vedov.SystemMatrices, vedov.ReconMatrices

STARS = [(-15.0, -15.0), (15.0, 15.0)]


def small_system(nsubx=3, gsalt=90000.0, layers=True, pupil=True, ttdm=True):
    s = SystemGeom.new_empty()
    s.add_com(0.75, 4, (0.1, -0.05), 0.0, 0.3, 0.1, 0.0, 1.0)
    s.add_com(1.0, 2, (0.0, 0.0), 6000.0, 0.2, 0.0, 0.1, 0.5)
    if ttdm:
        s.add_ttdm(1.5)
    s.add_meas(4.0, nsubx, STARS, gsalt, [(0.0, 0.0), (0.1, 0.0)], [0.0, 0.2], [0.0, 0.05])
    s.add_meas(4.0, 2, [(0.0, 0.0)], float("inf"), [(0.0, 0.0)], [0.0], [0.0])
    s.add_phi(4.0, 4)
    s.add_ts(4.0, 3, [(5.0, -5.0)])
    if layers:
        s.add_cov_layer()
    if pupil:
        s.set_pupil(4.0, 0.3)
    s.set_dt(0.01, 0.02)
    return s


def shape(matrix):
    return len(matrix), sorted({len(row) for row in matrix})


def flat_bits(matrix):
    return [bits(v) for row in matrix for v in row]


def test_shapes_follow_the_lists():
    s = small_system()
    meas, phi, ts, com = 2 * 2 * 9 + 2 * 4, 16, 9, 16 + 4 + 2
    r = ReconMatrices.new(s)
    assert shape(r.c_meas_meas) == (meas, [meas])
    assert shape(r.c_ts_meas) == (ts, [meas])
    assert shape(r.d_meas_com) == (meas, [com])
    assert shape(r.d_ts_com) == (ts, [com])
    assert len(r.p_meas) == meas
    m = SystemMatrices.new(s)
    assert shape(m.c_phi_phi) == (phi, [phi])
    assert shape(m.c_phip1_phi) == (phi, [phi])
    assert shape(m.c_meas_phi) == (meas, [phi])
    assert shape(m.d_meas_com) == (meas, [com])
    assert shape(m.d_phi_com) == (phi, [com])
    assert len(m.p_phi) == phi and len(m.p_meas) == meas
    assert shape(s.imat()) == (meas, [com])
    assert len(s.pmeas()) == meas


def test_the_same_interaction_matrix_and_projection_everywhere():
    s = small_system()
    imat, pmeas = flat_bits(s.imat()), [bits(v) for v in s.pmeas()]
    assert set(s.pmeas()) == {0.0, 1.0}
    for products in (ReconMatrices.new(s), SystemMatrices.new(s)):
        assert flat_bits(products.d_meas_com) == imat
        assert [bits(v) for v in products.p_meas] == pmeas


def test_empty_system():
    e = SystemGeom.new_empty()
    m = SystemMatrices.new(e)
    for name in ["c_phi_phi", "c_phip1_phi", "c_meas_phi", "d_meas_com", "d_phi_com", "p_phi",
                 "p_meas"]:
        assert getattr(m, name) == []
    r = ReconMatrices.new(e)
    for name in ["c_ts_meas", "c_meas_meas", "d_ts_com", "d_meas_com", "p_meas"]:
        assert getattr(r, name) == []
    assert e.imat() == [] and e.pmeas() == [] and e.imat_sparse([]) == []


def test_no_phase_samples_no_actuators_no_truth_sensors():
    s = SystemGeom.new_empty()
    s.add_meas(4.0, 2, [(0.0, 0.0)], float("inf"), [(0.0, 0.0)], [0.0], [0.0])
    s.add_cov_layer()
    m = SystemMatrices.new(s)
    assert m.c_phi_phi == [] and m.c_phip1_phi == [] and m.d_phi_com == [] and m.p_phi == []
    assert m.c_meas_phi == [[]] * 8
    assert m.d_meas_com == [[]] * 8
    r = ReconMatrices.new(s)
    assert r.c_ts_meas == [] and r.d_ts_com == []
    assert r.d_meas_com == [[]] * 8
    assert s.imat() == [[]] * 8


def test_without_layers_every_covariance_is_zero():
    s = small_system(layers=False)
    r, m = ReconMatrices.new(s), SystemMatrices.new(s)
    for matrix in [r.c_meas_meas, r.c_ts_meas, m.c_phi_phi, m.c_phip1_phi, m.c_meas_phi]:
        assert all(v == 0.0 for row in matrix for v in row)


def test_without_pupil_projections_are_ones():
    s = small_system(pupil=False)
    assert [bits(v) for v in s.pmeas()] == [bits(1.0)] * 44
    assert ReconMatrices.new(s).p_meas == [1.0] * 44
    m = SystemMatrices.new(s)
    assert m.p_meas == [1.0] * 44 and m.p_phi == [1.0] * 16


def test_phase_projection_samples_the_phase_points():
    s = SystemGeom.new_empty()
    s.add_phi(4.0, 4)  # x, y in {-1.5, -0.5, 0.5, 1.5}
    s.set_pupil(4.0, 0.5)  # obstruction radius 1.0
    p_phi = SystemMatrices.new(s).p_phi
    inside = [0.0 if abs(x) < 1 and abs(y) < 1 else (1.0 if x * x + y * y <= 4 else 0.0)
              for x in (-1.5, -0.5, 0.5, 1.5) for y in (-1.5, -0.5, 0.5, 1.5)]
    assert p_phi == inside


def test_time_lags():
    s = small_system()
    s.set_dt(0.0, 0.0)
    m = SystemMatrices.new(s)
    assert flat_bits(m.c_phip1_phi) == flat_bits(m.c_phi_phi)
    s.set_dt(0.05, 0.0)
    m2 = SystemMatrices.new(s)
    assert flat_bits(m2.c_phip1_phi) != flat_bits(m2.c_phi_phi)
    assert flat_bits(m2.c_phi_phi) == flat_bits(m.c_phi_phi)
    r0 = ReconMatrices.new(s)
    s.set_dt(0.05, 0.02)
    r1 = ReconMatrices.new(s)
    assert flat_bits(r1.c_meas_meas) == flat_bits(r0.c_meas_meas)
    assert flat_bits(r1.c_ts_meas) != flat_bits(r0.c_ts_meas)


def test_properties_are_fresh_lists():
    r = ReconMatrices.new(small_system(nsubx=2))
    first, second = r.c_meas_meas, r.c_meas_meas
    assert first == second and first is not second and first[0] is not second[0]
    first[0][0] = "changed"
    first.append(None)
    assert r.c_meas_meas == second
    p = r.p_meas
    p.clear()
    assert len(r.p_meas) == len(second)


@pytest.mark.parametrize("cls, names", [
    (SystemMatrices, ["c_phi_phi", "c_phip1_phi", "c_meas_phi", "d_meas_com", "d_phi_com", "p_phi",
                      "p_meas"]),
    (ReconMatrices, ["c_ts_meas", "c_meas_meas", "d_ts_com", "d_meas_com", "p_meas"]),
])
def test_properties_are_read_only(cls, names):
    obj = cls.new(SystemGeom.new_empty())
    for name in names:
        assert getattr(cls, name).__doc__ is None
        with pytest.raises(AttributeError):
            setattr(obj, name, [])
        with pytest.raises(AttributeError):
            delattr(obj, name)


def test_results_do_not_follow_later_changes():
    s = small_system(nsubx=2)
    r, m = ReconMatrices.new(s), SystemMatrices.new(s)
    before = (flat_bits(r.c_meas_meas), flat_bits(m.c_meas_phi), r.p_meas)
    s.filter_meas([True, False] * 100)
    s.add_cov_layer()
    assert (flat_bits(r.c_meas_meas), flat_bits(m.c_meas_phi), r.p_meas) == before


@pytest.mark.parametrize("cls", [SystemMatrices, ReconMatrices])
@pytest.mark.parametrize("argument, described", [
    (lambda: None, "'None' is not"), (lambda: 3, "'int' object is not"),
    (lambda: ReconMatrices.new(SystemGeom.new_empty()), "'ReconMatrices' object is not"),
    (lambda: SystemMatrices.new(SystemGeom.new_empty()), "'SystemMatrices' object is not"),
])
def test_new_needs_a_system(cls, argument, described):
    message = f"argument 'system_geom': {described} an instance of 'SystemGeom'"
    expect_refusal(lambda: cls.new(argument()), TypeError, message)
    expect_refusal(lambda: cls.new(system_geom=argument()), TypeError, message)


class Reentrant:
    """A float whose conversion runs `action` while the system is held for writing."""

    def __init__(self, action):
        self.action, self.seen = action, None

    def __float__(self):
        try:
            self.action()
        except RuntimeError as error:
            self.seen = str(error)
        return 0.0


@pytest.mark.parametrize("action", [
    lambda s: ReconMatrices.new(s), lambda s: SystemMatrices.new(s), lambda s: s.imat(),
    lambda s: s.pmeas(), lambda s: s.imat_sparse([]),
])
def test_reading_a_system_held_for_writing_is_refused(action):
    s = small_system(nsubx=1)
    probe = Reentrant(lambda: action(s))
    s.set_dt(probe, 0.0)
    assert probe.seen == "Already mutably borrowed"
    action(s)  # free again


def test_imat_sparse_equals_imat_bit_for_bit():
    s = small_system()
    full = s.imat()
    pairs = [(r, c) for r in range(0, len(full), 3) for c in range(len(full[0]))]
    got = s.imat_sparse(pairs)
    assert [bits(v) for v in got] == [bits(full[r][c]) for r, c in pairs]
    assert s.imat_sparse(list(reversed(pairs))) == list(reversed(got))
    assert s.imat_sparse(((2, 1), (0, 3), (2, 1))) == [full[2][1], full[0][3], full[2][1]]
    assert s.imat_sparse(()) == []
    assert s.imat_sparse(indices=[(1, 1)]) == [full[1][1]]


def test_imat_sparse_out_of_range():
    s = small_system()
    meas, com = len(s.imat()), len(s.imat()[0])
    assert panic_message(lambda: s.imat_sparse([(meas, 0)])) == OUT_OF_BOUNDS.format(meas, meas)
    assert panic_message(lambda: s.imat_sparse([(0, com)])) == OUT_OF_BOUNDS.format(com, com)
    assert panic_message(lambda: s.imat_sparse([(meas + 5, com + 9)])) == \
        OUT_OF_BOUNDS.format(meas, meas + 5)
    assert len(s.imat()) == meas  # still usable


@pytest.mark.parametrize("indices, error, message", [
    ("ab", TypeError, "argument 'indices': Can't extract `str` to `Vec`"),
    ([[0, 0]], TypeError, "argument 'indices': 'list' object is not an instance of 'tuple'"),
    ([(0, 0, 0)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([(0, -1)], OverflowError, None),
    ([(2**64, 0)], OverflowError, "out of range integral type conversion attempted"),
    ([(0.0, 0)], TypeError, "argument 'indices': 'float' object cannot be interpreted as an integer"),
    (5, TypeError, "argument 'indices': 'int' object is not an instance of 'Sequence'"),
])
def test_imat_sparse_refusals(indices, error, message):
    s = small_system(nsubx=1)
    expect_refusal(lambda: s.imat_sparse(indices), error, message)


def test_gaussian_actuator_columns_peak_where_they_stand():
    # A phase sample straight through an actuator's centre reads its peak.
    s = SystemGeom.new_empty()
    s.add_com(1.0, 3, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 2.5)
    s.add_phi(3.0, 3)  # the same 3 x 3 points as the actuators
    d = SystemMatrices.new(s).d_phi_com
    for k in range(9):
        assert d[k][k] == 2.5


def test_ttdm_columns_are_the_last_and_read_the_tilt():
    s = SystemGeom.new_empty()
    s.add_com(1.0, 2, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
    s.add_ttdm(2.0)
    s.add_phi(4.0, 2)  # (-1, -1), (-1, 1), (1, -1), (1, 1)
    d = SystemMatrices.new(s).d_phi_com
    assert [row[4] for row in d] == [-2.0, 2.0, -2.0, 2.0]  # tilt along y
    assert [row[5] for row in d] == [-2.0, -2.0, 2.0, 2.0]  # tilt along x


# Exact elements: a handful per matrix against the model written out with math, in the same order.
def picks(rows, cols, count=12, seed=0):
    rng = random.Random(seed)
    return [(rng.randrange(rows), rng.randrange(cols)) for _ in range(count)]


@pytest.mark.parametrize("gsalt", [90000.0, float("inf")])
def test_elements_equal_the_written_model(tmp_path, gsalt):
    s = small_system(gsalt=gsalt)
    doc = records.read(s, tmp_path)
    layers, pupil = doc["cov_model"], doc["pupil"]
    r, m = ReconMatrices.new(s), SystemMatrices.new(s)

    def check_cov(matrix, rows, cols, lag):
        for i, j in picks(len(rows), len(cols)):
            expected = reference.cosample(rows[i], cols[j], layers, lag)
            assert bits(matrix[i][j]) == bits(expected), (i, j)

    check_cov(r.c_meas_meas, doc["meas"], doc["meas"], 0.0)
    check_cov(r.c_ts_meas, doc["ts"], doc["meas"], doc["meas_dt"])
    check_cov(m.c_phi_phi, doc["phi"], doc["phi"], 0.0)
    check_cov(m.c_phip1_phi, doc["phi"], doc["phi"], doc["simul_dt"])
    check_cov(m.c_meas_phi, doc["meas"], doc["phi"], 0.0)

    def check_imat(matrix, rows):
        for i, j in picks(len(rows), len(doc["com"]), count=20):
            expected = reference.sample(rows[i], doc["com"][j], reference.sample_actuator)
            assert bits(matrix[i][j]) == bits(expected), (i, j)

    check_imat(r.d_meas_com, doc["meas"])
    check_imat(r.d_ts_com, doc["ts"])
    check_imat(m.d_phi_com, doc["phi"])
    assert [bits(v) for v in m.p_phi] == [
        bits(reference.sample(p, pupil, reference.sample_pupil)) for p in doc["phi"]]
    assert [bits(v) for v in s.pmeas()] == [
        bits(reference.sample_pupil(pupil, line)) for line in doc["meas_lines"]]


EVERY_KIND = """\
meas:
- Zero
- !Phase
  line: {x0: 0.3, xz: 1.0e-5, y0: -0.2, yz: 0.0}
- !SlopeTwoLine
  line_pos: {x0: 0.5, xz: 2.0e-5, y0: 0.1, yz: 0.0}
  line_neg: {x0: -0.25, xz: 0.0, y0: 0.1, yz: -1.0e-5}
- !SlopeTwoEdge
  central_line: {x0: 0.7, xz: 3.0e-5, y0: -1.1, yz: -2.0e-5}
  edge_length: 0.5
  edge_separation: 0.45
  gradient_axis: {x: 0.6, y: 0.8}
  npoints: 3
  altitude: 90000.0
- !SlopeTwoEdge
  central_line: {x0: -0.7, xz: 0.0, y0: 1.1, yz: 0.0}
  edge_length: 0.5
  edge_separation: 0.5
  gradient_axis: {x: 0.0, y: 1.0}
  npoints: 2
  altitude: .inf
phi: []
ts:
- !Phase
  line: {x0: 0.0, xz: 7.0e-5, y0: 0.5, yz: 0.0}
com:
- Zero
- !Gaussian {sigma: 0.4, position: {x: 0.5, y: -0.5, z: 4000.0}, microns_per_volt: 0.8}
- !TipTilt {unit_response: {x: -0.0, y: 2.0}}
cov_model:
- {r0: 0.2, l0: 30.0, alt: 0.0, v: {x: 10.0, y: -3.0}}
- {r0: 0.5, l0: 25.0, alt: 8000.0, v: {x: -4.0, y: 12.0}}
pupil:
  rad_outer: 1.2
  rad_inner: 0.2
  spider_thickness: 0.1
  spiders:
  - [{x: 0.0, y: 0.0}, {x: 1.2, y: 0.3}]
  - [{x: 0.0, y: 0.0}, {x: -0.4, y: 1.1}]
meas_lines:
- {x0: 0.5, xz: 0.0, y0: 0.1, yz: 0.0}
- {x0: 0.55, xz: 0.0, y0: 0.4, yz: 0.0}
- {x0: -0.35, xz: 1.0, y0: 0.95, yz: 0.0}
- {x0: 1.2, xz: 0.0, y0: 0.0, yz: 0.0}
simul_dt: 0.0
meas_dt: 0.05
"""


def test_every_kind_equals_the_written_model(tmp_path):
    s = load_text(tmp_path, EVERY_KIND)
    doc = records.parse(EVERY_KIND)
    r = ReconMatrices.new(s)
    n = len(doc["meas"])
    for i in range(n):
        for j in range(n):
            assert bits(r.c_meas_meas[i][j]) == bits(
                reference.cosample(doc["meas"][i], doc["meas"][j], doc["cov_model"], 0.0))
        assert bits(r.c_ts_meas[0][i]) == bits(
            reference.cosample(doc["ts"][0], doc["meas"][i], doc["cov_model"], 0.05))
        for j, actuator in enumerate(doc["com"]):
            assert bits(r.d_meas_com[i][j]) == bits(
                reference.sample(doc["meas"][i], actuator, reference.sample_actuator))
    assert [bits(v) for v in r.c_meas_meas[0]] == [bits(-0.0)] * n  # the empty bundle's sum
    assert [bits(v) for v in s.imat()[0]] == [bits(-0.0)] * 3
    assert s.pmeas() == [reference.sample_pupil(doc["pupil"], line) for line in doc["meas_lines"]]
    assert s.pmeas() == [0.0, 1.0, 0.0, 1.0]
