"""Slope noise: a centroid error in arcseconds, or the centre-of-gravity error of a detector, as the
variance of vedov's slopes."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from vedovx._inspect import sensors
from vedovx._mmse import symmetric
from vedovx._profiles import ARCSEC, REFERENCE_WAVELENGTH, wavelength_value

FloatArray = np.ndarray[Any, np.dtype[np.float64]]


def slope_variance(angle: npt.ArrayLike, wavelength: float = REFERENCE_WAVELENGTH) -> Any:
    """The variance of a slope whose centroid error is `angle`.

    A slope is the phase gradient in radians of phase per metre at `wavelength` (vedov's slopes,
    at the layers' reference wavelength); a wavefront tilt of θ radians is the gradient 2π·θ/λ, so
    the variance is (2π·θ/λ)², θ = angle / 206264.806... (arcseconds per radian, 180·3600/π; not
    vedov's 4.848e-6 direction factor).

    Parameters
    ----------
    angle : float or array_like
        Centroid error, arcsec rms; finite and non-negative. Element-wise over an array.
    wavelength : float
        Metres, 500e-9 by default.

    Returns
    -------
    float or numpy.ndarray
        Slope variance, (rad/m)².
    """
    theta = np.asarray(angle, dtype=np.float64)
    if np.any(~np.isfinite(theta)) or np.any(theta < 0):
        raise ValueError(f"angle must be finite and non-negative [arcsec rms], not {angle!r}")
    lam = wavelength_value(wavelength)
    return (2.0 * math.pi * (theta / ARCSEC) / lam) ** 2


def centroid_error(photons: npt.ArrayLike, *, pixel_scale: float, spot_fwhm: float,
                   read_noise: float = 0.0, window: float | None = None) -> Any:
    """The rms error of a centre-of-gravity centroid on one axis, from photon and read noise.

    The usual formulas for a Gaussian spot (Rousset 1999, "Wave-front sensors", in Adaptive
    Optics in Astronomy, ed. Roddier, ch. 5; Thomas et al. 2006, MNRAS 371, 323), in pixels²,
    with N_ph detected photons per sub-aperture and frame, N_T the spot's FWHM in pixels
    (spot_fwhm / pixel_scale), σ_e the read noise and N_S the pixels across the centroid window::

        σ² = N_T² / (8 ln 2 · N_ph)  +  σ_e² · N_S⁴ / (12 · N_ph²)

    The first term is the spot's variance over the photon count, σ_spot² / N_ph; the second the
    read noise of N_S² pixels weighted by their squared distance to the centre. The result is
    pixel_scale · σ.

    Parameters
    ----------
    photons : float or array_like
        Detected photons per sub-aperture and frame (one per sensor, say); positive.
    pixel_scale : float
        Arcsec per pixel.
    spot_fwhm : float
        The spot's full width at half maximum, arcsec.
    read_noise : float
        Electrons rms per pixel, 0 by default.
    window : float, optional
        Pixels across the centroid window; needed when `read_noise` is not zero.

    Returns
    -------
    float or numpy.ndarray
        Centroid error, arcsec rms (``slope_variance`` makes it a slope variance).
    """
    n = np.asarray(photons, dtype=np.float64)
    if np.any(~(n > 0)) or np.any(~np.isfinite(n)):
        raise ValueError(f"photons must be finite and positive, not {photons!r}")
    scale = _positive(pixel_scale, "pixel_scale")
    fwhm = _positive(spot_fwhm, "spot_fwhm")
    sigma_e = float(read_noise)
    if not (math.isfinite(sigma_e) and sigma_e >= 0.0):
        raise ValueError(f"read_noise must be finite and non-negative, not {read_noise!r}")
    variance = (fwhm / scale) ** 2 / (8.0 * math.log(2.0) * n)
    if sigma_e > 0.0:
        if window is None:
            raise ValueError("window: the pixels across the centroid window are needed with "
                             "read noise")
        pixels = _positive(window, "window")
        variance = variance + sigma_e**2 * pixels**4 / (12.0 * n**2)
    return scale * np.sqrt(variance)


def slope_noise(system: Any, angle: npt.ArrayLike,
                wavelength: float = REFERENCE_WAVELENGTH) -> FloatArray:
    """The diagonal of the slope noise covariance of `system`.

    Noise of different slopes is independent; each slope's variance is
    ``slope_variance(angle of its sensor, wavelength)``. Pass the array wherever a noise
    covariance is wanted (a 1-D array stands for its diagonal), or ``numpy.diag`` of it.

    Parameters
    ----------
    system : vedov.SystemGeom or FrozenSystem
    angle : float or array_like
        Centroid error, arcsec rms: one for every sensor, or one per sensor in the order of
        ``vedovx.sensors(system)``.
    wavelength : float
        Metres, 500e-9 by default.

    Returns
    -------
    numpy.ndarray
        One variance per measurement, (rad/m)².
    """
    found = sensors(system)
    values = np.asarray(angle, dtype=np.float64)
    if values.ndim == 0:
        values = np.full(len(found), float(values))
    if values.shape != (len(found),):
        raise ValueError(f"angle must be one number or one per sensor ({len(found)}), not an "
                         f"array of shape {values.shape}")
    variances = slope_variance(values, wavelength)
    result = np.empty(sum(len(s.indices) for s in found))
    for sensor, variance in zip(found, variances):
        result[sensor.indices] = variance
    return result


def noise_blocks(system: Any, blocks: Sequence[npt.ArrayLike]) -> FloatArray:
    """A slope noise covariance made of your own block per sensor.

    Slopes of different sensors are uncorrelated (zero).

    Parameters
    ----------
    system : vedov.SystemGeom or FrozenSystem
    blocks : sequence
        One block per sensor, in the order of ``vedovx.sensors(system)``: the covariance of that
        sensor's slopes in their order in ``meas``, (rad/m)². A number (that variance on the
        diagonal), a 1-D array (the diagonal) or a symmetric 2-D array.

    Returns
    -------
    numpy.ndarray
        The noise covariance, one row and column per measurement.
    """
    found = sensors(system)
    if len(blocks) != len(found):
        raise ValueError(f"blocks: {len(blocks)} blocks for {len(found)} sensors")
    n = sum(len(s.indices) for s in found)
    result = np.zeros((n, n))
    for k, (sensor, block) in enumerate(zip(found, blocks)):
        size = len(sensor.indices)
        array = np.asarray(block, dtype=np.float64)
        if array.ndim == 0:
            array = np.full(size, float(array))
        if array.ndim == 1:
            array = np.diag(array)
        if array.shape != (size, size):
            raise ValueError(f"blocks[{k}] has shape {array.shape}, but sensor {k} has {size} "
                             "slopes")
        if not symmetric(array):
            raise ValueError(f"blocks[{k}] is not symmetric")
        result[np.ix_(sensor.indices, sensor.indices)] = array
    return result


def _positive(value: Any, name: str) -> float:
    if isinstance(value, (str, bytes, bool)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be finite and positive, not {value!r}")
    return number
