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

from ._columns import Table


class ContentError(Exception):
    """A binary or container file breaks its own structure (cut off, bad length)."""


def numeric_table(
    names: Sequence[str], columns: Sequence[npt.NDArray[Any]], attrs: dict[str, Any] | None = None
) -> Table:
    """A table with one column per array, rows numbered from 1 in the file's order."""
    texts = [_exact(np.asarray(c)).astype(str) for c in columns]
    count = len(texts[0]) if texts else 0
    rows = [(i + 1, [t[i] for t in texts]) for i in range(count)]
    return Table(list(names), 0, rows, "\t", attrs=dict(attrs or {}))


def _exact(values: npt.NDArray[Any]) -> npt.NDArray[Any]:
    return values.astype(np.float64) if values.dtype.kind == "f" else values
