"""Turbulence profiles learned from wavefront-sensor telemetry: per-layer strengths, outer scale
and noise fitted to the slopes' covariance, with honest standard errors."""

from __future__ import annotations

import dataclasses
import math
from typing import Any

import numpy as np
import numpy.typing as npt

from vedovx import _frozen, _inspect, _matrices, _registry
from vedovx._display import Table, Tabular, number
from vedovx._profiles import REFERENCE_WAVELENGTH, FloatArray, Profile, set_layers, wavelength_value

IntArray = np.ndarray[Any, np.dtype[np.int64]]
BoolArray = np.ndarray[Any, np.dtype[np.bool_]]
ARCSEC = 180.0 / math.pi * 3600.0

ERRORS = ("Gaussian telemetry: the covariance of the sample-covariance elements, "
          "(C_ik C_jl + C_il C_jk) / T with C the fitted model, propagated through the least "
          "squares (at the fitted outer scale, which is held fixed)")


@dataclasses.dataclass(frozen=True, eq=False, repr=False)
class ProfileFit(Tabular):
    """A turbulence profile fitted to a slope covariance (see fit_profile).

    Attributes
    ----------
    profile : Profile
        The layers found (those of non-zero strength): r0 at the fit's wavelength, the common
        outer scale, no wind (the covariance at lag 0 does not see it).
    altitudes : ndarray
        The altitudes fitted, metres.
    fractions : ndarray
        The normalised Cn² fraction at each of them (0 where none was found).
    fractions_error : ndarray
        Standard error of each fraction (NaN when the frame count is unknown).
    r0_error : float
        Standard error of the total r0, metres.
    noise : ndarray
        Each sensor's noise variance on the diagonal, in the covariance's units (fitted, or as
        given).
    noise_error : ndarray
        Their standard errors (0 for given values).
    l0 : float
        The outer scale, metres (fitted when `l0_fitted`).
    l0_fitted : bool
    residual : float
        ‖measured − covariance‖ / ‖measured‖ (Frobenius norms).
    covariance : ndarray
        The fitted model: the layers' covariance plus the noise.
    sensors : ndarray
        Each measurement's sensor, 0 .. sensors - 1.
    frames : int or None
        Frames behind the measured covariance.
    errors : str
        How the standard errors were found.
    naive_fractions_error : ndarray
        For comparison only: what least squares reports when it takes the covariance's elements
        as independent with a common variance. Far too small: neighbouring elements of a sample
        covariance are strongly correlated.
    separations : ndarray
        Angular separation of each pair of sensors, arcseconds (i < j, in order).
    altitude_resolution : float
        The finest altitude step the separations resolve, d / Δθ for the baseline d and the
        largest separation, metres (inf with one direction only).
    highest_altitude : float
        Above it the closest pair of sensors no longer sees common turbulence, D / Δθ for the
        aperture D and the smallest separation, metres.
    resolved : ndarray
        Per fitted altitude: at most `highest_altitude`, and at least `altitude_resolution` from
        every other fitted altitude. Strengths at unresolved altitudes trade against each other
        (their standard errors say by how much).
    """

    profile: Profile
    altitudes: FloatArray
    fractions: FloatArray
    fractions_error: FloatArray
    r0_error: float
    noise: FloatArray
    noise_error: FloatArray
    l0: float
    l0_fitted: bool
    residual: float
    covariance: FloatArray
    sensors: IntArray
    frames: int | None
    errors: str
    naive_fractions_error: FloatArray
    separations: FloatArray
    altitude_resolution: float
    highest_altitude: float
    resolved: BoolArray

    def table(self) -> Table:
        p = self.profile
        head = (f"ProfileFit: {p.count} of {self.altitudes.size} layers found, r0 "
                f"{p.total_r0():.4g} ± {self.r0_error:.2g} m at {p.wavelength * 1e9:g} nm, L0 "
                f"{self.l0:.4g} m{' (fitted)' if self.l0_fitted else ''}, residual "
                f"{self.residual:.3g}")
        rows = [[number(alt, 6), f"{f:.4f}", f"{e:.4f}", "yes" if ok else "no"]
                for alt, f, e, ok in zip(self.altitudes, self.fractions, self.fractions_error,
                                         self.resolved)]
        noise = ", ".join(number(v) for v in self.noise)
        return Table(head, ["alt [m]", "fraction", "± error", "resolved"], rows,
                     [f"noise variance per sensor [(rad/m)²]: {noise}",
                      f"altitude resolution {self.altitude_resolution:.0f} m, highest altitude "
                      f"{self.highest_altitude:.0f} m"])


