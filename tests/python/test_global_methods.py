"""The derivative-free fit methods from Python: reproducibility under a seed,
the refusals of unusable settings, the identity of basin hopping without
hops, and Ctrl-C during a long fit."""

import os
import signal
import threading
import time

import korvane
import numpy as np
import pytest
from korvane import Circuit

TWO_ARCS = Circuit("R0-(R1,C1)-(R2,C2)")
TRUTH = [0.1224, 1.365, 2.27e-06, 421.3, 0.05559]
F = np.array([10.0 ** (5.0 - 7.0 * k / 49) for k in range(50)])


def _rippled(z: np.ndarray) -> np.ndarray:
    k = np.arange(len(z))
    return z * (1 + 0.002 * np.sin(7.0 * k)) + 0.002 * np.abs(z) * 1j * np.cos(11.0 * k)


Z = _rippled(TWO_ARCS.with_values(TRUTH).impedance(F))

RC = Circuit("R0-(R1,C1)")
RC_F = np.logspace(-1, 5, 30)
RC_Z = RC.with_values([10.0, 100.0, 1e-5]).impedance(RC_F)

QUICK = {
    "particle_swarm": {"num_particles": 20, "generations": 40},
    "simulated_annealing": {"sa_iterations": 400},
    "basin_hopping": {"basin_hopping_hops": 3},
}


def _values(result: korvane.FitResult) -> tuple:
    return (
        result.params,
        result.stderr,
        result.chi_square,
        result.cost,
        result.success,
        result.iterations,
        result.impedance_evals,
    )


@pytest.mark.parametrize("method", sorted(QUICK))
def test_seed_reproduces_a_fit_exactly_and_unseeded_fits_differ(method):
    settings = QUICK[method]
    first = TWO_ARCS.fit(F, Z, guess_init=False, method=method, seed=12345, **settings)
    again = TWO_ARCS.fit(F, Z, guess_init=False, method=method, seed=12345, **settings)
    assert _values(first) == _values(again)
    assert repr(first) == repr(again)
    unseeded = [TWO_ARCS.fit(F, Z, guess_init=False, method=method, **settings) for _ in range(2)]
    assert _values(unseeded[0]) != _values(unseeded[1])


def test_basin_hopping_without_hops_is_the_least_squares_fit():
    least_squares = TWO_ARCS.fit(F, Z, guess_init=False)
    hopped = TWO_ARCS.fit(
        F,
        Z,
        guess_init=False,
        method="basin_hopping",
        basin_hopping_hops=0,
        basin_hopping_step_size=-1.0,
    )  # nothing drawn, nothing refused
    assert hopped.params == least_squares.params
    assert hopped.chi_square == least_squares.chi_square
    assert hopped.iterations == least_squares.iterations
    # The final statistics once more: one residual vector and a Jacobian of 2·5.
    assert hopped.impedance_evals == least_squares.impedance_evals + 1 + 2 * 5


def test_global_methods_leave_the_valley_least_squares_stops_in():
    optimum = TWO_ARCS.with_values(TRUTH).fit(F, Z, guess_init=False).chi_square
    assert TWO_ARCS.fit(F, Z, guess_init=False).chi_square > 1000 * optimum
    for method in [
        "particle_swarm",
        "nelder_mead",
        "differential_evolution",
        "simulated_annealing",
        "basin_hopping",
    ]:
        result = TWO_ARCS.fit(F, Z, guess_init=False, method=method, seed=2)
        assert result.chi_square < 1.5 * optimum, method


