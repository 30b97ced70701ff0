"""Standard turbulence profiles: the ELT's 35-layer reference profiles, vedov's default seven
layers, and profiles from measured Cn² integrals.

Every length is in metres, every wavelength too (500e-9 is 500 nm); Fried parameters are given at
500 nm unless a wavelength is named, and Cn² integrals J = ∫Cn² dh in m^(1/3).
"""

from __future__ import annotations

import math
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

import vedov

from vedovx._inspect import info
from vedovx._profiles import (
    REFERENCE_WAVELENGTH,
    FloatArray,
    Integrated,
    Profile,
    _values,
    wavelength_value,
)

__all__ = ["eso35", "vedov_default", "from_cn2", "Profile", "Integrated", "ESO35_ALTITUDES",
           "ESO35_WIND_SPEEDS", "ESO35_FRACTIONS"]

Quartile = Literal["median", "Q1", "Q2", "Q3", "Q4"]

#: The ELT reference profiles' layer altitudes above the telescope at zenith, metres.
ESO35_ALTITUDES = (30.0, 90.0, 150.0, 200.0, 245.0, 300.0, 390.0, 600.0, 1130.0, 1880.0, 2630.0,
                   3500.0, *(4500.0 + 1000.0 * k for k in range(23)))
#: Their wind speeds, metres per second.
ESO35_WIND_SPEEDS = (5.5, 5.5, 5.1, 5.5, 5.6, 5.7, 5.8, 6.0, 6.5, 7.0, 7.5, 8.5, 9.5, 11.5, 17.5,
                     23.0, 26.0, 29.0, 32.0, 27.0, 22.0, 14.5, 9.5, 6.3, 5.5, 6.0, 6.5, 7.0, 7.5,
                     8.0, 8.5, 9.0, 9.5, 10.0, 10.0)
#: Their Cn² fractions in percent (each row sums to 100), by quartile of seeing.
ESO35_FRACTIONS: dict[str, tuple[float, ...]] = {
    "median": (24.2, 12.0, 9.68, 5.9, 4.73, 4.73, 4.73, 4.73, 3.99, 3.24, 1.62, 2.6, 1.56, 1.04,
               1.0, 1.2, 0.4, 1.4, 1.3, 0.7, 1.6, 2.59, 1.9, 0.99, 0.62, 0.4, 0.25, 0.22, 0.19,
               0.14, 0.11, 0.06, 0.09, 0.05, 0.04),
    "Q1": (22.6, 11.2, 10.1, 6.4, 4.15, 4.15, 4.15, 4.15, 3.1, 2.26, 1.13, 2.21, 1.33, 0.88, 1.47,
           1.77, 0.59, 2.06, 1.92, 1.03, 2.3, 3.75, 2.76, 1.43, 0.89, 0.58, 0.36, 0.31, 0.27, 0.2,
           0.16, 0.09, 0.12, 0.07, 0.06),
    "Q2": (25.1, 11.6, 9.57, 5.84, 3.7, 3.7, 3.7, 3.7, 3.25, 3.47, 1.74, 3.0, 1.8, 1.2, 1.3, 1.56,
           0.52, 1.82, 1.7, 0.91, 1.87, 3.03, 2.23, 1.15, 0.72, 0.47, 0.3, 0.25, 0.22, 0.16, 0.13,
           0.07, 0.11, 0.06, 0.05),
    "Q3": (25.5, 11.9, 9.32, 5.57, 4.5, 4.5, 4.5, 4.5, 4.19, 4.04, 2.02, 3.04, 1.82, 1.21, 0.86,
           1.03, 0.34, 1.2, 1.11, 0.6, 1.43, 2.31, 1.7, 0.88, 0.55, 0.36, 0.22, 0.19, 0.17, 0.12,
           0.1, 0.06, 0.08, 0.04, 0.04),
    "Q4": (23.6, 13.1, 9.81, 5.77, 6.58, 6.58, 6.58, 6.58, 5.4, 3.2, 1.6, 2.18, 1.31, 0.87, 0.37,
           0.45, 0.15, 0.52, 0.49, 0.26, 0.8, 1.29, 0.95, 0.49, 0.31, 0.2, 0.12, 0.1, 0.09, 0.07,
           0.06, 0.03, 0.05, 0.02, 0.02),
}
# The median profile's total r0 at zenith at 500 nm, metres (with L0 = 25 m).
MEDIAN_R0 = 0.155


def _zenith_cosine(zenith: Any) -> float:
    degrees = float(zenith)
    if not (math.isfinite(degrees) and 0.0 <= degrees < 90.0):
        raise ValueError(f"zenith must be an angle from 0 to under 90 degrees, not {degrees!r}")
    return math.cos(math.radians(degrees))


