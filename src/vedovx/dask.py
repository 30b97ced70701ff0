"""vedovx's matrices as Dask arrays, each block a vedovx block evaluated wherever Dask runs it.

The graph holds the frozen system once; every block's task reads it. Imported on request only
(``import vedovx.dask``): vedovx itself never imports Dask.
"""

from __future__ import annotations

import dataclasses
import multiprocessing
import os
import sys
import threading
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

import vedovx
from vedovx import _arrays, _matrices, _registry
from vedovx._frozen import FrozenSystem, freeze
from vedovx._matrices import _choice
from vedovx._registry import MEASUREMENTS, METHODS, MODELS, Step
from vedovx._systems import borrowed

__all__ = ["covariance", "interaction", "system_matrices", "recon_matrices", "SystemMatrices",
           "ReconMatrices", "WorkerPanic"]


@_registry.product_set("SystemMatrices")
@dataclasses.dataclass(frozen=True)
class SystemMatrices:
    """The phase-side matrices of a system as Dask arrays, named as vedov.SystemMatrices names
    them."""

    c_phi_phi: da.Array
    c_phip1_phi: da.Array
    c_meas_phi: da.Array
    d_meas_com: da.Array
    d_phi_com: da.Array
    p_phi: da.Array
    p_meas: da.Array


@_registry.product_set("ReconMatrices")
@dataclasses.dataclass(frozen=True)
class ReconMatrices:
    """The sensor-side matrices of a system as Dask arrays, named as vedov.ReconMatrices names
    them."""

    c_ts_meas: da.Array
    c_meas_meas: da.Array
    d_ts_com: da.Array
    d_meas_com: da.Array
    p_meas: da.Array


# -- blocks, on the workers -------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class _Block:
    """What one block evaluates: a product's rows [row_start, row_stop) and columns
    [col_start, col_stop)."""

    product: str
    rows: str
    cols: str | None
    lag: float
    model: str
    method: str
    row_start: int
    row_stop: int
    col_start: int
    col_stop: int
    dtype: str
    threads: int | None
    layers: tuple[int, ...] | None = None  # a covariance's chosen layers


def _worker() -> Any:
    """The distributed worker running this task, or None (distributed is never imported here)."""
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    try:
        return distributed.get_worker()
    except ValueError:
        return None


def block_threads() -> int | None:
    """How many threads a block evaluates with where it runs (None: vedov's pool of every CPU).

    In a distributed worker, the threads its environment grants each task: OMP_NUM_THREADS, which
    distributed's nanny sets for the numeric libraries its tasks run (the configuration key
    distributed.nanny.pre-spawn-environ, 1 unless changed), so that a worker running as many
    blocks as it has threads never has more threads busy than that; 1 where it is unset. In a
    thread of Dask's local pool (which runs one task per CPU) or a process of its process pool,
    one. On the main thread of a process (the synchronous scheduler), vedov's pool."""
    if _worker() is not None:
        granted = os.environ.get("OMP_NUM_THREADS", "")
        return int(granted) if granted.isdigit() and int(granted) > 0 else 1
    if (threading.current_thread() is threading.main_thread()
            and multiprocessing.parent_process() is None):
        return None
    return 1


class WorkerPanic(vedovx.PanicException, Exception):  # type: ignore[misc, valid-type]
    """vedov's PanicException raised by a block in another process (a distributed worker, a
    process of Dask's pool), as the client receives it: a PanicException with the same message
    (``except vedovx.PanicException`` catches it) that is also an Exception, because Dask's
    distributed client cannot deliver any other kind: it would hang."""


def _evaluate(frozen: FrozenSystem, block: _Block) -> npt.NDArray[Any]:
    """One block, as the vedovx function of its product evaluates it (the arguments were checked
    when the array was made)."""
    threads = block.threads if block.threads is not None else block_threads()
    columns = {} if block.product == "projection" else {
        "cols_index": slice(block.col_start, block.col_stop)}
    try:
        return _matrices._run_one(frozen, None, threads, block.product, block.product, block.rows,
                                  block.cols, lag=block.lag, model=block.model,
                                  method=block.method,
                                  rows_index=slice(block.row_start, block.row_stop),
                                  layers=block.layers, dtype=block.dtype, **columns)
    except vedovx.PanicException as failure:
        if _worker() is None and multiprocessing.parent_process() is None:
            raise  # the client is this process: it sees the exception as it is
        raise WorkerPanic(*failure.args) from None


# -- graphs, in the client --------------------------------------------------------------------


