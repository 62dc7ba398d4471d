"""The page and its callbacks.

Data flow: uploads and clicks on points change the :class:`Session` and bump
the ``rev`` store; one callback then fits (when asked to) and redraws the table
and the plots from the session. The browser holds only ids, the parameter
table and what is drawn.
"""

from __future__ import annotations

import base64
import math
import time
from typing import Any

import korvane
import numpy as np
from dash import Dash, Input, Output, State, ctx, dcc, html, no_update
from dash.dash_table.DataTable import DataTable

from . import _export, _figures
from ._panels import available_panels
from ._server import guard
from ._session import METHODS, WEIGHTS, FitSettings, Session, UploadRefused

YES, NO = "yes", "no"

_VALUE = _figures.VALUE_FORMAT
_ERROR = _figures.ERROR_FORMAT

PARAM_COLUMNS: list[Any] = [
    {"id": "name", "name": "parameter", "editable": False},
    {"id": "value", "name": "value", "type": "numeric", "format": _VALUE, "editable": True},
    {"id": "stderr", "name": "std. error", "type": "numeric", "format": _ERROR, "editable": False},
    {"id": "rel", "name": "rel. error / %", "type": "numeric", "format": _ERROR, "editable": False},
    {"id": "unit", "name": "unit", "editable": False},
    {"id": "fixed", "name": "fixed", "presentation": "dropdown", "editable": True},
    {"id": "lower", "name": "lower", "type": "numeric", "format": _VALUE, "editable": True},
    {"id": "upper", "name": "upper", "type": "numeric", "format": _VALUE, "editable": True},
    {"id": "range", "name": "allowed", "editable": False},
    {"id": "flags", "name": "flags", "editable": False},
]

_CSS = """
body { font-family: system-ui, sans-serif; margin: 0; color: #222; background: #fafafa; }
header { background: #263238; color: white; padding: 8px 16px; display: flex; gap: 16px; align-items: center; }
header h1 { font-size: 20px; margin: 0; }
.main { display: grid; grid-template-columns: 260px 1fr; gap: 12px; padding: 12px; }
.card { background: white; border: 1px solid #ddd; border-radius: 6px; padding: 10px; margin-bottom: 12px; }
.main > div, .row2 > div { min-width: 0; }
.row2 { display: grid; grid-template-columns: 1fr 1fr; gap: 12px; }
#spectrum { max-height: 55vh; overflow-y: auto; font-size: 14px; }
.controls { display: flex; flex-wrap: wrap; gap: 10px; align-items: end; }
.controls label { display: flex; flex-direction: column; font-size: 12px; color: #555; }
.upload { border: 2px dashed #90a4ae; border-radius: 6px; padding: 14px; text-align: center; cursor: pointer; background: white; }
.msg { font-size: 13px; white-space: pre-wrap; }
.error { color: #b71c1c; font-family: monospace; font-size: 13px; white-space: pre-wrap; margin: 4px 0; }
.verdict-ok { color: #1b5e20; } .verdict-bad { color: #b71c1c; }
pre { margin: 4px 0; font-size: 12px; white-space: pre-wrap; }
button { padding: 5px 10px; cursor: pointer; }
progress { width: 100%; height: 18px; }
"""


def _index(css: str) -> str:
    return (
        "<!DOCTYPE html><html><head>{%metas%}<title>{%title%}</title>{%favicon%}{%css%}"
        f"<style>{css}</style></head><body>{{%app_entry%}}<footer>{{%config%}}{{%scripts%}}"
        "{%renderer%}</footer></body></html>"
    )


def _label(text: str, control: Any) -> html.Label:
    return html.Label([text, control])


