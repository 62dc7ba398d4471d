import importlib.util
import pathlib

import korvane
import korvane_tools as kt
import numpy as np
import pytest
from scipy.integrate import quad

# The accuracy benchmark's spectra and its scoring of found (tau, R) pairs
# against the true arcs, so that the test and the figures it guards count alike.
_spec = importlib.util.spec_from_file_location(
    "drt_accuracy", pathlib.Path(__file__).parents[2] / "bench" / "drt_accuracy.py"
)
_bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_bench)
F, matched, zarcs, noisy = _bench.F, _bench.matched, _bench.zarcs, _bench.noisy


def zarc_gamma(tau, r, tau0, alpha):
    """The analytic DRT of a ZARC, ohm per unit ln tau."""
    u = alpha * np.log(tau / tau0)
    return r / (2 * np.pi) * np.sin(alpha * np.pi) / (np.cosh(u) + np.cos(alpha * np.pi))


# One ZARC, and pairs two and three decades apart with unequal resistances
# and alpha from 0.75 to 0.95. The deconvolution's resistances must meet the
# tolerance; gamma's own areas between its minima a looser one, as even the
# exact gamma of a pair two decades apart splits 4 % wrongly and a sharp peak
# next to a broad one (alpha 0.95 and 0.75) is blurred into it by the penalty.
ARCS = [[(100, 1e-3, a)] for a in (0.75, 0.85, 0.95)] + [
    [(r1, 1e-2 / 10**sep, a1), (r2, 1e-2, a2)]
    for sep in (2, 3)
    for a1, a2 in ((0.75, 0.95), (0.95, 0.75), (0.85, 0.85))
    for r1, r2 in ((80, 40), (40, 80))
]


@pytest.mark.parametrize(
    ("noise", "decades", "tolerance", "area_tolerance"),
    [(1e-3, 0.1, 0.05, 0.08), (1e-2, 0.2, 0.10, 0.15)],
)
def test_peaks_of_zarcs_found_with_their_resistances(noise, decades, tolerance, area_tolerance):
    for arcs in ARCS:
        for seed in range(2):
            result = kt.drt((F, noisy(zarcs(5.0, *arcs), noise, seed)))
            for found, limit in (
                ([(zarc.tau, zarc.r) for zarc in result.zarcs], tolerance),
                ([(peak.tau, peak.area) for peak in result.peaks], area_tolerance),
            ):
                errors, spurious = matched(found, arcs)
                case = (arcs, seed, found, errors, spurious)
                assert all(d <= decades for d, _ in errors), case
                assert all(e <= limit for _, e in errors), case
                assert spurious <= 0.05, case
            assert np.all(result.gamma >= 0) and np.all(result.coefficients >= 0)
            if len(arcs) == 1:  # an alpha 0.75 arc near the fast end blurs into R_inf
                assert result.r_inf == pytest.approx(5.0, abs=max(1.0, 250 * noise))


def test_clean_zarc_follows_its_analytic_distribution():
    arc = (100.0, 1e-3, 0.8)
    result = kt.drt((F, zarcs(10.0, arc)))
    inside = (result.tau > 1 / (2 * np.pi * F.max())) & (result.tau < 1 / (2 * np.pi * F.min()))
    truth = zarc_gamma(result.tau[inside], *arc)
    assert np.max(np.abs(result.gamma[inside] - truth)) < 0.05 * truth.max()
    assert result.polarisation_resistance == pytest.approx(100.0, rel=0.01)
    assert result.max_residual < 1e-3


