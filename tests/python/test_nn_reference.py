"""The weight-file writer package (tools/eisnn) and the NumPy reference network
used by the C++ inference cross-check (tests/nn/reference_network.py)."""

import math
import os
import struct
import sys

import numpy as np
import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "tests", "nn"))

import eisnn  # noqa: E402
import make_reference_fixtures  # noqa: E402
import reference_network  # noqa: E402


def u32(v):
    return struct.pack("<I", v)


def test_byte_layout_of_a_small_file():
    data = eisnn.eisnn_bytes(
        [("a", "b"), ("ké", "")],
        [
            ("t", np.float32(1.0), eisnn.F32, []),
            ("h", np.array([1.0, 2.0**-24, np.inf], dtype=np.float16), eisnn.F16),
            ("q", (0.5, np.array([2, -2], dtype=np.int8)), eisnn.I8),
        ],
    )
    expected = (
        b"EISNN001"
        + u32(2)
        + u32(1)
        + b"a"
        + u32(1)
        + b"b"
        + u32(3)
        + "ké".encode()
        + u32(0)
        + u32(3)
        + u32(1)
        + b"t"
        + bytes([0, 0])
        + struct.pack("<f", 1.0)
        + u32(1)
        + b"h"
        + bytes([1, 1])
        + u32(3)
        + bytes([0x00, 0x3C, 0x01, 0x00, 0x00, 0x7C])
        + u32(1)
        + b"q"
        + bytes([2, 1])
        + u32(2)
        + struct.pack("<f", 0.5)
        + bytes([0x02, 0xFE])
    )
    assert data == expected


def test_round_trip_of_every_encoding(tmp_path):
    rng = np.random.default_rng(1)
    w = rng.standard_normal((4, 3, 5))
    tensors = [
        ("w.a", w, eisnn.F16),
        ("b", w[0], eisnn.F32),
        ("c", w[1], eisnn.I8),
        ("scalar", np.array(3.5), eisnn.F32),
        ("zero", np.array([9.0]), eisnn.F32, [2, 0]),
    ]
    path = tmp_path / "x.eisnn"
    size = eisnn.write_eisnn(path, [("k", "1"), ("k", "2"), ("u", "Ω")], tensors)
    assert size == os.path.getsize(path)
    f = eisnn.read_eisnn(path)
    assert f.end == size
    assert f.metadata == {"k": "2", "u": "Ω"}  # a repeated key keeps the last value
    assert np.array_equal(f.tensors["w.a"].values, w.astype(np.float16).astype(np.float64))
    assert np.array_equal(f.tensors["b"].values, w[0].astype(np.float32).astype(np.float64))
    c = f.tensors["c"]
    assert c.dims == [3, 5]
    scale = np.max(np.abs(w[1])) / 127
    assert np.max(np.abs(c.values - w[1])) <= scale  # within one quantisation step
    assert f.tensors["scalar"].dims == [] and float(f.tensors["scalar"].values) == 3.5
    assert f.tensors["zero"].dims == [2, 0] and list(f.tensors["zero"].values) == [9.0]


def test_writer_rejects_inconsistent_records():
    with pytest.raises(ValueError):
        eisnn.eisnn_bytes({}, [("t", np.zeros(5), eisnn.F32, [2, 2])])
    with pytest.raises(ValueError):
        eisnn.eisnn_bytes({}, [("t", np.zeros(1), 3)])
    assert eisnn.element_count([65536, 65536]) == 1
    assert eisnn.element_count([65536, 65537]) == 65536


@pytest.mark.parametrize(
    "data, message",
    [
        (b"EISNN00", "weight file is truncated"),
        (b"EISNN002" + u32(0) + u32(0), "not an eisnn weight file (bad magic bytes)"),
        (b"EISNN001" + u32(1) + u32(2) + b"\xc0\x80" + u32(0) + u32(0), "weight file is truncated"),
        (
            b"EISNN001" + u32(0) + u32(1) + u32(1) + b"t" + bytes([3, 0]) + b"\0" * 4,
            "weight file uses tensor encoding 3, which this build does not know",
        ),
        (
            b"EISNN001" + u32(0) + u32(1) + u32(1) + b"t" + bytes([0, 1]) + u32(2) + b"\0" * 7,
            "weight file is truncated",
        ),
    ],
)
def test_reader_errors(data, message):
    with pytest.raises(eisnn.EisnnError) as err:
        eisnn.read_eisnn(data)
    assert str(err.value) == message


def test_network_tensor_names_follow_the_bundled_layout():
    shapes = eisnn.network_tensor_shapes(channels=16, kernel=5, head=64, outputs=3)
    assert len(shapes) == 40
    assert shapes[0] == ("w.stem.weight", (16, 3, 5))
    assert ("w.blocks.3.norm2.bias", (16,)) in shapes
    assert shapes[-6] == ("w.head.0.weight", (64, 34))
    assert shapes[-2] == ("w.head.4.weight", (6, 64))


def rc(freqs, r0, r1, c1):
    return [r0 + 1 / (1 / r1 + 2j * math.pi * f * c1) for f in freqs]


def test_reference_scales_match_the_documented_examples():
    f50 = [10 ** (-1 + 6 * k / 49) for k in range(50)]
    omega_c, z_c = reference_network.scales(f50, rc(f50, 10.0, 100.0, 1e-5))
    assert omega_c == pytest.approx(3237.12, abs=0.01)
    assert z_c == pytest.approx(33.3205, abs=1e-4)
    omega_c, z_c = reference_network.scales(f50, [10.0 + 0j] * 50)
    assert omega_c == pytest.approx(628.3185307179586, rel=1e-12)
    assert z_c == 10.0


def test_reference_convolution_against_direct_sums():
    rng = np.random.default_rng(3)
    x = rng.standard_normal((2, 9))
    w = rng.standard_normal((3, 2, 4))
    b = rng.standard_normal(3)
    for d in (1, 2, 5):
        pad = d * 3 // 2
        y = reference_network.conv(x, w, b, d)
        for o in range(3):
            for t in range(9):
                s = b[o]
                for i in range(2):
                    for k in range(4):
                        j = t + k * d - pad
                        if 0 <= j < 9:
                            s += w[o, i, k] * x[i, j]
                assert y[o, t] == pytest.approx(s, rel=1e-12, abs=1e-12)


def test_committed_fixtures_are_reproduced_by_their_generator(tmp_path):
    make_reference_fixtures.main(str(tmp_path))
    data = os.path.join(ROOT, "tests", "nn", "data")
    for name in ("reference_ch16.eisnn", "reference_small.eisnn"):
        with open(os.path.join(data, name), "rb") as a, open(tmp_path / name, "rb") as b:
            assert a.read() == b.read(), name
    with open(os.path.join(data, "reference_cases.txt")) as f:
        committed = f.read().splitlines()
    regenerated = (tmp_path / "reference_cases.txt").read_text().splitlines()
    assert len(committed) == len(regenerated)
    for a, b in zip(committed, regenerated):
        if a.startswith("expect"):
            va = np.array([float(v) for v in a.split()[1:]])
            vb = np.array([float(v) for v in b.split()[1:]])
            assert np.allclose(va, vb, rtol=1e-13, atol=0, equal_nan=True)
        else:
            assert a == b
