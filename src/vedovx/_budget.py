"""Error budgets of tomographic reconstruction per science direction: the terms in rad² and nm,
Maréchal Strehl ratios, and the reconstruction they come from (from a system or from arrays)."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from vedovx import _arrays, _builders, _inspect, _matrices, _mmse
from vedovx._display import Table, Tabular, number
from vedovx._fitting import command_matrix, fit_matrix, fitting_error
from vedovx._mmse import FloatArray, Noise, matrix, square
from vedovx._profiles import REFERENCE_WAVELENGTH, wavelength_value
from vedovx._systems import borrowed

Term = Literal["uncorrected", "noise", "tomographic", "fitting", "residual", "total"]
TERMS: tuple[Term, ...] = ("uncorrected", "noise", "tomographic", "fitting", "residual", "total")


def nm(variance: npt.ArrayLike, wavelength: float = REFERENCE_WAVELENGTH) -> Any:
    """A phase variance [rad² at `wavelength`, m] as an rms optical path [nm]:
    sign(v)·sqrt(|v|)·λ/(2π), λ in nm (a negative difference of variances gives negative nm)."""
    v = np.asarray(variance, dtype=np.float64)
    lam_nm = wavelength_value(wavelength) * 1e9
    return np.copysign(np.sqrt(np.abs(v)), v) * lam_nm / (2.0 * math.pi)


def strehl(variance: npt.ArrayLike, wavelength: float,
           reference: float = REFERENCE_WAVELENGTH) -> Any:
    """Maréchal's Strehl ratio exp(-σ²·(λ_ref/λ)²) at the science `wavelength` [m] of a phase
    variance σ² [rad² at the reference wavelength, m]."""
    scale = (wavelength_value(reference) / wavelength_value(wavelength)) ** 2
    return np.exp(-np.asarray(variance, dtype=np.float64) * scale)


@dataclasses.dataclass(frozen=True, repr=False)
class Budget(Tabular):
    """The error budget of a reconstruction, per science direction, in rad² of phase at the
    reference wavelength (500 nm) averaged over the direction's samples in the pupil, piston
    removed over those samples (for each term: the mean of the diagonal of P C P, C the term's
    covariance and P the removal of the samples' mean).

    uncorrected: the phase itself, C_tt.
    noise: noise propagation, R C_n Rᵀ.
    tomographic: the rest of the estimation error φ - R·s, whose covariance is
        C_tt - R C_mt - C_tm Rᵀ + R (C_mm + C_n) Rᵀ, less the noise term.
    fitting: with mirrors, what the least-squares mirror fit leaves of the true phase,
        (I - D F) C_tt (I - D F)ᵀ (None without mirrors).
    residual: with mirrors, the whole error of the corrected phase φ - D F R·s, cross terms
        included (None without mirrors).
    total: noise + tomographic + fitting, the usual sum of the terms as if they were independent
        (``residual`` is what it approximates).

    Each is an array, one value per direction; ``maps[term]`` holds the values at every sample
    (direction k's at ``groups[k]``), ``positions`` where the samples cross the pupil (or None).
    ``wavelength``: the science wavelength [m] the table shows Strehl ratios at (or None)."""

    directions: FloatArray
    uncorrected: FloatArray
    noise: FloatArray
    tomographic: FloatArray
    fitting: FloatArray | None
    residual: FloatArray | None
    maps: dict[str, FloatArray]
    groups: tuple[np.ndarray[Any, np.dtype[np.int64]], ...]
    positions: FloatArray | None = None
    wavelength: float | None = None

    @property
    def total(self) -> FloatArray:
        """noise + tomographic + fitting per direction [rad²]."""
        total: FloatArray = self.noise + self.tomographic
        return total if self.fitting is None else total + self.fitting

    def term(self, name: Term) -> FloatArray:
        """The term called `name` per direction [rad²]; ValueError for a term this budget lacks."""
        if name not in TERMS:
            raise ValueError(f"name must be one of {', '.join(map(repr, TERMS))}, not {name!r}")
        value = self.total if name == "total" else getattr(self, name)
        if value is None:
            raise ValueError(f"{name}: this budget has no mirrors, so no {name} term")
        result: FloatArray = value
        return result

    def nm(self, name: Term = "total") -> FloatArray:
        """The term `name` per direction as an rms optical path [nm]."""
        result: FloatArray = nm(self.term(name))
        return result

    def strehl(self, wavelength: float | None = None, name: Term = "total") -> FloatArray:
        """Maréchal's Strehl ratio per direction at `wavelength` [m] (default the budget's) of the
        term `name` (default the total)."""
        lam = self.wavelength if wavelength is None else wavelength
        if lam is None:
            raise ValueError("wavelength: give the science wavelength in metres")
        result: FloatArray = strehl(self.term(name), lam)
        return result

    def map(self, name: Term, k: int) -> FloatArray:
        """The term `name` at each sample of direction k [rad²]."""
        if name == "total":
            values = self.maps["noise"] + self.maps["tomographic"]
            if self.fitting is not None:
                values = values + self.maps["fitting"]
        else:
            self.term(name)
            values = self.maps[name]
        result: FloatArray = values[self.groups[k]]
        return result

    def excess_over(self, reference: Budget, per_sample: bool = False) -> FloatArray:
        """The estimation error (noise + tomographic) less that of `reference`, a budget of the
        same science samples estimated otherwise (by one natural star on axis, say): what the
        sensors' geometry costs beyond what the reference cannot see either. Per direction
        [rad²], or per sample when `per_sample`."""
        if per_sample:
            if reference.maps["noise"].shape != self.maps["noise"].shape:
                raise ValueError("reference: its budget has other science samples")
            ours = self.maps["noise"] + self.maps["tomographic"]
            result: FloatArray = ours - reference.maps["noise"] - reference.maps["tomographic"]
            return result
        if reference.noise.shape != self.noise.shape:
            raise ValueError("reference: its budget has other science directions")
        difference: FloatArray = (self.noise + self.tomographic
                                  - reference.noise - reference.tomographic)
        return difference

    @classmethod
    def from_errors(cls, c_tt: npt.ArrayLike, estimation: npt.ArrayLike,
                    noise: npt.ArrayLike, fitting: npt.ArrayLike | None = None,
                    residual: npt.ArrayLike | None = None, *, groups: _mmse.Groups = None,
                    directions: npt.ArrayLike | None = None,
                    positions: npt.ArrayLike | None = None,
                    wavelength: float | None = None) -> Budget:
        """A budget from the covariances at the science samples (n_t × n_t each, piston not yet
        removed): the phase c_tt, the estimation error, its noise part, and with mirrors the
        fitting error and the corrected residual. groups: each direction's samples (default one
        direction); directions: (n, 2) [arcsec] (default (0, 0) each)."""
        tt = square(c_tt, "c_tt")
        n = len(tt)
        found = _mmse.group_indices(groups, n)
        shape = (n, n)
        covariances = {"uncorrected": tt, "noise": matrix(noise, "noise", shape),
                       "estimation": matrix(estimation, "estimation", shape)}
        if fitting is not None:
            covariances["fitting"] = matrix(fitting, "fitting", shape)
        if residual is not None:
            covariances["residual"] = matrix(residual, "residual", shape)
        maps = {name: _piston_removed_diagonal(c, found) for name, c in covariances.items()}
        maps["tomographic"] = maps.pop("estimation") - maps["noise"]
        means = {name: np.array([values[g].mean() for g in found]) for name, values in maps.items()}
        if directions is None:
            where = np.zeros((len(found), 2))
        else:
            where = matrix(directions, "directions", (len(found), 2))
        at = None if positions is None else matrix(positions, "positions", (n, 2))
        return cls(where, means["uncorrected"], means["noise"], means["tomographic"],
                   means.get("fitting"), means.get("residual"), maps, tuple(found), at,
                   None if wavelength is None else wavelength_value(wavelength))

    def table(self) -> Table:
        terms: list[Term] = ["noise", "tomographic"]
        if self.fitting is not None:
            terms.append("fitting")
        terms.append("total")
        headings = ["direction"] + [f"{t} [nm]" for t in terms] + ["total [rad²]"]
        if self.wavelength is not None:
            headings.append(f"Strehl {number(self.wavelength * 1e6)} µm")
        values = {t: self.nm(t) for t in terms}
        rows = []
        for k, (x, y) in enumerate(self.directions):
            row = [f'({number(x)}", {number(y)}")'] + [f"{values[t][k]:.1f}" for t in terms]
            row.append(f"{self.total[k]:.4g}")
            if self.wavelength is not None:
                row.append(f"{self.strehl()[k]:.3f}")
            rows.append(row)
        notes = ["total = noise + tomographic" + (" + fitting" if self.fitting is not None
                                                   else "") + "; piston removed; rad² at 500 nm"]
        if self.residual is not None:
            notes.append("residual of the corrected phase, cross terms included [nm]: "
                         + ", ".join(f"{v:.1f}" for v in nm(self.residual)))
        return Table(f"Error budget, {len(rows)} direction(s)", headings, rows, notes)


def _piston_removed_diagonal(cov: FloatArray, groups: list[np.ndarray[Any, Any]]) -> FloatArray:
    """The diagonal of P C P, P removing each group's mean, at every sample."""
    result = np.empty(len(cov))
    for g in groups:
        block = cov[np.ix_(g, g)]
        centred = block - block.mean(axis=0, keepdims=True)
        result[g] = np.diag(centred - centred.mean(axis=1, keepdims=True))
    return result


