"""Write and read korvane ``.eisnn`` weight files (NumPy only).

Import by path::

    import sys; sys.path.insert(0, "<repo>/tools")
    import eisnn

Writing
-------
``write_eisnn(path_or_file, metadata, tensors) -> int`` writes a file and
returns its size in bytes; ``eisnn_bytes(metadata, tensors) -> bytes`` builds
the same bytes in memory.

* ``metadata``: a ``dict[str, str]`` or a list of ``(key, value)`` pairs,
  written in the given order (a list may repeat a key; the reader keeps the
  last). Values are text: ``{"circuit": "R0-(R1,C1)", "n_grid": "64", ...}``.
* ``tensors``: a list of ``(name, values, encoding)`` or
  ``(name, values, encoding, dims)`` tuples, written in the given order.

  - ``values``: anything ``np.asarray`` accepts. Its shape gives the stored
    dimensions unless ``dims`` is passed; values are written row-major.
  - ``encoding``: ``F32`` (0, IEEE binary32), ``F16`` (1, IEEE binary16) or
    ``I8`` (2, one binary32 scale then signed bytes, value = byte * scale).
    Float values are rounded to nearest-even by NumPy's conversion; pass a
    ``np.float16``/``np.float32`` array to control the exact bits. For ``I8``
    pass either float values (quantised with scale = max|x| / 127, see
    ``quantize_int8``) or a ``(scale, int8_values)`` pair.
  - ``dims``: explicit dimension list (for example ``[]`` for a scalar record).
    The element count is the product of the dims in unsigned 32-bit arithmetic
    with an empty or zero product taken as 1, and must equal ``values.size``.

  Names and metadata are encoded as UTF-8; pass ``bytes`` to write raw bytes.

The network files korvane loads use ``F16`` for every tensor named ``w.*`` and
``F32`` for ``target_mean``, ``target_std``, ``scaling`` and ``log_params``;
``network_tensor_shapes`` lists the 44 network tensors in file order.

Reading
-------
``read_eisnn(path_or_bytes) -> EisnnFile`` parses the byte layout (format
checks only: magic, lengths, encodings) and returns
``EisnnFile(metadata: dict[str, str], tensors: dict[str, EisnnTensor], end: int)``
where ``EisnnTensor(encoding, dims, values)`` holds the values as a float64
array shaped by ``dims`` when the product matches (flat otherwise) and
``end`` is the offset just after the last record. Format errors raise
``EisnnError`` with korvane's messages ("weight file is truncated", ...).

Example::

    import numpy as np, eisnn
    meta = {"circuit": "R0-(R1,C1)", "param_names": "R0.r,R1.r,C1.c", ...}
    tensors = [(n, np.zeros(s), eisnn.F16) for n, s in
               eisnn.network_tensor_shapes(channels=16, kernel=5, head=64, outputs=3)]
    tensors += [("target_mean", np.zeros(3), eisnn.F32), ...]
    eisnn.write_eisnn("rc.eisnn", meta, tensors)
"""

from __future__ import annotations

import io
import os
import struct
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import BinaryIO

import numpy as np

__all__ = [
    "F32",
    "F16",
    "I8",
    "MAGIC",
    "EisnnError",
    "EisnnFile",
    "EisnnTensor",
    "eisnn_bytes",
    "write_eisnn",
    "read_eisnn",
    "quantize_int8",
    "element_count",
    "network_tensor_shapes",
]

F32 = 0
F16 = 1
I8 = 2
MAGIC = b"EISNN001"

_U32_MAX = 0xFFFFFFFF


class EisnnError(ValueError):
    """A weight file that does not follow the byte layout."""


@dataclass
class EisnnTensor:
    encoding: int
    dims: list[int]
    values: np.ndarray  # float64


@dataclass
class EisnnFile:
    metadata: dict[str, str]
    tensors: dict[str, EisnnTensor]
    end: int  # offset just past the last tensor record


