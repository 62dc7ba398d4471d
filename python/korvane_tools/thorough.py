"""The thorough fit: the default fit, then a spread of starts, keep the best.

``Circuit.fit``'s multi-start stops at its first plausible run, so the
network's guess decides which minimum the fit ends in. On clean spectra of
the trained topologies that is nearly always the global one; on measured
spectra (other physics than the model, windows that cut arcs, drift) it is
often not, and the fit reports success all the same.

:func:`fit_thorough` runs the default fit and then ``starts`` more fits, each
started from one row of a Latin hypercube in the search coordinates — base-10
logarithm for open (positive, unbounded above) parameters, linear for closed
ones such as CPE exponents:

* two Nelder–Mead runs, from the default fit's starting values (the
  network's guess) and from its optimum: a simplex crosses ridges that stop
  the gradient solver;
* a third of the rest *around* the starting values and the others in a
  hypercube centred on the default fit's optimum, half of them *around* it
  (±``NEAR_DECADES`` for open parameters, ±``NEAR_SHARE`` of the range for
  closed ones: neighbouring basins, such as one arc taking over another's
  resistance) and half *across* the range (±``FAR_DECADES`` for open
  parameters, the whole range less a small margin for closed ones).

Each spread start is an ordinary least-squares fit (``guess_init=False``, so its own
nine-candidate multi-start follows), run on a thread pool shared by the
process: the native fit releases the interpreter lock, so the starts run on
every core. The result is the lowest chi-square; the default fit wins ties,
so a thorough fit is never worse than the default one. The starts depend
only on ``seed`` and the default fit, and the fits are deterministic, so a
given seed gives the same result every time.
"""

from __future__ import annotations

import concurrent.futures as cf
import math
import os
import threading
from collections.abc import Callable
from dataclasses import replace
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from .constrained import ConstrainedFitResult

__all__ = ["fit_thorough", "latin_hypercube_starts"]

#: Starts beside the default fit.
DEFAULT_STARTS = 24
#: Half-width of the "around" starts: decades for open parameters, share of
#: the range for closed ones.
NEAR_DECADES = 1.0
NEAR_SHARE = 0.15
#: Half-width in decades of the "across" starts for open parameters.
FAR_DECADES = 3.0
#: The "across" starts keep this share of the range away from closed bounds,
#: where a start would only be moved back inside.
FAR_MARGIN = 0.02
#: Two runs reached the same minimum when their chi-squares agree to this
#: relative tolerance (the solver stops at ftol = 1e-8).
SAME_MINIMUM_RTOL = 1e-6

_pool: cf.ThreadPoolExecutor | None = None
_pool_lock = threading.Lock()


def _shared_pool() -> cf.ThreadPoolExecutor:
    """One pool per process, so thorough fits inside a batch share its cores.

    Only leaf fits run on it; a thread waiting for its starts is never a pool
    thread, so the pool cannot deadlock on itself.
    """
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = cf.ThreadPoolExecutor(
                max_workers=os.cpu_count() or 1, thread_name_prefix="korvane-thorough"
            )
        return _pool


def latin_hypercube_starts(
    center: np.ndarray,
    bounds: list[tuple[float, float]],
    count: int,
    rng: np.random.Generator,
    *,
    far: bool = True,
) -> np.ndarray:
    """``count`` starting vectors (rows) spread around ``center`` and across ``bounds``.

    One Latin hypercube per half: each parameter's range is cut into as many
    strata as the half has rows, every stratum is used once, and the strata
    are paired at random across parameters. ``far=False``: all rows near.
    """
    n = len(center)
    starts = np.empty((count, n))
    near = (count + 1) // 2 if far else count
    for rows, is_near in ((slice(0, near), True), (slice(near, count), False)):
        m = len(range(count)[rows])
        if m == 0:
            continue
        # u[i, j] in stratum perm_j(i) of [0, 1)
        u = (np.argsort(rng.random((m, n)), axis=0) + rng.random((m, n))) / m
        for j, ((lo, hi), value) in enumerate(zip(bounds, center)):
            if math.isfinite(hi):
                width = hi - lo
                if is_near:
                    a = max(lo, value - NEAR_SHARE * width)
                    b = min(hi, value + NEAR_SHARE * width)
                else:
                    a, b = lo + FAR_MARGIN * width, hi - FAR_MARGIN * width
                starts[rows, j] = a + (b - a) * u[:, j]
            else:
                half = NEAR_DECADES if is_near else FAR_DECADES
                log_value = math.log10(max(value, lo, 1e-300))
                a = max(log_value - half, math.log10(max(lo, 1e-300)))
                b = log_value + half
                starts[rows, j] = 10.0 ** (a + (b - a) * u[:, j])
    return starts


