"""Reading impedance spectra from instrument export files.

``read(path)`` gives one pandas DataFrame with the Battery Data Format
columns korvane fits from, so ``korvane.Circuit("randles").fit(read(path))``
works on any supported file:

- "Frequency / Hz"
- "Real Impedance / ohm"
- "Imaginary Impedance / ohm", in the physics sign: negative for a
  capacitive arc

and, when the file has them, "Absolute Impedance / ohm", "Phase / deg",
"Test Time / s", "Cycle Count / 1", "Current / A" and "Voltage / V".
"""

from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from ._data import FREQUENCY
from .readers._columns import Table, columns_of
from .readers._formats import BY_NAME, Format, fast_tables, sniff, suggested_by
from .readers._registry import format_name, read_binary
from .readers._text import MAX_LINE, FormatError, decode, long_line, split_lines

_CYCLE = "Cycle Count / 1"

#: A file path, or a binary stream the caller opened (``open(path, "rb")``).
Source = str | os.PathLike[str] | IO[bytes]

#: Relative distance within which a frequency counts as a sweep's start
#: frequency again: far below the step between points (10 points a decade
#: are 26 % apart), far above the jitter of a synthesiser (ppm).
SWEEP_RESTART_TOLERANCE = 0.01


def read(path: Source, format: str | None = None, *, drift_corrected: bool = False) -> Any:
    """One spectrum from an instrument file, as a BDF pandas DataFrame.

    Rows keep the file's order. Units are converted to hertz, ohm, degrees,
    seconds, ampere and volt where a column names another unit ("f / kHz",
    "Z' / kOhm", "<I>/mA"). ``frame.attrs`` records the file ("source"),
    the format, which file column became which output column ("columns",
    with "(negated)" where a sign was turned) and the number of rows left
    out ("skipped_rows", see below).

    Formats, chosen from the content (``format=`` overrides; the names are):

    ``"gamry"``
        Gamry Framework ``.DTA``: the ``ZCURVE`` table (Freq, Zreal, Zimag,
        Zmod, Zphz, Time, Idc, Vdc). Zimag is stored in the physics sign and
        kept. An aborted run (``EXPERIMENTABORTED T``) gives the points
        measured before the abort, with ``attrs["aborted"] = True``. Several
        ZCURVE tables are several spectra. Drift-corrected columns
        (``ZrealDrCor``, ``ZimagDrCor``) are read instead of the raw ones with
        ``drift_corrected=True``; either way ``attrs["drift_corrected"]``
        lists them and says whether they were read.
    ``"biologic"``
        BioLogic EC-Lab text export ``.mpt`` ("Nb header lines" on line 2).
        ``-Im(Z)/Ohm`` holds −Z'' and is negated; ``Phase(Z)/deg`` is kept.
        Each value of ``cycle number`` is one spectrum. A file whose names
        row lacks ``freq/Hz`` (values and names would be misaligned) is
        refused. EC-Lab exports without the header read as delimited text.
    ``"zplot"``
        ZPlot/ZView ``.z`` in the ZPLOT2 ASCII, ZPlotW and Z60W layouts.
        ``Z''(b)`` is the imaginary part in the physics sign and is kept
        (ZView plots −Z'' but stores Z''). The announced number of points
        is checked, so a cut-off file is refused.
    ``"autolab"``
        Autolab NOVA text exports (``Frequency (Hz)``, ``Z' (Ω)``,
        ``-Z'' (Ω)``, ``-Phase (°)``: the minus columns are negated), and
        files in the Z60W layout, read as ``"zplot"``.
    ``"versastudio"``
        VersaStudio ``.par``: each ``<SegmentN>`` is a spectrum, its
        ``Definition=`` line names the columns; ``Z Imag`` is kept.
    ``"relaxis"``
        RelaxIS spectrum export (``RelaxIS 3.0 Spectrum export`` on line 1):
        a ``Data: Frequency``, ``Data: Z'`` ... titles line, then for each
        spectrum a parameter line (``DC=..., TM=...``, ``Model: ...``, the
        spectrum's name) and its rows. ``Z''`` and ``Theta (Z)`` (degrees)
        are kept; each parameter line starts a spectrum, whose attrs keep
        the parameters (``"parameters"``, numbers), ``"model"`` and
        ``"title"``.
    ``"parstat"``, ``"chi"``, ``"powersuite"``
        Parstat, CH Instruments and PowerSuite text exports (``Zim``,
        ``Z"``, ``Zimg``: physics sign, kept), read as delimited text.
    ``"csv"``
        Any delimited text: commas, tabs, semicolons or blanks, an optional
        preamble, an optional names line (also after a comment mark, as
        ``numpy.savetxt`` writes it), comment lines (``#``, ``%``, ``//``,
        ``!``), trailing empty columns. Columns are recognised by their
        common spellings: frequency/freq/f; Z'/Zreal/Zre/Re(Z); Z''/Zimag/
        Zim/Im(Z); |Z|/Zmod/Z with phase/Zphz; the BDF names, snake-case
        too. A leading minus in a name (``-Z''``, ``-Im(Z)``, ``-Phase``)
        means the column holds the negated quantity: it is negated back.
        Every other column is taken with its stored sign, so a file whose
        Z'' column really holds −Z'' reads flipped; :func:`korvane_tools.check`
        flags that. A file without a names line must hold exactly three
        columns: frequency, real part, imaginary part (stored sign). A
        repeated names line starts another spectrum, as does each value of
        a cycle column (values compared as read; a ``nan`` cycle is a group
        of its own).

    For every format: UTF-8, Latin-1 and UTF-16 with a byte-order mark are
    read, line ends may be ``\\n``, ``\\r\\n`` or ``\\r``, and with tab,
    semicolon or blank separators a comma inside a number is its decimal
    separator. Impedance from modulus and phase is |Z|·exp(j·phase) when
    the file has no real and imaginary columns. The only rows left out are
    those with frequency 0 and both impedance parts 0: exporters write them
    for the DC steps logged in the same table (Parstat); they are counted in
    ``attrs["skipped_rows"]``.

    In every format a sweep that starts again (the frequency returns to
    within ``SWEEP_RESTART_TOLERANCE`` of the sweep's first frequency and
    moves on in the sweep's first direction) starts another spectrum, so
    sweeps written one after another without a cycle number or a repeated
    header are not read as one. A sweep that turns (1 kHz up to 100 kHz,
    then down to 0.2 Hz, as Zahner runs) stays one.

    ``path`` is a file path or a binary stream (``open(path, "rb")``,
    ``io.BytesIO``). Anything else that is not a regular file (a directory,
    a pipe, a device) is refused with ``OSError`` before it is read.

    Raises ``ValueError`` naming the file, the line and what was expected
    when the file cannot be read, and when it holds several spectra (then
    use :func:`read_spectra`).

    Besides the text formats above, and recognised from the bytes before
    any decoding (``readers/_registry.py``): ``"biologic-mpr"`` (EC-Lab
    ``.mpr``, both module layouts; ``"biologic"`` reads it too),
    ``"zahner"`` (``.ism``, |Z| and phase in radians, stored order kept),
    ``"palmsens"`` (``.pssession``: each impedance channel and sub-scan is a
    spectrum; the stored ``ZIm`` and ``Phase`` are negated back),
    ``"ivium"`` (``.idf``, and ``.ids`` with one spectrum per impedance
    scan) and ``"spreadsheet"`` (``.xlsx``, ``.ods``, ``.fods``: each sheet
    read as delimited text; needs the ``spreadsheet`` extra). The text
    layouts ``"counted"`` (a table led by its point count) and
    ``"grouped"`` (one value per line, frequency, real and imaginary part
    per point) are those of older analysis programs. Any other file that is
    not text raises :class:`UnsupportedFormatError`, a ``ValueError``.
    """
    spectra = read_spectra(path, format, drift_corrected=drift_corrected)
    if len(spectra) != 1:
        raise ValueError(
            f"{spectra[0].attrs['source']} holds {len(spectra)} spectra; "
            "korvane_tools.read_spectra(path) returns them as a list"
        )
    return spectra[0]


