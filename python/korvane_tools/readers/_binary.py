"""What the readers of binary and container files share.

Their values are numbers already, not text; they hand them on as a
:class:`Table` of text fields all the same, so that column recognition,
signs, units, the cut into cycles and ``attrs["columns"]`` stay those of
every other format. The text of a number is its shortest round-trip form,
so nothing is lost: a 32-bit value becomes the decimal that EC-Lab prints
for it (``1000.3201``), not its binary expansion (``1000.320068359375``).
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
    texts = [np.asarray(c).astype(str) for c in columns]
    count = len(texts[0]) if texts else 0
    rows = [(i + 1, [t[i] for t in texts]) for i in range(count)]
    return Table(list(names), 0, rows, "\t", attrs=dict(attrs or {}))
