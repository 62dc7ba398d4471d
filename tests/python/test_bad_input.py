"""Every entry point against a broad set of hostile arguments.

Each call must either succeed or raise TypeError, ValueError, OverflowError
or the exception a user's own special method raised (Boom) -- never a crash,
a SystemError or an internal error, and never a change to the circuit. Then
what an attacker would try beyond that: NUL bytes and lone surrogates in text
arguments, and weight files that are well-formed but hostile (work far beyond
any trained network, outputs named in another order than their circuit).
"""

import math
import pathlib
import sys

import korvane
import numpy as np
import pytest
from korvane import Circuit


class Boom(Exception):
    pass


class FloatRaises:
    def __float__(self):
        raise Boom("__float__")


class FloatWrongType:
    def __float__(self):
        return "1.0"


class IndexRaises:
    def __index__(self):
        raise Boom("__index__")


class IndexWrongType:
    def __index__(self):
        return 1.5


class ComplexWrongType:
    def __complex__(self):
        return 1.0


class Seq:
    """A sequence through __getitem__/__len__ with configurable faults."""

    def __init__(self, items, length=None, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Boom("__getitem__")
        return self.items[i]


class IterRaises(list):
    def __iter__(self):
        raise Boom("__iter__")


class Frame:
    """Answers obj[name] with whatever it was given."""

    def __init__(self, column):
        self.column = column

    def __getitem__(self, name):
        if isinstance(self.column, Exception):
            raise self.column
        return self.column


class DictSub(dict):
    def __getitem__(self, key):
        raise Boom("dict subclass lookup")


def shrinking():
    items = []

    class Pop:
        def __float__(self):
            if items:
                items.pop()
            return 1.0

        def __complex__(self):
            return complex(self.__float__())

    items.extend(Pop() for _ in range(8))
    return items


def growing():
    items = []

    class Push:
        def __float__(self):
            if len(items) < 50:
                items.append(Push())
            return 2.0

        def __complex__(self):
            return complex(self.__float__())

    items.append(Push())
    return items


def hostile_objects():
    return [
        None,
        1.5,
        -1,
        0,
        10**400,
        -(10**400),
        math.nan,
        "12",
        "",
        "\ud800",
        b"12",
        bytearray(b"\x01"),
        object(),
        [],
        [1.0, 2.0],
        (3,),
        {"a": 1},
        {1: 2},
        {math.nan: [1.0]},
        DictSub({"R0.r": 1.0}),
        {1.0},
        range(3),
        iter([1.0]),
        FloatRaises(),
        FloatWrongType(),
        IndexRaises(),
        IndexWrongType(),
        ComplexWrongType(),
        [FloatRaises()],
        [FloatWrongType()],
        [IndexRaises()],
        [ComplexWrongType()],
        [10**400],
        ["x"],
        [None],
        [[1.0]],
        [1j],
        Seq([1.0, 2.0], length=Boom("__len__")),
        Seq([1.0, 2.0], length=2**62),
        Seq([1.0, 2.0], length=-5),
        Seq([1.0, 2.0], length=10**30),
        Seq([1.0], length="x"),
        Seq([1.0, 2.0, 3.0], fail_at=1),
        IterRaises([1.0]),
        shrinking(),
        growing(),
        Frame(Boom("lookup")),
        Frame("text"),
        Frame(None),
        Frame([1.0, "x"]),
        Frame(Seq([1.0], fail_at=0)),
        Frame(np.array([[1.0, 2.0]])),
        np.zeros((2, 2)),
        np.array(1.0),
        np.array(["a"]),
        np.array([1 + 1j]),
        np.array([object()]),
        np.array([np.nan, np.inf]),
        korvane.R(1.0),
        Circuit("R0"),
        korvane.Element,
        korvane.FitResult,
    ]


C = Circuit("R0-(R1,C1)").with_values([10, 100, 1e-5])
F = [1.0, 10.0, 100.0]
Z = list(C.impedance(F))
P = C.param_values()
DATA = {
    "Frequency / Hz": F,
    "Real Impedance / ohm": [z.real for z in Z],
    "Imaginary Impedance / ohm": [z.imag for z in Z],
}

ENTRY_POINTS = {
    "R": lambda x: korvane.R(x),
    "Zarc": lambda x: korvane.Zarc(1.0, x, 0.5),
    "T kw": lambda x: korvane.T(a=x, b=1, k_tau=1, tau=1),
    "Element": lambda x: korvane.Element(x),
    "Circuit": lambda x: Circuit(x),
    "Circuit kw": lambda x: Circuit(s=x),
    "Series": lambda x: korvane.Series(x),
    "Series item": lambda x: korvane.Series([korvane.R(1), x]),
    "Parallel": lambda x: korvane.Parallel(x),
    "Parallel item": lambda x: korvane.Parallel([x, C]),
    "ml_circuits": lambda x: Circuit.ml_circuits(x),
    "param_names": lambda x: C.param_names(x),
    "with_values": lambda x: C.with_values(x),
    "with_values item": lambda x: C.with_values([x, 1.0, 1.0]),
    "with_named_values": lambda x: C.with_named_values(x),
    "with_named_values value": lambda x: C.with_named_values({"R0.r": x, "R1.r": 1, "C1.c": 1}),
    "impedance": lambda x: C.impedance(x),
    "impedance item": lambda x: C.impedance([1.0, x]),
    "residuals params": lambda x: C.residuals(x, F, Z),
    "residuals frequencies": lambda x: C.residuals(P, x, Z),
    "residuals impedances": lambda x: C.residuals(P, F, x),
    "residuals frame": lambda x: C.residuals(P, x),
    "residuals weight": lambda x: C.residuals(P, DATA, None, x),
    "jacobian params": lambda x: C.jacobian(x, DATA),
    "jacobian frequencies": lambda x: C.jacobian(P, x, Z),
    "jacobian impedances": lambda x: C.jacobian(P, F, x),
    "jacobian weight": lambda x: C.jacobian(P, F, Z, weight=x),
}
if hasattr(Circuit, "guess"):
    ENTRY_POINTS["guess"] = lambda x: C.guess(x)
    ENTRY_POINTS["guess weights"] = lambda x: C.guess(DATA, None, x)
if hasattr(Circuit, "fit"):
    ENTRY_POINTS["fit"] = lambda x: C.fit(x, guess_init=False, max_iterations=2)
    ENTRY_POINTS["fit impedances"] = lambda x: C.fit(F, x, False, max_iterations=2)
    ENTRY_POINTS["fit guess_init"] = lambda x: C.fit(DATA, guess_init=x, max_iterations=2)
    ENTRY_POINTS["fit max_iterations"] = lambda x: C.fit(DATA, guess_init=False, max_iterations=x)
    ENTRY_POINTS["fit ftol"] = lambda x: C.fit(DATA, guess_init=False, max_iterations=2, ftol=x)
    ENTRY_POINTS["fit method"] = lambda x: C.fit(DATA, guess_init=False, max_iterations=2, method=x)
    ENTRY_POINTS["fit seed"] = lambda x: C.fit(DATA, guess_init=False, max_iterations=2, seed=x)

EXPECTED = (TypeError, ValueError, OverflowError, Boom)


# NumPy complex scalars convert to float like float() does: with a warning.
@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("name", list(ENTRY_POINTS))
def test_hostile_arguments(name):
    call = ENTRY_POINTS[name]
    before = repr(C)
    unexpected = []
    for obj in hostile_objects():
        try:
            call(obj)
        except EXPECTED:
            pass
        except BaseException as error:  # SystemError, MemoryError, KeyError, ...
            unexpected.append((obj, error))
    assert not unexpected, unexpected
    assert repr(C) == before


def test_argument_prefix_is_kept_for_converted_arguments():
    cases = [
        (lambda: korvane.R(FloatWrongType()), TypeError, "argument 'r': "),
        (lambda: korvane.R(10**400), OverflowError, "argument 'r': "),
        (lambda: C.with_values([1, IndexWrongType(), 3]), TypeError, "argument 'values': "),
        (lambda: C.with_named_values({math.nan: 1.0}), TypeError, "argument 'values': "),
        (lambda: C.residuals([ComplexWrongType()], F, Z), TypeError, "argument 'params': "),
    ]
    for call, kind, prefix in cases:
        with pytest.raises(kind) as caught:
            call()
        assert type(caught.value) is kind
        assert str(caught.value).startswith(prefix)
        assert caught.value.__cause__ is not None  # the original reason is chained
    # A user's own exception passes through unchanged, as from float().
    with pytest.raises(Boom):
        korvane.R(FloatRaises())


def test_mutating_sequences_read_consistently():
    # Items are taken from the live iterator: a shrinking list stops early,
    # a growing list is read to its final length.
    short = shrinking()
    assert len(C.with_values(short[:3]).param_values()) == 3
    shrunk = shrinking()
    assert len(C.impedance(shrunk)) == 4
    grown = growing()
    assert len(C.impedance(grown)) == 50


def test_integer_arguments_go_through_index():
    class Two:
        def __index__(self):
            return 2

    base = dict(guess_init=False, method="levenberg_marquardt")
    assert C.fit(DATA, max_iterations=Two(), **base).iterations <= 2
    assert C.fit(DATA, max_iterations=np.int8(2), seed=np.uint64(2**64 - 1), **base).iterations <= 2
    for value, kind in [
        (IndexWrongType(), TypeError),
        (np.float64(2.0), TypeError),
        (10**30, OverflowError),
        (-Two().__index__(), OverflowError),
    ]:
        with pytest.raises(kind, match="^argument 'max_iterations': "):
            C.fit(DATA, max_iterations=value, **base)
    with pytest.raises(Boom):
        C.fit(DATA, max_iterations=IndexRaises(), **base)


# ---- hostile text and weight files -----------------------------------------

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
