"""Pickling and copying of elements, circuits and fit results: every protocol,
values bit for bit, trees and labels (absent ones too), values_explicit, and
fit results across processes."""

import copy
import gc
import multiprocessing
import pickle
import struct
import sys
import warnings

import korvane
import numpy as np
import pytest
from fit_fields import fit_result_fields
from korvane import Circuit, Parallel, Series

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
CODES = ["R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T"]
PAYLOAD_NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000ABC))[0]
NEGATIVE_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
ODD_VALUES = [-0.0, PAYLOAD_NAN, NEGATIVE_NAN, float("inf"), -float("inf"), 5e-324, 1e308, 0.1]
F = np.logspace(-2, 5, 25)


def bits(values):
    return [struct.pack("<d", v) for v in values]


def round_trips(obj):
    """The object through every pickle protocol, copy.copy and copy.deepcopy."""
    out = [pickle.loads(pickle.dumps(obj, protocol)) for protocol in PROTOCOLS]
    return out + [copy.copy(obj), copy.deepcopy(obj)]


def assert_same_circuit(a, b):
    assert type(b) is Circuit and b is not a
    # The state holds the canonical text, absent labels, value bits and
    # values_explicit; the public surface must agree as well.
    assert b.__reduce__() == a.__reduce__()
    assert b.param_names() == a.param_names()
    assert bits(b.param_values()) == bits(a.param_values())
    assert repr(b) == repr(a)
    assert b.impedance(F).tobytes() == a.impedance(F).tobytes()


def element(code, values):
    return getattr(korvane, code)(*values)


def sample_circuits():
    """Circuits from strings, Series/Parallel of unlabeled elements, mixes,
    K and Zarc, odd values, and the shapes no circuit string can write."""
    R, C, Cpe, K, Zarc, W = korvane.R, korvane.C, korvane.Cpe, korvane.K, korvane.Zarc, korvane.W
    parsed = [Circuit(name) for name in Circuit.ml_circuits()]
    parsed += [
        Circuit("R0-Zarc1-K2-(Tlmq3,T4)-p(La5,G6-Gs7)-Wo8-Ws9-W10-L11"),
        Circuit("R007-CPE0-Cpe1-TLMQ2"),
        Circuit("(R1)"),
    ]
    built = [
        Series([C(1e-6), Parallel([R(10.0), C(2e-6)])]),
        Series(
            [
                R(1.0),
                Zarc(2.0, 1e-3, 0.9),
                Parallel([K(3.0, 1e-4), Series([Cpe(1e-5, 0.8), W(4.0)])]),
            ]
        ),
        Series([R(5.0), Circuit("R0-(R1,C1)"), Parallel([Circuit("Zarc3"), K(1.0, 2.0)])]),
        Parallel([Circuit("R0-(R1,C1)").with_values([1, 2, 3]), R(4.0)]),
    ]
    odd = [Circuit("R0-(R1,CPE1)-T2").with_values(ODD_VALUES)]
    outside_grammar = [
        Series([]),
        Parallel([]),
        Parallel([Series([]), R(1.0)]),
        Series([Circuit("R0"), Circuit("R0")]),
        Series([Circuit("R0"), R(2.0)]),
    ]
    return parsed + built + odd + outside_grammar


@pytest.mark.parametrize("code", CODES)
def test_every_element_kind_round_trips(code):
    count = len(getattr(korvane, code).__match_args__)
    for values in ([1.5, 2e-3, 0.75, 9.0][:count], ODD_VALUES[:count], ODD_VALUES[-count:]):
        original = element(code, values)
        for copied in round_trips(original):
            assert type(copied) is type(original) and copied is not original
            assert bits([getattr(copied, a) for a in copied.__match_args__]) == bits(values)
            assert repr(copied) == repr(original)


def test_circuits_round_trip_with_trees_labels_and_values():
    for circuit in sample_circuits():
        for copied in round_trips(circuit):
            assert_same_circuit(circuit, copied)


