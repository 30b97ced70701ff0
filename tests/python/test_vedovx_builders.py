"""vedovx's builders: each equal to the plain vedov call it stands for (saved documents
identical), asterisms, science phase samples, and the sensors a system holds."""

import math

import numpy as np
import pytest

import vedov
import vedovx
from document_helpers import saved_text
from test_matrices import small_system

STARS = np.array([[10.0, -5.0], [0.0, 20.0], [-7.5, 3.25]])


def plain_new(**changes):
    arguments = dict(teldiam=8.0, cobs=0.14, coupling=0.3, nactux=5, dmalt=0.0, pitch=2.0,
                     nsubx=4, ntssamples=0, nphisamples=6, wfs_dirs=[tuple(s) for s in STARS],
                     ts_dirs=[], dm_delta=(0.0, 0.0), wfs_delta=[(0.0, 0.0)] * 3, dm_clocking=0.0,
                     wfs_clocking=[0.0] * 3, dm_zoom=0.0, wfs_zoom=[0.0] * 3, gsalt=math.inf,
                     microns_per_volt=1.0)
    return vedov.SystemGeom.new(**{**arguments, **changes})


def built(*calls):
    system = vedov.SystemGeom.new_empty()
    for call in calls:
        call(system)
    return system


# (ours, the plain vedov call): arrays where vedov wants pairs, defaults where it wants zeros.
SAME = {
    "new, defaults": (
        lambda: vedovx.new_system(teldiam=8.0, cobs=0.14, coupling=0.3, nactux=5, pitch=2.0,
                                  nsubx=4, nphisamples=6, wfs_dirs=STARS),
        lambda: plain_new()),
    "new, everything given": (
        lambda: vedovx.new_system(
            teldiam=8.0, cobs=0.14, coupling=0.3, nactux=5, pitch=2.0, nsubx=4, nphisamples=6,
            wfs_dirs=vedovx.asterism(3, 20.0, altitude=9e4), dmalt=100.0, ntssamples=3,
            ts_dirs=np.array([[1.0, 2.0]]), dm_delta=np.array([0.1, 0.2]),
            wfs_delta=np.array([0.3, -0.1]), dm_clocking=0.2, wfs_clocking=[0.1, 0.2, 0.3],
            dm_zoom=0.05, wfs_zoom=0.01, microns_per_volt=2.0),
        lambda: plain_new(
            wfs_dirs=[(20.0, 0.0), (20.0 * math.cos(2 * math.pi / 3),
                                    20.0 * math.sin(2 * math.pi / 3)),
                      (20.0 * math.cos(4 * math.pi / 3), 20.0 * math.sin(4 * math.pi / 3))],
            gsalt=9e4, dmalt=100.0, ntssamples=3, ts_dirs=[(1.0, 2.0)], dm_delta=(0.1, 0.2),
            wfs_delta=[(0.3, -0.1)] * 3, dm_clocking=0.2, wfs_clocking=[0.1, 0.2, 0.3],
            dm_zoom=0.05, wfs_zoom=[0.01] * 3, microns_per_volt=2.0)),
    "add_meas, add_ts, add_com": (
        lambda: built(lambda s: vedovx.add_meas(s, 8.0, 3, STARS, 9e4, wfs_clocking=[0, 1, 2]),
                      lambda s: vedovx.add_ts(s, 8.0, 2, STARS[:2]),
                      lambda s: vedovx.add_com(s, 0.5, 3, 0.2, dmalt=1e4, dm_delta=[1, 2])),
        lambda: built(lambda s: s.add_meas(8.0, 3, [tuple(p) for p in STARS], 9e4,
                                           [(0.0, 0.0)] * 3, [0.0, 1.0, 2.0], [0.0] * 3),
                      lambda s: s.add_ts(8.0, 2, [tuple(p) for p in STARS[:2]]),
                      lambda s: s.add_com(0.5, 3, (1.0, 2.0), 1e4, 0.2, 0.0, 0.0, 1.0))),
    "science on axis at infinity is add_phi": (
        lambda: built(lambda s: s.set_pupil(8.0, 0.1),
                      lambda s: vedovx.add_science(s, [(0.0, 0.0)], 5)),
        lambda: built(lambda s: s.set_pupil(8.0, 0.1), lambda s: s.add_phi(8.0, 5))),
}


@pytest.mark.parametrize("name", SAME)
def test_builders_equal_the_plain_vedov_calls(tmp_path, name):
    ours, theirs = SAME[name]
    assert saved_text(ours(), tmp_path, "ours.yaml") == saved_text(theirs(), tmp_path)


@pytest.mark.parametrize("n, shape, expected", [
    (4, "ring", [(15, 0), (0, 15), (-15, 0), (0, -15)]),
    (4, "square", [(-15, -15), (-15, 15), (15, -15), (15, 15)]),
    (9, "square", [(x, y) for x in (-15, 0, 15) for y in (-15, 0, 15)]),
    (1, "square", [(0, 0)]),
    (1, "ring", [(15, 0)]),
])
def test_asterisms(n, shape, expected):
    stars = vedovx.asterism(n, 15.0, altitude=9e4, shape=shape)
    assert stars.directions.tolist() == [[float(x), float(y)] for x, y in expected]
    assert stars.altitude == 9e4 and len(stars) == n
    ring = vedovx.asterism(5, 2.0).directions
    assert np.allclose(np.hypot(*ring.T), 2.0) and vedovx.asterism(5, 2.0).altitude == math.inf


