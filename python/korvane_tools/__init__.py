"""Everyday tools around the :mod:`korvane` fit.

Readers for instrument exports, data checks, Kramers–Kronig validation,
the distribution of relaxation times and Z-HIT, plots, readable reports, constrained fits, saving and loading, and batches of
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

from ._version import package_version as _package_version

__version__ = _package_version()  # pyproject.toml's, via the installed metadata

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
    "UnsupportedFormatError": "readers._registry",
    "spectrum": "_data",
    # data checks
    "check": "checks",
    "clean": "checks",
    "CheckReport": "checks",
    # validation
    "lin_kk": "kk",
    "LinKKResult": "kk",
    "z_hit": "analysis.zhit",
    "ZHitResult": "analysis.zhit",
    # distribution of relaxation times
    "drt": "analysis.drt",
    "DRTResult": "analysis.drt",
    # plots
    "plot_nyquist": "plotting",
    "plot_bode": "plotting",
    "plot_residuals": "plotting",
    "plot_fit": "plotting",
    "plot_lin_kk": "plotting",
    "plot_drt": "analysis.plots",
    "plot_zhit": "analysis.plots",
    # reports
    "report": "reporting",
    "Report": "reporting",
    # constrained fits
    "fit": "constrained",
    "ConstrainedFitResult": "constrained",
    "FitLike": "_types",
    # is the model more than the data carry?
    "compare": "comparison",
    # circuit strings, saving and loading
    "circuit_string": "serial",
    "save": "serial",
    "load": "serial",
    # many spectra
    "fit_many": "batch",
}

# Spelled out (not sorted(_EXPORTS)) so static checkers can read it; a test
# holds it equal to the table.
__all__ = [
    "CheckReport",
    "ConstrainedFitResult",
    "DRTResult",
    "FitLike",
    "LinKKResult",
    "Report",
    "UnsupportedFormatError",
    "ZHitResult",
    "check",
    "circuit_string",
    "clean",
    "compare",
    "drt",
    "fit",
    "fit_many",
    "lin_kk",
    "load",
    "plot_bode",
    "plot_drt",
    "plot_fit",
    "plot_lin_kk",
    "plot_nyquist",
    "plot_residuals",
    "plot_zhit",
    "read",
    "read_spectra",
    "report",
    "save",
    "spectrum",
    "z_hit",
]

if TYPE_CHECKING:  # static checkers see the real definitions
    from ._data import spectrum as spectrum
    from ._types import FitLike as FitLike
    from .analysis.drt import DRTResult as DRTResult
    from .analysis.drt import drt as drt
    from .analysis.plots import plot_drt as plot_drt
    from .analysis.plots import plot_zhit as plot_zhit
    from .analysis.zhit import ZHitResult as ZHitResult
    from .analysis.zhit import z_hit as z_hit
    from .batch import fit_many as fit_many
    from .checks import CheckReport as CheckReport
    from .checks import check as check
    from .checks import clean as clean
    from .comparison import compare as compare
    from .constrained import ConstrainedFitResult as ConstrainedFitResult
    from .constrained import fit as fit
    from .io import read as read
    from .io import read_spectra as read_spectra
    from .kk import LinKKResult as LinKKResult
    from .kk import lin_kk as lin_kk
    from .plotting import plot_bode as plot_bode
    from .plotting import plot_fit as plot_fit
    from .plotting import plot_lin_kk as plot_lin_kk
    from .plotting import plot_nyquist as plot_nyquist
    from .plotting import plot_residuals as plot_residuals
    from .readers._registry import UnsupportedFormatError as UnsupportedFormatError
    from .reporting import Report as Report
    from .reporting import report as report
    from .serial import circuit_string as circuit_string
    from .serial import load as load
    from .serial import save as save


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'korvane_tools' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value  # later lookups skip this hook
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_EXPORTS))
