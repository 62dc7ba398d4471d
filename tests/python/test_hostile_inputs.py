"""Inputs an attacker would try: NUL bytes and lone surrogates in text
arguments, and weight files that are well-formed but hostile (work far beyond
any trained network, outputs named in another order than their circuit)."""

import pathlib
import sys

import korvane
import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import eisnn  # noqa: E402

RC_MODEL = ROOT / "models" / "rc.eisnn"


def rc_spectrum(n=40):
    f = np.logspace(-1, 5, n)
    return f, korvane.Circuit("R0-(R1,C1)").with_values([9.9, 100.3, 9.6e-6]).impedance(f)


def derived_from_rc(path, metadata=None, tensors=None):
    """models/rc.eisnn with some metadata values and tensors replaced."""
    original = eisnn.read_eisnn(RC_MODEL)
    meta = dict(original.metadata)
    meta.update(metadata or {})
    records = {name: (name, t.values, t.encoding, t.dims) for name, t in original.tensors.items()}
    for name, (values, dims) in (tensors or {}).items():
        records[name] = (name, np.asarray(values, dtype=np.float64), eisnn.F16, dims)
    eisnn.write_eisnn(str(path), meta, list(records.values()))
    return str(path)


def test_nul_byte_in_a_weights_path_is_refused_before_reading(tmp_path):
    f, z = rc_spectrum()
    c = korvane.Circuit("R0-(R1,C1)")
    hidden = str(RC_MODEL) + "\x00/does/not/exist.eisnn"
    for call in (
        lambda: c.guess(f, z, weights=hidden),
        lambda: c.fit(f, z, weights=hidden),
        lambda: c.fit(f, z, guess_init=True, weights="\x00"),
    ):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call()
    # Nothing was cached under the longer name : the file stays refused even
    # once the path before the NUL exists.
    real = tmp_path / "rc.eisnn"
    real.write_bytes(RC_MODEL.read_bytes())
    with pytest.raises(ValueError, match="^embedded null byte$"):
        c.guess(f, z, weights=str(real) + "\x00")
    assert len(c.guess(f, z, weights=str(real))) == 3
    # A path that is never used is never looked at.
    assert c.fit(f, z, guess_init=False, weights=hidden).success


@pytest.mark.skipif(not RC_MODEL.exists(), reason="bundled rc model not present")
def test_weight_files_asking_for_unbounded_work_are_refused(tmp_path):
    f, z = rc_spectrum()
    c = korvane.Circuit("R0-(R1,C1)")
    # No channels and 2 ^ 32 - 1 groups : every group is empty and any count
    # divides 0, so each normalisation looped four billion times.
    zero_width = {
        "w.stem.weight": ([0.0], [0, 3, 5]),
        "w.stem.bias": ([0.0], [0]),
        "w.head.0.weight": (np.zeros(128), [64, 2]),
    }
    for b in range(4):
        for layer in ("conv1", "conv2"):
            zero_width[f"w.blocks.{b}.{layer}.weight"] = ([0.0], [0, 0, 5])
            zero_width[f"w.blocks.{b}.{layer}.bias"] = ([0.0], [0])
        for layer in ("norm1", "norm2"):
            zero_width[f"w.blocks.{b}.{layer}.weight"] = ([0.0], [0])
            zero_width[f"w.blocks.{b}.{layer}.bias"] = ([0.0], [0])
    empty = derived_from_rc(
        tmp_path / "empty.eisnn", {"channels": "0", "groups": "4294967295"}, zero_width
    )
    assert pathlib.Path(empty).stat().st_size < 16_000
    with pytest.raises(ValueError, match="^weight file has an unparsable value for channels$"):
        c.guess(f, z, weights=empty)
    # A million grid points multiply every layer's work.
    long_grid = derived_from_rc(tmp_path / "long.eisnn", {"n_grid": "1000000"})
    message = (
        "weight file has an unparsable value for network size: one guess would take "
        "1.5088e10 operations, more than the limit of 5.36870912e8"
    )
    with pytest.raises(ValueError) as info:
        c.guess(f, z, weights=long_grid)
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        c.fit(f, z, weights=long_grid)
    assert str(info.value) == message
    # Within the limit a longer grid is still a network like any other.
    assert (
        len(c.guess(f, z, weights=derived_from_rc(tmp_path / "128.eisnn", {"n_grid": "128"}))) == 3
    )


@pytest.mark.skipif(not RC_MODEL.exists(), reason="bundled rc model not present")
def test_parameter_names_out_of_their_circuits_order_are_refused(tmp_path):
    f, z = rc_spectrum()
    path = derived_from_rc(tmp_path / "permuted.eisnn", {"circuit": "(R1,C1)-R0"})
    with pytest.raises(ValueError) as info:
        korvane.Circuit("R0-(R1,C1)").guess(f, z, weights=path)
    assert str(info.value) == (
        f"weight file has an unparsable value for param_names in {path}: "
        '["R0.r", "R1.r", "C1.c"], expected ["R1.r", "C1.c", "R0.r"] for circuit (R1,C1)-R0'
    )


def test_lone_surrogates_get_the_modules_own_errors():
    # The parser sees an unexpected character where the surrogate stands, and
    # the echo shows it escaped as repr() would.
    for text, position in (
        ("R0-\udc80", 3),
        ("\ud800", 0),
        ("R0-(R1,C1\udfff)", 9),
        ("R\udc80", 1),
    ):
        with pytest.raises(ValueError) as info:
            korvane.Circuit(text)
        assert type(info.value) is ValueError
        lines = str(info.value).split("\n")
        if position == 9:  # inside a group anything but ',' or ')' ends the input
            assert lines[0] == "unexpected end of input"
            continue
        escaped = text.encode("utf-8", "backslashreplace").decode("ascii")
        assert lines[:3] == [
            f"unexpected character at position {position}",
            "  " + escaped,
            "  " + " " * position + "^",
        ]
    f, z = rc_spectrum()
    c = korvane.Circuit("R0-(R1,C1)")
    calls = {
        "weights": lambda: c.guess(f, z, weights="rc\udc80.eisnn"),
        "weight": lambda: c.residuals([1, 1, 1], f, z, weight="modulus\udc80"),
        "method": lambda: c.fit(f, z, method="nelder_mead\ud800"),
        "values": lambda: c.with_named_values({"R0.r\udc80": 1.0, "R1.r": 1.0, "C1.c": 1.0}),
    }
    calls["fit weights"] = lambda: c.fit(f, z, weights="\udc80")
    calls["fit weight"] = lambda: c.fit(f, z, weight="\udc80")
    for name, call in calls.items():
        with pytest.raises(ValueError) as info:
            call()
        argument = name.split()[-1]
        assert type(info.value) is ValueError, name
        assert str(info.value).startswith(f"argument '{argument}': "), name
        assert "surrogates not allowed" in str(info.value), name
        assert isinstance(info.value.__cause__, UnicodeEncodeError), name