def read_spectra(
    path: Source, format: str | None = None, *, drift_corrected: bool = False
) -> list[Any]:
    """Every spectrum in an instrument file, as a list of BDF DataFrames.

    For multi-cycle exports (BioLogic ``cycle number``, a "Cycle Count / 1"
    column, several Gamry ``ZCURVE`` tables, several VersaStudio segments,
    a names line repeated in delimited text, sweeps that start again).
    Each frame's ``attrs["spectrum"]`` is its position in the file and, for
    cycles, ``attrs["cycle"]`` the cycle value. Formats, signs and errors as
    for :func:`read`.
    """
    fmt = _named_format(format)  # an unknown name is refused before the file is opened
    name, raw = _read_bytes(path)
    binary = read_binary(name, raw, format)
    if binary is not None:
        return _binary_spectra(name, binary[0].name, binary[1])
    # The raw bytes, before any decoding: where a binary or container
    # format would be recognised and read.
    fast = fast_tables(raw, fmt)
    tables: list[Table] | None = None
    if fast is not None:
        fmt, tables = fast
        del raw  # the numbers are read: the bytes need not outlive them
    else:
        line = long_line(raw)
        if line is not None:
            raise ValueError(
                f"{name}, line {line}: expected lines of text, found one longer than "
                f"{MAX_LINE} bytes (not a text export, or a damaged one)"
            )
        text = decode(raw)
        if not text.strip():
            raise ValueError(f"{name}, line 1: expected an impedance table, found an empty file")
        lines = split_lines(text)
        fmt = fmt or sniff(lines)
    try:
        if tables is None:
            tables = fmt.parse(lines)
        frames = [f for t in tables for f in _frames(t, drift_corrected)]
    except FormatError as err:
        hint = ""
        usual = suggested_by(Path(name).suffix)
        if usual is not None and usual is not fmt:
            hint = f" (read as {fmt.name}: it does not start like a {usual.name} file)"
        raise ValueError(f"{name}, line {err.line}: {err.message}{hint}") from None
    kept = [f for f in frames if len(f)]
    if not kept:
        raise ValueError(f"{name}: no impedance rows: every row has frequency 0 and impedance 0")
    for i, frame in enumerate(kept):
        frame.attrs.update(source=name, format=fmt.name, spectrum=i)
    return kept


