"""How a system's measurement lists fall into lattices, as the structured evaluation sees them."""

from __future__ import annotations

import dataclasses
import math
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from vedovx import _matrices
from vedovx._registry import MEASUREMENTS, MODELS
from vedovx._systems import borrowed

IntArray = npt.NDArray[np.int64]


class Lattice(NamedTuple):
    """Measurements list[start:stop] whose points at z = 0 lie on one square lattice and which
    share everything else (kind, source, edges, gradient axis, samples)."""

    start: int
    stop: int
    pitch: float  # metres
    angle: float  # degrees, of the lattice axis nearest the pupil's x axis, in [-45, 45)
    altitude: float  # of the source: +inf for parallel lines
    sites: tuple[int, int]  # the extent of the members' sites along each lattice axis


class Broken(NamedTuple):
    """Measurements list[start:stop] alike in everything but their points, which form no lattice,
    and why."""

    start: int
    stop: int
    reason: str


class Lattices(NamedTuple):
    """A list's lattices and the runs of like measurements that are none; the measurements of
    neither are of other kinds, or alike with neither neighbour."""

    lattices: list[Lattice]
    broken: list[Broken]


@dataclasses.dataclass(frozen=True)
class ListStructure:
    """A list's lattices as the compiled part found them."""

    sites: IntArray  # (entries, 3): lattice (-1 for none), i, j
    lattices: list[tuple[Any, ...]]  # (first, last, ox, oy, ux, uy, altitude, i0, i1, j0, j1)
    broken: list[tuple[int, int, str]]

    @classmethod
    def parse(cls, raw: tuple[bytes, list[tuple[Any, ...]], list[tuple[int, int, str]]]
              ) -> ListStructure:
        sites = np.frombuffer(raw[0], np.int64).reshape(-1, 3)
        return cls(sites, raw[1], raw[2])

    def runs(self, entries: int) -> list[tuple[int, int, int]]:
        """[(start, stop, lattice)] covering the list: each lattice's run, and the stretches
        between them (lattice -1)."""
        runs: list[tuple[int, int, int]] = []
        at = 0
        for index, lattice in enumerate(self.lattices):
            first, last = lattice[0], lattice[1]
            if first > at:
                runs.append((at, first, -1))
            runs.append((first, last, index))
            at = last
        if at < entries:
            runs.append((at, entries, -1))
        return runs

    def why_none(self, start: int, stop: int) -> str:
        """Why entries [start, stop) form no lattice."""
        reasons = [reason for first, last, reason in self.broken if first < stop and last > start]
        return reasons[0] if reasons else "no run of two or more like measurements"


def lattices(system: Any, which: _matrices.Measurements) -> Lattices:
    """The lattices of the measurements of `which` ("meas", "phi" or "ts"), as
    ``method="structured"`` and ``covariance_operator`` find them: the covariance between two
    lattices of equal pitch, orientation (up to quarter turns) and source altitude is read from
    one table per pair; every other element is evaluated directly."""
    _matrices._choice(which, MEASUREMENTS, "which")
    with borrowed(system) as held:
        raw = held.structure(which, which, 0.0, MODELS[0], None, 0, False)[0]
    found = ListStructure.parse(raw)
    runs = []
    for first, last, _, _, ux, uy, altitude, i0, i1, j0, j1 in found.lattices:
        runs.append(Lattice(first, last, math.hypot(ux, uy), math.degrees(math.atan2(uy, ux)),
                            altitude, (i1 - i0 + 1, j1 - j0 + 1)))
    return Lattices(runs, [Broken(*b) for b in found.broken])
