# Native half of korvane_tools (src/python_tools/native_module.cpp).
from collections.abc import Callable, Sequence
from typing import Any

def fit(
    circuit_state: tuple[Any, ...],
    data: tuple[Any, Any],
    fit_kwargs: dict[str, Any],
    fixed: Sequence[float | None] | None,
    lower_bounds: Sequence[float] | None,
    upper_bounds: Sequence[float] | None,
    sigma_re: Any,
    sigma_im: Any,
    warn: Callable[[str], None],
    /,
) -> tuple[list[float], list[float] | None, bool, int, int, float, float]: ...
def _cancel_fits(on: bool, /) -> None: ...
