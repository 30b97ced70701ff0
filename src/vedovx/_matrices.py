"""vedov's matrices as NumPy arrays: whole, in blocks, into given storage, with progress."""

from __future__ import annotations

import dataclasses
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from vedovx import _arrays, _native, _progress, _registry
from vedovx._inspect import LINES, geometry
from vedovx._registry import MEASUREMENTS, METHODS, MODELS, Step
from vedovx._systems import borrowed

# The registry's names for type checkers (the tests hold them to it).
Measurements = Literal["meas", "phi", "ts"]
ProjectedRows = Literal["meas_lines", "phi", "ts"]
Model = Literal["closed-form", "exact"]
Method = Literal["direct", "structured"]
# float64 by default, float32 when asked for: typed loosely so either is accepted downstream.
FloatArray = npt.NDArray[Any]

# What a projection takes its rows from: the measurement lines, and the lists of phase samples.
PROJECTED = ("meas_lines", "phi", "ts")


def _choice(value: Any, allowed: tuple[str, ...], name: str) -> str:
    if not isinstance(value, str) or value not in allowed:
        names = ", ".join(repr(a) for a in allowed)
        raise ValueError(f"{name} must be one of {names}, not {value!r}")
    return value


@dataclasses.dataclass
class _Call:
    """One evaluation into one array, once its arguments are checked."""

    product: str
    rows: str
    cols: str | None
    lag: float
    model: str
    method: str
    rows_selection: _arrays.Selection
    cols_selection: _arrays.Selection
    layers_selection: _arrays.Selection
    array: FloatArray
    target: _arrays.Target
    keep: tuple[Any, ...]  # index arrays the compiled part reads

    @property
    def rows_count(self) -> int:
        return self.target[1]

    def run(self, held: _native.Borrowed, threads: int, callback: _progress.Callback | None,
            offset: int, total: int) -> FloatArray:
        held.evaluate(self.product, self.rows, self.cols, self.lag, self.model, self.method,
                      self.rows_selection, self.cols_selection, self.layers_selection,
                      self.target, threads, callback, offset, total)
        return self.array

    def cost(self, lines: dict[str, FloatArray], layers: int) -> int:
        """The terms the evaluation sums: for each element, the lines of both bundles (one per
        actuator) times the layers chosen (of `layers`) for a covariance; what its time is
        proportional to."""
        def chosen(name: str, index: np.ndarray[Any, Any] | None) -> int:
            counts = lines[name] if index is None else lines[name][index]
            return int(counts.sum())

        rows_index, cols_index, _ = self.keep
        rows = chosen(self.rows, rows_index)
        if self.product == "covariance":
            assert self.cols is not None
            chosen_layers = layers if self.layers_selection is None else self.layers_selection[1]
            return rows * chosen(self.cols, cols_index) * max(chosen_layers, 1)
        if self.product == "interaction":
            return rows * self.target[2]
        return rows


def _prepare(held: _native.Borrowed, product: str, rows: str, cols: str | None, *, lag: float = 0.0,
             model: str = "exact", method: str = "direct", rows_index: Any = None,
             cols_index: Any = None, layers: Any = None, out: Any = None,
             dtype: npt.DTypeLike | None = None) -> _Call:
    counts = held.counts()
    layers_selection, _, layers_keep = _arrays.selection(layers, counts["layers"], "layers")
    rows_selection, nrows, rows_keep = _arrays.selection(rows_index, counts[rows], "rows_index")
    column_list = cols if product == "covariance" else "com"
    shape: tuple[int, ...]
    if product == "projection":
        if cols_index is not None:
            raise ValueError("cols_index: a projection has one column")
        cols_selection, ncols, cols_keep, shape = None, 1, None, (nrows,)
    else:
        assert column_list is not None
        cols_selection, ncols, cols_keep = _arrays.selection(
            cols_index, counts[column_list], "cols_index")
        shape = (nrows, ncols)
    element = _arrays.element_type(dtype, out if isinstance(out, np.ndarray) else None)
    array, target = _arrays.storage(out, shape, element)
    return _Call(product, rows, cols, float(lag), model, method, rows_selection, cols_selection,
                 layers_selection, array, target, (rows_keep, cols_keep, layers_keep))


def _run_one(system: Any, progress: Any, threads: Any, label: str, product: str, rows: str,
             cols: str | None, **arguments: Any) -> FloatArray:
    workers = _arrays.worker_count(threads)
    with borrowed(system) as held:
        call = _prepare(held, product, rows, cols, **arguments)
        reporter = _progress.Reporter(progress, call.rows_count, label)
        try:
            return call.run(held, workers, reporter.callback, 0, call.rows_count)
        finally:
            reporter.close()


