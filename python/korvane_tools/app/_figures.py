"""The app's interactive plots (Plotly): Nyquist, Bode, residuals, Kramers–Kronig, trend.

Measured points carry their row number as ``customdata``, so a click names the
row to exclude whichever plot it lands on. Excluded rows stay visible, grey and
crossed, so that a click brings them back. The model curves come from the same
dense grid as korvane_tools' matplotlib plots.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import plotly.graph_objects as go
from plotly.subplots import make_subplots

from ..plotting import _curve
from ._session import Spectrum

MEASURED = "#1f77b4"
MODEL = "#d62728"
EXCLUDED = "#aaaaaa"
IMAG = "#ff7f0e"

_HOVER_Z = "f = %{customdata[1]:.4g} Hz<br>Z' = %{x:.5g} Ω<br>−Z'' = %{y:.5g} Ω<extra>row %{customdata[0]}</extra>"


def _layout(fig: go.Figure, title: str) -> go.Figure:
    fig.update_layout(
        title={"text": title, "x": 0.02, "font": {"size": 14}},
        margin={"l": 60, "r": 15, "t": 40, "b": 45},
        legend={"orientation": "h", "y": -0.2},
        template="plotly_white",
        uirevision="keep",  # zoom survives redraws after a fit or an exclusion
        clickmode="event",
    )
    return fig


def empty(title: str, text: str = "") -> go.Figure:
    fig = _layout(go.Figure(), title)
    if text:
        fig.add_annotation(text=text, showarrow=False, x=0.5, y=0.5, xref="paper", yref="paper")
    fig.update_xaxes(visible=False)
    fig.update_yaxes(visible=False)
    return fig


def _split(entry: Spectrum) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    rows = np.arange(entry.frequencies.size)
    out = np.zeros(rows.size, dtype=bool)
    out[sorted(entry.excluded)] = True
    return rows[~out], rows[out]


def nyquist(entry: Spectrum, fit: Any = None) -> go.Figure:
    """Z' against −Z'' on equal scales (a semicircle looks like one)."""
    fig = _layout(go.Figure(), f"Nyquist — {entry.name}")
    f, z = entry.frequencies, entry.impedances
    for rows, name, color, symbol in (
        (_split(entry)[0], "measured", MEASURED, "circle"),
        (_split(entry)[1], "excluded", EXCLUDED, "x"),
    ):
        if rows.size or name == "measured":
            fig.add_trace(
                go.Scatter(
                    x=z.real[rows],
                    y=-z.imag[rows],
                    mode="markers",
                    name=name,
                    marker={"color": color, "symbol": symbol, "size": 7},
                    customdata=np.column_stack([rows, f[rows]]),
                    hovertemplate=_HOVER_Z,
                )
            )
    if fit is not None:
        dense, z_dense, _ = _curve(fit, entry.data()[0])
        fig.add_trace(
            go.Scatter(
                x=z_dense.real,
                y=-z_dense.imag,
                mode="lines",
                name="fit",
                line={"color": MODEL},
                customdata=dense,
                hovertemplate="f = %{customdata:.4g} Hz<br>Z' = %{x:.5g} Ω<br>−Z'' = %{y:.5g} Ω<extra>fit</extra>",
            )
        )
    fig.update_xaxes(title="Z' / Ω", zeroline=True)
    fig.update_yaxes(title="−Z'' / Ω", scaleanchor="x", scaleratio=1, zeroline=True)
    return fig


