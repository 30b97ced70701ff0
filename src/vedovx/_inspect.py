"""What a system holds, as plain values and coordinate arrays."""

from __future__ import annotations

import dataclasses
from typing import Any, Literal

import numpy as np

from vedovx import _arrays
from vedovx._registry import LISTS
from vedovx._systems import borrowed

Positioned = Literal["meas", "meas_lines", "phi", "ts", "com"]


@dataclasses.dataclass(frozen=True)
class Layer:
    """One turbulent layer: Fried parameter, outer scale, altitude and wind (vx, vy)."""

    r0: float
    l0: float
    alt: float
    wind: tuple[float, float]


@dataclasses.dataclass(frozen=True)
class Pupil:
    """The telescope pupil: radii, vane width and vanes as ((x0, y0), (x1, y1)) segments."""

    rad_outer: float
    rad_inner: float
    spider_thickness: float
    spiders: tuple[tuple[tuple[float, float], tuple[float, float]], ...]


@dataclasses.dataclass(frozen=True)
class SystemInfo:
    """The sizes of a system's lists, its layers, time steps and pupil (None when unset)."""

    meas: int
    phi: int
    ts: int
    com: int
    meas_lines: int
    layers: tuple[Layer, ...]
    simul_dt: float
    meas_dt: float
    pupil: Pupil | None


def info(system: Any) -> SystemInfo:
    """The counts of every list, the layers, the time steps and the pupil of `system`."""
    with borrowed(system) as held:
        counts = held.counts()
        layers = tuple(Layer(r0, l0, alt, (vx, vy)) for r0, l0, alt, vx, vy in held.layers())
        steps = held.steps()
        found = held.pupil()
    pupil = None
    if found is not None:
        outer, inner, thickness, vanes = found
        pupil = Pupil(outer, inner, thickness,
                      tuple(((x0, y0), (x1, y1)) for x0, y0, x1, y1 in vanes))
    return SystemInfo(counts["meas"], counts["phi"], counts["ts"], counts["com"],
                      counts["meas_lines"], layers, steps["simul_dt"], steps["meas_dt"], pupil)


def positions(system: Any, which: Positioned, *, altitude: float = 0.0) -> np.ndarray[Any, Any]:
    """Coordinates, one row per entry of `which`:

    - "meas", "phi", "ts": (x, y) of each measurement's line of sight at `altitude` (0: where it
      crosses the pupil plane): a phase sample's line; for a slope, the line from its sub-aperture
      centre toward its guide star, which converges on a laser guide star (the beam's footprint on
      a layer); NaN for a measurement of nothing;
    - "meas_lines": (x, y) of each stored measurement line at `altitude`;
    - "com": (x, y, z) of each deformable-mirror actuator's centre, z its mirror's altitude; NaN for
      tip-tilt actuators.
    """
    if not isinstance(which, str) or which not in LISTS:
        raise ValueError(f"which must be one of {', '.join(map(repr, LISTS))}, not {which!r}")
    with borrowed(system) as held:
        count = held.counts()[which]
        array, target = _arrays.storage(None, (count, 3 if which == "com" else 2),
                                        np.dtype(np.float64))
        held.positions(which, float(altitude), target)
    return array


def sources(system: Any) -> np.ndarray[Any, Any]:
    """Per measurement of "meas": (dx, dy, altitude, baseline): its source's direction as line
    slopes (radians), the source's altitude (inf for a natural star), and its baseline at z = 0 (a
    slope's edge separation); NaN for a measurement of nothing. A guide star's measurements, as
    the builders make them, share the first three."""
    with borrowed(system) as held:
        array, target = _arrays.storage(None, (held.counts()["meas"], 4),
                                        np.dtype(np.float64))
        held.sources(target)
    return array
