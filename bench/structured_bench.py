"""Benchmark of method="structured" and vedovx.covariance_operator against the direct evaluation.

Each measurement runs in a child process of its own (its peak resident memory its own); the ratios
printed are between figures of this one run. The systems are those of arrays_bench.py.

1. elt: the 39 m telescope with six laser guide stars at 90 km on a 34" circle and 68 x 68
   subapertures kept by the pupil projection (40,272 slopes): c_meas_meas in memory, float64,
   structured against direct, for each model; both against the first-touch writes of the same
   bytes (numpy.empty(...).fill(0.0)); every structured element against the direct one,
   relative to the largest magnitude of its block (a pair of lattices); the covariance operator's
   build, memory and matvec against the dense matrix's matvec, and op @ x against dense @ x
   relative to |dense| @ |x|.
2. rows: the evaluation alone, the ELT c_meas_meas's first 4,096 rows into an array whose pages
   are already there, direct against structured, and rewriting the same bytes.
3. recon: the 12,800-slope case (40 x 40, 4 LGS): vedovx.recon_matrices structured against direct,
   medians of alternating runs, for each model.
4. tiles: the ELT c_meas_meas written tile by tile into a .npy memory map (arrays_bench.py's step)
   with structured tiles: the rate of elements.
5. dask: the ELT c_meas_meas as a vedovx.dask array of structured 4096 x 4096 blocks on a
   LocalCluster of two one-thread workers, reduced to its row sums: the rate of elements.

    flock /work/heavy.lock python3 bench/structured_bench.py [--case elt rows recon tiles dask]
        [--model exact closed-form] [--repeat 3] [--elt-nsubx 68] [--directory DIR]

The elt case holds the 13 GB direct matrix (and little else) in one child: run it on a machine with
16 GB free.
"""

from __future__ import annotations

import argparse
import json
import os
import tempfile

from arrays_bench import SETUP, STEPS, gb, run_child

# Each step's code runs after SETUP with NSUBX, DIRECTORY and MODEL set, and prints one JSON line.
ELT = """
system = telescope(NSUBX, circle(), True)
n = vedovx.info(system).meas
"""