@dataclasses.dataclass(frozen=True)
class Reconstruction:
    """A tomographic reconstruction and what it costs.

    reconstructor: R, the phase at the science samples from slopes (n_t × n_m).
    error: the covariance of the estimation error φ - R·s at the samples (n_t × n_t, piston not
        removed).
    budget: its Budget.
    fit: F, mirror commands from the phase at the samples (n_com × n_t), or None without mirrors.
    commands: the command matrix F R, mirror commands from slopes (n_com × n_m), or None.
    samples: for a reconstruction of a system, the indices in ``phi`` of the science samples in
        their order (those of each direction in the pupil, direction by direction), else None.
    actuators: likewise, the indices in ``com`` of the mirrors' actuators, or None."""

    reconstructor: FloatArray
    error: FloatArray
    budget: Budget
    fit: FloatArray | None = None
    commands: FloatArray | None = None
    samples: np.ndarray[Any, np.dtype[np.int64]] | None = None
    actuators: np.ndarray[Any, np.dtype[np.int64]] | None = None


def reconstruction_from(c_tt: npt.ArrayLike, c_tm: npt.ArrayLike, c_mm: npt.ArrayLike,
                        noise: npt.ArrayLike, *, groups: _mmse.Groups = None,
                        interaction: npt.ArrayLike | None = None, regularisation: float = 0.0,
                        reconstructor: npt.ArrayLike | None = None,
                        directions: npt.ArrayLike | None = None,
                        positions: npt.ArrayLike | None = None,
                        wavelength: float | None = None) -> Reconstruction:
    """The reconstruction and its budget from arrays: c_tt (n_t × n_t), c_tm (n_t × n_m), c_mm
    (n_m × n_m) the covariances of the science phase and the slopes, noise the slope noise
    covariance (a variance, a diagonal or a matrix); float32 arrays are accepted.

    reconstructor: judge this R (n_t × n_m) instead of the MMSE one, C_tm (C_mm + C_n)⁻¹.
    interaction: the mirrors' responses at the science samples (n_t × n_com): adds the fitting
        and residual terms and the command matrix (``fit_matrix`` with `regularisation`).
    groups, directions, positions, wavelength: as for ``Budget.from_errors``."""
    mm = square(c_mm, "c_mm")
    tm = matrix(c_tm, "c_tm", (None, len(mm)))
    tt = matrix(c_tt, "c_tt", (len(tm), len(tm)))
    c_n = Noise(noise, len(mm))
    if reconstructor is None:
        factor = _mmse.cholesky(mm, c_n)
        x = _mmse.whitened(factor, tm.T)
        r = _mmse.from_whitened(factor, x)
        explained = x.T @ x  # R C_mt and R (C_mm + C_n) Rᵀ alike
        error = tt - explained
        spread = explained
    else:
        r = matrix(reconstructor, "reconstructor", tm.shape)
        explained = r @ tm.T
        spread = r @ c_n.added_to(mm) @ r.T
        error = tt - explained - explained.T + spread
    propagated = c_n.propagated(r)
    fit = commands = fitting = residual = None
    if interaction is not None:
        d = matrix(interaction, "interaction", (len(tt), None))
        fit = fit_matrix(d, regularisation=regularisation, groups=groups)
        commands = command_matrix(fit, r)
        fitting = fitting_error(tt, d, fit)
        g = d @ fit
        corrected = g @ explained
        residual = tt - corrected - corrected.T + g @ spread @ g.T
    budget = Budget.from_errors(tt, error, propagated, fitting, residual, groups=groups,
                                directions=directions, positions=positions,
                                wavelength=wavelength)
    return Reconstruction(r, error, budget, fit, commands)


