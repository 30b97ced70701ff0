"""Turbulence profiles: the Profile value, its integrated parameters, and a system's layers replaced."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from vedovx import _native
from vedovx._display import Table, Tabular, number
from vedovx._systems import check_system

FloatArray = np.ndarray[Any, np.dtype[np.float64]]

#: The wavelength, in metres, at which Fried parameters are given unless said otherwise.
REFERENCE_WAVELENGTH = 500e-9
# Radians to arcseconds.
ARCSEC = 180.0 / math.pi * 3600.0


def wavelength_value(value: Any, name: str = "wavelength") -> float:
    """A wavelength in metres: finite, positive and at most 1e-3; ValueError naming `name`.

    The bound catches a wavelength given in nanometres or micrometres."""
    if isinstance(value, (str, bytes)) or isinstance(value, bool):
        raise TypeError(f"{name} must be a number of metres, not {type(value).__name__}")
    try:
        metres = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number of metres, not {type(value).__name__}") from None
    if not (math.isfinite(metres) and metres > 0.0):
        raise ValueError(f"{name} must be finite and positive, not {metres!r}")
    if metres > 1e-3:
        raise ValueError(f"{name} is in metres (500e-9 for 500 nm), not {metres!r}")
    return metres


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


def _frozen(array: FloatArray) -> FloatArray:
    copy = np.array(array, dtype=np.float64)
    copy.flags.writeable = False
    return copy


@dataclasses.dataclass(frozen=True)
class Integrated:
    """A profile's integrated parameters at one wavelength.

    Attributes
    ----------
    wavelength : float
        Metres.
    r0 : float
        Total Fried parameter, metres: (Σ r0_i^(-5/3))^(-3/5), scaled as λ^(6/5).
    seeing : float
        0.98 λ / r0, arcseconds.
    theta0 : float
        Isoplanatic angle 0.314 r0 / h̄, arcseconds.
    tau0 : float
        Coherence time 0.314 r0 / v̄, seconds (infinite without wind).
    h_bar : float
        (Σ f h^(5/3))^(3/5), metres, f the layers' Cn² fractions.
    v_bar : float
        (Σ f |v|^(5/3))^(3/5), metres per second.
    """

    wavelength: float
    r0: float
    seeing: float
    theta0: float
    tau0: float
    h_bar: float
    v_bar: float


class Profile(Tabular):
    """Turbulence layers: what ``set_layers`` gives a system.

    Unpacks as ``r0, l0, alt, wind = profile`` (so ``set_layers(system, *profile)`` works as well
    as ``set_layers(system, profile)``). Immutable; its arrays are read-only.

    Parameters
    ----------
    r0 : array_like
        Each layer's Fried parameter, metres, at `wavelength`; finite and positive.
    l0 : array_like or float
        Each layer's outer scale, metres (one value for all); finite and positive.
    alt : array_like or float
        Each layer's altitude above the telescope, metres; finite.
    wind : array_like
        Each layer's wind (vx, vy), metres per second, shape (layers, 2) (one pair for all).
    wavelength : float
        The wavelength, in metres, at which `r0` is given (500e-9 by default): a system holding
        these layers gives phase covariances in rad² at that wavelength.

    Raises
    ------
    ValueError
        Naming the argument that is not as described.
    """

    r0: FloatArray
    l0: FloatArray
    alt: FloatArray
    wind: FloatArray
    wavelength: float

    def __init__(self, r0: npt.ArrayLike, l0: npt.ArrayLike, alt: npt.ArrayLike,
                 wind: npt.ArrayLike, wavelength: float = REFERENCE_WAVELENGTH) -> None:
        r0s = _values(r0, "r0", None)
        count = r0s.shape[0]
        fields = {"r0": r0s, "l0": _values(l0, "l0", count), "alt": _values(alt, "alt", count),
                  "wind": _winds(wind, count)}
        for name, positive in [("r0", True), ("l0", True), ("alt", False), ("wind", False)]:
            _check(fields[name], name, positive)
        for name, array in fields.items():
            object.__setattr__(self, name, _frozen(array))
        object.__setattr__(self, "wavelength", wavelength_value(wavelength))

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("a Profile cannot be changed")

    def __reduce__(self) -> tuple[Any, ...]:
        return Profile, (self.r0, self.l0, self.alt, self.wind, self.wavelength)

    def __iter__(self) -> Iterator[FloatArray]:
        """r0, l0, alt, wind: the arguments of set_layers."""
        return iter((self.r0, self.l0, self.alt, self.wind))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Profile):
            return NotImplemented
        return self.wavelength == other.wavelength and all(
            np.array_equal(a, b) for a, b in zip(self, other))

    __hash__ = None  # type: ignore[assignment]

    @property
    def count(self) -> int:
        """The number of layers."""
        return int(self.r0.shape[0])

    @property
    def fractions(self) -> FloatArray:
        """Each layer's share of the Cn² integral, r0_i^(-5/3) / Σ r0_j^(-5/3) (sum 1)."""
        strength = self.r0 ** (-5.0 / 3.0)
        return strength / strength.sum()  # type: ignore[no-any-return]

    @property
    def speed(self) -> FloatArray:
        """Each layer's wind speed, metres per second."""
        return np.hypot(self.wind[:, 0], self.wind[:, 1])

    def total_r0(self) -> float:
        """The total Fried parameter at `wavelength`, metres: (Σ r0_i^(-5/3))^(-3/5)."""
        return float(np.sum(self.r0 ** (-5.0 / 3.0)) ** (-0.6))

    def at(self, wavelength: float) -> Profile:
        """The same turbulence with every r0 given at `wavelength` (metres): r0 ∝ λ^(6/5)."""
        metres = wavelength_value(wavelength)
        scale = (metres / self.wavelength) ** 1.2
        return Profile(self.r0 * scale, self.l0, self.alt, self.wind, metres)

    def integrated(self, wavelength: float = REFERENCE_WAVELENGTH) -> Integrated:
        """Total r0, seeing, isoplanatic angle θ0 and coherence time τ0 at `wavelength` (metres).

        With f the Cn² fractions: h̄ = (Σ f h^(5/3))^(3/5), v̄ = (Σ f |v|^(5/3))^(3/5),
        θ0 = 0.314 r0 / h̄ and τ0 = 0.314 r0 / v̄; seeing = 0.98 λ / r0. Altitudes must not be
        negative (ValueError)."""
        metres = wavelength_value(wavelength)
        if self.count == 0:
            raise ValueError("a profile of no layers has no integrated parameters")
        if (self.alt < 0.0).any():
            raise ValueError("integrated parameters need altitudes of 0 or more, not "
                             f"{float(self.alt.min())!r}")
        f = self.fractions
        r0 = self.total_r0() * (metres / self.wavelength) ** 1.2
        h_bar = float(np.sum(f * self.alt ** (5.0 / 3.0)) ** 0.6)
        v_bar = float(np.sum(f * self.speed ** (5.0 / 3.0)) ** 0.6)
        theta0 = 0.314 * r0 / h_bar * ARCSEC if h_bar > 0.0 else math.inf
        tau0 = 0.314 * r0 / v_bar if v_bar > 0.0 else math.inf
        return Integrated(metres, r0, 0.98 * metres / r0 * ARCSEC, theta0, tau0, h_bar, v_bar)

    def table(self) -> Table:
        head = f"Profile: {self.count} layers, r0 at {self.wavelength * 1e9:g} nm"
        if self.count and not (self.alt < 0.0).any():
            p = self.integrated(self.wavelength)
            head += (f": r0 {p.r0:.4g} m, seeing {p.seeing:.3g}\", θ0 {p.theta0:.3g}\", "
                     f"τ0 {p.tau0 * 1e3:.3g} ms")
        rows = [[number(alt, 6), f"{f:.4f}", number(r0), number(l0), number(vx, 3), number(vy, 3)]
                for alt, f, r0, l0, (vx, vy) in zip(self.alt, self.fractions, self.r0, self.l0,
                                                    self.wind)]
        return Table(head, ["alt [m]", "fraction", "r0 [m]", "l0 [m]", "wind x [m/s]",
                            "wind y [m/s]"], rows)


