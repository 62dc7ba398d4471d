"""Small dense linear algebra on one BLAS thread.

The analyses factor and multiply matrices of a few dozen to a few hundred
rows, thousands of times per call. OpenBLAS hands each such call to all its
threads, and on a busy machine every hand-over waits for a core: a 60-point
DRT took 24 ms on one thread and 210 ms (worst 20 s) on two threads of a
loaded two-core machine. Work this small never gains from more threads, so
the public analyses run with the BLAS pools limited to one thread and restore
them on return. The limit is process-wide while it holds (BLAS has no
per-thread setting); it changes speed only, never a result.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any, ParamSpec, TypeVar

_P = ParamSpec("_P")
_R = TypeVar("_R")

_controller: Any = None


def _limit() -> Any:
    # The controller lists the BLAS libraries loaded when it is made; it is made
    # on first use, after NumPy and SciPy have loaded theirs (~2 ms once, then
    # ~10 µs per limit).
    global _controller
    if _controller is None:
        from threadpoolctl import ThreadpoolController

        _controller = ThreadpoolController()
    return _controller.limit(limits=1, user_api="blas")


def one_blas_thread(function: Callable[_P, _R]) -> Callable[_P, _R]:
    """Run ``function`` with the BLAS thread pools limited to one thread."""

    @functools.wraps(function)
    def wrapper(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        with _limit():
            return function(*args, **kwargs)

    return wrapper