CHILD = {
    "first touch": ELT + """
start = time.perf_counter()
a = np.empty((n, n))
a.fill(0.0)
print(json.dumps({"seconds": time.perf_counter() - start, "elements": n * n}))
""",
    "structured": ELT + """
start = time.perf_counter()
c = vedovx.covariance(system, "meas", "meas", model=MODEL, method="structured")
print(json.dumps({"seconds": time.perf_counter() - start, "elements": n * n}))
""",
    # The direct matrix, its matvec, and what the structured evaluation and the operator give
    # against it: the structured rows in tiles, each element against its block's largest.
    "direct": ELT + """
start = time.perf_counter()
c = vedovx.covariance(system, "meas", "meas", model=MODEL)
seconds = time.perf_counter() - start
x = np.random.default_rng(0).standard_normal(n)
y = c @ x
matvec = median_time(lambda: c @ x, 3)
bounds = sorted({0, n} | {b for run in vedovx.lattices(system, "meas").lattices
                          for b in (run.start, run.stop)})
runs = list(zip(bounds[:-1], bounds[1:]))
largest = np.array([[np.abs(c[r0:r1, c0:c1]).max() for c0, c1 in runs] for r0, r1 in runs])
worst = 0.0
for r, (r0, r1) in enumerate(runs):
    for first in range(r0, r1, 2048):
        last = min(r1, first + 2048)
        s = vedovx.covariance(system, "meas", "meas", model=MODEL, method="structured",
                              rows_index=slice(first, last))
        for k, (c0, c1) in enumerate(runs):
            error = np.abs(s[:, c0:c1] - c[first:last, c0:c1]).max() / largest[r, k]
            worst = max(worst, float(error))
del s
op = vedovx.covariance_operator(system, "meas", "meas", model=MODEL)
scale = np.concatenate([np.abs(c[k:k + 2048]) @ np.abs(x) for k in range(0, n, 2048)])
operator_error = float((np.abs(op @ x - y) / scale).max())
print(json.dumps({"seconds": seconds, "elements": n * n, "matvec": matvec,
                  "worst": worst, "operator_error": operator_error, "bytes": c.nbytes}))
""",
    "operator": ELT + """
start = time.perf_counter()
op = vedovx.covariance_operator(system, "meas", "meas", model=MODEL)
build = time.perf_counter() - start
x = np.random.default_rng(0).standard_normal(n)
print(json.dumps({"seconds": build, "matvec": median_time(lambda: op @ x, 7),
                  "nbytes": op.nbytes}))
""",
    # The evaluation alone: the first rows into an array whose pages are already there, each
    # method in turn, against rewriting the same bytes.
    "rows": ELT + """
out = np.empty((ROWS, n))
out.fill(0.0)
seconds = {}
for method in ("structured", "direct", "structured"):
    start = time.perf_counter()
    vedovx.covariance(system, "meas", "meas", rows_index=slice(0, ROWS), model=MODEL,
                      method=method, out=out)
    seconds[method] = time.perf_counter() - start
rewrite = median_time(lambda: out.fill(1.0), 3)
print(json.dumps({**seconds, "rewrite": rewrite, "rows": ROWS, "bytes": out.nbytes}))
""",
    "recon": """
system = telescope(40, square(), False)
start = time.perf_counter()
recon = vedovx.recon_matrices(system, model=MODEL, method=METHOD)
print(json.dumps({"seconds": time.perf_counter() - start}))
""",
    # arrays_bench's step, which ends with its check of the file, with structured tiles.
    "tiles": STEPS["elt memmap"].replace("model=MODEL", "model=MODEL, method='structured'"),
    "dask": ELT + """
import vedovx.dask
from distributed import Client, LocalCluster
with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                  dashboard_address=None) as cluster, Client(cluster):
    array = vedovx.dask.covariance(vedovx.freeze(system), "meas", "meas", model=MODEL,
                                   method="structured", chunks=4096)
    start = time.perf_counter()
    sums = array.sum(axis=1).compute()
    seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "elements": n * n, "blocks": array.npartitions}))
""",
}


ROWS = 4096  # of the rows case


def run(step: str, nsubx: int, model: str, directory: str, method: str = "direct") -> dict:
    code = "import json, os, sys\nfrom timing import median_time\n" + SETUP
    code += f"NSUBX = {nsubx}\nDIRECTORY = {os.path.abspath(directory)!r}\n"
    code += f"MODEL = {model!r}\nMETHOD = {method!r}\nROWS = {ROWS}\n"
    return run_child(code + CHILD[step])