def _system_layer(frozen: FrozenSystem) -> tuple[str, dict[Any, Any]]:
    """The graph layer holding the frozen system: one key, named by its content, so that every
    array of one system shares it and each worker receives the system once."""
    key = f"vedovx-system-{frozen.digest}"
    return key, {key: frozen}


def _sizes_given(chunks: Any) -> list[Any]:
    """Every number in a chunks argument (an int, a pair, explicit sizes, a mapping of them)."""
    if isinstance(chunks, dict):
        chunks = list(chunks.values())
    if isinstance(chunks, (tuple, list)):
        return [size for part in chunks for size in _sizes_given(part)]
    return [] if chunks is None or isinstance(chunks, str) else [chunks]


def _chunks(chunks: Any, shape: tuple[int, ...], dtype: np.dtype[Any]) -> tuple[tuple[int, ...], ...]:
    """Dask's chunks for the shape: ValueError naming chunks for a size that is 0 or negative
    (-1, Dask's whole axis, aside) or sizes that do not cover the shape."""
    for size in _sizes_given(chunks):
        if isinstance(size, (int, np.integer)) and not isinstance(size, bool) and (
                size == 0 or size < -1):
            raise ValueError(f"chunks: block sizes must be positive (or -1 for a whole axis), "
                             f"not {size}")
    try:
        normal: tuple[tuple[int, ...], ...] = da.core.normalize_chunks(chunks, shape, dtype=dtype)
    except (TypeError, ValueError, ZeroDivisionError) as error:
        raise ValueError(f"chunks: {error}") from None
    for sizes, length in zip(normal, shape):
        if sum(sizes) != length or any(size <= 0 for size in sizes if length):
            raise ValueError(f"chunks: blocks of {sizes} do not cover an axis of {length}")
    return normal


def _bounds(sizes: tuple[int, ...]) -> list[tuple[int, int]]:
    starts = np.concatenate([[0], np.cumsum(sizes, dtype=np.int64)]).tolist()
    return list(zip(starts[:-1], starts[1:]))


def _layers(frozen: FrozenSystem, layers: Any) -> tuple[int, ...] | None:
    """A covariance's layers, checked against the system's: None for all, else their indices."""
    if layers is None:
        return None
    _, _, chosen = _arrays.selection(layers, frozen.counts.layers, "layers")
    assert chosen is not None
    return tuple(int(k) for k in chosen)


def _array(frozen: FrozenSystem, product: str, rows: str, cols: str | None, lag: float,
           model: str, method: str, chunks: Any, dtype: np.dtype[Any], threads: int | None,
           layers: tuple[int, ...] | None = None) -> da.Array:
    """The Dask array of one product, one task per block, every task reading the system's key."""
    counts = frozen.counts._asdict()
    nrows = counts[rows]
    if product == "projection":
        shape: tuple[int, ...] = (nrows,)
    else:
        shape = (nrows, counts[cols if product == "covariance" and cols else "com"])
    normal = _chunks(chunks, shape, dtype)
    name = f"vedovx-{product}-{rows}-{cols or 'com'}-" + tokenize(
        frozen.digest, product, rows, cols, lag, model, method, normal, dtype.str, threads,
        layers)
    system_key, system_layer = _system_layer(frozen)
    col_bounds = _bounds(normal[1]) if len(normal) == 2 else [(0, 1)]
    layer: dict[Any, Any] = {}
    for i, (r0, r1) in enumerate(_bounds(normal[0])):
        for j, (c0, c1) in enumerate(col_bounds):
            block = _Block(product, rows, cols, lag, model, method, r0, r1, c0, c1, dtype.str,
                           threads, layers)
            layer[(name, i, j) if len(normal) == 2 else (name, i)] = (_evaluate, system_key, block)
    graph = HighLevelGraph({system_key: system_layer, name: layer},
                           {system_key: set(), name: {system_key}})
    return da.Array(graph, name, normal, dtype=dtype, meta=np.empty((0,) * len(shape), dtype))


def _frozen(system: Any) -> FrozenSystem:
    """A frozen system as it is (nothing parsed), any other system frozen."""
    return system if isinstance(system, FrozenSystem) else freeze(system)


def _frozen_and_steps(system: Any) -> tuple[FrozenSystem, dict[str, float]]:
    """The frozen system and its time steps by name, read under one hold."""
    with borrowed(system) as held:
        frozen = system if isinstance(system, FrozenSystem) else FrozenSystem(
            held.document(), held.counts())
        return frozen, held.steps()


def _threads(threads: int | None) -> int | None:
    return None if threads is None else _arrays.worker_count(threads)


