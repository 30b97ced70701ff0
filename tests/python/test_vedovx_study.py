"""vedovx.study: slope noise against hand-computed values, the MMSE reconstructor, budgets and
mirror fitting against plain NumPy definitions, and a Monte-Carlo check of the predicted errors."""

import math

import numpy as np
import pytest

import vedovx

pytestmark = pytest.mark.python_layer

study = pytest.importorskip("vedovx.study")


def two_star_system():
    """4 m, two natural stars 20" apart, 4 x 4 sub-apertures kept in the pupil, mirrors of 3 x 3
    actuators at 0 and 5 km, science samples (32 of 6 x 6 in the pupil) on axis and 10" off."""
    s = vedovx.new_system(teldiam=4.0, cobs=0.2, coupling=0.3, nactux=3, pitch=2.0, nsubx=4,
                          nphisamples=0, wfs_dirs=[(-10.0, 0.0), (10.0, 0.0)])
    s.filter_meas(vedovx.projection(s, "meas_lines") == 1.0)
    vedovx.add_com(s, 2.5, 3, 0.3, dmalt=5000.0)
    science = vedovx.add_science(s, [(0.0, 0.0), (10.0, 5.0)], 6)
    return s, science


def test_noise_from_angles_and_detectors():
    # 0.1" rms at 500 nm: (2π · 0.1 · π/648000 / 500e-9)² (rad/m)².
    assert study.slope_variance(0.1) == pytest.approx(37.1167089750047390780522529678, rel=1e-14)
    assert study.slope_variance(0.1, 1e-6) == pytest.approx(37.1167089750047 / 4, rel=1e-14)
    # 100 photons, 0.5"/pixel, a 1" spot (2 pixels), 3 e- over 6 x 6 pixels:
    # 0.5 · sqrt(2² / (8 ln 2 · 100) + 3² · 6⁴ / (12 · 100²)).
    assert study.centroid_error(100, pixel_scale=0.5, spot_fwhm=1.0, read_noise=3.0,
                                window=6) == pytest.approx(0.161565370055316013, rel=1e-14)
    assert study.centroid_error([100, 400], pixel_scale=0.5, spot_fwhm=1.0) == pytest.approx(
        [0.0424660900144009521, 0.0424660900144009521 / 2], rel=1e-14)
    s = vedovx.new_system(teldiam=4.0, cobs=0.0, coupling=0.3, nactux=2, pitch=4.0, nsubx=2,
                          nphisamples=0, wfs_dirs=[(0.0, 0.0), (5.0, 0.0)])
    s.reorder_meas([0, 8, 1, 9, 2, 3])  # sensors interleaved: 0, 1, 0, 1, 0, 0
    assert study.slope_noise(s, [0.1, 0.2]).tolist() == pytest.approx(
        [37.1167089750047, 4 * 37.1167089750047] * 2 + [37.1167089750047] * 2, rel=1e-14)
    blocks = study.noise_blocks(s, [np.eye(4) + 0.5, 2.0])
    assert blocks[np.ix_([0, 2, 4, 5], [0, 2, 4, 5])].tolist() == (np.eye(4) + 0.5).tolist()
    assert blocks[np.ix_([1, 3], [1, 3])].tolist() == [[2.0, 0.0], [0.0, 2.0]]
    assert blocks[0, 1] == blocks[1, 2] == 0.0


@pytest.mark.parametrize("call, text", [
    (lambda s: study.slope_noise(s, [0.1, 0.2, 0.3]), r"one number or one per sensor \(2\)"),
    (lambda s: study.slope_noise(s, -0.1), "angle must be finite and non-negative"),
    (lambda s: study.slope_noise(s, 0.1, wavelength=500.0), "wavelength is in metres"),
    (lambda s: study.noise_blocks(s, [1.0]), "1 blocks for 2 sensors"),
    (lambda s: study.noise_blocks(s, [np.eye(3), 1.0]), r"blocks\[0\] has shape \(3, 3\)"),
    (lambda s: study.centroid_error(10, pixel_scale=0.5, spot_fwhm=1.0, read_noise=1.0),
     "window: the pixels across"),
    (lambda s: study.centroid_error(0, pixel_scale=0.5, spot_fwhm=1.0), "photons must be"),
])
def test_noise_refusals(call, text):
    s = vedovx.new_system(teldiam=4.0, cobs=0.0, coupling=0.3, nactux=2, pitch=4.0, nsubx=2,
                          nphisamples=0, wfs_dirs=[(0.0, 0.0), (5.0, 0.0)])
    with pytest.raises(ValueError, match=text):
        call(s)


def random_statistics(nt=7, nm=11, seed=3):
    """A random joint covariance of nt phase samples and nm slopes, and a diagonal noise."""
    z = np.random.default_rng(seed).standard_normal((nt + nm, nt + nm + 5))
    joint = z @ z.T / z.shape[1]
    return joint[:nt, :nt], joint[:nt, nt:], joint[nt:, nt:], np.linspace(0.1, 0.3, nm)


