"""Time of korvane_tools.drt with automatic λ, and of its Bayesian band.

Spectra: two ZARCs in series with a resistor (R0-(R1,CPE1)-(R2,CPE2), peaks
at 10 µs and 10 ms, α 0.9 and 0.8), 60 and 250 points from 100 kHz to
10 mHz, 0.1 % proportional noise, fixed seed. Timed per call, best of
several calls (the machine is shared: the best call is the one least
disturbed by other work), and the CPU time of this process per call, which
a loaded machine inflates less (the verdict goes by the best wall time).
Default settings: Gaussian basis, 20
points per decade, λ by GCV, second-derivative penalty. Targets (60 points):
drt under 20 ms, the Bayesian band (200 samples) under 200 ms.

BLAS threads are pinned to one, as the problem (a few 100×100 systems) is
far too small for threads to help; on a loaded machine OpenBLAS's spinning
threads cost more than the whole solve.

    python bench/drt_speed.py [--repeat N]
"""

import argparse
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import korvane  # noqa: E402
import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
import korvane_tools as kt  # noqa: E402

TARGETS = {("tikhonov", 60): 0.020, ("bayesian", 60): 0.200}


def spectrum(n, rng):
    f = np.logspace(5, -2, n)
    circuit = korvane.Circuit("R0-(R1,CPE1)-(R2,CPE2)").with_values(
        [5, 40, 1e-5**0.9 / 40, 0.9, 80, 1e-2**0.8 / 80, 0.8]
    )
    z = circuit.impedance(f)
    return f, z + 1e-3 * np.abs(z) * (rng.standard_normal(n) + 1j * rng.standard_normal(n))


def best(call, repeat):
    """(best wall time, median wall time, best CPU time of this process) per call."""
    times, cpu = [], []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        call()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return min(times), float(np.median(times)), min(cpu)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args()
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
    rng = np.random.default_rng(20261207)
    kt.drt(spectrum(60, rng))  # imports and first-call costs out of the way
    print(
        f"{'method':<10}{'points':>7}{'best ms':>10}{'median ms':>11}{'cpu ms':>9}"
        f"{'target ms':>11}  lambda"
    )
    for n in (60, 250):
        data = spectrum(n, rng)
        for method in ("tikhonov", "bayesian"):
            result = kt.drt(data, method)
            fastest, median, cpu = best(lambda: kt.drt(data, method), args.repeat)
            target = TARGETS.get((method, n))
            shown = f"{1e3 * target:>11.0f}" if target else f"{'':>11}"
            verdict = "" if target is None else ("  meets" if fastest <= target else "  MISSES")
            print(
                f"{method:<10}{n:>7}{1e3 * fastest:>10.1f}{1e3 * median:>11.1f}{1e3 * cpu:>9.1f}"
                f"{shown}"
                f"  {result.lambda_:.2g}{verdict}"
            )


if __name__ == "__main__":
    main()