def _measured(measured: Any, n: int, frames: Any) -> tuple[FloatArray, int | None]:
    """The measured covariance (symmetrised) and the frame count behind it."""
    array = np.asarray(measured)
    if array.dtype.kind not in "fiu" or array.ndim != 2 or array.shape[1] != n:
        raise ValueError(f"measured must be an ({n}, {n}) covariance or a (frames, {n}) telemetry "
                         f"array of numbers, not shape {array.shape} of {array.dtype}")
    if frames is not None:
        if isinstance(frames, bool) or not isinstance(frames, (int, np.integer)) or frames < 2:
            raise ValueError(f"frames must be an integer of at least 2, not {frames!r}")
        frames = int(frames)
    if array.shape[0] == n:
        covariance = np.asarray(array, np.float64)
        if not np.isfinite(covariance).all():
            raise ValueError("measured holds values that are not finite")
        return 0.5 * (covariance + covariance.T), frames
    count = array.shape[0]
    if count < 2:
        raise ValueError("measured telemetry needs at least 2 frames")
    if frames is not None and frames != count:
        raise ValueError(f"frames is {frames}, but the telemetry has {count} frames")
    telemetry = np.array(array, np.float64)
    if not np.isfinite(telemetry).all():
        raise ValueError("measured holds values that are not finite")
    telemetry -= telemetry.mean(axis=0)
    covariance = telemetry.T @ telemetry
    covariance /= count - 1
    return 0.5 * (covariance + covariance.T), count


def _sensor_labels(system: Any, sensors: Any, source: FloatArray) -> IntArray:
    """Each measurement's sensor: the caller's groups, else vedovx.sensors (a guide star's)."""
    n = source.shape[0]
    if sensors is None:
        return _inspect.sensor_labels(system)
    labels = np.asarray(sensors)
    if labels.ndim != 1 or labels.shape[0] != n:
        raise ValueError(f"sensors must give one label per measurement ({n}), not an array "
                         f"of shape {labels.shape}")
    _, first, inverse = np.unique(labels, return_index=True, return_inverse=True)
    # Numbered in order of first appearance.
    rank = np.empty(first.shape[0], np.int64)
    rank[np.argsort(first, kind="stable")] = np.arange(first.shape[0])
    return rank[inverse.reshape(-1)]


def _layer_maps(copy: Any, altitudes: FloatArray, l0: float, model: str, threads: int | None,
                wavelength: float) -> FloatArray:
    """The slope covariance of each layer alone with r0 = 1 m at `wavelength`, (layers, n, n);
    `copy` is the fit's own copy of the system, whose layers it replaces."""
    count = altitudes.shape[0]
    n = _inspect.info(copy).meas
    set_layers(copy, Profile(np.ones(count), l0, altitudes, (0.0, 0.0), wavelength))
    maps = np.empty((count, n, n))
    for k in range(count):
        _matrices.covariance(copy, "meas", "meas", model=model,  # type: ignore[arg-type]
                             layers=[k], threads=threads, out=maps[k])
    return maps


def _gram(maps: FloatArray, groups: list[IntArray], measured: FloatArray
          ) -> tuple[FloatArray, FloatArray]:
    """Normal equations of the least squares over every element: G = <A_p, A_q>, h = <A_p, C>,
    the basis being the layers' maps then each sensor's identity on its measurements."""
    k, n = maps.shape[0], measured.shape[0]
    flat = maps.reshape(k, n * n)
    size = k + len(groups)
    gram = np.zeros((size, size))
    rhs = np.empty(size)
    gram[:k, :k] = flat @ flat.T
    rhs[:k] = flat @ measured.reshape(n * n)
    diagonals = np.diagonal(maps, axis1=1, axis2=2)
    measured_diagonal = np.diagonal(measured)
    for s, members in enumerate(groups):
        gram[:k, k + s] = gram[k + s, :k] = diagonals[:, members].sum(axis=1)
        gram[k + s, k + s] = float(members.size)
        rhs[k + s] = measured_diagonal[members].sum()
    return gram, rhs


