"""Benchmark of the exact von Kármán model against vedov's closed form, end to end through vedovx.

Builds the 39 m telescope of examples/elt_tomography.py at 32 x 32 subapertures (4 laser guide
stars at 90 km on a 34" circle, slopes kept where the subaperture sees the pupil) and times
vedovx.covariance(system, "meas", "meas") in memory with each model, alternately, on all cores.
Prints JSON: the slope count, each model's median seconds and their ratio (exact over closed form).

    python3 bench/model_bench.py [--repeat N] [--nsubx N] [--l0 METRES]
"""

from __future__ import annotations

import argparse
import json
import statistics
import time

import vedov
import vedovx

TELDIAM = 39.0
COBS = 0.28


def system(nsubx: int, l0: float | None) -> vedov.SystemGeom:
    """The telescope and its 4 slope sensors; the default layers, each of outer scale l0 if given."""
    geom = vedov.SystemGeom.new_empty()
    geom.set_pupil(TELDIAM, COBS)
    geom.add_cov_layer()
    if l0 is not None:
        layers = vedovx.info(geom).layers
        vedovx.set_layers(geom, [layer.r0 for layer in layers], l0, [layer.alt for layer in layers],
                          [layer.wind for layer in layers])
    vedovx.add_meas(geom, TELDIAM, nsubx, vedovx.asterism(4, 34.0, altitude=90000.0))
    geom.filter_meas(vedovx.projection(geom, "meas_lines") == 1.0)
    return geom


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--nsubx", type=int, default=32)
    parser.add_argument("--l0", type=float, default=None, help="every layer's outer scale [m]")
    args = parser.parse_args()
    geom = system(args.nsubx, args.l0)
    times: dict[str, list[float]] = {"closed-form": [], "exact": []}
    for _ in range(args.repeat):
        for model, runs in times.items():
            start = time.perf_counter()
            vedovx.covariance(geom, "meas", "meas", model=model)
            runs.append(time.perf_counter() - start)
    closed, exact = (statistics.median(times[m]) for m in ("closed-form", "exact"))
    print(json.dumps({"slopes": vedovx.info(geom).meas, "l0": args.l0, "closed_form_s": closed,
                      "exact_s": exact, "exact_vs_closed_form": exact / closed}))


if __name__ == "__main__":
    main()
