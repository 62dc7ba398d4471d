"""Circuit.fit: arguments, error order, the starting-value policy and its
warning, and what the fit reports."""

import inspect
import threading
import warnings

import korvane
import numpy as np
import pytest
from korvane import Circuit
from test_guess import MODEL_LIST, write_constant_weights

SIGNATURE = (
    '($self, frequencies, impedances=None, guess_init=None, weights=None, weight="modulus", '
    'method="levenberg_marquardt", max_iterations=200, ftol=1e-8, xtol=1e-8, '
    "num_particles=200, generations=1000, nelder_mead_iterations=2000, de_evaluations=20000, "
    "sa_iterations=5000, sa_initial_temperature=2.0, basin_hopping_hops=20, "
    "basin_hopping_step_size=1.0, basin_hopping_temperature=1.0, seed=None)"
)

FIT_DOC = (
    "Fit this circuit's parameters to a measured spectrum.\n\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses."
)

WARNING = (
    "There is no ML model to guess initial parameters for this circuit. Supply your own "
    "with Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass "
    "guess_init=False to silence this. Models available for " + MODEL_LIST
)

UNKNOWN_LM = (
    'unknown fit method "LM", expected one of "levenberg_marquardt", "particle_swarm", '
    '"nelder_mead", "differential_evolution", "simulated_annealing", "basin_hopping"'
)

TRUTH = [10.0, 100.0, 1e-5]
F = np.logspace(-1, 5, 40)
Z = Circuit("R0-(R1,C1)").with_values(TRUTH).impedance(F)
START = Circuit("R0-(R1,C1)").with_values([12.0, 80.0, 2e-5])
UNTRAINED = Circuit("R0-C1")  # placeholder values, no model for its topology


def test_signature_and_docstring():
    assert Circuit.fit.__text_signature__ == SIGNATURE
    params = inspect.signature(Circuit.fit).parameters
    assert len(params) == 20 and list(params)[-1] == "seed"
    assert params["ftol"].default == 1e-8 and params["weight"].default == "modulus"
    assert Circuit.fit.__doc__ == FIT_DOC


def test_explicit_start_fits_without_warning_and_reports_statistics():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = START.fit(F, Z)
    assert result.success
    assert list(result.params.values()) == pytest.approx(TRUTH, rel=1e-8)
    assert result.chi_square == 2 * result.cost
    assert set(result.stderr) == set(START.param_names())
    assert result.impedance_evals > result.iterations > 0
    assert START.param_values() == [12.0, 80.0, 2e-5]  # the input is not modified
    # A dataframe of Battery Data Format columns is the same measurement.
    frame = {
        "Frequency / Hz": list(F),
        "Real Impedance / ohm": list(Z.real),
        "Imaginary Impedance / ohm": list(Z.imag),
    }
    assert START.fit(frame).params == result.params


def test_no_standard_errors_with_as_many_parameters_as_residuals():
    one_point = START.fit(F[10:11], Z[10:11])  # 2·N = 2 ≤ P = 3
    assert one_point.stderr is None
    assert one_point.chi_square == 2 * one_point.cost
    rq = Circuit("R0-(R1,CPE1)").with_values([12.0, 80.0, 2e-5, 0.9])
    assert rq.fit(F[:2], Z[:2]).stderr is None  # 2·N = 4 ≤ P = 4
    assert rq.fit(F[:3], Z[:3]).stderr is not None


def test_argument_conversion_errors():
    cases = [
        (dict(max_iterations=-1), OverflowError, "argument 'max_iterations': "),
        (dict(max_iterations=2.5), TypeError, "argument 'max_iterations': "),
        (dict(guess_init=1), TypeError, "argument 'guess_init': "),
        (dict(weight=None), TypeError, "argument 'weight': "),
        (dict(method=3), TypeError, "argument 'method': "),
        (dict(weights=b"x.eisnn"), TypeError, "argument 'weights': "),
        (dict(ftol="small"), TypeError, "argument 'ftol': "),
        (dict(generations=2**64), OverflowError, "argument 'generations': "),
        (dict(seed=-1), OverflowError, "argument 'seed': "),
        (dict(seed=1.0), TypeError, "argument 'seed': "),
        # The first failing argument in positional order wins.
        (dict(seed=-1, guess_init="yes", max_iterations=-1), TypeError, "argument 'guess_init': "),
    ]
    for kwargs, kind, prefix in cases:
        with pytest.raises(kind) as info:
            START.fit(F, Z, **kwargs)
        assert str(info.value).startswith(prefix), (kwargs, str(info.value))
    # Arguments are converted before the measured data is read.
    with pytest.raises(OverflowError):
        START.fit("not data", Z, max_iterations=-1)
    with pytest.raises(TypeError):
        START.fit(F, Z, *([None] * 17), seed=None)  # seed given twice
    # seed=None and NumPy booleans are accepted.
    assert START.fit(F, Z, np.bool_(False), seed=None).success


