"""Everyday tools around the :mod:`korvane` fit.

Readers for instrument exports, data checks, Kramers–Kronig validation,
plots, readable reports, constrained fits, saving and loading, and batches of
many spectra. Conventions throughout: frequencies in hertz, impedances in ohm
with the physics sign (the imaginary part is negative for a capacitive arc),
NumPy arrays and pandas DataFrames in and out.

Submodules are imported on first use, so ``import korvane_tools`` stays cheap
and matplotlib, Dask and tqdm are needed only by the functions that use them.
"""

from __future__ import annotations

import importlib
import pkgutil
from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

# The native half (korvane_tools._native) is installed inside this package.
# In a development tree it is built into <build dir>/korvane_tools/ instead;
# with that build directory on sys.path (as it must be for ``import korvane``)
# this finds it there. A no-op for an installed package.
__path__ = pkgutil.extend_path(__path__, __name__)

# Public name -> submodule that defines it. One table, so adding a tool is one
# line here and the lazy import below needs no other bookkeeping.
_EXPORTS: dict[str, str] = {
    # data in
    "read": "io",
    "read_spectra": "io",
    "spectrum": "_data",
    # data checks
    "check": "checks",
    "clean": "checks",
    "CheckReport": "checks",
    # validation
    "lin_kk": "kk",
    "LinKKResult": "kk",
    # plots
    "plot_nyquist": "plotting",
    "plot_bode": "plotting",
    "plot_residuals": "plotting",
    "plot_fit": "plotting",
    "plot_lin_kk": "plotting",
    # reports
    "report": "report",
    "Report": "report",
    # constrained fits
    "fit": "constrained",
    "ConstrainedFitResult": "constrained",
    # circuit strings, saving and loading
    "circuit_string": "serial",
    "save": "serial",
    "load": "serial",
    # many spectra
    "fit_many": "batch",
}

__all__ = sorted(_EXPORTS)

if TYPE_CHECKING:  # static checkers see the real definitions
    from ._data import spectrum
    from .batch import fit_many
    from .checks import CheckReport, check, clean
    from .constrained import ConstrainedFitResult, fit
    from .io import read, read_spectra
    from .kk import LinKKResult, lin_kk
    from .plotting import plot_bode, plot_fit, plot_lin_kk, plot_nyquist, plot_residuals
    from .report import Report, report
    from .serial import circuit_string, load, save


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'korvane_tools' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value  # later lookups skip this hook
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_EXPORTS))