def covariance(system: Any, rows: _matrices.Measurements, cols: _matrices.Measurements, *,
               lag: float = 0.0, chunks: Any = "auto", dtype: npt.DTypeLike | None = None,
               threads: int | None = None, model: _matrices.Model = "exact",
               layers: Any = None, method: _matrices.Method = "direct") -> da.Array:
    """``vedovx.covariance(system, rows, cols, lag=lag, model=model, layers=layers,
    method=method)`` as a Dask array: each block evaluated by vedovx, equal to the same block of
    the in-memory array bit for bit; the exact von Kármán model unless ``model="closed-form"``
    (vedov's numbers); with ``method="structured"``, each block reads its lattice pairs from
    tables as the whole does.

    system: a vedov.SystemGeom (frozen now: later changes do not reach the array) or a
        FrozenSystem; the graph holds it once, under a key named by its content.
    chunks: anything dask.array accepts for the shape ("auto", an int, a (rows, cols) pair,
        explicit sizes); "auto" follows Dask's array.chunk-size.
    dtype: float64 (default) or float32.
    threads: threads per block; by default the threads its worker has for it (see the guide)."""
    _choice(rows, MEASUREMENTS, "rows")
    _choice(cols, MEASUREMENTS, "cols")
    _choice(model, MODELS, "model")
    _choice(method, METHODS, "method")
    checked_lag = _arrays.real(lag, "lag")
    frozen = _frozen(system)
    return _array(frozen, "covariance", rows, cols, checked_lag, model, method, chunks,
                  _arrays.element_type(dtype, None), _threads(threads), _layers(frozen, layers))


def interaction(system: Any, rows: _matrices.Measurements, *, chunks: Any = "auto",
                dtype: npt.DTypeLike | None = None, threads: int | None = None) -> da.Array:
    """``vedovx.interaction(system, rows)`` as a Dask array; the other arguments are those of
    covariance()."""
    _choice(rows, MEASUREMENTS, "rows")
    return _array(_frozen(system), "interaction", rows, None, 0.0, "closed-form", "direct", chunks,
                  _arrays.element_type(dtype, None), _threads(threads))


def _products(system: Any, steps: tuple[Step, ...], chunks: Any, dtype: npt.DTypeLike | None,
              threads: int | None, model: str, layers: Any, method: str) -> dict[str, da.Array]:
    _choice(model, MODELS, "model")
    _choice(method, METHODS, "method")
    element = _arrays.element_type(dtype, None)
    workers = _threads(threads)
    frozen, lags = _frozen_and_steps(system)
    chosen = _layers(frozen, layers)
    counts = frozen.counts._asdict()
    fields: dict[str, da.Array] = {}
    for step in steps:
        if step.product == "projection" and not frozen.counts.pupil:
            assert step.ones is not None
            count = counts[step.ones]
            fields[step.field] = da.ones(
                count, dtype=element,
                chunks=_chunks(_per_axis(chunks, "projection"), (count,), element))
            continue
        covariance = step.product == "covariance"
        fields[step.field] = _array(
            frozen, step.product, step.rows, step.cols if covariance else None,
            0.0 if step.lag is None else lags[step.lag], model,
            method if covariance else "direct", _per_axis(chunks, step.product),
            element, workers, chosen if covariance else None)
    return fields


def _per_axis(chunks: Any, product: str) -> Any:
    """A product set's chunks for one matrix: a (rows, cols) pair gives a projection its rows."""
    if product == "projection" and isinstance(chunks, tuple) and len(chunks) == 2:
        return chunks[:1]
    return chunks


def system_matrices(system: Any, *, chunks: Any = "auto", dtype: npt.DTypeLike | None = None,
                    threads: int | None = None, model: _matrices.Model = "exact",
                    layers: Any = None,
                    method: _matrices.Method = "direct") -> SystemMatrices:
    """``vedovx.system_matrices(system)`` as Dask arrays, each equal to the in-memory one bit for
    bit. chunks: "auto", an int (square blocks) or a (rows, cols) pair, for every matrix (the
    projections take the rows); the other arguments are those of covariance()."""
    return SystemMatrices(**_products(system, _registry.PRODUCT_SETS["SystemMatrices"], chunks,
                                      dtype, threads, model, layers, method))


def recon_matrices(system: Any, *, chunks: Any = "auto", dtype: npt.DTypeLike | None = None,
                   threads: int | None = None, model: _matrices.Model = "exact",
                   layers: Any = None, method: _matrices.Method = "direct") -> ReconMatrices:
    """``vedovx.recon_matrices(system)`` as Dask arrays, each equal to the in-memory one bit for
    bit; the arguments are those of system_matrices()."""
    return ReconMatrices(**_products(system, _registry.PRODUCT_SETS["ReconMatrices"], chunks,
                                     dtype, threads, model, layers, method))
