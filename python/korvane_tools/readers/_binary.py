"""What the readers of binary and container files share.

Their values are numbers already, not text; they hand them on as a
:class:`Table` of text fields all the same, so that column recognition,
signs, units, the cut into cycles and ``attrs["columns"]`` stay those of
every other format. The text of a number is the shortest form that reads
back as the same 64-bit float, so nothing is lost or invented: a stored
32-bit value keeps its exact value (``1000.320068359375``), which rounds to
what the instrument's own text export prints (``1.0003201E+003``); its
shortest 32-bit form (``1000.32007``) would not always round so.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ._columns import Table, recognise
from ._text import FormatError


class ContentError(Exception):
    """A binary or container file breaks its own structure (cut off, bad length)."""


def numeric_table(
    names: Sequence[str], columns: Sequence[npt.NDArray[Any]], attrs: dict[str, Any] | None = None
) -> Table:
    """A table of the recognised columns, rows numbered from 1 in the file's order.

    Columns no role is recognised in never reach a frame, so they are not
    turned into text (the cost of this detour is per value).
    """
    try:
        keep = sorted(c.index for c in recognise(list(names), 0).values())
    except FormatError:
        keep = list(range(len(names)))  # ambiguous names: the reading will say so
    texts = [list(map(repr, np.asarray(columns[k]).tolist())) for k in keep]
    rows = [(i + 1, list(r)) for i, r in enumerate(zip(*texts))]
    return Table([names[k] for k in keep], 0, rows, "\t", attrs=dict(attrs or {}))
