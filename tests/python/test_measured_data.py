"""Reading measured spectra: two sequences and dataframe-like objects.

The readers are observed through `residuals` with unit weights on the
circuit "R0-L0": with R0 = 0 and L0 = 0 the residuals are exactly the
negated measured impedances, and switching L0 to 1 adds 2πf to every
imaginary part, which reveals the frequencies that were kept.
"""

import math

import numpy as np
import pytest
from korvane import Circuit

PROBE = Circuit("R0-L0")
FREQ = '"Frequency / Hz" or "frequency_hertz"'
REAL = '"Real Impedance / ohm" or "real_impedance_ohm"'
IMAG = '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm"'
MOD = '"Absolute Impedance / ohm" or "absolute_impedance_ohm"'
PHASE = '"Phase / deg" or "phase_degree"'


def read_back(frequencies, impedances=None):
    zero = PROBE.residuals([0.0, 0.0], frequencies, impedances, weight="unit")
    unit_l = PROBE.residuals([0.0, 1.0], frequencies, impedances, weight="unit")
    n = len(zero) // 2
    z = [complex(-zero[2 * i], -zero[2 * i + 1]) for i in range(n)]
    f = [(unit_l[2 * i + 1] - zero[2 * i + 1]) / (2 * math.pi) for i in range(n)]
    return f, z


class Complexish:
    def __complex__(self):
        return 3 - 4j


class Indexish:
    def __index__(self):
        return 7


def test_two_sequences_keep_every_row():
    f = [1.0, 0.0, -2.0, 4.0]
    z = [1 + 2j, 3.5, 2, np.complex64(1 - 1j)]
    got_f, got_z = read_back(f, z)
    assert got_z == [1 + 2j, 3.5 + 0j, 2 + 0j, 1 - 1j]
    assert got_f == pytest.approx(f, abs=1e-12)
    got_f, got_z = read_back((Indexish(), np.float32(0.5)), [Complexish(), Indexish()])
    assert got_z == [3 - 4j, 7 + 0j]
    assert got_f == pytest.approx([7.0, 0.5])
    arrays = read_back(np.array(f), np.array(z, dtype=np.complex128))
    assert arrays[1] == [1 + 2j, 3.5 + 0j, 2 + 0j, 1 - 1j]
    assert read_back([], []) == ([], [])
    nan_row = read_back([math.nan], [5 + 1j])
    assert math.isnan(nan_row[0][0]) and nan_row[1][0].real == 5


def test_two_sequence_errors():
    with pytest.raises(ValueError, match="^frequencies and impedances must have the same length$"):
        read_back([1.0, 2.0], [1j])
    with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$"):
        read_back("12", [1j, 2j])
    with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$"):
        read_back([1.0], "1")
    for impedances in (5, {1: 1j}, [object()], ["1j"]):
        with pytest.raises(TypeError) as caught:
            read_back([1.0], impedances)
        assert not str(caught.value).startswith("argument")
    with pytest.raises(TypeError):
        read_back([1.0, "2"], [1j, 1j])


def test_dataframe_columns_and_choices():
    both = {
        "Frequency / Hz": [1.0, 2.0],
        "Real Impedance / ohm": [5.0, 6.0],
        "Imaginary Impedance / ohm": [-1.0, -2.0],
        "Absolute Impedance / ohm": [100.0, 100.0],
        "Phase / deg": [0.0, 0.0],
    }
    assert read_back(both)[1] == [5 - 1j, 6 - 2j]  # real/imag win over modulus/phase
    assert read_back(both, None)[1] == [5 - 1j, 6 - 2j]

    polar = {
        "frequency_hertz": [10.0],
        "real_impedance_ohm": [9.0],  # no imaginary column, so the pair is incomplete
        "absolute_impedance_ohm": [2.0],
        "phase_degree": [-90.0],
    }
    f, z = read_back(polar)
    assert f == pytest.approx([10.0])
    assert z == [complex(2 * math.cos(-math.pi / 2), -2.0)]
    assert z[0].real != 0.0

    spellings = {
        "Frequency / Hz": [3.0],
        "frequency_hertz": [4.0],
        "real_impedance_ohm": [1.0],
        "Imaginary Impedance / ohm": [2.0],
    }
    assert read_back(spellings)[0] == pytest.approx([3.0])


