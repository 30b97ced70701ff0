"""The study of a tomographic system as a library: slope noise, MMSE reconstructors, error budgets
per science direction, deformable-mirror fitting.

Imported on request (``import vedovx.study``; it needs SciPy). Units: phase in radians at the
layers' reference wavelength (500 nm), slopes in radians of phase per metre, angles of the sky in
arcseconds, wavelengths in metres, optical paths in nanometres.

    import vedovx, vedovx.study as study
    system = vedovx.new_system(teldiam=8.0, cobs=0.14, coupling=0.3, nactux=17, pitch=0.5,
                               nsubx=16, nphisamples=0, wfs_dirs=vedovx.asterism(3, 30.0))
    science = vedovx.add_science(system, vedovx.asterism(9, 30.0, shape="square"), 16)
    noise = study.slope_noise(system, 0.05)               # 0.05" rms centroid error
    print(study.budget(system, noise, science=science, dms=True, wavelength=1.65e-6))
"""

from vedovx._budget import (
    Budget,
    Reconstruction,
    budget,
    nm,
    reconstruction,
    reconstruction_from,
    strehl,
)
from vedovx._fitting import command_matrix, fit_matrix, fitting_error
from vedovx._mmse import estimation_error, mmse_reconstructor, noise_propagation, piston_removed
from vedovx._noise import centroid_error, noise_blocks, slope_noise, slope_variance
from vedovx._profiles import REFERENCE_WAVELENGTH

__all__ = [
    "slope_variance",
    "centroid_error",
    "slope_noise",
    "noise_blocks",
    "mmse_reconstructor",
    "estimation_error",
    "noise_propagation",
    "piston_removed",
    "fit_matrix",
    "fitting_error",
    "command_matrix",
    "Budget",
    "Reconstruction",
    "reconstruction",
    "reconstruction_from",
    "budget",
    "nm",
    "strehl",
    "REFERENCE_WAVELENGTH",
]