def element_count(dims: Sequence[int]) -> int:
    """Product of dims modulo 2**32; an empty or zero product counts as 1."""
    n = 1
    for d in dims:
        n = (n * int(d)) & _U32_MAX
    return n if n != 0 else 1


def quantize_int8(values) -> tuple[np.float32, np.ndarray]:
    """Symmetric int8 quantisation: scale = max|x|/127 (binary32), b = round(x/scale)."""
    x = np.asarray(values, dtype=np.float64)
    peak = float(np.max(np.abs(x))) if x.size else 0.0
    scale = np.float32(peak / 127.0 if peak > 0 else 1.0)
    b = np.clip(np.rint(x / np.float64(scale)), -128, 127).astype(np.int8)
    return scale, b


def network_tensor_shapes(
    channels: int, kernel: int, head: int, outputs: int, n_blocks: int = 4
) -> list[tuple[str, tuple[int, ...]]]:
    """The network tensors in file order with their shapes.

    Stem (Ch, 3, K); per block conv1/norm1/conv2/norm2; head.0 (H, 2Ch+2),
    head.2 (H, H), head.4 (2P, H), each weight followed by its bias.
    """
    ch, k, h, p = channels, kernel, head, outputs
    out: list[tuple[str, tuple[int, ...]]] = [
        ("w.stem.weight", (ch, 3, k)),
        ("w.stem.bias", (ch,)),
    ]
    for b in range(n_blocks):
        pre = f"w.blocks.{b}."
        out += [
            (pre + "conv1.weight", (ch, ch, k)),
            (pre + "conv1.bias", (ch,)),
            (pre + "norm1.weight", (ch,)),
            (pre + "norm1.bias", (ch,)),
            (pre + "conv2.weight", (ch, ch, k)),
            (pre + "conv2.bias", (ch,)),
            (pre + "norm2.weight", (ch,)),
            (pre + "norm2.bias", (ch,)),
        ]
    out += [
        ("w.head.0.weight", (h, 2 * ch + 2)),
        ("w.head.0.bias", (h,)),
        ("w.head.2.weight", (h, h)),
        ("w.head.2.bias", (h,)),
        ("w.head.4.weight", (2 * p, h)),
        ("w.head.4.bias", (2 * p,)),
    ]
    return out


# ---------------------------------------------------------------------------
# Writing


def _u32(value: int) -> bytes:
    if not 0 <= value <= _U32_MAX:
        raise ValueError(f"{value} does not fit an unsigned 32-bit field")
    return struct.pack("<I", value)


def _string(text: str | bytes) -> bytes:
    raw = text if isinstance(text, bytes) else text.encode("utf-8")
    return _u32(len(raw)) + raw


def _tensor_record(name, values, encoding: int, dims=None) -> bytes:
    if encoding == I8 and isinstance(values, tuple):
        scale, raw = values
        arr = np.asarray(raw)
    else:
        scale, raw = None, None
        arr = np.asarray(values)
    dims = list(arr.shape) if dims is None else [int(d) for d in dims]
    if len(dims) > 255:
        raise ValueError(f"tensor {name!r}: {len(dims)} dimensions, at most 255")
    count = element_count(dims)
    if arr.size != count:
        raise ValueError(f"tensor {name!r}: dims {dims} hold {count} values, got {arr.size}")
    flat = arr.reshape(-1)
    head = _string(name) + bytes([encoding & 0xFF, len(dims)]) + b"".join(_u32(d) for d in dims)
    if encoding == F32:
        payload = flat.astype("<f4").tobytes()
    elif encoding == F16:
        payload = flat.astype("<f2").tobytes()
    elif encoding == I8:
        if scale is None:
            scale, raw_b = quantize_int8(flat)
        else:
            raw_b = np.asarray(raw)
            if raw_b.dtype != np.int8:
                if np.any((raw_b < -128) | (raw_b > 127)):
                    raise ValueError(f"tensor {name!r}: int8 values out of range")
                raw_b = raw_b.astype(np.int8)
        payload = np.float32(scale).astype("<f4").tobytes() + raw_b.reshape(-1).tobytes()
    else:
        raise ValueError(f"tensor {name!r}: unknown encoding {encoding}")
    return head + payload


