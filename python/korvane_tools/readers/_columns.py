"""From a table of text fields to Battery Data Format frames.

Every format parser ends in a :class:`Table`: column names as the file
spells them, and the rows as text fields with their line numbers. This
module recognises the columns by their common spellings, reads the numbers
(naming the line of any that is not one), applies signs and units, and cuts
multi-cycle tables into one frame per spectrum.

Sign rule, the same for every format: a column is taken with its stored
sign, except that a name written with a leading minus ("-Z''", "-Im(Z)",
"-Phase") holds the negated quantity and is negated back. Nothing else
flips a sign.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any

import numpy as np
import numpy.typing as npt

from .._data import FREQUENCY, IMAG, MODULUS, PHASE, REAL
from ._text import FormatError, decimal_comma, number

FloatArray = npt.NDArray[np.float64]


@dataclass
class Table:
    """One block of rows as the file holds it.

    ``names`` is None for a file without a header line. ``declared`` is the
    row count the file announces, when it does, so a cut-off file is told
    from a short measurement. A large well-formed table arrives already as
    numbers, as does every binary table: ``block`` holds its columns
    (``rows`` is then empty) and ``block_line`` is the line of its first row.
    """

    names: list[str] | None
    header_line: int
    rows: list[tuple[int, list[str]]]
    sep: str
    declared: int | None = None
    attrs: dict[str, Any] = field(default_factory=dict)
    block: list[FloatArray] | None = None
    block_line: int = 0

    @property
    def first_line(self) -> int:
        """The line of the first data row."""
        return self.block_line if self.block is not None else self.rows[0][0]

    def __len__(self) -> int:
        return len(self.block[0]) if self.block is not None else len(self.rows)


# Roles and their spellings, compared after _base() has lowered the case and
# removed blanks, underscores and the unit. The output names of the optional
# roles follow the Battery Data Format.
_SPELLINGS: dict[str, frozenset[str]] = {
    "frequency": frozenset({"f", "freq", "frequency", "frequencyhertz"}),
    "real": frozenset(
        {"z'", "zreal", "zre", "zr", "re(z)", "rez", "real", "realimpedance", "realimpedanceohm"}
    ),
    "imag": frozenset(
        {
            "z''",
            "zimag",
            "zimg",
            "zim",
            "zi",
            "im(z)",
            "imz",
            "imag",
            "imaginary",
            "imaginaryimpedance",
            "imaginaryimpedanceohm",
        }  # fmt: skip
    ),
    "modulus": frozenset(
        {
            "|z|",
            "z",
            "zmod",
            "zabs",
            "mod(z)",
            "abs(z)",
            "absoluteimpedance",
            "absoluteimpedanceohm",
        }  # fmt: skip
    ),
    "phase": frozenset(
        {"phase", "phase(z)", "theta", "theta(z)", "zphz", "zphase", "phaseangle", "phasedegree"}
    ),
    "time": frozenset({"time", "t", "elapsedtime", "testtime", "testtimesecond"}),
    "cycle": frozenset({"cycle", "cyclenumber", "cyclecount", "cycleno"}),
    "current": frozenset({"<i>", "i", "idc", "current", "currentampere"}),
    "voltage": frozenset({"<ewe>", "ewe", "e", "vdc", "voltage", "potential", "voltagevolt"}),
}

# Gamry writes drift-corrected impedance columns beside the raw ones
# ("ZrealDrCor"); a spelling with this ending is the corrected twin of its role.
_DRIFT = "drcor"
_DRIFT_ROLES = ("real", "imag", "modulus", "phase")

# Roles the spectrum is built from: a doubt about any of them is an error.
_IMPEDANCE_ROLES = ("frequency", "real", "imag", "modulus", "phase")

OPTIONAL_NAMES: dict[str, str] = {
    "modulus": MODULUS,
    "phase": PHASE,
    "time": "Test Time / s",
    "cycle": "Cycle Count / 1",
    "current": "Current / A",
    "voltage": "Voltage / V",
}

_OUTPUT = {"frequency": FREQUENCY, "real": REAL, "imag": IMAG, **OPTIONAL_NAMES}

_PREFIX = {"p": 1e-12, "n": 1e-9, "u": 1e-6, "µ": 1e-6, "μ": 1e-6, "m": 1e-3, "": 1.0,
           "k": 1e3, "K": 1e3, "M": 1e6, "G": 1e9}  # fmt: skip

# Unit symbols per role (lower case) with the factor to the output unit.
_UNITS: dict[str, dict[str, float]] = {
    "frequency": {"hz": 1.0},
    "real": {"ohm": 1.0, "ohms": 1.0, "ω": 1.0},
    "phase": {"deg": 1.0, "degree": 1.0, "degrees": 1.0, "°": 1.0, "rad": 180.0 / math.pi},
    "time": {"s": 1.0, "sec": 1.0, "min": 60.0, "h": 3600.0},
    "cycle": {"1": 1.0, "#": 1.0},
    "current": {"a": 1.0},
    "voltage": {"v": 1.0},
}
_UNITS["imag"] = _UNITS["modulus"] = _UNITS["real"]
_PREFIXED = ("frequency", "real", "imag", "modulus", "current", "voltage")


@dataclass(frozen=True)
class Column:
    """A recognised column: where it is and how its numbers become the role's."""

    role: str
    index: int
    name: str
    factor: float  # sign times unit factor


