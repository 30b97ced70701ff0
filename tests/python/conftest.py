"""Shared helpers of the Python tests."""

import math
import os
import struct

import pytest

import vedov


def bits(value: float) -> int:
    """The 64-bit pattern of a float, so that -0.0 and 0.0 (and NaN payloads) compare apart."""
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def pytest_addoption(parser):
    parser.addoption("--slow", action="store_true", help="also run the tests marked slow")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--slow"):
        return
    skip = pytest.mark.skip(reason="slow; run with --slow")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)


def _address_sanitized() -> bool:
    """True when the address sanitizer's runtime is loaded into this process."""
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        return any("libclang_rt.asan" in line or "libasan.so" in line for line in maps)


ADDRESS_SANITIZED = _address_sanitized()

# The address sanitizer aborts on an allocation it cannot satisfy instead of letting it fail, so a
# MemoryError cannot be seen under it.
needs_failing_allocations = pytest.mark.skipif(
    ADDRESS_SANITIZED, reason="the address sanitizer aborts where an allocation would fail")


@pytest.fixture
def empty():
    return vedov.SystemGeom.new_empty()


def panic_message(call) -> str:
    """Runs `call`, which must raise PanicException, and returns the exception's message."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    return str(info.value)


OUT_OF_BOUNDS = "index out of bounds: the len is {} but the index is {}"
_PAST_EVERY_LIST = 2**64 - 1


def _length_from(call) -> int:
    prefix, _, _ = OUT_OF_BOUNDS.partition("{}")
    message = panic_message(call)
    assert message.startswith(prefix), message
    return int(message[len(prefix):].split(" ")[0])


def meas_count(system) -> int:
    """len(meas), read from the refusal of an index past every list (which changes nothing)."""
    return _length_from(lambda: system.reorder_meas([_PAST_EVERY_LIST]))


def com_count(system) -> int:
    """len(com), read the same way."""
    return _length_from(lambda: system.reorder_com([_PAST_EVERY_LIST]))


class Iterated(list):
    """A list whose iteration first runs `action`."""

    def __init__(self, items, action):
        super().__init__(items)
        self.action = action

    def __iter__(self):
        self.action()
        return super().__iter__()


def expect_refusal(call, error, message=None):
    """Runs `call`, which must raise exactly `error` (with `message`, when given). Only a TypeError
    of argument conversion names the argument, and it carries the original error as its cause."""
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    text = str(info.value)
    if message is not None:
        assert text == message
    prefix, _, underlying = text.partition(": ")
    if error is TypeError and prefix.startswith("argument '"):
        assert type(info.value.__cause__) is TypeError
        assert str(info.value.__cause__) == underlying
    else:
        assert info.value.__cause__ is None
        assert not text.startswith("argument")


# The nineteen arguments of SystemGeom.new, in signature order (a small valid system).
NEW_ARGS = {
    "teldiam": 8.0, "cobs": 0.14, "coupling": 0.3, "nactux": 3, "dmalt": 0.0, "pitch": 4.0,
    "nsubx": 2, "ntssamples": 2, "nphisamples": 2, "wfs_dirs": [(0.0, 0.0)],
    "ts_dirs": [(0.0, 0.0)], "dm_delta": (0.0, 0.0), "wfs_delta": [(0.0, 0.0)],
    "dm_clocking": 0.0, "wfs_clocking": [0.0], "dm_zoom": 0.0, "wfs_zoom": [0.0],
    "gsalt": math.inf, "microns_per_volt": 1.0,
}


class Hook:
    """A number whose conversion (float or index) first runs `action`."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


def child_environment(**overrides):
    """The environment for a child Python process that imports the same vedov as this test run."""
    environment = dict(os.environ, **overrides)
    environment["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(vedov.__file__), *filter(None, [environment.get("PYTHONPATH")])])
    return environment
