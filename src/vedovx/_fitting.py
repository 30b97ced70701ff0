"""Deformable-mirror fitting: the least-squares projection of a phase onto the mirrors' responses,
its error, and the command matrix from slopes."""

from __future__ import annotations

import math

import numpy.typing as npt
import scipy.linalg

from vedovx._mmse import FloatArray, Groups, centre, matrix


def fit_matrix(interaction: npt.ArrayLike, *, regularisation: float = 0.0,
               groups: Groups = None) -> FloatArray:
    """The least-squares mirror fit F: commands c = F·φ that best fit a phase φ at the samples.

    c minimises |P(φ - D c)|² + α|c|², D the actuators' responses at the samples, P the removal
    of each group's mean (piston does not count) and α the Tikhonov regularisation. With α > 0,
    F = (DᵀPD + αI)⁻¹ (PD)ᵀ, by Cholesky; with α = 0, F = (PD)⁺, the minimum-norm least-squares
    solution (SciPy's pseudo-inverse: singular values below max(n_t, n_com)·ε times the largest
    are dropped).

    Parameters
    ----------
    interaction : array_like
        D, n_t × n_com: for instance ``vedovx.interaction(system, "phi")`` at the samples in the
        pupil.
    regularisation : float
        α, in the units of DᵀPD's elements; 0 by default.
    groups : sequence of index arrays or slices, optional
        The samples of each pupil, as for ``piston_removed``; default one.

    Returns
    -------
    numpy.ndarray
        F, n_com × n_t.
    """
    d = matrix(interaction, "interaction", (None, None))
    alpha = float(regularisation)
    if not (math.isfinite(alpha) and alpha >= 0.0):
        raise ValueError(f"regularisation must be finite and non-negative, not {regularisation!r}")
    pd = centre(d, groups, "interaction")
    if alpha == 0.0:
        pseudo: FloatArray = scipy.linalg.pinv(pd)
        return pseudo
    normal = pd.T @ pd
    normal[range(len(normal)), range(len(normal))] += alpha
    fit: FloatArray = scipy.linalg.cho_solve(scipy.linalg.cho_factor(normal, lower=True), pd.T)
    return fit


def fitting_error(c_tt: npt.ArrayLike, interaction: npt.ArrayLike,
                  fit: npt.ArrayLike) -> FloatArray:
    """The covariance (I - D F) C_tt (I - D F)ᵀ of what the mirrors leave of the true phase.

    The mirrors take the commands F·φ; piston is not removed (``piston_removed`` does).

    Parameters
    ----------
    c_tt : array_like
        Covariance of the phase at the samples, n_t × n_t.
    interaction : array_like
        D, the actuators' responses at the samples, n_t × n_com.
    fit : array_like
        F, n_com × n_t (``fit_matrix``).

    Returns
    -------
    numpy.ndarray
        n_t × n_t.
    """
    d = matrix(interaction, "interaction", (None, None))
    f = matrix(fit, "fit", (d.shape[1], d.shape[0]))
    tt = matrix(c_tt, "c_tt", (d.shape[0], d.shape[0]))
    left = -(d @ f)
    left[range(len(left)), range(len(left))] += 1.0
    result: FloatArray = left @ tt @ left.T
    return result


def command_matrix(fit: npt.ArrayLike, reconstructor: npt.ArrayLike) -> FloatArray:
    """The command matrix M = F R: mirror commands from slopes.

    Parameters
    ----------
    fit : array_like
        F, n_com × n_t (``fit_matrix``).
    reconstructor : array_like
        R, n_t × n_m, which estimates the phase at the samples from the slopes.

    Returns
    -------
    numpy.ndarray
        M, n_com × n_m.
    """
    f = matrix(fit, "fit", (None, None))
    r = matrix(reconstructor, "reconstructor", (f.shape[1], None))
    result: FloatArray = f @ r
    return result
