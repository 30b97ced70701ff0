"""Benchmark of vedovx's arrays against vedov's lists, at the sizes large telescopes work at.

Each measurement runs in a child process of its own, so that its peak resident memory is its own;
the ratios printed are between figures of this one run.

1. 39 m telescope, 0.28 central obscuration, 40 x 40 subapertures of 0.975 m, four laser guide stars
   at 90 km on the corners of a +/-15" square, the default profile (12,800 slopes):
   vedovx.recon_matrices against ReconMatrices.new alone and against the list path (new, the
   property reads and numpy.array of each), time and peak RSS; the interpreter's baseline (vedov,
   vedovx and NumPy imported, the system built) and the result's bytes.
2. The same telescope with six laser guide stars at 90 km on a circle of 34" radius and 68 x 68
   subapertures kept by the pupil projection: c_meas_meas written tile by tile into a .npy memory map
   with progress, each written tile sent to the disk and dropped from the page cache by a thread
   while the next is evaluated; the same tiles evaluated into two reused page-aligned buffers and
   written to a .npy file past the page cache (O_DIRECT) by a thread while the next tile is
   evaluated; and in float32 in memory. Time, peak RSS and the rate of covariance elements against the first case.
3. A new result's memory (--case pages): c_meas_meas of the first telescope with --pages-nsubx
   subapertures into the array vedovx makes (memory of its own, ordinary pages) and into an
   out=numpy.empty(...) (NumPy's memory, which it asks to back with huge pages), alternating.

    python3 bench/arrays_bench.py [--case recon elt pages] [--repeat 3] [--elt-nsubx 68]
                                  [--pages-nsubx 32] [--directory DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

SETUP = """
import math, time
import numpy as np
import vedov, vedovx

# vedov's closed form, so that vedovx and vedov's lists compute the same numbers.
MODEL = "closed-form"

