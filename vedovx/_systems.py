"""Access to a vedov.SystemGeom for the length of a vedovx call: checked, held for reading."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import Any

import vedov

from vedovx import _native


def check_system(system: Any, name: str = "system") -> None:
    """TypeError unless `system` is a vedov.SystemGeom."""
    if type(system) is not vedov.SystemGeom:
        raise TypeError(f"{name} must be a vedov.SystemGeom, not {type(system).__name__}")


@contextlib.contextmanager
def borrowed(system: Any) -> Iterator[_native.Borrowed]:
    """The system held for reading: vedov refuses to change it until the block ends (RuntimeError
    "Already borrowed"), and a system being changed is refused here ("Already mutably borrowed")."""
    check_system(system)
    held = _native.borrow(system)
    try:
        yield held
    finally:
        held.release()
