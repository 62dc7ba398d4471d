"""Text layouts of older analysis programs: counted tables and one value per line.

*Counted*: the impedance table is preceded by a line holding only its point
count (an optional names line may stand above the count). The count is
checked, so a cut-off file is refused; each counted block is a spectrum.

*Grouped*: one number per line, in groups of three per point: frequency
(Hz), real part, imaginary part (ohm, stored sign), optionally led by a
line with the point count. Lines before the numbers are a preamble.
"""

from __future__ import annotations

import re

from ._columns import Table, names_columns
from ._text import FormatError, fields, number, numeric_separator

_COUNT = re.compile(r"\s*\d+\s*")


def _count_lines(lines: list[str]) -> list[int]:
    """Indexes of lines holding only an integer and directly followed by a row of numbers."""
    return [
        i
        for i in range(len(lines) - 1)
        if _COUNT.fullmatch(lines[i]) and numeric_separator(lines[i + 1]) is not None
    ]


def is_counted(lines: list[str]) -> bool:
    """The first table is led by its exact point count, or by more with the file cut off.

    A lone integer above more rows than it counts is something else (a
    sample number), and the file is left to the delimited-text reader.
    """
    first = next((i for i, ln in enumerate(lines) if numeric_separator(ln) is not None), None)
    if not first or not _COUNT.fullmatch(lines[first - 1]):
        return False
    count = int(lines[first - 1])
    run = first
    while run < len(lines) and numeric_separator(lines[run]) is not None and run - first <= count:
        run += 1
    rows = run - first
    rest = any(ln.strip() for ln in lines[run:])
    return 0 < count and (rows == count or (rows < count and not rest))


def parse_counted(lines: list[str]) -> list[Table]:
    tables: list[Table] = []
    claimed = set()
    for c in _count_lines(lines):
        declared = int(lines[c])
        sep = numeric_separator(lines[c + 1]) or " "
        rows = []
        for k in range(c + 1, min(c + 1 + declared, len(lines))):
            if numeric_separator(lines[k]) is None:
                break
            rows.append((k + 1, fields(lines[k], sep)))
            claimed.add(k)
        above = next((i for i in range(c - 1, -1, -1) if lines[i].strip()), None)
        names = fields(lines[above], sep) if above is not None else None
        if names is not None and not names_columns(names):
            names = None
        header = above + 1 if names is not None and above is not None else c + 1
        tables.append(Table(names, header, rows, sep, declared=declared))
    stray = next(
        (k for k, ln in enumerate(lines) if k not in claimed and numeric_separator(ln) is not None),
        None,
    )
    if stray is not None:
        raise FormatError(
            stray + 1, "a row of numbers beyond the point count announced above it (count wrong?)"
        )
    return tables


def _single_values(lines: list[str]) -> list[int]:
    """Indexes of the trailing run of lines that each hold one number (blank lines skipped)."""
    run: list[int] = []
    for i in range(len(lines) - 1, -1, -1):
        text = lines[i].strip()
        if not text:
            continue
        if number(text, False) is None:
            break
        run.append(i)
    return run[::-1]


def is_grouped(lines: list[str]) -> bool:
    run = _single_values(lines)
    if len(run) < 6:
        return False
    first = lines[run[0]].strip()
    if _COUNT.fullmatch(first) and 0 < len(run) - 1 <= 3 * int(first):
        return True
    return len(run) % 3 == 0 and _positive_frequencies(lines, run)


def _positive_frequencies(lines: list[str], run: list[int]) -> bool:
    return all((number(lines[i], False) or 0.0) > 0 for i in run[::3])


def parse_grouped(lines: list[str]) -> list[Table]:
    run = _single_values(lines)
    first = lines[run[0]].strip()
    declared = None
    # A leading integer is the count unless the values make whole points
    # without it, with positive frequencies (then it is the first frequency).
    if _COUNT.fullmatch(first) and (len(run) % 3 != 0 or not _positive_frequencies(lines, run)):
        declared, run = int(first), run[1:]
    if len(run) % 3:
        raise FormatError(
            run[-1] + 1,
            f"{len(run)} values are not whole points of three (frequency, real, imaginary): "
            "the last point is cut off",
        )
    rows = [(run[g] + 1, [lines[k].strip() for k in run[g : g + 3]]) for g in range(0, len(run), 3)]
    return [Table(None, run[0] + 1, rows, " ", declared=declared)]
