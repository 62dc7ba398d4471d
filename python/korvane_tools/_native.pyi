# Native half of korvane_tools (src/python_tools/native_module.cpp).
from collections.abc import Callable, Sequence
from typing import Any, final

import korvane

@final
class FitOutcome:
    @property
    def params(self) -> list[float]: ...
    @property
    def stderr(self) -> list[float] | None: ...
    @property
    def success(self) -> bool: ...
    @property
    def iterations(self) -> int: ...
    @property
    def impedance_evals(self) -> int: ...
    @property
    def cost(self) -> float: ...
    @property
    def chi_square(self) -> float: ...

def fit(
    circuit: korvane.Circuit,
    data: tuple[Any, Any],
    fit_kwargs: dict[str, Any],
    fixed: Sequence[float | None] | None,
    lower_bounds: Sequence[float] | None,
    upper_bounds: Sequence[float] | None,
    sigma_re: Any,
    sigma_im: Any,
    warn: Callable[[str], None],
    /,
) -> FitOutcome: ...
def _core_diagnostics() -> dict[str, Any]: ...
def _fit_keywords() -> tuple[tuple[str, str | None], ...]: ...
def _column_spellings() -> dict[str, tuple[str, ...]]: ...