@pytest.mark.parametrize("basis", ["gaussian", "inverse_quadratic", "piecewise_linear"])
def test_model_is_the_integral_of_gamma(basis):
    # The fitted impedance must be R_inf + the DRT integral of the gamma it
    # reports; quad on the continuous gamma checks the matrices' quadrature.
    result = kt.drt((F, zarcs(10.0, (100, 1e-3, 0.85))), basis=basis, points_per_decade=5)
    y = np.log(result.tau_centres)
    delta = y[1] - y[0]
    eps = {"gaussian": 2 * np.sqrt(np.log(2)) / (2 * delta), "inverse_quadratic": 1 / delta}

    def gamma(x):
        u = x - y
        if basis == "gaussian":
            phi = np.exp(-((eps[basis] * u) ** 2))
        elif basis == "inverse_quadratic":
            phi = 1 / (1 + (eps[basis] * u) ** 2)
        else:
            phi = np.maximum(0, 1 - np.abs(u) / delta)
        return float(result.coefficients @ phi)

    tail = 0.0
    if basis == "inverse_quadratic":  # its mass left of -60, where 1/(1 + w^2 tau^2) = 1
        tail = result.coefficients @ ((np.arctan(eps[basis] * (-60 - y)) + np.pi / 2) / eps[basis])
    for i in (0, 25, 59):
        w = 2 * np.pi * F[i]
        re = quad(lambda x: gamma(x) / (1 + (w * np.exp(x)) ** 2), -60, 60, limit=800, points=y)[0]
        im = quad(
            lambda x: -gamma(x) * w * np.exp(x) / (1 + (w * np.exp(x)) ** 2),
            -60,
            60,
            limit=800,
            points=y,
        )[0]
        expected = result.r_inf + tail + re + 1j * im
        assert result.fitted[i] == pytest.approx(expected, rel=1e-6)


def test_randles_diffusion_tail_makes_no_peak_in_the_window():
    randles = korvane.Circuit("R0-(R1-W1,CPE1)").with_values([15, 60, 40, 2e-5, 0.85])
    f = np.logspace(5, -2, 71)
    for level in (1e-3, 1e-2):
        result = kt.drt((f, noisy(randles.impedance(f), level, 0)))
        window = [
            p for p in result.peaks if 1 / (2 * np.pi * f.max()) < p.tau < 1 / (2 * np.pi * f.min())
        ]
        assert len(window) == 1, [(p.tau, p.area) for p in result.peaks]
        tau_ct = (60 * 2e-5) ** (1 / 0.85)  # R1*CPE1 time constant
        assert abs(np.log10(window[0].tau / tau_ct)) < 0.2
        # A ZARC of alpha 0.5 and unbounded R mimics the tail beyond the window.
        assert max(p.resistance for p in result.peaks) < 10 * result.polarisation_resistance


def test_criteria_parts_and_options_fit_the_data():
    z = noisy(zarcs(5.0, (40, 1e-5, 0.9), (80, 1e-2, 0.8)), 1e-3, 3)
    for kwargs in (
        {"criterion": "lcurve"},
        {"criterion": "re-im"},
        {"part": "real"},
        {"part": "imag"},
        {"derivative": 2},
        {"sigma": 1e-3 * np.abs(z)},
    ):
        result = kt.drt((F, z), **kwargs)
        assert result.lambda_ > 0
        assert result.max_residual < 0.03, kwargs
        # Beyond the measured range one part alone says little about gamma.
        inside = [
            p for p in result.peaks if 1 / (2 * np.pi * F.max()) < p.tau < 1 / (2 * np.pi * F.min())
        ]
        assert len([p for p in inside if p.area > 10]) == 2, kwargs
    auto = kt.drt((F, z))
    given = kt.drt((F, z), lambda_=auto.lambda_)  # the reported lambda reproduces the fit
    assert given.lambda_ == auto.lambda_ and given.criterion is None
    np.testing.assert_allclose(given.gamma, auto.gamma, rtol=1e-6, atol=1e-9 * auto.gamma.max())


