"""Frozen systems: a system as an immutable, picklable value, parsed once in each process."""

from __future__ import annotations

import collections
import hashlib
import sys
import threading
from collections.abc import Mapping
from typing import Any, NamedTuple

import vedov

from vedovx import _native
from vedovx._registry import COUNTS

# Systems thawed for evaluation in this process, most recently used last, by content hash.
CACHE_SIZE = 8


class Counts(NamedTuple):
    """How many entries a system's lists hold, its layers, and whether it has a pupil (the
    registry's counts, in its order)."""

    meas: int
    phi: int
    ts: int
    com: int
    meas_lines: int
    layers: int
    pupil: bool


if Counts._fields != COUNTS:
    raise ImportError(f"Counts has the fields {Counts._fields}, but vedov counts {COUNTS}")


def _checked_counts(counts: Any, document: str) -> Counts:
    """`counts` (a Counts, a mapping by name, or the values in order) checked: every size an int
    that a document of this length can hold (each entry takes at least one character), and
    pupil a bool. TypeError or ValueError naming the count."""
    if isinstance(counts, Mapping):
        if set(counts) != set(COUNTS):
            raise ValueError(f"counts must name {', '.join(COUNTS)}, not {', '.join(counts)}")
        values = [counts[name] for name in COUNTS]
    else:
        try:
            values = list(counts)
        except TypeError:
            raise TypeError(f"counts must be a Counts, not {type(counts).__name__}") from None
        if len(values) != len(COUNTS):
            raise ValueError(f"counts must hold {len(COUNTS)} values, not {len(values)}")
    for name, value in zip(COUNTS, values):
        if name == "pupil":
            if type(value) is not bool:
                raise TypeError(f"counts.pupil must be a bool, not {type(value).__name__}")
        elif type(value) is not int:
            raise TypeError(f"counts.{name} must be an int, not {type(value).__name__}")
        elif not 0 <= value <= len(document):
            raise ValueError(f"counts.{name}: {value} entries cannot be held by a document of "
                             f"{len(document)} characters")
    return Counts(*values)


class FrozenSystem:
    """A vedov.SystemGeom frozen into its YAML document (the text save_yaml writes) and its counts.

    Immutable, hashable and picklable: equal frozen systems have equal documents, so they describe
    the same system bit for bit. ``thaw()`` gives a new vedov.SystemGeom; every vedovx function
    accepts a frozen system in place of a system, and reads it through a copy that each process
    parses once and keeps (the last few, by content hash). Made by ``vedovx.freeze(system)``."""

    __slots__ = ("_document", "_counts", "_digest")

    _document: str
    _counts: Counts
    _digest: str

    def __init__(self, document: str, counts: Counts | Mapping[str, int | bool]) -> None:
        if type(document) is not str:
            raise TypeError(f"document must be a str, not {type(document).__name__}")
        object.__setattr__(self, "_counts", _checked_counts(counts, document))
        object.__setattr__(self, "_document", document)
        object.__setattr__(self, "_digest",
                           hashlib.sha256(document.encode("utf-8", "surrogatepass")).hexdigest())

    @property
    def document(self) -> str:
        """The system's YAML document, as save_yaml writes it."""
        return self._document

    @property
    def counts(self) -> Counts:
        """The sizes of the system's lists, its number of layers and whether it has a pupil."""
        return self._counts

    @property
    def digest(self) -> str:
        """The SHA-256 of the document, in hexadecimal: equal for equal systems."""
        return self._digest

    def thaw(self) -> vedov.SystemGeom:
        """A new vedov.SystemGeom read from the document: the frozen system, bit for bit.

        ValueError when the document does not hold the counts this value states (a value made by
        hand, or altered on its way)."""
        system: vedov.SystemGeom = _native.load_document(self._document)
        held = _native.borrow(system)
        try:
            found = Counts(**held.counts())
        finally:
            held.release()
        if found != self._counts:
            raise ValueError(f"the frozen system states {self._counts}, but its document holds "
                             f"{found}")
        return system

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"a FrozenSystem cannot be changed (thaw() it): {name}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"a FrozenSystem cannot be changed (thaw() it): {name}")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, FrozenSystem):
            return NotImplemented
        return self._digest == other._digest and self._document == other._document

    def __hash__(self) -> int:
        return int(self._digest[:16], 16)

    def __reduce__(self) -> tuple[Any, ...]:
        # The counts by name; the values in order (earlier pickles) are read too.
        return FrozenSystem, (self._document, self._counts._asdict())

    def __sizeof__(self) -> int:
        # What Dask's memory accounting sees: the document's text.
        return object.__sizeof__(self) + sys.getsizeof(self._document)

    def __dask_tokenize__(self) -> str:
        return self._digest

    def __repr__(self) -> str:
        c = self._counts
        return (f"<FrozenSystem {self._digest[:12]}: {c.meas} meas, {c.phi} phi, {c.ts} ts, "
                f"{c.com} com, {c.layers} layers, {len(self._document)} characters>")


def freeze(system: Any) -> FrozenSystem:
    """`system` (a vedov.SystemGeom) frozen: its document written in memory and its counts, read
    under one hold. A FrozenSystem is returned as it is."""
    if isinstance(system, FrozenSystem):
        return system
    from vedovx._systems import borrowed

    with borrowed(system) as held:
        return FrozenSystem(held.document(), held.counts())


class CacheInfo(NamedTuple):
    """Thawing in this process: systems found already parsed, parsed, and parsed ones kept."""

    hits: int
    misses: int
    kept: int


class _Thawed:
    """The systems this process parsed from frozen ones, by content hash."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._systems: collections.OrderedDict[str, tuple[vedov.SystemGeom, Counts]] = (
            collections.OrderedDict())
        self._hits = self._misses = 0

    def get(self, frozen: FrozenSystem) -> vedov.SystemGeom:
        """The system of `frozen`, parsed on first use. Never handed out: vedovx only reads it."""
        key = frozen.digest
        # Parsing holds the interpreter lock anyway; one lock makes a system parsed only once.
        with self._lock:
            found = self._systems.get(key)
            if found is None:
                self._misses += 1
                found = (frozen.thaw(), frozen.counts)
                self._systems[key] = found
                while len(self._systems) > CACHE_SIZE:
                    self._systems.popitem(last=False)
            else:
                self._hits += 1
                self._systems.move_to_end(key)
            system, counts = found
            if counts != frozen.counts:
                raise ValueError(f"the frozen system states {frozen.counts}, but its document "
                                 f"holds {counts}")
            return system

    def info(self) -> CacheInfo:
        with self._lock:
            return CacheInfo(self._hits, self._misses, len(self._systems))

    def clear(self) -> None:
        with self._lock:
            self._systems.clear()
            self._hits = self._misses = 0


THAWED = _Thawed()
