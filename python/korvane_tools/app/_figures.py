"""The app's interactive plots (Plotly): Nyquist, Bode, residuals, Kramers–Kronig, trend.

Measured points carry their row number as ``customdata``, so a click names the
row to exclude whichever plot it lands on. Excluded rows stay visible, grey and
crossed, so that a click brings them back. The model curves come from the same
dense grid as korvane_tools' matplotlib plots.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ..plotting import _curve
from ._session import Spectrum

# Figures are plain dicts in Plotly's JSON schema: building and validating
# graph objects costs tens of milliseconds per plot, a large part of the
# round trip from a click on "Fit" to the redrawn page.
Figure = dict[str, Any]

#: Number formats of the page's tables, in d3-format as the hover texts:
#: 5 (values) or 2 (errors) significant digits, trailing zeros trimmed.
VALUE_FORMAT = {"specifier": ".5~g"}
ERROR_FORMAT = {"specifier": ".2~g"}

#: Plotly's toolbar without its logo, a link to plotly.com: the page links nowhere.
GRAPH_CONFIG: Any = {"displaylogo": False}

MEASURED = "#1f77b4"
MODEL = "#d62728"
EXCLUDED = "#aaaaaa"
IMAG = "#ff7f0e"

_HOVER_Z = "f = %{customdata[1]:.4g} Hz<br>Z' = %{x:.5g} Ω<br>−Z'' = %{y:.5g} Ω<extra>row %{customdata[0]}</extra>"
_HOVER_BODE = "f = %{x:.4g} Hz<br>|Z| = %{customdata[1]:.5g} Ω<br>phase = %{customdata[2]:.4g}°<extra>row %{customdata[0]}</extra>"


def _figure(title: str, data: list[dict[str, Any]], **layout: Any) -> Figure:
    base: dict[str, Any] = {
        "title": {"text": title, "x": 0.02, "font": {"size": 14}},
        "margin": {"l": 65, "r": 15, "t": 40, "b": 45},
        "legend": {"orientation": "h", "y": -0.2},
        "template": {"layout": {"paper_bgcolor": "white", "plot_bgcolor": "white"}},
        "uirevision": "keep",  # zoom survives redraws after a fit or an exclusion
        "clickmode": "event",
        "hovermode": "closest",
    }
    return {"data": data, "layout": base | layout}


def _axis(title: str, **more: Any) -> dict[str, Any]:
    return {
        "title": {"text": title},
        "gridcolor": "#eeeeee",
        "zerolinecolor": "#bbbbbb",
        **({"exponentformat": "power"} if more.get("type") == "log" else {}),
        **more,
    }


def empty(title: str, text: str = "") -> Figure:
    notes = [
        {"text": text, "showarrow": False, "x": 0.5, "y": 0.5, "xref": "paper", "yref": "paper"}
    ]
    return _figure(
        title,
        [],
        annotations=notes if text else [],
        xaxis={"visible": False},
        yaxis={"visible": False},
    )


def _split(entry: Spectrum) -> list[tuple[np.ndarray[Any, Any], str, str, str]]:
    """(rows, legend name, colour, marker) of the included and the excluded points."""
    rows = np.arange(entry.frequencies.size)
    out = np.zeros(rows.size, dtype=bool)
    out[sorted(entry.excluded)] = True
    parts = [(rows[~out], "measured", MEASURED, "circle")]
    if out.any():
        parts.append((rows[out], "excluded", EXCLUDED, "x"))
    return parts


def _list(values: np.ndarray[Any, Any]) -> list[Any]:
    return values.tolist()  # type: ignore[no-any-return]


def nyquist(entry: Spectrum, fit: Any = None) -> Figure:
    """Z' against −Z'' on equal scales (a semicircle looks like one)."""
    f, z = entry.frequencies, entry.impedances
    data = [
        {
            "type": "scatter",
            "x": _list(z.real[rows]),
            "y": _list(-z.imag[rows]),
            "mode": "markers",
            "name": name,
            "marker": {"color": color, "symbol": symbol, "size": 7},
            "customdata": _list(np.column_stack([rows, f[rows]])),
            "hovertemplate": _HOVER_Z,
        }
        for rows, name, color, symbol in _split(entry)
    ]
    if fit is not None:
        dense, z_dense, _ = _curve(fit, entry.data()[0])
        data.append(
            {
                "type": "scatter",
                "x": _list(z_dense.real),
                "y": _list(-z_dense.imag),
                "mode": "lines",
                "name": "fit",
                "line": {"color": MODEL},
                "customdata": _list(dense),
                "hovertemplate": "f = %{customdata:.4g} Hz<br>Z' = %{x:.5g} Ω<br>−Z'' = %{y:.5g} Ω<extra>fit</extra>",
            }
        )
    return _figure(
        f"Nyquist — {entry.name}",
        data,
        xaxis=_axis("Z' / Ω"),
        yaxis=_axis("−Z'' / Ω", scaleanchor="x", scaleratio=1),
    )


