"""Figures of a system and its study: the pupil with sub-apertures and actuators, the sensors'
footprints on a layer, a covariance matrix, an error map over the pupil, the budget per direction.

Imported on request (``import vedovx.plot``; it needs matplotlib, from the ``examples`` extra). Each
function draws into the matplotlib Axes it is given, or into a new Figure of its own (drawn
straight to files by ``ax.figure.savefig``, whatever backend the machine has), and returns the Axes.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
from matplotlib.axes import Axes
from matplotlib.figure import Figure
from matplotlib.patches import Circle, Polygon

from vedovx._budget import Budget, Term, nm, strehl
from vedovx._builders import Asterism, Science
from vedovx._inspect import SLOPE_PER_ARCSEC, geometry, info, positions, sensors
from vedovx._systems import borrowed

__all__ = ["pupil", "footprints", "covariance", "error_map", "budget"]

COLOURS = ("#1f78b4", "#33a02c", "#ff7f00", "#6a3d9a", "#e31a1c", "#b15928", "#a6cee3",
           "#b2df8a", "#fdbf6f", "#cab2d6")


def _axes(ax: Axes | None, size: tuple[float, float] = (6.0, 5.0)) -> Axes:
    if ax is not None:
        return ax
    figure = Figure(figsize=size, layout="constrained")
    new: Axes = figure.subplots()
    return new


def _outline(ax: Axes, radius: float, x: float = 0.0, y: float = 0.0, colour: str = "k",
             width: float = 1.5, style: str = "-") -> None:
    ax.add_patch(Circle((x, y), radius, fill=False, edgecolor=colour, linewidth=width,
                        linestyle=style))


def _pupil_outline(ax: Axes, system: Any, colour: str = "k", style: str = "-",
                   scale: float = 1.0, centre: tuple[float, float] = (0.0, 0.0)) -> float:
    """Draws the pupil's rims (and vanes); returns its outer radius (0 without a pupil)."""
    found = info(system).pupil
    if found is None:
        return 0.0
    _outline(ax, found.rad_outer * scale, *centre, colour=colour, style=style)
    if found.rad_inner > 0:
        _outline(ax, found.rad_inner * scale, *centre, colour=colour, width=0.8, style=style)
    for (x0, y0), (x1, y1) in found.spiders:
        ax.plot([x0 * scale + centre[0], x1 * scale + centre[0]],
                [y0 * scale + centre[1], y1 * scale + centre[1]], color=colour,
                linewidth=max(0.8, found.spider_thickness), linestyle=style)
    return found.rad_outer


def _square(ax: Axes, half: float) -> None:
    ax.set_xlim(-half, half)
    ax.set_ylim(-half, half)
    ax.set_aspect("equal")
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")


