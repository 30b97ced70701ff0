"""Turbulence profiles in vedovx: standard tables, integrated parameters, layers set on a system,
and compression that keeps r0, θ0 and τ0."""

import itertools
import math
import pickle

import numpy as np
import pytest

import vedov
import vedovx
from test_matrices import small_system
from test_vedovx_arrays import same_bits

ARCSEC = 180 / math.pi * 3600
QUARTILES = ["median", "Q1", "Q2", "Q3", "Q4"]


def test_the_reference_tables():
    tables = vedovx.profiles
    assert len(tables.ESO35_ALTITUDES) == len(tables.ESO35_WIND_SPEEDS) == 35
    assert tables.ESO35_ALTITUDES[11:13] == (3500.0, 4500.0) and tables.ESO35_ALTITUDES[-1] == 26500
    for quartile in QUARTILES:
        assert len(tables.ESO35_FRACTIONS[quartile]) == 35
        assert math.fsum(tables.ESO35_FRACTIONS[quartile]) == pytest.approx(100.0, abs=1e-9)
    median = vedovx.profiles.eso35()
    assert median.wavelength == 500e-9 and (median.l0 == 25.0).all()
    assert median.total_r0() == pytest.approx(0.155, rel=1e-13)
    assert median.r0[0] == pytest.approx(0.155 * 0.242 ** -0.6, rel=1e-13)
    assert np.allclose(median.fractions * 100, tables.ESO35_FRACTIONS["median"], rtol=1e-13)
    assert np.allclose(median.speed, tables.ESO35_WIND_SPEEDS, rtol=1e-15)
    # At 60 degrees from zenith: r0 times 0.5^(3/5), altitudes doubled; winds turned 90 degrees.
    low = vedovx.profiles.eso35("Q4", r0=0.1, zenith=60.0, wind_direction=90.0)
    assert low.total_r0() == pytest.approx(0.1 * 0.5 ** 0.6, rel=1e-13)
    assert np.allclose(low.alt, 2 * np.array(tables.ESO35_ALTITUDES), rtol=1e-14)
    assert np.allclose(low.wind[:, 1], tables.ESO35_WIND_SPEEDS) and np.abs(low.wind[:, 0]).max() < 1e-14
    with pytest.raises(ValueError, match="r0 is required with quartile 'Q2'"):
        vedovx.profiles.eso35("Q2")
    with pytest.raises(ValueError, match="quartile must be one of"):
        vedovx.profiles.eso35("Q5")


def test_vedovs_default_layers_bit_for_bit(tmp_path):
    ours, theirs = vedov.SystemGeom.new_empty(), vedov.SystemGeom.new_empty()
    theirs.add_cov_layer()
    vedovx.set_layers(ours, vedovx.profiles.vedov_default())
    paths = [tmp_path / "ours.yaml", tmp_path / "theirs.yaml"]
    ours.save_yaml(str(paths[0]))
    theirs.save_yaml(str(paths[1]))
    assert paths[0].read_bytes() == paths[1].read_bytes()