def covariance(system: Any, rows: Measurements, cols: Measurements, *, lag: float = 0.0,
               rows_index: Any = None, cols_index: Any = None, out: Any = None,
               dtype: npt.DTypeLike | None = None, progress: Any = None, threads: int | None = None,
               model: Model = "exact", layers: Any = None,
               method: Method = "direct") -> FloatArray:
    """Covariance of the turbulent phase between the measurements of `rows` and of `cols` ("meas",
    "phi" or "ts"), the column measurements read `lag` later (frozen flow), by the exact von Kármán
    model unless ``model="closed-form"`` asks for vedov's.

    model: "exact" (default) evaluates each layer's von Kármán covariance exactly; "closed-form"
        gives vedov's numbers bit for bit: element (i, j) is then vedov's covariance of row
        measurement i with column measurement j, ``covariance(g, "meas", "meas",
        model="closed-form")`` equals ``ReconMatrices.new(g).c_meas_meas`` and ``covariance(g,
        "ts", "meas", lag=meas_dt, model="closed-form")`` its ``c_ts_meas``. vedov's closed form
        overstates the phase at separations below a few percent of the outer scale, which inflates
        error budgets.

    method: "direct" (default) evaluates every element; "structured" reads the elements between
        two lattices of measurements (sensors' subapertures, phase samples on a grid) of equal
        pitch, orientation and source altitude from one table per pair of lattices, indexed by the
        difference of their grid sites, and evaluates the others directly: many times faster on
        large sensors, every element within rounding of the direct one (about 1e-13 of its block's
        largest; see the guide).
    rows_index, cols_index: a slice or an array of indices (or booleans) choosing a block; the
        block equals the same block of the whole matrix bit for bit (of the same method).
    layers: a slice, indices or a boolean mask over the system's layers: the covariance of those
        layers alone, equal bit for bit to that of a system holding only them (in that order).
    out: a writable float64 or float32 array of the result's shape whose columns are contiguous (a
        view, a numpy.memmap), filled in place and returned; float32 receives each element rounded
        once. Left partly written if the call is interrupted.
    dtype: float64 (default) or float32, for a new array.
    progress: True for a bar on standard error, or a callable receiving (rows done, rows in all).
    threads: how many threads evaluate (default: every CPU the process may use; a larger count
        uses those CPUs).
    """
    _choice(rows, MEASUREMENTS, "rows")
    _choice(cols, MEASUREMENTS, "cols")
    _choice(model, MODELS, "model")
    _choice(method, METHODS, "method")
    return _run_one(system, progress, threads, f"covariance {rows} x {cols}", "covariance", rows,
                    cols, lag=_arrays.real(lag, "lag"), model=model, method=method,
                    rows_index=rows_index, cols_index=cols_index, layers=layers, out=out,
                    dtype=dtype)


def interaction(system: Any, rows: Measurements, *, rows_index: Any = None,
                cols_index: Any = None, out: Any = None, dtype: npt.DTypeLike | None = None,
                progress: Any = None, threads: int | None = None) -> FloatArray:
    """Response of the measurements of `rows` ("meas", "phi" or "ts") to every actuator of `com`.

    Equals vedov's ``imat()`` (and ``d_meas_com``), ``d_phi_com`` and ``d_ts_com`` bit for bit.
    The other arguments are those of covariance()."""
    _choice(rows, MEASUREMENTS, "rows")
    return _run_one(system, progress, threads, f"interaction {rows} x com", "interaction", rows,
                    None, rows_index=rows_index, cols_index=cols_index, out=out, dtype=dtype)


def projection(system: Any, rows: ProjectedRows, *, rows_index: Any = None, out: Any = None,
               dtype: npt.DTypeLike | None = None, progress: Any = None,
               threads: int | None = None) -> FloatArray:
    """The pupil (1.0 clear, 0.0 masked) along each measurement line ("meas_lines", equal to
    vedov's ``pmeas()``), phase sample ("phi", equal to ``p_phi``) or truth-sensor sample ("ts"):
    all 1.0 without a pupil. A one-dimensional array; `out` may be any 1-D float view."""
    _choice(rows, PROJECTED, "rows")
    return _run_one(system, progress, threads, f"projection {rows}", "projection", rows, None,
                    rows_index=rows_index, out=out, dtype=dtype)


