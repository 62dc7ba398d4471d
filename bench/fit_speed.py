"""Fits per second of Circuit.fit against SciPy on the same problems.

For each of the eleven trained topologies: a 60-point noisy spectrum
(100 kHz .. 10 mHz, 0.5 % proportional noise, fixed seed), fitted

  * by korvane with default settings from an explicit start p0 (no guess:
    both sides start from the same vector),
  * by korvane with default settings and no starting values (network guess,
    the path users take by default; shown for information),
  * by scipy.optimize.least_squares (default "trf", 2-point Jacobian, default
    tolerances 1e-8) driving a NumPy model of the same circuit from the same
    p0, in the same coordinates korvane searches in (log10 of open
    parameters, alpha kept in [0, 1] by bounds) and with the same
    modulus-weighted residuals.

The three are timed in interleaved rounds per topology (korvane, guess+fit,
SciPy, korvane, ...) and each side's figure is its median round, so a burst
of load on this shared machine shifts one round of one side rather than the
whole ratio. Prints fits per second, the speed ratio, both final costs
½·Σ r², the number of model evaluations per fit on each side (korvane's
impedance_evals include its nine candidate starts and the final statistics)
and the candidate start korvane's solver began from. Target: korvane at
least 30x faster with an equal or lower final cost.

    python bench/fit_speed.py [--min-time SECONDS] [--rounds N]
"""

import argparse
import math
import os
import time

import korvane
import numpy as np
from scipy import optimize

TWO_PI = 6.283185307179586

# ---- NumPy circuit models --------------------------------------------------------


def resistor(w, r):
    return np.full(w.shape, r, dtype=complex)


def capacitor(w, c):
    return 1.0 / (1j * w * c)


def inductor(w, l):
    return 1j * w * l


def cpe(w, q, alpha):
    return 1.0 / (q * (1j * w) ** alpha)


def warburg(w, aw):
    return aw / np.sqrt(w) * (1.0 - 1.0j)


def warburg_open(w, z0, tau):
    x = np.sqrt(1j * w * tau)
    return z0 / (x * np.tanh(x))


def par(a, b):
    return 1.0 / (1.0 / a + 1.0 / b)


def rc(w, r, c):
    return par(resistor(w, r), capacitor(w, c))


def rq(w, r, q, a):
    return par(resistor(w, r), cpe(w, q, a))


# Parameter order = korvane's param_names() of each circuit.
MODELS = {
    "rc": lambda w, p: p[0] + rc(w, p[1], p[2]),
    "rc_l": lambda w, p: inductor(w, p[0]) + p[1] + rc(w, p[2], p[3]),
    "rq": lambda w, p: p[0] + rq(w, p[1], p[2], p[3]),
    "rq_l": lambda w, p: inductor(w, p[0]) + p[1] + rq(w, p[2], p[3], p[4]),
    "two_rc": lambda w, p: p[0] + rc(w, p[1], p[2]) + rc(w, p[3], p[4]),
    "two_rc_l": lambda w, p: inductor(w, p[0]) + p[1] + rc(w, p[2], p[3]) + rc(w, p[4], p[5]),
    "two_rq": lambda w, p: p[0] + rq(w, p[1], p[2], p[3]) + rq(w, p[4], p[5], p[6]),
    "two_rq_l": lambda w, p: (
        inductor(w, p[0]) + p[1] + rq(w, p[2], p[3], p[4]) + rq(w, p[5], p[6], p[7])
    ),
    "randles": lambda w, p: p[0] + par(p[1] + warburg(w, p[2]), cpe(w, p[3], p[4])),
    "sei_randles": lambda w, p: (
        p[0] + rq(w, p[1], p[2], p[3]) + par(p[4] + warburg(w, p[5]), cpe(w, p[6], p[7]))
    ),
    "sei_randles_wo": lambda w, p: (
        p[0] + rq(w, p[1], p[2], p[3]) + par(p[4] + warburg_open(w, p[5], p[6]), cpe(w, p[7], p[8]))
    ),
}

