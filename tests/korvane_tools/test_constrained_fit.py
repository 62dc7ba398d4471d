import dataclasses
import math
import os
import warnings
from pathlib import Path

import korvane
import korvane_tools as kt
import numpy as np
import pytest

F = np.logspace(-1, 5, 40)
TRUTH = {"R0.r": 10.0, "R1.r": 100.0, "C1.c": 1e-5}


def rc_data(noise=0.0, seed=7):
    z = korvane.Circuit("R0-(R1,C1)").with_values(list(TRUTH.values())).impedance(F)
    if noise:
        rng = np.random.default_rng(seed)
        z = z * (1 + noise * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)))
    return F, z


def rc_start(values=(8.0, 150.0, 2e-5)):
    return korvane.Circuit("R0-(R1,C1)").with_values(list(values))


def same_bits(a, b):
    return np.asarray(a, dtype=np.float64).tobytes() == np.asarray(b, dtype=np.float64).tobytes()


def assert_same_fit(plain, constrained):
    assert same_bits(list(plain.params.values()), list(constrained.params.values()))
    assert list(plain.params) == list(constrained.params)
    assert same_bits(list(plain.stderr.values()), list(constrained.stderr.values()))
    assert (plain.success, plain.iterations, plain.impedance_evals) == (
        constrained.success,
        constrained.iterations,
        constrained.impedance_evals,
    )
    assert same_bits([plain.cost, plain.chi_square], [constrained.cost, constrained.chi_square])
    assert same_bits(plain.circuit.param_values(), constrained.circuit.param_values())


# ---- no constraints: Circuit.fit exactly ----------------------------------------


@pytest.mark.parametrize(
    "circuit, kwargs",
    [
        (rc_start(), {}),
        (rc_start(), {"weight": "unit", "max_iterations": 7, "ftol": 1e-10}),
        (korvane.Circuit("rc"), {}),  # placeholders: the network guesses the start
        (korvane.Circuit("R0-(R1,C1)").with_values([1, 1, 1]), {"guess_init": True}),
        # Unlabelled elements and a Zarc: the circuit reaches the native
        # module in its serialised form, not as a string users could write.
        (
            korvane.Series([korvane.R(5.0), korvane.Parallel([korvane.R(80.0), korvane.C(2e-5)])]),
            {},
        ),
        (korvane.Circuit("R0-Zarc1").with_values([10, 100, 1e-3, 0.9]), {}),
    ],
)
def test_without_constraints_it_is_circuit_fit_bit_for_bit(circuit, kwargs):
    f, z = rc_data(noise=0.01)
    assert_same_fit(circuit.fit(f, z, **kwargs), kt.fit(circuit, (f, z), **kwargs))


def test_dataframe_input_and_result_shape():
    f, z = rc_data(noise=0.01)
    frame = {
        "Frequency / Hz": f,
        "Real Impedance / ohm": z.real,
        "Imaginary Impedance / ohm": z.imag,
    }
    result = kt.fit(rc_start(), frame)
    assert_same_fit(rc_start().fit(frame), result)
    assert isinstance(result.circuit, korvane.Circuit)
    assert result.circuit.param_names() == list(TRUTH)
    assert result.fixed == () and result.at_bound == ()
    assert result.bounds == dict(zip(TRUTH, rc_start().param_bounds()))
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.success = False  # type: ignore[misc]


# ---- fixed parameters ----------------------------------------------------------


def test_fixed_value_keeps_its_bits_and_has_no_standard_error():
    f, z = rc_data(noise=0.01)
    held = 10.0 + 1.0 / 3.0  # full mantissa: a search-space round trip would change it
    result = kt.fit(rc_start(), (f, z), fixed={"R0.r": held})
    assert same_bits([result.params["R0.r"]], [held])
    assert same_bits([result.circuit.param_values()[0]], [held])
    assert result.fixed == ("R0.r",)
    assert math.isnan(result.stderr["R0.r"])
    assert all(np.isfinite(result.stderr[k]) and result.stderr[k] > 0 for k in ("R1.r", "C1.c"))
    # The other two fitted around the held value: the data pull R1 to make up.
    assert result.success and result.params["R1.r"] != pytest.approx(100.0, rel=1e-3)