def _layout(session: Session, messages: list[str], panels: list[Any]) -> html.Div:
    names = korvane.Circuit.ml_circuits()
    return html.Div(
        [
            html.Header(
                [
                    html.H1("korvane"),
                    html.Span("impedance spectra: check, fit, export — all on this machine"),
                ]
            ),
            html.Div(
                [
                    html.Div(
                        [
                            dcc.Upload(
                                html.Div(["Drop instrument files here or ", html.B("choose")]),
                                id="upload",
                                multiple=True,
                                className="upload",
                            ),
                            html.Div("\n".join(messages), id="upload-msg", className="msg"),
                            html.H3("Spectra"),
                            dcc.RadioItems(
                                id="spectrum",
                                options=_spectrum_options(session),
                                value=next(iter(session.spectra), None),
                                labelStyle={"display": "block"},
                            ),
                            html.Button("Remove all", id="clear-btn"),
                            html.P(
                                "Click a point in a plot to exclude it (click again to bring "
                                "it back). Exclusions hold for checks, fits and exports.",
                                className="msg",
                            ),
                        ],
                        className="card",
                    ),
                    html.Div(
                        [
                            html.Div(
                                [
                                    html.Div(
                                        dcc.Graph(id="nyquist", config=_figures.GRAPH_CONFIG),
                                        className="card",
                                    ),
                                    html.Div(
                                        dcc.Graph(id="bode", config=_figures.GRAPH_CONFIG),
                                        className="card",
                                    ),
                                ],
                                className="row2",
                            ),
                            html.Div(
                                [
                                    html.Div(
                                        [
                                            html.H3("Data check and Kramers–Kronig"),
                                            html.Pre(id="check-text"),
                                            html.Pre(id="kk-text"),
                                        ],
                                        className="card",
                                    ),
                                    html.Div(
                                        dcc.Graph(id="kk-plot", config=_figures.GRAPH_CONFIG),
                                        className="card",
                                    ),
                                ],
                                className="row2",
                            ),
                            _fit_card(names),
                            _batch_card(),
                            *[panel.layout() for panel in panels],
                        ]
                    ),
                ],
                className="main",
            ),
            dcc.Store(id="rev", data=0),
            dcc.Store(id="upload-batch"),
            dcc.Download(id="download"),
        ]
    )


def _fit_card(names: list[str]) -> html.Div:
    return html.Div(
        [
            html.H3("Fit"),
            html.Div(
                [
                    _label(
                        "circuit (trained name or circuit string)",
                        dcc.Input(
                            id="circuit",
                            value="randles",
                            list="circuit-names",
                            debounce=True,
                            style={"width": "320px"},
                        ),
                    ),
                    html.Datalist([html.Option(value=n) for n in names], id="circuit-names"),
                    _label(
                        "method",
                        dcc.Dropdown(
                            METHODS,
                            "levenberg_marquardt",
                            id="method",
                            clearable=False,
                            style={"width": "220px"},
                        ),
                    ),
                    _label(
                        "weight",
                        dcc.Dropdown(
                            WEIGHTS,
                            "modulus",
                            id="weight",
                            clearable=False,
                            style={"width": "120px"},
                        ),
                    ),
                    _label(
                        "max iterations",
                        dcc.Input(id="max-iter", type="number", min=1, step=1, debounce=True),
                    ),
                    _label("seed", dcc.Input(id="seed", type="number", step=1, debounce=True)),
                    html.Button("Fit", id="fit-btn", style={"fontWeight": "bold"}),
                    dcc.Checklist(
                        [{"label": " fit on every change", "value": "auto"}], [], id="auto"
                    ),
                    html.Button("Start from the guess", id="reset-btn"),
                ],
                className="controls",
            ),
            html.Div(id="circuit-error", className="error"),
            html.P(
                "Edit a value (the next fit starts from the table), set fixed to yes to hold it, "
                "or type lower/upper bounds; then fit again.",
                className="msg",
            ),
            DataTable(
                id="params",
                columns=PARAM_COLUMNS,
                data=[],
                editable=True,
                dropdown={
                    "fixed": {
                        "options": [{"label": v, "value": v} for v in (NO, YES)],
                        "clearable": False,
                    }
                },
                style_cell={"fontFamily": "monospace", "fontSize": 13, "padding": "3px 8px"},
                style_header={"fontWeight": "bold"},
                style_data_conditional=[
                    {
                        "if": {"column_editable": True},
                        "backgroundColor": "#fffde7",
                    }
                ],
            ),
            html.Div(id="fit-summary", className="msg"),
            html.Span("0", id="fit-stamp", style={"display": "none"}),
            dcc.Graph(id="resid-plot", config=_figures.GRAPH_CONFIG),
            html.Div(
                [
                    html.Span("Export this fit: "),
                    *[
                        html.Button(label, id=f"exp-{kind}")
                        for kind, label in (
                            ("csv", "CSV"),
                            ("xlsx", "Excel"),
                            ("json", "JSON (korvane_tools.load)"),
                            ("png", "PNG"),
                            ("svg", "SVG"),
                            ("html", "HTML report"),
                        )
                    ],
                ],
                className="controls",
            ),
        ],
        className="card",
    )


