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
from pathlib import Path
from typing import Any

import numpy as np

from .readers._columns import Table, columns_of
from .readers._formats import BY_NAME, FORMATS, Format, sniff, suggested_by
from .readers._registry import read_bytes
from .readers._text import FormatError, decode, split_lines

_CYCLE = "Cycle Count / 1"

#: Accepted ``format=`` names besides those of the format table.
_ALIASES = {"ec-lab": "biologic", "zview": "zplot", "nova": "autolab", "ch": "chi",
            "tsv": "csv", "text": "csv", "bdf": "csv"}  # fmt: skip


def read(path: str | os.PathLike[str], format: str | None = None) -> Any:
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
        ZCURVE tables are several spectra.
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
        a cycle column.

    For every format: UTF-8, Latin-1 and UTF-16 with a byte-order mark are
    read, line ends may be ``\\n``, ``\\r\\n`` or ``\\r``, and with tab,
    semicolon or blank separators a comma inside a number is its decimal
    separator. Impedance from modulus and phase is |Z|·exp(j·phase) when
    the file has no real and imaginary columns. The only rows left out are
    those with frequency 0 and both impedance parts 0: exporters write them
    for the DC steps logged in the same table (Parstat); they are counted in
    ``attrs["skipped_rows"]``.

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
    spectra = read_spectra(path, format)
    if len(spectra) != 1:
        raise ValueError(
            f"{os.fspath(path)} holds {len(spectra)} spectra; "
            "korvane_tools.read_spectra(path) returns them as a list"
        )
    return spectra[0]


def read_spectra(path: str | os.PathLike[str], format: str | None = None) -> list[Any]:
    """Every spectrum in an instrument file, as a list of BDF DataFrames.

    For multi-cycle exports (BioLogic ``cycle number``, a "Cycle Count / 1"
    column, several Gamry ``ZCURVE`` tables, several VersaStudio segments,
    a names line repeated in delimited text). Each frame's
    ``attrs["spectrum"]`` is its position in the file and, for cycles,
    ``attrs["cycle"]`` the cycle value. Formats, signs and errors as for
    :func:`read`.
    """
    name = os.fspath(path)
    raw = Path(path).read_bytes()
    binary = read_bytes(name, raw, format)
    if binary is not None:
        return _binary_spectra(name, binary[0].name, binary[1])
    text = decode(raw)
    if not text.strip():
        raise ValueError(f"{name}, line 1: expected an impedance table, found an empty file")
    lines = split_lines(text)
    fmt = _format(format, lines)
    try:
        tables = fmt.parse(lines)
        frames = [f for t in tables for f in _frames(t)]
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


def _format(format: str | None, lines: list[str]) -> Format:
    if format is None:
        return sniff(lines)
    key = _ALIASES.get(format.lower(), format.lower())
    if key not in BY_NAME:
        names = ", ".join(repr(f.name) for f in FORMATS)
        raise ValueError(f"unknown format {format!r}; expected one of {names} or None")
    return BY_NAME[key]


def _frames(table: Table) -> list[Any]:
    """One frame per cycle of the table, rows in file order within each."""
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    columns = columns_of(table)
    cycles = columns.get(_CYCLE)
    if cycles is not None and np.all(cycles == np.round(cycles)):
        columns[_CYCLE] = cycles = cycles.astype(np.int64)
    groups: list[tuple[Any, Any]] = [(None, slice(None))]
    if cycles is not None and np.unique(cycles).size > 1:
        _, first = np.unique(cycles, return_index=True)
        groups = [(cycles[i].item(), cycles == cycles[i]) for i in np.sort(first)]
    frames = []
    for cycle, rows in groups:
        frame = pd.DataFrame({k: v[rows] for k, v in columns.items()})
        frame.attrs.update(table.attrs)
        if cycle is not None:
            frame.attrs["cycle"] = cycle
        frames.append(frame)
    return frames


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