def _read_bytes(source: Source) -> tuple[str, bytes]:
    """The name and the content of a file path or a binary stream.

    The file is opened without blocking and must be a regular file: reading
    a FIFO named ``x.csv`` would wait forever for a writer, a device might
    never end.
    """
    if hasattr(source, "read"):
        name = str(getattr(source, "name", "<stream>"))
        data = source.read()
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"{name}: expected a binary stream (open(path, 'rb')), got text")
        return name, bytes(data)
    name = os.fspath(source)
    fd = os.open(name, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    mode = os.fstat(fd).st_mode
    if not stat.S_ISREG(mode):
        os.close(fd)
        kind = "a directory" if stat.S_ISDIR(mode) else "a pipe, socket or device"
        raise OSError(f"{name}: expected a regular file, found {kind}")
    with open(fd, "rb") as handle:
        return name, handle.read()


def _named_format(format: str | None) -> Format | None:
    """The text format ``format=`` names; None for none or a binary one."""
    return None if format is None else BY_NAME.get(format_name(format))


Rows = npt.NDArray[np.intp]


def _frames(table: Table, drift_corrected: bool = False) -> list[Any]:
    """One frame per cycle and sweep of the table, rows in file order within each."""
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    columns = columns_of(table, drift_corrected)
    groups: list[tuple[Any, Rows | None]] = [(None, None)]  # None: every row
    cycles = columns.get(_CYCLE)
    if cycles is not None:
        if np.all(np.isfinite(cycles) & (cycles == np.round(cycles)) & (abs(cycles) <= 2**53)):
            columns[_CYCLE] = cycles = cycles.astype(np.int64)  # exact: no value merges
        keys, first, inverse = np.unique(
            cycles, return_index=True, return_inverse=True, equal_nan=True
        )
        if keys.size > 1:
            # One stable sort groups the rows of every cycle at once.
            members = np.split(
                np.argsort(inverse, kind="stable"), np.cumsum(np.bincount(inverse))[:-1]
            )
            groups = [(keys[k].item(), members[k]) for k in np.argsort(first)]
    frames = []
    for cycle, rows in groups:
        sweeps = _sweeps(columns[FREQUENCY] if rows is None else columns[FREQUENCY][rows])
        for sweep in sweeps:
            part = (sweep if len(sweeps) > 1 else None) if rows is None else rows[sweep]
            # The arrays are this frame's own (or disjoint slices): no copy.
            data = {k: v if part is None else v[part] for k, v in columns.items()}
            frame = pd.DataFrame(data, copy=False)
            frame.attrs.update(table.attrs)
            if cycle is not None:
                frame.attrs["cycle"] = cycle
            frames.append(frame)
    return frames


def _sweeps(freq: npt.NDArray[np.float64]) -> list[slice]:
    """The sweeps in a run of frequencies, as slices.

    A sweep starts again where the frequency comes back to within the
    tolerance of the sweep's first frequency, after having left it, and
    then moves in the sweep's first direction; a sweep that turns and
    passes its start going the other way goes on. Repeated frequencies
    count as one.
    """
    steps = np.diff(freq)
    if freq.size < 3 or (steps <= 0).all() or (steps >= 0).all():
        return [slice(None)]  # a sweep that never turns never comes back
    keep = np.flatnonzero(np.concatenate(([True], freq[1:] != freq[:-1])))
    f = freq[keep]
    step = np.sign(np.diff(f))
    near: dict[float, npt.NDArray[np.intp]] = {}  # rows close to a start frequency
    starts = [0]
    start = 0
    while start < step.size:
        tol = SWEEP_RESTART_TOLERANCE * abs(f[start])
        left = _first_far(f, start, tol)
        if left is None:
            break
        if f[start] not in near:
            near[f[start]] = np.flatnonzero(abs(f[: step.size] - f[start]) <= tol)
        close = near[f[start]]
        restart = None
        for c in close[np.searchsorted(close, left) :].tolist():
            if step[c] == step[start]:  # else a pass going the other way
                restart = c
                break
        if restart is None:
            break
        starts.append(int(keep[restart]))
        start = restart
    bounds = [*starts, freq.size]
    return [slice(a, b) for a, b in zip(bounds, bounds[1:])]


def _first_far(f: npt.NDArray[np.float64], start: int, tol: float) -> int | None:
    """The first row after ``start`` further than ``tol`` from its frequency.

    Searched in windows that double, so the cost is that of the distance.
    """
    pos, width = start + 1, 16
    while pos < f.size:
        hit = np.flatnonzero(abs(f[pos : pos + width] - f[start]) > tol)
        if hit.size:
            return pos + int(hit[0])
        pos, width = pos + width, 2 * width
    return None


# -- binary and container formats (readers/_registry.py) --------------------


def _binary_spectra(name: str, fmt: str, tables: list[Table]) -> list[Any]:
    """The frames of tables a binary or container reader found; rows, not lines, are counted."""
    frames = []
    for table in tables:
        try:
            frames += _frames(table)
        except FormatError as err:
            where = [f"sheet {table.attrs['sheet']!r}"] if "sheet" in table.attrs else []
            where += [f"row {err.line}"] if err.line else []
            place = "".join(f"{w}: " for w in where)
            raise ValueError(f"{name} (read as {fmt}): {place}{err.message}") from None
    kept = [f for f in frames if len(f)]
    if not kept:
        raise ValueError(f"{name}: no impedance rows: every row has frequency 0 and impedance 0")
    for i, frame in enumerate(kept):
        frame.attrs.update(source=name, format=fmt, spectrum=i)
    return kept
