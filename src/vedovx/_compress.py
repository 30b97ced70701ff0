"""Compression of a turbulence profile into fewer layers that keep its integrated parameters."""

from __future__ import annotations

from typing import Any, Literal

import numpy as np

from vedovx._arrays import whole_number
from vedovx._profiles import FloatArray, Profile

Method = Literal["equivalent", "optimal"]
METHODS = ("equivalent", "optimal")


def _equivalent_slabs(f: FloatArray, n: int) -> list[range]:
    """Layers (sorted by altitude, fractions `f` summing to 1) grouped into the n equal shares of
    the cumulative Cn²: a layer goes to the share holding the midpoint of its own."""
    midpoints = np.cumsum(f) - 0.5 * f
    share = np.minimum(np.floor(midpoints * n), n - 1).astype(np.int64)
    starts = [0, *(np.flatnonzero(np.diff(share)) + 1).tolist(), len(f)]
    return [range(a, b) for a, b in zip(starts[:-1], starts[1:])]


def _optimal_slabs(f: FloatArray, x: FloatArray, n: int) -> list[range]:
    """The min(n, layers) contiguous slabs minimising Σ f (x − m_slab)², m_slab the slab's
    f-weighted mean of x: dynamic programming over every split point."""
    count = len(f)
    slabs = min(n, count)
    # cost[a, b]: the slab of layers a .. b-1, each evaluated directly (no differences of sums).
    cost = np.full((count + 1, count + 1), np.inf)
    for a in range(count):
        for b in range(a + 1, count + 1):
            weight = f[a:b]
            mean = np.sum(weight * x[a:b]) / np.sum(weight)
            cost[a, b] = np.sum(weight * (x[a:b] - mean) ** 2)
    # best[k, b]: the least cost of the first b layers in k slabs; start[k, b] the last slab's start.
    best = np.full((slabs + 1, count + 1), np.inf)
    start = np.zeros((slabs + 1, count + 1), np.int64)
    best[0, 0] = 0.0
    for k in range(1, slabs + 1):
        for b in range(k, count + 1):
            candidates = best[k - 1, k - 1:b] + cost[k - 1:b, b]
            a = int(np.argmin(candidates))  # the first of equal costs
            best[k, b], start[k, b] = candidates[a], k - 1 + a
    ranges, b = [], count
    for k in range(slabs, 0, -1):
        a = int(start[k, b])
        ranges.append(range(a, b))
        b = a
    return ranges[::-1]


def _moment(weight: FloatArray, values: FloatArray) -> float:
    """(Σ w v^(5/3) / Σ w)^(3/5)."""
    return float((np.sum(weight * values ** (5.0 / 3.0)) / np.sum(weight)) ** 0.6)


def compress(profile: Profile, n: int, method: Method = "equivalent") -> Profile:
    """The profile in at most `n` layers, each the merger of a slab of layers contiguous in
    altitude, keeping the total r0, θ0 and τ0.

    Parameters
    ----------
    profile : Profile
        Altitudes of 0 or more.
    n : int
        How many layers at most (1 or more).
    method : {"equivalent", "optimal"}
        "equivalent": slabs cut where the cumulative Cn² crosses k/n; a layer is never split but
        goes to the slab holding the midpoint of its cumulative share, so a dominant layer keeps
        a slab of its own and fewer than `n` layers may result. "optimal": the min(n, layers)
        slabs that minimise Σ f (h^(5/3) − m_slab)², m_slab the slab's f-weighted mean of
        h^(5/3), found exactly by dynamic programming over the layers sorted by altitude.

    Returns
    -------
    Profile
        Layers sorted by altitude, at the profile's wavelength. A slab of one layer is that
        layer unchanged. A merged slab has the slab's summed Cn² (r0 = (Σ r0_i^(-5/3))^(-3/5)),
        altitude (Σ f h^(5/3) / Σ f)^(3/5), wind speed by the same 5/3 moment in the direction of
        its strongest layer that has wind, and the f-weighted mean outer scale (the common one
        when its layers share it). So Σ f, Σ f h^(5/3) and Σ f v^(5/3) are kept, and with them
        the total r0, θ0 and τ0 (to rounding).
    """
    if not isinstance(profile, Profile):
        raise TypeError(f"profile must be a vedovx.Profile, not {type(profile).__name__}")
    n = whole_number(n, "n", 1)
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be 'equivalent' or 'optimal', not {method!r}")
    if profile.count == 0:
        return profile
    if (profile.alt < 0.0).any():
        raise ValueError("compress needs altitudes of 0 or more, not "
                         f"{float(profile.alt.min())!r}")
    order = np.argsort(profile.alt, kind="stable")
    strength = profile.r0[order] ** (-5.0 / 3.0)
    f = strength / strength.sum()
    alt = profile.alt[order]
    if method == "equivalent":
        slabs = _equivalent_slabs(f, n)
    else:
        slabs = _optimal_slabs(f, alt ** (5.0 / 3.0), n)
    layers: list[tuple[float, float, float, Any]] = []
    for slab in slabs:
        picked = order[slab.start:slab.stop]
        if len(picked) == 1:
            i = picked[0]
            layers.append((profile.r0[i], profile.l0[i], profile.alt[i], profile.wind[i]))
            continue
        s = profile.r0[picked] ** (-5.0 / 3.0)
        l0s = profile.l0[picked]
        l0 = l0s[0] if (l0s == l0s[0]).all() else float(np.sum(s * l0s) / np.sum(s))
        speeds = np.hypot(profile.wind[picked, 0], profile.wind[picked, 1])
        speed = _moment(s, speeds)
        windy = np.flatnonzero(speeds > 0.0)
        wind = np.zeros(2)
        if windy.size:
            strongest = windy[np.argmax(s[windy])]
            wind = profile.wind[picked[strongest]] * (speed / speeds[strongest])
        layers.append((float(np.sum(s) ** -0.6), l0, _moment(s, profile.alt[picked]), wind))
    r0s, outer, alts, winds = zip(*layers)
    return Profile(r0s, outer, alts, np.array(winds, dtype=np.float64), profile.wavelength)
