"""Nyquist, Bode and residual plots of measured spectra and fits.

matplotlib is imported inside each function, so the rest of the package works
without it (``pip install korvane[plot]`` brings it). Every function returns
what it drew on, for the caller to style.

``fit`` may be a :class:`korvane.FitResult`, a :class:`korvane.Circuit` (drawn
with its current values), or any object with a ``circuit`` attribute, such as
the result of :func:`korvane_tools.fit`. The model is drawn as a line on a
dense log-spaced grid over the measured range, with markers at the measured
frequencies, so a fit that only hits the points can be told from one that
follows the data between them.

Nyquist axes have equal scales and limits fitted to the data, so the box takes
the data's shape instead of padding one axis with empty space. When the
highest-frequency arc is smaller than 5 % of the plot's span (an SEI or
contact arc in front of a large charge-transfer arc or diffusion tail), an
inset shows it enlarged.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from ._data import ComplexArray, Data, FloatArray, spectrum

if TYPE_CHECKING:
    import korvane
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from ._types import FitLike
    from .kk import LinKKResult

#: Points per decade of the dense grid the model curve is drawn on.
_CURVE_PER_DECADE = 50

#: A high-frequency arc smaller than this share of the Nyquist span gets an inset.
_INSET_BELOW = 0.05
#: Margin around the data in a Nyquist plot, as a share of the span.
_MARGIN = 0.05
#: A rise or fall of -Z'' ends an arc when it exceeds this share of the arc's
#: height: on measured points large enough that noise does not end an arc
#: early; on a model curve any clear valley between two arcs.
_ARC_STEP_MEASURED = 0.25
_ARC_STEP_MODEL = 0.02

_NYQUIST_X = "Z' / Ω"
_NYQUIST_Y = "−Z'' / Ω"
_FREQUENCY = "f / Hz"


def _model(fit: FitLike | korvane.Circuit) -> Any:
    """The circuit whose current values describe ``fit``."""
    circuit = getattr(fit, "circuit", None)
    if circuit is not None:  # FitResult, a constrained-fit result, ...
        return circuit
    if callable(getattr(fit, "impedance", None)) and callable(getattr(fit, "param_names", None)):
        return fit  # a korvane.Circuit
    raise TypeError(
        "fit must be a korvane.FitResult, a korvane.Circuit, or an object with a "
        f"'circuit' attribute; got {type(fit).__name__}"
    )


def _positive_finite(f: FloatArray) -> FloatArray:
    return f[np.isfinite(f) & (f > 0)]


def _curve(
    fit: FitLike | korvane.Circuit, f: FloatArray
) -> tuple[FloatArray, ComplexArray, ComplexArray]:
    """(dense frequencies, model on them, model at the measured frequencies)."""
    circuit = _model(fit)
    measured = _positive_finite(f)
    if measured.size == 0:
        raise ValueError("no positive finite frequencies to draw the model at")
    lo, hi = float(np.min(measured)), float(np.max(measured))
    count = max(2, int(np.ceil(_CURVE_PER_DECADE * np.log10(hi / lo))) + 1) if hi > lo else 1
    dense = np.geomspace(hi, lo, count)
    z_dense = np.asarray(circuit.impedance(dense), dtype=np.complex128)
    z_at = np.asarray(circuit.impedance(measured), dtype=np.complex128)
    return dense, z_dense, z_at


def _first_arc_end(y: FloatArray, step: float) -> int | None:
    """Where the first arc of −Z'' (ordered from high to low frequency) ends.

    The index of the valley after the first peak, once −Z'' has fallen from
    that peak and risen again, each by more than ``step`` times the peak's
    height above where the arc started; None for a single arc (or one arc and
    a falling tail), which needs no inset.
    """
    if y.size == 0:
        return None
    top = base = floor = float(y[0])
    low, i_low = np.inf, -1
    for i, value in enumerate(y):
        if i_low < 0:  # climbing the first arc, or just past its top
            if value > top:
                top, base = value, floor
            elif top - value > step * (top - base) > 0:
                low, i_low = value, i
            floor = min(floor, value)
        elif value < low:
            low, i_low = value, i
        elif value - low > step * (top - base):
            return i_low
    return None


def _span(x: FloatArray, y: FloatArray) -> tuple[float, float, float, float]:
    finite = np.isfinite(x) & np.isfinite(y)
    x, y = x[finite], y[finite]
    if x.size == 0:
        return 0.0, 1.0, 0.0, 1.0
    return float(np.min(x)), float(np.max(x)), float(np.min(y)), float(np.max(y))


def _set_limits(ax: Axes, bounds: tuple[float, float, float, float]) -> None:
    x0, x1, y0, y1 = bounds
    pad = _MARGIN * max(x1 - x0, y1 - y0) or 1.0
    ax.set_xlim(x0 - pad, x1 + pad)
    ax.set_ylim(y0 - pad, y1 + pad)


def _draw_nyquist(
    ax: Axes, z: ComplexArray, model: tuple[ComplexArray, ComplexArray] | None
) -> None:
    ax.plot(z.real, -z.imag, "o", markersize=4, label="measured")
    if model is not None:
        z_dense, z_at = model
        (line,) = ax.plot(z_dense.real, -z_dense.imag, "-", label="model")
        ax.plot(z_at.real, -z_at.imag, "x", color=line.get_color(), markersize=4)
    ax.axhline(0.0, color="0.7", linewidth=0.8, zorder=0)


def plot_nyquist(
    data: Data, fit: FitLike | korvane.Circuit | None = None, ax: Axes | None = None
) -> Axes:
    """Nyquist plot: Z' against −Z'' (capacitive arcs above the axis), equal aspect.

    The limits enclose the data (and model) with a small margin and the box
    takes their shape. A high-frequency arc below 5 % of the span is shown
    again, enlarged, in an inset (``ax.child_axes``).
    """
    import matplotlib.pyplot as plt

    f, z = spectrum(data)
    if ax is None:
        _, ax = plt.subplots()
    # What earlier calls drew on these axes stays inside the limits.
    earlier = ax.dataLim.frozen() if ax.has_data() else None
    order = np.argsort(-f, kind="stable")  # the sweep from high to low frequency
    curve_f, curve, shown = f[order], z[order], z
    model = None
    if fit is not None:
        dense, z_dense, z_at = _curve(fit, f)
        model = (z_dense, z_at)
        curve_f, curve = dense, z_dense  # the model finds the arcs without the noise
        shown = np.concatenate([z, z_dense])
    _draw_nyquist(ax, z, model)
    bounds = _span(shown.real, -shown.imag)
    if earlier is not None:
        bounds = (
            min(bounds[0], earlier.x0),
            max(bounds[1], earlier.x1),
            min(bounds[2], earlier.y0),
            max(bounds[3], earlier.y1),
        )
    _set_limits(ax, bounds)
    ax.set_aspect("equal", adjustable="box")
    ax.set_xlabel(_NYQUIST_X)
    ax.set_ylabel(_NYQUIST_Y)

    end = _first_arc_end(-curve.imag, _ARC_STEP_MEASURED if model is None else _ARC_STEP_MODEL)
    inset = None
    if end is not None:
        f_end = curve_f[end]
        arc = z[f >= f_end] if model is None else np.concatenate([z[f >= f_end], curve[: end + 1]])
        arc_bounds = _span(arc.real, -arc.imag)
        arc_size = max(arc_bounds[1] - arc_bounds[0], arc_bounds[3] - arc_bounds[2])
        if arc_size < _INSET_BELOW * max(bounds[1] - bounds[0], bounds[3] - bounds[2]):
            # Top left: to its right lie the larger arcs and the diffusion tail.
            inset = ax.inset_axes((0.05, 0.5, 0.5, 0.45))
            _draw_nyquist(inset, z, model)
            _set_limits(inset, arc_bounds)
            inset.set_aspect("equal", adjustable="box")  # the box shrinks to the arc's shape
            inset.set_anchor("NW")
            inset.set_title(f"f ≥ {f_end:.3g} Hz", fontsize="small")
            inset.tick_params(labelsize="x-small")
            ax.indicate_inset_zoom(inset, edgecolor="0.4")
    ax.legend(loc="lower right" if inset is not None else "best")
    return ax


def plot_bode(
    data: Data, fit: FitLike | korvane.Circuit | None = None, axes: tuple[Axes, Axes] | None = None
) -> tuple[Axes, Axes]:
    """Bode plot: |Z| (log) and phase against frequency (log); returns both Axes."""
    import matplotlib.pyplot as plt

    f, z = spectrum(data)
    if axes is None:
        _, pair = plt.subplots(2, 1, sharex=True)
        axes = (pair[0], pair[1])
    ax_mod, ax_phase = axes
    ax_mod.plot(f, np.abs(z), "o", markersize=4, label="measured")
    ax_phase.plot(f, np.angle(z, deg=True), "o", markersize=4, label="measured")
    if fit is not None:
        dense, z_dense, z_at = _curve(fit, f)
        measured = _positive_finite(f)
        (line,) = ax_mod.plot(dense, np.abs(z_dense), "-", label="model")
        ax_mod.plot(measured, np.abs(z_at), "x", color=line.get_color(), markersize=4)
        (line,) = ax_phase.plot(dense, np.angle(z_dense, deg=True), "-", label="model")
        ax_phase.plot(measured, np.angle(z_at, deg=True), "x", color=line.get_color(), markersize=4)
    ax_mod.set_xscale("log")
    ax_mod.set_yscale("log")
    ax_phase.set_xscale("log")
    ax_mod.set_ylabel("|Z| / Ω")
    ax_phase.set_ylabel("phase / °")
    ax_phase.set_xlabel(_FREQUENCY)
    ax_mod.legend(loc="best")
    return ax_mod, ax_phase


def _draw_residuals(
    ax: Axes, f: FloatArray, real: FloatArray, imag: FloatArray, ylabel: str
) -> None:
    ax.plot(f, 100.0 * real, "o-", markersize=3, label="real")
    ax.plot(f, 100.0 * imag, "s-", markersize=3, label="imaginary")
    ax.axhline(0.0, color="0.5", linewidth=0.8, zorder=0)
    ax.set_xscale("log")
    ax.set_xlabel(_FREQUENCY)
    ax.set_ylabel(ylabel)
    ax.legend(loc="best")


def plot_residuals(data: Data, fit: FitLike | korvane.Circuit, ax: Axes | None = None) -> Axes:
    """Relative residuals (Z − Z_model)/|Z| in per cent, real and imaginary, against f."""
    import matplotlib.pyplot as plt

    f, z = spectrum(data)
    measured = np.isfinite(f) & (f > 0)
    f, z = f[measured], z[measured]
    model = np.asarray(_model(fit).impedance(f), dtype=np.complex128)
    relative = (z - model) / np.abs(z)
    if ax is None:
        _, ax = plt.subplots()
    _draw_residuals(ax, f, relative.real, relative.imag, "residual / % of |Z|")
    return ax


def _title(fit: FitLike | korvane.Circuit) -> str:
    """The circuit string, and the chi-square when ``fit`` is a fit."""
    from .serial import circuit_string

    try:
        text = circuit_string(_model(fit))
    except ValueError:  # a shape no string can write (an empty group)
        text = "circuit without a string form"
    chi_square = getattr(fit, "chi_square", None)
    if isinstance(chi_square, float):
        text += f"    χ² = {chi_square:.4g}"
    return text


def plot_fit(data: Data, fit: FitLike | korvane.Circuit) -> Figure:
    """Nyquist, Bode (|Z| and phase) and residuals of one fit in one Figure.

    Titled with the circuit string and, for a fit result, its chi-square. A
    Nyquist curve more than twice as wide as high gets the top row to itself,
    so that its equal-aspect box is not a strip in a tall panel.
    """
    import matplotlib.pyplot as plt

    f, z = spectrum(data)
    x0, x1, y0, y1 = _span(z.real, -z.imag)
    wide = (y1 - y0) < 0.5 * (x1 - x0)
    fig = plt.figure(figsize=(11.0, 7.0), layout="constrained")
    if wide:
        grid = fig.add_gridspec(3, 2, height_ratios=(1.6, 1.0, 1.0))
        nyquist = fig.add_subplot(grid[0, :])
        modulus = fig.add_subplot(grid[1, 0])
        phase = fig.add_subplot(grid[1, 1], sharex=modulus)
        modulus.set_xlabel(_FREQUENCY)
    else:
        grid = fig.add_gridspec(3, 2)
        nyquist = fig.add_subplot(grid[0:2, 0])
        modulus = fig.add_subplot(grid[0, 1])
        phase = fig.add_subplot(grid[1, 1], sharex=modulus)
    residuals = fig.add_subplot(grid[2, :])
    plot_nyquist(data, fit, ax=nyquist)
    plot_bode(data, fit, axes=(modulus, phase))
    plot_residuals(data, fit, ax=residuals)
    fig.suptitle(_title(fit))
    return fig


def plot_lin_kk(result: LinKKResult, ax: Axes | None = None) -> Axes:
    """Residuals of a Kramers–Kronig test in per cent, with its threshold as a band."""
    import matplotlib.pyplot as plt

    if ax is None:
        _, ax = plt.subplots()
    _draw_residuals(
        ax,
        result.frequencies,
        result.residuals_real,
        result.residuals_imag,
        "KK residual / % of |Z|",
    )
    limit = 100.0 * result.threshold
    ax.axhspan(-limit, limit, color="0.9", zorder=-1)
    verdict = "passed" if result.passed else "failed"
    ax.set_title(f"linear KK: M = {result.m}, µ = {result.mu:.2f}, {verdict}")
    return ax
