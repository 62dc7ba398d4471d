"""Speed of the C++ Levenberg-Marquardt path against SciPy on one Randles fit.

All three fit "R0-(R1-W1,CPE1)" to the same 60-point spectrum from the same
start, in the same search coordinates (log10(p - lo) for the open parameters,
CPE1.alpha as is), with the same modulus-weighted residuals and the same
central-difference Jacobian rule, ftol = xtol = gtol = 1e-8 and a budget of
200*(n+1) residual evaluations:

  (a) lm_bench: the C++ solver through the C++ objective (read from its output);
  (b) scipy.optimize.least_squares(method="lm") calling Circuit.residuals and
      Circuit.jacobian of the korvane module from Python;
  (c) the same SciPy call on a NumPy-vectorised Randles model.

The three are timed in interleaved rounds, (a) (b) (c) (a) (b) (c) ..., and
each side's figure is its median round, so a burst of load on this shared
machine shifts one round of one side rather than the whole ratio. Prints wall
and CPU seconds per fit, the ratios (b)/(a) and (c)/(a) with the range of the
per-round (c)/(a) ratios, the final costs 1/2*sum(r^2) and the share of (a)
spent inside the objective's evaluations. Target: (a) at least 20x faster than (c), with the same final
cost within 1e-10 relative.

    python bench/lm_vs_scipy.py [--build-dir DIR] [--min-time SECONDS] [--rounds N]

DIR holds the lm_bench executable and the korvane module (default: the
KORVANE_BUILD_DIR environment variable, else build-lm beside this script's
parent directory).
"""

import argparse
import math
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
from scipy import optimize

ROOT = Path(__file__).resolve().parents[1]
ETA = (2.0**-52) ** (1.0 / 3.0)  # central-difference step factor
LN10 = 2.302585092994046
TOL = 1e-8
BUDGET = 200


def run_lines(command):
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return [line.split() for line in out.splitlines() if line.strip()]


def read_problem(bench):
    start, freq, z = None, [], []
    for key, *values in run_lines([str(bench), "--data"]):
        if key == "start":
            start = np.array([float(v) for v in values])
        elif key == "point":
            freq.append(float(values[0]))
            z.append(complex(float(values[1]), float(values[2])))
    return start, np.array(freq), np.array(z)


def time_bench(bench, min_time):
    fields = {key: values for key, *values in run_lines([str(bench), "--min-time", str(min_time)])}
    return (
        float(fields["seconds_per_fit"][0]),
        float(fields["cpu_seconds_per_fit"][0]),
        float(fields["final_cost"][0]),
        fields,
    )


class SearchSpace:
    """x_j = log10(p_j - lo_j) for open parameters (no finite upper bound)."""

    def __init__(self, bounds):
        self.lo = np.array([b[0] for b in bounds])
        self.open = np.array([not math.isfinite(b[1]) for b in bounds])

    def to_x(self, p):
        return np.where(self.open, np.log10(np.maximum(p - self.lo, 1e-300)), p)

    def to_p(self, x):
        return np.where(self.open, 10.0**x + self.lo, x)

    def dp_dx(self, p):
        return np.where(self.open, (p - self.lo) * LN10, 1.0)


def randles(p, omega):
    """Impedance of R0-(R1-W1,CPE1); p has shape (k, 5), result (k, len(omega))."""
    r0, r1, aw, q, alpha = (p[:, j, None] for j in range(5))
    root_w = np.sqrt(omega)
    warburg = (aw * root_w - 1j * aw * root_w) / omega
    cpe = 1.0 / (q * (1j * omega) ** alpha)
    return r0 + 1.0 / (1.0 / (r1 + warburg) + 1.0 / cpe)


class NumpyObjective:
    def __init__(self, freq, z):
        self.omega = 6.283185307179586 * freq
        self.z = z
        self.weight = np.maximum(np.abs(z), 1e-30)

    def residual_rows(self, p):
        d = (randles(p, self.omega) - self.z) / self.weight
        r = np.empty((p.shape[0], 2 * d.shape[1]))
        r[:, 0::2] = d.real
        r[:, 1::2] = d.imag
        return r

    def residuals(self, p):
        return self.residual_rows(p[None, :])[0]

    def jacobian(self, p):
        n = p.size
        h = ETA * np.maximum(np.abs(p), 1e-8)
        trial = np.repeat(p[None, :], 2 * n, axis=0)
        idx = np.arange(n)
        trial[idx, idx] += h
        trial[n + idx, idx] -= h
        rows = self.residual_rows(trial)
        return ((rows[:n] - rows[n:]) / (2.0 * h)[:, None]).T


def scipy_fit(fun, jac, x0):
    return optimize.least_squares(
        fun,
        x0,
        jac=jac,
        method="lm",
        ftol=TOL,
        xtol=TOL,
        gtol=TOL,
        x_scale="jac",
        max_nfev=BUDGET * (x0.size + 1),
    )