def test_dataframe_row_filter():
    frame = {
        "Frequency / Hz": [0.0, 1.0, -1.0, math.nan, math.inf, 2.0],
        "Real Impedance / ohm": [0.0, 1.0, 2.0, 3.0, 4.0, 5.0],
        "Imaginary Impedance / ohm": [0.0] * 6,
    }
    assert PROBE.residuals([0.0, 0.0], frame, weight="unit")[::2] == [-1.0, -4.0, -5.0]
    message = f"^no measured points: every row of the {FREQ} column is zero or negative$"
    for rows in ([0.0, -1.0], []):
        empty = {
            "Frequency / Hz": rows,
            "real_impedance_ohm": [1.0] * len(rows),
            "imaginary_impedance_ohm": [1.0] * len(rows),
        }
        with pytest.raises(ValueError, match=message.replace("(", r"\(")):
            read_back(empty)


def test_dataframe_errors():
    good_z = {"Real Impedance / ohm": [1.0, 2.0], "Imaginary Impedance / ohm": [0.0, 0.0]}
    cases = [
        (
            [1.0, 2.0],
            f"expected a dataframe with a {FREQ} column, or frequencies and impedances "
            "as two arguments",
        ),
        (
            {"Frequency / Hz": [1.0, 2.0]},
            f"no impedance columns: expected {REAL} together with {IMAG}, or {MOD} together with {PHASE}",
        ),
        (
            {
                "Frequency / Hz": [1.0, 2.0],
                "Real Impedance / ohm": [1.0],
                "imaginary_impedance_ohm": [1.0, 2.0],
            },
            "real and imaginary impedance columns must have the same length",
        ),
        (
            {
                "Frequency / Hz": [1.0, 2.0],
                "Absolute Impedance / ohm": [1.0],
                "phase_degree": [1.0, 2.0],
            },
            "absolute impedance and phase columns must have the same length",
        ),
        (
            {"Frequency / Hz": [1.0, 2.0, 3.0], **good_z},
            f"frequency column has 3 rows but {REAL} and {IMAG} have 2",
        ),
        (
            {
                "Frequency / Hz": [1.0],
                "absolute_impedance_ohm": [1.0, 2.0],
                "phase_degree": [1.0, 2.0],
            },
            f"frequency column has 1 rows but {MOD} and {PHASE} have 2",
        ),
        (
            {
                "frequency_hertz": [1.0, 2.0],
                "real_impedance_ohm": ["a", "b"],
                "imaginary_impedance_ohm": [1.0, 2.0],
            },
            'column "real_impedance_ohm" is not numeric',
        ),
        (
            {"Frequency / Hz": [1.0, 2.0], **good_z, "Phase / deg": "12"},
            'column "Phase / deg" is not numeric',
        ),
        ({"Frequency / Hz": 5, **good_z}, 'column "Frequency / Hz" is not numeric'),
    ]
    for frame, message in cases:
        with pytest.raises(ValueError) as caught:
            read_back(frame)
        assert str(caught.value) == message


def test_lookup_errors_mean_absent():
    class Frame:
        def __getitem__(self, name):
            if name == "Frequency / Hz":
                raise RuntimeError("broken lookup")
            return {
                "frequency_hertz": [1.0],
                "real_impedance_ohm": [2.0],
                "imaginary_impedance_ohm": [3.0],
            }[name]

    assert read_back(Frame()) == (pytest.approx([1.0]), [2 + 3j])


def test_pandas_dataframe():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(
        {
            "frequency_hertz": [1.0, 0.0, 3.0],
            "Real Impedance / ohm": [1.0, 2.0, 3.0],
            "Imaginary Impedance / ohm": [-1.0, -2.0, -3.0],
        }
    )
    f, z = read_back(frame)
    assert f == pytest.approx([1.0, 3.0])
    assert z == [1 - 1j, 3 - 3j]
    frame["Phase / deg"] = ["x", "y", "z"]
    with pytest.raises(ValueError, match='^column "Phase / deg" is not numeric$'):
        read_back(frame)
