"""Solving (C_mm + C_nn) x = s at ELT size with the covariance operator and conjugate gradients.

The ELT system of elt_tomography.py (39 m, central obscuration 0.28, six laser guide stars at 90 km
on a 34" circle, 68 x 68 subapertures kept where they see the pupil: about 40,000 slopes, the
default seven layers) gives the slope covariance C_mm as vedovx.covariance_operator: never formed,
applied by FFT over the sensors' lattices. C_nn is a noise variance on the diagonal. The example

1. builds the operator and a right-hand side s = (C_mm + C_nn) w for a random w, so that the
   solution w is known;
2. solves by scipy.sparse.linalg.cg, preconditioned by the operator's block-circulant approximate
   inverse (op.preconditioner), and reports the iterations, the time and the error against w;
3. at a scale where the dense matrix fits (--check-scale), solves the same system both ways, the
   dense one by a Cholesky factorisation of vedovx.covariance(..., method="direct") plus C_nn, and
   reports the relative difference of the two solutions.

    python3 examples/structured_solve.py                   # full size, and the check at 0.35
    python3 examples/structured_solve.py --scale 0.3 --check-scale 0.2

Units: metres; slopes in rad/m of phase at 500 nm.
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import scipy.linalg
import scipy.sparse.linalg

import vedov
import vedovx

TELDIAM = 39.0
RADIUS = 34.0  # arcsec, the guide stars' circle

FloatArray = np.ndarray[Any, np.dtype[np.float64]]


def build_system(scale: float) -> vedov.SystemGeom:
    """The ELT's laser-guide-star sensors, 68 x scale subapertures across, kept in the pupil."""
    nsubx = max(2, round(68 * scale))
    stars = [(RADIUS * math.cos(math.pi * k / 3), RADIUS * math.sin(math.pi * k / 3))
             for k in range(6)]
    system = vedov.SystemGeom.new_empty()
    system.set_pupil(TELDIAM, 0.28)
    system.add_cov_layer()
    system.add_meas(TELDIAM, nsubx, stars, 90000.0, [(0.0, 0.0)] * 6, [0.0] * 6, [0.0] * 6)
    system.filter_meas(vedovx.projection(system, "meas_lines") == 1.0)
    return system


@dataclass
class Solved:
    x: FloatArray
    iterations: int
    seconds: float


def solve_cg(op: vedovx.CovarianceOperator, noise_var: float, s: FloatArray,
             rtol: float) -> Solved:
    """x with (op + noise_var I) x = s by preconditioned conjugate gradients."""
    n = op.shape[0]
    system = scipy.sparse.linalg.LinearOperator(
        (n, n), matvec=lambda v: op @ v + noise_var * v, dtype=np.float64)
    iterations = 0

    def count(_: FloatArray) -> None:
        nonlocal iterations
        iterations += 1

    start = time.perf_counter()
    x, info = scipy.sparse.linalg.cg(system, s, rtol=rtol, maxiter=20 * n,
                                     M=op.preconditioner(noise_var), callback=count)
    if info != 0:
        raise RuntimeError(f"conjugate gradients did not converge in {iterations} iterations")
    return Solved(x, iterations, time.perf_counter() - start)


def study(scale: float, noise: float, rtol: float, dense: bool) -> None:
    system = build_system(scale)
    n = vedovx.info(system).meas
    noise_var = (noise / (TELDIAM / max(2, round(68 * scale)))) ** 2
    start = time.perf_counter()
    op = vedovx.covariance_operator(system, "meas", "meas")
    built = time.perf_counter() - start
    w = np.random.default_rng(1).standard_normal(n)
    s = op @ w + noise_var * w
    print(f"{n} slopes (scale {scale}): operator built in {built:.2f} s, {op.nbytes / 1e6:.0f} MB "
          f"({100 * op.nbytes / (8 * n * n):.2f} % of the dense matrix); noise variance "
          f"{noise_var:.4g} (rad/m)^2")
    cg = solve_cg(op, noise_var, s, rtol)
    error = np.linalg.norm(cg.x - w) / np.linalg.norm(w)
    print(f"  cg: {cg.iterations} iterations, {cg.seconds:.1f} s "
          f"({1e3 * cg.seconds / max(1, cg.iterations):.1f} ms each); |x - w| / |w| = {error:.1e}")
    if dense:
        start = time.perf_counter()
        c = vedovx.covariance(system, "meas", "meas")
        c[np.diag_indices(n)] += noise_var
        x = scipy.linalg.cho_solve(scipy.linalg.cho_factor(c, lower=True, overwrite_a=True), s)
        seconds = time.perf_counter() - start
        difference = np.linalg.norm(cg.x - x) / np.linalg.norm(x)
        print(f"  dense: evaluated and solved in {seconds:.1f} s; |x_cg - x_dense| / |x_dense| = "
              f"{difference:.1e}")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="(C_mm + C_nn) x = s by the covariance operator "
                                                 "and conjugate gradients (see the docstring).")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="subapertures across: 68 x scale (default 1: the ELT)")
    parser.add_argument("--check-scale", type=float, default=0.35,
                        help="the scale of the check against a dense solve (default 0.35); 0 "
                             "skips it")
    parser.add_argument("--noise", type=float, default=0.1,
                        help="rms of the phase difference one slope measures across its "
                             "subaperture, rad at 500 nm (default 0.1)")
    parser.add_argument("--rtol", type=float, default=1e-11,
                        help="the relative residual conjugate gradients stop at (default 1e-11)")
    args = parser.parse_args(argv)
    if not (0 < args.scale <= 1 and 0 <= args.check_scale <= 1 and args.noise > 0
            and 0 < args.rtol < 1):
        parser.error("need 0 < --scale <= 1, 0 <= --check-scale <= 1, --noise > 0, "
                     "0 < --rtol < 1")
    study(args.scale, args.noise, args.rtol, dense=False)
    if args.check_scale:
        study(args.check_scale, args.noise, args.rtol, dense=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