def pupil(system: Any, ax: Axes | None = None, *, sensor: int = 0,
          kept_meas: npt.ArrayLike | None = None, kept_com: npt.ArrayLike | None = None) -> Axes:
    """The pupil with the sub-apertures of one sensor and the mirrors' actuators.

    Actuators are drawn at their (x, y) whatever their altitude, one colour per mirror altitude.

    Parameters
    ----------
    system : vedov.SystemGeom or FrozenSystem
    ax : matplotlib.axes.Axes, optional
        Default: the Axes of a new Figure.
    sensor : int
        Which of ``vedovx.sensors(system)``; the first by default.
    kept_meas, kept_com : array_like of bool, optional
        Masks over ``meas`` and ``com`` (of this system, before a filter): sub-apertures with a
        kept slope are filled, the others empty; dropped actuators are grey crosses. Default:
        everything kept.

    Returns
    -------
    matplotlib.axes.Axes
    """
    ax = _axes(ax)
    found = sensors(system)
    meas_mask = _mask(kept_meas, sum(len(s.indices) for s in found), "kept_meas")
    radius = _pupil_outline(ax, system)
    reach = radius
    if found:
        if not 0 <= sensor < len(found):
            raise ValueError(f"sensor: {sensor} is not one of the {len(found)} sensors")
        chosen = found[sensor]
        rows = _geometry(system)[chosen.indices]
        centres: dict[tuple[float, float], tuple[bool, float, float, float]] = {}
        for index, row in zip(chosen.indices, rows):
            key = (round(float(row[2]), 9), round(float(row[3]), 9))
            kept = bool(meas_mask[index]) or centres.get(key, (False,))[0]
            centres[key] = (kept, float(row[7]), float(row[8]), float(row[9]))
        for (x, y), (kept, size, gx, gy) in centres.items():
            # A square of side `size` whose sides follow the slope axes.
            ux, uy = gx * size / 2, gy * size / 2
            vx, vy = -uy, ux
            corners = [(x + sx * ux + sv * vx, y + sx * uy + sv * vy)
                       for sx, sv in ((-1, -1), (1, -1), (1, 1), (-1, 1))]
            ax.add_patch(Polygon(corners, closed=True, linewidth=0.5, edgecolor="0.55",
                                 facecolor="#a6cee3" if kept else "none"))
            reach = max(reach, abs(x) + size / 2, abs(y) + size / 2)
        kept_count = sum(1 for kept, *_ in centres.values() if kept)
        summary = f"{kept_count} of {len(centres)} sub-apertures of sensor {sensor} kept"
    else:
        summary = "no sensors"
    where = positions(system, "com")
    com_mask = _mask(kept_com, len(where), "kept_com")
    mirrors = sorted({float(z) for z in where[:, 2] if not math.isnan(z)})
    for k, altitude in enumerate(mirrors):
        on = where[:, 2] == altitude
        colour = "#e31a1c" if len(mirrors) == 1 else COLOURS[k % len(COLOURS)]
        ax.scatter(where[on & com_mask, 0], where[on & com_mask, 1], s=14, color=colour, zorder=3,
                   label=f"mirror at {altitude / 1000:g} km")
        ax.scatter(where[on & ~com_mask, 0], where[on & ~com_mask, 1], s=14, marker="x",
                   color="0.45", zorder=3)
        if on.any():
            reach = max(reach, float(np.abs(where[on, :2]).max()))
    if len(mirrors) > 1:
        ax.legend(loc="upper right", fontsize=7, framealpha=0.9)
    actuators = int((com_mask & ~np.isnan(where[:, 2])).sum())
    ax.set_title(f"Pupil: {summary},\n{actuators} actuators kept (dots)", fontsize=10)
    _square(ax, reach * 1.05 if reach > 0 else 1.0)
    return ax


def footprints(system: Any, altitude: float, ax: Axes | None = None, *,
               science: Science | Asterism | npt.ArrayLike | None = None) -> Axes:
    """Where the sensors' lines of sight cross a layer, with the beams' outlines.

    One colour per sensor; each beam is the pupil shrunk toward a laser guide star and shifted
    along its direction. The science beams are dotted.

    Parameters
    ----------
    system : vedov.SystemGeom or FrozenSystem
    altitude : float
        The layer's, metres.
    ax : matplotlib.axes.Axes, optional
    science : Science or Asterism or array_like, optional
        The science directions (arcsec); default on axis.

    Returns
    -------
    matplotlib.axes.Axes
    """
    ax = _axes(ax)
    found = sensors(system)
    points = positions(system, "meas", altitude=altitude)
    radius = _pupil_outline(ax, system, colour="0.3", style="--")
    reach = radius
    for k, sensor in enumerate(found):
        colour = COLOURS[k % len(COLOURS)]
        ax.scatter(points[sensor.indices, 0], points[sensor.indices, 1], s=3, color=colour,
                   alpha=0.5, linewidths=0)
        scale = 1.0 - altitude / sensor.altitude if sensor.altitude > 0 else 1.0
        cx = sensor.direction[0] * SLOPE_PER_ARCSEC * altitude
        cy = sensor.direction[1] * SLOPE_PER_ARCSEC * altitude
        _pupil_outline(ax, system, colour=colour, scale=scale, centre=(cx, cy))
        star = "NGS" if math.isinf(sensor.altitude) else "LGS"
        ax.plot([cx], [cy], "+", color=colour,
                label=f'{star} ({sensor.direction[0]:.3g}", {sensor.direction[1]:.3g}")')
        reach = max(reach, abs(cx) + radius, abs(cy) + radius)
    directions, height = _science(science)
    for x, y in directions:
        cx, cy = x * SLOPE_PER_ARCSEC * altitude, y * SLOPE_PER_ARCSEC * altitude
        scale = 1.0 - altitude / height
        _pupil_outline(ax, system, colour="k", style=":", scale=scale, centre=(cx, cy))
        reach = max(reach, abs(cx) + radius, abs(cy) + radius)
    ax.plot([], [], "k:", label="science beams")
    ax.set_title(f"Beam footprints in the layer at {altitude / 1000:g} km", fontsize=10)
    ax.legend(loc="upper right", fontsize=7, framealpha=0.9)
    _square(ax, reach * 1.1 if reach > 0 else 1.0)
    return ax