# Realistic values per parameter name: a fast arc (1 ms) and a slow one (0.2 s).
TRUE_VALUES = {
    "L0.l": 2e-6,
    "R0.r": 10.0,
    "R1.r": 100.0,
    "C1.c": 1e-5,
    "R2.r": 200.0,
    "C2.c": 1e-3,
    "CPE1.q": 2e-5,
    "CPE1.alpha": 0.85,
    "CPE2.q": 1e-3,
    "CPE2.alpha": 0.75,
    "W1.aw": 30.0,
    "W2.aw": 30.0,
    "Wo2.z0": 50.0,
    "Wo2.tau": 10.0,
}


def start_values(names, truth):
    """A start off by a factor 1.5-2 on every open parameter, 0.1 on alphas."""
    factors = [1.6, 0.6, 1.9, 0.55, 1.4, 0.7, 1.8, 0.65, 1.5]
    return [
        t - 0.1 if n.endswith(".alpha") else t * factors[i % len(factors)]
        for i, (n, t) in enumerate(zip(names, truth))
    ]


def problem(name, rng):
    circuit = korvane.Circuit(name)
    names = circuit.param_names()
    truth = [TRUE_VALUES[n] for n in names]
    f = np.logspace(5, -2, 60)
    w = TWO_PI * f
    z_true = circuit.with_values(truth).impedance(f)
    numpy_model = MODELS[name](w, np.array(truth))
    assert np.max(np.abs(numpy_model - z_true) / np.abs(z_true)) < 1e-9, name
    z = z_true + 0.005 * np.abs(z_true) * (rng.standard_normal(60) + 1j * rng.standard_normal(60))
    return circuit, names, f, w, z, start_values(names, truth)


# ---- SciPy side ----------------------------------------------------------------


def scipy_fit(name, circuit, w, z, p0):
    bounds = circuit.param_bounds()
    open_ = np.array([math.isinf(hi) for _, hi in bounds])
    lo = np.array([b[0] for b in bounds])
    weight = np.abs(z)
    model = MODELS[name]

    def to_params(x):
        return np.where(open_, 10.0**x + lo, x)

    def residuals(x):
        zm = model(w, to_params(x))
        d = (zm - z) / weight
        return np.column_stack([d.real, d.imag]).ravel()

    p0 = np.array(p0)
    x0 = np.where(open_, np.log10(np.maximum(p0 - lo, 1e-300)), p0)
    box = (np.where(open_, -np.inf, lo), np.where(open_, np.inf, [b[1] for b in bounds]))
    solution = optimize.least_squares(residuals, x0, bounds=box)
    p = to_params(solution.x)
    r = residuals(solution.x)
    # Model evaluations: the residual calls plus P per 2-point Jacobian.
    evaluations = solution.nfev + solution.njev * len(p0)
    return p, 0.5 * float(np.dot(r, r)), evaluations


def first_start(circuit, f, z, p0):
    """Which of the driver's nine candidate starts its solver runs first: the
    cheapest, ties in construction order (p0; open parameters x3, x1/3, x8,
    x1/8; closed parameters at 0.2..0.8 of their interval). Shown because a
    start far from p0 costs solver iterations SciPy, starting at p0, does not
    spend."""
    bounds = circuit.param_bounds()
    labels = ["p0", "x3", "x1/3", "x8", "x1/8", "c.2", "c.4", "c.6", "c.8"]
    starts = [list(p0)]
    for scale in (3.0, 0.3333333333333333, 8.0, 0.125):
        starts.append([p * scale if math.isinf(hi) else p for p, (lo, hi) in zip(p0, bounds)])
    for t in (0.2, 0.4, 0.6, 0.8):
        starts.append(
            [p if math.isinf(hi) else lo + (hi - lo) * t for p, (lo, hi) in zip(p0, bounds)]
        )
    costs = [0.5 * float(np.sum(np.square(circuit.residuals(p, f, z)))) for p in starts]
    return labels[min(range(len(costs)), key=lambda k: (costs[k], k))]