def bode(entry: Spectrum, fit: Any = None) -> Figure:
    """|Z| (top) and phase (bottom) against frequency, on one log frequency axis."""
    f, z = entry.frequencies, entry.impedances
    data: list[dict[str, Any]] = []
    for rows, name, color, symbol in _split(entry):
        custom = _list(np.column_stack([rows, np.abs(z[rows]), np.angle(z[rows], deg=True)]))
        for axis, values in (("y", np.abs(z[rows])), ("y2", np.angle(z[rows], deg=True))):
            data.append(
                {
                    "type": "scatter",
                    "x": _list(f[rows]),
                    "y": _list(values),
                    "xaxis": "x" if axis == "y" else "x2",
                    "yaxis": axis,
                    "mode": "markers",
                    "name": name,
                    "legendgroup": name,
                    "showlegend": axis == "y",
                    "marker": {"color": color, "symbol": symbol, "size": 6},
                    "customdata": custom,
                    "hovertemplate": _HOVER_BODE,
                }
            )
    if fit is not None:
        dense, z_dense, _ = _curve(fit, entry.data()[0])
        for axis, values in (("y", np.abs(z_dense)), ("y2", np.angle(z_dense, deg=True))):
            data.append(
                {
                    "type": "scatter",
                    "x": _list(dense),
                    "y": _list(values),
                    "xaxis": "x" if axis == "y" else "x2",
                    "yaxis": axis,
                    "mode": "lines",
                    "name": "fit",
                    "legendgroup": "fit",
                    "showlegend": axis == "y",
                    "line": {"color": MODEL},
                    "hovertemplate": "f = %{x:.4g} Hz<br>%{y:.5g}<extra>fit</extra>",
                }
            )
    return _figure(
        f"Bode — {entry.name}",
        data,
        xaxis=_axis("", type="log", anchor="y", matches="x2", showticklabels=False),
        xaxis2=_axis("f / Hz", type="log", anchor="y2"),
        yaxis=_axis("|Z| / Ω", type="log", domain=[0.53, 1.0]),
        yaxis2=_axis("phase / °", domain=[0.0, 0.47]),
    )


def residuals(
    title: str,
    f: np.ndarray[Any, Any],
    real: np.ndarray[Any, Any],
    imag: np.ndarray[Any, Any],
    band: float | None = None,
) -> Figure:
    """Relative residuals in per cent of |Z|; ``band`` shades ±threshold."""
    data = [
        {
            "type": "scatter",
            "x": _list(f),
            "y": _list(100.0 * values),
            "mode": "lines+markers",
            "name": name,
            "marker": {"color": color, "size": 5},
            "line": {"color": color, "width": 1},
            "hovertemplate": "f = %{x:.4g} Hz<br>%{y:.3g} %<extra>" + name + "</extra>",
        }
        for values, name, color in ((real, "real", MEASURED), (imag, "imaginary", IMAG))
    ]
    shapes = []
    if band is not None:
        shapes.append(
            {
                "type": "rect", "xref": "paper", "x0": 0, "x1": 1, "yref": "y",
                "y0": -100 * band, "y1": 100 * band, "fillcolor": "#dddddd",
                "opacity": 0.5, "line": {"width": 0}, "layer": "below",
            }
        )  # fmt: skip
    return _figure(
        title,
        data,
        shapes=shapes,
        xaxis=_axis("f / Hz", type="log"),
        yaxis=_axis("residual / % of |Z|"),
    )


def fit_residuals(entry: Spectrum, fit: Any) -> Figure:
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
) -> Figure:
    """One fitted parameter per spectrum, with its standard error as error bars."""
    y = table[parameter].to_numpy(dtype=float)
    column = f"{parameter} stderr"
    trace: dict[str, Any] = {
        "type": "scatter",
        "x": [None if not np.isfinite(v) else v for v in x],
        "y": [None if not np.isfinite(v) else v for v in y],
        "mode": "lines+markers",
        "name": parameter,
        "text": list(labels),
        "hovertemplate": "%{text}<br>%{x:.5g}: %{y:.5g}<extra></extra>",
    }
    if column in table:
        error = table[column].to_numpy(dtype=float)
        trace["error_y"] = {"type": "data", "array": _list(np.where(np.isfinite(error), error, 0))}
    finite = y[np.isfinite(y)]
    log = bool(finite.size and finite.min() > 0 and finite.max() / finite.min() > 1e3)
    return _figure(
        f"{parameter} against {x_label}",
        [trace],
        xaxis=_axis(x_label),
        yaxis=_axis(parameter, type="log" if log else "linear"),
    )
