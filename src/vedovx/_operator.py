"""The covariance as a linear operator: lattice pairs applied by FFT, the rest from dense blocks.

Imported on first use of vedovx.covariance_operator: it needs SciPy, which vedovx itself does not."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.fft
from scipy.sparse.linalg import LinearOperator

from vedovx import _arrays, _matrices
from vedovx._registry import MEASUREMENTS, MODELS
from vedovx._structure import ListStructure
from vedovx._systems import borrowed

#: The default bound on the dense blocks an operator stores (the pairs that break the structure).
MAX_DENSE_BYTES = 1 << 30

# Memory one batch of FFT grids may take in a matmat; wider inputs go through in batches.
_BATCH_BYTES = 64 << 20

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]


@dataclasses.dataclass
class _Grid:
    """How the members of one lattice sit in an FFT grid: list positions and flat grid cells."""

    members: IntArray
    cells: IntArray
    repeats: bool  # two members on one site


@dataclasses.dataclass
class _Component:
    """Lattices joined by compatible pairs, applied through one FFT shape."""

    shape: tuple[int, int]
    rows: list[_Grid]
    cols: list[_Grid]
    row_extent: list[tuple[int, int]]
    col_extent: list[tuple[int, int]]
    kernels: npt.NDArray[np.complex128]  # (Li, Lj // 2 + 1, row lattices, col lattices)


def _grid(structure: ListStructure, lattice: int, shape: tuple[int, int]) -> _Grid:
    first, last = structure.lattices[lattice][0:2]
    i0, j0 = structure.lattices[lattice][7], structure.lattices[lattice][9]
    sites = structure.sites[first:last]
    cells = (sites[:, 1] - i0) * shape[1] + (sites[:, 2] - j0)
    return _Grid(np.arange(first, last, dtype=np.int64), cells,
                 bool(np.unique(cells).size != cells.size))


def _extent(lattice: tuple[Any, ...]) -> tuple[int, int]:
    return int(lattice[8] - lattice[7] + 1), int(lattice[10] - lattice[9] + 1)


def _components(rows: ListStructure, cols: ListStructure, pairs: Sequence[tuple[int, ...]],
                stride: int, values: FloatArray) -> list[_Component]:
    """The compatible pairs grouped into connected components, each with its kernels: the table
    of a pair turned into a circular kernel whose product with the column lattice's grid gives the
    row lattice's grid at the origin."""
    parent: dict[tuple[str, int], tuple[str, int]] = {}

    def root(node: tuple[str, int]) -> tuple[str, int]:
        while parent.setdefault(node, node) != node:
            node = parent[node]
        return node

    for pair in pairs:
        parent[root(("row", pair[0]))] = root(("col", pair[1]))
    groups: dict[tuple[str, int], list[tuple[int, ...]]] = {}
    for pair in pairs:
        groups.setdefault(root(("row", pair[0])), []).append(pair)
    components = []
    for group in groups.values():
        row_ids = sorted({p[0] for p in group})
        col_ids = sorted({p[1] for p in group})
        row_extent = [_extent(rows.lattices[a]) for a in row_ids]
        col_extent = [_extent(cols.lattices[b]) for b in col_ids]
        shape = tuple(scipy.fft.next_fast_len(max(r[k] for r in row_extent)
                                              + max(c[k] for c in col_extent) - 1, real=True)
                      for k in (0, 1))
        kernels = np.zeros((shape[0], shape[1] // 2 + 1, len(row_ids), len(col_ids)),
                           np.complex128)
        for a_id, b_id, _, _, count_i, count_j, offset in group:
            a, b = row_ids.index(a_id), col_ids.index(b_id)
            table = values[offset:offset + count_i * stride].reshape(count_i, stride)[:, :count_j]
            kernel = np.zeros(shape)
            kernel[:count_i, :count_j] = table
            # Difference (row site - column site) at cell (row offset - column offset): the
            # table's first entry is the difference of the first row with the last column.
            kernel = np.roll(kernel, (1 - col_extent[b][0], 1 - col_extent[b][1]), axis=(0, 1))
            kernels[:, :, a, b] = scipy.fft.rfft2(kernel)
        components.append(_Component(
            shape, [_grid(rows, a, shape) for a in row_ids],
            [_grid(cols, b, shape) for b in col_ids], row_extent, col_extent, kernels))
    return components


def _scatter(grids: list[_Grid], x: FloatArray, shape: tuple[int, int]) -> FloatArray:
    """Each lattice's entries of x (entries, k) placed on its zero-filled grid: (lattices, k, Li,
    Lj); members on one site add."""
    k = x.shape[1]
    out = np.zeros((len(grids), k, shape[0] * shape[1]))
    for n, g in enumerate(grids):
        if g.repeats:
            np.add.at(out[n].T, g.cells, x[g.members])
        else:
            out[n][:, g.cells] = x[g.members].T
    return out.reshape(len(grids), k, *shape)


def _gather(grids: list[_Grid], grid_values: FloatArray, y: FloatArray) -> None:
    """Each lattice's grid values (lattices, k, Li, Lj) added to y (entries, k) at its members."""
    flat = grid_values.reshape(grid_values.shape[0], grid_values.shape[1], -1)
    for n, g in enumerate(grids):
        y[g.members] += flat[n][:, g.cells].T


class CovarianceOperator(LinearOperator):  # type: ignore[misc]
    """The covariance of two measurement lists applied without forming it (see
    vedovx.covariance_operator). Picklable, so Dask can ship it."""

    def __init__(self, shape: tuple[int, int], components: list[_Component],
                 dense: list[tuple[slice, slice, FloatArray]], workers: int) -> None:
        super().__init__(np.dtype(np.float64), shape)
        self.components = components
        self.dense = dense
        self.workers = workers

    @property
    def nbytes(self) -> int:
        """Bytes the operator holds: kernels, grid indices and dense blocks."""
        total = sum(d.nbytes for _, _, d in self.dense)
        for c in self.components:
            total += c.kernels.nbytes
            total += sum(g.members.nbytes + g.cells.nbytes for g in c.rows + c.cols)
        return total

    def _apply(self, x: FloatArray, adjoint: bool) -> FloatArray:
        x = np.asarray(x, np.float64)
        x = x.reshape(x.shape[0], -1)
        out = np.zeros((self.shape[1] if adjoint else self.shape[0], x.shape[1]))
        for c in self.components:
            sources, targets = (c.rows, c.cols) if adjoint else (c.cols, c.rows)
            cells = c.shape[0] * c.shape[1] * 8
            batch = max(1, _BATCH_BYTES // max(1, cells * len(sources)))
            # (Li, Lj', targets, sources): conjugated and swapped for the adjoint.
            kernels = np.conj(c.kernels).swapaxes(2, 3) if adjoint else c.kernels
            for start in range(0, x.shape[1], batch):
                part = x[:, start:start + batch]
                spectra = scipy.fft.rfft2(_scatter(sources, part, c.shape), workers=self.workers)
                products = np.matmul(kernels, spectra.transpose(2, 3, 0, 1))
                grids = scipy.fft.irfft2(products.transpose(2, 3, 0, 1), s=c.shape,
                                         workers=self.workers)
                _gather(targets, grids, out[:, start:start + batch])
        for rows, cols, block in self.dense:
            if adjoint:
                out[cols] += block.T @ x[rows]
            else:
                out[rows] += block @ x[cols]
        return out

    def preconditioner(self, noise_var: float) -> LinearOperator:
        """An approximate inverse of ``op + noise_var * I`` (a square operator of one list with
        itself) for iterative solvers: each group of compatible lattices as if its grids were
        whole and periodic, so that the inverse is one small matrix per spatial frequency (the
        pairs' FFT kernels, their negative eigenvalues set to zero, plus noise_var); entries of no
        lattice divided by their variance plus noise_var."""
        if self.shape[0] != self.shape[1]:
            raise ValueError("preconditioner: the operator is not square")
        noise = float(noise_var)
        if not noise > 0.0:
            raise ValueError(f"noise_var must be positive, not {noise_var!r}")
        inverses = []
        for c in self.components:
            if len(c.rows) != len(c.cols) or any(
                    not np.array_equal(r.members, k.members) for r, k in zip(c.rows, c.cols)):
                raise ValueError("preconditioner: the rows and columns are not the same lattices")
            hermitian = 0.5 * (c.kernels + np.conj(np.swapaxes(c.kernels, 2, 3)))
            values, vectors = np.linalg.eigh(hermitian)
            values = np.maximum(values, 0.0) + noise
            inverses.append(np.matmul(vectors / values[..., None, :],
                                      np.conj(np.swapaxes(vectors, 2, 3))))
        # The rest: their variance from the dense blocks, where a block holds the diagonal.
        scale = np.full(self.shape[0], noise)
        covered = np.zeros(self.shape[0], bool)
        for c in self.components:
            for g in c.rows:
                covered[g.members] = True
        for rows, cols, block in self.dense:
            first, last = max(rows.start, cols.start), min(rows.stop, cols.stop)
            index = np.arange(first, last)
            scale[index] += block[index - rows.start, index - cols.start]
        workers = self.workers

        def solve(x: FloatArray) -> FloatArray:
            x = np.asarray(x, np.float64).reshape(self.shape[0], -1)
            out = np.where(covered[:, None], 0.0, x / scale[:, None])
            for c, inverse in zip(self.components, inverses):
                spectra = scipy.fft.rfft2(_scatter(c.cols, x, c.shape), workers=workers)
                products = np.matmul(inverse, spectra.transpose(2, 3, 0, 1))
                grids = scipy.fft.irfft2(products.transpose(2, 3, 0, 1), s=c.shape,
                                         workers=workers)
                _gather(c.rows, grids, out)
            return out

        return LinearOperator(self.shape, matvec=lambda x: solve(x)[:, 0], matmat=solve,
                              dtype=np.float64)

    def _matmat(self, x: FloatArray) -> FloatArray:
        return self._apply(x, False)

    def _rmatmat(self, x: FloatArray) -> FloatArray:
        return self._apply(x, True)

    def _matvec(self, x: FloatArray) -> FloatArray:
        return self._apply(x, False)[:, 0]

    def _rmatvec(self, x: FloatArray) -> FloatArray:
        return self._apply(x, True)[:, 0]


def _dense_blocks(row_runs: list[tuple[int, int, int]], col_runs: list[tuple[int, int, int]],
                  compatible: set[tuple[int, int]]) -> list[tuple[int, int, int, int]]:
    """(row start, row stop, column start, column stop) of the blocks outside every compatible
    pair, adjacent columns of one row run merged."""
    blocks: list[tuple[int, int, int, int]] = []
    for r0, r1, a in row_runs:
        merging = False
        for c0, c1, b in col_runs:
            if a >= 0 and b >= 0 and (a, b) in compatible:
                merging = False
            elif merging:
                blocks[-1] = (r0, r1, blocks[-1][2], c1)
            else:
                blocks.append((r0, r1, c0, c1))
                merging = True
    return blocks


def _refusal(rows: str, cols: str, row_runs: list[tuple[int, int, int]],
             col_runs: list[tuple[int, int, int]], row_structure: ListStructure,
             col_structure: ListStructure, compatible: set[tuple[int, int]], needed: int,
             limit: int) -> str:
    """The message naming the runs and pairs that broke the structure."""
    reasons = []
    lists = [(rows, row_runs, row_structure)]
    if cols != rows:
        lists.append((cols, col_runs, col_structure))
    for name, runs, structure in lists:
        for start, stop, lattice in runs:
            if lattice < 0:
                reasons.append(f"{name}[{start}:{stop}]: {structure.why_none(start, stop)}")
    for r0, r1, a in row_runs:
        for c0, c1, b in col_runs:
            if a >= 0 and b >= 0 and (a, b) not in compatible:
                reasons.append(f"{rows}[{r0}:{r1}] x {cols}[{c0}:{c1}]: lattices of another "
                               "pitch, orientation or source altitude")
    shown = "; ".join(dict.fromkeys(reasons[:12]))
    more = f"; and {len(reasons) - 12} more" if len(reasons) > 12 else ""
    return (f"covariance_operator: the blocks outside the lattice structure need {needed:,} "
            f"bytes stored densely, more than max_dense_bytes={limit:,}. They are: {shown}{more}")


def covariance_operator(system: Any, rows: _matrices.Measurements, cols: _matrices.Measurements,
                        *, lag: float = 0.0, model: _matrices.Model = "exact",
                        layers: Any = None, threads: int | None = None,
                        max_dense_bytes: int = MAX_DENSE_BYTES) -> CovarianceOperator:
    """``vedovx.covariance(system, rows, cols, lag=lag, model=model, layers=layers)`` as a
    scipy.sparse.linalg.LinearOperator (float64) that never forms the matrix.

    The measurements of each list are grouped into lattices (runs of like measurements on one
    square grid, as ``method="structured"`` finds them); the block of two lattices of equal pitch,
    orientation and source altitude is block-Toeplitz, defined by one table of the covariance per
    site difference, and is applied by FFT over the zero-filled lattices (scipy.fft): O(N log N)
    time and O(N) memory. Every other block (measurements of no lattice, pairs of incompatible
    lattices) is evaluated once and stored densely; more than `max_dense_bytes` of them is
    refused with ValueError naming the blocks that broke the structure.

    ``op @ x``, ``op.matmat``, ``op.rmatvec`` and ``op.adjoint()`` are available; ``op @ x``
    equals ``covariance(...) @ x`` to about 1e-13 relative to ``|C| @ |x|``. threads: for the
    tables and the FFTs (default: every CPU the process may use). The operator pickles (for
    Dask) and reports its memory as ``op.nbytes``.
    """
    _matrices._choice(rows, MEASUREMENTS, "rows")
    _matrices._choice(cols, MEASUREMENTS, "cols")
    _matrices._choice(model, MODELS, "model")
    checked_lag = _arrays.real(lag, "lag")
    workers = _arrays.worker_count(threads)
    limit = int(max_dense_bytes)
    if limit < 0:
        raise ValueError(f"max_dense_bytes must be at least 0, not {limit}")
    with borrowed(system) as held:
        counts = held.counts()
        nrows, ncols = counts[rows], counts[cols]
        chosen_layers, _, layers_keep = _arrays.selection(layers, counts["layers"], "layers")
        raw_rows, raw_cols, pairs, stride, raw_values = held.structure(
            rows, cols, checked_lag, model, chosen_layers, workers, True)
        del layers_keep
    row_structure = ListStructure.parse(raw_rows)
    col_structure = ListStructure.parse(raw_cols)
    values = np.frombuffer(raw_values, np.float64)
    compatible = {(p[0], p[1]) for p in pairs}
    row_runs = row_structure.runs(nrows)
    col_runs = col_structure.runs(ncols)
    blocks = _dense_blocks(row_runs, col_runs, compatible)
    needed = sum((r1 - r0) * (c1 - c0) * 8 for r0, r1, c0, c1 in blocks)
    if needed > limit:
        raise ValueError(_refusal(rows, cols, row_runs, col_runs, row_structure, col_structure,
                                  compatible, needed, limit))
    dense = [(slice(r0, r1), slice(c0, c1),
              _matrices.covariance(system, rows, cols, lag=lag, model=model, layers=layers,
                                   rows_index=slice(r0, r1), cols_index=slice(c0, c1),
                                   threads=threads))
             for r0, r1, c0, c1 in blocks]
    components = _components(row_structure, col_structure, pairs, stride, values)
    return CovarianceOperator((nrows, ncols), components, dense,
                              workers or len(os.sched_getaffinity(0)))
