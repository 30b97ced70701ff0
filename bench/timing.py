"""Median wall time of repeated runs, shared by the benchmark scripts."""

import statistics
import time


def median_time(function, repeat: int) -> float:
    """The median of `repeat` wall times of function(), in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)