def test_fixing_a_true_value_recovers_the_others():
    f, z = rc_data()
    result = kt.fit(rc_start((3.0, 40.0, 1e-4)), (f, z), fixed={"R0.r": 10.0})
    assert result.success
    assert result.params["R0.r"] == 10.0
    assert result.params["R1.r"] == pytest.approx(100.0, rel=1e-8)
    assert result.params["C1.c"] == pytest.approx(1e-5, rel=1e-8)


def test_standard_errors_come_from_the_free_parameters_only():
    # stderr_j = sqrt(V_jj * chi2 / (2N - P_free)) with V = (J_free^T J_free)^-1,
    # J by central differences of the modulus-weighted residuals.
    f, z = rc_data(noise=0.02)
    result = kt.fit(rc_start(), (f, z), fixed={"C1.c": 1.1e-5})
    p = result.circuit.param_values()
    circuit = result.circuit
    jac = np.array(circuit.jacobian(p, f, z))[:, :2]  # the free columns R0.r, R1.r
    r = np.array(circuit.residuals(p, f, z))
    chi2 = float(r @ r)
    cov = np.linalg.inv(jac.T @ jac) * chi2 / (2 * f.size - 2)
    assert [result.stderr["R0.r"], result.stderr["R1.r"]] == pytest.approx(
        np.sqrt(np.diag(cov)), rel=1e-6
    )
    assert result.chi_square == pytest.approx(chi2, rel=1e-12)


def test_fixed_names_hold_current_values_and_override_the_guess():
    f, z = rc_data(noise=0.01)
    listed = kt.fit(rc_start(), (f, z), fixed=["C1.c"])
    assert listed.params["C1.c"] == 2e-5 and listed.fixed == ("C1.c",)
    # Placeholders on a trained topology: the network guesses, the fixed value wins.
    guessed = kt.fit(korvane.Circuit("rc"), (f, z), fixed={"R1.r": 123.0})
    assert guessed.params["R1.r"] == 123.0


# ---- own bounds ----------------------------------------------------------------


def test_narrowed_bounds_hold_and_at_bound_is_exact():
    f, z = rc_data(noise=0.01)
    free = kt.fit(rc_start(), (f, z))
    boxed = kt.fit(rc_start((8.0, 40.0, 2e-5)), (f, z), bounds={"R1.r": (1, 50), "R0.r": (2, None)})
    assert boxed.bounds["R1.r"] == (1.0, 50.0) and boxed.bounds["R0.r"] == (2.0, math.inf)
    assert boxed.params["R1.r"] == 50.0
    assert boxed.params["R0.r"] >= 2.0
    assert boxed.at_bound == ("R1.r",)
    assert boxed.cost > free.cost
    # A bound that does not bind flags nothing, and the fit is the free one's.
    loose = kt.fit(rc_start(), (f, z), bounds={"R1.r": (1, 1e6)})
    assert loose.at_bound == ()
    assert loose.params["R1.r"] == pytest.approx(free.params["R1.r"], rel=1e-6)


def test_at_bound_follows_the_values_exactly():
    # Whatever the fit ends on, at_bound lists exactly the free parameters
    # whose value equals a side of their effective bounds.
    f, z = rc_data(noise=0.05, seed=3)
    for bounds in ({"R0.r": (11, 20)}, {"R0.r": (1, 9)}, {"C1.c": (1e-6, 5e-6)}, {}):
        start = rc_start(
            [np.clip(v * 1.3, *bounds.get(k, (-np.inf, np.inf))) for k, v in TRUTH.items()]
        )
        result = kt.fit(start, (f, z), bounds=bounds, fixed=None)
        expected = tuple(
            k for k, v in result.params.items() if v in (result.bounds[k][0], result.bounds[k][1])
        )
        assert result.at_bound == expected
        assert all(
            result.bounds[k][0] <= v <= result.bounds[k][1] for k, v in result.params.items()
        )
        assert bool(expected) == bool(bounds)


# ---- sigma weights -------------------------------------------------------------


