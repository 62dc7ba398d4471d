import korvane
import korvane_tools as kt
import korvane_tools.thorough as th
import numpy as np
import pytest
from korvane_tools.comparison import TRAINED
from resolvable_spectra import resolvable
from shared_data import SHARED_DATA

HARD = ("R0-(R1,CPE1)-(R2,CPE2)", "R0-(R1,CPE1)-(R2-W2,CPE2)", "R0-(R1,CPE1)-(R2-Wo2,CPE2)")


def measured():
    for path in sorted(SHARED_DATA.iterdir()):
        try:
            frame = kt.read(path)
        except ValueError:
            continue
        f, z = kt.spectrum(frame)
        keep = z.imag < 0
        if keep.sum() >= 10:
            yield f[keep], z[keep]


def test_never_worse_than_the_default_fit_on_synthetic_and_measured_spectra():
    rng = np.random.default_rng(99)
    cases = [
        (text, *resolvable_pair(text, rng)[:2]) for text in TRAINED.values() for _ in range(14)
    ]
    cases += [(text, f, z) for f, z in measured() for text in HARD]
    assert len(cases) >= 200
    improved, escalated = 0, set()
    for text, f, z in cases:
        circuit = korvane.Circuit(text)
        default = kt.fit(circuit, (f, z))
        thorough = kt.fit(circuit, (f, z), thorough=True, seed=1, starts=6)
        assert thorough.chi_square <= default.chi_square, (text, default.chi_square)
        open_params = sum(hi == float("inf") for _, hi in circuit.param_bounds())
        # short spectra get proportionally more starts and annealing runs
        boost = min(th.MAX_SHORT_BOOST, max(1.0, th.SHORT_SPECTRUM_POINTS / f.size))
        first_stage = 1 + 2 * open_params + round(6 * boost) + round(th.ANNEALING_RUNS * boost)
        assert 1 <= thorough.starts_at_best <= thorough.starts
        if thorough.starts > first_stage:  # escalated, then confirming rounds
            annealing = round(th.ESCALATION_ANNEALING_RUNS * boost)
            extra = thorough.starts - first_stage - annealing - th.SWARM_RUNS
            rounds, rest = divmod(extra, annealing)
            assert rest == 0 and 0 <= rounds <= th.CONFIRMATION_ROUNDS, thorough.starts
            # the rounds stop early only once a second run has reached the best
            assert rounds == th.CONFIRMATION_ROUNDS or thorough.starts_at_best > 1
        escalated.add(thorough.starts > first_stage)
        improved += thorough.chi_square < 0.98 * default.chi_square
    assert improved  # the measured spectra hold minima the default fit misses
    assert escalated == {False, True}  # only rival minima call the global stage


def resolvable_pair(text, rng):
    name = next(n for n, t in TRAINED.items() if t == text)
    _, f, z, truth = resolvable(name, rng)
    return f, z, truth


def test_a_seed_gives_one_result_and_held_parameters_stay_held():
    f, z = next(measured())
    circuit = korvane.Circuit("R0-(R1,CPE1)-(R2-W2,CPE2)")
    a = kt.fit(circuit, (f, z), thorough=True, seed=4, starts=8)
    b = kt.fit(circuit, (f, z), thorough=True, seed=4, starts=8)
    assert (
        list(a.params.values()) == list(b.params.values()) and a.starts_at_best == b.starts_at_best
    )

    start = circuit.with_values([0.02, *a.circuit.param_values()[1:]])
    held = kt.fit(start, (f, z), thorough=True, fixed=["R0.r"], starts=8)
    assert held.params["R0.r"] == 0.02 and held.fixed == ("R0.r",)
    with pytest.raises(ValueError, match="starts"):
        kt.fit(circuit, (f, z), thorough=True, starts=-1)
    with pytest.raises(TypeError, match="thorough=True"):
        kt.fit(circuit, (f, z), starts=8)


def test_the_missing_network_warning_names_the_caller():
    f, z = next(measured())
    with pytest.warns(UserWarning, match="no ML model") as caught:
        kt.fit(korvane.Circuit("R0-(R1,CPE1)-W2"), (f, z), thorough=True, starts=2)
    assert caught[0].filename == __file__
