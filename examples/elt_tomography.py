"""ELT laser-tomography study on a Dask cluster: slope covariances into Zarr, an MMSE reconstructor.

A 39 m telescope (central obscuration 0.28) with six laser guide stars at 90 km on a circle of 34"
radius, 68 x 68 Shack-Hartmann subapertures per star kept where their centre sees the pupil (about
40,000 slopes), a ground-layer deformable mirror of 69 x 69 actuators, an on-axis truth sensor of
40 x 40 phase samples and the default seven-layer profile. The study

1. builds the system and freezes it (vedovx.freeze): the one thing the workers are sent;
2. evaluates the slope covariance C_mm and the truth-to-slope covariance C_tm (the truth read one
   measurement step later) as Dask arrays (vedovx.dask.recon_matrices) and stores them, chunked,
   in a Zarr store on disk;
3. factors C_mm + C_nn = L L^T with dask.array.linalg.cholesky (C_nn a stated noise diagonal) and
   stores L;
4. solves for the MMSE reconstructor R = C_tm (C_mm + C_nn)^-1 with two triangular solves, and
   stores it;
5. reports the on-axis error budget of the estimate (vedovx.study: noise, tomographic, and the fit of
   the ground-layer mirror to the true phase), piston removed and averaged over the truth samples in
   the pupil, with the time of every step, the peak memory of every process and the disk used;
6. does all of it with vedov's closed-form covariance and again with the exact von Karman one
   (--model chooses one of them).

    python3 examples/elt_tomography.py                       # full size, a LocalCluster
    python3 examples/elt_tomography.py --scale 0.1           # the same study shrunk, in seconds
    python3 examples/elt_tomography.py --scheduler tcp://head:8786   # an existing cluster
    python3 examples/elt_tomography.py --method structured   # sensor blocks from lattice tables

With --method structured, the covariances' blocks between sensors on one grid are read from
per-pair tables (vedovx's method="structured"), and the study also times the same two matrices
evaluated directly (reduced to row sums on the cluster, not stored), reporting both times.

With --scheduler, the output directory must be one the workers can reach (a shared file system):
they write the Zarr store themselves. Units: metres, seconds, arcseconds; phase in radians at
500 nm.
"""

from __future__ import annotations

import argparse
import json
import math
import pathlib
import resource
import shutil
import sys
import time
import warnings
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any, Literal

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, progress, wait

import vedov
import vedovx
import vedovx.dask
import vedovx.study as study

TELDIAM = 39.0
COBS = 0.28
GSALT = 90000.0
RADIUS = 34.0  # arcsec, the guide stars' circle
COUPLING = 0.3
SCIENCE = 1.65e-6  # metres
Model = Literal["closed-form", "exact"]
MODELS: tuple[Model, ...] = ("closed-form", "exact")
Method = Literal["direct", "structured"]
METHODS: tuple[Method, ...] = ("direct", "structured")
OUTPUT = pathlib.Path(__file__).resolve().parent / "output" / "elt"


@dataclass
class Settings:
    scale: float
    scheduler: str | None
    workers: int
    threads: int
    memory_limit: str
    chunk: int
    noise: float
    output: pathlib.Path
    keep: bool
    models: tuple[Model, ...]
    method: Method = "direct"

    @property
    def nsubx(self) -> int:
        return max(2, round(68 * self.scale))

    @property
    def stars(self) -> int:
        return max(2, min(6, round(6 * math.sqrt(self.scale))))

    @property
    def nactux(self) -> int:
        return self.nsubx + 1

    @property
    def ntssamples(self) -> int:
        return max(8, round(40 * self.scale))


