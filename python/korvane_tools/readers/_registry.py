"""Binary and container formats, recognised from the bytes before any text decoding.

Each entry names the format, the extensions that suggest it and how its
content is recognised; the first whose content test accepts the bytes reads
them. A file that none accepts and that is not text is refused with
:class:`UnsupportedFormatError`, which says what was tried and what the
content looks like, never quoting the file's bytes. Text files go on to the
text formats of ``_formats``.
"""

from __future__ import annotations

import codecs
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

from . import _biologic_mpr, _formats, _ivium, _palmsens, _spreadsheet, _zahner
from ._binary import ContentError
from ._columns import Table


class UnsupportedFormatError(ValueError):
    """The file is in no format korvane_tools reads."""


@dataclass(frozen=True)
class ByteFormat:
    name: str
    extensions: tuple[str, ...]
    recognises: str  # the content test, in words, for error messages
    accepts: Callable[[bytes, str], bool]
    parse: Callable[[bytes, str], list[Table]]


BYTE_FORMATS: tuple[ByteFormat, ...] = (
    ByteFormat("biologic-mpr", (".mpr",), "starts with 'BIO-LOGIC MODULAR FILE'",
               lambda raw, _: _biologic_mpr.is_mpr(raw), lambda raw, _: _biologic_mpr.parse(raw)),
    ByteFormat("zahner", (".ism",), "starts with the bytes 00 00 FF FF FF FE",
               lambda raw, _: _zahner.is_ism(raw), lambda raw, _: _zahner.parse(raw)),
    ByteFormat("palmsens", (".pssession",), "is JSON in UTF-16 with a byte-order mark",
               lambda raw, _: _palmsens.is_pssession(raw), lambda raw, _: _palmsens.parse(raw)),
    ByteFormat("ivium", (".idf", ".ids"), "has 'Method=' sections and a 'primary_data' block",
               lambda raw, _: _ivium.is_ivium(raw), lambda raw, _: _ivium.parse(raw)),
    ByteFormat("spreadsheet", (".xlsx", ".xlsm", ".ods", ".fods"),
               "is an Office Open XML or OpenDocument spreadsheet",
               lambda raw, suffix: _spreadsheet.kind(raw, suffix) is not None,
               _spreadsheet.parse),
)  # fmt: skip

BY_NAME = {f.name: f for f in BYTE_FORMATS}

#: Every ``format=`` name, binary and container formats first, then text.
NAMES = (*BY_NAME, *_formats.BY_NAME)
_ALIASES = {"mpr": "biologic-mpr", "ism": "zahner", "pssession": "palmsens", "xlsx": "spreadsheet",
            "ods": "spreadsheet", "excel": "spreadsheet", "ec-lab": "biologic", "zview": "zplot",
            "nova": "autolab", "ch": "chi", "tsv": "csv", "text": "csv", "bdf": "csv"}  # fmt: skip


def format_name(format: str) -> str:
    """The format a ``format=`` value names: any case, aliases too."""
    key = _ALIASES.get(format.lower(), format.lower())
    if key not in NAMES:
        names = ", ".join(map(repr, NAMES))
        raise ValueError(f"unknown format {format!r}; expected one of {names} or None")
    return key


# Recognisable kinds of file no reader takes, to say what the file is.
_KINDS = ((b"PK\x03\x04", "a zip archive"), (b"\x89PNG", "a PNG image"),
          (b"\xff\xd8\xff", "a JPEG image"), (b"%PDF", "a PDF document"),
          (b"\x1f\x8b", "a gzip archive"), (b"SQLite format 3\x00", "an SQLite database"),
          (b"\xd0\xcf\x11\xe0", "an OLE2 compound file (old .xls or .doc)"))  # fmt: skip


def read_binary(name: str, raw: bytes, format: str | None) -> tuple[ByteFormat, list[Table]] | None:
    """The format and tables of a binary or container file; None for a text file.

    ``format`` names a format to force (an unknown name is refused); a
    text format's name leaves a text file to the text readers and refuses
    any other, except that ``"biologic"`` on an ``.mpr`` file means its binary
    form.
    """
    suffix = Path(name).suffix.lower()
    chosen = _chosen(format, raw)
    if format is not None and chosen is None:
        if _is_binary(raw):
            raise UnsupportedFormatError(
                f"{name}: unsupported format: format={format!r} reads text, "
                f"but the file is {_describe(raw)}"
            )
        return None
    candidates = [chosen] if chosen is not None else BYTE_FORMATS
    fmt = next((f for f in candidates if f.accepts(raw, suffix)), None)
    if fmt is None and chosen is not None:
        raise UnsupportedFormatError(
            f"{name}: unsupported format: format={format!r} reads files whose content "
            f"{chosen.recognises}, but the file is {_describe(raw)}"
        )
    if fmt is None:
        if not _is_binary(raw):
            return None
        raise UnsupportedFormatError(_refusal(name, raw, suffix))
    try:
        return fmt, fmt.parse(raw, suffix)
    except ContentError as err:
        raise ValueError(f"{name} (read as {fmt.name}): {err}") from None


def _chosen(format: str | None, raw: bytes) -> ByteFormat | None:
    if format is None:
        return None
    key = format_name(format)
    if key == "biologic" and _biologic_mpr.is_mpr(raw):
        key = "biologic-mpr"
    return BY_NAME.get(key)


def _is_binary(raw: bytes) -> bool:
    """Whether the bytes cannot be text: NUL bytes outside UTF-16, or many control bytes."""
    head = raw[:4096]
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return False
    if len(head) >= 4 and head[1] == 0 and head[3] == 0 and head[0] != 0:
        return False  # UTF-16 without a mark, as the text decoder reads it
    control = sum(1 for b in head if b < 32 and b not in (9, 10, 12, 13))
    return b"\x00" in head or control > len(head) // 20


def _describe(raw: bytes) -> str:
    kind = next((k for magic, k in _KINDS if raw.startswith(magic)), None)
    if kind is None:
        kind = "binary data" if _is_binary(raw) else "text"
    return f"{kind} of {len(raw)} bytes"


def _refusal(name: str, raw: bytes, suffix: str) -> str:
    tried = "; ".join(f"{f.name} ({'/'.join(f.extensions)}: {f.recognises})" for f in BYTE_FORMATS)
    expected = next((f for f in BYTE_FORMATS if suffix in f.extensions), None)
    said = (
        f"its extension {suffix!r} suggests {expected.name}, but its content does not match; "
        if expected is not None
        else f"extension {suffix or '(none)'!r}; "
    )
    return (
        f"{name}: unsupported format: the file is {_describe(raw)}, not text; {said}"
        f"tried by content: {tried}"
    )