def _batch_card() -> html.Div:
    return html.Div(
        [
            html.H3("All loaded spectra"),
            html.Div(
                [
                    html.Button("Fit all with these settings", id="batch-btn"),
                    html.Button("Stop", id="batch-stop"),
                    html.Button("CSV", id="batch-csv"),
                    html.Button("Excel", id="batch-xlsx"),
                ],
                className="controls",
            ),
            html.Progress(id="batch-progress", value="0", max="1"),
            html.Div(id="batch-status", className="msg"),
            dcc.Interval(id="batch-poll", interval=250, disabled=True),
            DataTable(
                id="batch-table",
                data=[],
                columns=[],
                page_size=15,
                sort_action="native",
                style_table={"overflowX": "auto"},
                style_cell={"fontFamily": "monospace", "fontSize": 12},
            ),
            html.Div(
                [
                    _label(
                        "parameter",
                        dcc.Dropdown(id="trend-param", clearable=False, style={"width": "220px"}),
                    ),
                    _label(
                        "against",
                        dcc.Dropdown(id="trend-x", clearable=False, style={"width": "220px"}),
                    ),
                ],
                className="controls",
            ),
            dcc.Graph(id="trend-plot", config=_figures.GRAPH_CONFIG),
        ],
        className="card",
    )


def _spectrum_options(session: Session) -> list[dict[str, Any]]:
    return [
        {"label": f"{e.name} ({e.frequencies.size} points)", "value": e.id}
        for e in session.spectra.values()
    ]


def _download(content: bytes, filename: str) -> dict[str, Any]:
    """What dcc.Download takes: the file base64-encoded, with its name."""
    return {
        "content": base64.b64encode(content).decode("ascii"),
        "filename": filename,
        "base64": True,
    }


def _cell(x: float) -> float | None:
    return x if math.isfinite(x) else None


def _bound_text(lo: float, hi: float) -> str:
    return f"[{lo:.3g}, {hi:.3g}]"


def _fresh_rows(circuit: korvane.Circuit) -> list[dict[str, Any]]:
    return [
        {
            "name": name,
            "value": None,
            "stderr": None,
            "rel": None,
            "unit": unit,
            "fixed": NO,
            "lower": None,
            "upper": None,
            "range": _bound_text(lo, hi),
            "flags": "",
        }
        for name, unit, (lo, hi) in zip(
            circuit.param_names(), circuit.param_units(), circuit.param_bounds()
        )
    ]


def _number(value: Any) -> float | None:
    if value is None or value == "":
        return None
    try:
        x = float(value)
    except (TypeError, ValueError):
        return None
    return x if math.isfinite(x) else None


def _settings(
    circuit: str,
    method: str,
    weight: str,
    max_iter: Any,
    seed: Any,
    rows: list[dict[str, Any]],
    use_start: bool,
) -> FitSettings:
    """The fit's settings from the controls and the table's fixed values and bounds."""
    fixed: dict[str, float] = {}
    bounds: dict[str, tuple[float | None, float | None]] = {}
    values: dict[str, float] = {}
    for row in rows:
        value = _number(row.get("value"))
        if value is not None:
            values[row["name"]] = value
        if row.get("fixed") == YES:
            if value is None:
                raise ValueError(f"{row['name']}: type the value to hold it fixed at")
            fixed[row["name"]] = value
        lo, hi = _number(row.get("lower")), _number(row.get("upper"))
        if lo is not None or hi is not None:
            bounds[row["name"]] = (lo, hi)
    start = values if use_start and rows and len(values) == len(rows) else None
    if start is not None:
        # A bound typed after a fit usually excludes the fitted value: the
        # next fit starts from the nearest allowed value, not with an error.
        for name, (lo, hi) in bounds.items():
            if name not in fixed:
                start[name] = min(max(start[name], -math.inf if lo is None else lo),
                                  math.inf if hi is None else hi)  # fmt: skip
    return FitSettings(
        circuit=circuit or "",
        method=method,
        weight=weight,
        max_iterations=None if _number(max_iter) is None else int(max_iter),
        seed=None if _number(seed) is None else int(seed),
        fixed=fixed,
        bounds=bounds,
        start=start,
    )


