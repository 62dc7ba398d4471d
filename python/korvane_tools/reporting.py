"""A readable summary of a fit: every parameter with its error, unit and flags.

``print(korvane_tools.report(result, data))`` gives a table of value,
standard error (absolute and relative), unit and flags per parameter, then
the fit statistics. ``to_markdown()`` and ``_repr_html_()`` give the same
for documents and notebooks, ``to_dict()``/``Report.from_dict()`` a JSON-safe
form that round-trips exactly.

Works on a :class:`korvane.FitResult` and on anything shaped like one: a
result that also carries ``fixed`` (names of parameters held fixed) and
``at_bound`` (names that ended on a bound), such as the result of
:func:`korvane_tools.fit`, has those shown as given.
"""

from __future__ import annotations

import html
import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, overload

import numpy as np

from ._data import Data, spectrum
from ._types import FitLike

if TYPE_CHECKING:
    from .analysis._report import AnalysisReport
    from .analysis.drt import DRTResult
    from .analysis.zhit import ZHitResult

#: Significant digits shown for values and for standard errors.
VALUE_DIGITS = 5
ERROR_DIGITS = 2

#: A value within this relative distance of a bound counts as on it. The fit
#: clamps onto its bounds exactly; the slack covers values that went through
#: a text form with fewer digits.
_ON_BOUND_RTOL = 1e-9

FLAG_FIXED = "fixed"
FLAG_BOUND = "on bound"
FLAG_UNDETERMINED = "undetermined"


@dataclass(frozen=True)
class ParameterRow:
    """One parameter of a fit, as the report shows it."""

    name: str
    value: float
    stderr: float  # NaN when the fit gave none
    unit: str
    lower: float
    upper: float
    fixed: bool
    at_bound: bool
    # What the fit's diagnostics say about it (korvane_tools.diagnostics):
    # large error, strong correlation, merged arcs.
    notes: tuple[str, ...] = ()

    @property
    def undetermined(self) -> bool:
        """No finite standard error for a parameter the fit did vary."""
        return not self.fixed and not math.isfinite(self.stderr)

    @property
    def relative_error(self) -> float:
        """Standard error in per cent of |value|; NaN without either."""
        if not math.isfinite(self.stderr) or self.value == 0 or not math.isfinite(self.value):
            return math.nan
        return 100.0 * abs(self.stderr / self.value)

    @property
    def flags(self) -> tuple[str, ...]:
        out: list[str] = []
        if self.fixed:
            out.append(FLAG_FIXED)
        if self.at_bound:
            out.append(FLAG_BOUND)
        if self.undetermined:
            out.append(FLAG_UNDETERMINED)
        out.extend(note for note in self.notes if note not in out)
        return tuple(out)


