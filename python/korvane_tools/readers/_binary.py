"""What the readers of binary and container files share.

Their values are numbers already, not text; they hand them on as a
:class:`Table` all the same, so that column recognition, signs, units, the
cut into cycles and ``attrs["columns"]`` stay those of every other format.
A stored 32-bit value keeps its exact value (``1000.320068359375``), which
rounds to what the instrument's own text export prints
(``1.0003201E+003``); its shortest 32-bit form (``1000.32007``) would not
always round so. Where a value must pass as text, it is the shortest text
of that exact value.
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

    The numbers go on as a block, never as text; a column whose unit has a
    prefix ("<I>/mA") is scaled on the array. Columns no role is recognised
    in never reach a frame and are dropped.
    """
    try:
        keep = sorted(c.index for c in recognise(list(names), 0).values())
    except FormatError:
        keep = list(range(len(names)))  # ambiguous names: the reading will say so
    block = [np.asarray(columns[k]).astype(np.float64) for k in keep]
    return Table(
        [names[k] for k in keep], 0, [], "\t", attrs=dict(attrs or {}), block=block, block_line=1
    )