def alternating(steps: dict[str, tuple], repeat: int) -> dict[str, dict]:
    """Each step run `repeat` times in turn; the run of median time, with every time."""
    done: dict[str, list[dict]] = {name: [] for name in steps}
    for _ in range(repeat):
        for name, arguments in steps.items():
            done[name].append(run(*arguments))
    result = {}
    for name, runs in done.items():
        runs.sort(key=lambda f: f["seconds"])
        result[name] = {**runs[len(runs) // 2], "all_seconds": [f["seconds"] for f in runs]}
    return result


def spread(figures: dict) -> str:
    return ", ".join(f"{t:.2f}" for t in figures["all_seconds"]) + " s"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", nargs="+", default=["elt", "rows", "recon", "tiles", "dask"],
                        choices=["elt", "rows", "recon", "tiles", "dask"])
    parser.add_argument("--model", nargs="+", default=["exact", "closed-form"],
                        choices=["exact", "closed-form"])
    parser.add_argument("--elt-nsubx", type=int, default=68)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each compared step")
    parser.add_argument("--directory", default=None, help="where the tiles' file is written")
    args = parser.parse_args()
    directory = args.directory or tempfile.gettempdir()
    nsubx = args.elt_nsubx
    print(f"{len(os.sched_getaffinity(0))} CPUs")
    figures: dict[str, dict] = {}
    for model in args.model:
        if "elt" in args.case:
            timed = alternating({"first touch": ("first touch", nsubx, model, directory),
                                 "structured": ("structured", nsubx, model, directory)},
                                args.repeat)
            direct = run("direct", nsubx, model, directory)
            op = run("operator", nsubx, model, directory)
            touch, fast = timed["first touch"], timed["structured"]
            n2 = fast["elements"]
            print(f"\nELT c_meas_meas, {model}: {round(n2 ** 0.5):,} slopes, "
                  f"{gb(direct['bytes'])} in float64")
            print(f"  direct      {direct['seconds']:8.2f} s   peak RSS {gb(direct['peak_rss'])}")
            print(f"  structured  {fast['seconds']:8.2f} s (runs: {spread(fast)})   "
                  f"peak RSS {gb(fast['peak_rss'])}")
            print(f"  first touch {touch['seconds']:8.2f} s (runs: {spread(touch)})")
            print(f"  direct / structured: {direct['seconds'] / fast['seconds']:.1f}x;   "
                  f"structured / first touch: {fast['seconds'] / touch['seconds']:.2f}x")
            print(f"  every structured element within {direct['worst']:.2e} of the direct one, "
                  "relative to its block's largest")
            print(f"  operator: built in {op['seconds']:.2f} s, {gb(op['nbytes'])} "
                  f"({100 * op['nbytes'] / direct['bytes']:.3f} % of the dense matrix), peak RSS "
                  f"{gb(op['peak_rss'])}; matvec {1e3 * op['matvec']:.1f} ms against the dense "
                  f"{1e3 * direct['matvec']:.0f} ms: {direct['matvec'] / op['matvec']:.0f}x; "
                  f"op @ x within {direct['operator_error']:.1e} of dense @ x relative to "
                  "|dense| @ |x|")
            figures[f"elt {model}"] = {"first touch": touch, "structured": fast,
                                       "direct": direct, "operator": op}
        if "rows" in args.case:
            f = run("rows", nsubx, model, directory)
            print(f"\nELT c_meas_meas, {model}: the first {f['rows']:,} rows ({gb(f['bytes'])}) "
                  f"into an array already touched: direct {f['direct']:.2f} s, structured "
                  f"{f['structured']:.2f} s: {f['direct'] / f['structured']:.0f}x; rewriting the "
                  f"same bytes {f['rewrite']:.2f} s")
            figures[f"rows {model}"] = f
        if "recon" in args.case:
            timed = alternating({"direct": ("recon", 40, model, directory, "direct"),
                                 "structured": ("recon", 40, model, directory, "structured")},
                                args.repeat)
            ratio = timed["direct"]["seconds"] / timed["structured"]["seconds"]
            print(f"\n12,800 slopes, recon_matrices, {model}: direct "
                  f"{timed['direct']['seconds']:.2f} s ({spread(timed['direct'])}), structured "
                  f"{timed['structured']['seconds']:.2f} s ({spread(timed['structured'])}): "
                  f"{ratio:.1f}x")
            figures[f"recon {model}"] = timed
        for step in ("tiles", "dask"):
            if step in args.case:
                f = run(step, nsubx, model, directory)
                rate = f["elements"] / f["seconds"]
                print(f"\nELT c_meas_meas, {model}, structured, {step}: {f['seconds']:.1f} s, "
                      f"{rate / 1e6:.0f} M elements/s, peak RSS {gb(f['peak_rss'])}"
                      + (f", the file equal to the in-memory rows: {f['same']}"
                         if "same" in f else f", {f['blocks']} blocks"))
                figures[f"{step} {model}"] = f
    print("\n" + json.dumps(figures))


if __name__ == "__main__":
    main()