def covariance(matrix: npt.ArrayLike, ax: Axes | None = None, *,
               boundaries: Sequence[int] = (), labels: Sequence[str] = (), clip: float = 0.25,
               title: str | None = None) -> Axes:
    """A covariance matrix (or a block of one) as an image.

    Colours are symmetric about zero and clipped at ±clip·max|c| (the diagonal would wash out the
    rest).

    Parameters
    ----------
    matrix : array_like
    ax : matplotlib.axes.Axes, optional
    boundaries : sequence of int
        Row and column indices where blocks start: thin lines there.
    labels : sequence of str
        The blocks' names, at their centres.
    clip : float
        0.25 by default.
    title : str, optional

    Returns
    -------
    matplotlib.axes.Axes
    """
    ax = _axes(ax)
    c = np.asarray(matrix, dtype=np.float64)
    if c.ndim != 2:
        raise ValueError(f"matrix must be two-dimensional, not {c.ndim}-D")
    limit = float(np.abs(c).max()) * clip if c.size else 1.0
    image = ax.imshow(c, cmap="RdBu_r", interpolation="nearest", vmin=-limit, vmax=limit)
    for edge in boundaries:
        ax.axhline(edge - 0.5, color="0.3", linewidth=0.4)
        ax.axvline(edge - 0.5, color="0.3", linewidth=0.4)
    if labels:
        edges = [0, *boundaries, max(c.shape)]
        ticks = [(a + b - 1) / 2 for a, b in zip(edges[:-1], edges[1:])]
        ax.set_xticks(ticks[:len(labels)], list(labels), fontsize=8)
        ax.set_yticks(ticks[:len(labels)], list(labels), fontsize=8)
    ax.set_title(title or f"{c.shape[0]} x {c.shape[1]}; colours clipped at ±{clip:g} max",
                 fontsize=10)
    ax.figure.colorbar(image, ax=ax, shrink=0.85, extend="both")
    return ax