def rate(call, min_time, min_reps):
    """Calls per second of wall time and of process CPU time (all threads,
    the worker pool included), over at least min_time wall seconds and
    min_reps calls. On a loaded machine the CPU-time rate is the steadier
    figure; both are printed."""
    reps, wall0, cpu0 = 0, time.perf_counter(), time.process_time()
    while True:
        result = call()
        reps += 1
        wall = time.perf_counter() - wall0
        if reps >= min_reps and wall >= min_time:
            cpu = max(time.process_time() - cpu0, 1e-9)
            return reps / wall, reps / cpu, result


def median_rates(rounds):
    """Median wall and CPU rates over the rounds, with the last round's result."""
    return (
        float(np.median([r[0] for r in rounds])),
        float(np.median([r[1] for r in rounds])),
        rounds[-1][2],
    )


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument(
        "--min-time", type=float, default=1.0, help="seconds per side and topology, over all rounds"
    )
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()

    print(
        f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors; "
        "rates in fits per second of wall time (CPU time in brackets)"
    )
    rng = np.random.default_rng(2024)
    print(
        f"{'topology':<15}{'korvane':>17}{'guess+fit':>17}{'scipy':>15}{'ratio':>15}"
        f"{'cost korvane':>15}{'cost scipy':>13}{'evals k/s':>11}{'start':>6}  verdict"
    )
    ratios, ok = [], True
    for name in MODELS:
        circuit, names, f, w, z, p0 = problem(name, rng)
        start = circuit.with_values(p0)
        per_round = args.min_time / args.rounds
        k_rounds, g_rounds, s_rounds = [], [], []
        guess_bundled = True
        for _ in range(args.rounds):
            k_rounds.append(rate(lambda: start.fit(f, z), per_round, 5))
            if guess_bundled:
                try:
                    g_rounds.append(rate(lambda: circuit.fit(f, z), per_round, 5))
                except ValueError:  # network not bundled in this build
                    guess_bundled = False
            s_rounds.append(rate(lambda: scipy_fit(name, circuit, w, z, p0), per_round, 3))
        k_wall, k_cpu, k_result = median_rates(k_rounds)
        if guess_bundled:
            g_wall, g_cpu, _ = median_rates(g_rounds)
            g_text = f"{g_wall:>9.1f} ({g_cpu:>5.0f})"
        else:
            g_text = f"{'-':>17}"
        s_wall, s_cpu, (s_params, s_cost, s_evals) = median_rates(s_rounds)
        ratio, cpu_ratio = k_wall / s_wall, k_cpu / s_cpu
        ratios.append(cpu_ratio)
        cost_ok = k_result.cost <= s_cost * (1 + 1e-9)
        good = cpu_ratio >= 30 and cost_ok
        ok &= good
        verdict = "ok" if good else ("slow" if cost_ok else "higher cost")
        print(
            f"{name:<15}{k_wall:>9.1f} ({k_cpu:>5.0f}){g_text}{s_wall:>8.1f} ({s_cpu:>4.0f})"
            f"{ratio:>6.1f}x ({cpu_ratio:>4.1f}x){k_result.cost:>15.6e}{s_cost:>13.6e}"
            f"{k_result.impedance_evals:>6}/{s_evals:<4}{first_start(circuit, f, z, p0):>6}  {verdict}"
        )
    geo = math.exp(sum(math.log(r) for r in ratios) / len(ratios))
    print(
        f"\nCPU-time ratio: geometric mean {geo:.1f}x, minimum {min(ratios):.1f}x; "
        f"target >= 30x with equal or lower cost: {'met' if ok else 'NOT met'}"
    )


if __name__ == "__main__":
    main()
