"""Files the app hands to the browser: tables, saved fits, figures, a report page.

Everything is built in memory (or in a private temporary folder that is gone
before the bytes leave), and only what the user asked for leaves the process.
Figures are drawn by korvane_tools' matplotlib functions, which need no
browser or network.
"""

from __future__ import annotations

import datetime as _dt
import html
import io
import tempfile
from pathlib import Path

import pandas as pd

from ..reporting import Report, report
from ._session import FitRecord, Spectrum


def parameter_frame(entry: Spectrum, record: FitRecord) -> pd.DataFrame:
    """One row per parameter: value, error, unit, bounds and flags, as the table shows."""
    rep = report(record.result, entry.data())
    rows = [
        {
            "spectrum": entry.name,
            "circuit": record.settings.circuit,
            "parameter": row.name,
            "value": row.value,
            "stderr": row.stderr,
            "relative error / %": row.relative_error,
            "unit": row.unit,
            "lower": row.lower,
            "upper": row.upper,
            "flags": ", ".join(row.flags),
        }
        for row in rep.parameters
    ]
    frame = pd.DataFrame(rows)
    frame["chi_square"] = rep.chi_square
    frame["excluded points"] = " ".join(map(str, record.excluded))
    return frame


def csv_bytes(frame: pd.DataFrame) -> bytes:
    return bytes(frame.to_csv(index=False).encode("utf-8"))


def excel_bytes(frame: pd.DataFrame, sheet: str = "parameters") -> bytes:
    buffer = io.BytesIO()
    with pd.ExcelWriter(buffer, engine="openpyxl") as writer:
        frame.to_excel(writer, sheet_name=sheet, index=False)
    return buffer.getvalue()


def json_bytes(entry: Spectrum, record: FitRecord) -> bytes:
    """The fit in korvane_tools' versioned JSON, with a summary of the points it used."""
    from ..serial import save

    with tempfile.TemporaryDirectory(prefix="korvane-app-") as folder:
        path = Path(folder) / "fit.json"
        save(record.result, path, data=entry.data())
        return path.read_bytes()


def figure_bytes(entry: Spectrum, record: FitRecord, fmt: str) -> bytes:
    """Nyquist, Bode and residuals of the fit (korvane_tools.plot_fit) as PNG or SVG."""
    import matplotlib

    matplotlib.use("Agg")  # no display in a server process
    import matplotlib.pyplot as plt

    from ..plotting import plot_fit

    figure = plot_fit(entry.data(), record.result)
    figure.suptitle(f"{entry.name}    {figure.get_suptitle()}")
    buffer = io.BytesIO()
    try:
        figure.savefig(buffer, format=fmt, dpi=120)
    finally:
        plt.close(figure)
    return buffer.getvalue()


def html_report(entry: Spectrum, record: FitRecord) -> bytes:
    """One self-contained page: the spectrum, checks, the parameter table, the figure."""
    from ..checks import check
    from ..kk import lin_kk

    data = entry.data()
    rep: Report = report(record.result, data)
    checked = check(data)
    try:
        kk_text = str(lin_kk(data))
    except ValueError as exc:
        kk_text = f"not run: {exc}"
    svg = figure_bytes(entry, record, "svg").decode("utf-8")
    svg = svg[svg.find("<svg") :]  # drop the XML prologue to inline it
    settings = record.settings
    options = [f"method {settings.method}", f"weight {settings.weight}"]
    if settings.seed is not None:
        options.append(f"seed {settings.seed}")
    if settings.start is not None:
        options.append("started from the table's values")
    excluded = ", ".join(map(str, record.excluded)) or "none"
    warnings = "".join(f"<li>{html.escape(w)}</li>" for w in record.warnings)
    e = html.escape
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>korvane fit: {e(entry.name)}</title>
<style>
body {{ font-family: system-ui, sans-serif; max-width: 1100px; margin: 1.5em auto; color: #222; }}
table {{ border-collapse: collapse; margin: 0.6em 0; }}
th, td {{ border: 1px solid #ccc; padding: 3px 8px; text-align: right; }}
th {{ background: #f3f3f3; }} pre {{ background: #f7f7f7; padding: 0.6em; }}
svg {{ max-width: 100%; height: auto; }}
</style></head><body>
<h1>Fit of {e(entry.name)}</h1>
<p>Circuit <code>{e(settings.circuit)}</code> ({e(", ".join(options))}),
{entry.frequencies.size} points measured, rows excluded (counted from 0): {e(excluded)};
the data check counts rows among the points kept.
Made by korvane on {_dt.datetime.now().strftime("%Y-%m-%d %H:%M")}.</p>
{f"<ul>{warnings}</ul>" if warnings else ""}
<h2>Parameters</h2>
{rep._repr_html_()}
<h2>Data</h2>
<pre>{e(str(checked))}</pre>
<pre>{e(kk_text)}</pre>
<h2>Plots</h2>
{svg}
</body></html>
"""
    return page.encode("utf-8")


def safe_name(name: str) -> str:
    """A download file name from a spectrum name."""
    stem = "".join(c if c.isalnum() or c in "-_." else "_" for c in name).strip("._")
    return stem or "spectrum"
