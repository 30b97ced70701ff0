"""Access to a system for the length of a vedovx call: checked, held for reading."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import Any

import vedov

from vedovx import _native
from vedovx._frozen import THAWED, FrozenSystem


def check_system(system: Any, name: str = "system") -> None:
    """TypeError unless `system` is a vedov.SystemGeom (one that may be changed)."""
    if type(system) is not vedov.SystemGeom:
        if isinstance(system, FrozenSystem):
            raise TypeError(f"{name} must be a vedov.SystemGeom: a FrozenSystem cannot be changed "
                            "(change its thaw() and freeze that)")
        raise TypeError(f"{name} must be a vedov.SystemGeom, not {type(system).__name__}")


@contextlib.contextmanager
def borrowed(system: Any) -> Iterator[_native.Borrowed]:
    """The system held for reading: vedov refuses to change it until the block ends (RuntimeError
    "Already borrowed"), and a system being changed is refused here ("Already mutably borrowed").

    A FrozenSystem is read through this process's parsed copy of it."""
    if isinstance(system, FrozenSystem):
        system = THAWED.get(system)
    elif type(system) is not vedov.SystemGeom:
        raise TypeError("system must be a vedov.SystemGeom or a vedovx.FrozenSystem, "
                        f"not {type(system).__name__}")
    held = _native.borrow(system)
    try:
        yield held
    finally:
        held.release()