def parse_args(argv: Sequence[str] | None) -> Settings:
    parser = argparse.ArgumentParser(
        description="ELT laser-tomography study on Dask (see the module docstring).")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="shrinks the subapertures across (68 x scale), the truth samples "
                             "and the guide stars (6 x sqrt(scale), at least 2); default 1")
    parser.add_argument("--scheduler", default=None,
                        help="address of an existing Dask scheduler (tcp://host:port); by "
                             "default a LocalCluster is started")
    parser.add_argument("--workers", type=int, default=2,
                        help="LocalCluster worker processes (default 2)")
    parser.add_argument("--threads", type=int, default=1,
                        help="threads per LocalCluster worker (default 1)")
    parser.add_argument("--memory-limit", default="auto",
                        help='memory per LocalCluster worker, e.g. "9GiB" (default: the '
                             "machine's memory shared among the workers)")
    parser.add_argument("--chunk", type=int, default=4096,
                        help="largest block edge in elements (default 4096: 128 MiB blocks)")
    parser.add_argument("--noise", type=float, default=0.1,
                        help="rms of the phase difference one slope measures across its "
                             "subaperture, rad at 500 nm (default 0.1)")
    parser.add_argument("--output", type=pathlib.Path, default=OUTPUT,
                        help="directory for the Zarr store, the system and results.json")
    parser.add_argument("--keep", action="store_true",
                        help="keep the Zarr store (by default it is removed at the end)")
    parser.add_argument("--model", choices=(*MODELS, "both"), default="both",
                        help="the covariance model: vedov's closed form, the exact von Karman "
                             "one, or both in turn (default)")
    parser.add_argument("--method", choices=METHODS, default="direct",
                        help="how the covariances are evaluated (default direct); structured "
                             "also reports the direct evaluation's time")
    args = parser.parse_args(argv)
    if not 0 < args.scale <= 1 or args.workers < 1 or args.threads < 1 or args.chunk < 1:
        parser.error("need 0 < --scale <= 1, --workers >= 1, --threads >= 1 and --chunk >= 1")
    if args.noise < 0:
        parser.error("need --noise >= 0")
    models = tuple(m for m in MODELS if args.model in (m, "both"))
    return Settings(args.scale, args.scheduler, args.workers, args.threads, args.memory_limit,
                    args.chunk, args.noise, args.output, args.keep, models,
                    next(m for m in METHODS if m == args.method))


@dataclass
class Timings:
    seconds: dict[str, float] = field(default_factory=dict)

    @contextmanager
    def step(self, name: str, what: str) -> Iterator[None]:
        """A line before the step, its wall time after it."""
        print(f"  {name}: {what}", flush=True)
        start = time.perf_counter()
        yield
        self.seconds[name] = time.perf_counter() - start
        print(f"  {name}: {self.seconds[name]:.2f} s", flush=True)


def build_system(settings: Settings) -> vedov.SystemGeom:
    """The telescope, its sensors and mirror; slopes kept where the subaperture sees the pupil."""
    system = vedov.SystemGeom.new_empty()
    system.set_pupil(TELDIAM, COBS)
    system.set_dt(0.001, 0.002)
    system.add_cov_layer()
    vedovx.add_meas(system, TELDIAM, settings.nsubx,
                    vedovx.asterism(settings.stars, RADIUS, altitude=GSALT))
    system.filter_meas(vedovx.projection(system, "meas_lines") == 1.0)
    vedovx.add_ts(system, TELDIAM, settings.ntssamples, [(0.0, 0.0)])
    vedovx.add_com(system, TELDIAM / settings.nsubx, settings.nactux, COUPLING)
    return system


