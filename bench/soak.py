"""Soak: random systems and random requests to vedovx for a given time, each result compared bit for
bit with vedov's lists or with the same request whole; resident memory sampled, flat within 2 %
(and one MiB, the step in which the allocators' pools grow) after warm-up; no mismatch, no crash.

Systems hold every measurement kind (Zero, Phase, SlopeTwoLine, SlopeTwoEdge at finite and infinite
altitude), every actuator kind, 0 to 4 layers, a pupil with spiders or none, and random time steps;
some are passed frozen. Requests: covariance (both models, the product lags and random ones),
interaction, projection and the product sets; whole or in blocks (slices, index arrays with
negatives and repeats, masks); into new arrays, views into larger arrays (the margin must stay
untouched), reversed views and memory maps; float64 and float32; 1 to N threads, far more than
the process has CPUs, or the pool;
Ctrl-C delivered at random moments, and progress callables that raise.

    python3 bench/soak.py --minutes M [--seed S]

With --dask, the same systems as Dask arrays on a LocalCluster of two worker processes, a random
worker killed every few seconds, every block compared with the in-memory array:

    python3 bench/soak.py --dask --minutes 2 [--kill-every 3]

It prints one JSON line of figures last and exits with status 1 on any mismatch or memory growth.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import logging
import os
import random
import signal
import statistics
import sys
import tempfile
import threading
import time
from typing import Any

import numpy as np

import vedov
import vedovx

# -- random systems -----------------------------------------------------------------------------


def _number(value: float) -> str:
    return repr(float(value))


def _line(rng: random.Random, tilt: float = 3e-5) -> str:
    return (f"{{x0: {_number(rng.uniform(-4, 4))}, xz: {_number(rng.uniform(-tilt, tilt))}, "
            f"y0: {_number(rng.uniform(-4, 4))}, yz: {_number(rng.uniform(-tilt, tilt))}}}")


def _measurement(rng: random.Random, kinds: tuple[str, ...]) -> str:
    kind = rng.choice(kinds)
    if kind == "Zero":
        return "- Zero"
    if kind == "Phase":
        return f"- !Phase\n  line: {_line(rng)}"
    if kind == "SlopeTwoLine":
        return f"- !SlopeTwoLine\n  line_pos: {_line(rng)}\n  line_neg: {_line(rng)}"
    angle = rng.uniform(0, 2 * np.pi)
    altitude = rng.choice([".inf", _number(rng.uniform(8e4, 1e5))])
    return (f"- !SlopeTwoEdge\n  central_line: {_line(rng)}\n"
            f"  edge_length: {_number(rng.uniform(0.2, 1.0))}\n"
            f"  edge_separation: {_number(rng.uniform(0.2, 1.0))}\n"
            f"  gradient_axis: {{x: {_number(np.cos(angle))}, y: {_number(np.sin(angle))}}}\n"
            f"  npoints: {rng.randint(1, 4)}\n  altitude: {altitude}")


def _actuator(rng: random.Random) -> str:
    kind = rng.choice(["Zero", "Gaussian", "Gaussian", "Gaussian", "TipTilt"])
    if kind == "Zero":
        return "- Zero"
    if kind == "TipTilt":
        return (f"- !TipTilt {{unit_response: {{x: {_number(rng.uniform(-2, 2))}, "
                f"y: {_number(rng.uniform(-2, 2))}}}}}")
    return (f"- !Gaussian {{sigma: {_number(rng.uniform(0.2, 1.0))}, position: "
            f"{{x: {_number(rng.uniform(-4, 4))}, y: {_number(rng.uniform(-4, 4))}, "
            f"z: {_number(rng.choice([0.0, rng.uniform(0, 1e4)]))}}}, "
            f"microns_per_volt: {_number(rng.uniform(0.5, 2))}}}")


def _sequence(name: str, items: list[str]) -> str:
    return f"{name}:\n" + "\n".join(items) if items else f"{name}: []"


def random_document(rng: random.Random) -> str:
    """A system document with random entries of every kind (a few dozen of each at most)."""
    every = ("Zero", "Phase", "SlopeTwoLine", "SlopeTwoEdge", "SlopeTwoEdge")
    meas = [_measurement(rng, every) for _ in range(rng.randint(0, 60))]
    phi = [_measurement(rng, ("Phase", "Phase", "Zero")) for _ in range(rng.randint(0, 40))]
    ts = [_measurement(rng, every) for _ in range(rng.randint(0, 20))]
    com = [_actuator(rng) for _ in range(rng.randint(0, 30))]
    layers = [f"- {{r0: {_number(rng.uniform(0.1, 2))}, l0: {_number(rng.uniform(10, 80))}, "
              f"alt: {_number(rng.uniform(0, 2e4))}, v: {{x: {_number(rng.uniform(-30, 30))}, "
              f"y: {_number(rng.uniform(-30, 30))}}}}}" for _ in range(rng.randint(0, 4))]
    if rng.random() < 0.3:
        pupil = "pupil: null"
    else:
        outer = rng.uniform(2, 5)
        spiders = [f"  - [{{x: 0.0, y: 0.0}}, {{x: {_number(rng.uniform(-outer, outer))}, "
                   f"y: {_number(rng.uniform(-outer, outer))}}}]" for _ in range(rng.randint(0, 4))]
        pupil = (f"pupil:\n  rad_outer: {_number(outer)}\n  rad_inner: "
                 f"{_number(rng.uniform(0, 0.4) * outer)}\n  spider_thickness: "
                 f"{_number(rng.uniform(0, 0.2))}\n" + _sequence("  spiders", spiders))
    # One line per measurement, as the builders keep them (a hand-written document may differ).
    lines = [f"- {_line(rng)}" for _ in range(len(meas) + rng.choice([0, 0, 0, -1, 2]))]
    return "\n".join([
        _sequence("meas", meas), _sequence("phi", phi), _sequence("ts", ts),
        _sequence("com", com), _sequence("cov_model", layers), pupil,
        _sequence("meas_lines", lines),
        f"simul_dt: {_number(rng.choice([0.0, rng.uniform(0, 0.05)]))}",
        f"meas_dt: {_number(rng.choice([0.0, rng.uniform(0, 0.05)]))}", ""])


def built_system(rng: random.Random) -> vedov.SystemGeom:
    """A system as the builders make it: slopes of a few guide stars, phase and truth samples, a
    deformable mirror and a tip-tilt mirror, the default layers."""
    system = vedov.SystemGeom.new_empty()
    system.set_pupil(8.0, 0.14)
    system.set_dt(rng.uniform(0, 0.01), rng.uniform(0, 0.02))
    system.add_cov_layer()
    stars = [(rng.uniform(-20, 20), rng.uniform(-20, 20)) for _ in range(rng.randint(1, 3))]
    n = len(stars)
    system.add_meas(8.0, rng.choice([2, 3, 4, 5, 6, 6, 12]), stars,
                    rng.choice([90000.0, float("inf")]),
                    [(0.0, 0.0)] * n, [0.0] * n, [0.0] * n)
    system.add_phi(8.0, rng.randint(2, 6))
    system.add_ts(8.0, rng.randint(2, 4), [(0.0, 0.0)])
    system.add_com(1.0, rng.randint(2, 6), (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
    system.add_ttdm(1e-5)
    return system


def load(document: str, directory: str) -> vedov.SystemGeom:
    path = os.path.join(directory, "system.yaml")
    with open(path, "w", encoding="utf-8") as file:
        file.write(document)
    return vedov.SystemGeom.load_yaml(path)


# -- references ---------------------------------------------------------------------------------


class References:
    """What a system's requests are compared with: vedov's lists where vedov offers the matrix,
    else the same request evaluated whole (kept while the system is in use)."""

    def __init__(self, system: vedov.SystemGeom) -> None:
        self.system = system
        self.info = vedovx.info(system)
        self.sizes = {"meas": self.info.meas, "phi": self.info.phi, "ts": self.info.ts,
                      "com": self.info.com, "meas_lines": self.info.meas_lines}
        recon, phase = vedov.ReconMatrices.new(system), vedov.SystemMatrices.new(system)
        steps = {"": 0.0, "simul_dt": self.info.simul_dt, "meas_dt": self.info.meas_dt}
        self.known: dict[tuple[Any, ...], np.ndarray] = {}
        for name, fields in (("ReconMatrices", recon), ("SystemMatrices", phase)):
            for step in vedovx._registry.PRODUCT_SETS[name]:
                values = np.array(getattr(fields, step.field), dtype=np.float64)
                if step.product != "projection":
                    assert step.cols is not None
                    values = values.reshape(self.sizes[step.rows], self.sizes[step.cols])
                    key = self._key(step.product, step.rows, step.cols, steps[step.lag or ""],
                                    "closed-form")
                    self.known[key] = values
                elif self.info.pupil is not None:  # without one, vedov's 1.0s follow its rule
                    self.known[self._key("projection", step.rows, None, 0.0, "")] = values
                self.known[("field", name, step.field)] = values
        self.known[self._key("interaction", "meas", "com", 0.0, "")] = np.array(
            system.imat(), dtype=np.float64).reshape(self.info.meas, self.info.com)
        self.known[self._key("projection", "meas_lines", None, 0.0, "")] = np.array(
            system.pmeas(), dtype=np.float64)

    @staticmethod
    def _key(product: str, rows: str, cols: str | None, lag: float, model: str) -> tuple[Any, ...]:
        if product != "covariance":
            lag, model = 0.0, "closed-form"
        return (product, rows, cols if product == "covariance" else None, lag, model)

    def whole(self, product: str, rows: str, cols: str | None, lag: float,
              model: str) -> np.ndarray:
        key = self._key(product, rows, cols, lag, model)
        if key not in self.known:
            if product == "covariance":
                assert cols is not None
                self.known[key] = vedovx.covariance(self.system, rows, cols, lag=lag,
                                                    model=model)
            elif product == "interaction":
                self.known[key] = vedovx.interaction(self.system, rows)
            else:
                self.known[key] = vedovx.projection(self.system, rows)
        return self.known[key]


# -- requests -----------------------------------------------------------------------------------


class Stop(Exception):
    """Raised by a progress callable on purpose."""


class Interrupts:
    """Ctrl-C (SIGINT) sent to the main thread at a chosen moment; the handler raises
    KeyboardInterrupt only while a request is armed, so that a late one of ours is dropped. A
    Ctrl-C from elsewhere (`outside`) ends the soak."""

    def __init__(self) -> None:
        self.armed = self.sent = self.outside = False
        self.main = threading.main_thread().ident
        signal.signal(signal.SIGINT, self._handler)

    def _handler(self, signum: int, frame: Any) -> None:
        ours, self.sent = self.sent, False
        self.outside = self.outside or not ours
        if self.armed or not ours:
            raise KeyboardInterrupt

    def _send(self) -> None:
        assert self.main is not None
        self.sent = True
        signal.pthread_kill(self.main, signal.SIGINT)

    def after(self, seconds: float) -> threading.Timer:
        timer = threading.Timer(seconds, self._send)
        timer.start()
        return timer


def selection(rng: random.Random, entries: int) -> tuple[Any, np.ndarray]:
    """A random rows_index or cols_index and the indices it chooses."""
    all_entries = np.arange(entries)
    choice = rng.choice(["whole", "whole", "slice", "indices", "mask"])
    if choice == "whole" or entries == 0:
        return None, all_entries
    if choice == "slice":
        step = rng.choice([1, 1, 2, 3, -1, -2])
        chosen: Any = slice(rng.randint(-entries, entries), rng.randint(-entries, entries), step)
        return chosen, all_entries[chosen]
    if choice == "indices":
        indices = np.array([rng.randint(-entries, entries - 1) for _ in range(rng.randint(0, 12))],
                           dtype=rng.choice([np.int64, np.int32, np.intp]))
        return indices, all_entries[indices]
    mask = np.array([rng.random() < 0.5 for _ in range(entries)], dtype=bool)
    return mask, all_entries[mask]


class Storage:
    """Where a result goes: a new array, a view into a larger array (its margin checked), a
    reversed view, or a memory map."""

    def __init__(self, rng: random.Random, shape: tuple[int, ...], dtype: np.dtype[Any],
                 directory: str) -> None:
        self.kind = rng.choice(["new", "new", "view", "reversed", "memmap"])
        self.dtype, self.path = dtype, None
        self.out: Any = None
        self.frame: np.ndarray | None = None
        if self.kind == "view":
            self.inner = tuple(slice(m, m + n) for n, m in
                               zip(shape, (rng.randint(0, 3) for _ in shape)))
            self.frame = np.full(tuple(n + 4 for n in shape), np.nan, dtype)
            self.out = self.frame[self.inner]
        elif self.kind == "reversed":
            self.out = np.full(shape, np.nan, dtype)[::-1]
        elif self.kind == "memmap" and 0 not in shape:
            self.path = os.path.join(directory, "out.bin")
            self.out = np.memmap(self.path, dtype=dtype, mode="w+", shape=shape)
        else:
            self.kind = "new"

    def arguments(self) -> dict[str, Any]:
        return {"dtype": self.dtype} if self.out is None else {"out": self.out}

    def margin_untouched(self) -> bool:
        if self.frame is None:
            return True
        margin = np.isnan(self.frame)
        margin[self.inner] = True
        return bool(margin.all())

    def close(self) -> None:
        if self.path is not None:
            del self.out
            os.unlink(self.path)


def same_bits(result: np.ndarray, expected: np.ndarray) -> bool:
    """Equal bit for bit; float32 results equal the float64 value rounded once."""
    expected = np.asarray(expected, np.float64).astype(result.dtype)
    if result.shape != expected.shape:
        return False
    width = np.uint64 if result.dtype == np.float64 else np.uint32
    return bool((np.ascontiguousarray(result).view(width) == expected.view(width)).all())


class Soak:
    def __init__(self, rng: random.Random, threads: int, directory: str) -> None:
        self.rng, self.threads, self.directory = rng, threads, directory
        self.interrupts = Interrupts()
        self.figures = {"requests": 0, "compared": 0, "interrupted": 0, "stopped": 0,
                        "systems": 0, "mismatches": 0}
        self.mismatches: list[str] = []
        self.references: References | None = None
        self.frozen: vedovx.FrozenSystem | None = None

    def new_system(self) -> None:
        system = (built_system(self.rng) if self.rng.random() < 0.25 else
                  load(random_document(self.rng), self.directory))
        self.references = References(system)
        self.frozen = vedovx.freeze(system)
        self.figures["systems"] += 1

    def request(self) -> None:
        rng, refs = self.rng, self.references
        assert refs is not None and self.frozen is not None
        info = refs.info
        sizes = {"meas": info.meas, "phi": info.phi, "ts": info.ts, "com": info.com,
                 "meas_lines": info.meas_lines}
        system = self.frozen if rng.random() < 0.2 else refs.system
        threads = rng.choice([None, None, *range(1, self.threads + 1), 2**16 + 1])
        dtype = np.dtype(rng.choice([np.float64, np.float64, np.float32]))
        model = rng.choice(vedovx._registry.MODELS)
        product = rng.choice(["covariance", "covariance", "covariance", "interaction",
                              "projection", "set"])
        progress, reports = self._progress()
        if product == "set":
            name = rng.choice(["ReconMatrices", "SystemMatrices"])
            call = (vedovx.recon_matrices if name == "ReconMatrices" else vedovx.system_matrices)
            result = self._run(lambda: call(system, dtype=dtype, threads=threads, model=model,
                                            progress=progress))
            if result is None:
                return
            for step in vedovx._registry.PRODUCT_SETS[name]:
                if step.product == "covariance" and model != "closed-form":
                    expected = refs.whole("covariance", step.rows, step.cols,
                                          getattr(info, step.lag) if step.lag else 0.0, model)
                else:
                    expected = refs.known[("field", name, step.field)]
                self._compare(f"{name}.{step.field} {model} {dtype}",
                              getattr(result, step.field), expected)
            self._check_reports(reports)
            return
        rows = rng.choice(vedovx._registry.MEASUREMENTS if product != "projection"
                          else ("meas_lines", "phi", "ts"))
        cols = rng.choice(vedovx._registry.MEASUREMENTS) if product == "covariance" else None
        lag = rng.choice([0.0, info.simul_dt, info.meas_dt, rng.uniform(-0.05, 0.05)])
        rows_index, rows_chosen = selection(rng, sizes[rows])
        arguments: dict[str, Any] = {"rows_index": rows_index, "threads": threads,
                                     "progress": progress}
        shape: tuple[int, ...] = (rows_chosen.size,)
        cols_chosen = None
        if product != "projection":
            cols_index, cols_chosen = selection(rng, sizes[cols or "com"])
            arguments["cols_index"] = cols_index
            shape = (rows_chosen.size, cols_chosen.size)
        storage = Storage(rng, shape, dtype, self.directory)
        arguments.update(storage.arguments())
        if product == "covariance":
            assert cols is not None
            result = self._run(lambda: vedovx.covariance(system, rows, cols, lag=lag, model=model,
                                                         **arguments))
        elif product == "interaction":
            result = self._run(lambda: vedovx.interaction(system, rows, **arguments))
        else:
            result = self._run(lambda: vedovx.projection(system, rows, **arguments))
        if result is not None:
            whole = refs.whole(product, rows, cols, lag, model)
            expected = (whole[rows_chosen] if cols_chosen is None else
                        whole[np.ix_(rows_chosen, cols_chosen)])
            label = (f"{product} {rows} x {cols} lag {lag!r} {model} {dtype} {storage.kind} "
                     f"threads {threads} rows {rows_index!r}")
            self._compare(label, result, expected)
            if storage.out is not None and result is not storage.out:
                self._mismatch(f"{label}: the result is not out")
            if not storage.margin_untouched():
                self._mismatch(f"{label}: written outside out")
            self._check_reports(reports)
        storage.close()

    def _progress(self) -> tuple[Any, list[tuple[int, int]]]:
        """None, a callable that records its reports, or one that raises Stop at a random call."""
        reports: list[tuple[int, int]] = []
        kind = self.rng.random()
        if kind < 0.6:
            return None, reports
        limit = self.rng.randint(0, 3) if kind < 0.75 else None

        def report(done: int, total: int) -> None:
            reports.append((done, total))
            if limit is not None and len(reports) > limit:
                raise Stop
        return report, reports

    def _check_reports(self, reports: list[tuple[int, int]]) -> None:
        done = [d for d, _ in reports]
        if reports and (done != sorted(done) or reports[-1][0] != reports[-1][1]):
            self._mismatch(f"progress reports out of order or short of the total: {reports}")

    def _run(self, call: Any) -> Any:
        """The call's result, or None when it was interrupted (Ctrl-C) or stopped (its progress
        callable raised); the next request then shows the system still works."""
        self.figures["requests"] += 1
        timer = None
        if self.rng.random() < 0.1:
            timer = self.interrupts.after(self.rng.uniform(0.0, 0.03))
        try:
            self.interrupts.armed = True
            try:
                return call()
            finally:
                self.interrupts.armed = False
        except KeyboardInterrupt:
            if self.interrupts.outside:
                raise
            self.figures["interrupted"] += 1
        except Stop:
            self.figures["stopped"] += 1
        finally:
            if timer is not None:
                timer.cancel()
                timer.join()
        return None

    def _compare(self, label: str, result: np.ndarray, expected: np.ndarray) -> None:
        self.figures["compared"] += 1
        if not same_bits(result, expected):
            self._mismatch(f"{label}: differs from its reference")

    def _mismatch(self, text: str) -> None:
        self.figures["mismatches"] += 1
        if len(self.mismatches) < 20:
            self.mismatches.append(text)
            print("MISMATCH", text, file=sys.stderr, flush=True)


def resident_bytes() -> int:
    """Resident memory once the C heap has given its free pages back: what a leak grows, without
    what the allocator merely keeps after the last large system."""
    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except AttributeError:  # not glibc
        pass
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def soak(args: argparse.Namespace) -> dict[str, Any]:
    rng = random.Random(args.seed)
    # Parsed copies of frozen systems are kept by design (up to a bound): keep only the last, so
    # that resident memory shows what is not given back.
    vedovx.thawed_cache(0)
    deadline = time.monotonic() + 60.0 * args.minutes
    warm = time.monotonic() + max(10.0, 0.25 * 60.0 * args.minutes)
    samples: list[tuple[float, int]] = []
    with tempfile.TemporaryDirectory(prefix="vedovx-soak-") as directory:
        run = Soak(rng, args.threads, directory)
        next_sample = 0.0
        while time.monotonic() < deadline:
            if run.references is None or rng.random() < 0.03:
                now = time.monotonic()
                if now >= next_sample:
                    # Sampled between systems, once the last one's arrays are gone: what remains
                    # is what the process keeps, not the size of the system at hand.
                    run.references = run.frozen = None
                    samples.append((now, resident_bytes()))
                    next_sample = now + 1.0
                run.new_system()
            run.request()
    after = [rss for t, rss in samples if t >= warm]
    half = len(after) // 2
    early = statistics.median(after[:half]) if half else float("nan")
    late = statistics.median(after[half:]) if half else float("nan")
    return {**run.figures, "first_mismatches": run.mismatches, "rss_start": samples[0][1],
            "rss_after_warm_up": early, "rss_end": late, "rss_samples": len(samples),
            "rss_trace_mb": [round(rss / 2**20, 1)
                             for _, rss in samples[::max(1, len(samples) // 20)]],
            "rss_growth": late / early - 1.0 if half else None}


# -- the Dask variant ---------------------------------------------------------------------------


def _block_size(rng: random.Random, length: int) -> int:
    """A block size cutting an axis of `length` into 1 to 6 blocks."""
    return max(1, -(-length // rng.randint(1, 6)))


def _computed(client: Any, array: Any, timeout: float) -> np.ndarray | None:
    """Every block of `array` computed on the cluster and fetched as soon as it is done (a block
    left on a worker is lost with it and computed again), put together; None after `timeout`
    seconds without the last block."""
    import distributed

    futures = client.compute(list(array.to_delayed().ravel()))
    where = {future.key: i for i, future in enumerate(futures)}
    blocks: list[Any] = [None] * len(futures)
    try:
        for future, block in distributed.as_completed(futures, with_results=True,
                                                       timeout=timeout):
            blocks[where[future.key]] = block
    except TimeoutError:
        return None
    rows = array.numblocks[0]
    nested = [blocks[i * (len(blocks) // rows):(i + 1) * (len(blocks) // rows)]
              for i in range(rows)] if array.ndim == 2 else blocks
    return np.block(nested)


def soak_dask(args: argparse.Namespace) -> dict[str, Any]:
    import dask
    import distributed

    import vedovx.dask

    rng = random.Random(args.seed)
    figures: dict[str, Any] = {"arrays": 0, "blocks": 0, "mismatches": 0, "kills": 0,
                               "systems": 0, "slowest_array_seconds": 0.0}
    mismatches: list[str] = []
    stop = threading.Event()
    # A block may be lost more often than distributed's default allows before giving up on it.
    dask.config.set({"distributed.scheduler.allowed-failures": 50})
    deadline = time.monotonic() + 60.0 * args.minutes
    # Workers' errors about the killed ones are expected: only a critical one is shown.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0",
                                  silence_logs=logging.CRITICAL) as cluster, \
            distributed.Client(cluster) as client, \
            tempfile.TemporaryDirectory(prefix="vedovx-soak-") as directory:

        def killer() -> None:
            chooser = random.Random(args.seed + 1)
            while not stop.wait(args.kill_every) and time.monotonic() < deadline:
                # One at a time, and only while both are up at the scheduler: the other carries
                # the work on meanwhile.
                if len(cluster.scheduler.workers) < 2:
                    continue
                pids = [nanny.process.pid for nanny in list(cluster.workers.values())
                        if getattr(nanny, "process", None) is not None and nanny.process.pid]
                if len(pids) == 2:
                    try:
                        os.kill(chooser.choice(pids), signal.SIGKILL)
                        figures["kills"] += 1
                    except ProcessLookupError:  # already gone: the nanny restarts it
                        pass

        def mismatch(text: str) -> None:
            figures["mismatches"] += 1
            mismatches.append(text)
            print("MISMATCH", text, file=sys.stderr, flush=True)

        thread = threading.Thread(target=killer, daemon=True)
        thread.start()
        while time.monotonic() < deadline:
            system = (built_system(rng) if rng.random() < 0.5 else
                      load(random_document(rng), directory))
            frozen = vedovx.freeze(system)
            figures["systems"] += 1
            largest = max(frozen.counts.meas, frozen.counts.phi, frozen.counts.ts,
                          frozen.counts.com, 1)
            model = rng.choice(vedovx._registry.MODELS)
            chunks = rng.choice([_block_size(rng, largest), "auto",
                                 (_block_size(rng, largest), _block_size(rng, largest))])
            kind = rng.choice(["covariance", "interaction", "set"])
            pairs: list[tuple[str, Any, np.ndarray]] = []
            if kind == "covariance":
                rows, cols = rng.choice(["meas", "phi", "ts"]), rng.choice(["meas", "phi", "ts"])
                lag = rng.uniform(0, 0.05)
                pairs.append((f"covariance {rows} x {cols}",
                              vedovx.dask.covariance(frozen, rows, cols, lag=lag, model=model,
                                                     chunks=chunks),
                              vedovx.covariance(system, rows, cols, lag=lag, model=model)))
            elif kind == "interaction":
                rows = rng.choice(["meas", "phi", "ts"])
                pairs.append((f"interaction {rows}", vedovx.dask.interaction(frozen, rows,
                                                                             chunks=chunks),
                              vedovx.interaction(system, rows)))
            else:
                lazy = vedovx.dask.recon_matrices(frozen, chunks=chunks, model=model)
                whole = vedovx.recon_matrices(system, model=model)
                for step in vedovx._registry.PRODUCT_SETS["ReconMatrices"]:
                    pairs.append((step.field, getattr(lazy, step.field),
                                  getattr(whole, step.field)))
            for label, array, expected in pairs:
                figures["arrays"] += 1
                figures["blocks"] += array.npartitions
                began = time.monotonic()
                got = _computed(client, array, args.block_timeout)
                figures["slowest_array_seconds"] = max(figures["slowest_array_seconds"],
                                                       time.monotonic() - began)
                if got is None:
                    mismatch(f"{label}: blocks not done after {args.block_timeout} s")
                elif expected.size and not (got.shape == expected.shape
                                            and same_bits(got, expected)):
                    mismatch(f"{label} {model} chunks {chunks}")
        stop.set()
        thread.join()
    return {**figures, "first_mismatches": mismatches[:20]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)) + 1,
                        help="the largest thread count asked for")
    parser.add_argument("--dask", action="store_true", help="the Dask variant")
    parser.add_argument("--kill-every", type=float, default=3.0,
                        help="seconds between killed workers (Dask variant)")
    parser.add_argument("--block-timeout", type=float, default=120.0,
                        help="seconds an array's blocks may take (Dask variant)")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.randrange(2**32)
    print(f"soak: seed {args.seed}", file=sys.stderr, flush=True)  # to repeat a run that crashed
    started = time.monotonic()
    figures = soak_dask(args) if args.dask else soak(args)
    figures.update(seed=args.seed, minutes=(time.monotonic() - started) / 60.0)
    print(json.dumps(figures))
    # Flat: within 2 %, plus one MiB for the steps in which the interpreter's and the C library's
    # pools grow (seen at random moments in the first minutes, never climbing after).
    early, late = figures.get("rss_after_warm_up"), figures.get("rss_end")
    grew = early is not None and late is not None and late > 1.02 * early + 2**20
    failed = figures["mismatches"] or grew
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
