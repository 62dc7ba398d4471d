"""Circuit.guess: model lookup, user weight files, order mapping, errors."""

import inspect
import math
import pathlib
import sys

import korvane
import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import eisnn  # noqa: E402

MODEL_LIST = (
    "'rc', 'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', "
    "'randles', 'sei_randles', 'sei_randles_wo'"
)

GUESS_DOC = (
    "Machine-learning guess of starting parameters for this circuit's\n"
    "topology, in `param_names()` order.\n\n"
    "Series and parallel elements may be written with any order and labels:\n"
    "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
    "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
    "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n\n"
    "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
    "bundled model.\n\n"
    "Raises if no model has been trained for this topology, or if `weights`\n"
    "was trained for a different one."
)


def write_constant_weights(path, circuit, values):
    """A weight file whose network answers `values` for every spectrum.

    All network weights are zero, so every output is 0 and de-normalises to
    target_mean: 10**mean for logarithmic outputs, the mean itself (clamped to
    [alpha_min, alpha_max]) for "alpha" outputs. Scaling rows carry zero
    exponents, so the spectrum scales drop out.
    """
    names = korvane.Circuit(circuit).param_names()
    assert len(names) == len(values)
    is_alpha = [n.endswith(".alpha") for n in names]
    mean = [v if a else math.log10(v) for v, a in zip(values, is_alpha)]
    p = len(names)
    metadata = {
        "circuit": circuit,
        "param_names": ",".join(names),
        "estimator": "reactive_centroid",
        "n_grid": "64",
        "channels": "16",
        "kernel": "5",
        "groups": "8",
        "dilations": "1,2,4,8",
        "alpha_min": "0.05",
        "alpha_max": "1.0",
    }
    tensors = [
        (name, np.zeros(shape), eisnn.F16)
        for name, shape in eisnn.network_tensor_shapes(16, 5, 64, p)
    ]
    tensors += [
        ("target_mean", np.array(mean), eisnn.F32),
        ("target_std", np.ones(p), eisnn.F32),
        ("scaling", np.array([[0.0, 0.0, 0.0, -1.0]] * p), eisnn.F32),
        ("log_params", np.array([0.0 if a else 1.0 for a in is_alpha]), eisnn.F32),
    ]
    eisnn.write_eisnn(str(path), metadata, tensors)
    return str(path)


def rc_spectrum(n=40, r0=10.0, r1=100.0, c1=1e-5):
    f = np.logspace(-1, 5, n)
    z = korvane.Circuit("R0-(R1,C1)").with_values([r0, r1, c1]).impedance(f)
    return f, z


@pytest.fixture
def rc_file(tmp_path):
    return write_constant_weights(tmp_path / "rc.eisnn", "R0-(R1,C1)", [5.0, 50.0, 2e-6])


@pytest.fixture
def rq_file(tmp_path):
    return write_constant_weights(tmp_path / "rq.eisnn", "R0-(R1,CPE1)", [5.0, 50.0, 2e-6, 0.75])


def test_signature_and_docstring():
    assert korvane.Circuit.guess.__text_signature__ == (
        "($self, frequencies, impedances=None, weights=None)"
    )
    assert list(inspect.signature(korvane.Circuit.guess).parameters) == [
        "self",
        "frequencies",
        "impedances",
        "weights",
    ]
    assert korvane.Circuit.guess.__doc__ == GUESS_DOC


def test_user_file_answers_in_the_callers_own_order(rc_file):
    f, z = rc_spectrum()
    expected = [10 ** float(np.float32(math.log10(v))) for v in (5.0, 50.0, 2e-6)]
    got = korvane.Circuit("R0-(R1,C1)").guess(f, z, weights=rc_file)
    assert got == pytest.approx(expected, rel=1e-12)
    # Same topology written in another order and with other labels: the
    # values follow the caller's param_names().
    c = korvane.Circuit("(C2,R9)-R3")
    assert c.param_names() == ["C2.c", "R9.r", "R3.r"]
    reordered = c.guess(f, z, rc_file)
    assert reordered == pytest.approx([expected[2], expected[1], expected[0]], rel=1e-12)
    # A dataframe gives the same answer as two sequences.
    frame = {
        "Frequency / Hz": list(f),
        "Real Impedance / ohm": list(z.real),
        "Imaginary Impedance / ohm": list(z.imag),
    }
    assert c.guess(frame, weights=rc_file) == reordered


def test_zarc_and_k_convert_the_pair_values(rc_file, rq_file):
    f, z = rc_spectrum()
    r0, r, q = (10 ** float(np.float32(math.log10(v))) for v in (5.0, 50.0, 2e-6))
    alpha = float(np.float32(0.75))
    zarc = korvane.Circuit("R0-Zarc1").guess(f, z, weights=rq_file)
    assert zarc == pytest.approx([r0, r, (r * q) ** (1 / alpha), alpha], rel=1e-12)
    k = korvane.Circuit("R0-K1").guess(f, z, weights=rc_file)
    assert k == pytest.approx([r0, r, r * q], rel=1e-12)


def test_errors(rc_file, rq_file, tmp_path):
    f, z = rc_spectrum()
    with pytest.raises(ValueError) as info:
        korvane.Circuit("R0-C1").guess(f, z)
    assert str(info.value) == (
        "No training data on this circuit. Machine-learning based "
        "initial parameters available for " + MODEL_LIST
    )
    with pytest.raises(ValueError) as info:
        korvane.Circuit("R0-(R1,C1)").guess(f, z, weights=rq_file)
    assert str(info.value) == (
        f"weight file has an unparsable value for {rq_file} was trained "
        "for R0-(R1,CPE1), which is a different circuit"
    )
    with pytest.raises(ValueError, match="^reading weights: "):
        korvane.Circuit("R0-(R1,C1)").guess(f, z, weights=str(tmp_path / "absent.eisnn"))
    with pytest.raises(ValueError, match="^need at least 2 frequency points to guess, got 1$"):
        korvane.Circuit("R0-(R1,C1)").guess(f[:1], z[:1], weights=rc_file)
    with pytest.raises(TypeError, match="^argument 'weights': "):
        korvane.Circuit("R0-(R1,C1)").guess(f, z, weights=3)
    with pytest.raises(ValueError, match="^frequencies and impedances must have the same length$"):
        korvane.Circuit("R0-(R1,C1)").guess(f, z[:-1], weights=rc_file)


def test_bundled_model_guesses_near_the_truth():
    f, z = rc_spectrum(60, r0=20.0, r1=300.0, c1=3e-6)
    guess = korvane.Circuit("rc").guess(f, z)
    assert len(guess) == 3 and all(math.isfinite(v) and v > 0 for v in guess)
    # A trained network lands within a factor of three of every value on an
    # exact, well-resolved RC spectrum.
    for got, true in zip(guess, (20.0, 300.0, 3e-6)):
        assert true / 3 < got < true * 3
    # The reordered spelling gets the same numbers in its own order.
    assert korvane.Circuit("(C2,R9)-R3").guess(f, z) == [guess[2], guess[1], guess[0]]