def _split_unit(name: str) -> tuple[str, str | None]:
    """``"Re(Z)/Ohm"`` -> ``("Re(Z)", "Ohm")``; ``"Freq (Hz)"`` -> ``("Freq", "Hz")``."""
    if "/" in name:
        base, unit = name.rsplit("/", 1)
        return base, unit.strip()
    match = re.fullmatch(r"(.*?)\s*[(\[]([^()\[\]]*)[)\]]", name)
    if match and match.group(1) and _any_unit(match.group(2)):
        return match.group(1), match.group(2).strip()
    return name, None


def _any_unit(text: str) -> bool:
    return any(_unit_factor(role, text) is not None for role in _UNITS)


def _unit_factor(role: str, unit: str) -> float | None:
    text = unit.strip().replace(" ", "")
    units = _UNITS.get(role, {})
    if text.lower() in units:
        return units[text.lower()]
    if role in _PREFIXED and len(text) > 1 and text[0] in _PREFIX:
        return _PREFIX[text[0]] * units[text[1:].lower()] if text[1:].lower() in units else None
    return None


def _base(name: str) -> tuple[str, float]:
    """Spelling key and sign of a column name without its unit."""
    key = name.strip().lower()
    for quote, plain in (("’", "'"), ("′", "'"), ("″", "''"), ('"', "''")):
        key = key.replace(quote, plain)
    key = re.sub(r"[\s_]", "", key)
    if key[:1] in ("-", "\u2212"):
        return key[1:], -1.0
    return key, 1.0


def recognise(
    names: list[str], header_line: int, drift_corrected: bool = False
) -> dict[str, Column]:
    """The role columns among ``names``; the first column of an optional role wins.

    Two columns for one role that the impedance is built from would make the
    choice a guess, so that is refused. Drift-corrected columns ("ZrealDrCor")
    are read in place of the raw ones with ``drift_corrected``, else left out.
    """
    found: dict[str, Column] = {}
    for index, raw in enumerate(names):
        base, unit = _split_unit(raw.strip())
        key, sign = _base(base)
        drift = key.endswith(_DRIFT) and len(key) > len(_DRIFT)
        if drift:
            key = key[: -len(_DRIFT)]
        role = next((r for r, keys in _SPELLINGS.items() if key in keys), None)
        if (
            role is None
            or (drift or drift_corrected and role in _DRIFT_ROLES)
            and (role not in _DRIFT_ROLES or drift != drift_corrected)
        ):
            continue
        factor = 1.0 if unit is None else _unit_factor(role, unit)
        if factor is None:
            if role in _IMPEDANCE_ROLES:
                raise FormatError(
                    header_line,
                    f"column {raw!r}: unit {unit!r} not understood "
                    f"(expected {', '.join(sorted(_UNITS[role]))} with an optional prefix)",
                )
            continue  # an optional column in an unknown unit is not worth a refusal
        if role in found:
            if role in _IMPEDANCE_ROLES:
                raise FormatError(
                    header_line,
                    f"two {role} columns, {found[role].name!r} and {raw!r}: "
                    "cannot tell which to read",
                )
            continue
        found[role] = Column(role, index, raw, sign * factor)
    return found