def test_science_samples_toward_directions_and_altitudes():
    s = small_system()
    before = vedovx.info(s).phi
    where = vedovx.add_science(s, vedovx.asterism(2, 30.0, altitude=2e4), 3)
    assert (where.start, where.nsamples, where.teldiam, where.altitude) == (before, 3, 4.0, 2e4)
    assert [g.tolist() for g in where.groups] == [list(range(16, 25)), list(range(25, 34))]
    ground = vedovx.positions(s, "phi")[16:]
    assert np.array_equal(ground[:9], ground[9:]) and ground[4].tolist() == [0.0, 0.0]
    # The lines head for each direction's point at the source's altitude.
    top = vedovx.positions(s, "phi", altitude=2e4)[16:]
    target = where.directions * 4.848e-6 * 2e4
    assert np.allclose(top[:9], target[0], atol=1e-9) and np.allclose(top[9:], target[1],
                                                                      atol=1e-9)
    # At infinity they are parallel to the direction.
    far = vedovx.add_science(s, [(10.0, -20.0)], 2, teldiam=2.0)
    lifted = vedovx.positions(s, "phi", altitude=1000.0)[far.samples(0)]
    flat = vedovx.positions(s, "phi")[far.samples(0)]
    assert np.allclose(lifted - flat, [10.0 * 4.848e-3, -20.0 * 4.848e-3])
    assert flat.tolist() == [[-0.5, -0.5], [-0.5, 0.5], [0.5, -0.5], [0.5, 0.5]]


@pytest.mark.parametrize("call, error, text", [
    (lambda s: vedovx.add_science(s, [(0.0, 0.0)], 0), ValueError, "nsamples must be at least 1"),
    (lambda s: vedovx.add_science(s, [(0.0, 0.0)], 2.5), TypeError, "nsamples must be an int"),
    (lambda s: vedovx.add_science(s, [1.0, 2.0, 3.0], 2), ValueError, "directions must be"),
    (lambda s: vedovx.add_science(s, [(0.0, 0.0)], 2, altitude=0.0), ValueError,
     "altitude must be positive"),
    (lambda s: vedovx.add_science(s, [(0.0, 0.0)], 2, teldiam=math.nan), ValueError,
     "teldiam must be finite"),
    (lambda s: vedovx.add_meas(s, 4.0, 2, STARS, wfs_delta=np.zeros((2, 2))), ValueError,
     r"wfs_delta must be one \(x, y\) pair or 3 of them"),
    (lambda s: vedovx.add_meas(s, 4.0, 2, STARS, wfs_zoom=[0.0, 1.0]), ValueError,
     "wfs_zoom must be one number or 3 of them"),
    (lambda s: vedovx.add_meas(s, 4.0, 2, "abc"), TypeError, "wfs_dirs must be numbers"),
    (lambda s: vedovx.add_com(s, 0.5, 3, 0.3, dm_delta=[1.0]), ValueError,
     r"dm_delta must be one \(x, y\) pair"),
    (lambda s: vedovx.add_science(vedovx.freeze(s), [(0.0, 0.0)], 2), TypeError,
     "a FrozenSystem cannot be changed"),
    (lambda s: vedovx.asterism(3, 1.0, shape="square"), ValueError, "n must be a square number"),
    (lambda s: vedovx.asterism(3, 1.0, shape="hexagon"), ValueError, "shape must be"),
])
def test_refusals_name_the_argument_and_change_nothing(tmp_path, call, error, text):
    s = small_system()
    before = saved_text(s, tmp_path)
    with pytest.raises(error, match=text):
        call(s)
    assert saved_text(s, tmp_path) == before


def test_science_samples_refused_while_the_system_is_read(tmp_path):
    s = small_system()
    before = saved_text(s, tmp_path)

    def append(done, total):
        with pytest.raises(RuntimeError, match="Already borrowed"):
            vedovx.add_science(s, [(0.0, 0.0)], 2)

    vedovx.covariance(s, "meas", "meas", progress=append)
    assert saved_text(s, tmp_path) == before


def test_sensors_group_slopes_by_guide_star():
    s = small_system()
    found = vedovx.sensors(s)
    # Two laser guide stars of 3 x 3 sub-apertures, then a natural star of 2 x 2.
    assert [len(f.indices) for f in found] == [18, 18, 8]
    assert [f.altitude for f in found] == [9e4, 9e4, math.inf]
    assert found[2].direction == (0.0, 0.0) and found[0].subaperture == 4.0 / 3
    assert np.allclose(found[0].direction, (-15.0, -15.0), rtol=1e-15)
    # Reordered slopes stay with their star.
    s.reorder_meas([40, 0, 20, 41])
    assert [f.indices.tolist() for f in vedovx.sensors(s)] == [[0, 3], [1], [2]]
    assert vedovx.sensors(vedov.SystemGeom.new_empty()) == ()
