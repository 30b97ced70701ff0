"""The figure of the laser-tomography study: geometry, footprints, slope covariance, error maps."""

from __future__ import annotations

import pathlib
from typing import TYPE_CHECKING

import numpy as np
from matplotlib.axes import Axes
from matplotlib.figure import Figure
from matplotlib.patches import Circle, Rectangle

from demo import ARCSEC, COBS, FOOTPRINT_ALTITUDES, GSALT, TELDIAM, nm

if TYPE_CHECKING:
    from demo import Study

STAR_COLOURS = ("#1f78b4", "#33a02c", "#ff7f00", "#6a3d9a")
RADIUS = TELDIAM / 2
INNER = COBS * TELDIAM / 2


def draw(study: Study, results: dict[str, float], path: pathlib.Path) -> None:
    s = study.settings
    # A bare Figure draws straight to the file, whatever GUI backend the machine has.
    fig = Figure(figsize=(16, 10), layout="constrained")
    axes = fig.subplots(2, 3)
    fig.suptitle(f"Laser tomography on an {TELDIAM:g} m telescope: {len(s.stars)} LGS at "
                 f"{GSALT / 1000:g} km, {s.nsubx}x{s.nsubx} subapertures, "
                 f"{s.nactux}x{s.nactux} actuators, default seven-layer profile", fontsize=14)
    pupil_panel(axes[0, 0], study)
    for ax, altitude in zip(axes[0, 1:], FOOTPRINT_ALTITUDES):
        footprint_panel(ax, study, altitude)
    covariance_panel(fig, axes[1, 0], study)
    total, tomo = results["total_error_nm"], results["tomographic_error_nm"]
    map_panel(fig, axes[1, 1], study, study.total_map, "magma",
              f"Error of the on-axis MMSE estimate:\n{total:.0f} nm rms over the pupil, piston removed")
    map_panel(fig, axes[1, 2], study, study.tomographic_map, "viridis",
              f"Tomographic part: {tomo:.0f} nm rms (Strehl "
              f"{results['strehl_tomographic_1650nm']:.2f} at 1.65 µm),\nthe excess over the same "
              "sensors on axis at infinity")
    fig.savefig(path, dpi=80)


def outline(ax: Axes, r: float, x: float = 0.0, y: float = 0.0, colour: str = "k",
            width: float = 1.5, style: str = "-") -> None:
    ax.add_patch(Circle((x, y), r, fill=False, edgecolor=colour, linewidth=width, linestyle=style))


def square_axes(ax: Axes, half: float) -> None:
    ax.set_xlim(-half, half)
    ax.set_ylim(-half, half)
    ax.set_aspect("equal")
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")


def pupil_panel(ax: Axes, study: Study) -> None:
    s = study.settings
    size = s.subaperture
    centres = (np.arange(s.nsubx) + 0.5) * size - RADIUS
    for k, valid in enumerate(study.valid_sub):
        x, y = centres[k // s.nsubx], centres[k % s.nsubx]
        ax.add_patch(Rectangle((x - size / 2, y - size / 2), size, size, linewidth=0.5,
                               edgecolor="0.55", facecolor="#a6cee3" if valid else "none"))
    grid = (np.arange(s.nactux) - (s.nactux - 1) / 2) * s.pitch
    xs, ys = np.repeat(grid, s.nactux), np.tile(grid, s.nactux)
    kept, dropped = study.valid_com, ~study.valid_com
    ax.scatter(xs[kept], ys[kept], s=16, color="#e31a1c", zorder=3)
    ax.scatter(xs[dropped], ys[dropped], s=16, marker="x", color="0.45", zorder=3)
    outline(ax, RADIUS)
    outline(ax, INNER)
    ax.set_title(f"Pupil: {int(study.valid_sub.sum())} subapertures per LGS kept (blue),\n"
                 f"{int(kept.sum())} actuators kept (red), {int(dropped.sum())} dropped (grey)")
    square_axes(ax, RADIUS + s.pitch)


def footprint_panel(ax: Axes, study: Study, altitude: float) -> None:
    scale = 1.0 - altitude / GSALT
    # Where each kept subaperture's line of sight crosses the layer (vedovx.positions): per star,
    # a block of y slopes and one of x slopes at the same points.
    points = study.footprints[altitude]
    per_star = len(points) // len(study.settings.stars)
    for (sx, sy), colour, first in zip(study.settings.stars, STAR_COLOURS,
                                       range(0, len(points), per_star)):
        cx, cy = sx * ARCSEC * altitude, sy * ARCSEC * altitude
        ax.scatter(points[first:first + per_star, 0], points[first:first + per_star, 1], s=3,
                   color=colour, alpha=0.5, linewidths=0)
        outline(ax, RADIUS * scale, cx, cy, colour)
        outline(ax, INNER * scale, cx, cy, colour, width=0.8)
        ax.plot([cx], [cy], "+", color=colour, label=f'LGS ({sx:g}", {sy:g}")')
    outline(ax, RADIUS, style="--", width=1.2)
    outline(ax, INNER, style="--", width=0.8)
    ax.plot([], [], "k--", label="on-axis science beam")
    ax.set_title(f"Beam footprints in the layer at {altitude / 1000:g} km\n(LGS cones "
                 f"{scale:.3f} of the pupil, shifted {15 * ARCSEC * altitude:.2f} m per 15\")")
    ax.legend(loc="upper right", fontsize=7, framealpha=0.9)
    square_axes(ax, RADIUS + 2.5)


def covariance_panel(fig: Figure, ax: Axes, study: Study) -> None:
    c = study.c_meas_meas
    # The diagonal (the slope variance) would wash out the rest: colours stop at a quarter of it.
    limit = float(np.abs(c).max()) / 4
    image = ax.imshow(c, cmap="RdBu_r", interpolation="nearest", vmin=-limit, vmax=limit)
    block = int(study.valid_sub.sum())
    edges = np.arange(0, len(c) + 1, block)
    for edge in edges[1:-1]:
        ax.axhline(edge - 0.5, color="0.3", linewidth=0.4)
        ax.axvline(edge - 0.5, color="0.3", linewidth=0.4)
    labels = [f"{k // 2 + 1}{'yx'[k % 2]}" for k in range(len(edges) - 1)]
    ticks = (edges[:-1] + edges[1:] - 1) / 2
    ax.set_xticks(ticks, labels, fontsize=8)
    ax.set_yticks(ticks, labels, fontsize=8)
    ax.set_title(f"c_meas_meas, {len(c)} x {len(c)} [(rad/m)²]\n"
                 "LGS 1-4, y then x slopes; colours clipped at ±max/4")
    fig.colorbar(image, ax=ax, shrink=0.85, extend="both")


def map_panel(fig: Figure, ax: Axes, study: Study, variance: np.ndarray, cmap: str,
              title: str) -> None:
    n = study.settings.nphi
    values = np.full(n * n, np.nan)
    values[study.in_pupil] = [nm(v) for v in variance]
    # Sample k = i * n + j sits at (x_i, y_j): rows of the reshaped grid run along x.
    image = ax.imshow(values.reshape(n, n).T, origin="lower", cmap=cmap, interpolation="nearest",
                      extent=(-RADIUS, RADIUS, -RADIUS, RADIUS))
    outline(ax, RADIUS, colour="0.4", width=1.0)
    outline(ax, INNER, colour="0.4", width=1.0)
    ax.set_title(title, fontsize=10)
    square_axes(ax, RADIUS)
    fig.colorbar(image, ax=ax, shrink=0.85, label="nm rms")