def test_mmse_reconstructor_and_its_error():
    c_tt, c_tm, c_mm, noise = random_statistics()
    total = c_mm + np.diag(noise)
    r = study.mmse_reconstructor(c_tm, c_mm, noise)
    assert np.allclose(r, np.linalg.solve(total, c_tm.T).T, rtol=1e-12, atol=0)
    # The general error formula at the MMSE reconstructor is the MMSE error; any other R is worse.
    mmse = study.estimation_error(c_tt, c_tm, c_mm, noise)
    assert np.allclose(mmse, c_tt - r @ c_tm.T, rtol=0, atol=1e-12)
    assert np.allclose(study.estimation_error(c_tt, c_tm, c_mm, noise, r), mmse, atol=1e-12)
    worse = study.estimation_error(c_tt, c_tm, c_mm, noise, 1.01 * r)
    assert np.trace(worse) > np.trace(mmse)
    assert np.allclose(study.noise_propagation(r, noise), r @ np.diag(noise) @ r.T, atol=1e-14)
    # Noise as a number, a diagonal or a matrix; float32 arrays accepted.
    assert np.array_equal(study.mmse_reconstructor(c_tm, c_mm, 0.2),
                          study.mmse_reconstructor(c_tm, c_mm, np.full(11, 0.2)))
    assert np.allclose(study.mmse_reconstructor(c_tm, c_mm, np.diag(noise)), r, atol=1e-13)
    single = study.mmse_reconstructor(c_tm.astype(np.float32), c_mm.astype(np.float32), noise)
    assert single.dtype == np.float64 and np.allclose(single, r, rtol=1e-4, atol=1e-5)
    # Piston removal: each group centred on its own mean.
    groups = [np.arange(3), np.arange(3, 7)]
    p = np.zeros((7, 7))
    for g in groups:
        p[np.ix_(g, g)] = -1.0 / len(g)
    p += np.eye(7)
    assert np.allclose(study.piston_removed(c_tt, groups), p @ c_tt @ p.T, atol=1e-14)


@pytest.mark.parametrize("arguments, text", [
    (lambda tt, tm, mm, n: (tt, tm[:, :-1], mm, n), r"c_tm has shape \(7, 10\): 11 columns"),
    (lambda tt, tm, mm, n: (tt[:-1], tm, mm, n), r"c_tt has shape \(6, 7\): 7 rows"),
    (lambda tt, tm, mm, n: (tt, tm, mm[:-1], n), "c_mm must be square"),
    (lambda tt, tm, mm, n: (tt, tm, mm, n[:-1]), "noise has 10 variances for 11 slopes"),
    (lambda tt, tm, mm, n: (tt, tm, mm, np.eye(3)), r"noise has shape \(3, 3\)"),
    (lambda tt, tm, mm, n: (tt, tm, mm, -n), "noise: variances must not be negative"),
    (lambda tt, tm, mm, n: (tt, tm, mm, np.triu(np.ones((11, 11)))), "noise is not symmetric"),
    (lambda tt, tm, mm, n: (tt, tm, mm, "abc"), "noise must be a number or an array"),
    (lambda tt, tm, mm, n: (tt, tm, mm + np.nan, n), "c_mm holds values that are not finite"),
    (lambda tt, tm, mm, n: (tt, tm, -mm, n), "c_mm \\+ noise is not positive definite"),
    (lambda tt, tm, mm, n: (tt, tm.astype(str), mm, n), "c_tm must hold real numbers"),
])
def test_inconsistent_arrays_are_refused_naming_them(arguments, text):
    with pytest.raises(ValueError, match=text):
        study.reconstruction_from(*arguments(*random_statistics()))


def piston_matrix(groups, n):
    p = np.eye(n)
    for g in groups:
        p[np.ix_(g, g)] -= 1.0 / len(g)
    return p