def test_integrated_parameters_of_one_layer_and_of_a_measured_profile():
    # One layer at 1000 m with 10 m/s: h̄ and v̄ are the layer's own.
    one = vedovx.Profile([0.1], 30.0, [1000.0], [(6.0, 8.0)])
    at = one.integrated(1e-6)
    r0 = 0.1 * 2 ** 1.2
    assert (at.r0, at.h_bar, at.v_bar) == pytest.approx((r0, 1000.0, 10.0), rel=1e-14)
    assert at.seeing == pytest.approx(0.98 * 1e-6 / r0 * ARCSEC, rel=1e-14)
    assert at.theta0 == pytest.approx(0.314 * r0 / 1000.0 * ARCSEC, rel=1e-14)
    assert at.tau0 == pytest.approx(0.314 * r0 / 10.0, rel=1e-14)
    # J = ∫Cn² dh for r0 = 0.1 m at 500 nm: r0^(-5/3) / (0.423 k²), about 6.95e-13 m^(1/3).
    j = 0.1 ** (-5 / 3) / (0.423 * (2 * math.pi / 500e-9) ** 2)
    assert j == pytest.approx(6.95e-13, rel=1e-3)
    measured = vedovx.profiles.from_cn2([0.0, 5000.0], [0.75 * j, 0.25 * j], wind_speed=[5, 20])
    assert measured.total_r0() == pytest.approx(0.1, rel=1e-13)
    assert measured.fractions == pytest.approx([0.75, 0.25], rel=1e-13)
    p = measured.integrated()
    assert p.h_bar == pytest.approx((0.25 * 5000.0 ** (5 / 3)) ** 0.6, rel=1e-13)
    assert p.v_bar == pytest.approx((0.75 * 5 ** (5 / 3) + 0.25 * 20 ** (5 / 3)) ** 0.6, rel=1e-13)
    # The same turbulence stated at 1650 nm: r0 grows as λ^(6/5); the parameters at 500 nm stay.
    infrared = measured.at(1650e-9)
    assert infrared.total_r0() == pytest.approx(0.1 * 3.3 ** 1.2, rel=1e-13)
    for name in ("r0", "seeing", "theta0", "tau0"):
        assert getattr(infrared.integrated(), name) == pytest.approx(getattr(p, name), rel=1e-13)
    assert vedovx.profiles.from_cn2([0.0], [j], 1650e-9).total_r0() == pytest.approx(
        0.1 * 3.3 ** 1.2, rel=1e-13)
    assert "r0 0.1 m" in repr(measured) and "5000" in repr(measured)


@pytest.mark.parametrize("call", [
    lambda: vedovx.profile(0.15, [1.0], [0.0], 30.0, (0.0, 0.0), wavelength=1650.0),
    lambda: vedovx.profiles.from_cn2([0.0], [1e-13], 500.0),
    lambda: vedovx.profiles.eso35().integrated(0.5),
    lambda: vedovx.profiles.eso35().at(2.2),
])
def test_wavelengths_are_metres(call):
    with pytest.raises(ValueError, match=r"wavelength is in metres \(500e-9 for 500 nm\)"):
        call()


def test_profiles_replace_the_layers_or_nothing():
    g = small_system()
    p = vedovx.profile(0.15, [60, 30, 10], [0.0, 5000.0, 12000.0], 30.0, [(5, 0), (10, 3), (25, -4)],
                       wavelength=1650e-9)
    expected = 0.15 * np.array([0.6, 0.3, 0.1]) ** -0.6 * (1650.0 / 500.0) ** 1.2
    assert np.allclose(p.r0, expected, rtol=1e-15, atol=0) and p.wavelength == 1650e-9
    vedovx.set_layers(g, *p)
    assert vedovx.info(g).layers[2] == vedovx.Layer(p.r0[2], 30.0, 12000.0, (25.0, -4.0))
    before = vedovx.info(g).layers
    good = {"r0": [0.1, 0.2], "l0": 25.0, "alt": [0.0, 1.0], "wind": [(0.0, 0.0), (1.0, 2.0)]}
    for name, bad, text in [("r0", [0.1, -1.0], "r0 must be finite and positive: -1.0 at layer 1"),
                            ("r0", [0.1, float("inf")], "r0 must be finite and positive"),
                            ("l0", [1.0, 0.0], "l0 must be finite and positive"),
                            ("l0", [1.0, 2.0, 3.0], "l0 has 3 values for 2 layers"),
                            ("alt", [0.0, float("nan")], "alt must be finite"),
                            ("wind", [(0.0, 0.0)], "wind has 1 pairs for 2 layers"),
                            ("wind", [0.0, 1.0, 2.0], "wind must be (vx, vy) pairs")]:
        with pytest.raises(ValueError, match=text.replace("(", r"\(").replace(")", r"\)")):
            vedovx.set_layers(g, **{**good, name: bad})
    with pytest.raises(TypeError, match="a Profile alone, or r0, l0, alt and wind"):
        vedovx.set_layers(g, p, 25.0)
    assert vedovx.info(g).layers == before
    with pytest.raises(ValueError, match="fractions must be finite and positive"):
        vedovx.profile(0.15, [1.0, 0.0], [0.0, 1.0], 30.0, (0.0, 0.0))
    # A Profile is an immutable value.
    vedovx.set_layers(g, p)
    assert vedovx.info(g).layers[2] == vedovx.Layer(p.r0[2], 30.0, 12000.0, (25.0, -4.0))
    assert pickle.loads(pickle.dumps(p)) == p and p != p.at(500e-9)
    with pytest.raises(ValueError, match="read-only"):
        p.r0[0] = 1.0
    with pytest.raises(AttributeError, match="cannot be changed"):
        p.wavelength = 1e-6