def bode(entry: Spectrum, fit: Any = None) -> go.Figure:
    """|Z| and phase against frequency, both on a log frequency axis."""
    fig = make_subplots(rows=2, cols=1, shared_xaxes=True, vertical_spacing=0.06)
    _layout(fig, f"Bode — {entry.name}")
    f, z = entry.frequencies, entry.impedances
    kept, out = _split(entry)
    for rows, name, color, symbol in (
        (kept, "measured", MEASURED, "circle"),
        (out, "excluded", EXCLUDED, "x"),
    ):
        if not rows.size and name != "measured":
            continue
        custom = np.column_stack([rows, np.abs(z[rows]), np.angle(z[rows], deg=True)])
        hover = "f = %{x:.4g} Hz<br>|Z| = %{customdata[1]:.5g} Ω<br>phase = %{customdata[2]:.4g}°<extra>row %{customdata[0]}</extra>"
        marker = {"color": color, "symbol": symbol, "size": 6}
        for row, values in ((1, np.abs(z[rows])), (2, np.angle(z[rows], deg=True))):
            fig.add_trace(
                go.Scatter(
                    x=f[rows],
                    y=values,
                    mode="markers",
                    name=name,
                    legendgroup=name,
                    showlegend=row == 1,
                    marker=marker,
                    customdata=custom,
                    hovertemplate=hover,
                ),
                row=row,
                col=1,
            )
    if fit is not None:
        dense, z_dense, _ = _curve(fit, entry.data()[0])
        for row, values in ((1, np.abs(z_dense)), (2, np.angle(z_dense, deg=True))):
            fig.add_trace(
                go.Scatter(
                    x=dense,
                    y=values,
                    mode="lines",
                    name="fit",
                    legendgroup="fit",
                    showlegend=row == 1,
                    line={"color": MODEL},
                    hovertemplate="f = %{x:.4g} Hz<br>%{y:.5g}<extra>fit</extra>",
                ),
                row=row,
                col=1,
            )
    fig.update_xaxes(type="log")
    fig.update_xaxes(title="f / Hz", row=2, col=1)
    fig.update_yaxes(type="log", title="|Z| / Ω", row=1, col=1)
    fig.update_yaxes(title="phase / °", row=2, col=1)
    return fig


def residuals(
    title: str,
    f: np.ndarray[Any, Any],
    real: np.ndarray[Any, Any],
    imag: np.ndarray[Any, Any],
    band: float | None = None,
) -> go.Figure:
    """Relative residuals in per cent of |Z|; ``band`` shades ±threshold."""
    fig = _layout(go.Figure(), title)
    for values, name, color in ((real, "real", MEASURED), (imag, "imaginary", IMAG)):
        fig.add_trace(
            go.Scatter(
                x=f,
                y=100.0 * values,
                mode="lines+markers",
                name=name,
                marker={"color": color, "size": 5},
                line={"color": color, "width": 1},
                hovertemplate="f = %{x:.4g} Hz<br>%{y:.3g} %<extra>" + name + "</extra>",
            )
        )
    if band is not None:
        fig.add_hrect(y0=-100 * band, y1=100 * band, fillcolor="#dddddd", opacity=0.5, line_width=0)
    fig.update_xaxes(type="log", title="f / Hz")
    fig.update_yaxes(title="residual / % of |Z|", zeroline=True)
    return fig


def fit_residuals(entry: Spectrum, fit: Any) -> go.Figure:
    f, z = entry.data()
    model = np.asarray(fit.circuit.impedance(f), dtype=np.complex128)
    relative = (z - model) / np.abs(z)
    return residuals("Fit residuals", f, relative.real, relative.imag)


def trend(
    table: Any,
    parameter: str,
    x_label: str,
    x: Sequence[float],
    labels: Sequence[str],
) -> go.Figure:
    """One fitted parameter per spectrum, with its standard error as error bars."""
    fig = _layout(go.Figure(), f"{parameter} against {x_label}")
    y = table[parameter].to_numpy(dtype=float)
    column = f"{parameter} stderr"
    error = table[column].to_numpy(dtype=float) if column in table else None
    fig.add_trace(
        go.Scatter(
            x=list(x),
            y=y,
            mode="lines+markers",
            name=parameter,
            text=list(labels),
            error_y=None
            if error is None
            else {"type": "data", "array": np.where(np.isfinite(error), error, 0.0)},
            hovertemplate="%{text}<br>%{x:.5g}: %{y:.5g}<extra></extra>",
        )
    )
    fig.update_xaxes(title=x_label)
    fig.update_yaxes(title=parameter, exponentformat="e")
    positive = y[np.isfinite(y)]
    if positive.size and positive.min() > 0 and positive.max() / positive.min() > 1e3:
        fig.update_yaxes(type="log")
    return fig


def finite(values: Sequence[float]) -> bool:
    return any(math.isfinite(v) for v in values)