def _nnls(gram: FloatArray, rhs: FloatArray) -> FloatArray:
    """argmin x >= 0 of xᵀ G x − 2 xᵀ h: non-negative least squares from the normal equations."""
    from scipy.optimize import nnls

    scale = np.sqrt(np.diagonal(gram))
    scale[scale == 0.0] = 1.0
    g = gram / np.outer(scale, scale)
    values, vectors = np.linalg.eigh(g)
    keep = values > values.max() * 1e-14
    root = np.sqrt(values[keep])
    a = root[:, None] * vectors[:, keep].T
    b = (vectors[:, keep].T @ (rhs / scale)) / root
    solution, _ = nnls(a, b, maxiter=50 * gram.shape[0])
    return solution / scale  # type: ignore[no-any-return]


def _fit_at(copy: Any, altitudes: FloatArray, l0: float, model: str, threads: int | None,
            wavelength: float, groups: list[IntArray], measured: FloatArray
            ) -> tuple[FloatArray, FloatArray, FloatArray, float]:
    """Strengths (and noise) at one outer scale, the maps, the Gram matrix and the misfit."""
    maps = _layer_maps(copy, altitudes, l0, model, threads, wavelength)
    gram, rhs = _gram(maps, groups, measured)
    solution = _nnls(gram, rhs)
    misfit = float(solution @ gram @ solution - 2.0 * solution @ rhs + np.vdot(measured, measured))
    return solution, maps, gram, misfit


def _sandwich(maps: FloatArray, groups: list[IntArray], gram: FloatArray,
              model_covariance: FloatArray, frames: int) -> FloatArray:
    """Covariance of the least-squares parameters when the measured covariance is a sample
    covariance of `frames` Gaussian frames: G⁻¹ B G⁻¹ with B_pq = (2/T) tr(A_p C A_q C)."""
    c = model_covariance
    products = [m @ c for m in maps]  # A_p C
    transposed = [np.ascontiguousarray(product.T) for product in products]  # C A_p
    size = gram.shape[0]
    middle = np.empty((size, size))
    k = len(maps)
    for p in range(k):
        for q in range(p, k):
            middle[p, q] = middle[q, p] = np.vdot(products[p], transposed[q])
        # tr(D_s C A_p C) = Σ_{i in s} (C A_p C)_ii
        diagonal = (c * transposed[p]).sum(axis=1)
        for s, members in enumerate(groups):
            middle[p, k + s] = middle[k + s, p] = diagonal[members].sum()
    for s, members in enumerate(groups):
        for t, others in enumerate(groups):
            middle[k + s, k + t] = np.sum(c[np.ix_(members, others)] ** 2)
    middle *= 2.0 / frames
    inverse = np.linalg.pinv(gram, hermitian=True)
    result: FloatArray = inverse @ middle @ inverse
    return result


def _fraction_errors(strengths: FloatArray, covariance: FloatArray) -> FloatArray:
    """Standard errors of f = w / Σw from the covariance of the strengths w (delta method)."""
    total = strengths.sum()
    jacobian = (np.eye(strengths.shape[0]) - (strengths / total)[:, None]) / total
    variances: FloatArray = np.diagonal(jacobian @ covariance @ jacobian.T)
    return np.sqrt(np.clip(variances, 0.0, None))


