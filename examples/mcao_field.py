"""Multi-conjugate adaptive optics over a field: the error budget in nine science directions.

An 8 m telescope (central obscuration 0.14) with three natural guide stars on a ring of 60"
diameter (an equilateral triangle 52" a side), 16 x 16 Shack-Hartmann subapertures each, two
deformable mirrors conjugated to 0 and 10 km, and nine science directions on a 3 x 3 grid over a
60" square field. With vedovx and vedovx.study the study

1. builds the system with vedovx's builders and adds phase samples over the pupil toward each
   science direction (vedovx.add_science);
2. keeps the subapertures that see the pupil and the actuators whose response reaches the coupling
   at some science sample;
3. computes the MMSE reconstruction of the phase in every science direction from the slopes (exact
   von Karman covariance, a stated centroid error), the least-squares fit of both mirrors to the
   nine directions at once, and the error budget per direction (noise, tomographic, fitting);
4. prints the budget table and draws a figure (vedovx.plot).

    python3 examples/mcao_field.py                   # outputs in examples/output/mcao/
    python3 examples/mcao_field.py --nsubx 8 --nsamples 8      # smaller and quicker

Units: lengths in metres, directions in arcseconds, wavelengths in metres; phase in radians at
500 nm, optical paths in nm.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys
import time
from collections.abc import Sequence

import numpy as np

import vedov
import vedovx
import vedovx.study as study

TELDIAM = 8.0
COBS = 0.14
COUPLING = 0.3
STARS = vedovx.asterism(3, 30.0)  # natural stars on a ring of 60" diameter
FIELD = vedovx.asterism(9, 30.0, shape="square")  # 3 x 3 directions over 60" x 60"
MIRRORS = ((0.0, 0.5, 17), (10000.0, 1.0, 15))  # altitude, pitch, actuators across
SCIENCE = 1.65e-6  # metres
OUTPUT = pathlib.Path(__file__).resolve().parent / "output" / "mcao"


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="MCAO field study (see the module docstring).")
    parser.add_argument("--nsubx", type=int, default=16, help="subapertures across (default 16)")
    parser.add_argument("--nsamples", type=int, default=16,
                        help="science phase samples across the pupil, per direction (default 16)")
    parser.add_argument("--centroid", type=float, default=0.05,
                        help='centroid error of every slope, arcsec rms (default 0.05")')
    parser.add_argument("--output", type=pathlib.Path, default=OUTPUT,
                        help="directory for the figure and results.json")
    args = parser.parse_args(argv)
    if args.nsubx < 1 or args.nsamples < 2 or args.centroid <= 0:
        parser.error("need --nsubx >= 1, --nsamples >= 2 and --centroid > 0")
    return args


def build(nsubx: int, nsamples: int) -> tuple[vedov.SystemGeom, vedovx.Science]:
    """The sensors, both mirrors, the default layers, the pupil and the science samples; the
    slopes and actuators that see the pupil kept."""
    system = vedov.SystemGeom.new_empty()
    system.set_pupil(TELDIAM, COBS)
    system.add_cov_layer()
    vedovx.add_meas(system, TELDIAM, nsubx, STARS)
    system.filter_meas(vedovx.projection(system, "meas_lines") == 1.0)
    for altitude, pitch, across in MIRRORS:
        vedovx.add_com(system, pitch, across, COUPLING, dmalt=altitude)
    science = vedovx.add_science(system, FIELD, nsamples)
    # Actuators whose response reaches the coupling at some science sample in the pupil.
    inside = vedovx.projection(system, "phi") == 1.0
    system.filter_com(vedovx.interaction(system, "phi", rows_index=inside).max(axis=0) >= COUPLING)
    return system, science


def draw(system: vedov.SystemGeom, result: study.Reconstruction, path: pathlib.Path) -> None:
    from matplotlib.figure import Figure  # matplotlib is imported only here

    import vedovx.plot as plot

    figure = Figure(figsize=(16, 10), layout="constrained")
    axes = figure.subplots(2, 3)
    figure.suptitle(f"MCAO on an {TELDIAM:g} m telescope: 3 NGS on a 60\" ring, mirrors at 0 and "
                    "10 km, 9 science directions over 60\" x 60\"", fontsize=14)
    plot.pupil(system, axes[0, 0])
    plot.footprints(system, 10000.0, axes[0, 1], science=FIELD)
    plot.budget(result.budget, axes[0, 2])
    b = result.budget
    centre, corner = 4, 0
    plot.error_map(b, centre, "residual", axes[1, 0], system=system)
    plot.error_map(b, corner, "residual", axes[1, 1], system=system)
    # The corrected residual over the field, one square per direction.
    ax = axes[1, 2]
    residual = study.nm(b.term("residual"))
    image = ax.scatter(b.directions[:, 0], b.directions[:, 1], c=residual, s=900, marker="s",
                       cmap="magma")
    for (x, y), value, s in zip(b.directions, residual, b.strehl(SCIENCE, "residual")):
        ax.annotate(f"{value:.0f} nm\nS={s:.2f}", (x, y), ha="center", va="center", fontsize=8,
                    bbox={"boxstyle": "round", "facecolor": "w", "alpha": 0.7, "linewidth": 0})
    ax.scatter(STARS.directions[:, 0], STARS.directions[:, 1], marker="*", s=200, color="#33a02c",
               label="guide stars")
    ax.set_xlim(-45, 45)
    ax.set_ylim(-45, 45)
    ax.set_aspect("equal")
    ax.set_xlabel("x [arcsec]")
    ax.set_ylabel("y [arcsec]")
    ax.legend(loc="upper right", fontsize=7)
    ax.set_title("Residual of the corrected phase over the field\n(Strehl at 1.65 µm)",
                 fontsize=10)
    figure.colorbar(image, ax=ax, shrink=0.85, label="nm rms")
    figure.savefig(path, dpi=80)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    args.output.mkdir(parents=True, exist_ok=True)
    seconds: dict[str, float] = {}
    start = time.perf_counter()
    system, science = build(args.nsubx, args.nsamples)
    noise = study.slope_noise(system, args.centroid)
    seconds["build"] = time.perf_counter() - start
    counts = vedovx.info(system)
    print(f"MCAO field study: {counts.meas} slopes from {len(STARS)} stars, {counts.com} "
          f"actuators on {len(MIRRORS)} mirrors, {len(FIELD)} science directions of "
          f"{args.nsamples} x {args.nsamples} samples; centroid error {args.centroid}\" rms "
          f"({float(study.slope_variance(args.centroid)):.4g} (rad/m)^2 per slope)")

    start = time.perf_counter()
    result = study.reconstruction(system, noise, science=science, dms=True, wavelength=SCIENCE)
    seconds["reconstruction"] = time.perf_counter() - start
    print(result.budget)
    b = result.budget
    assert result.commands is not None  # the mirrors were fitted
    rows, columns = result.commands.shape
    print(f"the mirrors' commands from the slopes: a {rows} x {columns} command matrix")

    start = time.perf_counter()
    figure = args.output / "mcao_field.png"
    draw(system, result, figure)
    seconds["figure"] = time.perf_counter() - start
    print("times [s]: " + ", ".join(f"{k} {v:.2f}" for k, v in seconds.items()))
    rows = {name: b.term(name).tolist()
            for name in ("uncorrected", "noise", "tomographic", "fitting", "residual", "total")}
    (args.output / "results.json").write_text(json.dumps(
        {"directions": b.directions.tolist(), "rad2": rows,
         "strehl_1650nm": b.strehl().tolist(), "seconds": seconds}, indent=2) + "\n")
    print(f"outputs in {args.output}")
    return 0 if np.isfinite(b.total).all() else 1


if __name__ == "__main__":
    sys.exit(main())