def test_bayesian_band_brackets_gamma_and_widens_with_noise():
    arcs = [(40, 1e-5, 0.9), (80, 1e-2, 0.8)]
    quiet = kt.drt((F, noisy(zarcs(5.0, *arcs), 1e-3, 0)), "bayesian", seed=1)
    loud = kt.drt((F, noisy(zarcs(5.0, *arcs), 1e-2, 0)), "bayesian", seed=1)
    again = kt.drt((F, noisy(zarcs(5.0, *arcs), 1e-2, 0)), "bayesian", seed=1)
    np.testing.assert_array_equal(loud.gamma_high, again.gamma_high)  # seeded
    for r in (quiet, loud):
        assert np.all(r.gamma_low >= 0) and np.all(r.gamma_low <= r.gamma_high)
        top = np.argmax(r.gamma)
        assert r.gamma_low[top] < r.gamma[top] * 1.05 and r.gamma_high[top] > r.gamma[top] * 0.95
        assert r.credible == 0.95
    assert np.mean(loud.gamma_high - loud.gamma_low) > np.mean(quiet.gamma_high - quiet.gamma_low)
    # The 95 % band holds the true gamma at about 70 % of tau here (a Gibbs
    # sampler that mixed too slowly made it 45 %).
    for r in (quiet, loud):
        inside = (r.tau > 1 / (2 * np.pi * F.max())) & (r.tau < 1 / (2 * np.pi * F.min()))
        truth = sum(zarc_gamma(r.tau[inside], *arc) for arc in arcs)
        held = (r.gamma_low[inside] <= truth) & (truth <= r.gamma_high[inside])
        assert np.mean(held) > 0.6
    assert kt.drt((F, zarcs(5.0, *arcs))).gamma_low is None


def test_suggested_circuit_fits_back():
    arcs = [(40, 1e-5, 0.9), (80, 1e-2, 0.8)]
    z = noisy(zarcs(5.0, *arcs), 1e-3, 0)
    suggestion = kt.drt((F, z)).suggest_circuit()
    circuit, values = suggestion
    assert circuit == "R0-(R1,CPE1)-(R2,CPE2)"
    assert values[1] == pytest.approx(40, rel=0.1) and values[4] == pytest.approx(80, rel=0.1)
    fitted = suggestion.build().fit(F, z)
    assert fitted.params["R2.r"] == pytest.approx(80, rel=0.01)
    assert fitted.params["CPE2.alpha"] == pytest.approx(0.8, abs=0.01)

    wired = korvane.Circuit("L0-R0-(R1,CPE1)").with_values([1e-6, 5, 100, 1e-4, 0.85])
    f = np.logspace(6, -1, 70)
    result = kt.drt((f, wired.impedance(f)))
    assert result.inductance == pytest.approx(1e-6, rel=0.05)
    assert result.suggest_circuit().circuit == "L0-R0-(R1,CPE1)"


def test_bad_input_is_refused():
    z = zarcs(5.0, (100, 1e-3, 0.8))
    for kwargs in (
        {"method": "mcmc"},
        {"lambda_": -1.0},
        {"lambda_": "gcv"},
        {"derivative": 3},
        {"basis": "cubic"},
        {"part": "modulus"},
        {"criterion": "aic"},
        {"sigma": np.zeros(F.size)},
        {"extend_decades": -1},
    ):
        with pytest.raises(ValueError):
            kt.drt((F, z), **kwargs)
    with pytest.raises(ValueError, match="not positive"):
        kt.drt((np.r_[F[:-1], 0.0], z))


def test_plot_and_report_show_the_result():
    import matplotlib.pyplot as plt

    result = kt.drt((F, noisy(zarcs(5.0, (40, 1e-5, 0.9), (80, 1e-2, 0.8)), 1e-3, 0)), "bayesian")
    ax = kt.plot_drt(result)
    curve, marks = ax.lines[:2]
    np.testing.assert_array_equal(curve.get_xdata(), result.tau)
    np.testing.assert_array_equal(curve.get_ydata(), result.gamma)
    np.testing.assert_allclose(marks.get_xdata(), [p.tau for p in result.peaks])
    band = ax.collections[0].get_paths()[0].vertices
    assert band[:, 1].max() == pytest.approx(result.gamma_high.max())
    ax = kt.plot_drt(result, x="frequency")
    np.testing.assert_allclose(ax.lines[0].get_xdata(), 1 / (2 * np.pi * result.tau))
    plt.close("all")

    rep = kt.report(result)
    text = str(rep)
    assert text.count("peak ") == len(result.peaks) >= 2
    assert f"{result.peaks[1].area:.4g}" in text and "95 %" in text
    assert type(rep).from_dict(rep.to_dict()) == rep
    assert "| peak 1 |" in rep.to_markdown()


def test_native_solver_refuses_nan():
    from korvane_tools.analysis._solvers import nnls_gram

    h = np.eye(3)
    h[1, 1] = np.nan
    with pytest.raises(ValueError, match="finite"):
        nnls_gram(h, np.ones(3))