Science = _builders.Science | Sequence[Any] | None


def reconstruction(system: Any, noise: npt.ArrayLike, *, science: Science = None,
                   dms: Any = None, regularisation: float = 0.0,
                   model: _matrices.Model = "exact", lag: float = 0.0,
                   reconstructor: npt.ArrayLike | None = None, wavelength: float | None = None,
                   progress: Any = None, threads: int | None = None) -> Reconstruction:
    """The MMSE reconstruction of the science phase from the system's slopes, and its budget.

    The science samples are phase samples of the system (``phi``) in the pupil: those of each
    direction of `science` (what ``vedovx.add_science`` returned, or a list of index arrays into
    ``phi``, one per direction), or by default every phase sample as one direction. The
    covariances come from the system's layers by `model` ("exact" or "closed-form"), the science
    phase read `lag` after the slopes; noise is the slope noise covariance (a variance, a diagonal
    such as ``slope_noise(system, ...)``, or a matrix).

    dms: the mirrors to fit the phase with: True for every actuator of the system, or indices,
        a slice or a boolean mask over ``com``; None (default) for no fitting.
    regularisation: Tikhonov α of the fit (``fit_matrix``).
    reconstructor: judge this R instead of the MMSE one (n_t × n_m, the samples in the order of
        a previous Reconstruction's ``samples``).
    wavelength: science wavelength [m] of the budget's Strehl ratios.
    progress, threads: as for ``vedovx.covariance``."""
    groups, directions = _science_groups(system, science)
    inside = _matrices.projection(system, "phi", threads=threads) == 1.0
    kept = [g[inside[g]] for g in groups]
    for k, g in enumerate(kept):
        if not len(g):
            raise ValueError(f"science: direction {k} has no sample in the pupil")
    samples = np.concatenate(kept)
    starts = np.cumsum([0] + [len(g) for g in kept])
    local = [np.arange(a, b) for a, b in zip(starts[:-1], starts[1:])]
    options: dict[str, Any] = {"model": model, "progress": progress, "threads": threads}
    c_mm = _matrices.covariance(system, "meas", "meas", **options)
    c_mt = _matrices.covariance(system, "meas", "phi", lag=lag, cols_index=samples, **options)
    c_tt = _matrices.covariance(system, "phi", "phi", rows_index=samples, cols_index=samples,
                                **options)
    d = actuators = None
    if dms is not None and dms is not False:
        actuators = _actuators(system, dms)
        d = _matrices.interaction(system, "phi", rows_index=samples, cols_index=actuators,
                                  progress=progress, threads=threads)
    positions = _inspect.positions(system, "phi")[samples]
    result = reconstruction_from(c_tt, c_mt.T, c_mm, noise, groups=local, interaction=d,
                                 regularisation=regularisation, reconstructor=reconstructor,
                                 directions=directions, positions=positions,
                                 wavelength=wavelength)
    return dataclasses.replace(result, samples=samples, actuators=actuators)