def telescope(nsubx, stars, filtered):
    system = vedov.SystemGeom.new_empty()
    system.set_pupil(39.0, 0.28)
    system.set_dt(0.001, 0.002)
    system.add_cov_layer()
    n = len(stars)
    system.add_meas(39.0, nsubx, stars, 90000.0, [(0.0, 0.0)] * n, [0.0] * n, [0.0] * n)
    if filtered:
        system.filter_meas([p == 1.0 for p in vedovx.projection(system, "meas_lines")])
    system.add_ts(39.0, 40, [(0.0, 0.0)])
    system.add_com(39.0 / 40, 41, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
    return system

def square():
    return [(-15.0, -15.0), (-15.0, 15.0), (15.0, -15.0), (15.0, 15.0)]

def circle():
    return [(34.0 * math.cos(k * math.pi / 3), 34.0 * math.sin(k * math.pi / 3)) for k in range(6)]
"""

# The end of both file steps: time, disk used, and three rows of the file against the in-memory
# evaluation, bit for bit.
FILE_CHECK = """seconds = time.perf_counter() - start
disk = os.stat(path).st_blocks * 512
check = np.load(path, mmap_mode="r")
probe = vedovx.covariance(system, "meas", "meas", rows_index=[0, n // 2, n - 1],
                          model=MODEL)
same = bool((np.asarray(check[[0, n // 2, n - 1]]).view(np.uint64) == probe.view(np.uint64)).all())
del check
os.unlink(path)
print(json.dumps({"seconds": seconds, "elements": n * n, "slopes": n, "disk": disk,
                  "same": same}))
"""

# What each child measures: it prints a JSON object with its seconds and figures.
STEPS = {
    "baseline": """
system = telescope(40, square(), False)
print(json.dumps({"seconds": 0.0}))
""",
    "vedov.new": """
system = telescope(40, square(), False)
start = time.perf_counter()
recon = vedov.ReconMatrices.new(system)
print(json.dumps({"seconds": time.perf_counter() - start}))
""",
    "vedov lists": """
system = telescope(40, square(), False)
start = time.perf_counter()
recon = vedov.ReconMatrices.new(system)
arrays = {name: np.array(getattr(recon, name)) for name in
          ("c_ts_meas", "c_meas_meas", "d_ts_com", "d_meas_com", "p_meas")}
print(json.dumps({"seconds": time.perf_counter() - start}))
""",
    "vedovx": """
system = telescope(40, square(), False)
start = time.perf_counter()
recon = vedovx.recon_matrices(system, model=MODEL)
seconds = time.perf_counter() - start
fields = [recon.c_ts_meas, recon.c_meas_meas, recon.d_ts_com, recon.d_meas_com, recon.p_meas]
print(json.dumps({"seconds": seconds, "bytes": sum(a.nbytes for a in fields),
                  "elements": recon.c_meas_meas.size + recon.c_ts_meas.size}))
""",
    "pages own": """
system = telescope(NSUBX, square(), False)
start = time.perf_counter()
c = vedovx.covariance(system, "meas", "meas", model=MODEL)
print(json.dumps({"seconds": time.perf_counter() - start, "bytes": c.nbytes}))
""",
    "pages numpy": """
system = telescope(NSUBX, square(), False)
n = vedovx.info(system).meas
start = time.perf_counter()
c = vedovx.covariance(system, "meas", "meas", model=MODEL, out=np.empty((n, n)))
print(json.dumps({"seconds": time.perf_counter() - start, "bytes": c.nbytes}))
""",
    "elt memmap": """
import threading
system = telescope(NSUBX, circle(), True)
n = vedovx.info(system).meas
path = os.path.join(DIRECTORY, "c_meas_meas.npy")
header = np.lib.format.open_memmap(path, mode="w+", dtype=np.float64, shape=(n, n))
offset = header.offset
del header
rows = max(1, (256 << 20) // (8 * n))  # tiles of about 256 MB
start = time.perf_counter()
file = os.open(path, os.O_RDWR)

def retire(first, last):
    # A written tile goes to the disk and its pages leave the page cache, while the next tile is
    # evaluated: a cache crowded with the file costs the kernel CPU with every gigabyte it holds.
    os.fdatasync(file)
    os.posix_fadvise(file, offset + first * n * 8, (last - first) * n * 8, os.POSIX_FADV_DONTNEED)

from tqdm import tqdm
bar = tqdm(total=n, desc="c_meas_meas into a memory map", unit="row", file=sys.stderr)
retiring = threading.Thread()
retiring.start()
for first in range(0, n, rows):
    last = min(n, first + rows)
    tile = np.memmap(path, dtype=np.float64, mode="r+", offset=offset + first * n * 8,
                     shape=(last - first, n))
    vedovx.covariance(system, "meas", "meas", rows_index=slice(first, last), out=tile, model=MODEL,
                      progress=lambda done, total: bar.update(first + done - bar.n))
    del tile
    retiring.join()
    retiring = threading.Thread(target=retire, args=(first, last))
    retiring.start()
retiring.join()
os.fdatasync(file)
os.close(file)
bar.close()
""" + FILE_CHECK,
    "elt direct": """
import queue, threading
system = telescope(NSUBX, circle(), True)
n = vedovx.info(system).meas
path = os.path.join(DIRECTORY, "c_meas_meas_direct.npy")
# A .npy file whose header fills one page, so that the data and every whole tile are page-aligned.
text = repr({"descr": "<f8", "fortran_order": False, "shape": (n, n)})
header = b"\\x93NUMPY\\x01\\x00" + (4096 - 10).to_bytes(2, "little")
header += text.encode().ljust(4096 - 10 - 1) + b"\\n"
row_bytes = 8 * n
step = 4096 // math.gcd(row_bytes, 4096)  # rows whose bytes fill whole pages
rows = max(step, (256 << 20) // row_bytes // step * step)

def aligned(count):
    raw = np.empty(count * 8 + 4096, np.uint8)
    offset = (-raw.ctypes.data) % 4096
    return raw[offset:offset + count * 8].view(np.float64)

buffers = [aligned(rows * n).reshape(rows, n) for _ in range(2)]
free = [threading.Semaphore(1), threading.Semaphore(1)]
work = queue.Queue()
direct = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_DIRECT, 0o644)
plain = os.open(path, os.O_WRONLY)

def writer():
    while (item := work.get()) is not None:
        k, count, where = item
        data = memoryview(buffers[k][:count]).cast("B")
        # Whole pages bypass the page cache; a last tile of a part of a page goes through it.
        os.pwrite(direct if len(data) % 4096 == 0 else plain, data, where)
        free[k].release()

from tqdm import tqdm
start = time.perf_counter()
page = aligned(512)
page.view(np.uint8)[:] = np.frombuffer(header, np.uint8)
os.pwrite(direct, memoryview(page).cast("B"), 0)
thread = threading.Thread(target=writer)
thread.start()
bar = tqdm(total=n, desc="c_meas_meas into a file, tile by tile", unit="row", file=sys.stderr)
for k, first in enumerate(range(0, n, rows)):
    count = min(rows, n - first)
    free[k % 2].acquire()  # the writer is done with this buffer
    vedovx.covariance(system, "meas", "meas", rows_index=slice(first, first + count),
                      out=buffers[k % 2][:count], model=MODEL,
                      progress=lambda done, total: bar.update(first + done - bar.n))
    work.put((k % 2, count, 4096 + first * row_bytes))
work.put(None)
thread.join()
os.fsync(plain)
os.close(direct)
os.close(plain)
bar.close()
""" + FILE_CHECK,
    "elt float32": """
system = telescope(NSUBX, circle(), True)
n = vedovx.info(system).meas
start = time.perf_counter()
c = vedovx.covariance(system, "meas", "meas", dtype=np.float32, progress=True, model=MODEL)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "elements": n * n, "slopes": n, "bytes": c.nbytes}))
""",
}


def run_child(code: str) -> dict:
    """Runs `code` in a child Python, which prints its figures as one JSON line: those, with the
    child's peak resident memory (printed last)."""
    code += "import resource\nprint(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)\n"
    # Run beside this file, so that the installed packages are imported and not a checkout's sources.
    result = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                            check=True, cwd=os.path.dirname(os.path.abspath(__file__)))
    *_, line, peak = result.stdout.strip().splitlines()
    figures = json.loads(line)
    figures["peak_rss"] = int(peak)
    return figures


def measure(step: str, nsubx: int, directory: str) -> dict:
    code = "import json, os, sys\n" + SETUP + f"NSUBX = {nsubx}\n"
    code += f"DIRECTORY = {os.path.abspath(directory)!r}\n"
    return run_child(code + STEPS[step])


def gb(n: float) -> str:
    return f"{n / 1e9:.2f} GB"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", nargs="+", default=["recon", "elt"],
                        choices=["recon", "elt", "pages"])
    parser.add_argument("--pages-nsubx", type=int, default=32)
    parser.add_argument("--elt-nsubx", type=int, default=68)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each compared step")
    parser.add_argument("--directory", default=None, help="where the memory map is written")
    args = parser.parse_args()
    directory = args.directory or tempfile.gettempdir()
    print(f"{len(os.sched_getaffinity(0))} CPUs")
    figures: dict[str, dict] = {}
    if "recon" in args.case:
        figures["baseline"] = measure("baseline", 40, directory)
        # The two that the target compares run in turn, several times: the ratio of their medians.
        runs: dict[str, list[dict]] = {"vedovx": [], "vedov.new": []}
        for _ in range(args.repeat):
            for step in runs:
                runs[step].append(measure(step, 40, directory))
        for step, done in runs.items():
            done.sort(key=lambda f: f["seconds"])
            figures[step] = {**done[len(done) // 2], "all_seconds": [f["seconds"] for f in done]}
        figures["vedov lists"] = measure("vedov lists", 40, directory)
        base, ours = figures["baseline"]["peak_rss"], figures["vedovx"]
        print("\n12,800 slopes (39 m, 40 x 40, 4 LGS), ReconMatrices:")
        print(f"  interpreter baseline (vedov, vedovx, NumPy, the system): {gb(base)}; "
              f"the result: {gb(ours['bytes'])}")
        for step in ("vedovx", "vedov.new", "vedov lists"):
            f = figures[step]
            times = ", ".join(f"{t:.2f}" for t in f.get("all_seconds", [f["seconds"]]))
            print(f"  {step:12s} {f['seconds']:7.2f} s (runs: {times})   "
                  f"peak RSS {gb(f['peak_rss'])}")
        print(f"  vedovx.recon_matrices / ReconMatrices.new: "
              f"{ours['seconds'] / figures['vedov.new']['seconds']:.3f}x the time (medians); "
              f"/ the list path: {ours['seconds'] / figures['vedov lists']['seconds']:.3f}x")
        print(f"  vedovx peak RSS over the baseline: {gb(ours['peak_rss'] - base)} = "
              f"{(ours['peak_rss'] - base) / ours['bytes']:.3f}x the result's bytes")
    if "pages" in args.case:
        # A new result's memory: vedovx's own mapping of ordinary pages against NumPy's (huge
        # pages where the kernel grants them on request), alternating.
        runs = {"pages own": [], "pages numpy": []}
        for _ in range(args.repeat):
            for step in runs:
                runs[step].append(measure(step, args.pages_nsubx, directory))
        medians = {}
        for step, done in runs.items():
            seconds = sorted(f["seconds"] for f in done)
            medians[step] = seconds[len(seconds) // 2]
            figures[step] = {**done[0], "all_seconds": seconds}
            print(f"  {step:12s} median {medians[step]:6.3f} s (runs: "
                  f"{', '.join(f'{t:.3f}' for t in seconds)})")
        print(f"  c_meas_meas of {gb(figures['pages own']['bytes'])} into vedovx's pages / into "
              f"NumPy's: {medians['pages own'] / medians['pages numpy']:.3f}x the time (medians)")
    if "elt" in args.case:
        for step in ("elt memmap", "elt direct", "elt float32"):
            figures[step] = measure(step, args.elt_nsubx, directory)
        memmap, direct, single = (figures[s] for s in ("elt memmap", "elt direct", "elt float32"))
        print(f"\nELT: {memmap['slopes']} slopes (39 m, {args.elt_nsubx} x {args.elt_nsubx} kept "
              f"by the pupil, 6 LGS on a 34\" circle), c_meas_meas:")
        for step, f in (("memory map", memmap), ("direct", direct), ("float32", single)):
            rate = f["elements"] / f["seconds"]
            line = (f"  {step:10s} {f['seconds']:7.1f} s   {rate / 1e6:6.1f} M elements/s   "
                    f"peak RSS {gb(f['peak_rss'])}")
            if "recon" in args.case:
                ref = figures["vedovx"]["elements"] / figures["vedovx"]["seconds"]
                line += f"   rate {rate / ref:.3f}x the 12,800-slope case"
            print(line)
        for step, f in (("memory map", memmap), ("direct", direct)):
            print(f"  {step}: {gb(f['disk'])} on disk, sampled rows equal the in-memory "
                  f"evaluation bit for bit: {f['same']}")
    print("\n" + json.dumps(figures))


if __name__ == "__main__":
    main()
