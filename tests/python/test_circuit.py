"""Circuit construction, parameters, Series/Parallel and impedance."""

import cmath
import math

import korvane
import numpy as np
import pytest
from korvane import Circuit

TRAINED = [
    "rc",
    "rc_l",
    "rq",
    "rq_l",
    "two_rc",
    "two_rc_l",
    "two_rq",
    "two_rq_l",
    "randles",
    "sei_randles",
    "sei_randles_wo",
]

PARSE_HELP = (
    "\n"
    "\n"
    "syntax:\n"
    '  - every element needs a numeric label, e.g. "R0" and "C1", not "R" and "C"\n'
    "  - connect elements in series with '-', e.g. \"R0-C1\"\n"
    "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or "
    '"R0-p(R1,C1)"\n'
    "\n"
    "available elements (code, parameters, [units]):\n"
    "  R     r [ohm]\n"
    "  C     c [F]\n"
    "  L     l [H]\n"
    "  La    l [H*s], alpha [-]\n"
    "  CPE   q [ohm^-1*s^alpha], alpha [-]\n"
    "  W     aw [ohm*s^-0.5]\n"
    "  Wo    z0 [ohm], tau [s]\n"
    "  Ws    z0 [ohm], tau [s]\n"
    "  G     rg [ohm], tg [s]\n"
    "  Gs    rg [ohm], tg [s], phi [-]\n"
    "  K     r [ohm], tau_k [s]\n"
    "  Zarc  r [ohm], tau_k [s], gamma [-]\n"
    "  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]\n"
    "  T     a [ohm*m^2], b [ohm*m^2], k_tau [-], tau [s]"
)


def rc_impedance(f, r0, r1, c1):
    w = 2 * math.pi * f
    return r0 + 1 / (1 / r1 + 1j * w * c1)


def test_trained_names_resolve():
    assert Circuit.ml_circuits() == TRAINED
    assert Circuit("R0").ml_circuits() == TRAINED
    randles = repr(Circuit("R0-(R1-W1,CPE1)"))
    assert repr(Circuit("  RANDLES  ")) == randles
    assert repr(Circuit("randles")) == randles
    assert repr(Circuit("\u3000Rc\u2029")) == repr(Circuit("R0-(R1,C1)"))
    # Not a name: parsed as given; letters "randl" then no digit.
    with pytest.raises(
        ValueError, match="^unexpected character at position 5\n  randlés\n       \\^"
    ):
        Circuit("randlés")
    # Trimming only applies to names; the parser sees the untrimmed text.
    with pytest.raises(ValueError, match="^unexpected character at position 0\n  \u00a0R0\n  \\^"):
        Circuit("\u00a0R0")


def test_parse_errors_carry_the_full_text():
    with pytest.raises(ValueError) as caught:
        Circuit("R0-Q1")
    assert str(caught.value) == (
        'unknown element code "Q" at position 3\n  R0-Q1\n     ^' + PARSE_HELP
    )
    # Without a caret line the help follows the message directly.
    with pytest.raises(ValueError) as caught:
        Circuit("R0-")
    assert str(caught.value) == "unexpected end of input" + PARSE_HELP
    with pytest.raises(ValueError, match='^duplicate element label "R1"\n\nsyntax:'):
        Circuit("R1-(R1,C2)")
    with pytest.raises(TypeError, match="^argument 's': "):
        Circuit(b"R0")
    with pytest.raises(TypeError):
        Circuit()
    with pytest.raises(TypeError):
        Circuit(s="R0", t=1)


def test_parameter_lists():
    c = Circuit("R0-Zarc1")
    assert c.param_names() == ["R0.r", "Zarc1.r", "Zarc1.tau_k", "Zarc1.gamma"]
    assert c.param_values() == [1.0, 1.0, 0.001, 0.8]
    assert c.param_bounds() == [(1e-12, math.inf)] * 3 + [(0.0, 1.0)]
    assert all(type(lo) is float and type(hi) is float for lo, hi in c.param_bounds())
    assert c.param_units() == ["ohm", "ohm", "s", "-"]


def test_with_values():
    c = Circuit("R0-(R1,C1)")
    d = c.with_values((10, np.float64(20), np.array([1e-6])[0]))
    assert d.param_values() == [10.0, 20.0, 1e-6]
    assert c.param_values() == [1.0, 1.0, 0.001]  # the original is untouched
    assert d.with_values(np.array([1.0, 2.0, 3.0])).param_values() == [1.0, 2.0, 3.0]
    with pytest.raises(ValueError, match="^expected 3 values, got 2$"):
        c.with_values([1, 2])
    with pytest.raises(ValueError, match="^expected 1 values, got 2$"):
        Circuit("R0").with_values([1, 2])
    with pytest.raises(TypeError, match="^argument 'values': Can't extract `str` to `Vec`$"):
        c.with_values("123")
    with pytest.raises(TypeError, match="^argument 'values': "):
        c.with_values([1, 2, "3"])
    with pytest.raises(TypeError, match="^argument 'values': "):
        c.with_values(3)


