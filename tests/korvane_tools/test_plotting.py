import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import korvane  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
from korvane_tools import (  # noqa: E402
    lin_kk,
    plot_bode,
    plot_fit,
    plot_lin_kk,
    plot_nyquist,
    plot_residuals,
)

F = np.logspace(4, -1, 26)
TRUE = korvane.Circuit("R0-(R1,CPE1)").with_values([10, 50, 1e-4, 0.9])
Z = TRUE.impedance(F) * (1 + 0.01 * np.cos(np.arange(F.size)))  # off the model a little
MODEL = korvane.Circuit("R0-(R1,CPE1)").with_values([11, 48, 1e-4, 0.9])


class ConstrainedLike:
    """What a constrained-fit result offers the plots: a circuit."""

    circuit = MODEL


@pytest.fixture(autouse=True)
def _close():
    yield
    plt.close("all")


def lines(ax):
    return {l.get_label(): l for l in ax.get_lines() if not l.get_label().startswith("_")}


def test_nyquist_draws_data_and_model_curve():
    ax = plot_nyquist((F, Z), MODEL)
    drawn = lines(ax)
    np.testing.assert_array_equal(drawn["measured"].get_xdata(), Z.real)
    np.testing.assert_array_equal(drawn["measured"].get_ydata(), -Z.imag)
    curve = drawn["model"]
    x, y = np.asarray(curve.get_xdata()), np.asarray(curve.get_ydata())
    assert x.size > 5 * F.size  # dense grid, not just the measured points
    # The curve is the model on a log grid spanning exactly the measured range.
    dense = np.geomspace(F.max(), F.min(), x.size)
    np.testing.assert_allclose(x + 1j * -y, MODEL.impedance(dense), rtol=1e-12)
    markers = [line for line in ax.get_lines() if line.get_marker() == "x"]
    assert len(markers) == 1
    np.testing.assert_allclose(markers[0].get_xdata(), MODEL.impedance(F).real)
    assert ax.get_aspect() == 1.0
    assert ax.get_xlabel() == "Z' / Ω" and ax.get_ylabel() == "−Z'' / Ω"
    assert np.all(np.asarray(drawn["measured"].get_ydata()) > 0)  # arc above the axis


def test_nyquist_without_fit_on_given_axes():
    fig, ax = plt.subplots()
    assert plot_nyquist((F, Z), ax=ax) is ax
    assert list(lines(ax)) == ["measured"]
    plot_nyquist((F, 0.5 * Z), ax=ax)  # a second spectrum keeps the first in view
    assert ax.get_xlim()[0] < 0.5 * Z.real.min() and Z.real.max() < ax.get_xlim()[1]
    assert (-Z.imag).max() < ax.get_ylim()[1]


def test_bode_axes_scales_and_phase():
    ax_mod, ax_phase = plot_bode((F, Z), ConstrainedLike())
    assert ax_mod.get_xscale() == ax_mod.get_yscale() == "log"
    assert ax_phase.get_xscale() == "log" and ax_phase.get_yscale() == "linear"
    np.testing.assert_array_equal(lines(ax_mod)["measured"].get_ydata(), np.abs(Z))
    np.testing.assert_allclose(lines(ax_phase)["measured"].get_ydata(), np.degrees(np.angle(Z)))
    np.testing.assert_array_equal(lines(ax_phase)["measured"].get_xdata(), F)
    model = lines(ax_mod)["model"]
    f_dense = np.asarray(model.get_xdata())
    np.testing.assert_allclose(model.get_ydata(), np.abs(MODEL.impedance(f_dense)))
    assert f_dense.max() == pytest.approx(F.max()) and f_dense.min() == pytest.approx(F.min())
    assert "Hz" in ax_phase.get_xlabel() and "Ω" in ax_mod.get_ylabel()


def test_residuals_are_relative_percent():
    ax = plot_residuals((F, Z), MODEL)
    expected = 100 * (Z - MODEL.impedance(F)) / np.abs(Z)
    np.testing.assert_allclose(lines(ax)["real"].get_ydata(), expected.real)
    np.testing.assert_allclose(lines(ax)["imaginary"].get_ydata(), expected.imag)
    assert ax.get_xscale() == "log"


def test_fit_result_and_figure():
    result = korvane.Circuit("R0-(R1,CPE1)").fit(F, Z)
    fig = plot_fit((F, Z), result)
    assert fig.__class__.__name__ == "Figure"
    assert len(fig.axes) == 4
    nyquist = fig.axes[0]
    np.testing.assert_allclose(
        [l for l in nyquist.get_lines() if l.get_marker() == "x"][0].get_xdata(),
        result.circuit.impedance(F).real,
    )