# The search tests pin each method's texts; these cases are the ones whose
# values pass through the binding's conversion (huge integers, negative and
# out-of-range floats) on their way to the message.
@pytest.mark.parametrize(
    "settings, message",
    [
        (
            {"method": "particle_swarm", "num_particles": 2**62},
            "solver error: a swarm of num_particles=4611686018427387904 would need more than 1 GiB of "
            "memory (at most 11184810 particles for 3 parameters)",
        ),
        (
            {"method": "simulated_annealing", "sa_initial_temperature": 0.0},
            'solver error: Invalid parameter: "`SimulatedAnnealing`: Initial temperature must be > 0."',
        ),
        (
            {"method": "simulated_annealing", "sa_initial_temperature": -1},
            'solver error: Invalid parameter: "`SimulatedAnnealing`: Initial temperature must be > 0."',
        ),
        (
            {"method": "simulated_annealing", "sa_initial_temperature": 1e308},
            "solver error: simulated annealing needs a finite initial temperature, got 1e308",
        ),
        (
            {"method": "basin_hopping", "basin_hopping_step_size": -0.5},
            "solver error: basin hopping cannot draw its hops: basin_hopping_step_size must be >= 0 "
            "with twice it finite, got -0.5",
        ),
        (
            {"method": "basin_hopping", "basin_hopping_step_size": 1e308},
            "solver error: basin hopping cannot draw its hops: basin_hopping_step_size must be >= 0 "
            "with twice it finite, got 1e308",
        ),
    ],
)
def test_unusable_settings_are_refused_with_clear_texts(settings, message):
    with pytest.raises(ValueError) as info:
        RC.fit(RC_F, RC_Z, guess_init=False, seed=1, **settings)
    assert str(info.value) == message


def test_huge_budgets_convert_and_zero_budgets_still_fit():
    for settings in [
        {"method": "particle_swarm", "generations": 0},
        {"method": "simulated_annealing", "sa_iterations": 0},
        {"method": "nelder_mead", "nelder_mead_iterations": 0},
        {"method": "differential_evolution", "de_evaluations": 0},
        {"method": "basin_hopping", "basin_hopping_hops": 0},
    ]:
        result = RC.with_values([12.0, 80.0, 2e-5]).fit(RC_F, RC_Z, seed=3, **settings)
        assert result.success, settings
        assert result.params["R1.r"] == pytest.approx(100.0, rel=1e-6)


def _interrupt_after(seconds: float) -> list[float]:
    """Sends SIGINT to this process after `seconds`; returns a list that
    receives the time of sending."""
    sent: list[float] = []

    def send() -> None:
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Timer(seconds, send).start()
    return sent


LONG = {
    "particle_swarm": {"generations": 2**62},
    "simulated_annealing": {"sa_iterations": 2**62},
    "differential_evolution": {"de_evaluations": 2**62},
    "basin_hopping": {"basin_hopping_hops": 2**62},
}


@pytest.mark.skipif(
    threading.current_thread() is not threading.main_thread(),
    reason="signals reach the main thread only",
)
@pytest.mark.parametrize(
    "method", ["particle_swarm", "simulated_annealing", "differential_evolution", "basin_hopping"]
)
def test_a_long_fit_stops_on_ctrl_c(method):
    before = RC.with_values([12.0, 80.0, 2e-5]).fit(RC_F, RC_Z)
    sent = _interrupt_after(0.3)
    with pytest.raises(KeyboardInterrupt):
        TWO_ARCS.fit(F, Z, guess_init=False, method=method, seed=1, **LONG[method])
    stopped = time.perf_counter()
    assert sent, "the fit ended before the signal"
    assert stopped - sent[0] < 1.0
    # Nothing is left half-built: the next fit runs and gives the same result.
    after = RC.with_values([12.0, 80.0, 2e-5]).fit(RC_F, RC_Z)
    assert _values(after) == _values(before)


@pytest.mark.skipif(
    threading.current_thread() is not threading.main_thread(),
    reason="signals reach the main thread only",
)
def test_a_long_least_squares_fit_stops_on_ctrl_c():
    # 200 000 points make every evaluation slow; the multi-start would run
    # for many seconds.
    f = np.logspace(6, -3, 200_000)
    z = _rippled(TWO_ARCS.with_values(TRUTH).impedance(f))
    sent = _interrupt_after(0.3)
    with pytest.raises(KeyboardInterrupt):
        TWO_ARCS.fit(f, z, guess_init=False, max_iterations=10**6, ftol=0.0, xtol=0.0)
    assert sent and time.perf_counter() - sent[0] < 1.0
