"""Benchmark of vedov's matrix products on standard adaptive-optics cases.

Prints, for each case and step, the median wall time over several repetitions on all cores and on one
core (a child process restricted to one CPU), elements per second, nanoseconds per layer term (one term
= one pair of lines at one layer) and, measured in the same run, the floors the figures compare with:
one C-library exp call and building one Python float into a list.

    python3 bench/matrices_bench.py [--repeat N] [--case ltao8 ltao8_32] [--one-core]
"""

from __future__ import annotations

import argparse
import array
import json
import os
import subprocess
import sys

import vedov
from timing import median_time

LAYERS = 7


def ltao8(nsubx: int) -> vedov.SystemGeom:
    """8 m telescope, four laser guide stars at 90 km on a 30-arcsecond square, one 17x17 mirror."""
    stars = [(-15.0, -15.0), (-15.0, 15.0), (15.0, -15.0), (15.0, 15.0)]
    system = vedov.SystemGeom.new(
        teldiam=8.0, cobs=0.14, coupling=0.3, nactux=17, dmalt=0.0, pitch=0.5, nsubx=nsubx,
        ntssamples=16, nphisamples=16, wfs_dirs=stars, ts_dirs=[(0.0, 0.0)], dm_delta=(0.0, 0.0),
        wfs_delta=[(0.0, 0.0)] * 4, dm_clocking=0.0, wfs_clocking=[0.0] * 4, dm_zoom=0.0,
        wfs_zoom=[0.0] * 4, gsalt=90000.0, microns_per_volt=1.0,
    )
    system.set_dt(0.001, 0.002)
    return system


CASES = {
    "ltao8": (lambda: ltao8(16), ["ReconMatrices", "SystemMatrices", "reads"]),
    "ltao8_32": (lambda: ltao8(32), ["ReconMatrices"]),
}


def counts(nsubx: int) -> dict:
    """List lengths of the ltao8 system and the bundle size of each list's measurements."""
    return {"meas": 4 * 2 * nsubx * nsubx, "phi": 16 * 16, "ts": 16 * 16, "com": 17 * 17}


def work(step: str, nsubx: int) -> tuple[int, int]:
    """(covariance elements, layer terms) of a step: slopes have two lines, phase samples one."""
    n = counts(nsubx)
    meas, phi, ts = n["meas"], n["phi"], n["ts"]
    if step == "ReconMatrices":
        elements = meas * meas + ts * meas
        terms = (meas * meas * 4 + ts * meas * 2) * LAYERS
    elif step == "SystemMatrices":
        elements = 2 * phi * phi + meas * phi
        terms = (2 * phi * phi + meas * phi * 2) * LAYERS
    else:
        return 0, 0
    return elements, terms



def time_case(name: str, repeat: int) -> dict:
    build, steps = CASES[name]
    system = build()
    out = {}
    for step in steps:
        if step == "ReconMatrices":
            out[step] = median_time(lambda: vedov.ReconMatrices.new(system), repeat)
        elif step == "SystemMatrices":
            out[step] = median_time(lambda: vedov.SystemMatrices.new(system), repeat)
        else:
            recon = vedov.ReconMatrices.new(system)
            floats = sum(len(r) for r in recon.c_meas_meas) + sum(len(r) for r in recon.c_ts_meas)
            out[step] = median_time(lambda: (recon.c_meas_meas, recon.c_ts_meas), repeat)
            out["reads_floats"] = floats
    return out


def kernel_figures(repeat: int) -> dict:
    """The C++ kernel benchmark's figures (exp floor, kernel ns/term), building it when needed."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.join(root, "build", "bench-tools")
    binary = os.path.join(build, "bench", "kernel_bench")
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", root, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                        "-DVEDOV_BUILD_BENCH=ON", "-DVEDOV_BUILD_MODULE=OFF",
                        "-DVEDOV_BUILD_TESTS=OFF"], check=True, capture_output=True)
    # Incremental: rebuilds only when the sources changed, so the figures are never stale.
    subprocess.run(["cmake", "--build", build, "--target", "kernel_bench", "-j2"], check=True,
                   capture_output=True)
    out = subprocess.run([binary, "--repeat", str(repeat)], check=True, capture_output=True,
                         text=True)
    return json.loads(out.stdout)


def list_floor_ns() -> float:
    """Building one Python float into a list from stored doubles: memoryview.tolist() is that loop."""
    data = array.array("d", (i * 0.5 for i in range(1_000_000)))
    view = memoryview(data)
    return median_time(view.tolist, 7) / len(data) * 1e9


def run_one_core(args) -> dict:
    """The timings of a child process restricted to one CPU."""
    command = [sys.executable, __file__, "--child", "--repeat", str(args.repeat), "--case", *args.case]
    cpu = sorted(os.sched_getaffinity(0))[0]
    result = subprocess.run(
        command, check=True, capture_output=True, text=True,
        preexec_fn=lambda: os.sched_setaffinity(0, {cpu}),
    )
    return json.loads(result.stdout)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--case", nargs="+", default=list(CASES))
    parser.add_argument("--no-one-core", action="store_true", help="skip the one-CPU run")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        print(json.dumps({name: time_case(name, args.repeat) for name in args.case}))
        return

    cpus = len(os.sched_getaffinity(0))
    kernel = kernel_figures(args.repeat)
    exp_ns, list_ns = kernel["exp_ns"], list_floor_ns()
    print(f"floors: C exp call {exp_ns:.2f} ns, Python float into a list {list_ns:.2f} ns")
    print(f"covariance kernel alone (C++, 2048 x 2048 slopes, 7 layers), 1 CPU: "
          f"scalar {kernel['scalar_one_ns_per_term']:.2f} ns/term "
          f"= {kernel['scalar_one_vs_exp']:.2f}x exp, {kernel['level']} "
          f"{kernel['vector_one_ns_per_term']:.2f} ns/term = {kernel['vector_gain']:.2f}x faster; "
          f"{kernel['cpus']} CPUs: scalar {kernel['scalar_speedup']:.2f}x, "
          f"{kernel['level']} {kernel['vector_speedup']:.2f}x the 1-CPU speed; "
          f"{kernel['evaluation_allocations']} allocations in one evaluation of "
          f"{kernel['elements']} elements")
    many = {name: time_case(name, args.repeat) for name in args.case}
    one = None if args.no_one_core else run_one_core(args)
    for name in args.case:
        nsubx = 32 if name.endswith("_32") else 16
        print(f"\n{name} (nsubx {nsubx}, {counts(nsubx)}), {cpus} CPUs:")
        for step, seconds in many[name].items():
            if step == "reads_floats":
                continue
            if step == "reads":
                floats = many[name]["reads_floats"]
                per = seconds / floats * 1e9
                print(f"  property reads (c_meas_meas + c_ts_meas): {seconds * 1e3:.1f} ms, "
                      f"{per:.2f} ns per float = {per / list_ns:.2f}x the list floor")
                continue
            elements, terms = work(step, nsubx)
            line = (f"  {step}.new: {seconds:.3f} s on {cpus} CPUs, "
                    f"{elements / seconds / 1e6:.2f} M cov elements/s, "
                    f"{seconds / terms * 1e9 * cpus:.2f} ns per term per CPU")
            if one:
                single = one[name][step]
                per_term = single / terms * 1e9
                line += (f"; 1 CPU {single:.3f} s = {per_term:.2f} ns/term "
                         f"= {per_term / exp_ns:.2f}x exp; speed-up {single / seconds:.2f}x")
            print(line)


if __name__ == "__main__":
    main()