@dataclass(frozen=True)
class Report:
    """Parameters and statistics of one fit; ``str()`` is the table."""

    parameters: tuple[ParameterRow, ...]
    chi_square: float
    cost: float
    success: bool
    iterations: int
    impedance_evals: int
    n_points: int | None = None  # measured points, when the data were given

    @property
    def n_free(self) -> int:
        """Parameters the fit varied."""
        return sum(1 for row in self.parameters if not row.fixed)

    @property
    def dof(self) -> int | None:
        """Degrees of freedom: 2·N real residuals less the varied parameters."""
        if self.n_points is None:
            return None
        return 2 * self.n_points - self.n_free

    @property
    def reduced_chi_square(self) -> float | None:
        """χ²/dof; near 1 when the weights match the noise (σ-weighted fits)."""
        dof = self.dof
        if dof is None or dof <= 0:
            return None
        return self.chi_square / dof

    @property
    def rms_residual(self) -> float | None:
        """√(χ²/2N): the typical weighted residual per real number.

        With the default modulus weighting this is the typical misfit as a
        fraction of |Z|.
        """
        if not self.n_points:
            return None
        return math.sqrt(self.chi_square / (2 * self.n_points))

    # -- text forms -------------------------------------------------------

    def _cells(self) -> list[list[str]]:
        return [
            [
                row.name,
                _number(row.value, VALUE_DIGITS),
                "—"
                if row.fixed and not math.isfinite(row.stderr)
                else _number(row.stderr, ERROR_DIGITS),
                _percent(row.relative_error),
                row.unit,
                ", ".join(row.flags),
            ]
            for row in self.parameters
        ]

    def _summary(self) -> list[tuple[str, str]]:
        lines = [("chi-square", _number(self.chi_square, VALUE_DIGITS))]
        if self.n_points is not None:
            lines.append(("points", str(self.n_points)))
            dof = self.dof
            lines.append(("degrees of freedom", str(dof)))
            reduced = self.reduced_chi_square
            if reduced is not None:
                lines.append(("chi-square / dof", _number(reduced, 3)))
            rms = self.rms_residual
            if rms is not None:
                lines.append(("rms weighted residual", _number(rms, 3)))
        lines.append(("evaluations", f"{self.impedance_evals} ({self.iterations} iterations)"))
        lines.append(("success", "yes" if self.success else "NO"))
        return lines

    def __str__(self) -> str:
        header = ["parameter", "value", "std. error", "rel. error", "unit", "flags"]
        cells = self._cells()
        widths = [
            max(len(h), *(len(r[i]) for r in cells)) if cells else len(h)
            for i, h in enumerate(header)
        ]
        # Names, units and flags read left-aligned; numbers right-aligned.
        right = {1, 2, 3}

        def line(row: list[str]) -> str:
            parts = [
                c.rjust(w) if i in right else c.ljust(w)
                for i, (c, w) in enumerate(zip(row, widths))
            ]
            return "  ".join(parts).rstrip()

        out = [line(header), line(["-" * w for w in widths])]
        out.extend(line(r) for r in cells)
        out.append("")
        label_width = max(len(k) for k, _ in self._summary())
        out.extend(f"{k.ljust(label_width)}  {v}" for k, v in self._summary())
        return "\n".join(out)

    def to_markdown(self) -> str:
        """The table and the statistics as GitHub-flavoured Markdown."""
        header = ["parameter", "value", "std. error", "rel. error", "unit", "flags"]
        out = [
            "| " + " | ".join(header) + " |",
            "|---|---:|---:|---:|---|---|",
        ]
        for row in self._cells():
            escaped = [cell.replace("|", "\\|") for cell in row]
            escaped[0] = f"`{escaped[0]}`"
            out.append("| " + " | ".join(escaped) + " |")
        out.append("")
        out.extend(f"- {k}: {v}" for k, v in self._summary())
        return "\n".join(out)

    def _repr_html_(self) -> str:
        header = ["parameter", "value", "std. error", "rel. error", "unit", "flags"]
        head = "".join(f"<th>{html.escape(h)}</th>" for h in header)
        body = "".join(
            "<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>"
            for row in self._cells()
        )
        summary = "".join(
            f"<tr><th>{html.escape(k)}</th><td>{html.escape(v)}</td></tr>"
            for k, v in self._summary()
        )
        return (
            f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"
            f"<table><tbody>{summary}</tbody></table>"
        )

    # -- plain data -----------------------------------------------------------

    def to_dict(self) -> dict[str, Any]:
        """Plain JSON-safe types: NaN is None, ±inf is "inf"/"-inf".

        :meth:`from_dict` rebuilds the Report from it (NaN included).
        """
        return {
            "parameters": [
                {
                    "name": row.name,
                    "value": _encode(row.value),
                    "stderr": _encode(row.stderr),
                    "unit": row.unit,
                    "lower": _encode(row.lower),
                    "upper": _encode(row.upper),
                    "fixed": row.fixed,
                    "at_bound": row.at_bound,
                    "notes": list(row.notes),
                }
                for row in self.parameters
            ],
            "chi_square": _encode(self.chi_square),
            "cost": _encode(self.cost),
            "success": self.success,
            "iterations": self.iterations,
            "impedance_evals": self.impedance_evals,
            "n_points": self.n_points,
        }

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Report:
        """The Report that :meth:`to_dict` described."""
        try:
            rows = tuple(
                ParameterRow(
                    name=str(p["name"]),
                    value=_decode(p["value"]),
                    stderr=_decode(p["stderr"]),
                    unit=str(p["unit"]),
                    lower=_decode(p["lower"]),
                    upper=_decode(p["upper"]),
                    fixed=bool(p["fixed"]),
                    at_bound=bool(p["at_bound"]),
                    notes=tuple(str(note) for note in p.get("notes", ())),
                )
                for p in data["parameters"]
            )
            n_points = data.get("n_points")
            return cls(
                parameters=rows,
                chi_square=_decode(data["chi_square"]),
                cost=_decode(data["cost"]),
                success=bool(data["success"]),
                iterations=int(data["iterations"]),
                impedance_evals=int(data["impedance_evals"]),
                n_points=None if n_points is None else int(n_points),
            )
        except KeyError as missing:
            raise ValueError(f"report data lacks the entry {missing.args[0]!r}") from None
        except (TypeError, ValueError) as bad:
            raise ValueError(f"report data is malformed: {bad}") from None


