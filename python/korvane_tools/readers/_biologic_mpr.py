"""BioLogic EC-Lab binary ``.mpr``: a banner, then modules; the data module holds the rows.

Each module is ``MODULE``, a 10-byte short name (``VMP data``), a 25-byte
long name, then a header: older files give the body length (uint32), a
version (uint32) and an 8-byte date; files of recent EC-Lab versions start
the header with ``FFFFFFFF``, then length, a reserved word, version and date.
The data module body starts with the row count (uint32), the column count
(one byte, two in the recent layout) and one uint16 id per column; the rows
follow, packed little-endian, at an offset fixed per layout.

Column ids map to names and types through a table that grows with every
EC-Lab release. A row's byte size is known from the module length, so one
column of unknown id is sized by the remainder, and several by assuming the
32-bit floats nearly all columns are; when neither fits, columns after the
first unknown one cannot be placed and are left out (an impedance column
among them makes the file unreadable, said so by its id).
"""

from __future__ import annotations

import struct
from typing import Any

import numpy as np

from ._binary import ContentError, numeric_table
from ._columns import Table

MAGIC = b"BIO-LOGIC MODULAR FILE"

# id -> (name as EC-Lab's text export spells it, numpy type). Names decide
# the role through the shared column recognition; "-Im(Z)/Ohm" is negated
# back like its text twin.
_COLUMNS: dict[int, tuple[str, str]] = {
    4: ("time/s", "<f8"), 5: ("control/V/mA", "<f4"), 6: ("Ewe/V", "<f4"),
    7: ("dq/mA.h", "<f8"), 8: ("I/mA", "<f4"), 9: ("Ecell/V", "<f4"),
    11: ("<I>/mA", "<f8"), 13: ("(Q-Qo)/mA.h", "<f8"), 16: ("Analog IN 1/V", "<f4"),
    17: ("Analog IN 2/V", "<f4"), 19: ("control/V", "<f4"), 20: ("control/mA", "<f4"),
    23: ("dQ/mA.h", "<f8"), 24: ("cycle number", "<f8"), 26: ("Rapp/Ohm", "<f4"),
    27: ("Ewe-Ece/V", "<f4"), 32: ("freq/Hz", "<f4"), 33: ("|Ewe|/V", "<f4"),
    34: ("|I|/A", "<f4"), 35: ("Phase(Z)/deg", "<f4"), 36: ("|Z|/Ohm", "<f4"),
    37: ("Re(Z)/Ohm", "<f4"), 38: ("-Im(Z)/Ohm", "<f4"), 39: ("I Range", "<u2"),
    69: ("R/Ohm", "<f4"), 70: ("P/W", "<f4"), 74: ("|Energy|/W.h", "<f8"),
    75: ("Analog OUT/V", "<f4"), 76: ("<I>/mA", "<f4"), 77: ("<Ewe>/V", "<f4"),
    78: ("Cs-2/µF-2", "<f4"), 96: ("|Ece|/V", "<f4"), 98: ("Phase(Zce)/deg", "<f4"),
    99: ("|Zce|/Ohm", "<f4"), 100: ("Re(Zce)/Ohm", "<f4"), 101: ("-Im(Zce)/Ohm", "<f4"),
    123: ("Energy charge/W.h", "<f8"), 124: ("Energy discharge/W.h", "<f8"),
    125: ("Capacitance charge/µF", "<f8"), 126: ("Capacitance discharge/µF", "<f8"),
    131: ("Ns", "<u2"), 163: ("|Estack|/V", "<f4"), 168: ("Rcmp/Ohm", "<f4"),
    169: ("Cs/µF", "<f4"), 172: ("Cp/µF", "<f4"), 173: ("Cp-2/µF-2", "<f4"),
    174: ("<Ewe>/V", "<f4"), 178: ("(Q-Qo)/C", "<f4"), 179: ("dQ/C", "<f4"),
    182: ("step time/s", "<f8"), 211: ("Q charge/discharge/mA.h", "<f8"),
    212: ("half cycle", "<u4"), 213: ("z cycle", "<u4"),
}  # fmt: skip

# Bit flags (mode, ox/red, error, control changes, Ns changes, counter inc.)
# share one byte, placed where the first of them is listed.
_FLAGS = frozenset({1, 2, 3, 21, 31, 65})

_FREQUENCY_ID = 32
_NS_ID = 131
_MODULE = struct.Struct("<6s10s25s")


def is_mpr(raw: bytes) -> bool:
    return raw.startswith(MAGIC)