@_registry.product_set("SystemMatrices")
@dataclasses.dataclass(frozen=True)
class SystemMatrices:
    """The phase-side matrices of a system, named as vedov.SystemMatrices names them."""

    c_phi_phi: FloatArray
    c_phip1_phi: FloatArray
    c_meas_phi: FloatArray
    d_meas_com: FloatArray
    d_phi_com: FloatArray
    p_phi: FloatArray
    p_meas: FloatArray


@_registry.product_set("ReconMatrices")
@dataclasses.dataclass(frozen=True)
class ReconMatrices:
    """The sensor-side matrices of a system, named as vedov.ReconMatrices names them."""

    c_ts_meas: FloatArray
    c_meas_meas: FloatArray
    d_ts_com: FloatArray
    d_meas_com: FloatArray
    p_meas: FloatArray


def _bundle_lines(held: _native.Borrowed, counts: dict[str, Any]) -> dict[str, FloatArray]:
    """The lines of each entry's bundle, per list (one per actuator and per measurement line)."""
    lines = {name: geometry(held, name)[:, LINES] for name in MEASUREMENTS}
    for name in ("com", "meas_lines"):
        lines[name] = np.ones(counts[name])
    return lines


def _ones(count: int, dtype: np.dtype[Any]) -> FloatArray:
    return np.ones(count, dtype)


def _products(system: Any, steps: tuple[Step, ...], dtype: Any, progress: Any, threads: Any,
              model: str, layers: Any, method: str, label: str) -> dict[str, FloatArray]:
    """Evaluates a product set's fields one after another under one hold of the system, so that
    they describe the same system."""
    _choice(model, MODELS, "model")
    _choice(method, METHODS, "method")
    element = _arrays.element_type(dtype, None)
    workers = _arrays.worker_count(threads)
    results: dict[str, FloatArray] = {}
    with borrowed(system) as held:
        lags = held.steps()
        counts = held.counts()
        calls = []
        for step in steps:
            if step.product == "projection" and not counts["pupil"]:
                assert step.ones is not None
                results[step.field] = _ones(counts[step.ones], element)
                continue
            covariance = step.product == "covariance"
            calls.append((step.field, _prepare(
                held, step.product, step.rows, step.cols if covariance else None,
                lag=0.0 if step.lag is None else lags[step.lag], model=model,
                method=method if covariance else "direct",
                layers=layers if covariance else None, dtype=element)))
        # Progress counts the terms each matrix sums, so that the share done is the share of the
        # time taken (rows of c_ts_meas cost far less than rows of c_meas_meas).
        lines = _bundle_lines(held, counts)
        costs = [call.cost(lines, counts["layers"]) for _, call in calls]
        reporter = _progress.Reporter(progress, sum(costs), label, unit="term")
        try:
            done = 0
            for (field, call), cost in zip(calls, costs):
                results[field] = call.run(held, workers, reporter.part(done, cost, call.rows_count),
                                          0, call.rows_count)
                done += cost
        finally:
            reporter.close()
    return results


def system_matrices(system: Any, *, dtype: npt.DTypeLike | None = None, progress: Any = None,
                    threads: int | None = None, model: Model = "exact",
                    layers: Any = None, method: Method = "direct") -> SystemMatrices:
    """Every field of ``vedov.SystemMatrices.new(system)`` as an array, evaluated in place (no copy
    of the system) in the same order; the covariances by the exact von Kármán model unless
    ``model="closed-form"``, which gives vedov's fields bit for bit, of the chosen `layers`
    alone when given and by `method` (as covariance() takes them). A progress callable receives
    (work done, work in all), the work counted in terms summed (each element's lines of both
    bundles, times the layers for a covariance), so that the share done is the share of the time
    taken; the other arguments are those of covariance()."""
    fields = _products(system, _registry.PRODUCT_SETS["SystemMatrices"], dtype, progress, threads,
                       model, layers, method, "system matrices")
    return SystemMatrices(**fields)


def recon_matrices(system: Any, *, dtype: npt.DTypeLike | None = None, progress: Any = None,
                   threads: int | None = None, model: Model = "exact",
                   layers: Any = None, method: Method = "direct") -> ReconMatrices:
    """Every field of ``vedov.ReconMatrices.new(system)`` as an array, evaluated in the same order;
    the covariances by the exact von Kármán model unless ``model="closed-form"``, which gives
    vedov's fields bit for bit, of the chosen `layers` alone when given and by `method` (see
    covariance()). Progress as for system_matrices(), in terms summed."""
    fields = _products(system, _registry.PRODUCT_SETS["ReconMatrices"], dtype, progress, threads,
                       model, layers, method, "reconstruction matrices")
    return ReconMatrices(**fields)