def time_fit(fit, min_time):
    """Wall and process-CPU seconds per call, and the last result."""
    result = fit()  # warm-up
    runs, begin, cpu_begin = 0, time.perf_counter(), time.process_time()
    while True:
        result = fit()
        runs += 1
        elapsed = time.perf_counter() - begin
        if elapsed >= min_time:
            return elapsed / runs, (time.process_time() - cpu_begin) / runs, result


def median_of(rounds, field):
    return float(np.median([r[field] for r in rounds]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--build-dir", default=os.environ.get("KORVANE_BUILD_DIR", ROOT / "build-lm")
    )
    parser.add_argument(
        "--min-time", type=float, default=2.0, help="seconds per side, over all rounds"
    )
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    build = Path(args.build_dir).resolve()
    bench = build / "lm_bench"
    sys.path.insert(0, str(build))
    import korvane

    start, freq, z = read_problem(bench)
    circuit = korvane.Circuit("R0-(R1-W1,CPE1)")
    space = SearchSpace(circuit.param_bounds())
    x0 = space.to_x(start)

    def module_fun(x):
        return np.asarray(circuit.residuals(space.to_p(x), freq, z))

    def module_jac(x):
        p = space.to_p(x)
        return np.asarray(circuit.jacobian(p, freq, z)) * space.dp_dx(p)

    model = NumpyObjective(freq, z)

    def numpy_fun(x):
        return model.residuals(space.to_p(x))

    def numpy_jac(x):
        p = space.to_p(x)
        return model.jacobian(p) * space.dp_dx(p)

    per_round = args.min_time / args.rounds
    rounds_a, rounds_b, rounds_c = [], [], []
    for _ in range(args.rounds):
        rounds_a.append(time_bench(bench, per_round))
        rounds_b.append(time_fit(lambda: scipy_fit(module_fun, module_jac, x0), per_round))
        rounds_c.append(time_fit(lambda: scipy_fit(numpy_fun, numpy_jac, x0), per_round))
    t_a, cpu_a = median_of(rounds_a, 0), median_of(rounds_a, 1)
    t_b, cpu_b = median_of(rounds_b, 0), median_of(rounds_b, 1)
    t_c, cpu_c = median_of(rounds_c, 0), median_of(rounds_c, 1)
    cost_a, fields = rounds_a[-1][2], rounds_a[-1][3]
    res_b, res_c = rounds_b[-1][2], rounds_c[-1][2]
    round_ratios = [c[0] / a[0] for a, c in zip(rounds_a, rounds_c)]

    def rel(a, b):
        return abs(a - b) / abs(b)

    print(f"Randles R0-(R1-W1,CPE1), {freq.size} points, start {start.tolist()}")
    print(
        f"{'':42s} {'wall s/fit':>11s} {'ratio':>6s} {'cpu s/fit':>11s} {'ratio':>6s} {'nfev':>5s}  {'final cost':>24s}"
    )
    rows = [
        ("(a) C++ solver + C++ objective", t_a, cpu_a, fields["nfev"][0], cost_a),
        ("(b) SciPy lm + Circuit.residuals/jacobian", t_b, cpu_b, res_b.nfev, res_b.cost),
        ("(c) SciPy lm + NumPy Randles model", t_c, cpu_c, res_c.nfev, res_c.cost),
    ]
    for name, wall, cpu, nfev, cost in rows:
        print(
            f"{name:42s} {wall:11.3e} {wall / t_a:6.1f} {cpu:11.3e} {cpu / cpu_a:6.1f} {nfev:>5}  {cost:24.17g}"
        )
    print(
        f"(a): {fields['objective_evaluations_per_fit'][0]} residual evaluations per fit, "
        f"{100 * float(fields['evaluation_share'][0]):.1f} % of its time inside the objective"
    )
    print(
        f"C++ stop: {' '.join(fields['stop'])}; SciPy status (b) {res_b.status}, (c) {res_c.status}"
    )
    print(f"(c)/(a) wall ratio per round: {' '.join(f'{r:.1f}' for r in round_ratios)}")
    print(
        f"relative cost difference: (a) vs (c) {rel(cost_a, res_c.cost):.2e}, (a) vs (b) {rel(cost_a, res_b.cost):.2e}"
    )
    speed_ok = t_c / t_a >= 20.0
    cost_ok = rel(cost_a, res_c.cost) <= 1e-10
    print(
        f"target (a) >= 20x faster than (c): {'met' if speed_ok else 'NOT met'} ({t_c / t_a:.1f}x); "
        f"same final cost within 1e-10: {'met' if cost_ok else 'NOT met'}"
    )
    return 0 if speed_ok and cost_ok else 1


if __name__ == "__main__":
    sys.exit(main())
