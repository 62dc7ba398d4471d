"""Reading and writing `.eisnn` weight files.

Byte layout (all integers u32 little-endian, strings u32 length + UTF-8):
  "EISNN001" | M | M x (key, value) | T | T x tensor record
  tensor record: name | encoding u8 | D u8 | D x u32 dims | payload
  encoding 0: binary32 LE, 1: binary16 LE, 2: binary32 scale + int8 values.
An empty or zero-sized shape still carries one value.

Used by the exporter until the shared writer under tools/eisnn is available;
the reader exists so the exporter can check every file it writes.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

import numpy as np

MAGIC = b"EISNN001"
ENC_F32, ENC_F16, ENC_Q8 = 0, 1, 2


def _string(text: str) -> bytes:
    raw = text.encode("utf-8")
    return struct.pack("<I", len(raw)) + raw


def _count(shape) -> int:
    n = 1
    for d in shape:
        n = (n * int(d)) & 0xFFFFFFFF
    return n if n != 0 else 1


def encode(metadata: list[tuple[str, str]], tensors: list[tuple[str, int, np.ndarray]]) -> bytes:
    """metadata in file order; tensors as (name, encoding, array) in file order."""
    out = bytearray(MAGIC)
    out += struct.pack("<I", len(metadata))
    for key, value in metadata:
        out += _string(key) + _string(value)
    out += struct.pack("<I", len(tensors))
    for name, enc, arr in tensors:
        arr = np.asarray(arr)
        out += _string(name)
        out += struct.pack("<BB", enc, arr.ndim)
        out += struct.pack(f"<{arr.ndim}I", *arr.shape)
        flat = arr.reshape(-1)
        if flat.size == 0:  # a zero dimension still carries one value
            flat = np.zeros(1)
        if enc == ENC_F32:
            out += flat.astype("<f4").tobytes()
        elif enc == ENC_F16:
            out += flat.astype("<f2").tobytes()
        else:
            raise ValueError(f"encoding {enc} is not written by this exporter")
    return bytes(out)


@dataclass
class Parsed:
    metadata: dict[str, str]
    tensors: dict[str, np.ndarray]  # float64, shaped
    length: int                      # bytes consumed up to the end of the last record


def decode(buf: bytes) -> Parsed:
    pos = 0

    def take(n: int) -> bytes:
        nonlocal pos
        if pos + n > len(buf):
            raise ValueError("weight file is truncated")
        chunk = buf[pos:pos + n]
        pos += n
        return chunk

    def u32() -> int:
        return struct.unpack("<I", take(4))[0]

    def string() -> str:
        return take(u32()).decode("utf-8")

    if take(8) != MAGIC:
        raise ValueError("not an eisnn weight file (bad magic bytes)")
    meta = {}
    for _ in range(u32()):
        k = string()
        meta[k] = string()
    tensors = {}
    for _ in range(u32()):
        name = string()
        enc, ndim = struct.unpack("<BB", take(2))
        shape = struct.unpack(f"<{ndim}I", take(4 * ndim))
        n = _count(shape)
        if enc == ENC_F32:
            vals = np.frombuffer(take(4 * n), "<f4").astype(np.float64)
        elif enc == ENC_F16:
            vals = np.frombuffer(take(2 * n), "<f2").astype(np.float64)
        elif enc == ENC_Q8:
            scale = float(np.frombuffer(take(4), "<f4")[0])
            vals = np.frombuffer(take(n), "i1").astype(np.float64) * scale
        else:
            raise ValueError(f"weight file uses tensor encoding {enc}, which this build does not know")
        full = int(np.prod(shape)) if shape else 1
        tensors[name] = vals.reshape(shape) if full == n else vals
    return Parsed(meta, tensors, pos)
