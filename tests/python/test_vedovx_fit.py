"""Profiles learned from synthetic telemetry: strengths within their standard errors, total r0,
θ0, noise and outer scale recovered, on laser and natural guide stars."""

import pathlib
import subprocess
import sys

import numpy as np
import pytest

import vedov
import vedovx
from conftest import child_environment

pytestmark = pytest.mark.python_layer

pytest.importorskip("scipy")

STARS = [(-15.0, -15.0), (-15.0, 15.0), (15.0, -15.0), (15.0, 15.0)]
FRAMES = 20_000


def sensors(gsalt, nsubx=6):
    """An 8 m telescope with four guide stars on a 30" square, the subapertures the pupil sees."""
    system = vedov.SystemGeom.new_empty()
    system.set_pupil(8.0, 0.14)
    system.add_meas(8.0, nsubx, STARS, gsalt, [(0.0, 0.0)] * 4, [0.0] * 4, [0.0] * 4)
    system.filter_meas([p == 1.0 for p in vedovx.projection(system, "meas_lines")])
    return system


TRUE = vedovx.compress(vedovx.profiles.eso35(), 8, "optimal")


@pytest.fixture(scope="module", params=[90000.0, float("inf")], ids=["lgs", "ngs"])
def telemetry(request):
    system = sensors(request.param)
    vedovx.set_layers(system, TRUE)
    c = vedovx.covariance(system, "meas", "meas")
    n = c.shape[0]
    # A different noise per sensor, about a fifth of the slopes' variance.
    noise = np.repeat([0.15, 0.2, 0.25, 0.3], n // 4) * np.diag(c).mean()
    rng = np.random.default_rng(11)
    frames = rng.standard_normal((FRAMES, n)) @ np.linalg.cholesky(c + np.diag(noise)).T
    return system, frames, noise


def test_the_fit_at_the_true_altitudes_recovers_the_profile(telemetry):
    system, frames, noise = telemetry
    fit = vedovx.fit_profile(system, frames, altitudes=TRUE.alt)
    assert fit.frames == FRAMES and fit.sensors.tolist() == np.repeat(range(4), len(noise) // 4).tolist()
    assert (np.abs(fit.fractions - TRUE.fractions) <= 3 * fit.fractions_error).all()
    assert abs(fit.profile.total_r0() / TRUE.total_r0() - 1) < 0.02
    assert abs(fit.profile.total_r0() - TRUE.total_r0()) <= 3 * fit.r0_error
    assert np.abs(fit.noise / noise[::len(noise) // 4] - 1).max() < 0.05
    assert fit.residual < 0.2 and fit.covariance.shape == (len(noise), len(noise))


def test_the_outer_scale_and_an_altitude_grid_that_misses_the_layers(telemetry):
    system, frames, noise = telemetry
    covariance = np.cov(frames, rowvar=False)
    fit = vedovx.fit_profile(system, covariance, frames=FRAMES, altitudes=TRUE.alt, fit_l0=True,
                             l0=10.0)
    assert fit.l0_fitted and abs(fit.l0 / 25.0 - 1) < 0.2
    grid = np.linspace(0.0, 25000.0, 10) + 700.0
    fit = vedovx.fit_profile(system, covariance, frames=FRAMES, altitudes=grid)
    truth, found = TRUE.integrated(), fit.profile.integrated()
    assert abs(found.r0 / truth.r0 - 1) < 0.05 and abs(found.theta0 / truth.theta0 - 1) < 0.05


def test_known_noise_groups_and_resolution():
    system = sensors(float("inf"), nsubx=4)
    vedovx.set_layers(system, vedovx.Profile([0.2, 0.4], 25.0, [0.0, 8000.0], (0.0, 0.0)))
    c = vedovx.covariance(system, "meas", "meas")
    n = c.shape[0]
    # An exact covariance with known noise: found exactly, without standard errors.
    fit = vedovx.fit_profile(system, c + 0.5 * np.eye(n), altitudes=[0.0, 8000.0], noise=0.5)
    assert fit.fractions == pytest.approx([0.4 ** (5 / 3) / (0.4 ** (5 / 3) + 0.2 ** (5 / 3)),
                                           0.2 ** (5 / 3) / (0.4 ** (5 / 3) + 0.2 ** (5 / 3))],
                                          rel=1e-6)
    assert np.isnan(fit.fractions_error).all() and fit.frames is None
    assert (fit.noise == 0.5).all() and fit.residual < 1e-8
    # Caller's groups: x and y slopes of every star apart.
    halves = np.tile(np.repeat([0, 1], n // 8), 4)
    fit = vedovx.fit_profile(system, c, altitudes=[0.0, 8000.0], sensors=halves)
    assert fit.noise.shape == (2,) and fit.noise.max() < 1e-6 * np.diag(c).mean()
    # Subapertures of 2 m, stars 30" and 42" apart: layers 10 km apart are resolved, 2 km not.
    assert fit.altitude_resolution == pytest.approx(2.0 / (30 * np.sqrt(2) * 4.848e-6), rel=1e-3)
    close = vedovx.fit_profile(system, c, altitudes=[0.0, 2000.0, 12000.0])
    assert close.resolved.tolist() == [False, False, True]


@pytest.mark.parametrize("arguments, error, text", [
    (dict(measured=np.zeros((3, 5))), ValueError, "measured must be an"),
    (dict(altitudes=[]), ValueError, "altitudes must be a non-empty"),
    (dict(altitudes=[-1.0]), ValueError, "altitudes must be"),
    (dict(noise="guess"), ValueError, "noise must be 'fit' or variances"),
    (dict(frames=1), ValueError, "frames must be an integer of at least 2"),
    (dict(fit_l0=True, l0_bounds=(10.0, 1.0)), ValueError, "l0_bounds must be"),
    (dict(wavelength=500.0), ValueError, "wavelength is in metres"),
    (dict(model="kolmogorov"), ValueError, "model must be one of"),
    (dict(system=vedov.SystemGeom.new_empty(), measured=np.zeros((0, 0))), ValueError,
     "no measurements"),
])
def test_refusals(arguments, error, text):
    system = sensors(float("inf"), nsubx=2)
    n = vedovx.info(system).meas
    call = {"system": system, "measured": np.eye(n), "altitudes": [0.0], **arguments}
    with pytest.raises(error, match=text):
        vedovx.fit_profile(call.pop("system"), call.pop("measured"), **call)


def test_the_learn_and_apply_example_runs_small():
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "learn_and_apply.py"
    run = subprocess.run([sys.executable, str(example), "--nsubx", "4", "--nphi", "8",
                          "--frames", "3000", "--altitudes", "4"],
                         env=child_environment(), capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    rows = {line.split("  ")[0]: line.split() for line in run.stdout.splitlines()
            if line.startswith(("true (", "learned (", "vedov's default ("))}
    assert len(rows) == 3
    # The true profile's own reconstructor is the best under its statistics.
    excess = [float(row[-1]) for row in rows.values()]
    assert excess[0] == 0.0 and min(excess) >= 0.0
