"""One reading of "measured data" for every tool.

Users hold spectra in three shapes: a Battery Data Format frame (pandas,
polars, or a dict of columns, as ``korvane.Circuit.fit`` reads it), a
``(frequencies, impedances)`` pair, or a frame with the short spellings
instruments and other tools use (``freq``/``zreal``/``zimag``). All tools go
through :func:`spectrum` so they accept the same things and refuse the rest
with the same words.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _native

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

#: What the tools accept as measured data: a dataframe (any object with
#: ``columns`` and item lookup, or a mapping) or a (frequencies, impedances)
#: pair. Typed loosely on purpose: pandas, polars and dicts share no base.
Data = Any

# The Battery Data Format spellings korvane reads, from the core's one table
# of them: {role: (human, snake)}.
_CORE_SPELLINGS: dict[str, tuple[str, ...]] = _native._column_spellings()

#: Column spellings per role ("frequency", "real", "imag", "modulus",
#: "phase"), first match wins. The core's spellings come first, so a frame is
#: read exactly as ``Circuit.fit`` reads it; the short ones after them are
#: what other tools and hand-made frames use. Companion code that recognises
#: more spellings extends these tuples rather than keeping its own table.
#: "-Z''"-style columns are *not* here: a negated imaginary part must be said
#: explicitly, never guessed.
COLUMN_SPELLINGS: dict[str, tuple[str, ...]] = {
    "frequency": (*_CORE_SPELLINGS["frequency"], "freq", "frequency", "f", "Freq", "Frequency"),
    "real": (*_CORE_SPELLINGS["real"], "zreal", "z_real", "Zreal", "Z'", "re_z", "Re(Z)"),
    "imag": (*_CORE_SPELLINGS["imag"], "zimag", "z_imag", "Zimag", "Z''", "im_z", "Im(Z)"),
    "modulus": (*_CORE_SPELLINGS["modulus"], "zmod", "|Z|"),
    "phase": (*_CORE_SPELLINGS["phase"], "zphase", "phase"),
}

_RADIANS_PER_DEGREE = 0.017453292519943295  # π/180 rounded, as the core has it

# The earlier private name, still read by checks.py.
_SPELLINGS = COLUMN_SPELLINGS

# The spelling a frame written by these tools uses for each role.
FREQUENCY = COLUMN_SPELLINGS["frequency"][0]
REAL = COLUMN_SPELLINGS["real"][0]
IMAG = COLUMN_SPELLINGS["imag"][0]
MODULUS = COLUMN_SPELLINGS["modulus"][0]
PHASE = COLUMN_SPELLINGS["phase"][0]


def _columns(frame: Any) -> list[str]:
    if isinstance(frame, Mapping):
        return [str(k) for k in frame.keys()]
    cols = getattr(frame, "columns", None)
    if cols is None:
        return []
    return [str(c) for c in cols]


def _column(frame: Any, role: str, names: list[str]) -> FloatArray | None:
    for spelling in COLUMN_SPELLINGS[role]:
        if spelling in names:
            values = frame[spelling]
            to_numpy = getattr(values, "to_numpy", None)  # pandas and polars series
            raw = to_numpy() if callable(to_numpy) else values
            try:
                return np.asarray(raw, dtype=np.float64)
            except (TypeError, ValueError):
                raise ValueError(f"column {spelling!r} is not numeric") from None
    return None


def _from_frame(frame: Any) -> tuple[FloatArray, ComplexArray]:
    names = _columns(frame)
    f = _column(frame, "frequency", names)
    if f is None:
        raise ValueError(
            f"no frequency column: expected {FREQUENCY!r} (or freq, frequency, f); "
            f"the frame has {names}"
        )
    re, im = _column(frame, "real", names), _column(frame, "imag", names)
    if re is not None and im is not None:
        if re.shape != im.shape:
            raise ValueError(
                f"real and imaginary columns differ in length ({re.size} and {im.size})"
            )
        z = _complex(re, im)
    else:
        mod, ph = _column(frame, "modulus", names), _column(frame, "phase", names)
        if mod is None or ph is None:
            raise ValueError(
                f"no impedance columns: expected {REAL!r} with {IMAG!r} "
                f"(or zreal/zimag), or {MODULUS!r} with {PHASE!r}; the frame has {names}"
            )
        if mod.shape != ph.shape:
            raise ValueError(
                f"modulus and phase columns differ in length ({mod.size} and {ph.size})"
            )
        # The core's arithmetic, so both read a polar frame to the same bits.
        phi = ph * _RADIANS_PER_DEGREE
        z = _complex(mod * np.cos(phi), mod * np.sin(phi))
    return f, z


def _complex(re: FloatArray, im: FloatArray) -> ComplexArray:
    """re + i·im part by part (re + 1j*im would turn an infinite im into a NaN re)."""
    z = np.empty(re.shape, dtype=np.complex128)
    z.real = re
    z.imag = im
    return z


def spectrum(data: Data) -> tuple[FloatArray, ComplexArray]:
    """Measured data as ``(frequencies, impedances)``: float64 Hz, complex128 ohm.

    ``data`` is a dataframe (pandas, polars or a mapping of columns) with the
    Battery Data Format columns or their common short spellings, or a pair
    ``(frequencies, impedances)``. Rows are kept as given: nothing is dropped,
    sorted or sign-flipped (see :func:`korvane_tools.check` for that).
    """
    f, z = spectrum_parts(data)
    if f.shape != z.shape:
        raise ValueError(f"frequencies and impedances differ in length ({f.size} and {z.size})")
    return f, z


def spectrum_parts(data: Data) -> tuple[FloatArray, ComplexArray]:
    """Like :func:`spectrum`, but frequencies and impedances may differ in length.

    For :func:`korvane_tools.check`, which reports a length mismatch as a
    finding instead of stopping at it.
    """
    if isinstance(data, tuple) and len(data) == 2:
        f = np.asarray(data[0], dtype=np.float64)
        z = np.asarray(data[1], dtype=np.complex128)
        if f.ndim != 1 or z.ndim != 1:
            raise ValueError("frequencies and impedances must be one-dimensional")
        return f, z
    if isinstance(data, (str, bytes)) or (
        isinstance(data, Sequence) and not isinstance(data, Mapping)
    ):
        raise TypeError(
            f"expected a dataframe or a (frequencies, impedances) pair, got {type(data).__name__}"
        )
    if not _columns(data):
        raise TypeError(
            f"expected a dataframe or a (frequencies, impedances) pair, got {type(data).__name__}"
        )
    return _from_frame(data)


def to_frame(frequencies: npt.ArrayLike, impedances: npt.ArrayLike) -> Any:
    """A BDF pandas DataFrame from two arrays, the form ``Circuit.fit`` reads."""
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    z = np.asarray(impedances, dtype=np.complex128)
    return pd.DataFrame(
        {
            FREQUENCY: np.asarray(frequencies, dtype=np.float64),
            REAL: z.real.copy(),
            IMAG: z.imag.copy(),
        }
    )


def require_fittable(frequencies: FloatArray, impedances: ComplexArray) -> None:
    """Raise ``ValueError`` for data that can only give a NaN fit.

    A fit of such data would end with every parameter NaN and
    ``success=False``; saying which rows are at fault is more use.
    """
    if frequencies.shape != impedances.shape:
        raise ValueError(
            f"frequencies and impedances differ in length ({frequencies.size} and "
            f"{impedances.size})"
        )
    if frequencies.size == 0:
        raise ValueError("no measured points")
    bad_f = np.flatnonzero(~(np.isfinite(frequencies) & (frequencies > 0)))
    if bad_f.size:
        raise ValueError(
            f"{bad_f.size} frequencies are not positive and finite (rows {_rows(bad_f)}); "
            "korvane_tools.clean(data) removes them"
        )
    bad_z = np.flatnonzero(~(np.isfinite(impedances.real) & np.isfinite(impedances.imag)))
    if bad_z.size:
        raise ValueError(
            f"{bad_z.size} impedances are not finite (rows {_rows(bad_z)}); "
            "korvane_tools.clean(data) removes them"
        )


def _rows(index: npt.NDArray[np.intp], most: int = 5) -> str:
    shown = ", ".join(str(int(i)) for i in index[:most])
    return shown + (", …" if index.size > most else "")
