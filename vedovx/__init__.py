"""vedovx: vedov's matrices as NumPy arrays.

The functions take a vedov.SystemGeom itself and read it in place, holding it for reading while they
run (vedov refuses to change it meanwhile). They evaluate on vedov's worker pool straight into NumPy
arrays, whole or in blocks, into arrays you give (views and memory maps included), in float64 or
float32, with the interpreter lock released, Ctrl-C honoured and progress reported. Results equal
vedov's lists bit for bit.
"""

from vedovx import _native
from vedovx._inspect import Layer, Pupil, SystemInfo, info, positions
from vedovx._matrices import (
    ReconMatrices,
    SystemMatrices,
    covariance,
    interaction,
    projection,
    recon_matrices,
    system_matrices,
)

#: vedov's own exception for a failed internal operation (it derives from BaseException).
PanicException: type[BaseException] = _native.panic_exception()

__all__ = [
    "covariance",
    "interaction",
    "projection",
    "system_matrices",
    "recon_matrices",
    "SystemMatrices",
    "ReconMatrices",
    "info",
    "positions",
    "SystemInfo",
    "Layer",
    "Pupil",
    "PanicException",
]
