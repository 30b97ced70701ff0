"""Deformable-mirror fitting: the least-squares projection of a phase onto the mirrors' responses,
its error, and the command matrix from slopes."""

from __future__ import annotations

import math

import numpy.typing as npt
import scipy.linalg

from vedovx._mmse import FloatArray, Groups, centre, matrix


def fit_matrix(interaction: npt.ArrayLike, *, regularisation: float = 0.0,
               groups: Groups = None) -> FloatArray:
    """F, the mirror commands c = F·φ that best fit a phase φ given at the science samples: the
    c minimising |P(φ - D c)|² + α|c|², with D the actuators' responses at the samples
    (`interaction`, n_t × n_com, for instance ``vedovx.interaction(system, "phi")`` restricted to
    the samples in the pupil), P the removal of each group's mean (piston does not count) and α
    the Tikhonov `regularisation` (in the units of DᵀPD's elements).

    α > 0: F = (DᵀPD + αI)⁻¹ (PD)ᵀ, by Cholesky. α = 0: F = (PD)⁺, the minimum-norm
    least-squares solution (SciPy's pseudo-inverse, singular values below max(n_t, n_com)·ε times
    the largest dropped). groups: the samples of each pupil, as for ``piston_removed``. Returns
    n_com × n_t."""
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
    """(I - D F) C_tt (I - D F)ᵀ: the covariance of what the mirrors leave of the true phase
    φ (covariance C_tt at the science samples) when they take the commands F·φ; D the actuators'
    responses at the samples (n_t × n_com), F from ``fit_matrix``. Piston is not removed
    (``piston_removed`` does)."""
    d = matrix(interaction, "interaction", (None, None))
    f = matrix(fit, "fit", (d.shape[1], d.shape[0]))
    tt = matrix(c_tt, "c_tt", (d.shape[0], d.shape[0]))
    left = -(d @ f)
    left[range(len(left)), range(len(left))] += 1.0
    result: FloatArray = left @ tt @ left.T
    return result


def command_matrix(fit: npt.ArrayLike, reconstructor: npt.ArrayLike) -> FloatArray:
    """M = F R: mirror commands from slopes (n_com × n_m), the fit F (n_com × n_t) of the phase
    that the reconstructor R (n_t × n_m) estimates at the science samples."""
    f = matrix(fit, "fit", (None, None))
    r = matrix(reconstructor, "reconstructor", (f.shape[1], None))
    result: FloatArray = f @ r
    return result