@overload
def report(result: DRTResult | ZHitResult, data: Data | None = None) -> AnalysisReport: ...
@overload
def report(result: FitLike, data: Data | None = None) -> Report: ...


def report(result: Any, data: Data | None = None) -> Report | AnalysisReport:
    """A :class:`Report` of ``result`` (a FitResult or a result shaped like one).

    An analysis result (:class:`korvane_tools.DRTResult`,
    :class:`korvane_tools.ZHitResult`) reports itself through its
    ``_korvane_report_(data)`` method: a titled table (the DRT's peaks) and
    summary lines, with the same text, Markdown, HTML and dict forms.

    ``data``, the measured spectrum the fit was made on, adds the number of
    points, degrees of freedom and per-point figures. A parameter is flagged
    *on bound* when its value equals a bound of ``circuit.param_bounds()``
    (or when it is named in the result's ``at_bound``, if it has one),
    *undetermined* when its standard error is NaN or missing, and *fixed*
    when the result's ``fixed`` names it; the result's ``flags`` (those of
    :func:`korvane_tools.fit`: large errors, strong correlations, merged
    arcs) are added to the parameter's flags.
    """
    own = getattr(result, "_korvane_report_", None)
    if callable(own):
        return own(data)  # type: ignore[no-any-return]
    circuit = getattr(result, "circuit", None)
    if circuit is None:
        raise TypeError(
            f"expected a fit result with a 'circuit' attribute, got {type(result).__name__}"
        )
    names: list[str] = list(circuit.param_names())
    units: list[str] = list(circuit.param_units())
    bounds: list[tuple[float, float]] = [
        (float(lo), float(hi)) for lo, hi in circuit.param_bounds()
    ]
    params: Mapping[str, float] = result.params
    stderr: Mapping[str, float] = result.stderr or {}
    fixed = set(_names(getattr(result, "fixed", None)))
    given_at_bound = getattr(result, "at_bound", None)
    at_bound = None if given_at_bound is None else set(_names(given_at_bound))
    notes: Mapping[str, tuple[str, ...]] = getattr(result, "flags", None) or {}

    rows = []
    for name, unit, (lo, hi) in zip(names, units, bounds):
        value = float(params.get(name, math.nan))
        error = stderr.get(name)
        rows.append(
            ParameterRow(
                name=name,
                value=value,
                stderr=math.nan if error is None else float(error),
                unit=unit,
                lower=lo,
                upper=hi,
                fixed=name in fixed,
                at_bound=(name in at_bound) if at_bound is not None else _on_bound(value, lo, hi),
                notes=tuple(notes.get(name, ())),
            )
        )
    n_points = None if data is None else int(spectrum(data)[0].size)
    return Report(
        parameters=tuple(rows),
        chi_square=float(result.chi_square),
        cost=float(result.cost),
        success=bool(result.success),
        iterations=int(result.iterations),
        impedance_evals=int(result.impedance_evals),
        n_points=n_points,
    )


def _names(value: Any) -> Iterable[str]:
    if value is None:
        return ()
    if isinstance(value, str):
        return (value,)
    if isinstance(value, Mapping):  # e.g. fixed as {name: value}
        return (str(k) for k in value)
    return (str(v) for v in value)


def _on_bound(value: float, lo: float, hi: float) -> bool:
    def near(bound: float) -> bool:
        return math.isfinite(bound) and abs(value - bound) <= _ON_BOUND_RTOL * abs(bound)

    return math.isfinite(value) and (near(lo) or near(hi))


def _number(x: float, digits: int) -> str:
    if math.isnan(x):
        return "nan"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return f"{x:.{digits}g}"


def _percent(x: float) -> str:
    return "—" if math.isnan(x) else f"{x:.2g} %"


def _encode(x: float) -> float | str | None:
    if math.isnan(x):
        return None
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return float(x)


def _decode(x: Any) -> float:
    if x is None:
        return math.nan
    if isinstance(x, str):
        if x in ("inf", "-inf"):
            return float(x)
        raise ValueError(f"expected a number, None, 'inf' or '-inf', got {x!r}")
    if isinstance(x, bool) or not isinstance(x, (int, float, np.floating, np.integer)):
        raise ValueError(f"expected a number, got {x!r}")
    return float(x)
