"""The thorough fit: the default fit, then a spread of starts, keep the best.

``Circuit.fit``'s multi-start stops at its first plausible run, so the
network's guess decides which minimum the fit ends in. On clean spectra of
the trained topologies that is nearly always the global one; on measured
spectra (other physics than the model, windows that cut arcs, drift) it is
often not, and the fit reports success all the same.

:func:`fit_thorough` runs the default fit and then more fits, from starts
in the search coordinates — base-10 logarithm for open (positive, unbounded
above) parameters, linear for closed ones such as CPE exponents:

* knockouts: two per open parameter, the starting values with that one
  parameter ``KNOCKOUT_FACTOR`` lower or higher (an arc turned into a
  resistor or shorted: the corners measured spectra often fit best);
* ``starts`` rows of Latin hypercubes: a third *around* the default optimum
  (±``NEAR_DECADES`` for open parameters, ±``NEAR_SHARE`` of the range for
  closed ones: neighbouring basins, such as one arc taking over another's
  resistance), a third *across* the range around it (±``FAR_DECADES``, the
  whole range less a margin for closed ones), a third around the starting
  values;
* ``ANNEALING_RUNS`` simulated-annealing runs from the starting values: a
  random walk whose steps shrink from two decades, then a least-squares
  polish. It reaches minima no gradient start nearby does, such as two arcs
  that trade places in a window too short to separate them.

A spectrum of fewer than ``SHORT_SPECTRUM_POINTS`` points gets
proportionally more hypercube starts and annealing runs (up to
``MAX_SHORT_BOOST`` times): its fits are cheap, and with a few points per
process its landscape is the roughest.

When the runs disagree — a second, different minimum within
``DISAGREEMENT_FACTOR`` of the best — the landscape has rival basins close
in cost and the fit escalates: ``ESCALATION_ANNEALING_RUNS`` more annealing
runs and ``SWARM_RUNS`` particle swarms over ±4 decades around the starting
values, each swarm given ``SWARM_POINT_EVALUATIONS`` impedance evaluations of
a single frequency (more generations for short spectra, which are cheap and
most often ambiguous). If then still only one run of all has reached the
best, its basin is narrow and the search has seen it once: a sample that
finds a minimum once has likely missed others as narrow. Up to
``CONFIRMATION_ROUNDS`` further rounds of annealing runs follow, until a
second run confirms the best. A landscape with one basin costs no more than
the first stage.

Each start is an ordinary fit (``guess_init=False``, so a least-squares
start runs its own nine-candidate multi-start; the global methods end in a
least-squares polish), run on a thread pool shared by the process: the
native fit releases the interpreter lock, so the starts run on every core.
The result is the lowest chi-square; the default fit wins ties, so a
thorough fit is never worse than the default one. The starts and the seeds
of the annealing and swarm runs depend only on ``seed`` and the default fit,
and the fits are deterministic, so a given seed gives the same result every
time.
"""

from __future__ import annotations

import concurrent.futures as cf
import math
import os
import threading
from collections.abc import Callable, Sequence
from dataclasses import replace
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from .constrained import ConstrainedFitResult

__all__ = ["fit_thorough", "latin_hypercube_starts"]

