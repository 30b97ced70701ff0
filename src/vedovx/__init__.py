"""vedovx: vedov's matrices as NumPy arrays.

The functions take a vedov.SystemGeom itself and read it in place, holding it for reading while they
run (vedov refuses to change it meanwhile), or a FrozenSystem (freeze), a picklable copy. They
evaluate on vedov's worker pool straight into NumPy arrays, whole or in blocks, into arrays you give
(views and memory maps included), in float64 or float32, with the interpreter lock released, Ctrl-C
honoured and progress reported. Covariances use the exact von Kármán model by default;
``model="closed-form"`` gives vedov's lists bit for bit, as interactions and projections always
do. vedovx.dask (imported on request) gives the same matrices as Dask arrays, vedovx.study (on
request, with SciPy) the study of a tomographic system (noise, MMSE reconstructors, error budgets,
mirror fitting), vedovx.plot (on request, with matplotlib) its figures. The builders here take
NumPy arrays and defaults. With ``method="structured"`` covariances read the blocks between
sensors on one grid from tables (vedovx.lattices shows which), and vedovx.covariance_operator
applies a covariance without forming it (SciPy needed).
"""

from typing import TYPE_CHECKING, Any

# vedov first: its shared runtime is then the one the compiled part binds to and checks.
import vedov  # noqa: F401

try:
    from vedovx import _native
except ImportError as error:
    if error.name != "vedovx._native":
        raise
    raise ImportError(
        f"vedovx was imported from {__path__[0]}, which has no compiled part (the source folder "
        "src/?): import the installed package (pip install .), or put a build's python/ "
        "directory first on PYTHONPATH", name=__name__) from error

from vedovx import profiles
from vedovx._builders import (
    Asterism,
    Science,
    add_com,
    add_meas,
    add_science,
    add_ts,
    asterism,
    new_system,
)
from vedovx._compress import compress
from vedovx._fit import ProfileFit, fit_profile
from vedovx._frozen import CacheInfo, FrozenSystem, freeze, thawed_cache
from vedovx._inspect import Layer, Pupil, Sensor, SystemInfo, info, positions, sensors
from vedovx._matrices import (
    ReconMatrices,
    SystemMatrices,
    covariance,
    interaction,
    projection,
    recon_matrices,
    system_matrices,
)
from vedovx._profiles import Integrated, Profile, profile, set_layers
from vedovx._structure import Broken, Lattice, Lattices, lattices
from vedovx._version import __version__

if TYPE_CHECKING:
    from vedovx._operator import CovarianceOperator, covariance_operator

#: vedov's own exception for a failed internal operation (it derives from BaseException).
PanicException: type[BaseException] = _native.panic_exception()

__all__ = [
    "covariance",
    "covariance_operator",
    "CovarianceOperator",
    "lattices",
    "Lattices",
    "Lattice",
    "Broken",
    "interaction",
    "projection",
    "system_matrices",
    "recon_matrices",
    "SystemMatrices",
    "ReconMatrices",
    "info",
    "positions",
    "SystemInfo",
    "sensors",
    "Sensor",
    "Layer",
    "Pupil",
    "set_layers",
    "profile",
    "Profile",
    "Integrated",
    "profiles",
    "compress",
    "fit_profile",
    "ProfileFit",
    "PanicException",
    "freeze",
    "FrozenSystem",
    "new_system",
    "add_meas",
    "add_ts",
    "add_com",
    "asterism",
    "Asterism",
    "add_science",
    "Science",
    "thawed_cache",
    "CacheInfo",
]


def __getattr__(name: str) -> Any:
    # The covariance operator needs SciPy, which vedovx itself does not: imported on first use.
    if name in ("covariance_operator", "CovarianceOperator"):
        from vedovx import _operator

        return getattr(_operator, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