def _rows_of(record: Any, entry: Any, previous: list[dict[str, Any]]) -> list[dict[str, Any]]:
    from ..reporting import report

    rep = report(record.result, entry.data())
    own = {r["name"]: r for r in previous}
    rows = []
    for p in rep.parameters:
        old = own.get(p.name, {})
        rows.append(
            {
                "name": p.name,
                "value": _cell(p.value),
                "stderr": _cell(p.stderr),
                "rel": _cell(p.relative_error),
                "unit": p.unit,
                "fixed": YES if p.fixed else NO,
                "lower": old.get("lower"),
                "upper": old.get("upper"),
                "range": _bound_text(p.lower, p.upper),
                "flags": ", ".join(p.flags),
            }
        )
    return rows


def _summary(record: Any, entry: Any) -> list[Any]:
    from ..reporting import report

    rep = report(record.result, entry.data())
    parts = [
        f"χ² {rep.chi_square:.5g}",
        f"{rep.n_points} points",
        f"dof {rep.dof}",
    ]
    if rep.rms_residual is not None:
        parts.append(f"rms weighted residual {rep.rms_residual:.3g}")
    parts.append(f"{rep.impedance_evals} evaluations")
    parts.append("converged" if rep.success else "NOT converged")
    out: list[Any] = [" · ".join(parts)]
    out += [html.Div(w, className="error") for w in record.warnings]
    return out


def _most_varied(table: Any, names: list[str]) -> str | None:
    """The parameter whose values spread most across a batch: the trend worth a first look."""
    best, spread = (names[0] if names else None), -1.0
    for name in names:
        values = table[name].to_numpy(dtype=float)
        values = values[np.isfinite(values)]
        if values.size > 1 and np.mean(np.abs(values)) > 0:
            relative = float(np.std(values) / np.mean(np.abs(values)))
            if relative > spread:
                best, spread = name, relative
    return best


def _parse_error(message: str) -> Any:
    """korvane's parse error: the fault and its caret shown, the syntax help folded."""
    fault, _, help_text = message.partition("\n\n")
    if not help_text:
        return message
    return [fault, html.Details([html.Summary("syntax and elements"), help_text])]


def _fit_step(
    session: Session,
    entry: Any,
    trigger: Any,
    circuit_text: str,
    method: Any,
    weight: Any,
    max_iter: Any,
    seed: Any,
    rows: list[dict[str, Any]],
    auto: bool,
) -> tuple[list[dict[str, Any]], Any, str, bool]:
    """(table rows, summary, error text, whether a fit ran) after a change of the controls.

    The table keeps the user's fixed values and bounds while the circuit's
    parameters stay the same; a new circuit, a new spectrum or "Start from the
    guess" gives a fresh table. A fit runs on "Fit", or on any change with
    "fit on every change"; it starts from the table's values when it has them
    all, except right after a change of spectrum (then from the guess).
    """
    try:
        circuit = FitSettings(circuit_text).parsed()
    except ValueError as exc:
        return [], "", _parse_error(str(exc)), False
    stored = session.fits.get(entry.id) if entry is not None else None
    if trigger == "reset-btn" or [r.get("name") for r in rows] != circuit.param_names():
        rows = _fresh_rows(circuit)
    elif trigger in ("spectrum", None):
        rows = _fresh_rows(circuit)
        if stored is not None and stored.settings.circuit == circuit_text:
            rows = _rows_of(stored, entry, rows)
    wanted = trigger == "fit-btn" or (auto and trigger != "reset-btn")
    if entry is None or not wanted:
        return rows, "" if stored is None else _summary(stored, entry), "", False
    try:
        settings = _settings(
            circuit_text, method, weight, max_iter, seed, rows,
            use_start=trigger not in ("spectrum", None),
        )  # fmt: skip
        record = session.fit(entry.id, settings)
    except Exception as exc:  # shown on the page: a refused fit must not break it
        return rows, "", str(exc), False
    return _rows_of(record, entry, rows), _summary(record, entry), "", True


