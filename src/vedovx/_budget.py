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
from vedovx._fitting import command_matrix, fit_matrix
from vedovx._mmse import FloatArray, Noise, matrix, square
from vedovx._profiles import REFERENCE_WAVELENGTH, wavelength_value
from vedovx._systems import borrowed

Term = Literal["uncorrected", "noise", "tomographic", "fitting", "residual", "total"]
TERMS: tuple[Term, ...] = ("uncorrected", "noise", "tomographic", "fitting", "residual", "total")


def nm(variance: npt.ArrayLike, wavelength: float = REFERENCE_WAVELENGTH) -> Any:
    """A phase variance as an rms optical path: sign(v)·sqrt(|v|)·λ/(2π), λ in nm.

    Parameters
    ----------
    variance : float or array_like
        rad² at `wavelength`; a negative difference of variances gives negative nm.
    wavelength : float
        Metres, 500e-9 by default.

    Returns
    -------
    float or numpy.ndarray
        nm.
    """
    v = np.asarray(variance, dtype=np.float64)
    lam_nm = wavelength_value(wavelength) * 1e9
    return np.copysign(np.sqrt(np.abs(v)), v) * lam_nm / (2.0 * math.pi)


def strehl(variance: npt.ArrayLike, wavelength: float,
           reference: float = REFERENCE_WAVELENGTH) -> Any:
    """Maréchal's Strehl ratio exp(-σ²·(λ_ref/λ)²) of a phase variance σ².

    Parameters
    ----------
    variance : float or array_like
        σ², rad² at the reference wavelength.
    wavelength : float
        The science wavelength λ, metres.
    reference : float
        λ_ref, metres, 500e-9 by default.

    Returns
    -------
    float or numpy.ndarray
    """
    scale = (wavelength_value(reference) / wavelength_value(wavelength)) ** 2
    return np.exp(-np.asarray(variance, dtype=np.float64) * scale)


