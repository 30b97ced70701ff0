"""Arguments that name arrays: output storage, element types and row or column selections."""

from __future__ import annotations

import math
import mmap
import operator
from typing import Any

import numpy as np
import numpy.typing as npt


# What the compiled part is given for storage: (address, rows, cols, row stride in elements, itemsize).
Target = tuple[int, int, int, int, int]
# And for a selection: (address, count) of int64 indices, or None for every entry.
Selection = tuple[int, int] | None

FLOAT_TYPES = (np.dtype(np.float64), np.dtype(np.float32))


def element_type(dtype: npt.DTypeLike | None, out: np.ndarray[Any, Any] | None) -> np.dtype[Any]:
    """The result's element type: `dtype` (float64 or float32), else out's, else float64."""
    if out is not None and not out.dtype.isnative and out.dtype.newbyteorder("=") in FLOAT_TYPES:
        order = "big" if out.dtype.byteorder == ">" else "little"
        raise ValueError(f"out must be in the machine's byte order, not {order}-endian "
                         f"({out.dtype.str})")
    if dtype is None:
        chosen = np.dtype(np.float64) if out is None else out.dtype
    else:
        try:
            chosen = np.dtype(dtype)
        except TypeError as error:
            raise ValueError(f"dtype: {dtype!r} is not a NumPy element type") from error
        if chosen not in FLOAT_TYPES:
            raise ValueError(f"dtype must be float64 or float32, not {chosen}")
    if out is not None and out.dtype != chosen:
        raise ValueError(f"out has elements of {out.dtype}, but dtype is {chosen}")
    if chosen not in FLOAT_TYPES:
        raise ValueError(f"out must hold float64 or float32 elements, not {chosen}")
    return chosen


# NumPy asks for transparent huge pages on arrays from 4 MiB; the workers' first writes then fault
# in 2 MB pages, which made whole evaluations about 10 % slower than into ordinary pages (measured
# by bench/arrays_bench.py). Results that large get memory of their own instead: an anonymous
# private mapping advised to use ordinary pages, unmapped with the array, so that the advice never
# outlives it on memory the allocator hands out again.
OWN_PAGES_FROM = 4 * 2**20


def _new_array(shape: tuple[int, ...], dtype: np.dtype[Any]) -> np.ndarray[Any, Any]:
    nbytes = math.prod(shape) * dtype.itemsize
    advice = getattr(mmap, "MADV_NOHUGEPAGE", None)
    if nbytes < OWN_PAGES_FROM or advice is None:
        return np.empty(shape, dtype)
    pages = mmap.mmap(-1, nbytes, flags=mmap.MAP_PRIVATE)
    pages.madvise(advice)
    return np.frombuffer(pages, dtype).reshape(shape)


def storage(
    out: Any, shape: tuple[int, ...], dtype: np.dtype[Any]
) -> tuple[np.ndarray[Any, Any], Target]:
    """The array to fill (`out`, checked, or a new one) and its description for the compiled part.

    `out` may be any writable, aligned, native-order array of the right shape whose columns are
    contiguous: a view into a larger array or a numpy.memmap included."""
    if out is None:
        array: np.ndarray[Any, Any] = _new_array(shape, dtype)
    else:
        if not isinstance(out, np.ndarray):
            raise TypeError(f"out must be a numpy.ndarray, not {type(out).__name__}")
        array = out
        if array.shape != shape:
            raise ValueError(f"out has shape {array.shape}, but the result has shape {shape}")
        if not array.flags.writeable:
            raise ValueError("out is read-only")
        if not array.dtype.isnative:
            raise ValueError("out must be in the machine's byte order")
        if not array.flags.aligned:
            raise ValueError("out is not aligned for its element type")
    itemsize = array.itemsize
    rows, cols = shape if len(shape) == 2 else (shape[0], 1)
    strides = array.strides if len(shape) == 2 else (array.strides[0], itemsize)
    if rows == 0 or cols == 0:  # nothing is written; empty arrays report any strides
        return array, (array.ctypes.data, rows, cols, cols, itemsize)
    if cols > 1 and strides[1] != itemsize:
        raise ValueError("out's columns must be contiguous (strides[1] equal to the itemsize)")
    row_stride = strides[0] if rows > 1 else cols * itemsize
    if row_stride % itemsize:
        raise ValueError("out's rows must start at whole elements")
    if rows > 1 and abs(row_stride) < cols * itemsize:
        raise ValueError("out's rows overlap")
    return array, (array.ctypes.data, rows, cols, row_stride // itemsize, itemsize)


def selection(
    index: Any, entries: int, name: str
) -> tuple[Selection, int, np.ndarray[Any, Any] | None]:
    """A row or column choice: None (every entry), a slice, or a 1-D array of integers (negative
    ones count from the end; repeats allowed) or of booleans (one per entry).

    Returns what the compiled part is given, the number chosen, and the index array to keep alive
    during the call."""
    if index is None:
        return None, entries, None
    if isinstance(index, slice):
        start, stop, step = index.indices(entries)
        chosen = np.arange(start, stop, step, dtype=np.int64)
    else:
        array = np.asarray(index)
        if array.ndim != 1:
            raise ValueError(f"{name} must be a slice or a one-dimensional array, not {array.ndim}-D")
        if array.dtype == np.bool_:
            if array.shape[0] != entries:
                raise ValueError(f"{name}: {array.shape[0]} booleans for {entries} entries")
            chosen = np.flatnonzero(array).astype(np.int64)
        elif array.size == 0:
            chosen = np.empty(0, np.int64)
        elif array.dtype.kind in "iu":
            low, high = int(array.min()), int(array.max())
            if low < -entries or high >= entries:
                bad = low if low < -entries else high
                raise ValueError(f"{name}: index {bad} is out of range for {entries} entries")
            chosen = array.astype(np.int64)
            chosen = np.where(chosen < 0, chosen + entries, chosen)
        else:
            raise ValueError(f"{name} must hold integers or booleans, not {array.dtype}")
    chosen = np.ascontiguousarray(chosen, dtype=np.int64)
    return (chosen.ctypes.data, int(chosen.size)), int(chosen.size), chosen


# The largest count handed to the compiled part; it lowers any count to the process's CPUs.
_MOST_THREADS = 2**31 - 1


def worker_count(threads: Any) -> int:
    """0 (every CPU of the process, the shared pool) for None, else a positive integer (a bool or
    a float is refused with TypeError). More threads than the process has CPUs evaluate on those
    CPUs."""
    if threads is None:
        return 0
    return min(whole_number(threads, "threads", 1, "an int or None"), _MOST_THREADS)


def whole_number(value: Any, name: str, least: int, kind: str = "an integer") -> int:
    """`value` as an int of at least `least`: TypeError naming `name` (it must be `kind`) for a
    bool, a float or anything else that is not an integer, ValueError for a smaller one."""
    if not isinstance(value, bool):
        try:
            number = operator.index(value)
        except TypeError:
            pass
        else:
            if number < least:
                raise ValueError(f"{name} must be at least {least}, not {number}")
            return number
    raise TypeError(f"{name} must be {kind}, not {type(value).__name__}")


def real(value: Any, name: str) -> float:
    """`value` as a finite float: TypeError naming `name` for a str, bytes or anything that is not
    a number, ValueError for an infinity or not-a-number."""
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, not {number!r}")
    return number
