"""Optional panels: analyses that appear only when korvane_tools offers them.

Each panel is one card on the page and the callbacks behind it, and works on
the selected spectrum without its excluded points. A panel is listed with
the korvane_tools function it needs; the page shows it when
``hasattr(korvane_tools, name)``, so a korvane_tools without that function
simply has one card fewer.
"""

from __future__ import annotations

import math
from typing import Any, Protocol

from dash import Dash, Input, Output, State, dcc, html, no_update
from dash.dash_table.DataTable import DataTable

import korvane_tools

from . import _figures
from ._session import Session


class Panel(Protocol):
    def layout(self) -> Any: ...

    def register(self, app: Dash, session: Session) -> None: ...


class ComparePanel:
    """Rank circuits by information criteria (korvane_tools.compare)."""

    def layout(self) -> Any:
        return html.Div(
            [
                html.H3("Compare circuits"),
                html.P(
                    "Fits every trained topology that suits the spectrum with the method "
                    "above and ranks them by BIC. Click a circuit to take it into the fit.",
                    className="msg",
                ),
                html.Button("Compare", id="compare-btn"),
                html.Div(id="compare-msg", className="error"),
                dcc.Loading(
                    DataTable(
                        id="compare-table",
                        data=[],
                        columns=[],
                        style_cell={"fontFamily": "monospace", "fontSize": 12},
                    )
                ),
            ],
            className="card",
        )

    def register(self, app: Dash, session: Session) -> None:
        @app.callback(
            Output("compare-table", "data"),
            Output("compare-table", "columns"),
            Output("compare-msg", "children"),
            Input("compare-btn", "n_clicks"),
            State("spectrum", "value"),
            State("method", "value"),
            prevent_initial_call=True,
        )
        def run(_n: Any, sid: Any, method: Any) -> Any:
            entry = session.get(sid)
            if entry is None:
                return no_update, no_update, "load a spectrum first"
            try:
                table = korvane_tools.compare(entry.data(), method=method)
            except (ValueError, TypeError) as exc:
                return no_update, no_update, str(exc)
            shown = [c for c in ("circuit", "n_params", "chi_square", "aic", "bic", "delta_bic")]
            shown += [c for c in ("success", "error") if c in table]
            rows = [{c: _plain(row[c]) for c in shown if c in table} for _, row in table.iterrows()]
            columns = [
                {"id": c, "name": c, "type": "numeric", "format": _figures.VALUE_FORMAT}
                if table[c].dtype.kind == "f"
                else {"id": c, "name": c}
                for c in shown
                if c in table
            ]
            return rows, columns, ""

        @app.callback(
            Output("circuit", "value", allow_duplicate=True),
            Input("compare-table", "active_cell"),
            State("compare-table", "data"),
            prevent_initial_call=True,
        )
        def take(cell: Any, rows: Any) -> Any:
            if not cell or not rows or cell.get("column_id") != "circuit":
                return no_update
            return rows[cell["row"]]["circuit"]


class DrtPanel:
    """The distribution of relaxation times (korvane_tools.drt)."""

    def layout(self) -> Any:
        return html.Div(
            [
                html.H3("Distribution of relaxation times"),
                html.Div(
                    [
                        html.Label(
                            [
                                "method",
                                dcc.Dropdown(
                                    ["tikhonov", "bayesian"],
                                    "tikhonov",
                                    id="drt-method",
                                    clearable=False,
                                    style={"width": "160px"},
                                ),
                            ]
                        ),
                        html.Button("Compute", id="drt-btn"),
                    ],
                    className="controls",
                ),
                html.Pre(id="drt-text"),
                dcc.Loading(
                    dcc.Graph(
                        id="drt-plot", figure=_figures.empty("DRT"), config=_figures.GRAPH_CONFIG
                    )
                ),
            ],
            className="card",
        )

    def register(self, app: Dash, session: Session) -> None:
        @app.callback(
            Output("drt-plot", "figure"),
            Output("drt-text", "children"),
            Input("drt-btn", "n_clicks"),
            State("spectrum", "value"),
            State("drt-method", "value"),
            prevent_initial_call=True,
        )
        def run(_n: Any, sid: Any, method: Any) -> Any:
            entry = session.get(sid)
            if entry is None:
                return no_update, "load a spectrum first"
            try:
                result = korvane_tools.drt(entry.data(), method=method)
            except (ValueError, TypeError) as exc:
                return no_update, str(exc)
            return _drt_figure(entry.name, result), str(result)


def _drt_figure(name: str, result: Any) -> _figures.Figure:
    traces: list[dict[str, Any]] = []
    low, high = getattr(result, "gamma_low", None), getattr(result, "gamma_high", None)
    if low is not None and high is not None:
        traces.append(
            {
                "type": "scatter",
                "x": list(result.tau) + list(result.tau)[::-1],
                "y": list(high) + list(low)[::-1],
                "fill": "toself",
                "fillcolor": "rgba(31,119,180,0.2)",
                "line": {"width": 0},
                "name": "credible band",
                "hoverinfo": "skip",
            }
        )
    traces.append(
        {
            "type": "scatter",
            "x": [float(t) for t in result.tau],
            "y": [float(g) for g in result.gamma],
            "mode": "lines",
            "name": "γ(τ)",
            "line": {"color": _figures.MEASURED},
            "hovertemplate": "τ = %{x:.4g} s<br>γ = %{y:.4g} Ω<extra></extra>",
        }
    )
    peaks = list(getattr(result, "peaks", ()))
    if peaks:
        traces.append(
            {
                "type": "scatter",
                "x": [p.tau for p in peaks],
                "y": [p.height for p in peaks],
                "mode": "markers",
                "name": "peaks",
                "marker": {"color": _figures.MODEL, "size": 9},
                "customdata": [[p.frequency, p.area] for p in peaks],
                "hovertemplate": "τ = %{x:.4g} s (f = %{customdata[0]:.4g} Hz)<br>"
                "R = %{customdata[1]:.4g} Ω<extra>peak</extra>",
            }
        )
    figure = _figures.residuals(
        "", result.frequencies, result.residuals_real, result.residuals_imag
    )
    figure["data"] = traces
    figure["layout"].update(
        title={"text": f"DRT — {name}", "x": 0.02, "font": {"size": 14}},
        xaxis={"type": "log", "title": {"text": "τ / s"}, "exponentformat": "power"},
        yaxis={"title": {"text": "γ / Ω"}},
    )
    return figure


def _plain(value: Any) -> Any:
    """A cell the table can show: numbers (NaN as empty), text for everything else."""
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, (int, float)):
        return value if math.isfinite(value) else None
    return str(value)


#: korvane_tools function -> the panel that uses it.
PANELS: dict[str, type[Panel]] = {"compare": ComparePanel, "drt": DrtPanel}


def available_panels() -> list[Panel]:
    return [panel() for name, panel in PANELS.items() if hasattr(korvane_tools, name)]