@dataclasses.dataclass(frozen=True, repr=False)
class Budget(Tabular):
    """The error budget of a reconstruction, per science direction.

    Every term is in rad² of phase at the reference wavelength (500 nm), averaged over the
    direction's samples in the pupil with piston removed over them: the mean over the direction's
    samples of the diagonal of P C P, C the term's covariance and P the removal of the samples'
    mean. It prints as a table (nm and Strehl ratios).

    Attributes
    ----------
    directions : numpy.ndarray
        (n, 2), arcsec.
    uncorrected : numpy.ndarray
        The phase itself, C_tt; one value per direction, as every term.
    noise : numpy.ndarray
        Noise propagation, R C_n Rᵀ.
    tomographic : numpy.ndarray
        The rest of the estimation error φ - R·s (whose covariance is
        C_tt - R C_mt - C_tm Rᵀ + R (C_mm + C_n) Rᵀ): that less the noise term.
    fitting : numpy.ndarray or None
        With mirrors, what the least-squares mirror fit leaves of the true phase,
        (I - D F) C_tt (I - D F)ᵀ.
    residual : numpy.ndarray or None
        With mirrors, the whole error of the corrected phase φ - D F R·s, cross terms included:
        what ``total`` approximates.
    total : numpy.ndarray
        noise + tomographic + fitting, the usual sum of the terms as if they were independent.
    maps : dict of numpy.ndarray
        Each term (but the total) at every sample; direction k's samples are ``groups[k]``.
    groups : tuple of numpy.ndarray
        The indices of each direction's samples in the maps.
    positions : numpy.ndarray or None
        Where the samples cross the pupil plane, (n_t, 2), metres.
    wavelength : float or None
        The science wavelength, metres, of the table's Strehl ratios.
    """

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
        """noise + tomographic + fitting per direction, rad²."""
        total: FloatArray = self.noise + self.tomographic
        return total if self.fitting is None else total + self.fitting

    def term(self, name: Term) -> FloatArray:
        """The term called `name` per direction, rad²; ValueError for a term this budget lacks."""
        if name not in TERMS:
            raise ValueError(f"name must be one of {', '.join(map(repr, TERMS))}, not {name!r}")
        value = self.total if name == "total" else getattr(self, name)
        if value is None:
            raise ValueError(f"{name}: this budget has no mirrors, so no {name} term")
        result: FloatArray = value
        return result

    def nm(self, name: Term = "total") -> FloatArray:
        """The term `name` per direction as an rms optical path, nm."""
        result: FloatArray = nm(self.term(name))
        return result

    def strehl(self, wavelength: float | None = None, name: Term = "total") -> FloatArray:
        """Maréchal's Strehl ratio per direction at `wavelength` (metres; default the budget's) of
        the term `name` (default the total)."""
        lam = self.wavelength if wavelength is None else wavelength
        if lam is None:
            raise ValueError("wavelength: give the science wavelength in metres")
        result: FloatArray = strehl(self.term(name), lam)
        return result

    def map(self, name: Term, k: int) -> FloatArray:
        """The term `name` at each sample of direction k, rad²."""
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
        """The estimation error (noise + tomographic) less that of `reference`.

        `reference` is a budget of the same science samples estimated otherwise (by one natural
        star on axis, say): the difference is what the sensors' geometry costs beyond what the
        reference cannot see either. Per direction (rad²), or per sample when `per_sample`.
        """
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
        """A budget from the covariances at the science samples, piston not yet removed.

        Parameters
        ----------
        c_tt : array_like
            The phase, n_t × n_t (as every covariance here).
        estimation : array_like
            The estimation error φ - R·s.
        noise : array_like
            Its noise part, R C_n Rᵀ.
        fitting, residual : array_like, optional
            With mirrors: the fitting error and the error of the corrected phase.
        groups : sequence of index arrays or slices, optional
            Each direction's samples; default one direction of every sample.
        directions : array_like, optional
            (n, 2), arcsec; default (0, 0) each.
        positions : array_like, optional
            (n_t, 2): where the samples cross the pupil, metres.
        wavelength : float, optional
            The science wavelength, metres, of the table's Strehl ratios.

        Returns
        -------
        Budget
        """
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
        blocks = {name: [c[np.ix_(g, g)] for g in found] for name, c in covariances.items()}
        return cls._of_blocks(blocks, found, directions, positions, wavelength)

    @classmethod
    def _of_blocks(cls, blocks: dict[str, list[FloatArray]], groups: list[np.ndarray[Any, Any]],
                   directions: npt.ArrayLike | None, positions: npt.ArrayLike | None,
                   wavelength: float | None) -> Budget:
        """A budget from each term's covariance block over each direction's samples."""
        n = sum(len(g) for g in groups)
        maps = {}
        for name, per_group in blocks.items():
            values = np.empty(n)
            for g, block in zip(groups, per_group):
                values[g] = _piston_removed_diagonal(block)
            maps[name] = values
        maps["tomographic"] = maps.pop("estimation") - maps["noise"]
        means = {name: np.array([v[g].mean() for g in groups]) for name, v in maps.items()}
        if directions is None:
            where = np.zeros((len(groups), 2))
        else:
            where = matrix(directions, "directions", (len(groups), 2))
        at = None if positions is None else matrix(positions, "positions", (n, 2))
        return cls(where, means["uncorrected"], means["noise"], means["tomographic"],
                   means.get("fitting"), means.get("residual"), maps, tuple(groups), at,
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


def _piston_removed_diagonal(block: FloatArray) -> FloatArray:
    """The diagonal of P C P, P removing the mean over the block's samples."""
    centred = block - block.mean(axis=0, keepdims=True)
    result: FloatArray = np.diag(centred - centred.mean(axis=1, keepdims=True)).copy()
    return result


@dataclasses.dataclass(frozen=True)
class Reconstruction:
    """A tomographic reconstruction and what it costs.

    Attributes
    ----------
    reconstructor : numpy.ndarray
        R, the phase at the science samples from slopes, n_t × n_m (``estimation_error`` gives
        the covariance of its error).
    budget : Budget
    fit : numpy.ndarray or None
        F, mirror commands from the phase at the samples, n_com × n_t (None without mirrors).
    commands : numpy.ndarray or None
        The command matrix F R, mirror commands from slopes, n_com × n_m.
    samples : numpy.ndarray or None
        For a reconstruction of a system, the indices in ``phi`` of the science samples in their
        order (those of each direction in the pupil, direction by direction).
    actuators : numpy.ndarray or None
        Likewise, the indices in ``com`` of the mirrors' actuators.
    """

    reconstructor: FloatArray
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
    """The reconstruction and its budget from arrays.

    Parameters
    ----------
    c_tt : array_like
        Covariance of the science phase, n_t × n_t.
    c_tm : array_like
        Covariance of the science phase with the slopes, n_t × n_m.
    c_mm : array_like
        Covariance of the slopes, n_m × n_m.
    noise : float or array_like
        The slope noise covariance: a variance, a diagonal or an n_m × n_m matrix.
    groups : sequence of index arrays or slices, optional
        Each direction's samples; default one direction.
    interaction : array_like, optional
        The mirrors' responses at the samples, n_t × n_com: adds the fitting and residual terms
        and the command matrix (``fit_matrix`` with `regularisation`).
    regularisation : float
        Tikhonov α of the fit, 0 by default.
    reconstructor : array_like, optional
        Judge this R (n_t × n_m) instead of the MMSE one, C_tm (C_mm + C_n)⁻¹.
    directions, positions, wavelength
        As for ``Budget.from_errors``.

    Returns
    -------
    Reconstruction

    Notes
    -----
    float32 arrays are accepted (the algebra is in float64); shapes that do not fit are refused
    with a ValueError naming the argument.
    """
    mm = square(c_mm, "c_mm")
    tm = matrix(c_tm, "c_tm", (None, len(mm)))
    tt = matrix(c_tt, "c_tt", (len(tm), len(tm)))
    c_n = Noise(noise, len(mm))
    found = _mmse.group_indices(groups, len(tt))
    d = None if interaction is None else matrix(interaction, "interaction", (len(tt), None))
    # Only each direction's block of each term's covariance is needed, and the mirrors' terms
    # pass through the few actuators (G = D F has rank n_com): no n_t x n_t product is formed.
    blocks: dict[str, list[FloatArray]] = {
        "uncorrected": [tt[np.ix_(g, g)] for g in found]}
    if reconstructor is None:
        factor = _mmse.cholesky(mm, c_n)
        x = _mmse.whitened(factor, tm.T)  # X = L⁻¹ C_mt: R C_mt = R (C_mm + C_n) Rᵀ = XᵀX
        r = _mmse.from_whitened(factor, x)
        blocks["estimation"] = [tt[np.ix_(g, g)] - x[:, g].T @ x[:, g] for g in found]
    else:
        r = matrix(reconstructor, "reconstructor", tm.shape)
        total = c_n.added_to(mm)

        def estimation(g: np.ndarray[Any, Any]) -> FloatArray:
            explained = r[g] @ tm[g].T
            result: FloatArray = (tt[np.ix_(g, g)] - explained - explained.T
                                  + r[g] @ total @ r[g].T)
            return result

        blocks["estimation"] = [estimation(g) for g in found]
    blocks["noise"] = [c_n.propagated(r[g]) for g in found]
    fit = commands = None
    if d is not None:
        fit = fit_matrix(d, regularisation=regularisation, groups=found)
        commands = command_matrix(fit, r)
        # Fitting: (I - G) C_tt (I - G)ᵀ with G = D F; residual of the corrected phase
        # φ - G R s: C_tt - G K - K Gᵀ + G S Gᵀ, K = R C_mt, S = R (C_mm + C_n) Rᵀ, and
        # F K = M C_mt, F S Fᵀ = M (C_mm + C_n) Mᵀ with M = F R.
        f_tt = fit @ tt
        f_tt_f = f_tt @ fit.T
        f_k = commands @ tm.T
        f_s_f = commands @ c_n.added_to(mm) @ commands.T
        blocks["fitting"], blocks["residual"] = [], []
        for g in found:
            dg = d[g]
            g_tt = dg @ f_tt[:, g]
            blocks["fitting"].append(tt[np.ix_(g, g)] - g_tt - g_tt.T + dg @ f_tt_f @ dg.T)
            g_k = dg @ f_k[:, g]
            blocks["residual"].append(tt[np.ix_(g, g)] - g_k - g_k.T + dg @ f_s_f @ dg.T)
    budget = Budget._of_blocks(blocks, found, directions, positions, wavelength)
    return Reconstruction(r, budget, fit, commands)


Science = _builders.Science | Sequence[Any] | None


def reconstruction(system: Any, noise: npt.ArrayLike, *, science: Science = None,
                   dms: Any = None, regularisation: float = 0.0,
                   model: _matrices.Model = "exact", lag: float = 0.0, layers: Any = None,
                   reconstructor: npt.ArrayLike | None = None, wavelength: float | None = None,
                   progress: Any = None, threads: int | None = None,
                   method: _matrices.Method = "direct") -> Reconstruction:
    """The MMSE reconstruction of the science phase from the system's slopes, and its budget.

    The science samples are phase samples of the system (``phi``) in the pupil. The covariances
    come from the system's layers, the science phase read `lag` after the slopes.

    Parameters
    ----------
    system : vedov.SystemGeom or FrozenSystem
    noise : float or array_like
        The slope noise covariance: a variance, a diagonal (``slope_noise(system, ...)``) or a
        matrix.
    science : Science or sequence of index arrays, optional
        The samples of each direction: what ``vedovx.add_science`` returned, or index arrays into
        ``phi``, one per direction. Default: every phase sample, as one direction.
    dms : True or array_like or slice, optional
        The mirrors to fit the phase with: True for every actuator, or indices, a slice or a
        boolean mask over ``com``. Default: no fitting.
    regularisation : float
        Tikhonov α of the fit (``fit_matrix``), 0 by default.
    model : {"exact", "closed-form"}
        The covariance model, exact by default.
    lag : float
        Seconds, 0 by default.
    layers : slice or array_like, optional
        The system's layers to take (as ``vedovx.covariance`` takes them); default all.
    reconstructor : array_like, optional
        Judge this R instead of the MMSE one (n_t × n_m, the samples in the order of a previous
        Reconstruction's ``samples``).
    wavelength : float, optional
        The science wavelength, metres, of the budget's Strehl ratios.
    progress, threads, method
        As for ``vedovx.covariance``: ``method="structured"`` reads the covariances between
        sensors (and science samples) on one grid from tables.

    Returns
    -------
    Reconstruction
        With ``samples`` (and ``actuators``) saying which entries of the system it uses.
    """
    groups, directions = _science_groups(system, science)
    inside = _matrices.projection(system, "phi", threads=threads) == 1.0
    kept = [g[inside[g]] for g in groups]
    for k, g in enumerate(kept):
        if not len(g):
            raise ValueError(f"science: direction {k} has no sample in the pupil")
    samples = np.concatenate(kept)
    starts = np.cumsum([0] + [len(g) for g in kept])
    local = [np.arange(a, b) for a, b in zip(starts[:-1], starts[1:])]
    options: dict[str, Any] = {"model": model, "layers": layers, "progress": progress,
                               "threads": threads, "method": method}
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
    """The error budget per science direction: ``reconstruction(system, noise, **options).budget``.

    Returns
    -------
    Budget
    """
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
