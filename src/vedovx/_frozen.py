"""Frozen systems: a system as an immutable, picklable value, parsed once in each process."""

from __future__ import annotations

import collections
import hashlib
import os
import sys
import threading
from collections.abc import Mapping
from typing import Any, NamedTuple

import vedov

from vedovx import _native
from vedovx._arrays import whole_number
from vedovx._registry import COUNTS

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
    parses once and keeps (see thawed_cache). Made by ``vedovx.freeze(system)``."""

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
    """This process's parsed copies of frozen systems: lookups that found one, systems parsed,
    copies kept, the bytes they take, and the bound on those bytes."""

    hits: int
    misses: int
    kept: int
    nbytes: int
    limit: int


# The bound on the parsed copies a process keeps, in bytes, unless thawed_cache() sets another.
DEFAULT_LIMIT = 256 * 2**20


class _Thawed:
    """The systems this process parsed from frozen ones, by content hash, the least recently used
    dropped first once their records take more than the limit (the last one used is always kept).

    A system is parsed once even when several threads ask for it together: the first parses it,
    holding no lock (the parse releases the interpreter lock too), and the others wait for it. A
    fork made meanwhile leaves the child a cache of its own, consistent and unlocked."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._systems: collections.OrderedDict[str, tuple[vedov.SystemGeom, Counts, int]] = (
            collections.OrderedDict())
        self._parsing: dict[str, threading.Event] = {}
        self._hits = self._misses = self._bytes = 0
        self._limit = DEFAULT_LIMIT

    def get(self, frozen: FrozenSystem) -> vedov.SystemGeom:
        """The system of `frozen`, parsed on first use. Never handed out: vedovx only reads it."""
        key = frozen.digest
        while True:
            with self._lock:
                found = self._systems.get(key)
                if found is not None:
                    self._hits += 1
                    self._systems.move_to_end(key)
                    break
                parsed = self._parsing.get(key)
                if parsed is None:
                    parsed = self._parsing[key] = threading.Event()
                    self._misses += 1
                    found = self._parse(frozen, key, parsed)
                    break
            parsed.wait()  # another thread parses it: look again once it has
        system, counts, _ = found
        if counts != frozen.counts:
            raise ValueError(f"the frozen system states {frozen.counts}, but its document holds "
                             f"{counts}")
        return system

    def _parse(self, frozen: FrozenSystem, key: str,
               parsed: threading.Event) -> tuple[vedov.SystemGeom, Counts, int]:
        """Parses `frozen` with the cache's lock released (it is held on entry and on return) and
        keeps it; `parsed` is set whatever happens."""
        self._lock.release()
        try:
            system = _native.load_document(frozen.document)
            held = _native.borrow(system)
            try:
                found = (system, Counts(**held.counts()), held.nbytes())
            finally:
                held.release()
        finally:
            self._lock.acquire()
            del self._parsing[key]
            parsed.set()
        self._systems[key] = found
        self._bytes += found[2]
        self._trim()
        return found

    def _trim(self) -> None:
        while self._bytes > self._limit and len(self._systems) > 1:
            _, (_, _, nbytes) = self._systems.popitem(last=False)
            self._bytes -= nbytes

    def info(self, limit: int | None = None) -> CacheInfo:
        with self._lock:
            if limit is not None:
                self._limit = limit
                self._trim()
            return CacheInfo(self._hits, self._misses, len(self._systems), self._bytes,
                             self._limit)

    def clear(self) -> None:
        with self._lock:
            self._systems.clear()
            self._hits = self._misses = self._bytes = 0

    # A fork while another thread holds the lock or parses: the child, which has only the forking
    # thread, gets a fresh lock and no parse in progress (its waiters would wait forever).
    def _before_fork(self) -> None:
        self._lock.acquire()

    def _after_fork_in_parent(self) -> None:
        self._lock.release()

    def _after_fork_in_child(self) -> None:
        self._lock = threading.Lock()
        self._parsing = {}


THAWED = _Thawed()
os.register_at_fork(before=THAWED._before_fork, after_in_parent=THAWED._after_fork_in_parent,
                    after_in_child=THAWED._after_fork_in_child)


def thawed_cache(limit: int | None = None) -> CacheInfo:
    """This process's cache of parsed frozen systems: how it was used and what it holds.

    Every process that evaluates a frozen system parses it once and keeps the parsed copy (by the
    SHA-256 of its document) for the blocks that follow; copies used least recently are dropped
    once the kept ones take more than `limit` bytes (256 MiB unless set; the one used last is kept
    whatever its size). Dask does not see this memory: on a cluster, set it on every worker with
    ``client.run(vedovx.thawed_cache, nbytes)``.

    limit: a new bound in bytes (a non-negative int), applied at once."""
    if limit is not None:
        limit = whole_number(limit, "limit", 0, "an int")
    return THAWED.info(limit)
