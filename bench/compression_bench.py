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
import vedovx.study as study

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
from learn_and_apply import build, reconstructor  # noqa: E402

NOISE_RAD = 0.1


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nsubx", type=int, default=16)
    parser.add_argument("--nphi", type=int, default=32)
    args = parser.parse_args()
    start = time.perf_counter()
    system = build(args.nsubx, args.nphi)
    reference = build(args.nsubx, args.nphi, [(0.0, 0.0)], math.inf)
    n = vedovx.info(system).meas
    noise = np.full(n, (NOISE_RAD / (8.0 / args.nsubx)) ** 2)

    def floor(profile: vedovx.Profile) -> study.Budget:
        vedovx.set_layers(reference, profile)
        return study.budget(reference, noise[:vedovx.info(reference).meas])

    median = vedovx.profiles.eso35()
    rows = [("35 layers", median)] + [
        (f"{method} {k}", vedovx.compress(median, k, method))
        for method in ("equivalent", "optimal") for k in (4, 8, 16)]
    own = {name: reconstructor(system, profile, noise) for name, profile in rows}
    modelled = {}
    for name, profile in rows:
        vedovx.set_layers(system, profile)
        modelled[name] = float(study.budget(system, noise, reconstructor=own[name])
                               .excess_over(floor(profile))[0])
    vedovx.set_layers(system, median)
    true_floor = floor(median)
    applied = {name: study.budget(system, noise, reconstructor=own[name]) for name, _ in rows}
    best = float(applied["35 layers"].total[0])
    print(f"{n} slopes; noise {noise[0]:.3g} (rad/m)^2\n")
    print("| profile | layers | modelled tomographic [rad², nm] | applied [rad², nm] | "
          "applied tomographic [rad², nm] | excess [rad²] |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, profile in rows:
        total = float(applied[name].total[0])
        tomographic = float(applied[name].excess_over(true_floor)[0])
        print(f"| {name} | {profile.count} | {modelled[name]:.4f}, "
              f"{study.nm(modelled[name]):.1f} | {total:.4f}, {study.nm(total):.1f} | "
              f"{tomographic:.4f}, {study.nm(tomographic):.1f} | {total - best:.4f} |")
    print(f"\n{time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