#: Latin-hypercube starts (the knockouts and annealing runs come on top).
#: Since the default fit brings runs back into the bounds before ranking
#: them, each start costs more and reaches more. With the confirmation
#: rounds below, 20 starts reach the best of bench/measured_quality.py's
#: exhaustive search in 99.4 % of its 669 measured fits, at a median 85 ms
#: wall for 45-75 points on two cores.
DEFAULT_STARTS = 20
#: A spectrum of fewer points gets proportionally more Latin-hypercube
#: starts and annealing runs, up to MAX_SHORT_BOOST times: each fit costs in
#: proportion to the points, and short spectra (a few points per process)
#: have the roughest landscapes.
SHORT_SPECTRUM_POINTS = 40
MAX_SHORT_BOOST = 3.0
#: Simulated-annealing runs of the first stage, and the more when escalating.
ANNEALING_RUNS = 4
ESCALATION_ANNEALING_RUNS = 16
#: Further annealing rounds, at most, while only one run reached the best.
#: On the measured fits: none 98.1 % (13 misses, all on spectra of 19-31
#: points or with a minimum only a particle swarm found), two 99.4 %, four
#: no more at twice the cost of the escalated fits.
CONFIRMATION_ROUNDS = 2
#: Escalate when a different minimum lies within this factor of the best.
DISAGREEMENT_FACTOR = 1.5
#: Particle swarms when escalating: particles, and evaluations of the circuit
#: at one frequency per swarm (generations = this / (particles · points),
#: at most MAX_SWARM_GENERATIONS).
SWARM_RUNS = 2
SWARM_PARTICLES = 200
SWARM_POINT_EVALUATIONS = 3e6
MAX_SWARM_GENERATIONS = 1000
#: Half-width of the "around" starts: decades for open parameters, share of
#: the range for closed ones.
NEAR_DECADES = 1.0
NEAR_SHARE = 0.15
#: Half-width in decades of the "across" starts for open parameters.
FAR_DECADES = 3.0
#: The "across" starts keep this share of the range away from closed bounds,
#: where a start would only be moved back inside.
FAR_MARGIN = 0.02
#: The knockout starts move one open parameter by this factor either way.
KNOCKOUT_FACTOR = 1e3
#: A fitted value within this factor of its lower bound has collapsed onto it.
COLLAPSED_FACTOR = 1e3
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
    decades: float,
    share: float | None,
) -> np.ndarray:
    """``count`` starting vectors (rows): a Latin hypercube around ``center``.

    Open parameters span ±``decades`` around their value in log10, closed
    ones ±``share`` of their range around it (None: the whole range less
    ``FAR_MARGIN`` at each end), both cut to the bounds. Each parameter's
    span is cut into ``count`` strata, every stratum is used once, and the
    strata are paired at random across parameters.
    """
    n = len(center)
    # u[i, j] in stratum perm_j(i) of [0, 1)
    u = (np.argsort(rng.random((count, n)), axis=0) + rng.random((count, n))) / max(count, 1)
    starts = np.empty((count, n))
    for j, ((lo, hi), value) in enumerate(zip(bounds, center)):
        if math.isfinite(hi):
            width = hi - lo
            if share is None:
                a, b = lo + FAR_MARGIN * width, hi - FAR_MARGIN * width
            else:
                a, b = max(lo, value - share * width), min(hi, value + share * width)
            starts[:, j] = a + (b - a) * u[:, j]
        else:
            log_value = math.log10(max(value, lo, 1e-300))
            a = max(log_value - decades, math.log10(max(lo, 1e-300)))
            # A fit that ran off towards infinity (an arc turned into a
            # capacitor) leaves a value near the float limit: cap the span so
            # a start is never inf.
            b = max(min(log_value + decades, 300.0), a)
            starts[:, j] = 10.0 ** (a + (b - a) * u[:, j])
    return starts