def _resolution(source: FloatArray, labels: IntArray, positions: FloatArray,
                altitudes: FloatArray) -> tuple[FloatArray, float, float, BoolArray]:
    count = int(labels.max()) + 1 if labels.size else 0
    directions = np.array([np.nanmean(source[labels == s, :2], axis=0) for s in range(count)])
    pairs = [(i, j) for i in range(count) for j in range(i + 1, count)]
    separations = np.array([np.hypot(*(directions[i] - directions[j])) for i, j in pairs])
    baselines = source[:, 3][np.isfinite(source[:, 3]) & (source[:, 3] > 0)]
    baseline = float(np.median(baselines)) if baselines.size else 0.0
    finite = positions[np.isfinite(positions).all(axis=1)]
    aperture = float(np.ptp(finite, axis=0).max()) + baseline if finite.size else 0.0
    apart = separations[np.isfinite(separations) & (separations > 0)]
    resolution = baseline / apart.max() if apart.size else math.inf
    highest = aperture / apart.min() if apart.size else 0.0
    order = np.sort(altitudes)
    gaps = np.array([np.min(np.abs(order - h)[np.abs(order - h) > 0], initial=math.inf)
                     for h in altitudes])
    resolved = (altitudes <= highest) & (gaps >= resolution) if altitudes.size > 1 else \
        np.ones(altitudes.shape[0], np.bool_)
    return np.nan_to_num(separations) * ARCSEC, resolution, highest, resolved