def budget(system: Any, noise: npt.ArrayLike, **options: Any) -> Budget:
    """``reconstruction(system, noise, **options).budget``: the error budget per science
    direction."""
    return reconstruction(system, noise, **options).budget


def _science_groups(system: Any, science: Science) -> tuple[list[np.ndarray[Any, Any]],
                                                            FloatArray]:
    """Indices in phi of each direction's samples, and the directions [arcsec]."""
    count = _inspect.info(system).phi
    if science is None:
        groups = [np.arange(count)]
    elif isinstance(science, _builders.Science):
        groups = science.groups
        if groups and groups[-1][-1] >= count:
            raise ValueError("science: its samples are not in this system")
        return groups, science.directions
    else:
        groups = [_index(g, count, f"science[{k}]") for k, g in enumerate(science)]
        if not groups:
            raise ValueError("science: no direction")
    with borrowed(system) as held:
        rows = _inspect.geometry(held, "phi")
    slopes = np.array([rows[g][:, [_inspect.XZ, _inspect.YZ]].mean(axis=0) for g in groups])
    return groups, slopes.reshape(len(groups), 2) / _inspect.SLOPE_PER_ARCSEC


def _index(index: Any, count: int, name: str) -> np.ndarray[Any, Any]:
    _, _, chosen = _arrays.selection(index, count, name)
    return np.arange(count) if chosen is None else chosen


def _actuators(system: Any, dms: Any) -> np.ndarray[Any, np.dtype[np.int64]]:
    count = _inspect.info(system).com
    if count == 0:
        raise ValueError("dms: the system has no actuators")
    if dms is True:
        return np.arange(count, dtype=np.int64)
    return _index(dms, count, "dms").astype(np.int64)