def fit_thorough(
    fit_once: Callable[..., ConstrainedFitResult],
    circuit: Any,
    data: tuple[Any, Any],
    *,
    starts: int = DEFAULT_STARTS,
    annealing_runs: int = ANNEALING_RUNS,
    escalate: bool = True,
    **kwargs: Any,
) -> ConstrainedFitResult:
    """The default fit, then the spread of starts above; the best of all.

    ``fit_once`` is a plain :func:`korvane_tools.fit`, ``data`` a
    ``(frequencies, impedances)`` pair and ``kwargs`` the fit's keywords
    (``fixed``, ``bounds``, ``sigma``, ``seed`` and the ``Circuit.fit``
    settings). ``starts`` is the number of Latin-hypercube rows, ``seed``
    draws them and the annealing and swarm seeds (None: 0). The result's
    ``starts`` counts every fit tried (the default one, the knockouts and
    the global runs included) and
    ``starts_at_best`` those that reached the best chi-square.
    ``annealing_runs`` and ``escalate`` trade reach for time where many
    fits are wanted cheaply (the networks' training labels).
    """
    if isinstance(starts, bool) or not isinstance(starts, int) or starts < 0:
        raise ValueError(f"starts must be a non-negative integer, got {starts!r}")
    default = fit_once(circuit, data, **kwargs)
    seed = kwargs.get("seed")
    rng = np.random.default_rng(0 if seed is None else seed)

    boost = min(MAX_SHORT_BOOST, max(1.0, SHORT_SPECTRUM_POINTS / max(len(data[0]), 1)))
    starts = round(starts * boost)
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
    # The starts are least-squares fits whatever method the default fit used
    # (a population method from every start would cost seconds); only the
    # few global runs below name their own.
    restart_kwargs["method"] = "levenberg_marquardt"
    if default.fixed:
        restart_kwargs["fixed"] = {name: default.params[name] for name in default.fixed}

    tasks: list[tuple[np.ndarray, dict[str, Any]]] = []
    # Knockouts: one open parameter at a time moved KNOCKOUT_FACTOR down or
    # up from the first values. An arc's capacitance near zero turns the arc
    # into a resistor, near infinity shorts it; measured spectra often sit
    # best in such a corner, which no start spread around a full-model guess
    # reaches.
    for j in free:
        if math.isinf(default.bounds[names[j]][1]):
            for factor in (1.0 / KNOCKOUT_FACTOR, KNOCKOUT_FACTOR):
                vector = first.copy()
                vector[j] = max(first[j] * factor, default.bounds[names[j]][0])
                tasks.append((vector, {}))
    # The Latin hypercube in thirds: near the default optimum, across the
    # range around it, near the first values. A parameter the default fit
    # drove onto its lower bound (an arc's capacitance collapsed) is spread
    # around its first value instead, or no start would revive it.
    third = starts // 3
    collapsed = fitted <= COLLAPSED_FACTOR * np.array([default.bounds[n][0] for n in names])
    revived = np.where(collapsed, first, fitted)[free]
    spread = np.vstack(
        (
            latin_hypercube_starts(
                revived, bounds, starts - 2 * third, rng, decades=NEAR_DECADES, share=NEAR_SHARE
            ),
            latin_hypercube_starts(revived, bounds, third, rng, decades=FAR_DECADES, share=None),
            latin_hypercube_starts(
                first[free], bounds, third, rng, decades=NEAR_DECADES, share=NEAR_SHARE
            ),
        )
    )
    for row in spread:
        vector = fitted.copy()
        vector[free] = row
        tasks.append((vector, {}))
    tasks += _annealing(first, round(annealing_runs * boost), rng)
    # Drawn now, used or not, so the first stage's draws never depend on
    # whether the fit escalates.
    escalation = _annealing(first, round(ESCALATION_ANNEALING_RUNS * boost), rng)
    generations = int(
        min(MAX_SWARM_GENERATIONS, SWARM_POINT_EVALUATIONS / (SWARM_PARTICLES * len(data[0])))
    )
    escalation += [
        (
            first,
            {
                "method": "particle_swarm",
                "num_particles": SWARM_PARTICLES,
                "generations": max(generations, 1),
                "seed": _draw_seed(rng),
            },
        )
        for _ in range(SWARM_RUNS)
    ]

    def run(task: tuple[np.ndarray, dict[str, Any]]) -> ConstrainedFitResult | None:
        vector, override = task
        try:
            settings = {**restart_kwargs, **override}
            return fit_once(circuit.with_values(list(vector)), data, **settings)
        except ValueError:  # a start the solver cannot use loses, nothing more
            return None

    pool = _shared_pool()
    runs = [default, *pool.map(run, tasks)]
    if escalate and _disagree(runs):
        runs += pool.map(run, escalation)
        # Only one run of all found the best: the rival basins are narrow
        # and the search has not yet seen them twice. More annealing rounds,
        # until one run confirms the best or CONFIRMATION_ROUNDS run out.
        for _ in range(CONFIRMATION_ROUNDS):
            if _reached(runs) > 1:
                break
            runs += pool.map(run, _annealing(first, round(ESCALATION_ANNEALING_RUNS * boost), rng))
    finite = [r for r in runs if r is not None and math.isfinite(r.chi_square)]
    best = min(finite, key=lambda r: r.chi_square)  # first minimum: default wins ties
    at_best = _reached(finite)
    return replace(
        best,
        iterations=sum(r.iterations for r in finite),
        impedance_evals=sum(r.impedance_evals for r in finite),
        starts=len(runs),
        starts_at_best=at_best,
    )


def _draw_seed(rng: np.random.Generator) -> int:
    return int(rng.integers(2**63))


def _annealing(
    first: np.ndarray, count: int, rng: np.random.Generator
) -> list[tuple[np.ndarray, dict[str, Any]]]:
    """``count`` simulated-annealing runs from the first values, seeds from ``rng``."""
    return [
        (first, {"method": "simulated_annealing", "seed": _draw_seed(rng)}) for _ in range(count)
    ]


def _reached(runs: Sequence[ConstrainedFitResult | None]) -> int:
    """How many runs reached the lowest chi-square among them."""
    costs = [r.chi_square for r in runs if r is not None and math.isfinite(r.chi_square)]
    limit = min(costs) * (1.0 + SAME_MINIMUM_RTOL) + 1e-300
    return sum(1 for c in costs if c <= limit)


def _disagree(runs: list[ConstrainedFitResult | None]) -> bool:
    """Whether a minimum other than the best lies within DISAGREEMENT_FACTOR of it."""
    costs = sorted(r.chi_square for r in runs if r is not None and math.isfinite(r.chi_square))
    if not costs:
        return False
    best = costs[0]
    return any(
        best * (1.0 + SAME_MINIMUM_RTOL) < c <= DISAGREEMENT_FACTOR * best for c in costs[1:]
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