def conserved(original, compressed):
    a, b = original.integrated(), compressed.integrated()
    return max(abs(getattr(b, name) / getattr(a, name) - 1) for name in ("r0", "theta0", "tau0"))


RANDOM = np.random.default_rng(7)
PROFILES = {
    "median": vedovx.profiles.eso35(),
    "Q4 at 30 degrees": vedovx.profiles.eso35("Q4", r0=0.1, zenith=30.0, wind_direction=np.arange(35) * 10),
    "vedov's default": vedovx.profiles.vedov_default(),
    "unsorted, mixed outer scales": vedovx.Profile(
        RANDOM.uniform(0.2, 3.0, 12), RANDOM.uniform(10, 50, 12), RANDOM.uniform(0, 2e4, 12),
        RANDOM.normal(0, 10, (12, 2))),
}


@pytest.mark.parametrize("name", PROFILES)
@pytest.mark.parametrize("method", ["equivalent", "optimal"])
def test_compression_keeps_r0_theta0_and_tau0(name, method):
    profile = PROFILES[name]
    for n in (1, 2, 4, 8, 16, 40):
        compressed = vedovx.compress(profile, n, method)
        assert 1 <= compressed.count <= min(n, profile.count)
        assert (np.diff(compressed.alt) >= 0).all()
        assert conserved(profile, compressed) <= 1e-12, n
        if method == "optimal":
            assert compressed.count == min(n, profile.count)
    # Slabs of one layer are that layer, bit for bit.
    order = np.argsort(profile.alt, kind="stable")
    alone = vedovx.compress(profile, profile.count, "optimal")
    assert alone == vedovx.Profile(*(a[order] for a in profile), profile.wavelength)


def test_equivalent_slabs_cut_at_the_midpoints_of_cumulative_shares():
    # Midpoints 0.25, 0.55, 0.65, 0.85: quarters 1, 2, 2, 3.
    p = vedovx.profile(0.1, [50, 10, 10, 30], [0.0, 1000.0, 3000.0, 9000.0], 25.0,
                       [(1.0, 0.0), (10.0, 0.0), (0.0, -20.0), (5.0, 5.0)])
    c = vedovx.compress(p, 4)
    assert c.count == 3 and (c.r0[[0, 2]] == p.r0[[0, 3]]).all()
    assert c.fractions[1] == pytest.approx(0.2, rel=1e-14)
    assert c.alt[1] == pytest.approx((0.5 * 1000.0 ** (5 / 3) + 0.5 * 3000.0 ** (5 / 3)) ** 0.6,
                                     rel=1e-14)
    # Speed by the 5/3 moment, direction of the first of the two equal layers.
    assert c.wind[1] == pytest.approx([(0.5 * 10 ** (5 / 3) + 0.5 * 20 ** (5 / 3)) ** 0.6, 0.0])


