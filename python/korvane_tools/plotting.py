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


def plot_nyquist(
    data: Data, fit: FitLike | korvane.Circuit | None = None, ax: Axes | None = None
) -> Axes:
    """Nyquist plot: Z' against −Z'' (capacitive arcs above the axis), equal aspect."""
    import matplotlib.pyplot as plt

    f, z = spectrum(data)
    if ax is None:
        _, ax = plt.subplots()
    ax.plot(z.real, -z.imag, "o", markersize=4, label="measured")
    if fit is not None:
        _, z_dense, z_at = _curve(fit, f)
        (line,) = ax.plot(z_dense.real, -z_dense.imag, "-", label="model")
        ax.plot(z_at.real, -z_at.imag, "x", color=line.get_color(), markersize=4)
    ax.set_xlabel(_NYQUIST_X)
    ax.set_ylabel(_NYQUIST_Y)
    ax.set_aspect("equal", adjustable="datalim")
    ax.axhline(0.0, color="0.7", linewidth=0.8, zorder=0)
    ax.legend(loc="best")
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


def plot_fit(data: Data, fit: FitLike | korvane.Circuit) -> Figure:
    """Nyquist, Bode (|Z| and phase) and residuals of one fit in one Figure."""
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(11.0, 7.0), layout="constrained")
    grid = fig.add_gridspec(3, 2)
    nyquist = fig.add_subplot(grid[0:2, 0])
    modulus = fig.add_subplot(grid[0, 1])
    phase = fig.add_subplot(grid[1, 1], sharex=modulus)
    residuals = fig.add_subplot(grid[2, :])
    plot_nyquist(data, fit, ax=nyquist)
    plot_bode(data, fit, axes=(modulus, phase))
    plot_residuals(data, fit, ax=residuals)
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
