"""The compiled part's one table of lists, products, models, product sets and counts, as read by
the Python layer: every name below comes from it, so the two cannot disagree."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, NamedTuple, TypeVar

from vedovx import _native


class Step(NamedTuple):
    """One field of a product set, in vedov's order of evaluation."""

    field: str
    product: str  # "covariance", "interaction" or "projection"
    rows: str
    cols: str | None  # a covariance's column list, "com" for an interaction, None for a projection
    lag: str | None  # the time step a covariance reads as its lag ("simul_dt", ...), None for 0.0
    ones: str | None  # a projection without a pupil: one 1.0 per entry of this list


_TABLE: dict[str, Any] = _native.registry()

#: Every list of a system, in the order of its counts.
LISTS: tuple[str, ...] = tuple(entry["name"] for entry in _TABLE["lists"])
#: The lists of measurements: the rows of every matrix, the columns of a covariance.
MEASUREMENTS: tuple[str, ...] = tuple(
    entry["name"] for entry in _TABLE["lists"] if entry["holds"] == "measurements")
#: The covariance models.
MODELS: tuple[str, ...] = tuple(_TABLE["models"])
#: How a covariance is evaluated: every element ("direct"), or lattice pairs from tables.
METHODS: tuple[str, ...] = tuple(_TABLE["methods"])
#: The names of a system's counts: each list's size, then "layers" and "pupil".
COUNTS: tuple[str, ...] = tuple(_TABLE["counts"])
#: The time steps a product's lag may come from.
TIME_STEPS: tuple[str, ...] = tuple(_TABLE["steps"])
#: Each product set's fields (SystemMatrices, ReconMatrices), in vedov's order of evaluation.
PRODUCT_SETS: dict[str, tuple[Step, ...]] = {
    name: tuple(Step(**field) for field in fields)
    for name, fields in _TABLE["product_sets"].items()
}


def describe(step: Step) -> str:
    """What a field is, in words: "covariance ts x meas at lag meas_dt", ..."""
    if step.product == "projection":
        return f"projection of {step.rows} through the pupil (without one: 1.0 per {step.ones})"
    text = f"{step.product} {step.rows} x {step.cols}"
    return text + (f" at lag {step.lag}" if step.lag else "")


T = TypeVar("T", bound=type)


def product_set(name: str) -> Callable[[T], T]:
    """Class decorator of a product set's class: its fields must be the registry's (an ImportError
    says which differ), and its docstring lists them, in vedov's order of evaluation."""

    def check(cls: T) -> T:
        steps = PRODUCT_SETS[name]
        declared = set(getattr(cls, "__annotations__", {}))
        expected = {step.field for step in steps}
        if declared != expected:
            raise ImportError(f"{cls.__qualname__} declares {sorted(declared)}, but vedov's "
                              f"{name} has {sorted(expected)}")
        lines = "".join(f"    {step.field}\n        {describe(step)}\n" for step in steps)
        cls.__doc__ = (f"{cls.__doc__} Its fields are evaluated in the order listed.\n\n"
                       f"    Attributes\n    ----------\n{lines}")
        return cls

    return check
