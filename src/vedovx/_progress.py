"""Progress of long evaluations: a callable, or a bar on standard error (tqdm where installed)."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import Any

Callback = Callable[[int, int], Any]


class _TextBar:
    """A one-line bar on standard error, redrawn at most ten times a second."""

    def __init__(self, total: int, label: str, unit: str) -> None:
        self.total, self.label, self.unit, self.shown = total, label, unit, -1.0

    def __call__(self, done: int, total: int) -> None:
        now = time.monotonic()
        if done < total and now - self.shown < 0.1:
            return
        self.shown = now
        share = done / total if total else 1.0
        filled = int(30 * share)
        sys.stderr.write(
            f"\r{self.label}: |{'#' * filled}{' ' * (30 - filled)}| {100 * share:5.1f}% "
            f"({done}/{total} {self.unit}s)"
        )
        if done >= total:
            sys.stderr.write("\n")
        sys.stderr.flush()

    def close(self) -> None:
        pass


class _TqdmBar:
    def __init__(self, total: int, label: str, unit: str) -> None:
        from tqdm.auto import tqdm  # type: ignore[import-untyped]

        self.bar = tqdm(total=total, desc=label, unit=unit, unit_scale=unit != "row",
                        file=sys.stderr, dynamic_ncols=True)

    def __call__(self, done: int, total: int) -> None:
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        self.bar.close()


class Reporter:
    """What a call reports progress to, for `total` units of work (rows, or terms summed) across
    its evaluations; close() it after."""

    def __init__(self, progress: Any, total: int, label: str, unit: str = "row") -> None:
        self.callback: Callback | None = None
        self.total = total
        self._bar: _TqdmBar | _TextBar | None = None
        if progress is None or progress is False:
            return
        if progress is True:
            try:
                self._bar = _TqdmBar(total, label, unit)
            except ImportError:
                self._bar = _TextBar(total, label, unit)
            self.callback = self._bar
        elif callable(progress):
            self.callback = progress
        else:
            raise TypeError(
                f"progress must be True, False, None or a callable, not {type(progress).__name__}"
            )

    def part(self, start: int, cost: int, rows: int) -> Callback | None:
        """The callback of one evaluation of `rows` rows worth `cost` of the total, after `start`:
        it turns the rows it is told are done into work done, rows counted alike."""
        callback, total = self.callback, self.total
        if callback is None:
            return None

        def report(done: int, _rows: int) -> Any:
            return callback(start + (cost * done // rows if rows else cost), total)

        return report

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
