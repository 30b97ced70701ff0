"""What compressing a profile costs a tomographic study: the demo's system (8 m, four laser guide
stars at 90 km on a 30" square, 16 x 16 subapertures, 32 x 32 phase samples, noise 0.1 rad per
slope's phase difference) under the ELT's 35-layer median profile, exact model.

For the 35 layers and their 4-, 8- and 16-layer compressions by both methods:

- modelled: the on-axis tomographic error a study using the compressed profile reports (its MMSE
  reconstructor judged by its own statistics), over the same sensors on axis at a natural star;
- applied: the error of that reconstructor under the true 35-layer statistics, and its tomographic
  part over the true on-axis natural-star reference;
- excess: what the compression costs the applied error against the 35-layer reconstructor.

Errors are piston-removed phase variances averaged over the pupil, rad² at 500 nm (and nm rms).

    python3 bench/compression_bench.py [--nsubx 16] [--nphi 32]
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
import time

import numpy as np

import vedovx

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
from learn_and_apply import build, judged, nm, reconstructor, statistics  # noqa: E402

NOISE_RAD = 0.1


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nsubx", type=int, default=16)
    parser.add_argument("--nphi", type=int, default=32)
    args = parser.parse_args()
    start = time.perf_counter()
    system = build(args.nsubx, args.nphi)
    reference = build(args.nsubx, args.nphi, [(0.0, 0.0)], math.inf)
    inside = vedovx.projection(system, "phi") == 1.0
    n, m = vedovx.info(system).meas, vedovx.info(reference).meas
    noise = (NOISE_RAD / (8.0 / args.nsubx)) ** 2

    def floor(profile: vedovx.Profile) -> float:
        on_axis = statistics(reference, profile, inside)
        return judged(reconstructor(on_axis, np.full(m, noise)), on_axis, np.full(m, noise))

    median = vedovx.profiles.eso35()
    truth = statistics(system, median, inside)
    true_floor = floor(median)
    best = judged(reconstructor(truth, np.full(n, noise)), truth, np.full(n, noise))
    rows = [("35 layers", median)] + [
        (f"{method} {k}", vedovx.compress(median, k, method))
        for method in ("equivalent", "optimal") for k in (4, 8, 16)]
    print(f"{n} slopes, {int(inside.sum())} phase samples in the pupil; noise {noise:.3g} "
          f"(rad/m)^2\n")
    print(f"| profile | layers | modelled tomographic [rad², nm] | applied [rad², nm] | "
          f"applied tomographic [rad², nm] | excess [rad²] |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, profile in rows:
        own = statistics(system, profile, inside)
        r = reconstructor(own, np.full(n, noise))
        modelled = judged(r, own, np.full(n, noise)) - floor(profile)
        applied = judged(r, truth, np.full(n, noise))
        print(f"| {name} | {profile.count} | {modelled:.4f}, {nm(modelled):.1f} | "
              f"{applied:.4f}, {nm(applied):.1f} | {applied - true_floor:.4f}, "
              f"{nm(applied - true_floor):.1f} | {applied - best:.4f} |", flush=True)
    print(f"\n{time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
