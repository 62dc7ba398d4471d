"""Zahner Thales ``.ism``: big-endian binary, |Z| and phase in radians.

After a 10-byte header (``00 00 FF FF FF FE`` and four more bytes), a signed
16-bit count gives the number of points minus one, then come arrays of that
many big-endian 64-bit floats: frequency (Hz), |Z| (ohm), phase (radians,
negative for a capacitive cell) and a time stamp (s), followed by further
per-point data and a text block this reader does not need. Points keep the
stored order: a sweep may start mid-range, go up, then down.
"""

from __future__ import annotations

import math
import struct

import numpy as np

from ._binary import ContentError, numeric_table
from ._columns import Table

MAGIC = b"\x00\x00\xff\xff\xff\xfe"
_ARRAYS = 12  # byte offset of the frequency array


def is_ism(raw: bytes) -> bool:
    return raw.startswith(MAGIC)


def parse(raw: bytes) -> list[Table]:
    if len(raw) < _ARRAYS:
        raise ContentError(f"{len(raw)} bytes: too short for the header")
    points = struct.unpack_from(">h", raw, 10)[0] + 1
    if points < 1:
        raise ContentError(f"the header announces {points} points")
    end = _ARRAYS + 4 * 8 * points
    if end > len(raw):
        raise ContentError(
            f"the header announces {points} points, {end} bytes of arrays, "
            f"but the file has {len(raw)} bytes (cut off?)"
        )
    arrays = np.frombuffer(raw, ">f8", count=4 * points, offset=_ARRAYS).reshape(4, points)
    freq, modulus, phase, stamp = (a.astype(np.float64) for a in arrays)
    if not (np.all(np.isfinite(freq) & (freq > 0)) and np.all(modulus >= 0)):
        raise ContentError("frequencies and moduli are not all positive: not a spectrum layout")
    if np.any(np.abs(phase) > math.pi + 1e-9):
        raise ContentError("phases beyond ±π: not the radian phase of a spectrum")
    # The stamps count from an instrument epoch; elapsed time is what users read.
    elapsed = stamp - stamp.min()
    return [numeric_table(["Frequency/Hz", "|Z|/Ohm", "Phase/rad", "time/s"],
                          [freq, modulus, phase, elapsed])]  # fmt: skip
