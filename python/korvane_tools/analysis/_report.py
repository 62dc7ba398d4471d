"""A plain table-and-summary report for analysis results (DRT, Z-HIT).

:func:`korvane_tools.report` hands a result that has a ``_korvane_report_``
method to it; this is the object such a method returns. It has the text,
Markdown, HTML and JSON-safe forms of :class:`korvane_tools.Report`.
"""

from __future__ import annotations

import html
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class AnalysisReport:
    """A titled table (``header`` and ``rows`` of text cells) and ``summary`` lines."""

    title: str
    header: tuple[str, ...]
    rows: tuple[tuple[str, ...], ...]
    summary: tuple[tuple[str, str], ...]

    def __str__(self) -> str:
        widths = [max([len(h), *(len(r[i]) for r in self.rows)]) for i, h in enumerate(self.header)]

        def line(cells: tuple[str, ...]) -> str:
            # The first column names a row; the rest are numbers.
            parts = [
                c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))
            ]
            return "  ".join(parts).rstrip()

        out = [self.title, ""]
        if self.rows:
            out += [line(self.header), line(tuple("-" * w for w in widths))]
            out += [line(r) for r in self.rows]
            out.append("")
        if self.summary:
            width = max(len(k) for k, _ in self.summary)
            out += [f"{k.ljust(width)}  {v}" for k, v in self.summary]
        return "\n".join(out).rstrip()

    def to_markdown(self) -> str:
        """The title, table and summary as GitHub-flavoured Markdown."""
        out = [f"**{self.title}**", ""]
        if self.rows:
            out.append("| " + " | ".join(self.header) + " |")
            out.append("|---" + "|---:" * (len(self.header) - 1) + "|")
            out += ["| " + " | ".join(c.replace("|", "\\|") for c in r) + " |" for r in self.rows]
            out.append("")
        out += [f"- {k}: {v}" for k, v in self.summary]
        return "\n".join(out).rstrip()

    def _repr_html_(self) -> str:
        head = "".join(f"<th>{html.escape(h)}</th>" for h in self.header)
        body = "".join(
            "<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in r) + "</tr>" for r in self.rows
        )
        summary = "".join(
            f"<tr><th>{html.escape(k)}</th><td>{html.escape(v)}</td></tr>" for k, v in self.summary
        )
        table = (
            f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"
            if self.rows
            else ""
        )
        return f"<p>{html.escape(self.title)}</p>{table}<table><tbody>{summary}</tbody></table>"

    def to_dict(self) -> dict[str, Any]:
        """Plain JSON-safe types; :meth:`from_dict` rebuilds the report."""
        return {
            "title": self.title,
            "header": list(self.header),
            "rows": [list(r) for r in self.rows],
            "summary": [list(s) for s in self.summary],
        }

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> AnalysisReport:
        """The report that :meth:`to_dict` described."""
        try:
            return cls(
                title=str(data["title"]),
                header=tuple(str(h) for h in data["header"]),
                rows=tuple(tuple(str(c) for c in r) for r in data["rows"]),
                summary=tuple((str(k), str(v)) for k, v in data["summary"]),
            )
        except (KeyError, TypeError, ValueError) as bad:
            raise ValueError(f"report data is malformed: {bad!r}") from None
