"""Text handling every reader shares: decoding, lines, fields and numbers.

Instrument software writes text in the locale and encoding of the PC it runs
on, so one file may be UTF-8, the next Latin-1 or UTF-16 with a byte-order
mark, with decimal commas and Windows (or doubled ``\\r\\r\\n``) line ends.
All of that is undone here once, so the format parsers see plain lines.
"""

from __future__ import annotations

import codecs
import csv
import io
import re

import numpy as np
import numpy.typing as npt

#: The longest line a text reader takes, in bytes. Instrument rows are a few
#: hundred bytes; a megabyte-long line is a binary file or a damaged one, and
#: splitting it into fields would cost far more than the file's size.
MAX_LINE = 1 << 20
_CHUNK = 1 << 20  # bytes scanned at a time


class FormatError(Exception):
    """The content of a file does not match what its format promises.

    ``line`` counts from 1 as an editor shows it; the public readers turn
    this into a ``ValueError`` that also names the file.
    """

    def __init__(self, line: int, message: str) -> None:
        super().__init__(message)
        self.line = line
        self.message = message


def decode(raw: bytes) -> str:
    """Text of a file: a byte-order mark decides; else UTF-8, else Latin-1.

    Latin-1 maps every byte to a character, so the fallback never fails; the
    characters it may get wrong (µ, °, Ω in names) never carry numbers.
    """
    if raw.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        # A file cut at an odd byte ends in half a character: replaced, so
        # the cut shows as a damaged last row, not as a decoding error.
        return raw.decode("utf-16", errors="replace")
    if raw.startswith(codecs.BOM_UTF8):
        raw = raw[len(codecs.BOM_UTF8) :]
    elif len(raw) >= 4 and raw[1] == 0 and raw[3] == 0 and raw[0] != 0:
        # UTF-16 little endian without a mark: ASCII text has every odd byte 0.
        return raw.decode("utf-16-le", errors="replace")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


def split_lines(text: str) -> list[str]:
    """Lines without their ends; line ``i`` of the result is file line ``i + 1``.

    ``\\r\\r\\n`` (a CRLF file passed once more through a text-mode writer)
    counts as one line end, like ``\\r\\n`` and a lone ``\\r``.
    """
    text = text.replace("\r\r\n", "\n").replace("\r\n", "\n").replace("\r", "\n")
    return text.split("\n")


#: Field separators in the order they are tried; " " stands for any run of
#: blanks (spaces or tabs), so aligned columns split too.
SEPARATORS = ("\t", ";", ",", " ")


def fields(line: str, sep: str) -> list[str]:
    """The stripped fields of ``line``, without trailing empty ones.

    Quoted fields (``"Frequency / Hz"``) are unquoted. Trailing empty
    fields come from a separator at the end of every row, which several
    exporters write; they are not columns.
    """
    if sep == " ":
        parts = [p[1:-1] if len(p) > 1 and p[0] == p[-1] == '"' else p for p in line.split()]
    elif '"' not in line:
        parts = [p.strip() for p in line.split(sep)]
    else:
        try:
            parts = [p.strip() for p in next(csv.reader([line], delimiter=sep))]
        except csv.Error:  # a quoted field beyond the csv module's size limit
            parts = [p.strip() for p in line.split(sep)]
    while parts and parts[-1] == "":
        parts.pop()
    return parts


_NUMBER = re.compile(
    # "\d+\.?\d*" would split a run of digits every possible way before failing:
    # quadratic in a long field. Here a digit has one place to go.
    r"[-+]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?|[-+]?(?:nan|inf|infinity)",
    re.IGNORECASE,
)


def number(field: str, decimal_comma: bool) -> float | None:
    """The value of a numeric field, or None when it is not a number.

    Stricter than ``float()``: no digit-group underscores, no blanks inside.
    With ``decimal_comma`` a comma is the decimal separator ("1,5E+003").
    """
    text = field.strip().replace("\u2212", "-")
    if decimal_comma:
        text = text.replace(",", ".")
    if _NUMBER.fullmatch(text) is None:
        return None
    return float(text)


def decimal_comma(sep: str) -> bool:
    """Whether a comma inside a field is a decimal separator.

    With tabs, semicolons or blanks between fields a comma can only be the
    decimal separator of a European locale; with comma-separated fields it
    can only be the separator.
    """
    return sep != ","