def build(session: Session, port: int, token: str, messages: list[str]) -> Dash:
    """The Dash app of ``session``, guarded by ``token``."""
    app = Dash(
        __name__,
        title="korvane",
        update_title="",
        serve_locally=True,
        suppress_callback_exceptions=True,
        index_string=_index(_CSS),
    )
    # Uploads arrive base64-encoded in a callback's JSON (4/3 of the file), a
    # few files at a time; the page holds back files over the per-file limit,
    # and a request far beyond it (not from this page) is refused unread.
    app.server.config["MAX_CONTENT_LENGTH"] = 8 * session.max_upload + (1 << 20)
    guard(app.server, token, port)
    panels = available_panels()
    app.layout = _layout(session, messages, panels)
    _callbacks(app, session)
    for panel in panels:
        panel.register(app, session)
    return app


# Runs in the browser: a file over the limit never leaves it. Its content is
# replaced by null and its size kept, for the server to word the refusal.
# Dash passes the upload's lists; the result is [[name, content, size], ...].
_SCREEN_UPLOADS = """
function(contents, names) {
    var none = window.dash_clientside.no_update;
    if (!contents) { return [none, none]; }
    // Emptied again, so that choosing the same file once more is a change.
    return [contents.map(function(content, i) {
        var size = Math.floor((content.length - content.indexOf(",") - 1) * 3 / 4);
        return [names[i], size > %d ? null : content, size];
    }), null];
}
"""