def blocks(count: int, chunk: int) -> tuple[int, int]:
    """Equal blocks of at most `chunk` covering `count`: (edge, padded count), as Cholesky needs."""
    nblocks = max(1, -(-count // chunk))
    edge = -(-count // nblocks)
    return edge, edge * nblocks


def with_diagonal(c: da.Array, count: int, noise_var: float) -> da.Array:
    """c plus noise_var on its first `count` diagonal elements and 1.0 on the rest (padding)."""

    def add(block: np.ndarray[Any, Any], block_info: Any = None) -> np.ndarray[Any, Any]:
        (r0, r1), (c0, c1) = block_info[0]["array-location"]
        start, stop = max(r0, c0), min(r1, c1)
        if start >= stop:
            return block
        block = block.copy()
        index = np.arange(start, stop)
        block[index - r0, index - c0] += np.where(index < count, noise_var, 1.0)
        return block

    return c.map_blocks(add, dtype=c.dtype)


def padded(c: da.Array, rows: int, cols: int, chunks: tuple[int, int]) -> da.Array:
    """c with zero rows and columns appended to (rows, cols), in blocks of `chunks`."""
    extra = ((0, rows - c.shape[0]), (0, cols - c.shape[1]))
    return da.pad(c, extra).rechunk(chunks)


def peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def disk_use(path: pathlib.Path) -> int:
    return sum(f.stat().st_blocks * 512 for f in path.rglob("*") if f.is_file())


def stored(client: Client, what: str, arrays: dict[str, da.Array], store: pathlib.Path) -> None:
    """Writes each array into the store (chunked as it is, uncompressed) with the progress bar."""
    writes = [da.to_zarr(a, str(store), component=name, compute=False, compressors=None,
                         mode="a")
              for name, a in arrays.items()]
    futures = client.compute(writes)
    print(f"    {what}:", flush=True)
    progress(futures)
    print(flush=True)
    wait(futures)
    for future in futures:
        future.result()  # raises a failed block's exception here


@dataclass
class Results:
    slopes: int
    truth_samples: int
    noise_var: float
    uncorrected_rad2: float
    error_rad2: float
    error_nm: float
    strehl_1650nm: float
    noise_rad2: float
    tomographic_rad2: float
    fitting_rad2: float
    budget_total_rad2: float


def frozen_system(settings: Settings, timings: Timings) -> vedovx.FrozenSystem:
    with timings.step("system", f"39 m, {settings.stars} LGS at 90 km on a 34\" circle, "
                                f"{settings.nsubx} x {settings.nsubx} subapertures"):
        frozen = vedovx.freeze(build_system(settings))
        (settings.output / "system.yaml").write_text(frozen.document, encoding="utf-8")
    return frozen


def reconstruction(settings: Settings, frozen: vedovx.FrozenSystem, model: Model, client: Client,
                   timings: Timings) -> tuple[Results, study.Budget]:
    """The MMSE reconstructor with the covariances of `model`, and its budget. The closed form's
    arrays keep their plain names in the store, the exact model's are prefixed with exact_."""
    store = settings.output / "elt.zarr"
    prefix, step = ("", "") if model == "closed-form" else ("exact_", "exact ")
    counts = frozen.counts
    n = counts.meas
    subaperture = TELDIAM / settings.nsubx
    noise_var = (settings.noise / subaperture) ** 2
    edge, npad = blocks(n, settings.chunk)
    if not prefix:
        print(f"    {n} slopes, {counts.ts} truth samples, {counts.com} actuators; the frozen "
              f"system is {len(frozen.document) / 1e6:.1f} MB; blocks of {edge} x {edge}")

    def name(component: str) -> str:
        return prefix + component

    with timings.step(f"{step}covariances", f"C_mm ({n} x {n}) and C_tm ({counts.ts} x {n}) "
                                            f"into {store.name}, {model} model"):
        recon = vedovx.dask.recon_matrices(frozen, chunks=(edge, edge), model=model,
                                           method=settings.method)
        stored(client, f"evaluating ({settings.method}) and storing",
               {name("c_meas_meas"): recon.c_meas_meas, name("c_ts_meas"): recon.c_ts_meas},
               store)

    if settings.method == "structured":
        with timings.step(f"{step}covariances (direct)", "the same two matrices, every element "
                                                         "evaluated, reduced to row sums"):
            direct = vedovx.dask.recon_matrices(frozen, chunks=(edge, edge), model=model)
            futures = client.compute([direct.c_meas_meas.sum(axis=1),
                                      direct.c_ts_meas.sum(axis=1)])
            progress(futures)
            print(flush=True)
            sums = [future.result() for future in futures]
            stored_sums = [da.from_zarr(str(store), component=name(c)).sum(axis=1).compute()
                           for c in ("c_meas_meas", "c_ts_meas")]
            gap = max(float(np.abs(a - b).max() / np.abs(a).max())
                      for a, b in zip(sums, stored_sums))
            print(f"    row sums of the two ways differ by {gap:.1e} of the largest")

    with timings.step(f"{step}cholesky", "L L^T = C_mm + C_nn"):
        c_mm = da.from_zarr(str(store), component=name("c_meas_meas"))
        c = with_diagonal(padded(c_mm, npad, npad, (edge, edge)), n, noise_var)
        stored(client, "factoring", {name("cholesky"): da.linalg.cholesky(c, lower=True)}, store)

    with timings.step(f"{step}reconstructor", "R = C_tm (L L^T)^-1: two triangular solves"):
        low = da.from_zarr(str(store), component=name("cholesky"))
        c_tm = da.from_zarr(str(store), component=name("c_ts_meas"))
        c_mt = padded(c_tm.T, npad, counts.ts, (edge, counts.ts))
        x = da.linalg.solve_triangular(low, c_mt, lower=True)
        r_t = da.linalg.solve_triangular(low.T, x, lower=False)
        stored(client, "solving",
               {name("reconstructor"): r_t[:n].T.rechunk((counts.ts, edge))}, store)

    with timings.step(f"{step}error", "the budget at the truth samples in the pupil"):
        seen = vedovx.projection(frozen, "ts") == 1.0
        r = da.from_zarr(str(store), component=name("reconstructor"))[seen]
        c_tm = da.from_zarr(str(store), component=name("c_ts_meas"))[seen]
        c_tt = vedovx.dask.covariance(frozen, "ts", "ts", model=model)[seen][:, seen]
        # For the MMSE reconstructor the estimation error is C_tt - R C_mt, its noise part
        # R C_nn R^T; the mirror's fit of the true phase is a least-squares projection.
        explained, propagated, c_tt = dask.compute(r @ c_tm.T, noise_var * (r @ r.T), c_tt)
        mirror = vedovx.interaction(frozen, "ts", rows_index=seen)
        fitting = study.fitting_error(c_tt, mirror, study.fit_matrix(mirror))
        budget = study.Budget.from_errors(c_tt, c_tt - explained, propagated, fitting,
                                          wavelength=SCIENCE)
    error = float(budget.noise[0] + budget.tomographic[0])
    return Results(n, int(seen.sum()), noise_var, float(budget.uncorrected[0]), error,
                   float(study.nm(error)), float(study.strehl(error, SCIENCE)),
                   float(budget.noise[0]), float(budget.tomographic[0]),
                   float(budget.term("fitting")[0]), float(budget.total[0])), budget


def memory_report(client: Client, local: bool) -> dict[str, int]:
    """Peak resident memory of this process (with the scheduler when the cluster is local), of
    the scheduler otherwise, and of every worker."""
    peaks = {"client and scheduler" if local else "client": peak_rss()}
    if not local:
        peaks["scheduler"] = client.run_on_scheduler(peak_rss)
    for address, peak in sorted(client.run(peak_rss).items()):
        peaks[f"worker {address}"] = peak
    return peaks


def main(argv: Sequence[str] | None = None) -> int:
    settings = parse_args(argv)
    # Every graph holds the frozen system (16 MB at full size) once, by design: Dask's advice
    # against large graphs is about data repeated in them.
    warnings.filterwarnings("ignore", message="Sending large graph")
    settings.output.mkdir(parents=True, exist_ok=True)
    timings = Timings()
    print("vedov ELT laser-tomography study on Dask")
    cluster: LocalCluster | None = None
    with timings.step("cluster", settings.scheduler or
                      f"LocalCluster, {settings.workers} worker processes of "
                      f"{settings.threads} thread(s)"):
        if settings.scheduler is None:
            cluster = LocalCluster(n_workers=settings.workers,
                                   threads_per_worker=settings.threads,
                                   memory_limit=settings.memory_limit, dashboard_address=":0")
        client = Client(settings.scheduler or cluster)
    store = settings.output / "elt.zarr"
    if store.exists():
        shutil.rmtree(store)
    found = {}
    disk = 0
    try:
        frozen = frozen_system(settings, timings)
        for model in settings.models:
            found[model] = reconstruction(settings, frozen, model, client, timings)
            # One model's arrays on disk at a time, unless they are kept.
            disk = max(disk, disk_use(store))
            if not settings.keep:
                shutil.rmtree(store)
        peaks = memory_report(client, cluster is not None)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    print()
    for model, (results, budget) in found.items():
        print(f"{model} covariance: {results.slopes} slopes; noise {settings.noise} rad rms per "
              f"slope's phase difference, {results.noise_var:.4g} (rad/m)^2 on the diagonal")
        print(f"uncorrected phase, piston removed: {results.uncorrected_rad2:.1f} rad^2")
        print(f"on-axis error of the MMSE estimate (one measurement step ahead), over "
              f"{results.truth_samples} truth samples: {results.error_rad2:.3f} rad^2 "
              f"({results.error_nm:.1f} nm rms), Marechal Strehl {results.strehl_1650nm:.3f} at "
              f"{SCIENCE * 1e9:.0f} nm")
        print(budget)
    print("times [s]: " + ", ".join(f"{k} {v:.1f}" for k, v in timings.seconds.items()))
    for step in ("" if m == "closed-form" else "exact " for m in found):
        if settings.method == "structured":
            fast = timings.seconds[f"{step}covariances"]
            slow = timings.seconds[f"{step}covariances (direct)"]
            print(f"{step}covariances: structured {fast:.1f} s (evaluated and stored), direct "
                  f"{slow:.1f} s (evaluated only): {slow / fast:.1f}x")
    print("peak RSS: " + ", ".join(f"{k} {v / 2**30:.2f} GiB" for k, v in peaks.items()))
    print(f"Zarr store: {disk / 2**30:.2f} GiB on disk at most"
          + ("" if settings.keep else " (removed after each model)"))
    # The first model's figures under "results" (the closed form's unless --model exact).
    ordered = [vars(results) for results, _ in found.values()]
    (settings.output / "results.json").write_text(json.dumps({
        "results": ordered[0], "models": {m: vars(r) for m, (r, _) in found.items()},
        "seconds": timings.seconds, "peak_rss": peaks, "disk_bytes": disk}, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