def parse(raw: bytes) -> list[Table]:
    """The data module's rows as one table (cut into cycles later)."""
    body, version, recent = _data_module(raw)
    if len(body) < (6 if recent else 5):
        raise ContentError("the data module is too short to hold its row and column counts")
    rows = struct.unpack_from("<I", body)[0]
    count, at = (struct.unpack_from("<H", body, 4)[0], 6) if recent else (body[4], 5)
    if at + 2 * count > len(body):
        raise ContentError(f"the data module lists {count} columns but is cut off in their ids")
    ids = list(struct.unpack_from(f"<{count}H", body, at))
    if _FREQUENCY_ID not in ids:
        raise ContentError(
            f"not an impedance measurement: the data module has no frequency column "
            f"(column ids {', '.join(map(str, ids))})"
        )
    if rows == 0:
        raise ContentError(
            "the data module holds 0 rows: the measurement recorded no points "
            "(an empty channel of a grouped run?)"
        )
    total = _row_size(ids)
    start = 0x3EF if recent else {2: 0x195, 3: 0x196}.get(version)
    if start is None and total is not None:
        start = len(body) - rows * total  # a version not seen yet: the rows end the module
    if start is None or start < at + 2 * count or start >= len(body):
        raise ContentError(f"data module version {version}: unknown layout")
    stride = (len(body) - start) // rows
    if total is not None and stride != total:
        raise ContentError(
            f"the column ids make rows of {total} bytes, but the data module holds "
            f"{rows} rows of {stride} bytes (cut off, or a column type unknown here)"
        )
    placed = _place(ids, stride)
    if max(off + np.dtype(kind).itemsize for _, off, kind in placed.values()) > stride:
        raise ContentError(f"rows of {stride} bytes are too short for their columns")
    dtype = np.dtype(
        {
            "names": [str(i) for i in placed],
            "formats": [t for _, _, t in placed.values()],
            "offsets": [off for _, off, _ in placed.values()],
            "itemsize": stride,
        }
    )
    records = np.frombuffer(body, dtype, count=rows, offset=start)
    names = [name for name, _, _ in placed.values()]
    columns = [records[str(i)] for i in placed]
    # Linked techniques number their parts with Ns, and a cycle number may
    # span two of them (a sweep of part 0 and one of part 1 both in cycle 4):
    # each run of one Ns value is cut into cycles on its own.
    sequence = records[str(_NS_ID)] if _NS_ID in placed else np.zeros(rows, np.uint16)
    starts = [0, *(np.flatnonzero(np.diff(sequence)) + 1).tolist(), rows]
    return [
        numeric_table(names, [c[a:b] for c in columns], {"technique_index": int(sequence[a])})
        for a, b in zip(starts[:-1], starts[1:])
    ]


def _data_module(raw: bytes) -> tuple[bytes, int, bool]:
    pos = raw.find(b"MODULE")
    while 0 <= pos < len(raw):
        if raw[pos : pos + 6] != b"MODULE" or pos + _MODULE.size + 16 > len(raw):
            raise ContentError(f"expected a module at byte {pos}: file cut off or damaged")
        _, short, _ = _MODULE.unpack_from(raw, pos)
        head = pos + _MODULE.size
        recent = raw[head : head + 4] == b"\xff\xff\xff\xff"
        if recent:
            length, _, version = struct.unpack_from("<III", raw, head + 4)
            start = head + 24
        else:
            length, version = struct.unpack_from("<II", raw, head)
            start = head + 16
        if start + length > len(raw):
            raise ContentError(
                f"module {short.decode('latin-1').strip()!r} announces {length} bytes "
                f"but the file ends {len(raw) - start} bytes after its header (cut off?)"
            )
        if short.strip() == b"VMP data":
            return raw[start : start + length], version, recent
        pos = start + length
    raise ContentError("no data module ('VMP data') in the file")


def _row_size(ids: list[int]) -> int | None:
    """Bytes per row from the column ids; None when an id is unknown."""
    if any(i not in _COLUMNS and i not in _FLAGS for i in ids):
        return None
    flags = 1 if _FLAGS & set(ids) else 0
    return flags + sum(np.dtype(_COLUMNS[i][1]).itemsize for i in ids if i in _COLUMNS)


def _place(ids: list[int], stride: int) -> dict[int, Any]:
    """Offset of every column that can be placed: id -> (name, offset, type)."""
    unknown = [i for i in ids if i not in _COLUMNS and i not in _FLAGS]
    known = sum(np.dtype(_COLUMNS[i][1]).itemsize for i in ids if i in _COLUMNS)
    rest = stride - known - (1 if _FLAGS & set(ids) else 0)
    sizes: dict[int, int] = {}
    if len(unknown) == 1 and rest > 0:
        sizes[unknown[0]] = rest
    elif unknown and rest == 4 * len(unknown):
        sizes = dict.fromkeys(unknown, 4)
    placed: dict[int, Any] = {}
    offset, flags_seen = 0, False
    for i in ids:
        if i in _FLAGS:
            if not flags_seen:
                placed[-1] = ("flags", offset, "u1")
                offset, flags_seen = offset + 1, True
        elif i in _COLUMNS:
            name, kind = _COLUMNS[i]
            placed[i] = (name, offset, kind)
            offset += np.dtype(kind).itemsize
        elif i in sizes:
            offset += sizes[i]  # skipped: its meaning is unknown
        else:
            break  # this column's size is unknown: later ones cannot be placed
    for needed in (_FREQUENCY_ID, 37, 38):
        if needed in ids and needed not in placed:
            blocking = next(i for i in unknown if i not in sizes)
            raise ContentError(
                f"column id {blocking} is of unknown size and precedes the impedance "
                f"column {_COLUMNS[needed][0]!r}, which therefore cannot be placed"
            )
    placed.pop(-1, None)
    return placed
