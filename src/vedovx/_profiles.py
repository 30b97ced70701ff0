"""Turbulence profiles: a system's layers replaced, and layers made from a total r0 and Cn² shares."""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from vedovx import _native
from vedovx._systems import check_system

FloatArray = np.ndarray[Any, np.dtype[np.float64]]

# Fried parameters are given at this wavelength, in nanometres.
REFERENCE_NM = 500.0


class Profile(NamedTuple):
    """Per-layer Fried parameter, outer scale, altitude and wind (vx, vy): set_layers(system, *p)."""

    r0: FloatArray
    l0: FloatArray
    alt: FloatArray
    wind: FloatArray


def _values(value: Any, name: str, count: int | None) -> FloatArray:
    """A 1-D float64 array of `count` values (a scalar is repeated); ValueError naming `name`."""
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must be numbers: {error}") from None
    if array.ndim == 0 and count is not None:
        array = np.full(count, float(array))
    if array.ndim != 1:
        raise ValueError(f"{name} must be a sequence of numbers, not {array.ndim}-D")
    if count is not None and array.shape[0] != count:
        raise ValueError(f"{name} has {array.shape[0]} values for {count} layers")
    return array


def _winds(value: Any, count: int) -> FloatArray:
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"wind must be (vx, vy) pairs: {error}") from None
    if array.shape == (2,):
        array = np.tile(array, (count, 1))
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(f"wind must be (vx, vy) pairs, not an array of shape {array.shape}")
    if array.shape[0] != count:
        raise ValueError(f"wind has {array.shape[0]} pairs for {count} layers")
    return array


def _check(array: FloatArray, name: str, positive: bool) -> None:
    bad = ~np.isfinite(array) | (array <= 0.0 if positive else False)
    layers = np.flatnonzero(bad if bad.ndim == 1 else bad.any(axis=1))
    if layers.size:
        what = "finite and positive" if positive else "finite"
        raise ValueError(f"{name} must be {what}: {array[layers[0]].tolist()!r} at layer {layers[0]}")


def _layers(r0: Any, l0: Any, alt: Any, wind: Any) -> Profile:
    r0s = _values(r0, "r0", None)
    count = r0s.shape[0]
    profile = Profile(r0s, _values(l0, "l0", count), _values(alt, "alt", count),
                      _winds(wind, count))
    _check(profile.r0, "r0", True)
    _check(profile.l0, "l0", True)
    _check(profile.alt, "alt", False)
    _check(profile.wind, "wind", False)
    return profile


def set_layers(system: Any, r0: npt.ArrayLike, l0: npt.ArrayLike, alt: npt.ArrayLike,
               wind: npt.ArrayLike) -> None:
    """Replaces the turbulence profile of `system` with the given layers, in order.

    r0, l0, alt: one value per layer (r0 and l0 finite and positive, alt finite; a single l0 or alt
    is used for every layer); wind: one (vx, vy) pair per layer (or one pair for all). Anything
    else raises ValueError naming the argument, and the system is left unchanged; vedov's
    RuntimeError refuses a system that is being read."""
    check_system(system)
    profile = _layers(r0, l0, alt, wind)
    table = np.ascontiguousarray(np.column_stack(
        [profile.r0, profile.l0, profile.alt, profile.wind[:, 0], profile.wind[:, 1]]))
    _native.set_layers(system, (table.ctypes.data, table.shape[0]))


def profile(r0: float, fractions: npt.ArrayLike, alt: npt.ArrayLike, l0: npt.ArrayLike,
            wind: npt.ArrayLike, wavelength: float | None = None) -> Profile:
    """Layers from a total Fried parameter `r0` (at 500 nm) and the layers' shares of the Cn²
    integral: r0_i = r0 · f_i^(-3/5), the shares normalised to sum 1 (percentages do too).

    wavelength: in nanometres; when given, every r0 is rescaled from 500 nm to it (r0 ∝ λ^(6/5)).
    Returns a Profile: ``set_layers(system, *profile(...))``."""
    total = float(r0)
    if not (np.isfinite(total) and total > 0.0):
        raise ValueError(f"r0 must be finite and positive, not {total!r}")
    shares = _values(fractions, "fractions", None)
    if shares.size == 0:
        raise ValueError("fractions must name at least one layer")
    _check(shares, "fractions", True)
    shares = shares / shares.sum()
    scale = 1.0
    if wavelength is not None:
        nm = float(wavelength)
        if not (np.isfinite(nm) and nm > 0.0):
            raise ValueError(f"wavelength must be finite and positive, not {nm!r}")
        scale = (nm / REFERENCE_NM) ** 1.2
    return _layers(total * shares ** -0.6 * scale, l0, alt, wind)