def error_map(result: Budget, k: int = 0, name: Term = "total", ax: Axes | None = None, *,
              values: npt.ArrayLike | None = None, system: Any = None, cmap: str = "magma",
              title: str | None = None) -> Axes:
    """A term of a budget over the pupil, nm rms at each science sample of one direction.

    Parameters
    ----------
    result : Budget
        It must know where its samples are (``vedovx.study.reconstruction`` says).
    k : int
        The direction.
    name : str
        The term ("total" by default).
    ax : matplotlib.axes.Axes, optional
    values : array_like, optional
        Draw these instead: rad², one per sample of direction k (an excess over a reference,
        say).
    system : vedov.SystemGeom, optional
        Its pupil's rims are drawn over the map.
    cmap : str
    title : str, optional

    Returns
    -------
    matplotlib.axes.Axes
    """
    ax = _axes(ax)
    if result.positions is None:
        raise ValueError("result: the budget does not know where its samples are")
    where = result.positions[result.groups[k]]
    shown = result.map(name, k) if values is None else np.asarray(values, dtype=np.float64)
    if shown.shape != (len(where),):
        raise ValueError(f"values: {shown.shape[0]} values for {len(where)} samples")
    xs = np.unique(np.round(where[:, 0], 9))
    ys = np.unique(np.round(where[:, 1], 9))
    step = min(np.diff(xs).min() if len(xs) > 1 else 1.0, np.diff(ys).min() if len(ys) > 1
               else 1.0)
    nx = int(round((xs[-1] - xs[0]) / step)) + 1
    ny = int(round((ys[-1] - ys[0]) / step)) + 1
    grid = np.full((ny, nx), np.nan)
    grid[np.round((where[:, 1] - ys[0]) / step).astype(int),
         np.round((where[:, 0] - xs[0]) / step).astype(int)] = nm(shown)
    extent = (xs[0] - step / 2, xs[-1] + step / 2, ys[0] - step / 2, ys[-1] + step / 2)
    image = ax.imshow(grid, origin="lower", cmap=cmap, interpolation="nearest", extent=extent)
    half = max(abs(v) for v in extent)
    if system is not None:
        half = max(half, _pupil_outline(ax, system, colour="0.4"))
    x, y = result.directions[k]
    mean = nm(float(np.mean(shown)))
    ax.set_title(title or f'{name} toward ({x:g}", {y:g}"): {mean:.1f} nm rms', fontsize=10)
    _square(ax, half)
    ax.figure.colorbar(image, ax=ax, shrink=0.85, label="nm rms")
    return ax


def budget(result: Budget, ax: Axes | None = None, *, wavelength: float | None = None) -> Axes:
    """The budget per direction: the terms stacked in rad², which add up to the total.

    Each bar is labelled with the total in nm rms and, with a science wavelength, its Strehl
    ratio.

    Parameters
    ----------
    result : Budget
    ax : matplotlib.axes.Axes, optional
    wavelength : float, optional
        Metres; default the budget's.

    Returns
    -------
    matplotlib.axes.Axes
    """
    ax = _axes(ax, (max(6.0, 0.8 * len(result.directions) + 2), 4.5))
    terms: list[Term] = ["noise", "tomographic"]
    if result.fitting is not None:
        terms.append("fitting")
    place = np.arange(len(result.directions))
    bottom = np.zeros(len(place))
    for k, term in enumerate(terms):
        values = result.term(term)
        ax.bar(place, values, bottom=bottom, color=COLOURS[k], label=term)
        bottom = bottom + values
    lam = wavelength if wavelength is not None else result.wavelength
    for p, total in zip(place, result.total):
        text = f"{nm(total):.0f} nm"
        if lam is not None:
            text += f"\nS={float(strehl(total, lam)):.2f}"
        ax.annotate(text, (p, total), ha="center", va="bottom", fontsize=7)
    ax.set_xticks(place, [f'({x:g}", {y:g}")' for x, y in result.directions], fontsize=7,
                  rotation=30 if len(place) > 4 else 0)
    ax.set_ylabel("rad² at 500 nm")
    ax.set_ylim(0, float(bottom.max()) * 1.2 if len(bottom) else 1.0)
    ax.set_title("Error budget per science direction", fontsize=10)
    ax.legend(loc="upper left", fontsize=7, framealpha=0.9)
    return ax


def _science(science: Science | Asterism | npt.ArrayLike | None) -> tuple[np.ndarray[Any, Any],
                                                                            float]:
    if science is None:
        return np.zeros((1, 2)), math.inf
    if isinstance(science, (Science, Asterism)):
        return science.directions, science.altitude
    array = np.asarray(science, dtype=np.float64).reshape(-1, 2)
    return array, math.inf


def _mask(mask: npt.ArrayLike | None, count: int, name: str) -> np.ndarray[Any, Any]:
    if mask is None:
        return np.ones(count, dtype=bool)
    array = np.asarray(mask)
    if array.dtype != np.bool_ or array.shape != (count,):
        raise ValueError(f"{name} must be {count} booleans, not an array of {array.dtype} of "
                         f"shape {array.shape}")
    return array


def _geometry(system: Any) -> np.ndarray[Any, Any]:
    with borrowed(system) as held:
        return geometry(held, "meas")