def test_with_named_values():
    c = Circuit("R0-(R1,C1)")

    class Ordered(dict):
        def items(self):  # the dict's own storage is read, not this override
            raise AssertionError("must not be called")

    d = c.with_named_values(Ordered({"C1.c": 2e-6, "R1.r": 5, "R0.r": 7.5}))
    assert d.param_values() == [7.5, 5.0, 2e-6]

    def message(circuit, values):
        with pytest.raises(ValueError) as caught:
            circuit.with_named_values(values)
        return str(caught.value)

    assert message(c, {"R0.r": 1, "R1.r": 2, "C2.c": 3}) == (
        'unknown parameter "C2.c" (did you mean "C1.c"?)\n'
        'missing parameter(s): ["C1.c"]\n'
        "\n"
        "valid parameters for this circuit:\n"
        "  R0.r  [ohm]  bounds (1e-12, inf)\n"
        "  R1.r  [ohm]  bounds (1e-12, inf)\n"
        "  C1.c  [F]  bounds (1e-12, inf)"
    )
    # The listing pads names to the longest one; several missing names are
    # listed in parameter order.
    assert message(Circuit("R0-(R1,CPE1)"), {"R1.r": 2}) == (
        'missing parameter(s): ["R0.r", "CPE1.q", "CPE1.alpha"]\n'
        "\n"
        "valid parameters for this circuit:\n"
        "  R0.r        [ohm]  bounds (1e-12, inf)\n"
        "  R1.r        [ohm]  bounds (1e-12, inf)\n"
        "  CPE1.q      [ohm^-1*s^alpha]  bounds (1e-12, inf)\n"
        "  CPE1.alpha  [-]  bounds (0, 1)"
    )
    # Only unknown keys, no suggestion; keys are quoted with escapes.
    assert message(c, {"R0.r": 1, "R1.r": 2, "C1.c": 3, 'a"b\\\n': 4}).startswith(
        'unknown parameter "a\\"b\\\\\\n"\n\nvalid parameters'
    )
    # A circuit without parameters never suggests.
    assert message(korvane.Series([]), {"x": 1}) == (
        'unknown parameter "x"\n\nvalid parameters for this circuit:'
    )
    with pytest.raises(TypeError, match="^argument 'values': "):
        c.with_named_values([("R0.r", 1)])
    with pytest.raises(TypeError, match="^argument 'values': "):
        c.with_named_values({"R0.r": 1, "R1.r": 2, 3: 3})
    with pytest.raises(TypeError, match="^argument 'values': "):
        c.with_named_values({"R0.r": 1, "R1.r": 2, "C1.c": "3"})


def test_series_and_parallel():
    R, C = korvane.R, korvane.C
    s = korvane.Series([C(1e-3), korvane.Parallel([R(2), C(3)])])
    assert s.param_names() == ["C0.c", "R0.r", "C1.c"]
    assert korvane.Series([R(1), R(2), R(3)]).param_names() == ["R0.r", "R1.r", "R2.r"]
    labelled = Circuit("R0-(R1,C1)").with_values([10, 20, 1e-6])
    joined = korvane.Series(parts=(labelled, korvane.W(3)))
    assert joined.param_names() == ["R0.r", "R1.r", "C1.c", "W0.aw"]
    f = [0.5, 50.0]
    expected = [
        z + (3 / math.sqrt(2 * math.pi * x)) * (1 - 1j) for z, x in zip(labelled.impedance(f), f)
    ]
    assert np.allclose(joined.impedance(f), expected, rtol=1e-13, atol=0)
    branch = korvane.Parallel([labelled, R(5)])
    assert branch.param_names() == ["R0.r", "R1.r", "C1.c", "R0.r"]
    assert korvane.Series([]).impedance([1.0])[0] == 0
    assert not np.isfinite(korvane.Parallel([]).impedance([1.0])[0])
    with pytest.raises(TypeError, match="^argument 'parts': Can't extract `str` to `Vec`$"):
        korvane.Series("R0")
    with pytest.raises(TypeError, match="^argument 'parts': "):
        korvane.Parallel([R(1), 2.0])
    with pytest.raises(TypeError, match="^argument 'parts': "):
        korvane.Series(R(1))


