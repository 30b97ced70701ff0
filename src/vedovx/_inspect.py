"""What a system holds, as plain values and coordinate arrays."""

from __future__ import annotations

import dataclasses
from typing import Any, Literal

import numpy as np

from vedovx import _arrays, _native
from vedovx._display import Table, Tabular, number
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


@dataclasses.dataclass(frozen=True, repr=False)
class SystemInfo(Tabular):
    """The sizes of a system's lists, its layers, time steps and pupil (None when unset).

    Prints as a short table of its layers under one line of counts."""

    meas: int
    phi: int
    ts: int
    com: int
    meas_lines: int
    layers: tuple[Layer, ...]
    simul_dt: float
    meas_dt: float
    pupil: Pupil | None

    def table(self) -> Table:
        if self.pupil is None:
            pupil = "no pupil"
        else:
            pupil = (f"pupil {number(2 * self.pupil.rad_outer)} across, obstruction "
                     f"{number(2 * self.pupil.rad_inner)}, {len(self.pupil.spiders)} spiders")
        rows = [[str(k), number(layer.r0), number(layer.l0), number(layer.alt, 6),
                 number(layer.wind[0]), number(layer.wind[1])]
                for k, layer in enumerate(self.layers)]
        return Table(
            f"SystemGeom: {self.meas} measurements ({self.meas_lines} lines), {self.phi} phase "
            f"samples, {self.ts} truth samples, {self.com} actuators",
            ["layer", "r0", "l0", "alt", "wind x", "wind y"], rows,
            [f"{pupil}; time steps {number(self.simul_dt)} and {number(self.meas_dt)}"]
            + ([] if rows else ["no turbulent layers"]))


@dataclasses.dataclass(frozen=True)
class Sensor:
    """The slopes of one guide star.

    Attributes
    ----------
    direction : tuple of float
        (x, y), arcsec: the slopes of its lines of sight over vedov's 4.848e-6.
    altitude : float
        Metres; +inf for a natural star (NaN where the measurements name no source).
    subaperture : float
        The distance its slopes are taken over, metres.
    indices : numpy.ndarray
        Its measurements' indices in ``meas``.
    """

    direction: tuple[float, float]
    altitude: float
    subaperture: float
    indices: np.ndarray[Any, np.dtype[np.int64]]


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


# Columns of a measurement's geometry row, as the compiled part writes it.
KIND, LINES, X, Y, XZ, YZ, ALTITUDE, SIZE, GX, GY = range(10)
SLOPE_PER_ARCSEC = 4.848e-6  # vedov's factor from arcseconds to line slopes


def geometry(held: _native.Borrowed, which: str) -> np.ndarray[Any, Any]:
    """One row per measurement of `which` ("meas", "phi" or "ts"): kind (0 nothing, 1 phase, 2 or
    3 slope), lines in its bundle, crossing of the pupil plane (x, y), slopes (xz, yz), source
    altitude (NaN unless a slope between edges), slope distance and axis (gx, gy)."""
    array, target = _arrays.storage(None, (held.counts()[which], 10),
                                    np.dtype(np.float64))
    held.geometry(which, target)
    return array


def sources(system: Any) -> np.ndarray[Any, Any]:
    """Per measurement of "meas": (dx, dy, altitude, baseline): its source's direction as line
    slopes (radians), the source's altitude (inf for a natural star, and for a phase or a slope
    between two lines), and its baseline at z = 0 (a slope's edge separation or the distance of its
    lines, 0 for a phase); NaN for a measurement of nothing. A guide star's measurements, as the
    builders make them, share the first three."""
    with borrowed(system) as held:
        rows = geometry(held, "meas")
    kind = rows[:, KIND]
    altitude = np.where(kind == 3, rows[:, ALTITUDE], np.where(kind == 0, np.nan, np.inf))
    baseline = np.where(kind == 1, 0.0, rows[:, SIZE])
    return np.column_stack([rows[:, XZ], rows[:, YZ], altitude, baseline])


def sensor_labels(system: Any) -> np.ndarray[Any, np.dtype[np.int64]]:
    """Each measurement's sensor (``sensors(system)``), numbered from 0 in order of appearance."""
    labels = np.empty(info(system).meas, dtype=np.int64)
    for k, sensor in enumerate(sensors(system)):
        labels[sensor.indices] = k
    return labels


def sensors(system: Any) -> tuple[Sensor, ...]:
    """The system's wavefront sensors: its measurements grouped by guide star.

    Measurements of one kind, direction and source altitude make a sensor, in the order of their
    first measurement. The builders give each guide star one sensor, so this finds the sensors of
    ``add_meas`` (after filters and reorders too); two sensors looking at the same star count as
    one.

    Parameters
    ----------
    system : vedov.SystemGeom or FrozenSystem

    Returns
    -------
    tuple of Sensor
    """
    with borrowed(system) as held:
        rows = geometry(held, "meas")
    keys = np.nan_to_num(rows[:, [KIND, XZ, YZ, ALTITUDE]], nan=np.inf)
    if not len(keys):
        return ()
    _, first, inverse = np.unique(keys, axis=0, return_index=True, return_inverse=True)
    found = []
    for group in np.argsort(first):
        indices = np.flatnonzero(inverse.reshape(-1) == group)
        row = rows[indices[0]]
        direction = (float(row[XZ] / SLOPE_PER_ARCSEC), float(row[YZ] / SLOPE_PER_ARCSEC))
        found.append(Sensor(direction, float(row[ALTITUDE]), float(row[SIZE]), indices))
    return tuple(found)


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
    height = _arrays.real(altitude, "altitude")
    with borrowed(system) as held:
        count = held.counts()[which]
        array, target = _arrays.storage(None, (count, 3 if which == "com" else 2),
                                        np.dtype(np.float64))
        held.positions(which, height, target)
    return array