def test_sigma_one_is_unit_weighting_and_constant_sigma_scales():
    f, z = rc_data(noise=0.01)
    unit = rc_start().fit(f, z, weight="unit")
    assert_same_fit(unit, kt.fit(rc_start(), (f, z), sigma=np.ones(f.size)))
    assert_same_fit(unit, kt.fit(rc_start(), (f, z), sigma=1.0))
    # Dividing every residual by 2 is exact: the same steps, chi-square / 4.
    halved = kt.fit(rc_start(), (f, z), sigma=2.0)
    assert same_bits(list(halved.params.values()), list(unit.params.values()))
    assert halved.chi_square == unit.chi_square / 4
    # A constant sigma of 3 leaves the fit and its standard errors, scales chi-square by 1/9.
    thirds = kt.fit(rc_start(), (f, z), sigma=np.full(f.size, 3.0))
    assert list(thirds.params.values()) == pytest.approx(list(unit.params.values()), rel=1e-7)
    assert thirds.chi_square == pytest.approx(unit.chi_square / 9, rel=1e-7)
    assert list(thirds.stderr.values()) == pytest.approx(list(unit.stderr.values()), rel=1e-5)


def test_sigma_per_part_gives_the_weighted_chi_square():
    f, z = rc_data(noise=0.02)
    rng = np.random.default_rng(11)
    s_re = 0.05 + rng.random(f.size)
    s_im = 0.05 + rng.random(f.size)
    pair = kt.fit(rc_start(), (f, z), sigma=(s_re, s_im))
    model = pair.circuit.impedance(f)
    chi2 = np.sum(((model.real - z.real) / s_re) ** 2 + ((model.imag - z.imag) / s_im) ** 2)
    assert pair.chi_square == pytest.approx(chi2, rel=1e-12)
    assert pair.cost == pair.chi_square / 2
    # The same σ written as one complex array, or a (2, N) array, is the same fit.
    assert_same_fit(pair, kt.fit(rc_start(), (f, z), sigma=s_re + 1j * s_im))
    assert_same_fit(pair, kt.fit(rc_start(), (f, z), sigma=np.stack([s_re, s_im])))
    # And it is a different fit from the unweighted one.
    assert pair.params != kt.fit(rc_start(), (f, z), weight="unit").params


# ---- errors --------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, kind, text",
    [
        ({"fixed": {"R2.r": 1.0}}, ValueError, "unknown parameter 'R2.r' (did you mean 'R0.r'?)"),
        (
            {"fixed": ["X"]},
            ValueError,
            "unknown parameter 'X'; the parameters are R0.r, R1.r, C1.c",
        ),
        ({"fixed": "R0.r"}, TypeError, "not a str"),
        ({"fixed": {"R0.r": "ten"}}, TypeError, "must be a number"),
        ({"fixed": {"R0.r": 0.0}}, ValueError, 'fixed value 0 of "R0.r" is outside its bounds'),
        ({"fixed": {"R0.r": math.nan}}, ValueError, 'fixed value of "R0.r" must be finite'),
        ({"fixed": ["R0.r", "R1.r", "C1.c"]}, ValueError, "every parameter is fixed"),
        ({"bounds": {"C1.cc": (0, 1)}}, ValueError, "(did you mean 'C1.c'?)"),
        ({"bounds": {"R1.r": (50, 5)}}, ValueError, 'bounds of "R1.r" need lo < hi, got (50, 5)'),
        ({"bounds": {"R1.r": (5, 5)}}, ValueError, "need lo < hi"),
        (
            {"bounds": {"R1.r": (0, 5)}},
            ValueError,
            "reach outside its physical bounds (1e-12, inf)",
        ),
        ({"bounds": {"R1.r": 5}}, TypeError, "needs a pair (lo, hi)"),
        ({"bounds": {"R1.r": (200, 300)}}, ValueError, 'start value 150 of "R1.r" is outside'),
        (
            {"fixed": {"R1.r": 100}, "bounds": {"R1.r": (1, 1e3)}},
            ValueError,
            "both fixed and bounded",
        ),
        ({"sigma": np.ones(3)}, ValueError, "sigma has 3 entries for 40 measured points"),
        (
            {"sigma": -np.ones(40)},
            ValueError,
            "sigma must be finite and positive; the real part of point 0",
        ),
        ({"sigma": np.r_[np.ones(39), np.nan]}, ValueError, "point 39 has NaN"),
        ({"sigma": np.ones(40) + 0j}, ValueError, "the imaginary part of point 0 has 0"),
        ({"sigma": np.ones((3, 40))}, ValueError, "needs shape (2, 40)"),
        ({"sigma": ["a"] * 40}, TypeError, "sigma must be numbers"),
        ({"sigma": np.ones(40), "weight": "unit"}, ValueError, "pass sigma or weight, not both"),
        ({"impedances": [1]}, TypeError, "takes the measured data as `data`"),
    ],
)
def test_bad_constraints_are_clear_errors(kwargs, kind, text):
    f, z = rc_data()
    with pytest.raises(kind) as caught:
        kt.fit(rc_start(), (f, z), **kwargs)
    assert text in str(caught.value)