def test_absent_labels_stay_absent():
    # Absent labels are named from per-code counters on every call, so a
    # copy that kept the spelled-out labels would name differently once
    # joined with another unlabeled resistor.
    unlabeled = Series([korvane.R(1.0), korvane.C(1e-6)])
    copied = pickle.loads(pickle.dumps(unlabeled))
    joined = Series([korvane.R(9.0), copied])
    assert joined.param_names() == ["R0.r", "R1.r", "C0.c"]
    _, state = copied.__reduce__()
    assert state[1:3] == ("R0-C0", (0, 1))
    labelled = pickle.loads(pickle.dumps(Circuit("R0-C0")))
    assert Series([korvane.R(9.0), labelled]).param_names() == ["R0.r", "R0.r", "C0.c"]


def test_values_explicit_survives_and_steers_the_fit():
    # Without a trained model, a circuit whose values are placeholders warns;
    # one with explicit values does not. The flag must cross the pickle.
    f = np.logspace(0, 4, 8)
    z = Circuit("R0-W1").with_values([10.0, 50.0]).impedance(f)
    placeholder = Series([Circuit("R0"), Circuit("W1").with_values([40.0])])
    explicit = Circuit("R0-W1").with_values([10.0, 40.0])
    for copied in round_trips(placeholder):
        with pytest.warns(UserWarning, match="no ML model"):
            copied.fit(f, z, max_iterations=5)
    for copied in round_trips(explicit):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            copied.fit(f, z, max_iterations=5)


def fitted(kind="good"):
    truth = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
    start = Circuit("R0-(R1,C1)").with_values([12.0, 80.0, 2e-5])
    z = truth.impedance(F)
    if kind == "good":
        return start.fit(F, z)
    if kind == "nan":  # every run ends unsuccessfully, standard errors NaN
        z[3] = complex("nan")
        return start.fit(F, z)
    # One point, three parameters: no degrees of freedom, no standard errors.
    return start.fit(F[:1], z[:1])


def assert_same_fit_result(a, b):
    assert type(b) is korvane.FitResult and b is not a
    assert fit_result_fields(b) == fit_result_fields(a)


def synthetic_fit_result(stderr, success):
    """A FitResult with values no fit gives, through the private
    reconstructor (the only way to make one besides Circuit.fit)."""
    circuit = Circuit("R0-(R1,CPE1)").with_values([-0.0, PAYLOAD_NAN, 1e-5, 1.0])
    names = tuple(circuit.param_names())
    pack = lambda values: struct.pack(f"<{len(values)}d", *values)  # noqa: E731
    values = pack(circuit.param_values())
    errors = (names, pack([NEGATIVE_NAN, 0.0, float("inf"), 1e-300])) if stderr else (None, None)
    return korvane.FitResult._from_state(
        1,
        circuit,
        names,
        values,
        *errors,
        success,
        2**64 - 1,
        0,
        pack([PAYLOAD_NAN, -0.0]),
    )


def test_fit_results_round_trip():
    results = [fitted("good"), fitted("nan"), fitted("one point")]
    assert results[0].success and results[0].stderr is not None
    assert not results[1].success and results[1].stderr is not None
    assert results[2].stderr is None
    results += [synthetic_fit_result(True, True), synthetic_fit_result(False, False)]
    for result in results:
        for copied in round_trips(result):
            assert_same_fit_result(result, copied)


def test_fit_result_states_must_describe_their_circuit():
    _, state = fitted("good").__reduce__()
    version, circuit, names, values, stderr_names, stderr_values, *rest = state
    other = struct.pack("<d", 1.5) + values[8:]
    damaged = {
        "params": [(names[::-1], values), (names[:-1], values[:-8]), (names, other)],
        "stderr": [(names, values, names[::-1], stderr_values)],
    }
    success, iterations, evaluations, statistics = rest
    for count in (-1, 2**64):
        with pytest.raises(ValueError, match="state field 'iterations' is out of range"):
            korvane.FitResult._from_state(
                version,
                circuit,
                names,
                values,
                stderr_names,
                stderr_values,
                success,
                count,
                0,
                statistics,
            )
    for field, states in damaged.items():
        for named in states:
            with pytest.raises(ValueError, match=f"field '{field}' does not match the circuit"):
                korvane.FitResult._from_state(
                    version, circuit, *(named + (stderr_names, stderr_values))[:4], *rest
                )


