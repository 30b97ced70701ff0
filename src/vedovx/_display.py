"""Short tables for people: the one way vedovx's records print in a terminal and in Jupyter."""

from __future__ import annotations

import dataclasses
import html
from collections.abc import Sequence


@dataclasses.dataclass(frozen=True)
class Table:
    """A titled table: column headings, rows of already formatted cells, and notes under it.

    Columns whose cells all read as numbers are aligned right, in a terminal and in HTML."""

    title: str
    headings: Sequence[str]
    rows: Sequence[Sequence[str]]
    notes: Sequence[str] = ()

    def text(self) -> str:
        """The table as aligned plain text."""
        cells = [list(self.headings), *[list(row) for row in self.rows]]
        widths = [max(len(row[k]) for row in cells) for k in range(len(self.headings))]
        right = [_numeric_column(self.rows, k) for k in range(len(self.headings))]
        lines = [self.title]
        for row in cells:
            line = "  ".join(c.rjust(w) if r else c.ljust(w) for c, w, r in zip(row, widths, right))
            lines.append("  " + line.rstrip())
        lines.extend(f"  {note}" for note in self.notes)
        return "\n".join(lines)

    def html(self) -> str:
        """The table as an HTML fragment (what Jupyter shows)."""
        def cell(tag: str, text: str, right: bool) -> str:
            style = ' style="text-align: right"' if right else ' style="text-align: left"'
            return f"<{tag}{style}>{html.escape(text)}</{tag}>"

        right = [_numeric_column(self.rows, k) for k in range(len(self.headings))]
        head = "".join(cell("th", h, r) for h, r in zip(self.headings, right))
        body = "".join("<tr>" + "".join(cell("td", c, r) for c, r in zip(row, right)) + "</tr>"
                       for row in self.rows)
        notes = "".join(f"<br>{html.escape(note)}" for note in self.notes)
        return (f"<table><caption style=\"text-align: left\"><b>{html.escape(self.title)}</b>"
                f"</caption><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"
                + (f"<small>{notes[4:]}</small>" if notes else ""))


def _numeric_column(rows: Sequence[Sequence[str]], k: int) -> bool:
    """True when every cell of column k reads as a number (or is empty or a dash)."""
    def numeric(text: str) -> bool:
        try:
            float(text)
        except ValueError:
            return text.strip() in ("-", "")
        return True

    return bool(rows) and all(numeric(row[k]) for row in rows)


class Tabular:
    """A record shown as its table(): ``repr()`` and ``str()`` give the text, Jupyter the HTML."""

    def table(self) -> Table:
        """The record as a short table."""
        raise NotImplementedError

    def __repr__(self) -> str:
        return self.table().text()

    def _repr_html_(self) -> str:
        return self.table().html()


def number(value: float, digits: int = 4) -> str:
    """A float in `digits` significant digits, without an exponent where one is not needed."""
    return f"{value:.{digits}g}"
