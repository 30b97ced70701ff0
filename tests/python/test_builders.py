"""Builders and the full-system constructor through the module: conversion, failures, access."""

import math

import numpy as np
import pytest

import vedov
from conftest import (NEW_ARGS, OUT_OF_BOUNDS, Hook, Iterated, com_count, expect_refusal,
                      meas_count, panic_message)

SystemGeom = vedov.SystemGeom
INF = math.inf


def add_meas(system, nsubx=2, dirs=((0.0, 0.0),), **changes):
    args = dict(teldiam=8.0, nsubx=nsubx, wfs_dirs=list(dirs), gsalt=INF,
                wfs_delta=[(0.0, 0.0)] * len(dirs), wfs_clocking=[0.0] * len(dirs),
                wfs_zoom=[0.0] * len(dirs))
    args.update(changes)
    return system.add_meas(**args)


def add_com(system, nactux=3, **changes):
    args = dict(pitch=0.5, nactux=nactux, dm_delta=(0.0, 0.0), dmalt=0.0, coupling=0.3,
                dm_clocking=0.0, dm_zoom=0.0, microns_per_volt=1.0)
    args.update(changes)
    return system.add_com(**args)


def test_builders_append_blocks(empty):
    assert add_meas(empty, nsubx=3, dirs=[(0.0, 0.0), (10.0, -5.0)]) is None
    assert meas_count(empty) == len(empty.pmeas()) == 2 * 9 * 2
    assert add_com(empty, nactux=4) is None
    assert empty.add_ttdm(2.0) is None
    assert com_count(empty) == 16 + 2
    assert empty.add_phi(8.0, 4) is None
    assert empty.add_ts(8.0, 3, [(0.0, 0.0), (30.0, -30.0)]) is None
    # Positional and keyword arguments are the same call.
    empty.add_meas(8.0, 1, [(0.0, 0.0)], 1e5, [(0.0, 0.0)], [0.0], [0.0])
    assert meas_count(empty) == 36 + 2


def test_new_builds_a_complete_system():
    system = SystemGeom.new(*NEW_ARGS.values())
    assert type(system) is SystemGeom
    assert meas_count(system) == 8
    assert com_count(system) == 9
    assert meas_count(SystemGeom.new(**NEW_ARGS)) == 8
    assert type(SystemGeom.new_empty().new(**NEW_ARGS)) is SystemGeom  # static on an instance