def test_errors_arrive_in_order():
    def error_of(circuit, *args, **kwargs):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(ValueError) as info:
                circuit.fit(*args, **kwargs)
        return str(info.value), [str(w.message) for w in caught]

    # Data reading, then the weight scheme, both before the starting values.
    assert error_of(UNTRAINED, F, Z[:-1], weight="bad") == (
        "frequencies and impedances must have the same length",
        [],
    )
    assert error_of(UNTRAINED, F, Z, weight="bad") == (
        'unknown weight scheme "bad", expected "modulus" or "unit"',
        [],
    )
    # The warning comes before the method check, which comes before the
    # empty-data check.
    assert error_of(UNTRAINED, [], [], method="LM") == (UNKNOWN_LM, [WARNING])
    assert error_of(UNTRAINED, [], [], False, method="LM") == (UNKNOWN_LM, [])
    assert error_of(UNTRAINED, [], [], False, ftol=-1.0) == (
        "frequencies and impedances must not be empty",
        [],
    )
    assert error_of(Circuit("R0"), F, Z, False, ftol=-1.0, xtol=-1.0) == ("ftol must be >= 0", [])
    assert error_of(Circuit("R0"), F, Z, False, xtol=-0.0) == ("xtol must be >= 0", [])
    # guess_init=True raises the guesser's message instead of warning.
    assert error_of(UNTRAINED, F, Z, True) == (
        "No training data on this circuit. Machine-learning based initial parameters "
        "available for " + MODEL_LIST,
        [],
    )


def test_circuit_without_parameters():
    empty = korvane.Series([])
    with pytest.raises(ValueError, match="^circuit topology has no parameters to fit$"):
        empty.fit(F, Z, False)


def test_derivative_free_methods_fit():
    for method in [
        "particle_swarm",
        "nelder_mead",
        "differential_evolution",
        "simulated_annealing",
        "basin_hopping",
    ]:
        result = START.fit(F, Z, method=method, seed=1)
        assert result.success, method
        assert list(result.params.values()) == pytest.approx(TRUTH, rel=1e-6), method


def test_warning_text_and_location():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = UNTRAINED.fit(F, Z)
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, WARNING)]
    assert caught[0].filename == __file__  # stack level 1: the caller's line
    # The fit went on from the placeholder values.
    assert isinstance(result, korvane.FitResult)


def test_warning_escalated_to_error_stops_the_fit():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning) as info:
            UNTRAINED.fit(F, Z)
        assert str(info.value) == WARNING
        # An unknown method would fail after the policy: the escalated warning
        # is what reaches the caller, so nothing after it ran.
        with pytest.raises(UserWarning):
            UNTRAINED.fit(F, Z, method="LM")


def test_guess_init_false_positional_and_explicit_values_never_warn():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        UNTRAINED.fit(F, Z, False)
        UNTRAINED.fit(F, Z, guess_init=np.bool_(False))
        UNTRAINED.with_values([10.0, 1e-5]).fit(F, Z)


def test_weights_file_follows_the_policy(tmp_path):
    path = write_constant_weights(tmp_path / "rc.eisnn", "R0-(R1,C1)", [5.0, 50.0, 2e-6])
    absent = str(tmp_path / "absent.eisnn")
    # Explicit values plus a file: the file's guess is the start.
    guessed = START.with_values(START.guess(F, Z, weights=path))
    assert START.fit(F, Z, weights=path).params == guessed.fit(F, Z, False).params
    # guess_init=False ignores the path entirely: no file is read.
    assert START.fit(F, Z, False, absent).params == START.fit(F, Z, False).params
    with pytest.raises(ValueError, match="^reading weights: "):
        START.fit(F, Z, weights=absent)
    # The guess runs before the data checks: empty data fails in the guesser.
    with pytest.raises(ValueError, match="^need at least 2 frequency points to guess, got 0$"):
        START.fit([], [], weights=path)


def test_concurrent_fits_match_a_sequential_one():
    expected = START.fit(F, Z)
    results = [None] * 4

    def work(i):
        results[i] = START.fit(F, Z)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        assert r.params == expected.params
        assert (r.iterations, r.impedance_evals) == (expected.iterations, expected.impedance_evals)