def numeric_separator(line: str) -> str | None:
    """The separator that splits ``line`` into two or more numbers, or None.

    Tried in the order tab, semicolon, comma, blanks, so "1,5;2,3" is two
    numbers with decimal commas and "1.5, 2.3" two with a comma between.
    """
    for sep in SEPARATORS:
        if sep != " " and sep not in line:
            continue
        parts = fields(line, sep)
        comma = decimal_comma(sep)
        if len(parts) >= 2 and all(number(p, comma) is not None for p in parts):
            return sep
    return None


def long_line(raw: bytes) -> int | None:
    """The number of the first line longer than :data:`MAX_LINE` bytes, or None."""
    if len(raw) <= MAX_LINE:
        return None
    view = memoryview(raw)
    previous = -1  # the last line end seen
    for start in range(0, len(raw) + 1, _CHUNK):  # a chunk at a time: no file-sized masks
        codes = np.frombuffer(view[start : start + _CHUNK], np.uint8)
        ends = np.flatnonzero((codes == 10) | (codes == 13)) + start
        if start + _CHUNK >= len(raw):
            ends = np.append(ends, len(raw))
        gaps = np.diff(ends, prepend=previous)
        over = np.flatnonzero(gaps > MAX_LINE + 1)
        if over.size:
            return raw.count(b"\n", 0, int(ends[over[0]] - gaps[over[0]]) + 1) + 1
        if ends.size:
            previous = int(ends[-1])
    return None


# Bytes a block of plain numbers is made of; anything else (a letter, a
# comment mark, a unit, a non-ASCII byte, a quote, which could join lines
# into one field) sends the block to the line-by-line reader, which knows
# every rule and names the line of a fault.
_NUMERIC_BYTES = b"0123456789eE+-.,;\t \r\n"
_ROWS = 1 << 13  # rows parsed at a time


def numeric_block(raw: bytes, offset: int, sep: str) -> list[npt.NDArray[np.float64]] | None:
    """The columns of plain numbers from byte ``offset`` to the end, in one pass.

    A vectorised reading of what the line-by-line reader would give for a
    well-formed table: every row the same number of numbers, blank lines
    skipped, trailing empty fields dropped, decimal commas with tab,
    semicolon or blank separators. Returns None for anything else (a
    shorter or longer row, text, ``nan``), so the caller falls back to the
    line-by-line reader, which gives the same frame or names the line.
    """
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    for start in range(offset, len(raw), _CHUNK):
        if raw[start : start + _CHUNK].translate(None, _NUMERIC_BYTES):
            return None
    first_end = raw.find(b"\n", offset)
    first = raw[offset : first_end if first_end >= 0 else len(raw)].decode("ascii")
    width = len(fields(first, sep))
    if width == 0:
        return None
    data = raw
    if decimal_comma(sep) and raw.find(b",", offset) >= 0:
        data = raw.replace(b",", b".")  # same length: the offset stays valid
    stream = io.BytesIO(data)
    stream.seek(offset)
    # An upper bound of the row count (blank lines are skipped), so the
    # columns are filled in place chunk by chunk: no list of chunks to join.
    rows = data.count(b"\n", offset) + 1
    block = [np.empty(rows) for _ in range(width)]
    filled = 0
    try:
        with pd.read_csv(
            stream,
            header=None,
            dtype={i: np.float64 for i in range(width)},
            engine="c",
            na_filter=False,
            skip_blank_lines=True,
            index_col=False,
            chunksize=_ROWS,
            sep=r"\s+" if sep == " " else sep,
        ) as chunks:
            for chunk in chunks:
                if chunk.shape[1] < width:
                    return None
                for extra in range(width, chunk.shape[1]):  # trailing separators only
                    if not (chunk[extra].astype(str) == "").all():
                        return None
                n = len(chunk)
                for i in range(width):
                    block[i][filled : filled + n] = chunk[i].to_numpy()
                filled += n
    except (ValueError, TypeError, pd.errors.ParserError):
        return None
    if filled == 0:
        return None
    block = [column[:filled] for column in block]
    if any(np.isnan(column).any() for column in block):  # a missing field: no "nan" text gets here
        return None
    return block
