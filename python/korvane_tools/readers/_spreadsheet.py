"""Spreadsheets (``.xlsx``, ``.ods``, ``.fods``) through pandas' engines.

Each sheet becomes lines of tab-separated cells and is read like a text
file, so a sheet holds what a delimited file holds (a preamble, a names row,
cycles, repeated names rows) and its columns are recognised the same way.
Numbers keep their shortest exact text; a cell of text keeps its text. A
sheet with no row of two or more numbers (notes, a cover sheet) is no
table and is passed over; an error in a table sheet names that sheet.
"""

from __future__ import annotations

import io
import math
import re
import xml.parsers.expat
import zipfile
from typing import Any

from ._binary import ContentError
from ._columns import Table
from ._formats import sniff
from ._text import FormatError, numeric_separator

_ENGINES = {"xlsx": ("openpyxl", "openpyxl"), "ods": ("odf", "odfpy"), "fods": ("odf", "odfpy")}


def kind(raw: bytes, suffix: str) -> str | None:
    """``"xlsx"``, ``"ods"`` or ``"fods"`` when the bytes are such a file, else None."""
    if raw.startswith(b"PK\x03\x04"):
        try:
            names = set(zipfile.ZipFile(io.BytesIO(raw)).namelist())
        except zipfile.BadZipFile:
            return None
        if "xl/workbook.xml" in names:
            return "xlsx"
        if "content.xml" in names and b"opendocument.spreadsheet" in raw[:200]:
            return "ods"
        return None
    head = raw[:2000].lstrip()
    if (
        head.startswith(b"<?xml")
        and b"office:document" in head
        and (suffix == ".fods" or b"opendocument.spreadsheet" in head)
    ):
        return "fods"
    return None


def parse(raw: bytes, suffix: str) -> list[Table]:
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    what = kind(raw, suffix) or "xlsx"
    engine, package = _ENGINES[what]
    try:
        source = _flat_to_zip(raw) if what == "fods" else raw
        if what != "xlsx":
            _check_xml(source)
        sheets = pd.read_excel(io.BytesIO(source), sheet_name=None, header=None, engine=engine)
    except ImportError:
        raise ContentError(
            f"reading .{what} needs the {package} package: pip install 'korvane[spreadsheet]'"
        ) from None
    except Exception as err:  # noqa: BLE001  # engines raise zlib, XML and zip errors of their own
        raise ContentError(f"not a readable .{what} spreadsheet: {err}") from None
    tables: list[Table] = []
    for sheet, frame in sheets.items():
        lines = ["\t".join(_cell(v) for v in row) for row in frame.itertuples(index=False)]
        if not any(numeric_separator(ln) == "\t" for ln in lines):
            continue
        try:
            found = sniff(lines).parse(lines)
        except FormatError as err:
            raise ContentError(f"sheet {sheet!r}, row {err.line}: {err.message}") from None
        for table in found:
            table.attrs["sheet"] = str(sheet)
        tables.extend(found)
    if not tables:
        raise ContentError(
            f"no sheet holds a table of numbers (sheets: {', '.join(map(repr, sheets))})"
        )
    return tables


_MANIFEST = (
    '<?xml version="1.0" encoding="UTF-8"?>'
    '<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0">'
    '<manifest:file-entry manifest:full-path="/" '
    'manifest:media-type="application/vnd.oasis.opendocument.spreadsheet"/>'
    '<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/>'
    "</manifest:manifest>"
)


def _check_xml(package: bytes) -> None:
    """Refuse damaged XML here: odfpy would print the whole document before failing."""
    with zipfile.ZipFile(io.BytesIO(package)) as opened:
        content = opened.read("content.xml")
    try:
        xml.parsers.expat.ParserCreate().Parse(content, True)
    except xml.parsers.expat.ExpatError as err:
        raise ContentError(f"content.xml is not well-formed XML: {err}") from None


def _flat_to_zip(raw: bytes) -> bytes:
    """A flat OpenDocument file as the zipped package pandas' odf engine opens.

    The flat file is the package's content.xml with another root element
    (``office:document`` for ``office:document-content``).
    """
    content = re.sub(rb"<(/?)office:document\b(?!-)", rb"<\1office:document-content", raw, count=2)
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as package:
        package.writestr("mimetype", "application/vnd.oasis.opendocument.spreadsheet")
        package.writestr("META-INF/manifest.xml", _MANIFEST)
        package.writestr("content.xml", content)
    return out.getvalue()


def _cell(value: Any) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, (int, float)):
        return repr(float(value)) if isinstance(value, float) else str(value)
    return " ".join(str(value).split())