def test_bad_data_is_refused_before_fitting():
    f, z = rc_data()
    for bad_f, bad_z, text in [
        (np.r_[0.0, f[1:]], z, "frequencies are not positive and finite (rows 0)"),
        (np.r_[f[:-1], np.inf], z, "rows 39"),
        (f, np.r_[z[:5], np.nan + 0j, z[6:]], "impedances are not finite (rows 5)"),
        (f[:-1], z, "differ in length"),
        (f[:0], z[:0], "no measured points"),
    ]:
        with pytest.raises(ValueError) as caught:
            kt.fit(rc_start(), (bad_f, bad_z))
        assert text in str(caught.value)


def test_circuit_fit_arguments_pass_through_with_circuit_fit_errors():
    f, z = rc_data()
    for kwargs, kind in [
        ({"method": "LM"}, ValueError),
        ({"max_iterations": -1}, OverflowError),
        ({"max_iterations": 2.5}, TypeError),
        ({"guess_init": 1}, TypeError),
        ({"weight": "abs"}, ValueError),
        ({"ftol": -1.0}, ValueError),
        ({"no_such_argument": 1}, TypeError),
    ]:
        with pytest.raises(kind) as plain:
            rc_start().fit(f, z, **kwargs)
        with pytest.raises(kind) as constrained:
            kt.fit(rc_start(), (f, z), **kwargs)
        assert str(constrained.value) == str(plain.value)


def test_missing_model_warning_is_circuit_fits_and_points_at_the_caller():
    f, z = rc_data()
    untrained = korvane.Circuit("R0-C1")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        untrained.fit(f, z)
        kt.fit(untrained, (f, z))
    assert len(caught) == 2
    assert str(caught[0].message) == str(caught[1].message)
    assert caught[1].category is UserWarning and caught[1].filename == __file__
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            kt.fit(untrained, (f, z))
        kt.fit(untrained, (f, z), guess_init=False)  # no warning, no error


@pytest.mark.parametrize(
    "method, settings",
    [
        ("nelder_mead", {}),
        ("particle_swarm", {"num_particles": 30, "generations": 40, "seed": 1}),
        ("simulated_annealing", {"sa_iterations": 400, "seed": 1}),
        ("differential_evolution", {"de_evaluations": 600}),
        ("basin_hopping", {"basin_hopping_hops": 3, "seed": 1}),
    ],
)
def test_derivative_free_methods_hold_fixed_parameters(method, settings):
    # The searches move the unknowns only: the fixed value must come back to
    # the bit, and the others must still fit the data.
    f, z = rc_data(noise=0.0)
    held = TRUTH["R0.r"]
    result = kt.fit(
        korvane.Circuit("rc"),
        (f, z),
        fixed={"R0.r": held},
        method=method,
        guess_init=False,
        **settings,
    )
    assert same_bits([result.params["R0.r"]], [held])
    assert result.fixed == ("R0.r",)
    assert result.chi_square < 1e-6


