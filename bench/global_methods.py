"""The five derivative-free fit methods against SciPy, side by side in one run.

Spectra: N two-arc spectra of "R0-(R1,CPE1)-(R2,CPE2)" (50 points, 1e5 down to
1e-2 Hz, 0.2 % Gaussian noise) with random true values. Every fit starts from
the circuit's placeholder values (guess_init=False). A fit *succeeds* when its
chi-square is within 1.5x of the least-squares fit started at the true values.

korvane: each method with its default settings (the least-squares default
shown for reference). SciPy: the counterparts on the same cost written with
NumPy (1/2 sum of the modulus-weighted residuals squared, in the same search
coordinates: log10(p - lo) for parameters without an upper bound, alpha as
is), with the same evaluation budgets and the same search box:

  differential_evolution  differential_evolution(popsize=15, maxiter so that
                          15*7*(maxiter+1) = 10 x de_evaluations, tol=atol=0,
                          polish=True)
  simulated_annealing     dual_annealing(maxfun=sa_iterations)
  basin_hopping           basinhopping(niter=hops, stepsize=1, T=1,
                          minimizer L-BFGS-B with alpha bounded to [0, 1])
  nelder_mead             minimize(method="Nelder-Mead", maxiter=2000,
                          xatol=fatol=2^-52)

Particle swarm has no SciPy counterpart and is listed alone. Also times a
default differential-evolution fit of a 60-point Randles spectrum against one
default least-squares fit of it.

    python bench/global_methods.py [--quick] [--spectra N] [--scipy-spectra N] [--seed S]

Run with the module built by tools/dev.sh: PYTHONPATH=build/dev.
"""

import argparse
import math
import statistics
import sys
import time
import warnings

import korvane
import numpy as np
from scipy import optimize

TOPOLOGY = "R0-(R1,CPE1)-(R2,CPE2)"
RANDLES = "R0-(R1-W1,CPE1)"
POINTS = 50
SUCCESS_FACTOR = 1.5

# korvane's defaults, which the SciPy runs match.
DE_EVALUATIONS = 10 * 20000
SA_ITERATIONS = 5000
BH_HOPS = 20
NM_ITERATIONS = 2000


def random_truth(rng):
    return [
        10 ** rng.uniform(-1, 2),
        10 ** rng.uniform(0, 3),
        10 ** rng.uniform(-7, -4),
        rng.uniform(0.7, 1.0),
        10 ** rng.uniform(0, 3),
        10 ** rng.uniform(-4, -1),
        rng.uniform(0.5, 0.95),
    ]


class Spectrum:
    def __init__(self, circuit, truth, rng):
        self.f = np.logspace(5, -2, POINTS)
        z = circuit.with_values(truth).impedance(self.f)
        noise = 0.002 * np.abs(z) * (rng.standard_normal(POINTS) + 1j * rng.standard_normal(POINTS))
        self.z = z + noise / math.sqrt(2)
        self.truth = truth
        self.optimum = circuit.with_values(truth).fit(self.f, self.z, guess_init=False).chi_square


class NumpyCost:
    """1/2 sum r^2 of the modulus-weighted residuals of the two-arc circuit,
    as a function of the search coordinates."""

    def __init__(self, bounds, f, z):
        self.lo = np.array([b[0] for b in bounds])
        self.open = np.array([not math.isfinite(b[1]) for b in bounds])
        self.jw = 1j * (6.283185307179586 * f)
        self.z = z
        self.w = np.maximum(np.abs(z), 1e-30)
        self.evaluations = 0

    def to_x(self, p):
        return np.where(self.open, np.log10(np.maximum(np.asarray(p) - self.lo, 1e-300)), p)

    def to_p(self, x):
        return np.where(self.open, 10.0 ** np.asarray(x) + self.lo, x)

    def __call__(self, x):
        self.evaluations += 1
        r0, r1, q1, a1, r2, q2, a2 = self.to_p(x)
        model = r0 + 1.0 / (1.0 / r1 + q1 * self.jw**a1) + 1.0 / (1.0 / r2 + q2 * self.jw**a2)
        r = (model - self.z) / self.w
        value = 0.5 * float(np.dot(r.real, r.real) + np.dot(r.imag, r.imag))
        return value if math.isfinite(value) else 1e300

    def chi_square(self, x):
        # In parameter space the fit clamps alpha to [0, 1]; do the same.
        p = self.to_p(x)
        p = np.where(self.open, p, np.clip(p, 0.0, 1.0))
        return 2.0 * self(self.to_x(p))


