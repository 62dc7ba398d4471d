"""Ivium ``.idf`` (one scan) and ``.ids`` (a data set of several scans).

Both are ``key=value`` text in sections, each section led by a few binary
bytes (a length and a CR), so the file is read as Latin-1, where every
byte is a character and the text parts stay legible. A scan's points sit
in a block introduced by a ``primary_data`` line, then a line with the
column count, one with the row count, then blank-separated rows: Z' (ohm),
Z'' (ohm, negative for a capacitive cell), frequency (Hz). Later blocks
(``osc_data`` and others) hold raw waveforms and are not the spectrum.

In an ``.ids`` every scan repeats its sections, so each ``primary_data``
block is one spectrum; the ``Method=`` line last seen before a block says
what it measured, and only ``Impedance`` blocks are read.
"""

from __future__ import annotations

import re

from ._binary import ContentError
from ._columns import Table
from ._text import split_lines

_NAMES = ["Z'/Ohm", "Z''/Ohm", "freq/Hz"]
# Sections start with binary length bytes; strip them off a line's ends.
_JUNK = "".join(map(chr, [*range(32), *range(127, 256)])) + " "


def is_ivium(raw: bytes) -> bool:
    head = raw[:4096]
    return b"primary_data" in raw and (b"Method=" in head or b"Version=" in head)


def parse(raw: bytes) -> list[Table]:
    lines = split_lines(raw.decode("latin-1"))
    tables: list[Table] = []
    method, skipped = None, []
    for i, line in enumerate(lines):
        text = line.strip(_JUNK)
        if text.startswith("Method="):
            method = text.partition("=")[2].strip()
        elif text == "primary_data":
            if method is not None and "impedance" not in method.lower():
                skipped.append(method)
                continue
            tables.append(_block(lines, i, len(tables)))
    if not tables:
        found = f" (scans of method {', '.join(sorted(set(skipped)))})" if skipped else ""
        raise ContentError(f"no impedance scan in the file{found}")
    return tables


def _count(lines: list[str], k: int, what: str) -> int:
    text = lines[k].strip(_JUNK) if k < len(lines) else ""
    if not text.isdigit():
        raise ContentError(
            f"line {k + 1}: expected the {what} after 'primary_data', found {text[:30]!r}"
        )
    return int(text)


def _block(lines: list[str], at: int, scan: int) -> Table:
    columns = _count(lines, at + 1, "column count")
    rows = _count(lines, at + 2, "row count")
    if columns < 3:
        raise ContentError(f"line {at + 2}: {columns} columns; expected Z', Z'' and frequency")
    first = at + 3
    end = min(first + rows, len(lines))
    data = [(k + 1, re.split(r"\s+", lines[k].strip())) for k in range(first, end)]
    names = _NAMES + [f"column {c + 1}" for c in range(3, columns)]
    # The announced row count is checked, so a cut-off scan is refused.
    return Table(names, at + 1, data, " ", declared=rows, attrs={"scan": scan})