@pytest.mark.skipif(not Path("/proc/self/maps").exists(), reason="reads the process's mappings")
def test_one_core_library_with_one_pool_and_one_copy_of_the_weights():
    from korvane_tools import _native

    found = _native._core_diagnostics()
    core = os.path.realpath(found["library"])
    assert os.path.realpath(found["weights"]) == core
    mapped = {
        os.path.realpath(line.split()[-1])
        for line in Path("/proc/self/maps").read_text().splitlines()
        if "libkorvane_core" in line
    }
    assert mapped == {core}
    # Work korvane hands to the pool is counted by the pool _native sees.
    korvane.Circuit("R0-(R1,C1)").impedance(np.logspace(-2, 6, 4096))
    assert _native._core_diagnostics()["pool_calls"] > found["pool_calls"]
    # Neither extension module carries weights of its own.
    stretch = (Path(__file__).parents[2] / "models" / "rc.eisnn").read_bytes()[-4096:]
    for module in (korvane, _native):
        assert stretch not in Path(module.__file__).read_bytes()
    assert stretch in Path(core).read_bytes()


def test_the_circuit_is_handed_over_and_checked_by_type():
    from korvane_tools import _native

    f, z = rc_data()
    args = ((f, z), {}, None, None, None, None, 1)
    with pytest.raises(TypeError, match="korvane.Circuit"):
        _native.fit(rc_start().__reduce__()[1], *args)
    fields = _native.fit(rc_start(), *args)
    assert same_bits(list(fields["params"].values()), rc_start().fit(f, z).circuit.param_values())


def test_a_circuit_string_is_that_circuit():
    f, z = rc_data()
    by_text = kt.fit("R0-(R1,C1)", (f, z))
    assert same_bits(
        by_text.circuit.param_values(),
        kt.fit(korvane.Circuit("R0-(R1,C1)"), (f, z)).circuit.param_values(),
    )
    row = kt.fit_many("R0-(R1,C1)", [(f, z)], workers=1)
    assert same_bits(row[["R0.r", "R1.r", "C1.c"]].to_numpy()[0], by_text.circuit.param_values())
    with pytest.raises(TypeError, match="circuit string"):
        kt.fit(3, (f, z))


def test_every_accepted_spelling_of_the_constraints_is_the_same_fit():
    # Dicts of names and floats are read natively; other mappings, NumPy
    # numbers and lists of bounds go through the Python layer first.
    from types import MappingProxyType

    f, z = rc_data(noise=0.01)
    start = rc_start((10.0, 40.0, 2e-5))
    plain = kt.fit(start, (f, z), fixed={"R0.r": 10.0}, bounds={"R1.r": (1.0, 50.0)})
    assert plain.fixed == ("R0.r",) and plain.at_bound == ("R1.r",)
    for fixed, bounds in [
        (["R0.r"], {"R1.r": (1, 50)}),
        (("R0.r",), {"R1.r": [np.int64(1), np.float64(50)]}),
        (MappingProxyType({"R0.r": np.float64(10)}), MappingProxyType({"R1.r": (1.0, 50.0)})),
        ({"R0.r": 10}, {"R1.r": (True, 50.0)}),
    ]:
        other = kt.fit(start, (f, z), fixed=fixed, bounds=bounds)
        assert_same_fit(plain, other)
        assert (other.fixed, other.at_bound, other.bounds) == (
            plain.fixed,
            plain.at_bound,
            plain.bounds,
        )


@pytest.mark.parametrize("spelling", [0, 1], ids=["human", "snake"])
def test_frames_are_read_as_circuit_fit_reads_them(spelling):
    from korvane_tools import _data, _native

    core = _native._column_spellings()
    for role, spellings in core.items():
        assert _data.COLUMN_SPELLINGS[role][:2] == spellings
    f, z = rc_data()
    z[3] = complex(1.0, math.inf)
    name = {role: spellings[spelling] for role, spellings in core.items()}
    frames = [
        {name["frequency"]: f, name["real"]: z.real, name["imag"]: z.imag},
        {name["frequency"]: f, name["modulus"]: abs(z), name["phase"]: np.degrees(np.angle(z))},
    ]
    for frame in frames:
        # A zero resistor's unit-weight residuals are the measured data negated.
        seen = korvane.Circuit("R0").residuals([0.0], frame, weight="unit")
        assert same_bits(seen, -np.asarray(kt.spectrum(frame)[1]).view(np.float64))