def test_lin_kk_plot():
    r = lin_kk((F, Z))
    ax = plot_lin_kk(r)
    np.testing.assert_allclose(lines(ax)["real"].get_ydata(), 100 * r.residuals_real)
    np.testing.assert_allclose(lines(ax)["imaginary"].get_ydata(), 100 * r.residuals_imag)
    assert f"M = {r.m}" in ax.get_title()


def test_not_a_fit():
    with pytest.raises(TypeError, match="FitResult"):
        plot_nyquist((F, Z), fit=[1, 2, 3])


# A small, fast arc (an SEI or contact arc, 1.5 % of the span) in front of a
# large slow one, four decades apart: the valley between them lies at 400 Hz.
F_WIDE = np.logspace(5, -2, 71)
TWO_ARCS = korvane.Circuit("R0-(R1,CPE1)-(R2,CPE2)")
SMALL_FIRST = TWO_ARCS.with_values([0.05, 0.03, 3e-3, 0.9, 2.0, 0.5, 0.85])
LARGE_FIRST = TWO_ARCS.with_values([0.05, 0.8, 3e-3, 0.9, 2.0, 0.5, 0.85])


def span(x, y):
    return max(np.ptp(x), np.ptp(y))


@pytest.mark.parametrize("with_model", [True, False])
def test_nyquist_limits_fit_the_data_and_a_small_first_arc_gets_an_inset(with_model):
    rng = np.random.default_rng(3)
    z = SMALL_FIRST.impedance(F_WIDE) * (1 + 0.003 * rng.standard_normal(F_WIDE.size))
    ax = plot_nyquist((F_WIDE, z), SMALL_FIRST if with_model else None)
    x, y = [], []
    for line in ax.get_lines()[:-1] if with_model else ax.get_lines()[:1]:
        x.extend(line.get_xdata()), y.extend(line.get_ydata())
    x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
    x, y = x[np.isfinite(x)], y[np.isfinite(y)]
    # Limits: the drawn points with a 5 % margin, the box in their shape.
    pad = 0.05 * span(x, y)
    np.testing.assert_allclose(ax.get_xlim(), (x.min() - pad, x.max() + pad))
    np.testing.assert_allclose(ax.get_ylim(), (y.min() - pad, y.max() + pad))
    assert ax.get_aspect() == 1.0 and ax.get_adjustable() == "box"
    # The inset frames the fast arc: every measured point above its valley,
    # and nothing of the slow arc's scale.
    (inset,) = ax.child_axes
    fast = F_WIDE >= 400.0
    (x0, x1), (y0, y1) = inset.get_xlim(), inset.get_ylim()
    assert x0 < z[fast].real.min() and z[fast].real.max() < x1
    assert y0 < (-z[fast].imag).min() and (-z[fast].imag).max() < y1
    assert max(x1 - x0, y1 - y0) < 0.1 * span(x, y)
    np.testing.assert_array_equal(inset.get_lines()[0].get_ydata(), -z.imag)
    assert inset.get_aspect() == 1.0


@pytest.mark.parametrize("model", [LARGE_FIRST, None])
def test_no_inset_when_the_first_arc_is_large_or_the_only_one(model):
    rng = np.random.default_rng(4)
    truth = LARGE_FIRST if model is not None else TRUE  # noisy single arc, data only
    z = truth.impedance(F_WIDE) * (1 + 0.005 * rng.standard_normal(F_WIDE.size))
    assert plot_nyquist((F_WIDE, z), model).child_axes == []


def test_fit_figure_title_and_wide_nyquist_row():
    result = korvane.Circuit("R0-(R1,CPE1)").fit(F, Z)
    fig = plot_fit((F, Z), result)
    assert fig.get_suptitle() == f"R0-(R1,CPE1)    χ² = {result.chi_square:.4g}"
    # Z' spans about 50 ohm, -Z'' about 23: the Nyquist plot gets the top row.
    assert fig.axes[0].get_subplotspec().colspan == range(0, 2)
    tail = (F, 10 + 1 / (1e-3 * (2j * np.pi * F) ** 0.7))  # a 63° line, taller than wide
    fig = plot_fit(tail, ConstrainedLike())
    assert fig.get_suptitle() == "R0-(R1,CPE1)"  # a circuit has no chi-square
    assert fig.axes[0].get_subplotspec().colspan == range(0, 1)
