"""Documents of 50 and 200 MB: saving and loading take time in proportion to their size."""

import os
import time

import pytest

import vedov
from conftest import meas_count

MB = 1_000_000


def document(tmp_path, nsubx):
    """A system of 2·nsubx² slope measurements, saved; (path, size, measurements, save time)."""
    s = vedov.SystemGeom.new_empty()
    s.add_meas(8.0, nsubx, [(0.0, 0.0)], 90000.0, [(0.1, -0.1)], [0.1], [0.01])
    s.add_cov_layer()
    path = tmp_path / f"large{nsubx}.yaml"
    start = time.perf_counter()
    s.save_yaml(str(path))
    return path, os.path.getsize(path), meas_count(s), time.perf_counter() - start


def load(path):
    start = time.perf_counter()
    system = vedov.SystemGeom.load_yaml(str(path))
    return system, time.perf_counter() - start


@pytest.mark.slow
def test_time_grows_in_proportion_to_the_document(tmp_path):
    small, small_size, small_count, small_save = document(tmp_path, 280)
    _, small_load = load(small)
    large, large_size, large_count, large_save = document(tmp_path, 560)
    system, large_load = load(large)
    assert small_size > 50 * MB and large_size > 200 * MB
    assert meas_count(system) == large_count == 4 * small_count
    # Four times the text: four times the time, with room for noise; a quadratic step would
    # take sixteen times as long.
    assert large_save < 7 * small_save + 1.0, (small_save, large_save)
    assert large_load < 7 * small_load + 1.0, (small_load, large_load)
    assert large_load < 120.0
    again = tmp_path / "again.yaml"
    system.save_yaml(str(again))
    assert os.path.getsize(again) == large_size
    with open(large, "rb") as first, open(again, "rb") as second:
        while True:  # compared a block at a time: both are 200 MB
            a, b = first.read(1 << 24), second.read(1 << 24)
            assert a == b
            if not a:
                break
