"""Every entry point against a broad set of hostile arguments.

Each call must either succeed or raise TypeError, ValueError, OverflowError
or the exception a user's own special method raised (Boom) -- never a crash,
a SystemError or an internal error, and never a change to the circuit.
"""

import math

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