def search_box(p0, bounds):
    """The box korvane's particle swarm and differential evolution draw from."""
    box = []
    for value, (lo, hi) in zip(p0, bounds):
        if math.isfinite(hi):
            box.append((lo, hi))
            continue
        m = max(abs(value), 1e-6)
        low = max(1e-4 * m, lo)
        box.append((math.log10(max(low - lo, 1e-300)), math.log10(max(1e4 * m - lo, 1e-300))))
    return box


def scipy_fit(method, cost, x0, box, seed):
    n = len(x0)
    if method == "differential_evolution":
        popsize = 15
        maxiter = DE_EVALUATIONS // (popsize * n) - 1
        result = optimize.differential_evolution(
            cost, box, popsize=popsize, maxiter=maxiter, tol=0.0, atol=0.0, polish=True, seed=seed
        )
    elif method == "simulated_annealing":
        result = optimize.dual_annealing(cost, box, maxfun=SA_ITERATIONS, x0=x0, seed=seed)
    elif method == "basin_hopping":
        local_bounds = [(None, None) if not closed else (0.0, 1.0) for closed in ~cost.open]
        result = optimize.basinhopping(
            cost,
            x0,
            niter=BH_HOPS,
            stepsize=1.0,
            T=1.0,
            seed=seed,
            minimizer_kwargs={"method": "L-BFGS-B", "bounds": local_bounds},
        )
    elif method == "nelder_mead":
        result = optimize.minimize(
            cost,
            x0,
            method="Nelder-Mead",
            options={
                "maxiter": NM_ITERATIONS,
                "maxfev": 10**9,
                "xatol": 2.0**-52,
                "fatol": 2.0**-52,
            },
        )
    else:
        raise ValueError(method)
    return result.x