def set_layers(system: Any, r0: Profile | npt.ArrayLike, l0: npt.ArrayLike | None = None,
               alt: npt.ArrayLike | None = None, wind: npt.ArrayLike | None = None) -> None:
    """Replaces the turbulence profile of `system` with the given layers, in order.

    Either a Profile, ``set_layers(system, profile)``, or its parts: r0, l0, alt, one value per
    layer (r0 and l0 finite and positive, alt finite; a single l0 or alt is used for every layer);
    wind: one (vx, vy) pair per layer (or one pair for all). Anything else raises ValueError
    naming the argument, and the system is left unchanged; vedov's RuntimeError refuses a system
    that is being read."""
    check_system(system)
    if isinstance(r0, Profile):
        if not (l0 is None and alt is None and wind is None):
            raise TypeError("set_layers takes a Profile alone, or r0, l0, alt and wind")
        profile = r0
    else:
        if l0 is None or alt is None or wind is None:
            raise TypeError("set_layers takes a Profile alone, or r0, l0, alt and wind")
        profile = Profile(r0, l0, alt, wind)
    table = np.ascontiguousarray(np.column_stack(
        [profile.r0, profile.l0, profile.alt, profile.wind[:, 0], profile.wind[:, 1]]))
    _native.set_layers(system, (table.ctypes.data, table.shape[0]))


def profile(r0: float, fractions: npt.ArrayLike, alt: npt.ArrayLike, l0: npt.ArrayLike,
            wind: npt.ArrayLike, wavelength: float | None = None) -> Profile:
    """Layers from a total Fried parameter `r0` (metres, at 500 nm) and the layers' shares of the
    Cn² integral: r0_i = r0 · f_i^(-3/5), the shares normalised to sum 1 (percentages do too).

    wavelength: metres; when given, every r0 is rescaled from 500 nm to it (r0 ∝ λ^(6/5)) and the
    Profile states it. A value above 1e-3 is refused: it is not in metres.
    Returns a Profile: ``set_layers(system, profile(...))``."""
    total = float(r0)
    if not (np.isfinite(total) and total > 0.0):
        raise ValueError(f"r0 must be finite and positive, not {total!r}")
    shares = _values(fractions, "fractions", None)
    if shares.size == 0:
        raise ValueError("fractions must name at least one layer")
    _check(shares, "fractions", True)
    shares = shares / shares.sum()
    layers = Profile(total * shares ** -0.6, l0, alt, wind)
    return layers if wavelength is None else layers.at(wavelength)