def _callbacks(app: Dash, session: Session) -> None:
    app.clientside_callback(  # type: ignore[no-untyped-call]
        _SCREEN_UPLOADS % session.max_upload,
        Output("upload-batch", "data"),
        Output("upload", "contents"),
        Input("upload", "contents"),
        State("upload", "filename"),
        prevent_initial_call=True,
    )

    @app.callback(
        Output("spectrum", "options"),
        Output("spectrum", "value"),
        Output("upload-msg", "children"),
        Output("rev", "data"),
        Input("upload-batch", "data"),
        Input("clear-btn", "n_clicks"),
        State("spectrum", "value"),
        State("rev", "data"),
        prevent_initial_call=True,
    )
    def load(files: Any, _clear: Any, current: Any, rev: int) -> Any:
        if ctx.triggered_id == "clear-btn":
            session.remove_all()
            return [], None, "", rev + 1
        if not files:
            return (no_update,) * 4
        lines: list[Any] = []
        first = None
        for name, content, size in files:
            try:
                if content is None:
                    raise session.too_large(str(name), int(size))
                added = session.add_upload(str(name), str(content))
            except (UploadRefused, ValueError, OSError) as exc:
                lines.append(html.Div(str(exc), className="error"))
                continue
            first = first if first is not None else added[0].id
            count = len(added)
            lines.append(html.Div(f"{name}: {count} spectr{'um' if count == 1 else 'a'}"))
        selected = current if session.get(current) is not None else first
        return _spectrum_options(session), selected, lines, rev + 1

    @app.callback(
        Output("rev", "data", allow_duplicate=True),
        Input("nyquist", "clickData"),
        Input("bode", "clickData"),
        State("spectrum", "value"),
        State("rev", "data"),
        prevent_initial_call=True,
    )
    def exclude(click_n: Any, click_b: Any, sid: Any, rev: int) -> Any:
        click = click_n if ctx.triggered_id == "nyquist" else click_b
        entry = session.get(sid)
        try:
            custom = click["points"][0]["customdata"]
        except (TypeError, KeyError, IndexError):
            return no_update
        if entry is None or not isinstance(custom, list):
            return no_update  # the model line, not a measured point
        session.toggle_excluded(entry.id, int(custom[0]))
        return rev + 1

    @app.callback(
        Output("check-text", "children"),
        Output("kk-text", "children"),
        Output("kk-text", "className"),
        Output("kk-plot", "figure"),
        Input("spectrum", "value"),
        Input("rev", "data"),
    )
    def data_views(sid: Any, _rev: int) -> Any:
        from ..checks import check
        from ..kk import lin_kk

        entry = session.get(sid)
        if entry is None:
            text = "Load a spectrum to see its check."
            return text, "", "", _figures.empty("Kramers–Kronig residuals")
        data = entry.data()
        checked = str(check(data))
        if entry.excluded:
            checked += f"\n(rows count the {data[0].size} points kept, from 0)"
        try:
            kk = lin_kk(data)
        except (ValueError, ArithmeticError, np.linalg.LinAlgError) as exc:
            return (
                checked,
                f"Kramers–Kronig test not run: {exc}",
                "verdict-bad",
                _figures.empty("Kramers–Kronig residuals"),
            )
        figure = _figures.residuals(
            "Kramers–Kronig residuals", kk.frequencies, kk.residuals_real, kk.residuals_imag,
            band=kk.threshold,
        )  # fmt: skip
        return checked, str(kk), "verdict-ok" if kk.passed else "verdict-bad", figure

    @app.callback(
        Output("params", "data"),
        Output("fit-summary", "children"),
        Output("circuit-error", "children"),
        Output("nyquist", "figure"),
        Output("bode", "figure"),
        Output("resid-plot", "figure"),
        Output("fit-stamp", "children"),
        Input("fit-btn", "n_clicks"),
        Input("reset-btn", "n_clicks"),
        Input("spectrum", "value"),
        Input("rev", "data"),
        Input("circuit", "value"),
        Input("method", "value"),
        Input("weight", "value"),
        Input("max-iter", "value"),
        Input("seed", "value"),
        Input("params", "data_timestamp"),
        State("auto", "value"),
        State("params", "data"),
        State("fit-stamp", "children"),
    )
    def fit_and_plot(
        _b: Any, _r: Any, sid: Any, _rev: Any, circuit_text: Any, method: Any, weight: Any,
        max_iter: Any, seed: Any, _edit: Any, auto: Any, rows: Any, stamp: Any,
    ) -> Any:  # fmt: skip
        # One callback for the table and the plots: a click on "Fit" is one
        # request and one redraw, not a chain of two.
        entry = session.get(sid)
        rows, summary, error, fitted = _fit_step(
            session, entry, ctx.triggered_id, str(circuit_text or ""), method, weight,
            max_iter, seed, list(rows or []), "auto" in (auto or []),
        )  # fmt: skip
        count = int(stamp or 0) + fitted
        if entry is None:
            hint = "drop a file above"
            blank = _figures.empty("Nyquist", hint), _figures.empty("Bode", hint)
            return rows, summary, error, *blank, _figures.empty("Fit residuals"), str(count)
        record = session.fits.get(entry.id)
        # A fit is drawn over the points it was made from; with every point
        # excluded since, there is nothing to draw it over.
        result = None if record is None or not entry.data()[0].size else record.result
        resid = (
            _figures.empty("Fit residuals", "no fit yet")
            if result is None
            else _figures.fit_residuals(entry, result)
        )
        nyquist, bode = _figures.nyquist(entry, result), _figures.bode(entry, result)
        return rows, summary, error, nyquist, bode, resid, str(count)

    @app.callback(
        Output("download", "data"),
        Input("exp-csv", "n_clicks"),
        Input("exp-xlsx", "n_clicks"),
        Input("exp-json", "n_clicks"),
        Input("exp-png", "n_clicks"),
        Input("exp-svg", "n_clicks"),
        Input("exp-html", "n_clicks"),
        State("spectrum", "value"),
        prevent_initial_call=True,
    )
    def export(*args: Any) -> Any:
        entry = session.get(args[-1])
        record = None if entry is None else session.fits.get(entry.id)
        if entry is None or record is None:
            return no_update
        kind = str(ctx.triggered_id).removeprefix("exp-")
        stem = _export.safe_name(entry.name)
        if kind == "csv":
            content = _export.csv_bytes(_export.parameter_frame(entry, record))
        elif kind == "xlsx":
            content = _export.excel_bytes(_export.parameter_frame(entry, record))
        elif kind == "json":
            content = _export.json_bytes(entry, record)
        elif kind in ("png", "svg"):
            content = _export.figure_bytes(entry, record, kind)
        else:
            content, kind = _export.html_report(entry, record), "html"
        return _download(content, f"{stem}-fit.{kind}")

    @app.callback(
        Output("batch-poll", "disabled"),
        Output("batch-status", "children"),
        Input("batch-btn", "n_clicks"),
        Input("batch-stop", "n_clicks"),
        State("circuit", "value"),
        State("method", "value"),
        State("weight", "value"),
        State("max-iter", "value"),
        State("seed", "value"),
        State("params", "data"),
        prevent_initial_call=True,
    )
    def batch(
        _go: Any, _stop: Any, circuit: Any, method: Any, weight: Any, max_iter: Any, seed: Any,
        rows: Any,
    ) -> Any:  # fmt: skip
        if ctx.triggered_id == "batch-stop":
            if session.batch is not None:
                session.batch.cancel.set()
            return no_update, no_update
        try:
            settings = _settings(
                str(circuit or ""), method, weight, max_iter, seed, list(rows or []), False
            )
            job = session.start_batch(settings)
        except (ValueError, RuntimeError) as exc:
            return True, html.Div(str(exc), className="error")
        return False, f"0 / {job.total} fitted"

    @app.callback(
        Output("batch-progress", "value"),
        Output("batch-progress", "max"),
        Output("batch-status", "children", allow_duplicate=True),
        Output("batch-poll", "disabled", allow_duplicate=True),
        Output("batch-table", "data"),
        Output("batch-table", "columns"),
        Output("trend-param", "options"),
        Output("trend-param", "value"),
        Output("trend-x", "options"),
        Output("trend-x", "value"),
        Input("batch-poll", "n_intervals"),
        prevent_initial_call=True,
    )
    def poll(_n: Any) -> Any:
        job = session.batch
        if job is None:
            return (no_update,) * 3 + (True,) + (no_update,) * 6
        elapsed = (job.finished or time.monotonic()) - job.started
        status = f"{job.done} / {job.total} fitted ({elapsed:.1f} s)"
        if job.running:
            return str(job.done), str(job.total), status, False, *(no_update,) * 6
        if job.error is not None or job.table is None:
            status += f": {job.error or 'no result'}"
            return str(job.done), str(job.total), status, True, *(no_update,) * 6
        table = job.table
        failed = int((~table["success"]).sum())
        status += f", {failed} not converged" if failed else ", all converged"
        params = job.settings.parsed().param_names()
        axes = list(session.trend_axes(job))
        records = table.astype(object).where(table.notna(), None).to_dict("records")
        columns = [
            {"id": c, "name": c, "type": "numeric", "format": _VALUE}
            if table[c].dtype.kind == "f"
            else {"id": c, "name": c}
            for c in table.columns
        ]
        return (
            str(job.done), str(job.total), status, True, records, columns,
            params, _most_varied(table, params), axes, axes[0],
        )  # fmt: skip

    @app.callback(
        Output("trend-plot", "figure"),
        Input("trend-param", "value"),
        Input("trend-x", "value"),
        Input("batch-table", "data"),
    )
    def trend(parameter: Any, axis: Any, _data: Any) -> Any:
        job = session.batch
        if job is None or job.table is None or parameter not in job.table:
            return _figures.empty("Trend", "fit all spectra to see a parameter's trend")
        axes = session.trend_axes(job)
        x = axes.get(axis) or axes["file order"]
        label = axis if axis in axes else "file order"
        return _figures.trend(job.table, parameter, label, x, list(job.table["spectrum"]))

    @app.callback(
        Output("download", "data", allow_duplicate=True),
        Input("batch-csv", "n_clicks"),
        Input("batch-xlsx", "n_clicks"),
        prevent_initial_call=True,
    )
    def batch_export(_c: Any, _x: Any) -> Any:
        job = session.batch
        if job is None or job.table is None:
            return no_update
        if ctx.triggered_id == "batch-csv":
            return _download(_export.csv_bytes(job.table), "korvane-batch.csv")
        return _download(_export.excel_bytes(job.table, "fits"), "korvane-batch.xlsx")