@pytest.mark.parametrize("regularisation", [0.0, 0.5])
def test_budget_of_a_system_follows_its_definitions(regularisation):
    s, science = two_star_system()
    noise = study.slope_noise(s, 0.05)
    result = study.reconstruction(s, noise, science=science, dms=True,
                                  regularisation=regularisation, wavelength=1.65e-6)
    # The same from the definitions, with plain NumPy on the samples in the pupil.
    t = result.samples
    inside = vedovx.projection(s, "phi")[t] == 1.0
    assert inside.all() and len(t) == 2 * 32
    c_tt = vedovx.covariance(s, "phi", "phi", rows_index=t, cols_index=t, model="exact")
    c_tm = vedovx.covariance(s, "phi", "meas", rows_index=t, model="exact")
    c_mm = vedovx.covariance(s, "meas", "meas", model="exact")
    d = vedovx.interaction(s, "phi", rows_index=t)
    groups = [np.arange(32), np.arange(32, 64)]
    p = piston_matrix(groups, 64)
    a = c_mm + np.diag(noise)
    r = c_tm @ np.linalg.inv(a)
    if regularisation:
        f = np.linalg.solve(d.T @ p @ d + regularisation * np.eye(d.shape[1]), d.T @ p)
    else:
        f = np.linalg.pinv(p @ d) @ p
    g = d @ f
    covariances = {
        "uncorrected": c_tt,
        "noise": r @ np.diag(noise) @ r.T,
        "tomographic": c_tt - r @ c_tm.T - c_tm @ r.T + r @ c_mm @ r.T,
        "fitting": (np.eye(64) - g) @ c_tt @ (np.eye(64) - g).T,
        "residual": c_tt - g @ r @ c_tm.T - c_tm @ r.T @ g.T + g @ r @ a @ r.T @ g.T,
    }
    b = result.budget
    for name, c in covariances.items():
        per_sample = np.diag(p @ c @ p)
        expected = [per_sample[g].mean() for g in groups]
        assert np.allclose(b.term(name), expected, rtol=1e-10, atol=0), name
        assert np.allclose(b.map(name, 1), per_sample[32:], rtol=1e-9, atol=1e-12), name
    assert np.array_equal(b.total, b.noise + b.tomographic + b.fitting)
    assert np.allclose(result.reconstructor, r, rtol=1e-10, atol=1e-12)
    assert np.allclose(result.commands, f @ r, rtol=1e-9, atol=1e-12)
    assert np.allclose(b.nm("total"), np.sqrt(b.total) * 500 / (2 * math.pi), rtol=1e-15)
    assert np.allclose(b.strehl(), np.exp(-b.total * (0.5 / 1.65) ** 2), rtol=1e-15)
    assert b.directions.tolist() == [[0.0, 0.0], [10.0, 5.0]]
    assert np.array_equal(b.positions, vedovx.positions(s, "phi")[t])


def test_monte_carlo_errors_match_the_predictions():
    """20,000 joint draws (seed 2024) of the science phase, the slopes and their noise from the
    exact covariance: the empirical mean of each error's piston-removed variance over the pupil
    lies within 3 standard errors of the prediction."""
    s, science = two_star_system()
    noise = study.slope_noise(s, 0.05)
    result = study.reconstruction(s, noise, science=science, dms=True)
    t, nt = result.samples, len(result.samples)
    joint = vedovx.covariance(s, "phi", "phi", rows_index=t, cols_index=t, model="exact")
    c_tm = vedovx.covariance(s, "phi", "meas", rows_index=t, model="exact")
    c_mm = vedovx.covariance(s, "meas", "meas", model="exact")
    joint = np.block([[joint, c_tm], [c_tm.T, c_mm]])
    rng = np.random.default_rng(2024)
    draws = 20_000
    values = rng.multivariate_normal(np.zeros(len(joint)), joint, size=draws, method="eigh")
    phase, slopes = values[:, :nt].T, values[:, nt:].T
    slope_noise = rng.standard_normal(slopes.shape) * np.sqrt(noise)[:, None]
    d = vedovx.interaction(s, "phi", rows_index=t)
    propagated = result.reconstructor @ slope_noise
    estimate = result.reconstructor @ (slopes + slope_noise)
    errors = {
        "noise": propagated,
        "total": phase - estimate,  # no fitting term without mirrors: see below
        "fitting": phase - d @ (result.fit @ phase),
        "residual": phase - d @ (result.commands @ (slopes + slope_noise)),
    }
    b = result.budget
    predicted = {"noise": b.noise, "total": b.noise + b.tomographic, "fitting": b.fitting,
                 "residual": b.residual}
    for name, error in errors.items():
        for k, group in enumerate(b.groups):
            e = error[group] - error[group].mean(axis=0)
            per_draw = (e**2).mean(axis=0)
            standard_error = per_draw.std(ddof=1) / math.sqrt(draws)
            assert abs(per_draw.mean() - predicted[name][k]) < 3 * standard_error, (name, k)


def test_chosen_layers_are_those_of_a_system_holding_them_alone():
    s, science = two_star_system()
    ours = study.budget(s, 0.01, science=science, layers=[4, 0])
    layers = vedovx.profiles.vedov_default()
    vedovx.set_layers(s, layers.r0[[4, 0]], layers.l0[[4, 0]], layers.alt[[4, 0]],
                      layers.wind[[4, 0]])
    alone = study.budget(s, 0.01, science=science)
    assert np.array_equal(ours.total, alone.total) and np.array_equal(ours.noise, alone.noise)


def test_reference_excess_and_tables():
    s, science = two_star_system()
    b = study.budget(s, 0.01, science=science, wavelength=2.2e-6)
    reference = study.budget(s, 1.0, science=science)
    assert np.array_equal(b.excess_over(reference), b.noise + b.tomographic
                          - reference.noise - reference.tomographic)
    assert b.excess_over(reference).max() < 0  # less noise, smaller error
    with pytest.raises(ValueError, match="no mirrors, so no fitting term"):
        b.term("fitting")
    text = repr(b)
    assert text.splitlines()[0] == "Error budget, 2 direction(s)"
    assert '(10", 5")' in text and "Strehl 2.2 µm" in text
    assert "<table>" in b._repr_html_() and "tomographic [nm]" in b._repr_html_()
    info = repr(vedovx.info(s))
    assert info.startswith("SystemGeom: 48 measurements") and len(info.splitlines()) == 10
    assert "pupil 4 across, obstruction 0.8, 0 spiders" in info
