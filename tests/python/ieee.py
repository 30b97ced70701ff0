"""The written model (reference.py) evaluated with IEEE arithmetic throughout, for any input.

Python's float division by zero raises, and its math functions refuse arguments for which the C
library returns an infinity or a NaN. Here every number of a record is a numpy float64 (whose
operators are the plain IEEE operations) and exp, pow and sqrt are the C library's own, so that the
model's results compare bit for bit with the module's for non-finite and degenerate input too.
"""

import contextlib
import ctypes
import ctypes.util
import math
import types

import numpy as np

import reference

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name, _arity in (("exp", 1), ("pow", 2), ("sqrt", 1)):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = [ctypes.c_double] * _arity

_C_MATH = types.SimpleNamespace(
    exp=lambda x: np.float64(_libm.exp(float(x))),
    pow=lambda x, y: np.float64(_libm.pow(float(x), float(y))),
    sqrt=lambda x: np.float64(_libm.sqrt(float(x))),
    inf=math.inf,
    nan=math.nan,
)


def record(value):
    """A record (as records.parse gives it) with every number a numpy float64 or int64."""
    if isinstance(value, float):
        return np.float64(value)
    if isinstance(value, int):
        return np.int64(value)
    if isinstance(value, dict):
        return {key: record(item) for key, item in value.items()}
    if isinstance(value, list):
        return [record(item) for item in value]
    return value


@contextlib.contextmanager
def model():
    """reference.py, computing with the C library's functions and without floating-point traps."""
    saved = reference.math
    reference.math = _C_MATH
    try:
        with np.errstate(all="ignore"):
            yield reference
    finally:
        reference.math = saved
