"""Filtering, reordering and merging through the module: conversion, failures, independence."""

import numpy as np
import pytest

import vedov
from conftest import (OUT_OF_BOUNDS, Iterated, com_count, expect_refusal, meas_count,
                      panic_message)

SystemGeom = vedov.SystemGeom
INF = float("inf")


def system(nsubx=2, nactux=3):
    """nsubx² · 2 measurements and nactux² actuators."""
    s = SystemGeom.new_empty()
    s.add_meas(8.0, nsubx, [(0.0, 0.0)], INF, [(0.0, 0.0)], [0.0], [0.0])
    s.add_com(0.5, nactux, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
    return s


@pytest.mark.parametrize(
    "mask, kept",
    [([True] * 8, 8), ([False] * 8, 0), ([True, False] * 4, 4), ([True] * 8 + [False] * 3, 8),
     (np.array([True, False] * 4), 4), ([np.True_, np.False_] * 4, 4), ((True,) * 8, 8)],
)
def test_filter_meas_keeps_marked_entries(mask, kept):
    s = system()
    assert s.filter_meas(mask) is None
    assert meas_count(s) == kept
    assert len(s.pmeas()) == kept  # one projection per line: the lines went along
    assert com_count(s) == 9


def test_filter_com():
    s = system()
    s.filter_com([True, False, True] + [False] * 6)
    assert com_count(s) == 2
    assert meas_count(s) == 8


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.filter_com([]), OUT_OF_BOUNDS.format(0, 0)),
        (lambda s: s.filter_com([True] * 8), OUT_OF_BOUNDS.format(8, 8)),
        (lambda s: s.filter_meas([False] * 5), OUT_OF_BOUNDS.format(5, 5)),
        (lambda s: s.reorder_meas([0, 8]), OUT_OF_BOUNDS.format(8, 8)),
        (lambda s: s.reorder_meas([1, 20, 30]), OUT_OF_BOUNDS.format(8, 20)),
        (lambda s: s.reorder_com([9]), OUT_OF_BOUNDS.format(9, 9)),
        (lambda s: s.reorder_com([0, 1, 2**64 - 1]), OUT_OF_BOUNDS.format(9, 2**64 - 1)),
        (lambda s: SystemGeom.merge_meas([]), OUT_OF_BOUNDS.format(0, 0)),
        (lambda s: SystemGeom.merge_com(()), OUT_OF_BOUNDS.format(0, 0)),
    ],
)
def test_out_of_bounds_changes_nothing(call, message):
    s = system()
    assert panic_message(lambda: call(s)) == message
    assert (meas_count(s), com_count(s), len(s.pmeas())) == (8, 9, 8)
    s.filter_meas([True] * 8)  # the system still works
    s.reorder_com([8, 0])
    assert com_count(s) == 2


@pytest.mark.parametrize(
    "order, count",
    [([2, 0], 2), ([0, 0], 2), ([], 0), (range(9), 9), ((8, 7, 6, 5, 4, 3, 2, 1, 0, 0), 10),
     (np.array([1, 2], dtype=np.uint64), 2)],
)
def test_reorder(order, count):
    s = system()
    assert s.reorder_com(order) is None
    assert com_count(s) == count
    t = system()
    assert t.reorder_meas([k % 8 for k in order]) is None
    assert meas_count(t) == count
    assert len(t.pmeas()) == count