def fit_profile(system: Any, measured: npt.ArrayLike, *, altitudes: npt.ArrayLike,
                l0: float = 25.0, fit_l0: bool = False, noise: Any = "fit",
                frames: int | None = None, model: _matrices.Model = "exact",
                sensors: npt.ArrayLike | None = None,
                wavelength: float = REFERENCE_WAVELENGTH,
                l0_bounds: tuple[float, float] = (2.0, 500.0),
                threads: int | None = None) -> ProfileFit:
    """Learns a turbulence profile from the slopes of `system`'s measurements ("meas").

    The covariance of the slopes is linear in the layers' strengths w_k = r0_k^(-5/3): a sum of
    each layer's covariance with r0 = 1, scaled by w_k, plus each sensor's noise variance on its
    measurements' diagonal. The strengths and variances are fitted to every element of the
    measured covariance by non-negative least squares; the outer scale, when fitted, by a bounded
    search of the least misfit over log L0.

    Parameters
    ----------
    system : vedov.SystemGeom or FrozenSystem
        The sensors whose slopes were measured (its layers are not used).
    measured : array_like
        An (n, n) slope covariance, or (frames, n) telemetry, n = the system's "meas" count;
        telemetry is centred and its sample covariance fitted. Slopes in the system's units
        (radians of phase at `wavelength` per metre).
    altitudes : array_like
        Where the layers are fitted, metres above the telescope.
    l0 : float
        The outer scale of every layer, metres (the start of the search when `fit_l0`).
    fit_l0 : bool
        Fit one common outer scale within `l0_bounds`.
    noise : "fit", float or array_like
        "fit": one variance per sensor, fitted; otherwise the known variance of every sensor (or
        one per sensor), taken as given (0: no noise).
    frames : int, optional
        Frames behind a measured covariance, for the standard errors (NaN without it); telemetry
        gives its own.
    model : {"exact", "closed-form"}
        The covariance model of the layers' maps.
    sensors : array_like, optional
        One label per measurement grouping them into sensors for the noise; by default the
        measurements of one guide star (as the builders make them) form a sensor.
    wavelength : float
        The wavelength of the slopes' phase, metres: the fitted r0 is given at it.
    threads : int, optional
        Threads of the covariance evaluations.

    Returns
    -------
    ProfileFit
        Standard errors for Gaussian telemetry from the covariance of sample-covariance
        elements, (C_ik C_jl + C_il C_jk) / T, propagated through the least squares; the
        altitudes the sensors' separations resolve (δh ≈ d / Δθ).
    """
    metres = wavelength_value(wavelength)
    _matrices._choice(model, _registry.MODELS, "model")
    heights = np.asarray(altitudes, dtype=np.float64)
    if heights.ndim != 1 or heights.size == 0 or not np.isfinite(heights).all() \
            or (heights < 0).any():
        raise ValueError("altitudes must be a non-empty sequence of finite altitudes of 0 or more")
    outer = float(l0)
    if not (math.isfinite(outer) and outer > 0.0):
        raise ValueError(f"l0 must be finite and positive, not {outer!r}")
    try:
        low, high = (float(b) for b in l0_bounds)
    except (TypeError, ValueError):
        low = high = math.nan
    if fit_l0 and not (0.0 < low < high < math.inf):
        raise ValueError(f"l0_bounds must be (low, high) with 0 < low < high, not {l0_bounds!r}")
    source = _inspect.sources(system)
    n = source.shape[0]
    if n == 0:
        raise ValueError("system has no measurements (meas) to fit")
    covariance, count = _measured(measured, n, frames)
    labels = _sensor_labels(system, sensors, source)
    groups = [np.flatnonzero(labels == s) for s in range(int(labels.max()) + 1)]
    fit_noise = isinstance(noise, str)
    if fit_noise and noise != "fit":
        raise ValueError(f"noise must be 'fit' or variances, not {noise!r}")
    given = np.zeros(len(groups))
    if not fit_noise:
        given = np.broadcast_to(np.asarray(0.0 if noise is None else noise, np.float64),
                                (len(groups),)).copy()
        if not (np.isfinite(given).all() and (given >= 0).all()):
            raise ValueError("noise variances must be finite and 0 or more")
        covariance = covariance.copy()
        covariance[np.diag_indices(n)] -= given[labels]

    copy = _frozen.freeze(system).thaw()
    fitted_groups = groups if fit_noise else []

    def at(outer_scale: float) -> tuple[FloatArray, FloatArray, FloatArray, float]:
        return _fit_at(copy, heights, outer_scale, model, threads, metres, fitted_groups,
                       covariance)

    if fit_l0:
        from scipy.optimize import minimize_scalar

        search = minimize_scalar(lambda log_l0: at(math.exp(log_l0))[3], method="bounded",
                                 bounds=(math.log(low), math.log(high)),
                                 options={"xatol": 0.005})
        outer = math.exp(float(search.x))
    solution, maps, gram, misfit = at(outer)
    layers = len(maps)
    strengths = solution[:layers]
    if not strengths.any():
        raise ValueError("the fit found no turbulence at these altitudes (every strength is 0)")
    variances = solution[layers:] if fit_noise else given
    model_covariance = np.tensordot(strengths, maps, axes=1)
    model_covariance[np.diag_indices(n)] += variances[labels]
    measured_total = covariance.copy()
    if not fit_noise:
        measured_total[np.diag_indices(n)] += given[labels]

    parameters = gram.shape[0]
    if count is None:
        parameter_covariance = np.full((parameters, parameters), np.nan)
    else:
        parameter_covariance = _sandwich(maps, fitted_groups, gram, model_covariance, count)
    naive_variance = max(misfit, 0.0) / max(n * n - parameters, 1)
    naive = naive_variance * np.linalg.pinv(gram, hermitian=True)
    strength_covariance = parameter_covariance[:layers, :layers]
    total = float(strengths.sum())
    r0 = total ** -0.6
    r0_error = 0.6 * r0 * math.sqrt(max(float(strength_covariance.sum()), 0.0)) / total \
        if count is not None else math.nan
    noise_error = np.sqrt(np.clip(np.diagonal(parameter_covariance)[layers:], 0.0, None)) \
        if fit_noise else np.zeros(len(groups))
    # The separations are the guide stars', whatever the noise's groups.
    separations, resolution, highest, resolved = _resolution(
        source, _sensor_labels(system, None, source), _inspect.positions(system, "meas"), heights)
    found = strengths > 0.0
    return ProfileFit(
        profile=Profile(strengths[found] ** -0.6, outer, heights[found], (0.0, 0.0), metres),
        altitudes=heights,
        fractions=strengths / total,
        fractions_error=_fraction_errors(strengths, strength_covariance),
        r0_error=r0_error,
        noise=np.asarray(variances, np.float64),
        noise_error=noise_error,
        l0=outer,
        l0_fitted=bool(fit_l0),
        residual=float(np.linalg.norm(measured_total - model_covariance)
                       / np.linalg.norm(measured_total)),
        covariance=model_covariance,
        sensors=labels,
        frames=count,
        errors=ERRORS if count is not None else "none: the frame count is not known",
        naive_fractions_error=_fraction_errors(strengths, naive[:layers, :layers]),
        separations=separations,
        altitude_resolution=resolution,
        highest_altitude=highest,
        resolved=resolved,
    )
