"""Laser-tomography study with vedov: an MMSE tomographic reconstructor and its on-axis error budget.

An 8 m telescope (central obscuration 0.14) with four laser guide stars at 90 km on the corners of a
30-arcsecond square (or on a ring of that diameter), 16 x 16 Shack-Hartmann subapertures per star, one
deformable mirror at the pupil with 17 x 17 actuators 0.5 m apart, 32 x 32 phase samples over the pupil
and the default seven-layer turbulence profile. The study, with vedovx and vedovx.study,

1. keeps the subapertures whose centre sees the pupil (the projection of the measurement lines,
   filter_meas) and the actuators whose response at some phase sample in the pupil reaches the
   coupling, that is the actuators within about one pitch of the pupil (filter_com);
2. builds the minimum-mean-square-error estimate of the on-axis phase at the phase samples from the
   slopes, R = C_phi,meas (C_meas,meas + C_nn)^-1, the noise C_nn a stated diagonal, with vedovx's
   exact von Karman covariance as prior and truth, and fits the mirror to it;
3. reports its error budget (noise, tomographic, mirror fitting; piston removed and averaged over
   the pupil), the tomographic excess over the same sensors looking on axis at a natural star at
   infinity (which takes out of the budget the phase that the subaperture sampling cannot see; with
   coarse subapertures the excess can be negative: four stars sample the low layers more finely than
   one), then the same with vedov's closed-form covariance, and the closed-form estimate judged by
   the exact statistics;
4. saves the system with save_yaml, loads it back, and draws one figure (vedovx.plot).

    python3 examples/demo.py                          # the full study, outputs in examples/output/
    python3 examples/demo.py --nsubx 4 --nactux 5 --nphi 8 --output /tmp/small     # in seconds

Units: lengths in metres, times in seconds, directions in arcseconds. The phase is in radians at the
wavelength at which the layers' r0 are given, 500 nm.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field

import numpy as np
from numpy.typing import NDArray

import vedov
import vedovx
import vedovx.study as study

TELDIAM = 8.0
COBS = 0.14
GSALT = 90000.0
COUPLING = 0.3
SCIENCE = 1.65e-6  # metres
SIMUL_DT = 0.001
MEAS_DT = 0.002
OUTPUT = pathlib.Path(__file__).resolve().parent / "output"
# Altitudes of two layers of the default profile, where the guide-star footprints are drawn.
FOOTPRINT_ALTITUDES = (5800.0, 15800.0)


@dataclass
class Settings:
    nsubx: int
    nactux: int
    nphi: int
    asterism: str
    noise: float
    output: pathlib.Path

    @property
    def pitch(self) -> float:
        return TELDIAM / (self.nactux - 1)

    @property
    def subaperture(self) -> float:
        return TELDIAM / self.nsubx

    @property
    def stars(self) -> vedovx.Asterism:
        """Four laser guide stars: corners of a 30" square, or a ring of 30" diameter."""
        return vedovx.asterism(4, 15.0, altitude=GSALT,
                               shape="square" if self.asterism == "square" else "ring")


def parse_args(argv: Sequence[str] | None) -> Settings:
    parser = argparse.ArgumentParser(
        description="Laser-tomography study with vedov (see the module docstring).")
    parser.add_argument("--nsubx", type=int, default=16, help="subapertures across (default 16)")
    parser.add_argument("--nactux", type=int, default=17,
                        help="actuators across; the pitch is 8 m / (nactux - 1) (default 17)")
    parser.add_argument("--nphi", type=int, default=32, help="phase samples across (default 32)")
    parser.add_argument("--asterism", choices=("square", "ring"), default="square",
                        help='stars on the corners of a 30" square (default) or on a 30" ring')
    parser.add_argument("--noise", type=float, default=0.1,
                        help="measurement noise: rms of the phase difference one slope measures "
                             "across its subaperture, rad at 500 nm (default 0.1)")
    parser.add_argument("--output", type=pathlib.Path, default=OUTPUT,
                        help="directory for the figure, the YAML document and results.json")
    args = parser.parse_args(argv)
    if args.nsubx < 1 or args.nactux < 2 or args.nphi < 2 or args.noise < 0:
        parser.error("need --nsubx >= 1, --nactux >= 2, --nphi >= 2 and --noise >= 0")
    return Settings(args.nsubx, args.nactux, args.nphi, args.asterism, args.noise, args.output)


@dataclass
class Timings:
    seconds: dict[str, float] = field(default_factory=dict)

    @contextmanager
    def step(self, name: str, what: str) -> Iterator[None]:
        """A progress line before the step, its wall time after it."""
        print(f"  {name}: {what} ...", end="", flush=True)
        start = time.perf_counter()
        yield
        self.seconds[name] = time.perf_counter() - start
        print(f" {self.seconds[name]:.2f} s", flush=True)


def build_system(settings: Settings, stars: vedovx.Asterism | list[tuple[float, float]]
                 ) -> vedov.SystemGeom:
    system = vedovx.new_system(teldiam=TELDIAM, cobs=COBS, coupling=COUPLING,
                               nactux=settings.nactux, pitch=settings.pitch,
                               nsubx=settings.nsubx, nphisamples=settings.nphi, wfs_dirs=stars)
    system.set_dt(SIMUL_DT, MEAS_DT)
    return system


@dataclass
class Study:
    settings: Settings
    unfiltered: vedovx.FrozenSystem  # the system before its slopes and actuators were chosen
    kept_meas: NDArray[np.bool_]  # over the unfiltered slopes
    kept_com: NDArray[np.bool_]  # over the actuators
    exact: study.Reconstruction  # MMSE estimate with the exact covariance, and the mirror's fit
    exact_reference: study.Budget  # one natural star on axis, exact covariance
    closed_form: study.Reconstruction  # the same with vedov's closed form
    closed_form_reference: study.Budget
    judged: study.Budget  # the closed-form estimate judged by the exact statistics
    c_meas_meas: NDArray[np.float64]  # exact slope covariance, for the figure
    noise_var: float


def run(settings: Settings, timings: Timings) -> tuple[Study, vedov.SystemGeom]:
    with timings.step("build", f"vedovx.new_system, 4 LGS at {GSALT / 1000:g} km"):
        system = build_system(settings, settings.stars)
        reference = build_system(settings, [(0.0, 0.0)])  # a natural star on axis

    with timings.step("subapertures", "projection, filter_meas"):
        unfiltered = vedovx.freeze(system)
        kept_meas = vedovx.projection(system, "meas_lines") == 1.0
        system.filter_meas(kept_meas)
        reference.filter_meas(vedovx.projection(reference, "meas_lines") == 1.0)
    nmeas = int(kept_meas.sum())
    if nmeas == 0:
        raise SystemExit("no subaperture centre lies in the clear pupil: use a larger --nsubx")

    with timings.step("actuators", "filter_com on the response at the phase samples"):
        in_pupil = vedovx.projection(system, "phi") == 1.0
        response = vedovx.interaction(system, "phi", rows_index=in_pupil)
        kept_com = response.max(axis=0) >= COUPLING
        system.filter_com(kept_com)

    # A slope is a phase difference across its subaperture divided by the subaperture's size.
    noise_var = (settings.noise / settings.subaperture) ** 2
    with timings.step("exact model", f"MMSE estimate from {nmeas} slopes, mirror fit, budget"):
        exact = study.reconstruction(system, noise_var, dms=True, wavelength=SCIENCE)
        exact_reference = study.budget(reference, noise_var, wavelength=SCIENCE)
    with timings.step("closed form", "the same with vedov's closed-form covariance"):
        closed_form = study.reconstruction(system, noise_var, dms=True, model="closed-form",
                                           wavelength=SCIENCE)
        closed_form_reference = study.budget(reference, noise_var, model="closed-form",
                                             wavelength=SCIENCE)
    with timings.step("judged", "the closed-form estimate under the exact statistics"):
        judged = study.budget(system, noise_var, reconstructor=closed_form.reconstructor)
        c_meas_meas = vedovx.covariance(system, "meas", "meas")

    result = Study(settings, unfiltered, kept_meas, kept_com, exact, exact_reference,
                   closed_form, closed_form_reference, judged, c_meas_meas, noise_var)
    return result, system


def round_trip(system: vedov.SystemGeom, output: pathlib.Path, timings: Timings) -> int:
    """Saves the system, loads it back and checks that the copy saves to the same document."""
    path, again = output / "system.yaml", output / "system_reloaded.yaml"
    with timings.step("yaml", f"save_yaml, load_yaml ({path.name})"):
        system.save_yaml(str(path))
        loaded = vedov.SystemGeom.load_yaml(str(path))
        loaded.save_yaml(str(again))
        same = path.read_bytes() == again.read_bytes() and bool(
            (vedovx.interaction(loaded, "meas") == vedovx.interaction(system, "meas")).all())
        again.unlink()
    if not same:
        raise SystemExit("the reloaded system differs from the saved one")
    return path.stat().st_size


def results_of(s: Study) -> dict[str, float]:
    """The figures of results.json: the closed-form budget under its long-standing names, the
    exact one under exact_*."""
    out: dict[str, float] = {}
    for prefix, result, reference in (("", s.closed_form, s.closed_form_reference),
                                      ("exact_", s.exact, s.exact_reference)):
        b = result.budget
        estimation = float(b.noise[0] + b.tomographic[0])
        excess = float(b.excess_over(reference)[0])
        out.update({
            f"{prefix}uncorrected_rad2": float(b.uncorrected[0]),
            f"{prefix}total_error_rad2": estimation,
            f"{prefix}total_error_nm": float(study.nm(estimation)),
            f"{prefix}tomographic_error_rad2": excess,
            f"{prefix}tomographic_error_nm": float(study.nm(excess)),
            f"{prefix}noise_rad2": float(b.noise[0]),
            f"{prefix}fitting_rad2": float(b.term("fitting")[0]),
            f"{prefix}budget_total_rad2": float(b.total[0]),
            f"{prefix}corrected_residual_rad2": float(b.term("residual")[0]),
            # A negative excess costs no Strehl.
            f"{prefix}strehl_tomographic_500nm": float(study.strehl(max(excess, 0.0), 500e-9)),
            f"{prefix}strehl_tomographic_1650nm": float(study.strehl(max(excess, 0.0), SCIENCE)),
            f"{prefix}strehl_total_1650nm": float(study.strehl(estimation, SCIENCE)),
        })
    out["exact_closed_form_estimate_rad2"] = float(s.judged.noise[0] + s.judged.tomographic[0])
    out["noise_variance"] = s.noise_var
    out["slopes"] = float(len(s.c_meas_meas))
    out["actuators"] = float(s.kept_com.sum())
    return out


def report(s: Study, r: dict[str, float], document_bytes: int) -> None:
    settings = s.settings
    per_sensor = int(s.kept_meas.sum()) // 8  # four stars, y and x slopes
    print()
    print(f"kept {per_sensor} of {settings.nsubx**2} subapertures per sensor and "
          f"{int(r['actuators'])} of {settings.nactux**2} actuators: {int(r['slopes'])} slopes")
    print(f"noise: {settings.noise} rad rms per slope's phase difference, "
          f"{s.noise_var:.4g} (rad/m)^2 on the diagonal")
    print("on-axis error budget, exact von Karman covariance (vedovx's default) as prior and "
          "truth:")
    print(s.exact.budget)
    print(f"  uncorrected {r['exact_uncorrected_rad2']:.1f} rad^2; error of the MMSE estimate "
          f"{r['exact_total_error_rad2']:.3f} rad^2 ({r['exact_total_error_nm']:.1f} nm rms), "
          f"tomographic (over the on-axis natural-star reference) "
          f"{r['exact_tomographic_error_rad2']:.3f} rad^2 ({r['exact_tomographic_error_nm']:.1f} "
          f"nm rms)")
    print(f"  the mirror corrects the estimate to {study.nm(r['exact_corrected_residual_rad2']):.1f}"
          f" nm rms (the residual computed in full; the budget's sum says "
          f"{study.nm(r['exact_budget_total_rad2']):.1f} nm)")
    print("with vedov's closed-form covariance:")
    print(f"uncorrected phase, piston removed: {r['uncorrected_rad2']:.1f} rad^2 "
          f"({study.nm(r['uncorrected_rad2']):.0f} nm rms)")
    print(f"on-axis error of the MMSE estimate: {r['total_error_rad2']:.3f} rad^2 "
          f"({r['total_error_nm']:.1f} nm rms), of which noise {r['noise_rad2']:.3f} rad^2")
    print(f"  of which tomographic (over the on-axis natural-star reference): "
          f"{r['tomographic_error_rad2']:.3f} rad^2 at 500 nm, "
          f"{r['tomographic_error_nm']:.1f} nm rms")
    if r["tomographic_error_rad2"] < 0:
        print("  (negative: at this sampling the four stars see more than the one on-axis star)")
    print(f"Marechal Strehl of the tomographic error: "
          f"{r['strehl_tomographic_500nm']:.3f} at 500 nm, "
          f"{r['strehl_tomographic_1650nm']:.3f} at 1650 nm "
          f"(of the whole error: {r['strehl_total_1650nm']:.3f} at 1650 nm)")
    print(f"mirror fitting: {r['fitting_rad2']:.3f} rad^2 ({study.nm(r['fitting_rad2']):.1f} nm "
          f"rms)")
    judged = r["exact_closed_form_estimate_rad2"]
    print(f"the closed-form estimate, judged by the exact statistics: {judged:.3f} rad^2 "
          f"({study.nm(judged):.1f} nm rms)")
    print(f"  what changes: the closed form's excess phase at small separations inflates the error "
          f"budget {r['total_error_rad2'] / r['exact_total_error_rad2']:.2f}x; its reconstructor "
          f"costs {judged / r['exact_total_error_rad2']:.3f}x the exact one's error")
    print(f"system document: {document_bytes} bytes, saved, loaded and saved again identically")


def draw(s: Study, path: pathlib.Path) -> None:
    """The figure: pupil, footprints at two layers, slope covariance, two error maps."""
    from matplotlib.figure import Figure  # matplotlib is imported only here

    import vedovx.plot as plot

    settings = s.settings
    # A bare Figure draws straight to the file, whatever GUI backend the machine has.
    fig = Figure(figsize=(16, 10), layout="constrained")
    axes = fig.subplots(2, 3)
    fig.suptitle(f"Laser tomography on an {TELDIAM:g} m telescope: 4 LGS at {GSALT / 1000:g} km, "
                 f"{settings.nsubx}x{settings.nsubx} subapertures, "
                 f"{settings.nactux}x{settings.nactux} actuators, default seven-layer profile",
                 fontsize=14)
    plot.pupil(s.unfiltered, axes[0, 0], kept_meas=s.kept_meas, kept_com=s.kept_com)
    for ax, altitude in zip(axes[0, 1:], FOOTPRINT_ALTITUDES):
        plot.footprints(s.unfiltered, altitude, ax)
    block = int(s.kept_meas.sum()) // 8
    plot.covariance(s.c_meas_meas, axes[1, 0], boundaries=list(range(block, 8 * block, block)),
                    labels=[f"{k // 2 + 1}{'yx'[k % 2]}" for k in range(8)],
                    title=f"c_meas_meas (exact), {len(s.c_meas_meas)} x {len(s.c_meas_meas)} "
                          "[(rad/m)²]\nLGS 1-4, y then x slopes; colours clipped at ±max/4")
    b = s.exact.budget
    estimation = float(b.noise[0] + b.tomographic[0])
    plot.error_map(b, 0, "total", axes[1, 1], system=s.unfiltered,
                   values=b.map("noise", 0) + b.map("tomographic", 0),
                   title=f"Error of the on-axis MMSE estimate (exact model):\n"
                         f"{study.nm(estimation):.0f} nm rms over the pupil, piston removed")
    excess = b.excess_over(s.exact_reference)[0]
    plot.error_map(b, 0, "total", axes[1, 2], system=s.unfiltered, cmap="viridis",
                   values=b.excess_over(s.exact_reference, per_sample=True),
                   title=f"Tomographic part: {study.nm(excess):.0f} nm rms (Strehl "
                         f"{float(study.strehl(max(excess, 0.0), SCIENCE)):.2f} at 1.65 µm),\n"
                         "the excess over the same sensors on axis at infinity")
    fig.savefig(path, dpi=80)


def main(argv: Sequence[str] | None = None) -> int:
    settings = parse_args(argv)
    settings.output.mkdir(parents=True, exist_ok=True)
    timings = Timings()
    print("vedov laser-tomography study")
    s, system = run(settings, timings)
    document_bytes = round_trip(system, settings.output, timings)
    results = results_of(s)
    report(s, results, document_bytes)

    figure = settings.output / "ltao_study.png"
    with timings.step("figure", f"drawing {figure.name}"):
        draw(s, figure)
    print("times [s]: " + ", ".join(f"{k} {v:.2f}" for k, v in timings.seconds.items()))
    (settings.output / "results.json").write_text(
        json.dumps({"results": results, "seconds": timings.seconds}, indent=2) + "\n")
    print(f"outputs in {settings.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
