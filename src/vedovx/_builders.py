"""Builders for people: vedov's builders taking NumPy arrays and defaults, asterisms, and phase
samples toward science directions."""

from __future__ import annotations

import dataclasses
import math
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
import vedov

from vedovx import _native
from vedovx._inspect import info
from vedovx._systems import check_system

Pair = tuple[float, float]
Shape = Literal["ring", "square"]
Directions = Any  # an (n, 2) array-like of (x, y) pairs, or an Asterism


@dataclasses.dataclass(frozen=True)
class Asterism:
    """Directions (x, y) [arcsec] of a set of stars, one row each, and the stars' altitude
    (+inf for natural stars). Builders take it in place of a list of directions and its altitude."""

    directions: np.ndarray[Any, np.dtype[np.float64]]
    altitude: float = math.inf

    def __len__(self) -> int:
        return len(self.directions)

    def pairs(self) -> list[Pair]:
        """The directions as the list of (x, y) tuples vedov's builders take."""
        return [(float(x), float(y)) for x, y in self.directions]


def asterism(n: int, radius: float, altitude: float = math.inf, shape: Shape = "ring") -> Asterism:
    """n stars around the axis at `altitude` (+inf: natural stars).

    shape="ring": on a circle of `radius` [arcsec], star k at the angle 2πk/n from the x axis,
        counter-clockwise, at (radius·cos(2πk/n), radius·sin(2πk/n)) (exact at quarter turns);
    shape="square": on a square grid of m × m stars (n = m²) spanning [-radius, radius] on both
        axes, x index outer as vedov's grids (n = 4: the corners, n = 9: corners, edge midpoints and
        the axis; n = 1: the axis).
    """
    count = _count(n, "n")
    if shape not in ("ring", "square"):
        raise ValueError(f"shape must be 'ring' or 'square', not {shape!r}")
    r = _finite(radius, "radius")
    height = _altitude(altitude)
    if shape == "ring":
        quarter = [(1.0, 0.0), (0.0, 1.0), (-1.0, 0.0), (0.0, -1.0)]  # exact at quarter turns
        points = [(r * quarter[4 * k // count][0], r * quarter[4 * k // count][1])
                  if 4 * k % count == 0 else
                  (r * math.cos(2 * math.pi * k / count), r * math.sin(2 * math.pi * k / count))
                  for k in range(count)]
    else:
        side = math.isqrt(count)
        if side * side != count:
            raise ValueError(f"n must be a square number for shape='square', not {count}")
        line = [0.0] if side == 1 else [-r + 2 * r * i / (side - 1) for i in range(side)]
        points = [(x, y) for x in line for y in line]
    return Asterism(np.array(points, dtype=np.float64).reshape(count, 2), height)


def add_meas(system: Any, teldiam: float, nsubx: int, wfs_dirs: Directions,
             gsalt: float | None = None, *, wfs_delta: npt.ArrayLike | None = None,
             wfs_clocking: npt.ArrayLike | None = None,
             wfs_zoom: npt.ArrayLike | None = None) -> None:
    """``system.add_meas`` with arrays and defaults: one Shack-Hartmann sensor per row of
    `wfs_dirs` (an (n, 2) array of directions [arcsec] or an Asterism).

    gsalt: the guide stars' altitude (default: the asterism's, else +inf; given, it wins).
    wfs_delta (n, 2), wfs_clocking (n,), wfs_zoom (n,): per sensor, or one value for all; default
    0 (no shift, rotation or magnification). Equals the plain vedov call with these values."""
    check_system(system)
    dirs, height = _directions(wfs_dirs, "wfs_dirs", gsalt, "gsalt")
    n = len(dirs)
    system.add_meas(teldiam, nsubx, dirs, height, _pairs(wfs_delta, "wfs_delta", n),
                    _floats(wfs_clocking, "wfs_clocking", n), _floats(wfs_zoom, "wfs_zoom", n))


def add_ts(system: Any, teldiam: float, ntssamples: int, ts_dirs: Directions) -> None:
    """``system.add_ts`` with an (n, 2) array of directions [arcsec] (or an Asterism)."""
    check_system(system)
    dirs, _ = _directions(ts_dirs, "ts_dirs", None, "")
    system.add_ts(teldiam, ntssamples, dirs)


def add_com(system: Any, pitch: float, nactux: int, coupling: float, *, dmalt: float = 0.0,
            dm_delta: npt.ArrayLike = (0.0, 0.0), dm_clocking: float = 0.0, dm_zoom: float = 0.0,
            microns_per_volt: float = 1.0) -> None:
    """``system.add_com`` with defaults: a mirror at the pupil (dmalt 0), unshifted, unrotated,
    unmagnified, of unit peak response; dm_delta any (x, y) pair (a NumPy array too)."""
    check_system(system)
    system.add_com(pitch, nactux, _pair(dm_delta, "dm_delta"), dmalt, coupling, dm_clocking,
                   dm_zoom, microns_per_volt)


def new_system(*, teldiam: float, cobs: float, coupling: float, nactux: int, pitch: float,
               nsubx: int, nphisamples: int, wfs_dirs: Directions, gsalt: float | None = None,
               dmalt: float = 0.0, ntssamples: int = 0, ts_dirs: Directions = (),
               dm_delta: npt.ArrayLike = (0.0, 0.0), wfs_delta: npt.ArrayLike | None = None,
               dm_clocking: float = 0.0, wfs_clocking: npt.ArrayLike | None = None,
               dm_zoom: float = 0.0, wfs_zoom: npt.ArrayLike | None = None,
               microns_per_volt: float = 1.0) -> vedov.SystemGeom:
    """``vedov.SystemGeom.new`` by keyword, with arrays and defaults: no truth sensor, the mirror
    at the pupil, nothing shifted, rotated or magnified, guide stars at the asterism's altitude
    (else at infinity), unit actuator response. Equals the plain vedov call with these values."""
    dirs, height = _directions(wfs_dirs, "wfs_dirs", gsalt, "gsalt")
    truth, _ = _directions(ts_dirs, "ts_dirs", None, "")
    n = len(dirs)
    return vedov.SystemGeom.new(
        teldiam=teldiam, cobs=cobs, coupling=coupling, nactux=nactux, dmalt=dmalt, pitch=pitch,
        nsubx=nsubx, ntssamples=ntssamples, nphisamples=nphisamples, wfs_dirs=dirs,
        ts_dirs=truth, dm_delta=_pair(dm_delta, "dm_delta"),
        wfs_delta=_pairs(wfs_delta, "wfs_delta", n), dm_clocking=dm_clocking,
        wfs_clocking=_floats(wfs_clocking, "wfs_clocking", n), dm_zoom=dm_zoom,
        wfs_zoom=_floats(wfs_zoom, "wfs_zoom", n), gsalt=height,
        microns_per_volt=microns_per_volt)


@dataclasses.dataclass(frozen=True)
class Science:
    """Phase samples toward science directions: where add_science put them in ``phi``.

    directions: (n, 2) [arcsec]; altitude: of the source they look at (+inf: at infinity);
    nsamples: samples across the grid of each direction; teldiam: its width; start: the index in
    ``phi`` of the first sample. Direction k's samples are ``phi[start + k·nsamples² :
    start + (k+1)·nsamples²]``, in vedov's grid order (x index outer)."""

    directions: np.ndarray[Any, np.dtype[np.float64]]
    altitude: float
    nsamples: int
    teldiam: float
    start: int

    def samples(self, k: int) -> slice:
        """Where direction k's samples are in ``phi``."""
        if not 0 <= k < len(self.directions):
            raise IndexError(f"direction {k} of {len(self.directions)}")
        size = self.nsamples**2
        return slice(self.start + k * size, self.start + (k + 1) * size)

    @property
    def groups(self) -> list[np.ndarray[Any, np.dtype[np.int64]]]:
        """Indices in ``phi`` of each direction's samples."""
        return [np.arange(s.start, s.stop, dtype=np.int64)
                for s in (self.samples(k) for k in range(len(self.directions)))]


def add_science(system: Any, directions: Directions, nsamples: int, *,
                teldiam: float | None = None, altitude: float | None = None) -> Science:
    """Appends to ``phi`` phase samples over the pupil toward each direction (x, y) [arcsec] (an
    (n, 2) array or an Asterism): per direction, vedov's phase-sample grid (the centres of
    nsamples × nsamples equal cells across `teldiam`, default the pupil's diameter), the line
    through each sample heading for the direction's point at `altitude` (default the asterism's,
    else +inf: lines parallel to the direction, slopes x·4.848e-6 and y·4.848e-6 as vedov's
    builders make them). Toward (0, 0) at infinity they equal ``add_phi(teldiam, nsamples)``.

    Returns where they are. Nothing is appended when an argument is refused (ValueError naming it)
    or the system is being read (RuntimeError)."""
    check_system(system)
    dirs, height = _directions(directions, "directions", altitude, "altitude")
    count = _count(nsamples, "nsamples")
    if teldiam is None:
        pupil = info(system).pupil
        if pupil is None:
            raise ValueError("teldiam: the system has no pupil, so give the grid's width")
        width = 2.0 * pupil.rad_outer
    else:
        width = _finite(teldiam, "teldiam")
    table = np.ascontiguousarray(np.array(dirs, dtype=np.float64).reshape(len(dirs), 2))
    start = _native.add_phase_samples(system, width, count, (table.ctypes.data, len(dirs)), height)
    return Science(table, height, count, width, start)


def _directions(value: Any, name: str, altitude: float | None,
                altitude_name: str) -> tuple[list[Pair], float]:
    """The pairs vedov wants and the altitude: the one given, else the asterism's, else +inf."""
    if altitude is not None:
        height = _altitude(altitude, altitude_name)
    else:
        height = value.altitude if isinstance(value, Asterism) else math.inf
    if isinstance(value, Asterism):
        return value.pairs(), height
    array = _array(value, name)
    if array.size == 0:
        return [], height
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(f"{name} must be (x, y) pairs, an array of shape (n, 2), not "
                         f"{array.shape}")
    return [(float(x), float(y)) for x, y in array], height


def _pairs(value: npt.ArrayLike | None, name: str, n: int) -> list[Pair]:
    """n (x, y) pairs: zeros by default, one pair repeated, or one per sensor."""
    if value is None:
        return [(0.0, 0.0)] * n
    array = _array(value, name)
    if array.shape == (2,):
        return [(float(array[0]), float(array[1]))] * n
    if array.shape != (n, 2):
        raise ValueError(f"{name} must be one (x, y) pair or {n} of them, not an array of shape "
                         f"{array.shape}")
    return [(float(x), float(y)) for x, y in array]


def _pair(value: npt.ArrayLike, name: str) -> Pair:
    array = _array(value, name)
    if array.shape != (2,):
        raise ValueError(f"{name} must be one (x, y) pair, not an array of shape {array.shape}")
    return float(array[0]), float(array[1])


def _floats(value: npt.ArrayLike | None, name: str, n: int) -> list[float]:
    """n numbers: zeros by default, one number repeated, or one per sensor."""
    if value is None:
        return [0.0] * n
    array = _array(value, name)
    if array.ndim == 0:
        return [float(array)] * n
    if array.shape != (n,):
        raise ValueError(f"{name} must be one number or {n} of them, not an array of shape "
                         f"{array.shape}")
    return [float(v) for v in array]


def _array(value: Any, name: str) -> np.ndarray[Any, np.dtype[np.float64]]:
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be numbers, not {type(value).__name__}")
    try:
        return np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must be numbers: {error}") from None


def _number(value: Any, name: str) -> float:
    array = _array(value, name)
    if array.ndim != 0:
        raise ValueError(f"{name} must be one number, not an array of shape {array.shape}")
    return float(array)


def _finite(value: Any, name: str) -> float:
    number = _number(value, name)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, not {number!r}")
    return number


def _altitude(value: Any, name: str = "altitude") -> float:
    height = _number(value, name)
    if not height > 0.0:
        raise ValueError(f"{name} must be positive (+inf for a source at infinity), not {height!r}")
    return height


def _count(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return int(value)
