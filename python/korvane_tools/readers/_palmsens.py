"""PalmSens ``.pssession``: one JSON document in UTF-16, several measurements.

Only impedance measurements (``METHOD_ID=eis`` or ``TECHNIQUE=14`` in the
``Method`` text) become spectra; CV, DPV and others in the same session are
passed over. A measurement's ``EISDataList`` has one entry per channel; a
plain frequency scan keeps its points in the entry's ``DataSet``, a scan
over DC potential in ``SubScans``, one data set per potential: each of these
is a spectrum. The measurement-level data set is read only when that list is
missing, since on a multiplexer it covers one channel.

``ZIm`` and ``Phase`` are stored negated (positive for a capacitive cell);
they are named ``-Z''`` and ``-Phase`` here, so the shared sign rule turns
them back. Key names are matched without regard to case: files of older
software write them in lower case (``measurements``, ``datavalues``, ``v``).
"""

from __future__ import annotations

import codecs
import json
import re
from typing import Any

import numpy as np

from ._binary import ContentError, numeric_table
from ._columns import Table

# Description -> name for the column recognition; None: the unit decides.
_ARRAYS = {"frequency": "Frequency/Hz", "zre": "Z'/Ohm", "zim": "-Z''/Ohm", "z": "|Z|/Ohm",
           "phase": "-Phase/deg", "time": "time/s", "potential": "E/V", "idc": None}  # fmt: skip
_CURRENT_UNITS = {"ampere": "A", "milliampere": "mA", "microampere": "uA",
                  "nanoampere": "nA", "picoampere": "pA"}  # fmt: skip


def is_pssession(raw: bytes) -> bool:
    head = raw[:400]
    if not head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return False
    return head.decode("utf-16", errors="ignore").lstrip("\ufeff \r\n").startswith("{")


def _lower(node: Any) -> Any:
    if isinstance(node, dict):
        return {str(k).lower(): _lower(v) for k, v in node.items()}
    if isinstance(node, list):
        return [_lower(v) for v in node]
    return node


def parse(raw: bytes) -> list[Table]:
    try:
        return _parse(raw)
    except (AttributeError, TypeError, ValueError) as err:
        # a list where an object belongs, text where a number does, bad UTF-16
        raise ContentError(f"unexpected session structure: {err}") from None


def _parse(raw: bytes) -> list[Table]:
    text = raw.decode("utf-16", errors="strict")
    # A stray byte-order mark (or other junk) follows the closing brace.
    end = text.rfind("}")
    try:
        session = _lower(json.loads(text[: end + 1].lstrip("\ufeff")))
    except (json.JSONDecodeError, UnicodeDecodeError) as err:
        raise ContentError(f"not a readable JSON session: {err}") from None
    measurements = session.get("measurements") if isinstance(session, dict) else None
    if not isinstance(measurements, list):
        raise ContentError("expected a 'Measurements' list in the session")
    tables: list[Table] = []
    others = []
    for m, measurement in enumerate(measurements):
        title = str(measurement.get("title", f"measurement {m + 1}"))
        if not _is_impedance(str(measurement.get("method", ""))):
            others.append(title)
            continue
        curves = measurement.get("eisdatalist") or [measurement]
        for entry in curves:
            for sub in entry.get("subscans") or [entry]:
                data = sub.get("dataset")
                if not data:
                    continue
                attrs = {
                    "measurement": title,
                    "curve": str(sub.get("title", entry.get("title", ""))),
                }
                if sub is not entry:
                    attrs["channel"] = str(entry.get("title", ""))
                table = _table(data, attrs)
                if table is not None:
                    tables.append(table)
    if not tables:
        found = ", ".join(repr(t) for t in others) or "none"
        raise ContentError(f"no impedance points in the session (other measurements: {found})")
    return tables


def _is_impedance(method: str) -> bool:
    return bool(re.search(r"^\s*(method_id\s*=\s*eis|technique\s*=\s*14)\s*$", method,
                          re.IGNORECASE | re.MULTILINE))  # fmt: skip


def _table(data: dict[str, Any], attrs: dict[str, Any]) -> Table | None:
    """The curve's arrays as a table; None for a curve stopped before its first point."""
    names: list[str] = []
    columns: list[Any] = []
    for array in data.get("values") or []:
        key = str(array.get("description", "")).lower()
        if key not in _ARRAYS:
            continue
        name = _ARRAYS[key]
        if name is None:  # a current: its unit is a type name ("PalmSens.Units.MicroAmpere")
            unit = str((array.get("unit") or {}).get("type", "")).rsplit(".", 1)[-1].lower()
            if unit not in _CURRENT_UNITS:
                continue
            name = f"Idc/{_CURRENT_UNITS[unit]}"
        values = [v.get("v") for v in array.get("datavalues") or []]
        if not values or name in names:
            continue
        columns.append(np.array([np.nan if v is None else v for v in values], dtype=np.float64))
        names.append(name)
    lengths = {len(c) for c in columns}
    if not lengths or lengths == {0}:
        return None
    if len(lengths) > 1:
        raise ContentError(
            f"curve {attrs['curve']!r}: arrays of different lengths "
            f"({', '.join(f'{n}: {len(c)}' for n, c in zip(names, columns))})"
        )
    return numeric_table(names, columns, attrs)