def _winds(speed: FloatArray, direction: Any) -> FloatArray:
    """(vx, vy) from speeds and directions in degrees from +x toward +y (one or one per layer)."""
    angles = np.radians(_values(direction, "wind_direction", speed.shape[0]))
    if not np.isfinite(angles).all():
        raise ValueError("wind_direction must be finite")
    return np.column_stack([speed * np.cos(angles), speed * np.sin(angles)])


def _positive(value: Any, name: str) -> float:
    number = float(value)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be finite and positive, not {number!r}")
    return number


def eso35(quartile: Quartile = "median", r0: float | None = None, l0: float = 25.0,
          zenith: float = 0.0, wind_direction: npt.ArrayLike = 0.0) -> Profile:
    """The ELT's 35-layer reference profile (ESO-258292) of a seeing quartile.

    Parameters
    ----------
    quartile : {"median", "Q1", "Q2", "Q3", "Q4"}
        Which table of Cn² fractions (ESO35_FRACTIONS).
    r0 : float, optional
        Total Fried parameter at zenith at 500 nm, metres. The median's defaults to 0.155 m (the
        value the ELT's design studies use with it, L0 = 25 m); a quartile needs one.
    l0 : float
        Outer scale of every layer, metres.
    zenith : float
        Zenith angle in degrees: r0 scales by cos(z)^(3/5), altitudes by 1/cos(z).
    wind_direction : float or array_like
        Direction of the wind in degrees from +x toward +y, for every layer or one per layer.

    Returns
    -------
    Profile
        35 layers, r0 at 500 nm; layer i has r0 · f_i^(-3/5), f_i its fraction.
    """
    if not isinstance(quartile, str) or quartile not in ESO35_FRACTIONS:
        names = ", ".join(repr(q) for q in ESO35_FRACTIONS)
        raise ValueError(f"quartile must be one of {names}, not {quartile!r}")
    if r0 is None:
        if quartile != "median":
            raise ValueError(f"r0 is required with quartile {quartile!r}: no reference value is "
                             "built in for it")
        r0 = MEDIAN_R0
    total = _positive(r0, "r0")
    cosine = _zenith_cosine(zenith)
    fractions = np.array(ESO35_FRACTIONS[quartile]) / 100.0
    alt = np.array(ESO35_ALTITUDES) / cosine
    wind = _winds(np.array(ESO35_WIND_SPEEDS), wind_direction)
    return Profile(total * cosine ** 0.6 * fractions ** -0.6, _positive(l0, "l0"), alt, wind)


def vedov_default() -> Profile:
    """The seven layers vedov's ``add_cov_layer`` adds, bit for bit (r0 read as given at 500 nm)."""
    system = vedov.SystemGeom.new_empty()
    system.add_cov_layer()
    layers = info(system).layers
    return Profile([layer.r0 for layer in layers], [layer.l0 for layer in layers],
                   [layer.alt for layer in layers], [layer.wind for layer in layers])


def from_cn2(heights: npt.ArrayLike, cn2_dh: npt.ArrayLike,
             wavelength: float = REFERENCE_WAVELENGTH, *, l0: npt.ArrayLike = 25.0,
             wind_speed: npt.ArrayLike = 0.0, wind_direction: npt.ArrayLike = 0.0,
             zenith: float = 0.0) -> Profile:
    """A profile from measured layers: each one's altitude and integral J = ∫Cn² dh.

    Each layer's r0 at `wavelength` is (0.423 k² J / cos z)^(-3/5), k = 2π/λ.

    Parameters
    ----------
    heights : array_like
        Altitudes above the telescope at zenith, metres.
    cn2_dh : array_like
        Each layer's J, m^(1/3): finite and positive.
    wavelength : float
        Metres: the wavelength of the profile's r0 (and so of the phase of a system holding it).
    l0 : float or array_like
        Outer scale, metres.
    wind_speed, wind_direction : float or array_like
        Wind speed in metres per second and direction in degrees from +x toward +y.
    zenith : float
        Zenith angle in degrees: J scales by 1/cos(z), altitudes by 1/cos(z).
    """
    metres = wavelength_value(wavelength)
    j = _values(cn2_dh, "cn2_dh", None)
    if not (np.isfinite(j).all() and (j > 0.0).all()):
        raise ValueError("cn2_dh must be finite and positive, in m^(1/3)")
    cosine = _zenith_cosine(zenith)
    alt = _values(heights, "heights", j.shape[0]) / cosine
    speed = _values(wind_speed, "wind_speed", j.shape[0])
    k = 2.0 * math.pi / metres
    return Profile((0.423 * k * k * j / cosine) ** -0.6, l0, alt, _winds(speed, wind_direction),
                   metres)