def test_repr_is_the_printable_form():
    c = Circuit("R0-(R1,C1)").with_values([10, 1, 1e-6])
    text = repr(c)
    assert str(c) == text
    assert text.split("\n") == [
        "Circuit (3 parameters)",
        "  R0.r = 10         [ohm]  bounds (1e-12, inf)",
        "  R1.r = 1          [ohm]  bounds (1e-12, inf)",
        "  C1.c = 1e-6       [F]  bounds (1e-12, inf)",
    ]
    assert repr(Circuit("L3")).startswith("Circuit (1 parameter)\n  L3.l = 1e-6")
    assert repr(korvane.Series([])) == "Circuit (0 parameters)\n"
    # Names pad to the longest; long values are not cut.
    zarc = Circuit("R0-Zarc12").with_values([0.1 + 0.2, math.nan, 1e-3, 1])
    assert repr(zarc).split("\n") == [
        "Circuit (4 parameters)",
        "  R0.r         = 0.30000000000000004 [ohm]  bounds (1e-12, inf)",
        "  Zarc12.r     = NaN        [ohm]  bounds (1e-12, inf)",
        "  Zarc12.tau_k = 0.001      [s]  bounds (1e-12, inf)",
        "  Zarc12.gamma = 1          [-]  bounds (0, 1)",
    ]
    assert repr(Circuit("R0-(R1,C1)").with_values([10, -2.5e6, 1e-6])).split("\n")[2] == (
        "  R1.r = -2.5e6     [ohm]  bounds (1e-12, inf)"
    )


def test_impedance_values_and_array():
    c = Circuit("R0-(R1,C1)").with_values([10, 100, 1e-5])
    f = [0.1, 1.0, 10.0, 1e3, 1e5]
    z = c.impedance(f)
    assert isinstance(z, np.ndarray)
    assert z.dtype == np.complex128 and z.ndim == 1 and z.shape == (5,)
    assert z.flags.writeable and z.flags.c_contiguous and not z.flags.owndata
    assert type(z.base).__name__ == "_ImpedanceBuffer"
    for zi, fi in zip(z, f):
        assert cmath.isclose(zi, rc_impedance(fi, 10, 100, 1e-5), rel_tol=1e-13)
    z[0] = 7  # the adopted buffer is ours to write
    assert z[0] == 7
    del c
    assert cmath.isclose(z[1], rc_impedance(1.0, 10, 100, 1e-5), rel_tol=1e-13)

    empty = Circuit("R0").impedance([])
    assert empty.dtype == np.complex128 and empty.shape == (0,)
    # Keyword form, tuples, NumPy arrays of other dtypes, generators of
    # __index__ numbers all read as frequencies.
    c = Circuit("C0")
    assert np.array_equal(c.impedance(frequencies=(1, 2)), c.impedance(np.array([1.0, 2.0])))
    assert np.array_equal(
        c.impedance(np.array([1, 2], dtype=np.int32)),
        c.impedance(np.array([1.0, 2.0], dtype=np.float32)),
    )
    strided = np.arange(1.0, 11.0)[::3]
    assert np.array_equal(c.impedance(strided), c.impedance(list(strided)))


def test_impedance_pool_threshold_is_invisible():
    c = Circuit("R0-(R1,CPE1)-(R2-Wo2,CPE2)").with_values([1, 2, 1e-4, 0.7, 3, 4, 0.5, 1e-3, 0.9])
    f = np.logspace(-3, 6, 1000)
    short = c.impedance(f[:999])
    full = c.impedance(f)
    assert np.array_equal(short, full[:999])
    assert np.array_equal(full[::-1], c.impedance(f[::-1]))  # order follows the input


def test_impedance_from_dataframe_columns():
    pd = pytest.importorskip("pandas")
    c = Circuit("C0")
    frame = pd.DataFrame({"Frequency / Hz": [0.0, 1.0, 2.0], "Phase / deg": [1, 2, 3]})
    z = c.impedance(frame)  # frequency 0 is kept: no filtering here
    assert z.shape == (3,) and not np.isfinite(z[0].imag)
    assert np.array_equal(z[1:], c.impedance([1.0, 2.0]))
    assert np.array_equal(c.impedance({"frequency_hertz": [-1.0, 3.0]}), c.impedance([-1.0, 3.0]))
    message = (
        '^expected a sequence of frequencies, or a dataframe with a "Frequency / Hz" or '
        '"frequency_hertz" column$'
    )
    for bad in ({"f": [1.0]}, 5, "12", ["a"], None):
        with pytest.raises(ValueError, match=message):
            c.impedance(bad)
    with pytest.raises(ValueError, match='^column "frequency_hertz" is not numeric$'):
        c.impedance({"frequency_hertz": ["1"]})