def test_optimal_slabs_are_the_best_partition():
    rng = np.random.default_rng(3)
    for _ in range(5):
        count = 8
        f, alt = rng.uniform(0.01, 1, count), np.sort(rng.uniform(0, 2e4, count))
        p = vedovx.profile(0.1, f, alt, 25.0, (0.0, 0.0))
        x, w = alt ** (5 / 3), p.fractions

        def cost(cuts):
            edges = [0, *cuts, count]
            total = 0.0
            for a, b in zip(edges[:-1], edges[1:]):
                m = np.sum(w[a:b] * x[a:b]) / np.sum(w[a:b])
                total += np.sum(w[a:b] * (x[a:b] - m) ** 2)
            return total

        for n in (2, 3, 5):
            best = min(itertools.combinations(range(1, count), n - 1), key=cost)
            c = vedovx.compress(p, n, "optimal")
            # The slabs' edges: where the layers' cumulative shares meet the merged layers'.
            cumulative = np.cumsum(w)
            cuts = tuple(int(np.argmin(abs(cumulative - edge))) + 1
                         for edge in np.cumsum(c.fractions)[:-1])
            assert cost(cuts) == pytest.approx(cost(best), rel=1e-12, abs=0)


@pytest.mark.parametrize("arguments, error, text", [
    ((PROFILES["median"], 0), ValueError, "n must be at least 1"),
    ((PROFILES["median"], 2.0), TypeError, "n must be an integer"),
    ((PROFILES["median"], True), TypeError, "n must be an integer"),
    ((PROFILES["median"], 4, "best"), ValueError, "method must be 'equivalent' or 'optimal'"),
    (((1.0, 2.0), 4), TypeError, "profile must be a vedovx.Profile"),
    ((vedovx.Profile([0.1, 0.2], 25.0, [-10.0, 100.0], (0.0, 0.0)), 1), ValueError,
     "altitudes of 0 or more"),
])
def test_compression_refusals(arguments, error, text):
    with pytest.raises(error, match=text):
        vedovx.compress(*arguments)


LAYER_CHOICES = [[2], [0, 3, 6], [5, 1], [1, 1], [], slice(1, None, 2), np.arange(7) % 3 == 0,
                 [-1]]


@pytest.mark.parametrize("layers", LAYER_CHOICES)
def test_chosen_layers_equal_a_system_holding_only_them(layers):
    s = small_system()
    s.set_dt(0.01, 0.05)
    only = vedovx.freeze(s).thaw()
    held = vedovx.info(s).layers
    picked = [held[k] for k in np.arange(7)[layers]] if not isinstance(layers, np.ndarray) \
        else [held[k] for k in np.flatnonzero(layers)]
    vedovx.set_layers(only, [l.r0 for l in picked], [l.l0 for l in picked],
                      [l.alt for l in picked], np.reshape([l.wind for l in picked], (-1, 2)))
    for model in ("exact", "closed-form"):
        assert same_bits(vedovx.covariance(s, "ts", "meas", lag=0.05, model=model, layers=layers),
                         vedovx.covariance(only, "ts", "meas", lag=0.05, model=model))
    ours, theirs = vedovx.system_matrices(s, layers=layers), vedovx.system_matrices(only)
    for field in ("c_phi_phi", "c_phip1_phi", "c_meas_phi", "d_meas_com", "p_meas"):
        assert same_bits(getattr(ours, field), getattr(theirs, field)), field
    assert same_bits(vedovx.recon_matrices(s, layers=layers).c_ts_meas,
                     vedovx.recon_matrices(only).c_ts_meas)


def test_chosen_layers_through_dask_and_refusals():
    pytest.importorskip("dask")
    import vedovx.dask

    s = small_system()
    blocks = vedovx.dask.covariance(s, "meas", "phi", chunks=7, layers=[4, 0])
    assert same_bits(blocks.compute(scheduler="sync"),
                     vedovx.covariance(s, "meas", "phi", layers=[4, 0]))
    recon = vedovx.dask.recon_matrices(vedovx.freeze(s), chunks=9, layers=slice(3))
    assert same_bits(recon.c_meas_meas.compute(scheduler="sync"),
                     vedovx.covariance(s, "meas", "meas", layers=slice(3)))
    for call in (lambda: vedovx.covariance(s, "meas", "meas", layers=[7]),
                 lambda: vedovx.dask.covariance(s, "meas", "meas", layers=[-8]),
                 lambda: vedovx.recon_matrices(s, layers=[True] * 6),
                 lambda: vedovx.covariance(s, "meas", "meas", layers=[0.5])):
        with pytest.raises(ValueError, match="layers"):
            call()
