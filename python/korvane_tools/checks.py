"""What in a measured spectrum would spoil a fit, and removing it.

:func:`check` looks, :func:`clean` removes. Neither sorts rows nor turns a
sign: a flipped imaginary part is reported, and fixing it is the caller's
decision (negate the column), because only the caller knows the file.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ._data import _SPELLINGS, FREQUENCY, IMAG, REAL, Data, spectrum, spectrum_parts, to_frame

Severity = Literal["error", "warning", "info"]

#: Fewer points per decade than this leave a time constant's arc to a
#: handful of points, too few to tell its shape (a CPE exponent from an RC).
MIN_POINTS_PER_DECADE = 5.0
#: A decade with no point at all hides whatever happens there.
MAX_GAP_DECADES = 1.0
#: Fewer points than this cannot carry even a Randles circuit (5 parameters)
#: with error estimates to spare.
MIN_POINTS = 10
#: Phase (degrees) within which a point counts as noise around the real
#: axis: small enough to keep a flat arc, large enough that a resistive
#: stretch's scatter around 0° neither looks flipped nor inductive.
FLIPPED_PHASE_DEG = 1.0


@dataclass(frozen=True)
class Finding:
    """One problem: what kind, how bad, which rows (positions from 0), and why."""

    kind: str
    severity: Severity
    message: str
    rows: tuple[int, ...] = ()

    def __str__(self) -> str:
        return f"{self.severity:<7} {self.kind}: {self.message}"


@dataclass(frozen=True)
class CheckReport:
    """The result of :func:`check`: a list of :class:`Finding` in order of severity.

    ``ok`` is True when nothing is an error or a warning; info findings
    (a few inductive points at the high-frequency end) are normal.
    ``str(report)`` is a short readable summary.
    """

    n_points: int
    findings: list[Finding] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not any(f.severity in ("error", "warning") for f in self.findings)

    def kinds(self) -> set[str]:
        """The kinds of the findings, for quick tests such as ``"flipped_sign" in ...``."""
        return {f.kind for f in self.findings}

    def __str__(self) -> str:
        head = f"{self.n_points} points: " + ("ok" if self.ok else "problems found")
        return "\n".join([head, *(f"  {f}" for f in self.findings)])


def _rows_text(rows: npt.NDArray[np.intp], most: int = 6) -> str:
    shown = ", ".join(str(int(i)) for i in rows[:most])
    if rows.size == 1:
        return "row " + shown
    return "rows " + shown + (", …" if rows.size > most else "")


def check(data: Data) -> CheckReport:
    """Report what in ``data`` would spoil a fit; never raises for bad values.

    ``data`` is a BDF dataframe (pandas, polars, a dict of columns) or a
    ``(frequencies, impedances)`` pair. Findings (rows are positions from 0
    in the given order):

    - ``length_mismatch`` (error): frequencies and impedances differ in length;
      nothing else is checked then.
    - ``no_points`` (error), ``few_points`` (warning, fewer than ``MIN_POINTS``).
    - ``nonfinite_frequency``, ``nonpositive_frequency``, ``nonfinite_impedance``
      (errors): rows a fit cannot use; :func:`clean` removes them.
    - ``duplicate_frequency`` (warning): a frequency measured twice, often two
      sweeps run together; the rows after the first of each are listed.
    - ``flipped_sign`` (warning): most points with a phase beyond
      ``FLIPPED_PHASE_DEG`` have a positive imaginary part, and it peaks
      below the highest frequency and falls by half or more towards it: a
      capacitive arc drawn above the axis, as when −Z'' was passed for Z''.
      (An inductance grows with frequency instead, so it is not mistaken.)
    - ``inductive`` (info when the points with positive imaginary part are the
      highest frequencies, as cable inductance gives; warning elsewhere).
    - ``sparse`` (warning): fewer than ``MIN_POINTS_PER_DECADE`` points per
      decade on average, or a gap wider than ``MAX_GAP_DECADES``.
    - ``drift_corrected`` (info): the frame was read from a file that also
      holds drift-corrected impedance columns; says which were read.
    """
    f, z = spectrum_parts(data)
    if f.shape != z.shape:
        return CheckReport(
            max(f.size, z.size),
            [
                Finding(
                    "length_mismatch",
                    "error",
                    f"{f.size} frequencies but {z.size} impedances: rows cannot be paired",
                )
            ],
        )
    findings = _row_findings(f, z)
    usable = np.isfinite(f) & (f > 0) & np.isfinite(z.real) & np.isfinite(z.imag)
    findings += _shape_findings(f, z, np.flatnonzero(usable))
    findings += _reader_findings(data)
    order = {"error": 0, "warning": 1, "info": 2}
    return CheckReport(f.size, sorted(findings, key=lambda x: order[x.severity]))


def _reader_findings(data: Data) -> list[Finding]:
    """What :func:`korvane_tools.read` recorded about columns it did not read."""
    attrs = getattr(data, "attrs", None)
    drift = attrs.get("drift_corrected") if isinstance(attrs, dict) else None
    if not isinstance(drift, dict):
        return []
    names = ", ".join(str(c) for c in drift.get("columns", ()))
    if drift.get("read"):
        message = f"impedance read from the drift-corrected columns {names}"
    else:
        message = (
            f"the file also holds drift-corrected columns ({names}); this is the raw "
            "spectrum: read(path, drift_corrected=True) gives the corrected one"
        )
    return [Finding("drift_corrected", "info", message)]


def _row_findings(f: npt.NDArray[np.float64], z: npt.NDArray[np.complex128]) -> list[Finding]:
    """Rows that are unusable on their own."""
    out: list[Finding] = []
    if f.size == 0:
        return [Finding("no_points", "error", "no measured points")]
    tests = (
        ("nonfinite_frequency", ~np.isfinite(f), "frequency NaN or infinite"),
        ("nonpositive_frequency", np.isfinite(f) & (f <= 0), "frequency zero or negative"),
        (
            "nonfinite_impedance",
            ~(np.isfinite(z.real) & np.isfinite(z.imag)),
            "impedance NaN or infinite",
        ),
    )
    for kind, bad, what in tests:
        rows = np.flatnonzero(bad)
        if rows.size:
            out.append(
                Finding(
                    kind,
                    "error",
                    f"{what} in {_rows_text(rows)}; korvane_tools.clean(data) removes them",
                    tuple(int(i) for i in rows),
                )
            )
    _, first = np.unique(f, return_index=True)
    repeated = np.setdiff1d(np.flatnonzero(np.isfinite(f)), first)
    if repeated.size:
        out.append(
            Finding(
                "duplicate_frequency",
                "warning",
                f"frequency measured before, again in {_rows_text(repeated)} "
                "(two sweeps run together?)",
                tuple(int(i) for i in repeated),
            )
        )
    return out


def _shape_findings(
    f: npt.NDArray[np.float64], z: npt.NDArray[np.complex128], usable: npt.NDArray[np.intp]
) -> list[Finding]:
    """What the usable rows together say: sign, inductive points, density."""
    out: list[Finding] = []
    if 0 < usable.size < MIN_POINTS:
        out.append(
            Finding("few_points", "warning", f"only {usable.size} usable points (< {MIN_POINTS})")
        )
    if usable.size < 2:
        return out
    by_freq = usable[np.argsort(f[usable], kind="stable")]  # rows, lowest frequency first
    peak = _flipped_peak(f, z, by_freq)
    flipped = peak is not None
    if peak is not None:
        out.append(
            Finding(
                "flipped_sign",
                "warning",
                "the imaginary part is positive at most frequencies and forms an arc above "
                f"the axis (highest at {f[peak]:.4g} Hz, row {peak}). Did you pass −Z''? "
                "korvane expects Z'' itself, negative for a capacitive arc",
                tuple(int(i) for i in np.sort(by_freq[z[by_freq].imag > 0])),
            )
        )
    if not flipped:
        out += _inductive(f, z, by_freq)
    out += _density(f[by_freq])
    return out


def _flipped_peak(
    f: npt.NDArray[np.float64], z: npt.NDArray[np.complex128], by_freq: npt.NDArray[np.intp]
) -> int | None:
    """The row where a capacitive arc drawn above the axis peaks, or None.

    Flipped, an arc has a positive imaginary part at most frequencies that
    falls back towards the axis at the high-frequency end. An inductance is
    positive too but grows with frequency, so its largest value is the top
    point; noise near a resistive stretch stays within ``FLIPPED_PHASE_DEG``.
    """
    phase = np.degrees(np.angle(z[by_freq]))
    clear = np.abs(phase) > FLIPPED_PHASE_DEG
    if clear.sum() < 3 or np.mean(phase[clear] > 0) <= 0.5:
        return None
    imag = z[by_freq].imag
    top = int(np.argmax(imag))
    if top == by_freq.size - 1 or imag[-1] >= 0.5 * imag[top]:
        return None
    return int(by_freq[top])


def _inductive(
    f: npt.NDArray[np.float64], z: npt.NDArray[np.complex128], by_freq: npt.NDArray[np.intp]
) -> list[Finding]:
    """Points with a positive imaginary part, split by where they lie.

    At the high-frequency end they are the cable's inductance, normal. Lower
    down, a phase within ``FLIPPED_PHASE_DEG`` of 0 is noise around a
    resistive stretch; more than that is worth a look.
    """
    positive = z[by_freq].imag > 0
    negative = np.flatnonzero(~positive)
    first_top = negative[-1] + 1 if negative.size else 0  # start of the all-positive top run
    at_top = np.sort(by_freq[first_top:])
    below = np.sort(by_freq[:first_top][positive[:first_top]])
    out: list[Finding] = []
    if at_top.size:
        out.append(
            Finding(
                "inductive",
                "info",
                f"{at_top.size} points at the high-frequency end (from {f[at_top].min():.4g} Hz) "
                f"have a positive imaginary part ({_rows_text(at_top)}), as cable inductance "
                "gives; an inductor in the circuit models them, or "
                "clean(data, drop_inductive=True) drops them",
                tuple(int(i) for i in at_top),
            )
        )
    if below.size:
        phase = float(np.degrees(np.angle(z[below])).max())
        strong = phase > FLIPPED_PHASE_DEG
        out.append(
            Finding(
                "inductive",
                "warning" if strong else "info",
                f"{below.size} points below the high-frequency end have a positive imaginary "
                f"part ({_rows_text(below)}; phase up to {phase:+.2g}°)"
                + ("" if strong else ": noise around zero"),
                tuple(int(i) for i in below),
            )
        )
    return out


def _density(freqs: npt.NDArray[np.float64]) -> list[Finding]:
    logs = np.log10(np.unique(freqs))
    span = logs[-1] - logs[0] if logs.size > 1 else 0.0
    out: list[Finding] = []
    if span > 0 and logs.size / span < MIN_POINTS_PER_DECADE:
        out.append(
            Finding(
                "sparse",
                "warning",
                f"{logs.size / span:.2g} points per decade over {span:.2g} "
                f"decade{'' if span == 1 else 's'} "
                f"(fewer than {MIN_POINTS_PER_DECADE:g})",
            )
        )
    if logs.size > 1:
        gaps = np.diff(logs)
        widest = int(np.argmax(gaps))
        if gaps[widest] > MAX_GAP_DECADES:
            out.append(
                Finding(
                    "sparse",
                    "warning",
                    f"no point between {10 ** logs[widest]:.4g} Hz and "
                    f"{10 ** logs[widest + 1]:.4g} Hz ({gaps[widest]:.2g} decades)",
                )
            )
    return out


def clean(
    data: Data,
    drop_inductive: bool = False,
    fmin: float | None = None,
    fmax: float | None = None,
) -> Any:
    """A BDF pandas DataFrame of the rows of ``data`` a fit can use.

    Always removes rows whose frequency is not positive and finite or whose
    impedance is not finite. ``drop_inductive`` also removes the rows with a
    positive imaginary part; ``fmin`` and ``fmax`` keep only frequencies in
    ``[fmin, fmax]`` (hertz, inclusive). Row order is kept and no sign is
    changed. For a pandas frame its other columns (time, cycle, ...) and its
    ``attrs`` come along; the index is renumbered from 0.
    """
    f, z = spectrum(data)
    keep = np.isfinite(f) & (f > 0) & np.isfinite(z.real) & np.isfinite(z.imag)
    if drop_inductive:
        keep &= ~(z.imag > 0)
    if fmin is not None:
        keep &= f >= fmin
    if fmax is not None:
        keep &= f <= fmax
    out = to_frame(f[keep], z[keep])
    if _is_pandas(data):
        used = {name for role in ("frequency", "real", "imag") for name in _SPELLINGS[role]}
        for name in data.columns:
            if name not in used and name not in (FREQUENCY, REAL, IMAG):
                out[name] = np.asarray(data[name])[keep]
        out.attrs.update(data.attrs)
    return out


def _is_pandas(data: Data) -> bool:
    return type(data).__module__.startswith("pandas") and hasattr(data, "attrs")
