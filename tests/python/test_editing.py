"""Filtering, reordering and merging through the module: conversion, failures, independence."""

import pytest

import vedov
from conftest import (OUT_OF_BOUNDS, Iterated, com_count, expect_refusal, meas_count,
                      panic_message)
from document_helpers import saved_text

SystemGeom = vedov.SystemGeom
INF = float("inf")


def system(nsubx=2, nactux=3):
    """nsubx² · 2 measurements and nactux² actuators."""
    s = SystemGeom.new_empty()
    s.add_meas(8.0, nsubx, [(0.0, 0.0)], INF, [(0.0, 0.0)], [0.0], [0.0])
    s.add_com(0.5, nactux, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
    return s


# What each edit leaves, bit for bit, is read back in test_readback.py; here, the binding's side.


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
def test_out_of_bounds_changes_nothing(tmp_path, call, message):
    s = system()
    before = saved_text(s, tmp_path)
    assert panic_message(lambda: call(s)) == message
    assert saved_text(s, tmp_path) == before
    s.filter_meas([True] * 8)  # the system still works
    s.reorder_com([8, 0])
    assert com_count(s) == 2


def test_merges_are_static_also_through_an_instance():
    a = system()
    merged = a.merge_com((a, a))
    assert type(merged) is SystemGeom and merged is not a
    assert (meas_count(merged), com_count(merged)) == (8, 18)


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
def test_argument_conversion(tmp_path, call, error, message):
    s = system()
    before = saved_text(s, tmp_path)
    expect_refusal(lambda: call(s), error, message)
    assert saved_text(s, tmp_path) == before


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