def test_merges_concatenate_and_share_nothing():
    a, b = system(nsubx=1, nactux=2), system(nsubx=3, nactux=1)
    merged = SystemGeom.merge_meas([a, b])
    assert type(merged) is SystemGeom and merged is not a
    assert (meas_count(merged), com_count(merged)) == (2 + 18, 4)
    assert len(merged.pmeas()) == 2 + 18
    merged_com = a.merge_com((a, b, a))  # static, also through an instance
    assert (meas_count(merged_com), com_count(merged_com)) == (2, 4 + 1 + 4)

    copy = SystemGeom.merge_meas([a])
    copy.add_ttdm(1.0)
    copy.filter_meas([False, False])
    a.add_ttdm(1.0)
    a.add_ttdm(1.0)
    assert (meas_count(copy), com_count(copy)) == (0, 6)
    assert (meas_count(a), com_count(a)) == (2, 8)
    assert (meas_count(merged), com_count(merged)) == (20, 4)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.filter_com([1, 0]), TypeError,
         "argument 'valid_com': 'int' object is not an instance of 'bool'"),
        (lambda s: s.filter_meas([True, None]), TypeError,
         "argument 'valid_meas': 'NoneType' object is not an instance of 'bool'"),
        (lambda s: s.filter_meas("TF"), TypeError,
         "argument 'valid_meas': Can't extract `str` to `Vec`"),
        (lambda s: s.filter_com(True), TypeError,
         "argument 'valid_com': 'bool' object is not an instance of 'Sequence'"),
        (lambda s: s.reorder_meas([0, 1.0]), TypeError,
         "argument 'order': 'float' object cannot be interpreted as an integer"),
        (lambda s: s.reorder_com([-1]), OverflowError, None),
        (lambda s: s.reorder_com([2**64]), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda s: SystemGeom.merge_meas([s, None]), TypeError,
         "argument 'systems': 'None' is not an instance of 'SystemGeom'"),
        (lambda s: SystemGeom.merge_com([1]), TypeError,
         "argument 'systems': 'int' object is not an instance of 'SystemGeom'"),
        (lambda s: SystemGeom.merge_com(3), TypeError,
         "argument 'systems': 'int' object is not an instance of 'Sequence'"),
        (lambda s: SystemGeom.merge_meas(), TypeError,
         "SystemGeom.merge_meas() missing 1 required positional argument: 'systems'"),
        (lambda s: s.filter_meas(valid_com=[]), TypeError,
         "SystemGeom.filter_meas() got an unexpected keyword argument 'valid_com'"),
    ],
)
def test_argument_conversion(call, error, message):
    s = system()
    expect_refusal(lambda: call(s), error, message)
    assert (meas_count(s), com_count(s)) == (8, 9)


def test_keywords():
    s = system()
    s.filter_meas(valid_meas=[True] * 8)
    s.filter_com(valid_com=[True] * 9)
    s.reorder_meas(order=[0])
    s.reorder_com(order=[0])
    assert meas_count(SystemGeom.merge_meas(systems=[s])) == 1
    assert com_count(SystemGeom.merge_com(systems=[s])) == 1


def test_numpy_bool_without_truth_value_is_refused():
    s = system()
    fake = type("bool_", (), {"__module__": "numpy"})()
    with pytest.raises(TypeError) as info:
        s.filter_com([fake])
    assert str(info.value) == ("argument 'valid_com': object of type 'bool_' does not define a "
                               "'__bool__' conversion")


@pytest.mark.parametrize(
    "call",
    [
        lambda s, m: s.filter_meas(Iterated([True] * 8, m)),
        lambda s, m: s.filter_com(Iterated([True] * 9, m)),
        lambda s, m: s.reorder_meas(Iterated([0], m)),
        lambda s, m: s.reorder_com(Iterated([0], m)),
    ],
)
def test_edits_hold_the_system_while_converting(call):
    s = system()

    def reenter():
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            s.add_ttdm(1.0)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            SystemGeom.merge_meas([s])

    call(s, reenter)
    s.add_ttdm(1.0)  # released afterwards


def test_merge_takes_each_system_only_briefly():
    a, b = system(), system()
    # While the list is iterated, a (already copied) and b (not yet) can both be changed.
    merged = SystemGeom.merge_com(Iterated([a, b], lambda: b.add_ttdm(1.0)))
    assert com_count(merged) == 9 + 9 + 2
    assert com_count(b) == 11