def test_new_without_sensors_needs_no_per_sensor_values():
    args = dict(NEW_ARGS, wfs_dirs=[], wfs_delta=[], wfs_clocking=[], wfs_zoom=[])
    system = SystemGeom.new(**args)
    assert meas_count(system) == 0 and com_count(system) == 9


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.add_phi(8.0, -1), OverflowError, None),
        (lambda s: s.add_phi(8.0, 2**64), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda s: s.add_phi(8.0, 2.0), TypeError,
         "argument 'nphisamples': 'float' object cannot be interpreted as an integer"),
        (lambda s: s.add_phi("8", 2), TypeError,
         "argument 'teldiam': must be real number, not str"),
        (lambda s: s.add_ts(8.0, 2, [[0.0, 0.0]]), TypeError,
         "argument 'ts_dirs': 'list' object is not an instance of 'tuple'"),
        (lambda s: s.add_ts(8.0, 2, [(0.0, 0.0, 1.0)]), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        (lambda s: s.add_ts(8.0, 2, [(0.0,)]), ValueError,
         "expected tuple of length 2, but got tuple of length 1"),
        (lambda s: s.add_ts(8.0, 2, "ab"), TypeError,
         "argument 'ts_dirs': Can't extract `str` to `Vec`"),
        (lambda s: s.add_ts(8.0, 2, 5), TypeError,
         "argument 'ts_dirs': 'int' object is not an instance of 'Sequence'"),
        (lambda s: s.add_ts(8.0, 2, [(0.0, "y")]), TypeError,
         "argument 'ts_dirs': must be real number, not str"),
        (lambda s: add_com(s, dm_delta=[0.0, 0.0]), TypeError,
         "argument 'dm_delta': 'list' object is not an instance of 'tuple'"),
        (lambda s: add_com(s, dm_delta=(0.0, 0.0, 0.0)), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        (lambda s: add_com(s, nactux=-3), OverflowError, None),
        (lambda s: add_meas(s, wfs_clocking="0"), TypeError,
         "argument 'wfs_clocking': Can't extract `str` to `Vec`"),
        (lambda s: add_meas(s, wfs_zoom=[None]), TypeError,
         "argument 'wfs_zoom': must be real number, not NoneType"),
        (lambda s: add_meas(s, wfs_delta={(0.0, 0.0)}), TypeError,
         "argument 'wfs_delta': 'set' object is not an instance of 'Sequence'"),
        (lambda s: s.add_ttdm(None), TypeError,
         "argument 'scale': must be real number, not NoneType"),
        (lambda s: s.set_dt(0.1, [1.0]), TypeError,
         "argument 'meas_dt': must be real number, not list"),
        # The first bad argument in signature order is the one reported.
        (lambda s: s.add_ts(ts_dirs="x", ntssamples=1.5, teldiam=8.0), TypeError,
         "argument 'ntssamples': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_argument_conversion(empty, call, error, message):
    add_com(empty, nactux=2)
    expect_refusal(lambda: call(empty), error, message)
    assert com_count(empty) == 4  # nothing was added


def test_accepted_argument_forms(empty):
    empty.add_ts(8.0, np.int64(2), ((0.0, 0.0), (1, 2)))  # a tuple of tuples, an index-able count
    empty.add_ts(np.float64(8.0), True, [(np.float32(1.0), 0)])
    add_meas(empty, nsubx=np.uint8(1), wfs_clocking=(0.0,), wfs_zoom=np.array([0.0]))
    empty.add_phi(8.0, 0)
    assert meas_count(empty) == 2


def test_new_reports_missing_arguments_by_name():
    values = list(NEW_ARGS.values())
    with pytest.raises(TypeError) as info:
        SystemGeom.new(*values[:16])
    assert str(info.value) == ("SystemGeom.new() missing 3 required positional arguments: "
                               "'wfs_zoom', 'gsalt', and 'microns_per_volt'")
    with pytest.raises(TypeError) as info:
        SystemGeom.new(*values[:18])
    assert str(info.value) == ("SystemGeom.new() missing 1 required positional argument: "
                               "'microns_per_volt'")
    with pytest.raises(TypeError, match=r"^SystemGeom\.new\(\) takes 19 positional arguments "
                                        r"but 20 were given$"):
        SystemGeom.new(*values, 0.0)


def test_new_converts_every_argument_before_building():
    bad = dict(NEW_ARGS, ts_dirs="x", dm_delta=[0.0, 0.0], microns_per_volt=None)
    with pytest.raises(TypeError, match="^argument 'ts_dirs': "):
        SystemGeom.new(**bad)
    # A short sensor list is only found while building; a later bad argument wins over it.
    with pytest.raises(TypeError, match="^argument 'microns_per_volt': "):
        SystemGeom.new(**dict(NEW_ARGS, wfs_clocking=[], microns_per_volt=None))


@pytest.mark.parametrize(
    "changes, length",
    [({"wfs_clocking": [0.0]}, 1), ({"wfs_zoom": []}, 0), ({"wfs_delta": [(0.0, 0.0)]}, 1),
     ({"wfs_clocking": [], "wfs_zoom": [], "wfs_delta": []}, 0)],
)
def test_short_sensor_sequences(empty, changes, length):
    add_meas(empty)
    dirs = [(0.0, 0.0), (1.0, 1.0)]
    message = panic_message(lambda: add_meas(empty, dirs=dirs, **changes))
    assert message == OUT_OF_BOUNDS.format(length, length)
    assert (meas_count(empty), len(empty.pmeas())) == (8, 8)  # unchanged, lines too
    add_meas(empty, nsubx=0, dirs=dirs, **changes)  # no subapertures: nothing is looked up
    assert meas_count(empty) == 8
    args = dict(NEW_ARGS, nsubx=1, wfs_dirs=dirs, wfs_delta=[(0.0, 0.0)] * 2,
                wfs_clocking=[0.0] * 2, wfs_zoom=[0.0] * 2)
    assert panic_message(lambda: SystemGeom.new(**dict(args, **changes))) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda s, hook: s.add_phi(Hook(8.0, hook), 2),
        lambda s, hook: s.add_phi(8.0, Hook(2, hook)),
        lambda s, hook: s.add_ts(8.0, 2, Iterated([(0.0, 0.0)], hook)),
        lambda s, hook: add_meas(s, gsalt=Hook(INF, hook)),
        lambda s, hook: add_meas(s, wfs_zoom=Iterated([0.0], hook)),
        lambda s, hook: add_com(s, dm_delta=(0.0, Hook(0.0, hook))),
        lambda s, hook: s.add_ttdm(Hook(1.0, hook)),
        lambda s, hook: s.set_dt(Hook(0.25, hook), 0.5),
    ],
)
def test_reentry_during_conversion_is_refused(call):
    system = SystemGeom.new(**NEW_ARGS)
    refusals = []

    def reenter():
        for inner, message in [(lambda: system.add_ttdm(1.0), "Already borrowed"),
                               (lambda: system.reorder_com([0]), "Already borrowed"),
                               (lambda: SystemGeom.merge_com([system]),
                                "Already mutably borrowed")]:
            with pytest.raises(RuntimeError) as info:
                inner()
            refusals.append(str(info.value) == message)

    call(system, reenter)
    assert refusals == [True] * 3
    # An uncaught refusal ends the outer call unchanged, without an argument prefix.
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        call(system, lambda: system.add_ttdm(1.0))
    count = com_count(system)
    system.add_ttdm(1.0)
    assert com_count(system) == count + 2


def test_new_takes_no_access_while_converting():
    other = SystemGeom.new_empty()
    args = dict(NEW_ARGS, teldiam=Hook(8.0, lambda: other.add_ttdm(1.0)),
                nactux=Hook(3, lambda: SystemGeom.new(**NEW_ARGS)))
    assert com_count(SystemGeom.new(**args)) == 9
    assert com_count(other) == 2
