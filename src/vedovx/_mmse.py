"""Minimum-mean-square-error estimation of phase from slopes: the reconstructor, its error
covariance and noise propagation, piston removed over groups of samples (NumPy and SciPy)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.linalg

FloatArray = np.ndarray[Any, np.dtype[np.float64]]
#: Samples that make one pupil: index arrays (or slices) into the science samples.
Groups = Sequence[Any] | None


def matrix(value: npt.ArrayLike, name: str, shape: tuple[int | None, int | None]) -> FloatArray:
    """`value` as a finite float64 matrix of `shape` (None: any size); ValueError naming it."""
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must be a matrix of numbers: {error}") from None
    if array.dtype.kind not in "fiu":
        raise ValueError(f"{name} must hold real numbers, not {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"{name} must be two-dimensional, not {array.ndim}-D")
    for axis, (size, wanted) in enumerate(zip(array.shape, shape)):
        if wanted is not None and size != wanted:
            raise ValueError(f"{name} has shape {array.shape}: {wanted} "
                             f"{'rows' if axis == 0 else 'columns'} expected")
    result = np.asarray(array, dtype=np.float64)
    if not np.isfinite(result).all():
        raise ValueError(f"{name} holds values that are not finite")
    return result


def square(value: npt.ArrayLike, name: str) -> FloatArray:
    array = matrix(value, name, (None, None))
    if array.shape[0] != array.shape[1]:
        raise ValueError(f"{name} must be square, not of shape {array.shape}")
    return array


def symmetric(array: FloatArray) -> bool:
    """Symmetric to 1e-12 of its largest element (products that should be symmetric seldom are to
    the last bit)."""
    return bool(np.abs(array - array.T).max(initial=0.0) <= 1e-12 * np.abs(array).max(initial=0.0))


class Noise:
    """A slope noise covariance C_n given as a number (σ² on the diagonal), a 1-D array (the
    diagonal) or a 2-D symmetric array, checked against n slopes."""

    def __init__(self, value: npt.ArrayLike, n: int, name: str = "noise") -> None:
        try:
            array = np.asarray(value, dtype=np.float64)
        except (TypeError, ValueError) as error:
            raise ValueError(f"{name} must be a number or an array of numbers: {error}") from None
        if array.ndim == 0:
            array = np.full(n, float(array))
        if array.ndim == 1 and array.shape != (n,):
            raise ValueError(f"{name} has {array.shape[0]} variances for {n} slopes")
        if array.ndim == 2 and array.shape != (n, n):
            raise ValueError(f"{name} has shape {array.shape}: ({n}, {n}) expected for {n} slopes")
        if array.ndim > 2:
            raise ValueError(f"{name} must be a number, a diagonal or a matrix, not {array.ndim}-D")
        if not np.isfinite(array).all():
            raise ValueError(f"{name} holds values that are not finite")
        if array.ndim == 1 and (array < 0).any():
            raise ValueError(f"{name}: variances must not be negative")
        if array.ndim == 2 and not symmetric(array):
            raise ValueError(f"{name} is not symmetric")
        self.diagonal = array.ndim == 1
        self.array = array

    def added_to(self, c_mm: FloatArray) -> FloatArray:
        """A new array C_mm + C_n."""
        if self.diagonal:
            total = c_mm.copy()
            total[np.diag_indices_from(total)] += self.array
            return total
        return c_mm + self.array

    def propagated(self, r: FloatArray) -> FloatArray:
        """R C_n Rᵀ."""
        if self.diagonal:
            return (r * self.array) @ r.T
        return r @ self.array @ r.T


def piston_removed(cov: npt.ArrayLike, groups: Groups = None) -> FloatArray:
    """The covariance of a phase less its average over each group of samples: P C Pᵀ.

    P removes each group's mean (a group is the samples of one pupil); rows and columns of
    different groups are centred each on its own group.

    Parameters
    ----------
    cov : array_like
        Covariance of the samples, n × n.
    groups : sequence of index arrays or slices, optional
        Covering the samples, each sample in one group; default one group of every sample.

    Returns
    -------
    numpy.ndarray
        n × n.
    """
    c = matrix(cov, "cov", (None, None))
    centred = _centre_rows(c, groups, "cov")
    return _centre_rows(centred.T, groups, "cov").T


def centre(values: FloatArray, groups: Groups, name: str) -> FloatArray:
    """The rows of `values` less their mean over each group (P @ values)."""
    return _centre_rows(values, groups, name)


def _centre_rows(values: FloatArray, groups: Groups, name: str) -> FloatArray:
    result = np.array(values, dtype=np.float64)
    for group in group_indices(groups, len(values), name):
        result[group] -= result[group].mean(axis=0, keepdims=True)
    return result


def group_indices(groups: Groups, n: int, name: str = "groups") -> list[np.ndarray[Any, Any]]:
    """The groups as index arrays; they must cover 0 .. n-1 once each."""
    if groups is None:
        return [np.arange(n)]
    found = []
    for group in groups:
        index = np.arange(n)[group] if isinstance(group, slice) else np.asarray(group)
        if index.dtype.kind not in "iu" or index.ndim != 1:
            raise ValueError("groups must be slices or one-dimensional integer arrays")
        found.append(index.astype(np.int64))
    everything = np.concatenate(found) if found else np.empty(0, np.int64)
    if len(everything) != n or not np.array_equal(np.sort(everything), np.arange(n)):
        raise ValueError(f"groups must cover each of the {n} samples of {name} exactly once")
    return found


def cholesky(c_mm: FloatArray, noise: Noise) -> FloatArray:
    """The lower Cholesky factor L of C_mm + C_n; ValueError when that is not positive
    definite."""
    try:
        factor: FloatArray = scipy.linalg.cholesky(noise.added_to(c_mm), lower=True,
                                                   overwrite_a=True, check_finite=False)
    except np.linalg.LinAlgError:
        raise ValueError("c_mm + noise is not positive definite (is the noise zero, or are "
                         "slopes repeated?)") from None
    return factor


def whitened(factor: FloatArray, c_mt: FloatArray) -> FloatArray:
    """X = L⁻¹ C_mt: then C_tm (C_mm + C_n)⁻¹ C_mt = XᵀX and R = (L⁻ᵀ X)ᵀ."""
    result: FloatArray = scipy.linalg.solve_triangular(factor, c_mt, lower=True,
                                                       check_finite=False)
    return result


def from_whitened(factor: FloatArray, x: FloatArray) -> FloatArray:
    """R = C_tm (C_mm + C_n)⁻¹ from X = L⁻¹ C_mt."""
    result: FloatArray = scipy.linalg.solve_triangular(factor, x, lower=True, trans="T",
                                                       check_finite=False).T
    return result


def mmse_reconstructor(c_tm: npt.ArrayLike, c_mm: npt.ArrayLike,
                       noise: npt.ArrayLike) -> FloatArray:
    """The minimum-mean-square-error reconstructor R = C_t,m (C_m,m + C_n)⁻¹.

    R·s estimates the phase at the science samples t from the slopes s; computed with a Cholesky
    factorisation of C_m,m + C_n (SciPy), in float64 (float32 arrays are accepted).

    Parameters
    ----------
    c_tm : array_like
        Covariance of the science phase with the slopes, n_t × n_m (for instance
        ``vedovx.covariance(system, "phi", "meas")``).
    c_mm : array_like
        Covariance of the slopes, n_m × n_m.
    noise : float or array_like
        The slope noise covariance C_n: a variance, a diagonal (1-D) or an n_m × n_m matrix.

    Returns
    -------
    numpy.ndarray
        R, n_t × n_m.

    Raises
    ------
    ValueError
        Shapes that do not fit (naming the argument), values that are not finite, or
        C_m,m + C_n not positive definite.
    """
    mm = square(c_mm, "c_mm")
    tm = matrix(c_tm, "c_tm", (None, mm.shape[0]))
    factor = cholesky(mm, Noise(noise, mm.shape[0]))
    return from_whitened(factor, whitened(factor, tm.T))


def estimation_error(c_tt: npt.ArrayLike, c_tm: npt.ArrayLike, c_mm: npt.ArrayLike,
                     noise: npt.ArrayLike,
                     reconstructor: npt.ArrayLike | None = None) -> FloatArray:
    """The covariance of the estimation error φ - R·s at the science samples.

    For a reconstructor R it is ``C_tt - R C_mt - C_tm Rᵀ + R (C_mm + C_n) Rᵀ``; for the MMSE one
    (the default) ``C_tt - C_tm (C_mm + C_n)⁻¹ C_mt``, computed as C_tt - XᵀX with X = L⁻¹ C_mt and
    L the Cholesky factor of C_mm + C_n. Piston is not removed (``piston_removed`` does).

    Parameters
    ----------
    c_tt : array_like
        Covariance of the science phase, n_t × n_t.
    c_tm, c_mm, noise
        As for ``mmse_reconstructor``.
    reconstructor : array_like, optional
        R, n_t × n_m; default the MMSE reconstructor.

    Returns
    -------
    numpy.ndarray
        n_t × n_t.
    """
    mm = square(c_mm, "c_mm")
    tm = matrix(c_tm, "c_tm", (None, mm.shape[0]))
    tt = matrix(c_tt, "c_tt", (tm.shape[0], tm.shape[0]))
    c_n = Noise(noise, mm.shape[0])
    if reconstructor is None:
        x = whitened(cholesky(mm, c_n), tm.T)
        return tt - x.T @ x
    r = matrix(reconstructor, "reconstructor", tm.shape)
    explained = r @ tm.T
    return tt - explained - explained.T + r @ c_n.added_to(mm) @ r.T


def noise_propagation(reconstructor: npt.ArrayLike, noise: npt.ArrayLike) -> FloatArray:
    """The covariance R C_n Rᵀ that slope noise adds to the estimate R·s.

    Parameters
    ----------
    reconstructor : array_like
        R, n_t × n_m.
    noise : float or array_like
        C_n: a variance, a diagonal or an n_m × n_m matrix.

    Returns
    -------
    numpy.ndarray
        n_t × n_t.
    """
    r = matrix(reconstructor, "reconstructor", (None, None))
    return Noise(noise, r.shape[1]).propagated(r)
