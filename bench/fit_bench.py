"""Benchmark and validation of vedovx.fit_profile on the full case: an 8 m telescope, 16 x 16
subapertures, four laser guide stars at 90 km on a 30" square.

The true profile is the ELT median compressed to 8 layers (exact model, lag 0); T frames of slopes
are drawn from N(0, C_true + noise) with a different noise per sensor. Three fits, each timed:

1. at the true altitudes (outer scale known): every fraction against its own standard error, the
   total r0, the noise;
2. the same with the outer scale fitted (started at 10 m);
3. on a 10-altitude grid that misses the true layers: total r0 and θ0.

Then the standard errors' honesty at a smaller size (8 x 8 subapertures): the scatter of each
fraction over repeated telemetry against the mean reported error and the mean naive least-squares
error (which takes the covariance's elements as independent).

    python3 bench/fit_bench.py [--frames 20000] [--nsubx 16] [--repeats 20]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import vedov
import vedovx

STARS = [(-15.0, -15.0), (-15.0, 15.0), (15.0, -15.0), (15.0, 15.0)]


def sensors(nsubx: int) -> vedov.SystemGeom:
    system = vedov.SystemGeom.new_empty()
    system.set_pupil(8.0, 0.14)
    system.add_meas(8.0, nsubx, STARS, 90000.0, [(0.0, 0.0)] * 4, [0.0] * 4, [0.0] * 4)
    system.filter_meas([p == 1.0 for p in vedovx.projection(system, "meas_lines")])
    return system


def draw(system: vedov.SystemGeom, truth: vedovx.Profile, frames: int, seed: int):
    """Telemetry from the true profile and a noise per sensor (10 % to 25 % of the slopes'
    variance); also returns the noise per sensor and the draw's factor for reuse."""
    vedovx.set_layers(system, truth)
    c = vedovx.covariance(system, "meas", "meas")
    n = c.shape[0]
    noise = np.array([0.10, 0.15, 0.20, 0.25]) * np.diag(c).mean()
    factor = np.linalg.cholesky(c + np.diag(np.repeat(noise, n // 4)))
    rng = np.random.default_rng(seed)
    return rng.standard_normal((frames, n)) @ factor.T, noise, factor


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=20_000)
    parser.add_argument("--nsubx", type=int, default=16)
    parser.add_argument("--repeats", type=int, default=20, help="telemetry draws for the errors")
    args = parser.parse_args()
    truth = vedovx.compress(vedovx.profiles.eso35(), 8, "optimal")
    system = sensors(args.nsubx)
    (telemetry, noise, _), seconds = timed(lambda: draw(system, truth, args.frames, 1))
    n = telemetry.shape[1]
    print(f"{n} slopes, {args.frames} frames drawn in {seconds:.1f} s")
    import scipy.optimize  # noqa: F401  (imported before the clocks start)

    fit, seconds = timed(lambda: vedovx.fit_profile(system, telemetry, altitudes=truth.alt))
    print(f"\n1. at the true altitudes: {seconds:.1f} s")
    print(f"{'alt [m]':>10} {'true':>8} {'fitted':>8} {'error':>8} {'z':>6} {'naive':>8}")
    for alt, t, f, e, naive in zip(truth.alt, truth.fractions, fit.fractions,
                                   fit.fractions_error, fit.naive_fractions_error):
        print(f"{alt:10.0f} {t:8.4f} {f:8.4f} {e:8.4f} {(f - t) / e:6.2f} {naive:8.5f}")
    print(f"total r0 {fit.profile.total_r0():.5f} m (true {truth.total_r0():.5f}, "
          f"{fit.profile.total_r0() / truth.total_r0() - 1:+.2%}, ± {fit.r0_error:.5f}); noise "
          + ", ".join(f"{v / w - 1:+.2%}" for v, w in zip(fit.noise, noise))
          + f"; residual {fit.residual:.3f}")
    print(f"altitude resolution {fit.altitude_resolution:.0f} m, highest altitude "
          f"{fit.highest_altitude:.0f} m, resolved {int(fit.resolved.sum())} of "
          f"{fit.resolved.size}")

    fit, seconds = timed(lambda: vedovx.fit_profile(system, telemetry, altitudes=truth.alt,
                                                    fit_l0=True, l0=10.0))
    print(f"\n2. with the outer scale fitted: {seconds:.1f} s: L0 {fit.l0:.2f} m (true 25, "
          f"{fit.l0 / 25 - 1:+.1%}), total r0 {fit.profile.total_r0() / truth.total_r0() - 1:+.2%}")

    grid = np.linspace(0.0, 25000.0, 10) + 700.0
    fit, seconds = timed(lambda: vedovx.fit_profile(system, telemetry, altitudes=grid))
    true_p, found = truth.integrated(), fit.profile.integrated()
    print(f"\n3. on a grid of 10 altitudes from 700 m: {seconds:.1f} s: total r0 "
          f"{found.r0 / true_p.r0 - 1:+.2%}, θ0 {found.theta0 / true_p.theta0 - 1:+.2%}, "
          f"τ0 not fitted (lag 0)")

    small = sensors(8)
    _, _, factor = draw(small, truth, 1, 0)
    fits = []
    for seed in range(args.repeats):
        rng = np.random.default_rng(100 + seed)
        frames = rng.standard_normal((args.frames, factor.shape[0])) @ factor.T
        fits.append(vedovx.fit_profile(small, frames, altitudes=truth.alt))
    fractions = np.array([f.fractions for f in fits])
    reported = np.mean([f.fractions_error for f in fits], axis=0)
    naive = np.mean([f.naive_fractions_error for f in fits], axis=0)
    scatter = fractions.std(axis=0, ddof=1)
    print(f"\n4. standard errors over {args.repeats} draws ({factor.shape[0]} slopes, "
          f"{args.frames} frames):")
    print(f"{'alt [m]':>10} {'scatter':>9} {'reported':>9} {'naive':>9} {'ratio':>7} {'naive':>7}")
    for alt, s, r, v in zip(truth.alt, scatter, reported, naive):
        print(f"{alt:10.0f} {s:9.5f} {r:9.5f} {v:9.5f} {r / s:7.2f} {v / s:7.2f}")
    print(f"median reported / scatter {np.median(reported / scatter):.2f}, naive / scatter "
          f"{np.median(naive / scatter):.2f}")


if __name__ == "__main__":
    main()
