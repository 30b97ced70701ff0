"""Geometry and turbulence statistics of adaptive-optics systems.

One frame for everything: x and y span the pupil plane, z is the height above it. All lengths share
one unit chosen by the caller (metres, say); directions of guide stars and truth sensors are in
arcseconds (multiplied by exactly 4.848e-6 to give line slopes); rotations are in radians; time lags
are in the time unit of the layers' wind. Matrices are lists of rows: rows come from the first list a
name mentions, columns from the second (c_meas_phi has one row per measurement, one column per phase
sample). Phase is in radians at the wavelength at which the layers' r0 are given.

Internal failures (an index out of range, a mask shorter than its list, a document that cannot be
read) raise vedov's PanicException, which derives from BaseException, not Exception; it is not an
attribute of the module. Catch it with ``except BaseException`` and test
``type(error).__name__ == "PanicException"``.
"""

from collections.abc import Sequence
from typing import final

__all__ = ["SystemMatrices", "ReconMatrices", "SystemGeom"]

@final
class SystemMatrices:
    """The phase-side matrices of a system, computed once by SystemMatrices.new and never changed.

    Every read of a property builds a new list from the stored values.
    """

    @staticmethod
    def new(system_geom: SystemGeom) -> SystemMatrices:
        """Evaluates the seven matrices on a private copy of system_geom.

        Covariances use the layers of the system; c_phip1_phi uses the time lag simul_dt.
        """

    @property
    def c_phi_phi(self) -> list[list[float]]:
        """Phase covariance between phase samples, lag 0 [rad^2]: len(phi) x len(phi)."""

    @property
    def c_phip1_phi(self) -> list[list[float]]:
        """Phase covariance with time lag simul_dt [rad^2]: len(phi) x len(phi).

        In every layer the column lines are displaced by -v * simul_dt (frozen flow, v the layer's
        wind) before the covariance is taken; with simul_dt 0.0 it equals c_phi_phi.
        """

    @property
    def c_meas_phi(self) -> list[list[float]]:
        """Covariance of measurements with phase samples, lag 0: len(meas) x len(phi).

        [rad^2 / length] for slopes, [rad^2] for phase measurements.
        """

    @property
    def d_meas_com(self) -> list[list[float]]:
        """Interaction matrix, response of each measurement to each actuator: len(meas) x len(com).
        """

    @property
    def d_phi_com(self) -> list[list[float]]:
        """Response of each phase sample to each actuator: len(phi) x len(com)."""

    @property
    def p_phi(self) -> list[float]:
        """Pupil projection of the phase samples, 1.0 (in the clear pupil) or 0.0: len(phi).

        Every value is 1.0 when the system has no pupil.
        """

    @property
    def p_meas(self) -> list[float]:
        """Pupil projection of the measurement lines, 1.0 or 0.0: len(meas_lines).

        len(meas) values of 1.0 when the system has no pupil.
        """

@final
class ReconMatrices:
    """The sensor-side matrices a tomographic reconstructor needs, computed once, never changed.

    Every read of a property builds a new list from the stored values.
    """

    @staticmethod
    def new(system_geom: SystemGeom) -> ReconMatrices:
        """Evaluates the five matrices, reading system_geom in place (it cannot change meanwhile).

        c_ts_meas uses the time lag meas_dt.
        """

    @property
    def c_ts_meas(self) -> list[list[float]]:
        """Covariance of truth-sensor samples with measurements, lag meas_dt: len(ts) x len(meas).

        [rad^2 / length] for slope columns. In every layer the column lines are displaced by
        -v * meas_dt (frozen flow, v the layer's wind) before the covariance is taken.
        """

    @property
    def c_meas_meas(self) -> list[list[float]]:
        """Covariance of the measurements, lag 0: len(meas) x len(meas).

        [rad^2 / length^2] between two slopes.
        """

    @property
    def d_ts_com(self) -> list[list[float]]:
        """Response of each truth-sensor sample to each actuator: len(ts) x len(com)."""

    @property
    def d_meas_com(self) -> list[list[float]]:
        """Interaction matrix, response of each measurement to each actuator: len(meas) x len(com).
        """

    @property
    def p_meas(self) -> list[float]:
        """Pupil projection of the measurement lines, 1.0 or 0.0: len(meas_lines)."""

