"""Learn and apply: a turbulence profile learned from wavefront-sensor telemetry, and the
tomographic reconstructor built from it.

An 8 m telescope (central obscuration 0.14) with four laser guide stars at 90 km on the corners of a
30-arcsecond square, 16 x 16 Shack-Hartmann subapertures per star (those whose centre sees the
pupil) and 32 x 32 phase samples over the pupil. The atmosphere is the ELT's 35-layer median profile
(r0 0.155 m at 500 nm, L0 25 m). The example

1. draws telemetry: frames of slopes from N(0, C_true + C_noise), the slope covariance of the true
   profile (exact von Karman model) plus a different noise per guide star;
2. learns the profile from it (vedovx.fit_profile): the strengths on a grid of altitudes, one noise
   variance per guide star and the common outer scale;
3. builds the MMSE reconstructor of the on-axis phase from the learned profile and noise, from the
   true ones, and from vedov's default seven layers (with the true noise);
4. judges each by the true statistics: the on-axis error, piston removed, averaged over the pupil,
   and its tomographic part, the excess over the same sensors looking on axis at a natural star.

    python3 examples/learn_and_apply.py                          # the full case
    python3 examples/learn_and_apply.py --nsubx 6 --nphi 12 --frames 5000      # in seconds

Units: lengths in metres, directions in arcseconds, phase in radians at 500 nm, slopes in radians
per metre.
"""

from __future__ import annotations

import argparse
import math
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

import vedov
import vedovx
import vedovx.study as study
from demo import Timings

TELDIAM = 8.0
COBS = 0.14
GSALT = 90000.0
STARS = [(-15.0, -15.0), (-15.0, 15.0), (15.0, -15.0), (15.0, 15.0)]
# Each guide star's noise: the rms of the phase difference one slope measures across its
# subaperture, radians at 500 nm.
NOISE_RAD = (0.6, 0.8, 1.0, 1.2)


def build(nsubx: int, nphi: int, stars: list[tuple[float, float]] = STARS,
          gsalt: float = GSALT) -> vedov.SystemGeom:
    """The sensors (the subapertures the pupil sees) and the on-axis phase samples."""
    system = vedov.SystemGeom.new_empty()
    system.set_pupil(TELDIAM, COBS)
    n = len(stars)
    system.add_meas(TELDIAM, nsubx, stars, gsalt, [(0.0, 0.0)] * n, [0.0] * n, [0.0] * n)
    system.filter_meas((vedovx.projection(system, "meas_lines") == 1.0).tolist())
    system.add_phi(TELDIAM, nphi)
    return system


def reconstructor(system: vedov.SystemGeom, profile: vedovx.Profile,
                  noise: NDArray[np.float64]) -> NDArray[np.float64]:
    """The MMSE reconstructor of the on-axis phase from the slopes, built from `profile`."""
    vedovx.set_layers(system, profile)
    return study.reconstruction(system, noise).reconstructor


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Learn a profile from telemetry and apply it.")
    parser.add_argument("--nsubx", type=int, default=16, help="subapertures across (default 16)")
    parser.add_argument("--nphi", type=int, default=32, help="phase samples across (default 32)")
    parser.add_argument("--frames", type=int, default=20_000, help="frames of telemetry")
    parser.add_argument("--altitudes", type=int, default=10,
                        help="altitudes of the learned profile, 0 to 20 km (default 10)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    timings = Timings()
    truth = vedovx.profiles.eso35()
    default = vedovx.profiles.vedov_default()

    with timings.step("system", f"8 m, {len(STARS)} LGS at 90 km, {args.nsubx} x {args.nsubx}"):
        system = build(args.nsubx, args.nphi)
        inside = vedovx.projection(system, "phi") == 1.0
        n = vedovx.info(system).meas
        per_star = np.repeat(np.arange(len(STARS)), n // len(STARS))
        noise = (np.array(NOISE_RAD) / (TELDIAM / args.nsubx)) ** 2
        slope_noise = noise[per_star]
    print(f"    {n} slopes, {int(inside.sum())} phase samples in the pupil")
    with timings.step("truth", "covariances of the 35-layer median (exact model)"):
        vedovx.set_layers(system, truth)
        c_mm = vedovx.covariance(system, "meas", "meas")
    with timings.step("reference", "the same sensors on axis at a natural star"):
        reference = build(args.nsubx, args.nphi, [(0.0, 0.0)], math.inf)
        vedovx.set_layers(reference, truth)
        floor = study.budget(reference, slope_noise[:vedovx.info(reference).meas])
    with timings.step("telemetry", f"{args.frames} frames from N(0, C_true + C_noise)"):
        factor = np.linalg.cholesky(c_mm + np.diag(slope_noise))
        rng = np.random.default_rng(args.seed)
        frames = rng.standard_normal((args.frames, n)) @ factor.T
    grid = np.linspace(0.0, 20000.0, args.altitudes)
    with timings.step("learn", f"fit_profile at {args.altitudes} altitudes, noise and L0"):
        fit = vedovx.fit_profile(system, frames, altitudes=grid, fit_l0=True, l0=10.0)
    print(fit)
    with timings.step("reconstructors", "MMSE from the learned, true and default profiles"):
        learned = reconstructor(system, fit.profile, fit.noise[per_star])
        from_default = reconstructor(system, default, slope_noise)
        from_truth = reconstructor(system, truth, slope_noise)  # the system keeps the truth
        reconstructors = {"true (35 layers)": from_truth,
                          f"learned ({fit.profile.count} layers)": learned,
                          "vedov's default (7 layers)": from_default}
    with timings.step("judged", "the error of each under the true statistics"):
        budgets = {name: study.budget(system, slope_noise, reconstructor=r)
                   for name, r in reconstructors.items()}

    truth_p, found = truth.integrated(), fit.profile.integrated()
    print(f"\nlearned: r0 {found.r0:.4f} m (true {truth_p.r0:.4f}), theta0 {found.theta0:.2f}\" "
          f"(true {truth_p.theta0:.2f}\"), L0 {fit.l0:.1f} m (true 25), noise "
          + ", ".join(f"{v / w - 1:+.1%}" for v, w in zip(fit.noise, noise)))
    best = float(budgets["true (35 layers)"].total[0])
    print(f"\n{'reconstructor from the profile':<28} {'error [rad^2]':>13} {'[nm]':>6} "
          f"{'tomographic [rad^2]':>19} {'[nm]':>6} {'excess [rad^2]':>14}")
    for name, budget in budgets.items():
        error, tomographic = float(budget.total[0]), float(budget.excess_over(floor)[0])
        print(f"{name:<28} {error:13.4f} {study.nm(error):6.1f} {tomographic:19.4f} "
              f"{study.nm(tomographic):6.1f} {error - best:14.4f}")
    print("(error: noise and tomographic, piston removed, mean over the pupil; tomographic: over "
          "the same sensors on axis at a natural star; excess: over the reconstructor from the "
          "true profile)")
    print("times [s]: " + ", ".join(f"{k} {v:.2f}" for k, v in timings.seconds.items()))


if __name__ == "__main__":
    main()