def _pairs(metadata) -> Iterable[tuple]:
    if isinstance(metadata, Mapping):
        return list(metadata.items())
    return list(metadata)


def eisnn_bytes(metadata, tensors) -> bytes:
    """The bytes of a weight file; see the module docstring for the arguments."""
    pairs = _pairs(metadata)
    out = io.BytesIO()
    out.write(MAGIC)
    out.write(_u32(len(pairs)))
    for key, value in pairs:
        out.write(_string(key))
        out.write(_string(value))
    tensors = list(tensors)
    out.write(_u32(len(tensors)))
    for entry in tensors:
        out.write(_tensor_record(*entry))
    return out.getvalue()


def write_eisnn(path_or_file: str | os.PathLike | BinaryIO, metadata, tensors) -> int:
    """Writes a weight file to a path or binary file object; returns its size."""
    data = eisnn_bytes(metadata, tensors)
    if hasattr(path_or_file, "write"):
        path_or_file.write(data)
    else:
        with open(path_or_file, "wb") as f:
            f.write(data)
    return len(data)


# ---------------------------------------------------------------------------
# Reading


class _Cursor:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, n: int) -> bytes:
        if len(self.data) - self.pos < n:
            raise EisnnError("weight file is truncated")
        out = self.data[self.pos : self.pos + n]
        self.pos += n
        return out

    def u8(self) -> int:
        return self.take(1)[0]

    def u32(self) -> int:
        return struct.unpack("<I", self.take(4))[0]

    def string(self) -> str:
        raw = self.take(self.u32())
        try:
            return raw.decode("utf-8", errors="strict")
        except UnicodeDecodeError:
            raise EisnnError("weight file is truncated") from None


def read_eisnn(path_or_bytes: str | os.PathLike | bytes | bytearray) -> EisnnFile:
    """Parses the byte layout of a weight file (from a path or from bytes)."""
    if isinstance(path_or_bytes, (bytes, bytearray, memoryview)):
        data = bytes(path_or_bytes)
    else:
        with open(path_or_bytes, "rb") as f:
            data = f.read()
    if len(data) < 8:
        raise EisnnError("weight file is truncated")
    if data[:8] != MAGIC:
        raise EisnnError("not an eisnn weight file (bad magic bytes)")
    cur = _Cursor(data)
    cur.pos = 8
    metadata: dict[str, str] = {}
    for _ in range(cur.u32()):
        key = cur.string()
        metadata[key] = cur.string()
    tensors: dict[str, EisnnTensor] = {}
    for _ in range(cur.u32()):
        name = cur.string()
        encoding = cur.u8()
        rank = cur.u8()
        dims = [cur.u32() for _ in range(rank)]
        n = element_count(dims)
        if encoding == F32:
            values = np.frombuffer(cur.take(4 * n), dtype="<f4").astype(np.float64)
        elif encoding == F16:
            values = np.frombuffer(cur.take(2 * n), dtype="<f2").astype(np.float64)
        elif encoding == I8:
            scale = np.float64(np.frombuffer(cur.take(4), dtype="<f4")[0])
            values = np.frombuffer(cur.take(n), dtype=np.int8).astype(np.float64) * scale
        else:
            raise EisnnError(
                f"weight file uses tensor encoding {encoding}, which this build does not know"
            )
        if int(np.prod(dims, dtype=object)) == n:
            values = values.reshape(dims)
        tensors[name] = EisnnTensor(encoding, dims, values)
    return EisnnFile(metadata, tensors, cur.pos)
