"""Builders and edits read back from the saved document, bit for bit, against builds.py."""

import decimal
import fractions
import math
import random

import numpy as np
import pytest

import builds
import records
import vedov
from builds import ARCSEC, INF, NAN, exact
from conftest import NEW_ARGS as EXAMPLE
from conftest import Hook, Iterated, bits, panic_message
from document_helpers import saved_text

SystemGeom = vedov.SystemGeom


def positions(doc, key):
    """(x0, y0) of every Phase line, or (x, y) of every actuator, as bit patterns."""
    if key == "com":
        return [(bits(a["position"]["x"]), bits(a["position"]["y"])) for a in doc["com"]]
    return [(bits(m["line"]["x0"]), bits(m["line"]["y0"])) for m in doc[key]]


def corners(values):
    """The grid over values × values, x outer, as bit patterns."""
    return [(bits(x), bits(y)) for x in values for y in values]


# ---- the full-system constructor ---------------------------------------------------------------


def test_new_example(tmp_path):
    doc = records.read(SystemGeom.new(**EXAMPLE), tmp_path)
    assert exact(doc) == exact(builds.new(**EXAMPLE))
    # The same, spelled out.
    assert positions(doc, "com") == corners([-4.0, 0.0, 4.0])
    assert {bits(a["position"]["z"]) for a in doc["com"]} == {bits(0.0)}
    assert [(m["central_line"]["x0"], m["central_line"]["y0"]) for m in doc["meas"]] == [
        (-2.0, -2.0), (-2.0, 2.0), (2.0, -2.0), (2.0, 2.0)] * 2
    assert doc["meas_lines"] == [m["central_line"] for m in doc["meas"]]
    assert positions(doc, "phi") == corners([-2.0, 2.0])
    assert positions(doc, "ts") == corners([-4.0, 4.0])
    assert len(doc["cov_model"]) == 7
    assert exact(doc["pupil"]) == exact(
        {"rad_outer": 4.0, "rad_inner": 0.56, "spider_thickness": 0.0, "spiders": []})
    assert (bits(doc["simul_dt"]), bits(doc["meas_dt"])) == (bits(0.0), bits(0.0))


def random_parameters(seed, gsalt):
    rng = random.Random(seed)
    sensors = rng.randint(0, 3)

    def pairs(count, spread):
        return [(rng.uniform(-spread, spread), rng.uniform(-spread, spread)) for _ in range(count)]

    return {
        "teldiam": rng.uniform(1.0, 40.0), "cobs": rng.uniform(0.0, 0.3),
        "coupling": rng.uniform(0.05, 0.95), "nactux": rng.randint(0, 6),
        "dmalt": rng.choice([0.0, rng.uniform(0.0, 20000.0)]), "pitch": rng.uniform(0.1, 2.0),
        "nsubx": rng.randint(1, 5), "ntssamples": rng.randint(0, 4),
        "nphisamples": rng.randint(0, 4), "wfs_dirs": pairs(sensors, 60.0),
        "ts_dirs": pairs(rng.randint(0, 3), 60.0), "dm_delta": pairs(1, 0.5)[0],
        "wfs_delta": pairs(sensors + rng.randint(0, 1), 0.5),
        "dm_clocking": rng.uniform(-math.pi, math.pi),
        "wfs_clocking": [rng.uniform(-math.pi, math.pi) for _ in range(sensors)],
        "dm_zoom": rng.uniform(-0.2, 0.2),
        "wfs_zoom": [rng.uniform(-0.2, 0.2) for _ in range(sensors)],
        "gsalt": gsalt(rng), "microns_per_volt": rng.uniform(0.5, 2.0),
    }


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("gsalt", [lambda rng: INF, lambda rng: rng.uniform(5000.0, 100000.0)],
                         ids=["infinite", "finite"])
