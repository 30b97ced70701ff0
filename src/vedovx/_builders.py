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
    """Directions of a set of stars and their altitude.

    Builders take it in place of a list of directions (and its altitude).

    Attributes
    ----------
    directions : numpy.ndarray
        (n, 2): (x, y) per star, arcsec.
    altitude : float
        Metres; +inf for natural stars.
    """

    directions: np.ndarray[Any, np.dtype[np.float64]]
    altitude: float = math.inf

    def __len__(self) -> int:
        return len(self.directions)

    def pairs(self) -> list[Pair]:
        """The directions as the list of (x, y) tuples vedov's builders take."""
        return [(float(x), float(y)) for x, y in self.directions]


def asterism(n: int, radius: float, altitude: float = math.inf, shape: Shape = "ring") -> Asterism:
    """n stars around the axis.

    Parameters
    ----------
    n : int
        Number of stars, at least 1.
    radius : float
        Arcsec.
    altitude : float
        Metres, +inf (natural stars) by default.
    shape : {"ring", "square"}
        "ring": on a circle of `radius`, star k at (radius·cos(2πk/n), radius·sin(2πk/n)), the
        angle counted from the x axis toward y (exact at quarter turns). "square": on a grid of
        m × m stars (n = m²) spanning [-radius, radius] on both axes, x index outer as vedov's
        grids (n = 4: the corners; n = 9: corners, edge midpoints and the axis; n = 1: the axis).

    Returns
    -------
    Asterism
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
    """``system.add_meas`` with arrays and defaults: one Shack-Hartmann sensor per direction.

    Equals the plain vedov call with these values (the same document).

    Parameters
    ----------
    system : vedov.SystemGeom
    teldiam : float
        Metres.
    nsubx : int
        Sub-apertures across.
    wfs_dirs : array_like or Asterism
        (n, 2): the guide stars' directions, arcsec.
    gsalt : float, optional
        The guide stars' altitude, metres: given, it wins; else the asterism's, else +inf.
    wfs_delta : array_like, optional
        Pattern shift (x, y), metres: one pair for all sensors or (n, 2); default none.
    wfs_clocking, wfs_zoom : float or array_like, optional
        Rotation (radians) and relative magnification: one for all or one per sensor; default 0.
    """
    check_system(system)
    dirs, height = _directions(wfs_dirs, "wfs_dirs", gsalt, "gsalt")
    n = len(dirs)
    system.add_meas(teldiam, nsubx, dirs, height, _pairs(wfs_delta, "wfs_delta", n),
                    _floats(wfs_clocking, "wfs_clocking", n), _floats(wfs_zoom, "wfs_zoom", n))


def add_ts(system: Any, teldiam: float, ntssamples: int, ts_dirs: Directions) -> None:
    """``system.add_ts`` taking an (n, 2) array of directions (arcsec) or an Asterism.

    Parameters
    ----------
    system : vedov.SystemGeom
    teldiam : float
        Metres.
    ntssamples : int
        Samples across.
    ts_dirs : array_like or Asterism
        (n, 2), arcsec.
    """
    check_system(system)
    dirs, _ = _directions(ts_dirs, "ts_dirs", None, "")
    system.add_ts(teldiam, ntssamples, dirs)


def add_com(system: Any, pitch: float, nactux: int, coupling: float, *, dmalt: float = 0.0,
            dm_delta: npt.ArrayLike = (0.0, 0.0), dm_clocking: float = 0.0, dm_zoom: float = 0.0,
            microns_per_volt: float = 1.0) -> None:
    """``system.add_com`` with defaults: one deformable mirror.

    Parameters
    ----------
    system : vedov.SystemGeom
    pitch : float
        Metres between actuators.
    nactux : int
        Actuators across.
    coupling : float
        The response one pitch away as a fraction of the peak.
    dmalt : float
        The mirror's altitude, metres; 0 (the pupil) by default.
    dm_delta : array_like
        Pattern shift (x, y), metres (a NumPy array too); none by default.
    dm_clocking, dm_zoom : float
        Rotation (radians) and relative magnification; 0 by default.
    microns_per_volt : float
        Peak response, 1 by default.
    """
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
    """``vedov.SystemGeom.new`` by keyword, with arrays and defaults.

    The defaults: no truth sensor, the mirror at the pupil, nothing shifted, rotated or
    magnified, the guide stars at the asterism's altitude (else at infinity), unit actuator
    response. Equals the plain vedov call with these values (the same document).

    Parameters
    ----------
    teldiam, cobs, coupling, nactux, pitch, nsubx, nphisamples
        As for ``vedov.SystemGeom.new``; required.
    wfs_dirs : array_like or Asterism
        (n, 2): the guide stars' directions, arcsec.
    gsalt : float, optional
        As for ``add_meas``.
    dmalt, ntssamples, dm_delta, dm_clocking, dm_zoom, microns_per_volt
        As for ``vedov.SystemGeom.new``; 0, 0, (0, 0), 0, 0 and 1 by default.
    ts_dirs : array_like or Asterism
        (n, 2), arcsec; none by default.
    wfs_delta, wfs_clocking, wfs_zoom
        As for ``add_meas``.

    Returns
    -------
    vedov.SystemGeom
    """
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
    """Phase samples toward science directions: where ``add_science`` put them in ``phi``.

    Direction k's samples are ``phi[start + k·nsamples² : start + (k+1)·nsamples²]``, in vedov's
    grid order (x index outer).

    Attributes
    ----------
    directions : numpy.ndarray
        (n, 2), arcsec.
    altitude : float
        Of the source the samples look at, metres (+inf: at infinity).
    nsamples : int
        Samples across each direction's grid.
    teldiam : float
        The grid's width, metres.
    start : int
        The index in ``phi`` of the first sample.
    """

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
    """Appends to ``phi`` phase samples over the pupil toward each direction.

    Per direction, vedov's phase-sample grid (the centres of nsamples × nsamples equal cells
    across `teldiam`), the line through each sample heading for the direction's point at
    `altitude`, or at infinity parallel to the direction (slopes x·4.848e-6 and y·4.848e-6, as
    vedov's builders make them). Toward (0, 0) at infinity they equal
    ``add_phi(teldiam, nsamples)``. Nothing is appended when an argument is refused (ValueError
    or TypeError naming it) or the system is being read (RuntimeError).

    Parameters
    ----------
    system : vedov.SystemGeom
    directions : array_like or Asterism
        (n, 2), arcsec.
    nsamples : int
        Samples across, at least 1.
    teldiam : float, optional
        The grid's width, metres; default the pupil's diameter.
    altitude : float, optional
        Of the source, metres: given, it wins; else the asterism's, else +inf.

    Returns
    -------
    Science
        Where the samples are.
    """
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
