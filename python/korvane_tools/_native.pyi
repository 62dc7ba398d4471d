# Native half of korvane_tools (src/python_tools/native_module.cpp).
from collections.abc import Iterable, Mapping
from typing import Any

import korvane
import numpy as np
import numpy.typing as npt

def fit(
    circuit: korvane.Circuit,
    data: tuple[Any, Any],
    fit_kwargs: dict[str, Any],
    fixed: Mapping[str, float] | Iterable[str] | None,
    bounds: Mapping[str, tuple[float | None, float | None]] | None,
    sigma_re: Any,
    sigma_im: Any,
    stacklevel: int,
    /,
) -> dict[str, Any] | None: ...
def _core_diagnostics() -> dict[str, Any]: ...
def _fit_keywords() -> tuple[tuple[str, str | None], ...]: ...
def _column_spellings() -> dict[str, tuple[str, ...]]: ...
def _cancel_fits(on: bool, /) -> None: ...
def nnls_gram(
    h: npt.NDArray[np.float64],
    g: npt.NDArray[np.float64],
    free: npt.NDArray[np.bool_],
    x: npt.NDArray[np.float64],
    factor: npt.NDArray[np.float64],
    order: npt.NDArray[np.int64],
    /,
) -> tuple[int, bool]: ...