def names_columns(names: list[str]) -> bool:
    """Whether ``names`` looks like a names line: it names a frequency column."""
    try:
        return "frequency" in recognise(names, 0)
    except FormatError:
        return True  # names known roles, if ambiguously: let the reading say so


def prefixed(names: list[str] | None) -> bool:
    """Whether a recognised column has a unit prefix ("kOhm"), whose values
    are scaled from their digits as written, so need the text of the rows."""
    try:
        found = recognise(names, 0) if names else {}
    except FormatError:
        return True
    return any(_shift(c.factor) for c in found.values())


def _shift(factor: float) -> int:
    """k when ``factor`` is ±10**k (a unit prefix), else 0."""
    power = math.log10(abs(factor))
    return round(power) if power == round(power) else 0


def drift_columns(names: list[str] | None) -> list[str]:
    """The drift-corrected impedance columns among ``names``."""
    out = []
    for name in names or []:
        key = _base(_split_unit(name.strip())[0])[0]
        stem = key[: -len(_DRIFT)]
        if key.endswith(_DRIFT) and any(stem in _SPELLINGS[r] for r in _DRIFT_ROLES):
            out.append(name)
    return out


def _values(table: Table, column: Column, width: int) -> FloatArray:
    if column.index >= width:
        raise FormatError(
            table.header_line,
            f"column {column.name!r} is number {column.index + 1} but the rows hold {width} values",
        )
    comma = decimal_comma(table.sep)
    shift = _shift(column.factor)
    exact = shift != 0  # a prefix: move the decimal point
    if table.block is not None:
        values = table.block[column.index]
        if exact:
            moved = _moved(values, shift)
            return moved if column.factor > 0 else -moved
        return values if column.factor == 1 else values * column.factor
    out = np.empty(len(table.rows))
    for i, (line, parts) in enumerate(table.rows):
        text = parts[column.index]
        value = number(text, comma)
        if value is None:
            raise FormatError(
                line, f"expected a number in column {column.name!r}, found {text[:60]!r}"
            )
        if exact and math.isfinite(value):
            # "7.95773e-05" kOhm becomes 0.0795773 ohm, the number as written
            # with its point moved, not 7.95773e-05 * 1e3 = 0.07957729999999999.
            digits = text.strip().replace(",", ".").replace("\u2212", "-")
            try:
                value = float(Decimal(digits).scaleb(shift))
            except ArithmeticError:  # an exponent beyond Decimal's range: 0 or inf anyway
                value = value * 10.0**shift
            out[i] = value if column.factor > 0 else -value
        else:
            out[i] = value * column.factor
    return out


def _moved(values: FloatArray, shift: int) -> FloatArray:
    """Stored numbers with the decimal point of their shortest text moved ``shift`` places.

    The value a text file holding that shortest text would give (see
    ``_values``); ``values * 10.0**shift`` differs in the last bit for about
    one value in six. Only a block of stored numbers (a binary file) comes
    here: the digits of a text file are read from its rows.
    """
    out = values * 10.0**shift  # inf and nan as they are
    finite = np.flatnonzero(np.isfinite(values))
    out[finite] = [float(Decimal(repr(v)).scaleb(shift)) for v in values[finite].tolist()]
    return out