def test_specified_surface_is_unchanged():
    with pytest.raises(TypeError, match="^No constructor defined for FitResult$"):
        korvane.FitResult()
    with pytest.raises(TypeError, match="^No constructor defined for Element$"):
        korvane.Element()
    assert "_from_state" not in korvane.__all__ and not hasattr(korvane, "_from_state")
    # The reconstructor is reached through the class, never as a module name.
    reconstructor, _ = Circuit("R0").__reduce__()
    assert reconstructor.__self__ is Circuit
    reconstructor, _ = korvane.R(1.0).__reduce__()
    assert reconstructor.__self__ is korvane.Element


def test_damaged_states_are_refused():
    _, (version, text, unlabeled, values, flag) = Circuit("R0-(R1,C1)").__reduce__()
    rebuild = Circuit._from_state
    with pytest.raises(ValueError, match="unsupported Circuit state version 2"):
        rebuild(2, text, unlabeled, values, flag)
    with pytest.raises(ValueError, match="not a canonical circuit text"):
        rebuild(1, "R0-(R1,C1", unlabeled, values, flag)
    with pytest.raises(ValueError, match="expected 3 values, got 2"):
        rebuild(1, text, unlabeled, values[:16], flag)
    with pytest.raises(ValueError, match="whole 8-byte numbers"):
        rebuild(1, text, unlabeled, values[:5], flag)
    with pytest.raises(ValueError, match="unlabeled element indices"):
        rebuild(1, text, (5,), values, flag)
    for index in (2**64, -1):  # out of range: damaged, like any bad index
        with pytest.raises(ValueError, match="state field 'unlabeled' is out of range"):
            rebuild(1, text, (index,), values, flag)
    # An absent label is the generated one; any other would rename parameters.
    two = struct.pack("<2d", 1.0, 1e-6)
    assert rebuild(1, "R0-C7", (0,), two, True).param_names() == ["R0.r", "C7.c"]
    for unlabeled_index in (0, 1):
        with pytest.raises(ValueError, match="not its generated label"):
            rebuild(1, "R5-C7", (unlabeled_index,), two, True)
    with pytest.raises(TypeError):
        rebuild(1, text, unlabeled, list(values), flag)
    with pytest.raises(TypeError):
        rebuild(1, text, unlabeled, values, 1)
    with pytest.raises(TypeError):
        rebuild(1, text, unlabeled, values)
    with pytest.raises(ValueError, match='unknown element code "Q"'):
        korvane.Element._from_state(1, "Q", b"")
    with pytest.raises(ValueError, match="R takes 1 values, got 2"):
        korvane.Element._from_state(1, "R", bytes(16))
    fit_state = list(fitted().__reduce__()[1])
    for index, bad in [(1, "R0"), (3, b"\0" * 8), (4, ("R0.r",)), (6, 1), (7, -1), (9, b"")]:
        state = list(fit_state)
        state[index] = bad
        with pytest.raises((TypeError, ValueError, OverflowError)):
            korvane.FitResult._from_state(*state)


def fit_in_worker(seed):
    rng = np.random.default_rng(seed)
    truth = Circuit("R0-(R1,C1)").with_values([10.0, 100.0 * (1 + rng.random()), 1e-5])
    return Circuit("R0-(R1,C1)").fit(F, truth.impedance(F))


# The module's worker pool re-arms itself in a forked child (pthread_atfork),
# so Python's warning about forking a threaded process does not apply.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_pool_returns_fit_results(method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} start method here")
    with multiprocessing.get_context(method).Pool(2) as pool:
        results = pool.map(fit_in_worker, [1, 2, 3])
    for seed, result in zip([1, 2, 3], results):
        assert type(result) is korvane.FitResult
        # Deterministic fits: the worker's result equals this process's.
        assert_same_fit_result(fit_in_worker(seed), result)


def test_reduce_and_reconstruct_do_not_leak():
    objects = [sample_circuits()[-3], fitted(), korvane.Zarc(1.0, 2.0, 0.5)]
    types = [Circuit, korvane.FitResult, korvane.Element, korvane.Zarc]

    def cycle():
        for obj in objects:
            reconstructor, state = obj.__reduce__()
            reconstructor(*state)
            pickle.loads(pickle.dumps(obj))

    for _ in range(50):
        cycle()
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects + types]
    import tracemalloc

    tracemalloc.start()
    for _ in range(200):
        cycle()
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(2000):
        cycle()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects + types] == refs
    assert grown < 64 * 1024, grown
