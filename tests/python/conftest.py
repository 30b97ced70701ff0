"""Shared helpers of the Python tests."""

import struct

import pytest

import vedov


def bits(value: float) -> int:
    """The 64-bit pattern of a float, so that -0.0 and 0.0 (and NaN payloads) compare apart."""
    return struct.unpack("<Q", struct.pack("<d", value))[0]


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
