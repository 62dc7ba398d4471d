"""Text handling every reader shares: decoding, lines, fields and numbers.

Instrument software writes text in the locale and encoding of the PC it runs
on, so one file may be UTF-8, the next Latin-1 or UTF-16 with a byte-order
mark, with decimal commas and Windows (or doubled ``\\r\\r\\n``) line ends.
All of that is undone here once, so the format parsers see plain lines.
"""

from __future__ import annotations

import codecs
import csv
import re


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
        return raw.decode("utf-16")
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
    else:
        parts = [p.strip() for p in next(csv.reader([line], delimiter=sep))]
    while parts and parts[-1] == "":
        parts.pop()
    return parts


_NUMBER = re.compile(
    r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?|[-+]?(?:nan|inf|infinity)", re.IGNORECASE
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