@final
class SystemGeom:
    """An adaptive-optics system: measurements, phase samples, truth sensors, actuators, layers,
    pupil, the line of sight of every measurement, and two time steps.

    Obtained only from new_empty, new, load_yaml, merge_meas or merge_com; calling the class raises
    TypeError. Builders append to the end of their list and never validate numbers.
    """

    @staticmethod
    def new_empty() -> SystemGeom:
        """A system with empty lists, no pupil and both time steps 0.0."""

    def save_yaml(self, filename: str) -> None:
        """Writes the whole system to the YAML document at path filename (replacing the file).

        Raises PanicException when the file cannot be written.
        """

    @staticmethod
    def load_yaml(filename: str) -> SystemGeom:
        """Reads a system from the YAML document at path filename.

        Raises PanicException when the file cannot be read or the document not understood.
        """

    def set_dt(self, simul_dt: float, meas_dt: float) -> None:
        """Sets the simulation time step (lag of c_phip1_phi) and the measurement time step (lag of
        c_ts_meas), in the time unit of the layers' wind."""

    def add_phi(self, teldiam: float, nphisamples: int) -> None:
        """Appends nphisamples^2 phase samples: vertical lines through the cell centres of a square
        grid of side teldiam [length] centred on the pupil, x index outer."""

    def add_ts(self, teldiam: float, ntssamples: int, ts_dirs: Sequence[tuple[float, float]]) -> None:
        """Appends ntssamples^2 * len(ts_dirs) truth-sensor phase samples.

        For each direction (x, y) [arcsec], lines through an edge-to-edge grid from -teldiam/2 to
        teldiam/2 [length], x index outer.
        """

    def add_meas(
        self,
        teldiam: float,
        nsubx: int,
        wfs_dirs: Sequence[tuple[float, float]],
        gsalt: float,
        wfs_delta: Sequence[tuple[float, float]],
        wfs_clocking: Sequence[float],
        wfs_zoom: Sequence[float],
    ) -> None:
        """Appends the slopes of len(wfs_dirs) Shack-Hartmann sensors, 2 * nsubx^2 per sensor.

        Per sensor: nsubx^2 y-slopes, then nsubx^2 x-slopes, on a cell-centre grid of side teldiam
        [length] with subapertures teldiam / nsubx across. wfs_dirs: guide-star directions (x, y)
        [arcsec]; gsalt: guide-star altitude [length], math.inf for natural stars; per sensor
        wfs_delta: pattern shift (x, y) [length], wfs_clocking: rotation [rad], wfs_zoom: relative
        magnification (0.0 for none). Also appends each slope's central line of sight to the
        measurement lines. Raises PanicException when a per-sensor list is shorter than wfs_dirs.
        """

    def add_com(
        self,
        pitch: float,
        nactux: int,
        dm_delta: tuple[float, float],
        dmalt: float,
        coupling: float,
        dm_clocking: float,
        dm_zoom: float,
        microns_per_volt: float,
    ) -> None:
        """Appends nactux^2 Gaussian actuators of one deformable mirror, x index outer.

        pitch: actuator spacing [length]; dm_delta: pattern shift (x, y) [length]; dmalt: mirror
        altitude [length]; coupling: response one pitch away as a fraction of the peak;
        dm_clocking: rotation [rad]; dm_zoom: relative magnification (0.0 for none);
        microns_per_volt: peak response.
        """

    def add_ttdm(self, scale: float) -> None:
        """Appends a tip-tilt mirror: a tilt along y, then a tilt along x, each of slope scale
        [phase / length] per unit command."""

    def add_cov_layer(self) -> None:
        """Appends the default seven-layer profile: r0 0.22 to 2.06, l0 60, altitudes 0 to 15800,
        winds 10 to 25, in metres and seconds."""

    def set_pupil(self, teldiam: float, cobs: float) -> None:
        """Sets an annular pupil of diameter teldiam [length] with a central obscuration of cobs
        times the diameter, without spiders."""

    @staticmethod
    def new(
        teldiam: float,
        cobs: float,
        coupling: float,
        nactux: int,
        dmalt: float,
        pitch: float,
        nsubx: int,
        ntssamples: int,
        nphisamples: int,
        wfs_dirs: Sequence[tuple[float, float]],
        ts_dirs: Sequence[tuple[float, float]],
        dm_delta: tuple[float, float],
        wfs_delta: Sequence[tuple[float, float]],
        dm_clocking: float,
        wfs_clocking: Sequence[float],
        dm_zoom: float,
        wfs_zoom: Sequence[float],
        gsalt: float,
        microns_per_volt: float,
    ) -> SystemGeom:
        """A complete system in one call: add_com, add_meas, add_phi, add_cov_layer, add_ts and
        set_pupil with these arguments; both time steps 0.0 and no tip-tilt mirror."""

    @staticmethod
    def merge_meas(systems: Sequence[SystemGeom]) -> SystemGeom:
        """A new system with the measurements (and their lines) of all systems in order, and every
        other field copied from the first. Raises PanicException for an empty list."""

    @staticmethod
    def merge_com(systems: Sequence[SystemGeom]) -> SystemGeom:
        """A new system with the actuators of all systems in order, and every other field copied
        from the first. Raises PanicException for an empty list."""

    def filter_com(self, valid_com: Sequence[bool]) -> None:
        """Keeps actuator i where valid_com[i] is True (bool or NumPy bool, not int).

        Raises PanicException, changing nothing, when the mask is shorter than the actuator list.
        """

    def filter_meas(self, valid_meas: Sequence[bool]) -> None:
        """Keeps measurement i and its line where valid_meas[i] is True (bool or NumPy bool).

        Raises PanicException, changing nothing, when the mask is shorter than the measurement list.
        """

    def reorder_meas(self, order: Sequence[int]) -> None:
        """Replaces the measurements (and their lines) by [meas[k] for k in order]: a permutation,
        a selection or a repetition. Raises PanicException, changing nothing, for an index out of
        range."""

    def reorder_com(self, order: Sequence[int]) -> None:
        """Replaces the actuators by [com[k] for k in order]. Raises PanicException, changing
        nothing, for an index out of range."""

    def imat(self) -> list[list[float]]:
        """Interaction matrix: response of each measurement to each actuator, len(meas) x len(com).
        """

    def imat_sparse(self, indices: Sequence[tuple[int, int]]) -> list[float]:
        """The elements (row, column) of imat() named by indices, in their order, bit for bit
        equal to the full matrix's. Raises PanicException for an index out of range."""

    def pmeas(self) -> list[float]:
        """Pupil projection of the measurement lines, 1.0 where a line crosses the clear pupil,
        else 0.0: len(meas_lines). All 1.0 without a pupil."""
