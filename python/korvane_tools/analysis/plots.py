"""Plots of a DRT and of a Z-HIT reconstruction.

matplotlib is imported inside each function, as in :mod:`korvane_tools.plotting`,
whose residual panel the Z-HIT plot shares.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Literal

import numpy as np

from ..plotting import _draw_residuals

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from .drt import DRTResult
    from .zhit import ZHitResult

_TWO_PI = 2.0 * np.pi


def plot_drt(
    result: DRTResult, ax: Axes | None = None, x: Literal["tau", "frequency"] = "tau"
) -> Axes:
    """γ against τ (or f = 1/(2πτ)) on a log axis, peaks marked, any credible band shaded."""
    import matplotlib.pyplot as plt

    if x not in ("tau", "frequency"):
        raise ValueError(f"x must be 'tau' or 'frequency', got {x!r}")
    if ax is None:
        _, ax = plt.subplots()

    def axis(tau: np.ndarray) -> np.ndarray:
        return tau if x == "tau" else 1.0 / (_TWO_PI * tau)

    if result.gamma_low is not None and result.gamma_high is not None:
        ax.fill_between(
            axis(result.tau),
            result.gamma_low,
            result.gamma_high,
            color="C0",
            alpha=0.25,
            linewidth=0,
            label=f"{100 * (result.credible or 0):g} % credible",
        )
    ax.plot(axis(result.tau), result.gamma, "-", color="C0", label="γ")
    if result.peaks:
        taus = np.array([p.tau for p in result.peaks])
        heights = np.array([p.height for p in result.peaks])
        ax.plot(axis(taus), heights, "v", color="C3", label="peaks")
        for tau, height, peak in zip(taus, heights, result.peaks):
            ax.annotate(
                f"{peak.area:.3g} Ω",
                (float(axis(np.array([tau]))[0]), float(height)),
                textcoords="offset points",
                xytext=(0, 6),
                ha="center",
                fontsize="small",
            )
    ax.set_xscale("log")
    ax.set_xlabel("τ / s" if x == "tau" else "f / Hz")
    ax.set_ylabel("γ / Ω")
    ax.set_ylim(bottom=0.0)
    ax.legend(loc="best")
    return ax


def plot_zhit(result: ZHitResult, axes: tuple[Axes, Axes] | None = None) -> tuple[Axes, Axes]:
    """|Z| measured and reconstructed (log–log), and the residuals in per cent; both Axes."""
    import matplotlib.pyplot as plt

    if axes is None:
        _, pair = plt.subplots(2, 1, sharex=True)
        axes = (pair[0], pair[1])
    ax_mod, ax_res = axes
    f = result.frequencies
    ax_mod.plot(f, np.abs(result.impedance), "o", markersize=4, label="measured")
    order = np.argsort(f)
    ax_mod.plot(f[order], result.modulus[order], "-", label="Z-HIT")
    ax_mod.axvspan(*result.window, color="0.92", zorder=-1, label="offset window")
    ax_mod.set_xscale("log")
    ax_mod.set_yscale("log")
    ax_mod.set_ylabel("|Z| / Ω")
    ax_mod.legend(loc="best")
    _draw_residuals(
        ax_res, f, result.residuals_real, result.residuals_imag, "Z-HIT residual / % of |Z|"
    )
    limit = 100.0 * result.threshold
    ax_res.axhspan(-limit, limit, color="0.9", zorder=-1)
    ax_mod.set_title(f"Z-HIT: {'passed' if result.passed else 'failed'}")
    return ax_mod, ax_res