def fit_thorough(
    fit_once: Callable[..., ConstrainedFitResult],
    circuit: Any,
    data: tuple[Any, Any],
    *,
    starts: int = DEFAULT_STARTS,
    **kwargs: Any,
) -> ConstrainedFitResult:
    """The default fit, then ``starts`` spread starts; the best of all.

    ``fit_once`` is a plain :func:`korvane_tools.fit`, ``data`` a
    ``(frequencies, impedances)`` pair and ``kwargs`` the fit's keywords
    (``fixed``, ``bounds``, ``sigma``, ``seed`` and the ``Circuit.fit``
    settings). ``seed`` also draws the starts (None: 0). The result's
    ``starts`` counts every fit tried (the default one included) and
    ``starts_at_best`` those that reached the best chi-square.
    """
    if isinstance(starts, bool) or not isinstance(starts, int) or starts < 0:
        raise ValueError(f"starts must be a non-negative integer, got {starts!r}")
    default = fit_once(circuit, data, **kwargs)
    seed = kwargs.get("seed")
    rng = np.random.default_rng(0 if seed is None else seed)

    names = list(default.params)
    free = [j for j, name in enumerate(names) if name not in default.fixed]
    if not free or starts == 0 or not math.isfinite(default.chi_square):
        return replace(default, starts=1, starts_at_best=1)
    fitted = np.array([default.params[name] for name in names])
    first = _first_values(circuit, data, kwargs, default.bounds)
    bounds = [default.bounds[names[j]] for j in free]

    # A list of fixed names means "hold at the circuit's values"; the starts
    # carry other values, so hold them at the default fit's (equal) values.
    restart_kwargs = dict(kwargs)
    restart_kwargs["guess_init"] = False
    restart_kwargs.pop("weights", None)  # a weight file only serves the guess
    if default.fixed:
        restart_kwargs["fixed"] = {name: default.params[name] for name in default.fixed}

    # Nelder–Mead from the first values and from the default fit: a simplex
    # crosses ridges that stop the gradient solver, at the cost of a few
    # least-squares runs. The Latin-hypercube rows fill the rest.
    derivative_free: list[tuple[np.ndarray, str | None]] = [
        (first, "nelder_mead"),
        (fitted, "nelder_mead"),
    ]
    n_spread = max(0, starts - len(derivative_free))
    n_first = n_spread // 3
    spread = np.vstack(
        (
            latin_hypercube_starts(fitted[free], bounds, n_spread - n_first, rng),
            latin_hypercube_starts(first[free], bounds, n_first, rng, far=False),
        )
    )
    tasks: list[tuple[np.ndarray, str | None]] = derivative_free[:starts]
    for row in spread:
        vector = fitted.copy()
        vector[free] = row
        tasks.append((vector, None))

    def run(task: tuple[np.ndarray, str | None]) -> ConstrainedFitResult | None:
        vector, method = task
        settings = restart_kwargs if method is None else {**restart_kwargs, "method": method}
        try:
            return fit_once(circuit.with_values(list(vector)), data, **settings)
        except ValueError:  # a start the solver cannot use loses, nothing more
            return None

    runs = [default, *_shared_pool().map(run, tasks)]
    finite = [r for r in runs if r is not None and math.isfinite(r.chi_square)]
    best = min(finite, key=lambda r: r.chi_square)  # first minimum: default wins ties
    limit = best.chi_square * (1.0 + SAME_MINIMUM_RTOL) + 1e-300
    at_best = sum(1 for r in finite if r.chi_square <= limit)
    return replace(
        best,
        iterations=sum(r.iterations for r in finite),
        impedance_evals=sum(r.impedance_evals for r in finite),
        starts=len(runs),
        starts_at_best=at_best,
    )


def _first_values(
    circuit: Any,
    data: tuple[Any, Any],
    kwargs: dict[str, Any],
    bounds: dict[str, tuple[float, float]],
) -> np.ndarray:
    """Where the default fit started: the network's guess, else the circuit's values.

    Moved inside the bounds the fit used, as the fit moves a guessed value.
    """
    values = np.array(circuit.param_values(), dtype=float)
    if kwargs.get("guess_init") is not False:
        weights = kwargs.get("weights")
        try:
            values = np.array(circuit.guess(*data, weights=weights), dtype=float)
        except (ValueError, OSError):
            pass  # no network for this circuit: the fit started at the values
    lo, hi = np.array(list(bounds.values()), dtype=float).T
    return np.asarray(np.clip(np.nan_to_num(values, nan=1.0), lo, hi), dtype=np.float64)
