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