def test_new_equals_the_builder_sequence(tmp_path, seed, gsalt):
    p = random_parameters(seed, gsalt)
    system = SystemGeom.new(**p)
    doc = records.read(system, tmp_path)
    assert exact(doc) == exact(builds.new(**p))

    steps = SystemGeom.new_empty()
    steps.add_com(p["pitch"], p["nactux"], p["dm_delta"], p["dmalt"], p["coupling"],
                  p["dm_clocking"], p["dm_zoom"], p["microns_per_volt"])
    steps.add_meas(p["teldiam"], p["nsubx"], p["wfs_dirs"], p["gsalt"], p["wfs_delta"],
                   p["wfs_clocking"], p["wfs_zoom"])
    steps.add_phi(p["teldiam"], p["nphisamples"])
    steps.add_cov_layer()
    steps.add_ts(p["teldiam"], p["ntssamples"], p["ts_dirs"])
    steps.set_pupil(p["teldiam"], p["cobs"])
    assert saved_text(steps, tmp_path, "steps.yaml") == saved_text(system, tmp_path, "new.yaml")


# ---- argument values as stored -----------------------------------------------------------------


class IndexOnly:
    """A number with an index conversion and no float conversion."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "given, value",
    [
        (3, 3.0), (-7, -7.0), (True, 1.0), (2**53 + 1, 9007199254740992.0), (-0.0, -0.0),
        (np.float64(0.1), 0.1), (np.float32(0.1), 0.10000000149011612), (np.int64(-3), -3.0),
        (fractions.Fraction(1, 3), 1.0 / 3.0), (decimal.Decimal("0.1"), 0.1),
        (IndexOnly(5), 5.0), (INF, INF), (NAN, NAN),
    ],
    ids=repr,
)
def test_numbers_are_stored_as_their_float_conversion(tmp_path, empty, given, value):
    empty.add_meas(8.0, 1, [(given, 2.0)], given, [(given, 0.0)], [0.0], [0.0])
    empty.add_ts(8.0, 1, [(1.0, given)])
    empty.add_com(0.5, 1, (0.0, given), given, 0.3, 0.0, 0.0, given)
    empty.add_ttdm(given)
    measurements, lines = builds.meas(8.0, 1, [(value, 2.0)], value, [(value, 0.0)], [0.0], [0.0])
    doc = records.read(empty, tmp_path)
    assert exact(doc["meas"]) == exact(measurements)
    assert exact(doc["meas_lines"]) == exact(lines)
    assert exact(doc["ts"]) == exact(builds.ts(8.0, 1, [(1.0, value)]))
    assert exact(doc["com"]) == exact(
        builds.com(0.5, 1, (0.0, value), value, 0.3, 0.0, 0.0, value) + builds.ttdm(value))


@pytest.mark.parametrize("given, count",
                         [(np.uint8(3), 3), (np.int64(3), 3), (IndexOnly(3), 3), (True, 1)],
                         ids=repr)
def test_counts_are_stored_as_their_index_conversion(tmp_path, given, count):
    systems = []
    for n in (given, count):
        s = SystemGeom.new_empty()
        s.add_phi(8.0, n)
        s.add_ts(8.0, n, [(0.0, 0.0)])
        s.add_meas(8.0, n, [(0.0, 0.0)], INF, [(0.0, 0.0)], [0.0], [0.0])
        s.add_com(0.5, n, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
        systems.append(saved_text(s, tmp_path, "system.yaml"))
    assert systems[0] == systems[1]


def test_new_converts_numbers_like_the_builders(tmp_path):
    forms = dict(EXAMPLE, teldiam=8, cobs=np.float64(0.14), coupling=np.float32(0.3),
                 nactux=np.int64(3), dmalt=0, pitch=fractions.Fraction(4), nsubx=True,
                 wfs_dirs=[(np.float32(1.5), 2)], ts_dirs=((1, np.float64(-2.5)),),
                 dm_delta=(IndexOnly(1), 0.0), wfs_delta=[(0, 0)], dm_clocking=IndexOnly(0),
                 wfs_clocking=np.array([0.25]), dm_zoom=np.float32(0.5), wfs_zoom=(0,),
                 gsalt=10**5, microns_per_volt=decimal.Decimal("0.5"))
    counts = ("nactux", "nsubx", "ntssamples", "nphisamples")
    floats = {key: int(value) if key in counts else float(value)
              for key, value in forms.items()
              if not isinstance(value, (list, tuple, np.ndarray))}
    floats.update(wfs_dirs=[(1.5, 2.0)], ts_dirs=[(1.0, -2.5)], dm_delta=(1.0, 0.0),
                  wfs_delta=[(0.0, 0.0)], wfs_clocking=[0.25], wfs_zoom=[0.0])
    assert float(np.float32(0.3)) != 0.3  # the float32 value is stored, not 0.3
    text = saved_text(SystemGeom.new(**forms), tmp_path)
    assert text == saved_text(SystemGeom.new(**floats), tmp_path)
    assert exact(records.parse(text)) == exact(builds.new(**floats))


# ---- add_meas ----------------------------------------------------------------------------------


def test_add_meas_example(tmp_path, empty):
    empty.add_meas(8.0, 2, [(0.0, 0.0)], INF, [(0.0, 0.0)], [0.0], [0.0])
    doc = records.read(empty, tmp_path)
    points = [(-2.0, -2.0), (-2.0, 2.0), (2.0, -2.0), (2.0, 2.0)]
    axes = [builds.vec(0.0, 1.0)] * 4 + [builds.vec(1.0, -0.0)] * 4
    expected = [{"kind": "SlopeTwoEdge", "central_line": builds.line(x, 0.0, y, 0.0),
                 "edge_length": 4.0, "edge_separation": 4.0, "gradient_axis": axis,
                 "npoints": 1, "altitude": INF} for (x, y), axis in zip(points * 2, axes)]
    assert exact(doc["meas"]) == exact(expected)
    assert exact(doc["meas_lines"]) == exact([m["central_line"] for m in expected])
    assert doc["phi"] == doc["ts"] == doc["com"] == [] and doc["pupil"] is None


# One or more sensors: (direction, shift, clocking, zoom).
SENSORS = {
    "finite_altitude": (2, 90000.0, [((0.0, 0.0), (0.0, 0.0), 0.0, 0.0)]),
    "direction": (2, INF, [((10.0, 0.0), (0.0, 0.0), 0.0, 0.0)]),
    "zoom": (2, INF, [((0.0, 0.0), (0.0, 0.0), 0.0, 0.5)]),
    "clocking_and_shift": (3, 1e5, [((-4.5, 7.25), (0.1, -0.2), 0.3, 0.0)]),
    "everything": (4, 25000.0, [((12.0, -3.0), (0.05, 0.0), -1.1, -0.25)]),
    "two_sensors": (2, 50000.0, [((0.0, 0.0), (0.0, 0.0), 0.0, 0.0),
                                 ((30.0, -15.0), (0.5, 0.25), math.pi / 4, 0.1)]),
    "one_subaperture": (1, INF, [((0.0, 0.0), (0.0, 0.0), 0.0, 0.0),
                                 ((5.0, 5.0), (0.0, 0.0), 0.0, 0.0)]),
    "odd_diameter": (5, 7.3, [((1.0, 1.0), (-0.01, 0.02), 2.5, 0.01)]),
}


@pytest.mark.parametrize("nsubx, gsalt, sensors", SENSORS.values(), ids=SENSORS.keys())
def test_add_meas(tmp_path, nsubx, gsalt, sensors):
    dirs, deltas, clockings, zooms = (list(column) for column in zip(*sensors))
    system = SystemGeom.new_empty()
    system.add_phi(8.0, 1)
    # Entries past the last sensor are never read.
    system.add_meas(8.0, nsubx, dirs, gsalt, deltas + [(9.0, 9.0)], clockings, zooms + [99.0])
    system.add_meas(8.0, nsubx, dirs, gsalt, deltas, clockings, zooms)
    doc = records.read(system, tmp_path)
    measurements, lines = builds.meas(8.0, nsubx, dirs, gsalt, deltas, clockings, zooms)
    assert exact(doc["meas"]) == exact(measurements * 2)
    assert exact(doc["meas_lines"]) == exact(lines * 2)
    assert exact(doc["meas_lines"]) == exact([m["central_line"] for m in doc["meas"]])
    assert exact(doc["phi"]) == exact(builds.phi(8.0, 1))

    # Sensor by sensor, the first block before the second; the direction on every line.
    block = nsubx * nsubx
    for w, (direction, _, clocking, _) in enumerate(sensors):
        for k in range(2 * block):
            m = doc["meas"][2 * block * w + k]
            assert bits(m["central_line"]["xz"]) == bits(direction[0] * ARCSEC)
            assert bits(m["central_line"]["yz"]) == bits(direction[1] * ARCSEC)
            assert bits(m["gradient_axis"]["x"]) == bits(
                math.sin(clocking) if k < block else math.cos(clocking))


def test_add_meas_zoom_scales_positions_only(tmp_path, empty):
    empty.add_meas(8.0, 2, [(0.0, 0.0)], INF, [(0.25, -0.5)], [0.0], [0.5])
    doc = records.read(empty, tmp_path)
    assert [(m["central_line"]["x0"], m["central_line"]["y0"]) for m in doc["meas"][:4]] == [
        (-2.75, -3.5), (-2.75, 2.5), (3.25, -3.5), (3.25, 2.5)]
    assert {(m["edge_length"], m["edge_separation"]) for m in doc["meas"]} == {(4.0, 4.0)}


# ---- add_phi and add_ts ------------------------------------------------------------------------


def test_add_phi_grid_order(tmp_path, empty):
    empty.add_phi(8.0, 4)
    doc = records.read(empty, tmp_path)
    assert positions(doc, "phi") == corners([-3.0, -1.0, 1.0, 3.0])
    assert exact(doc["phi"]) == exact(builds.phi(8.0, 4))


@pytest.mark.parametrize(
    "teldiam, n, dirs, first",
    [(8.0, 1, [(0.0, 0.0)], (-4.0, -4.0)), (7.3, 5, [(12.5, -3.25)], (-3.65, -3.65)),
     (8.0, 0, [(1.0, 1.0)], None), (8.0, 2, [], None)],
)
def test_add_ts(tmp_path, empty, teldiam, n, dirs, first):
    empty.add_ts(teldiam, n, dirs)
    doc = records.read(empty, tmp_path)
    assert exact(doc["ts"]) == exact(builds.ts(teldiam, n, dirs))
    if first is not None:
        assert positions(doc, "ts")[0] == (bits(first[0]), bits(first[1]))


def test_add_ts_two_directions(tmp_path, empty):
    empty.add_ts(8.0, 3, [(0.0, 0.0), (30.0, -30.0)])
    doc = records.read(empty, tmp_path)
    assert positions(doc, "ts") == corners([-4.0, 0.0, 4.0]) * 2
    slopes = [(bits(m["line"]["xz"]), bits(m["line"]["yz"])) for m in doc["ts"]]
    assert slopes == [(bits(0.0), bits(0.0))] * 9 + [
        (bits(30.0 * 4.848e-6), bits(-30.0 * 4.848e-6))] * 9


# ---- add_com and add_ttdm ----------------------------------------------------------------------


def test_width_takes_pow_not_sqrt():
    # The coupling case below only tells the two apart if their square roots differ here.
    x = math.log(1.0 / 0.9775)
    assert bits(math.pow(x, 0.5)) != bits(math.sqrt(x))
    assert bits(builds.sigma(0.5, 0.9775)) != bits(0.5 / math.sqrt(x) / builds.SQRT2)


@pytest.mark.parametrize(
    "coupling, width",
    [(0.3, 0.5 / math.pow(math.log(1.0 / 0.3), 0.5) / 1.4142135623730951), (1.0, INF), (0.0, 0.0),
     (1.5, NAN), (INF, 0.0), (-0.5, NAN), (NAN, NAN),
     (0.9775, 0.5 / math.pow(math.log(1.0 / 0.9775), 0.5) / 1.4142135623730951)],
)
def test_add_com_width(tmp_path, empty, coupling, width):
    empty.add_com(0.5, 3, (0.0, 0.0), 0.0, coupling, 0.0, 0.0, 1.0)
    doc = records.read(empty, tmp_path)
    assert [exact(a["sigma"]) for a in doc["com"]] == [exact(width)] * 9
    assert exact(doc["com"]) == exact(builds.com(0.5, 3, (0.0, 0.0), 0.0, coupling, 0.0, 0.0, 1.0))
    assert positions(doc, "com") == corners([-0.5, 0.0, 0.5])


MIRRORS = {
    "quarter_turn": (0.5, 3, (0.0, 0.0), 0.0, 0.3, math.pi / 2, 0.0, 1.0),
    "altitude": (0.5, 3, (0.0, 0.0), 10000.0, 0.3, 0.0, 0.0, 1.0),
    "everything": (0.37, 4, (0.25, -0.125), 4500.0, 0.2, 0.7, 1.0, 2.5),
    "none": (0.5, 0, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0),
    "single": (0.5, 1, (0.3, -0.2), 7.0, 0.3, 0.0, 0.0, 1.0),
    "single_negative_zero_shift": (0.5, 1, (-0.0, -0.0), 0.0, 0.3, 0.0, 0.0, 1.0),
}


@pytest.mark.parametrize("args", MIRRORS.values(), ids=MIRRORS.keys())
def test_add_com(tmp_path, args):
    system = SystemGeom.new_empty()
    system.add_com(0.5, 2, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
    system.add_com(*args)
    doc = records.read(system, tmp_path)
    first = builds.com(0.5, 2, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
    assert exact(doc["com"]) == exact(first + builds.com(*args))


def test_add_com_spelled_out(tmp_path, empty):
    empty.add_com(0.5, 3, (0.0, 0.0), 0.0, 0.3, math.pi / 2, 0.0, 1.0)  # grid point 1: (-0.5, 0)
    empty.add_com(0.5, 3, (0.0, 0.0), 10000.0, 0.3, 0.0, 0.0, 1.0)
    empty.add_com(0.5, 1, (0.3, -0.2), 7.0, 0.3, 0.0, 0.0, 1.0)
    com = records.read(empty, tmp_path)["com"]
    assert abs(com[1]["position"]["x"]) < 1e-16 and com[1]["position"]["y"] == 0.5
    assert [a["position"]["z"] for a in com[9:18]] == [10000.0] * 9
    assert exact(com[18]["position"]) == exact({"x": 0.3, "y": -0.2, "z": 7.0})


@pytest.mark.parametrize(
    "scale, responses",
    [(2.0, [(0.0, 2.0), (2.0, 0.0)]), (-1.0, [(-0.0, -1.0), (-1.0, -0.0)]),
     (NAN, [(NAN, NAN), (NAN, NAN)]), (INF, [(NAN, INF), (INF, NAN)]), (-0.0, [(-0.0, -0.0)] * 2)],
)
def test_add_ttdm(tmp_path, empty, scale, responses):
    empty.add_com(0.5, 1, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
    empty.add_ttdm(scale)
    com = records.read(empty, tmp_path)["com"]
    assert com[0]["kind"] == "Gaussian"
    assert exact(com[1:]) == exact(
        [{"kind": "TipTilt", "unit_response": builds.vec(*r)} for r in responses])
    assert exact(com[1:]) == exact(builds.ttdm(scale))


# ---- filters and reorders ----------------------------------------------------------------------


def edited_system():
    """8 measurements (2 × 2 subapertures, two axes) and 9 + 2 actuators, all told apart."""
    s = SystemGeom.new_empty()
    s.add_meas(8.0, 2, [(10.0, -5.0)], 90000.0, [(0.1, 0.2)], [0.3], [0.1])
    s.add_com(0.5, 3, (0.0, 0.0), 1000.0, 0.3, 0.2, 0.0, 1.0)
    s.add_ttdm(3.0)
    s.add_phi(8.0, 2)
    s.add_ts(8.0, 2, [(1.0, 1.0)])
    s.add_cov_layer()
    s.set_pupil(8.0, 0.14)
    s.set_dt(0.001, 0.002)
    return s


EDITS = {
    "filter_meas": (lambda s: s.filter_meas([True, False, False, True, True, True, False, True]),
                    [0, 3, 4, 5, 7], None),
    "filter_meas_long_mask": (lambda s: s.filter_meas(np.array([False, True] * 4 + [False] * 3)),
                              [1, 3, 5, 7], None),
    "filter_meas_none": (lambda s: s.filter_meas([False] * 8), [], None),
    "filter_meas_all": (lambda s: s.filter_meas((True,) * 8), list(range(8)), None),
    "filter_com": (lambda s: s.filter_com([False] * 9 + [True, True]), None, [9, 10]),
    "filter_com_numpy": (lambda s: s.filter_com([np.True_, np.False_] * 5 + [np.True_]), None,
                         [0, 2, 4, 6, 8, 10]),
    "reorder_meas": (lambda s: s.reorder_meas([7, 0, 0, 3]), [7, 0, 0, 3], None),
    "reorder_meas_reversed": (lambda s: s.reorder_meas(range(7, -1, -1)), list(range(7, -1, -1)),
                              None),
    "reorder_meas_empty": (lambda s: s.reorder_meas([]), [], None),
    "reorder_com": (lambda s: s.reorder_com((10, 9, 0)), None, [10, 9, 0]),
    "reorder_com_numpy": (lambda s: s.reorder_com(np.array([2, 2], dtype=np.uint64)), None,
                          [2, 2]),
}


@pytest.mark.parametrize("edit, meas, com", EDITS.values(), ids=EDITS.keys())
def test_edit(tmp_path, edit, meas, com):
    s = edited_system()
    before = records.read(s, tmp_path)
    assert edit(s) is None
    expected = dict(before)
    if meas is not None:
        expected["meas"] = [before["meas"][k] for k in meas]
        expected["meas_lines"] = [before["meas_lines"][k] for k in meas]
    if com is not None:
        expected["com"] = [before["com"][k] for k in com]
    doc = records.read(s, tmp_path)
    assert exact(doc) == exact(expected)
    assert exact(doc["meas_lines"]) == exact([m["central_line"] for m in doc["meas"]])


def test_edits_compose(tmp_path):
    s = edited_system()
    before = records.read(s, tmp_path)
    s.reorder_meas([6, 2, 5, 1, 2])
    s.filter_meas([True, False, True, True, False])
    s.reorder_meas([1, 0, 2, 0])
    s.filter_com([True] * 9 + [False, True])
    s.reorder_com([9, 0])
    doc = records.read(s, tmp_path)
    assert exact(doc["meas"]) == exact([before["meas"][k] for k in (5, 6, 1, 6)])
    assert exact(doc["meas_lines"]) == exact([before["meas_lines"][k] for k in (5, 6, 1, 6)])
    assert exact(doc["com"]) == exact([before["com"][10], before["com"][0]])


# ---- merges ------------------------------------------------------------------------------------


def merge_inputs():
    """Three systems that differ in every field."""
    a = edited_system()
    b = SystemGeom.new(**EXAMPLE)
    b.add_ttdm(1.0)
    b.set_dt(0.5, 0.25)
    c = SystemGeom.new_empty()
    c.add_meas(4.0, 1, [(1.0, 2.0), (3.0, 4.0)], INF, [(0.0, 0.0)] * 2, [0.0, 0.1], [0.0, 0.0])
    c.add_com(1.0, 2, (0.5, 0.5), 5.0, 0.5, 0.0, 0.0, 2.0)
    return a, b, c


@pytest.mark.parametrize("merge, joined", [(SystemGeom.merge_meas, ("meas", "meas_lines")),
                                           (SystemGeom.merge_com, ("com",))])
def test_merge(tmp_path, merge, joined):
    systems = merge_inputs()
    docs = [records.read(s, tmp_path) for s in systems]

    def texts():
        return [saved_text(s, tmp_path, f"input{k}.yaml") for k, s in enumerate(systems)]

    inputs = texts()
    merged = merge(list(systems))
    expected = dict(docs[0])
    for key in joined:
        expected[key] = [item for doc in docs for item in doc[key]]
    assert exact(records.read(merged, tmp_path)) == exact(expected)
    assert texts() == inputs

    # The result shares nothing with its inputs, in either direction.
    result = saved_text(merged, tmp_path, "merged.yaml")
    systems[0].filter_meas([False] * 8)
    systems[0].filter_com([False] * 11)
    systems[0].set_pupil(1.0, 0.0)
    systems[0].add_cov_layer()
    systems[1].reorder_meas([1, 0])
    assert saved_text(merged, tmp_path, "merged.yaml") == result
    inputs = texts()
    merged.reorder_meas([0])
    merged.reorder_com([0])
    merged.set_pupil(2.0, 0.5)
    merged.set_dt(9.0, 9.0)
    merged.add_phi(1.0, 1)
    merged.add_ts(1.0, 1, [(0.0, 0.0)])
    merged.add_cov_layer()
    assert texts() == inputs


@pytest.mark.parametrize("merge", [SystemGeom.merge_meas, SystemGeom.merge_com])
def test_merge_of_one_system_is_an_equal_copy(tmp_path, merge):
    a = edited_system()
    copy = merge((a,))
    assert copy is not a
    assert saved_text(copy, tmp_path, "copy.yaml") == saved_text(a, tmp_path, "a.yaml")
    twice = merge([a, a])
    doc, single = records.read(twice, tmp_path), records.read(a, tmp_path)
    for key in ("meas", "meas_lines") if merge is SystemGeom.merge_meas else ("com",):
        assert exact(doc[key]) == exact(single[key] * 2)


# ---- failing calls change nothing --------------------------------------------------------------


# Out-of-range masks and indices, and refused arguments given first: test_editing.py.
FAILURES = {
    "mask_item": (lambda s: s.filter_meas([False] * 7 + [1]), "TypeError"),
    "negative_index": (lambda s: s.reorder_com([0, -1]), "OverflowError"),
    "mask_raises": (lambda s: s.filter_com(Iterated([True] * 11, lambda: 1 / 0)),
                    "ZeroDivisionError"),
    "edit_inside_builder": (lambda s: s.add_ttdm(Hook(1.0, lambda: s.filter_meas([False] * 8))),
                            "RuntimeError"),
    "builder_inside_edit": (lambda s: s.reorder_meas(Iterated([0], lambda: s.add_ttdm(1.0))),
                            "RuntimeError"),
    "merge_inside_edit": (lambda s: s.filter_com(Iterated([True] * 11, lambda: s.merge_com([s]))),
                          "RuntimeError"),
    "short_clockings": (lambda s: s.add_meas(8.0, 1, [(0.0, 0.0)] * 2, INF, [(0.0, 0.0)] * 2,
                                             [0.0], [0.0] * 2), "PanicException"),
    "late_bad_direction": (lambda s: s.add_ts(8.0, 2, [(0.0, 0.0), (1.0, 1.0), [2.0, 2.0]]),
                           "TypeError"),
    "dm_delta_list": (lambda s: s.add_com(0.5, 2, [0.0, 0.0], 0.0, 0.3, 0.0, 0.0, 1.0),
                      "TypeError"),
    "float_too_large": (lambda s: s.add_ttdm(10**400), "OverflowError"),
}


@pytest.mark.parametrize("call, errors", FAILURES.values(), ids=FAILURES.keys())
def test_failing_calls_leave_the_document_unchanged(tmp_path, call, errors):
    s = edited_system()
    before = saved_text(s, tmp_path, "before.yaml")
    with pytest.raises(BaseException) as info:
        call(s)
    assert type(info.value).__name__ in errors.split()
    assert saved_text(s, tmp_path, "after.yaml") == before
    s.reorder_meas([1])  # released and still editable
    s.add_ttdm(1.0)


def test_failed_merges_leave_their_inputs_unchanged(tmp_path):
    a, b, _ = merge_inputs()
    texts = [saved_text(s, tmp_path, f"{k}.yaml") for k, s in enumerate((a, b))]
    with pytest.raises(TypeError):
        SystemGeom.merge_meas([a, b, None])
    assert panic_message(lambda: SystemGeom.merge_com([])) == (
        "index out of bounds: the len is 0 but the index is 0")
    with pytest.raises(RuntimeError):
        b.add_ttdm(Hook(1.0, lambda: SystemGeom.merge_com([a, b])))
    assert [saved_text(s, tmp_path, f"{k}.yaml") for k, s in enumerate((a, b))] == texts