def _positional(table: Table, width: int) -> dict[str, Column]:
    """Columns of a file without header: frequency, real and imaginary part."""
    if width != 3:
        raise FormatError(
            table.first_line,
            f"expected a header line naming the columns, or exactly three columns "
            f"(frequency / Hz, real / ohm, imaginary / ohm); found {width} unnamed columns",
        )
    roles = ("frequency", "real", "imag")
    return {r: Column(r, i, f"column {i + 1}", 1.0) for i, r in enumerate(roles)}


def _check_shape(table: Table) -> int:
    if table.block is not None:
        return len(table.block)
    if table.declared is not None and table.declared != len(table.rows):
        last = table.rows[-1][0] if table.rows else table.header_line
        raise FormatError(
            last,
            f"expected {table.declared} data rows as the file announces, found "
            f"{len(table.rows)} (is the file cut off?)",
        )
    if not table.rows:
        raise FormatError(table.header_line, "expected data rows after the header, found none")
    first, width = table.rows[0][0], len(table.rows[0][1])
    for line, parts in table.rows:
        if len(parts) != width:
            raise FormatError(
                line, f"expected {width} values as on line {first}, found {len(parts)}"
            )
    return width


def columns_of(table: Table, drift_corrected: bool = False) -> dict[str, FloatArray]:
    """The table's role columns as numbers: BDF name -> values, in row order.

    Rows that carry no impedance at all (frequency 0 with both parts 0,
    which exporters write for the DC steps of an experiment) are left out;
    ``table.attrs["skipped_rows"]`` counts them. Drift-corrected columns
    present are listed in ``table.attrs["drift_corrected"]`` with whether
    they were read.
    """
    width = _check_shape(table)
    drift = drift_columns(table.names)
    if drift_corrected and not drift:
        raise FormatError(
            table.header_line,
            "expected drift-corrected impedance columns (ZrealDrCor, ZimagDrCor) "
            "as drift_corrected=True asks; the header has none",
        )
    if drift:
        table.attrs["drift_corrected"] = {"columns": drift, "read": drift_corrected}
    if table.names is None:
        cols = _positional(table, width)
    else:
        cols = recognise(table.names, table.header_line, drift_corrected)
        if "frequency" not in cols:
            raise FormatError(
                table.header_line,
                f"expected a frequency column (freq, frequency, f); the header names "
                f"{', '.join(repr(n) for n in table.names)}",
            )
        if not ({"real", "imag"} <= cols.keys() or {"modulus", "phase"} <= cols.keys()):
            raise FormatError(
                table.header_line,
                "expected impedance columns: real and imaginary part (Z' and Z'', "
                "Zreal and Zimag, Re(Z) and -Im(Z)) or modulus and phase (|Z| and "
                f"phase); the header names {', '.join(repr(n) for n in table.names)}",
            )
        if width != len(table.names):
            raise FormatError(
                table.first_line,
                f"rows hold {width} values but the header on line {table.header_line} "
                f"names {len(table.names)} columns, so values cannot be matched to names",
            )
    values = {role: _values(table, col, width) for role, col in cols.items()}
    out: dict[str, FloatArray] = {FREQUENCY: values["frequency"]}
    if "real" in values and "imag" in values:
        out[REAL], out[IMAG] = values["real"], values["imag"]
    else:
        with np.errstate(invalid="ignore", over="ignore"):  # inf or nan as written: kept
            z = values["modulus"] * np.exp(1j * np.deg2rad(values["phase"]))
        out[REAL], out[IMAG] = z.real.copy(), z.imag.copy()
    for role, name in OPTIONAL_NAMES.items():
        if role in values:
            out[name] = values[role]
    table.attrs["columns"] = {
        _OUTPUT[r]: c.name + (" (negated)" if c.factor < 0 else "") for r, c in cols.items()
    }
    empty = (out[FREQUENCY] == 0) & (out[REAL] == 0) & (out[IMAG] == 0)
    table.attrs["skipped_rows"] = int(empty.sum())
    if not table.attrs["skipped_rows"]:
        return out
    return {k: v[~empty] for k, v in out.items()}
