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
