"""Time of a constrained korvane_tools.fit against the plain Circuit.fit.

For each of the eleven trained topologies: the 60-point noisy spectrum of
bench/fit_speed.py (100 kHz .. 10 mHz, 0.5 % proportional noise, fixed
seed) and its explicit start p0, fitted

  * by Circuit.fit with default settings (the reference),
  * by korvane_tools.fit from the same start with R0.r fixed at its true
    value and one bound narrowed: CPE1.alpha to (0.5, 1) where the circuit
    has one, otherwise R1.r to (1, inf).

The two sides run in interleaved rounds (plain, constrained, plain, ...) and
each side's figure is its median round, so a burst of load on this shared
machine shifts one round of one side rather than the ratio. Printed per
topology: milliseconds per fit on each side, their ratio, and the impedance
evaluations each fit spent (the constrained problem is a different one: it
has one unknown fewer and a box, so its solver path differs). The time of
the constrained side includes everything its Python layer adds (reading and
checking the data, resolving names, building the result). Target: a ratio of
at most 1.2 on every topology.

    python bench/constrained_fit.py [--min-time SECONDS] [--rounds N]
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

import korvane

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
import korvane_tools as kt  # noqa: E402

from fit_speed import TRUE_VALUES, start_values  # noqa: E402  (same directory)

TARGET = 1.2


def problem(name, rng):
    circuit = korvane.Circuit(name)
    names = circuit.param_names()
    truth = [TRUE_VALUES[n] for n in names]
    f = np.logspace(5, -2, 60)
    z_true = circuit.with_values(truth).impedance(f)
    z = z_true + 0.005 * np.abs(z_true) * (rng.standard_normal(60) + 1j * rng.standard_normal(60))
    start = circuit.with_values(start_values(names, truth))
    fixed = {"R0.r": TRUE_VALUES["R0.r"]}
    bounds = {"CPE1.alpha": (0.5, 1.0)} if "CPE1.alpha" in names else {"R1.r": (1.0, None)}
    return start, f, z, fixed, bounds


def per_call(call, min_time):
    """Seconds per call over at least min_time seconds (and two calls)."""
    reps, t0 = 0, time.perf_counter()
    while True:
        call()
        reps += 1
        elapsed = time.perf_counter() - t0
        if reps >= 2 and elapsed >= min_time:
            return elapsed / reps


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--min-time", type=float, default=1.0,
                    help="seconds per side and topology, over all rounds")
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()

    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors; "
          f"{args.rounds} interleaved rounds, medians")
    print(f"{'topology':<16}{'plain ms':>10}{'constr. ms':>12}{'ratio':>8}"
          f"{'evals plain':>13}{'evals constr.':>15}  constrained")
    rng = np.random.default_rng(20240611)
    worst = 0.0
    for name in korvane.Circuit.ml_circuits():
        start, f, z, fixed, bounds = problem(name, rng)

        def plain():
            return start.fit(f, z)

        def constrained():
            return kt.fit(start, (f, z), fixed=fixed, bounds=bounds)

        reference, held = plain(), constrained()  # warm-up, and the counts shown
        assert held.params["R0.r"] == fixed["R0.r"]
        slice_time = args.min_time / args.rounds
        plain_times, constrained_times = [], []
        for _ in range(args.rounds):
            plain_times.append(per_call(plain, slice_time))
            constrained_times.append(per_call(constrained, slice_time))
        t_plain = float(np.median(plain_times))
        t_constrained = float(np.median(constrained_times))
        ratio = t_constrained / t_plain
        worst = max(worst, ratio)
        what = ", ".join([*fixed, *bounds]) + (f"; at bound {held.at_bound}" if held.at_bound else "")
        print(f"{name:<16}{1e3 * t_plain:>10.3f}{1e3 * t_constrained:>12.3f}{ratio:>8.2f}"
              f"{reference.impedance_evals:>13}{held.impedance_evals:>15}  {what}")
    verdict = "meets" if worst <= TARGET else "MISSES"
    print(f"largest ratio {worst:.2f}: {verdict} the target of {TARGET}")


if __name__ == "__main__":
    main()