def summary(times, successes):
    return statistics.mean(times), sum(successes) / len(successes)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--quick", action="store_true", help="8 spectra for korvane and 2 for SciPy"
    )
    parser.add_argument("--spectra", type=int, default=50)
    parser.add_argument(
        "--scipy-spectra",
        type=int,
        default=None,
        help="spectra for the SciPy runs (default: all; differential "
        "evolution at full budget takes seconds per fit)",
    )
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    n_spectra = 8 if args.quick else args.spectra
    n_scipy = 2 if args.quick else (args.scipy_spectra or n_spectra)
    n_scipy = min(n_scipy, n_spectra)

    warnings.simplefilter("ignore")
    rng = np.random.default_rng(args.seed)
    circuit = korvane.Circuit(TOPOLOGY)
    bounds = circuit.param_bounds()
    p0 = circuit.param_values()
    box = search_box(p0, bounds)
    spectra = [Spectrum(circuit, random_truth(rng), rng) for _ in range(n_spectra)]

    # The NumPy cost is the module's cost.
    check = NumpyCost(bounds, spectra[0].f, spectra[0].z)
    p = np.array(spectra[0].truth) * 1.1
    module_cost = 0.5 * sum(r * r for r in circuit.residuals(list(p), spectra[0].f, spectra[0].z))
    assert abs(check(check.to_x(p)) - module_cost) <= 1e-9 * module_cost, "cost mismatch"

    methods = [
        "levenberg_marquardt",
        "particle_swarm",
        "differential_evolution",
        "simulated_annealing",
        "basin_hopping",
        "nelder_mead",
    ]
    ours = {m: ([], []) for m in methods}
    our_evals = {m: [] for m in methods}
    errors = {m: 0 for m in methods}
    theirs = {m: ([], [], []) for m in methods[2:]}  # times, successes, evaluations
    for k, s in enumerate(spectra):
        for method in methods:
            start = time.perf_counter()
            try:
                result = circuit.fit(s.f, s.z, guess_init=False, method=method)
            except ValueError:
                # Nelder-Mead ends with "`NelderMead`: Reached unreachable point." when a
                # reflection lands where the model overflows (a NaN cost): a failed fit.
                ours[method][0].append(time.perf_counter() - start)
                ours[method][1].append(False)
                errors[method] += 1
                continue
            ours[method][0].append(time.perf_counter() - start)
            ours[method][1].append(result.chi_square <= SUCCESS_FACTOR * s.optimum)
            our_evals[method].append(result.impedance_evals)
        if k >= n_scipy:
            continue
        for method in methods[2:]:
            cost = NumpyCost(bounds, s.f, s.z)
            start = time.perf_counter()
            x = scipy_fit(method, cost, cost.to_x(p0), box, seed=args.seed + k)
            theirs[method][0].append(time.perf_counter() - start)
            theirs[method][1].append(cost.chi_square(x) <= SUCCESS_FACTOR * s.optimum)
            theirs[method][2].append(cost.evaluations)
        print(f"  spectrum {k + 1}/{n_spectra} done", file=sys.stderr, flush=True)

    print(
        f"{TOPOLOGY}: {n_spectra} spectra of {POINTS} points from the placeholder values; "
        f"success = chi-square within {SUCCESS_FACTOR}x of the fit from the true values"
    )
    if n_scipy < n_spectra:
        print(
            f"SciPy runs on the first {n_scipy} spectra only (korvane on all {n_spectra}); "
            f"korvane's share on those {n_scipy} is given in brackets"
        )
    print(
        "evals = residual evaluations per fit (korvane: impedance_evals, the polish "
        "included); speed-up = SciPy s/fit over korvane s/fit on the same spectra"
    )
    print(
        f"{'method':24} {'korvane s/fit':>13} {'evals':>7} {'success':>13} {'SciPy s/fit':>12} "
        f"{'evals':>7} {'success':>8} {'speed-up':>9}"
    )
    for method in methods:
        t, share = summary(*ours[method])
        line = f"{method:24} {t:13.4f} {statistics.mean(our_evals[method]):7.0f} {share:8.0%}"
        if method in theirs:
            times, successes, evaluations = theirs[method]
            sub_share = sum(ours[method][1][:n_scipy]) / n_scipy
            line += f" [{sub_share:3.0%}]" if n_scipy < n_spectra else " " * 6
            st, sshare = summary(times, successes)
            line += (
                f" {st:12.4f} {statistics.mean(evaluations):7.0f} {sshare:8.0%} "
                f"{st / statistics.mean(ours[method][0][:n_scipy]):8.1f}x"
            )
        if errors[method]:
            line += f"  ({errors[method]} fits raised, counted as failures)"
        print(line)

    # A default differential-evolution fit of a 60-point Randles spectrum,
    # against one default least-squares fit, interleaved.
    randles = korvane.Circuit(RANDLES)
    f = np.logspace(5, -1, 60)
    z = randles.with_values([15.0, 60.0, 40.0, 2e-5, 0.85]).impedance(f)
    de_times, lm_times = [], []
    for _ in range(2 if args.quick else 5):
        start = time.perf_counter()
        randles.fit(f, z, method="differential_evolution")
        de_times.append(time.perf_counter() - start)
        start = time.perf_counter()
        randles.fit(f, z)
        lm_times.append(time.perf_counter() - start)
    de, lm = statistics.median(de_times), statistics.median(lm_times)
    print(
        f"Randles, 60 points, default fit: differential evolution {de:.3f} s "
        f"(target < 0.5 s), least squares {lm * 1e3:.2f} ms, ratio {de / lm:.0f}x"
    )


if __name__ == "__main__":
    main()
