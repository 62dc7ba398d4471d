"""Time of korvane_tools.drt with automatic λ, and of its Bayesian band.

Spectra: two ZARCs in series with a resistor (R0-(R1,CPE1)-(R2,CPE2), peaks
at 10 µs and 10 ms, α 0.9 and 0.8), 60 and 250 points from 100 kHz to
10 mHz, 0.1 % proportional noise, fixed seed. Timed per call, best of
several calls (the machine is shared: the best call is the one least
disturbed by other work), and the CPU time of this process per call, which
a loaded machine inflates less (the verdict goes by the best wall time).
Default settings: Gaussian basis, 20 points per decade, λ by GCV,
second-derivative penalty, the deconvolution into ZARCs included. Targets
(60 points): drt under 20 ms, the Bayesian band (200 samples) under 200 ms.

``--against DIR`` also times the korvane_tools package in DIR (e.g. the
python/ folder of an older checkout), call for call in turn with this one,
so that both see the same load.

BLAS threads are pinned to one, as the problem (a few 100×100 systems) is
far too small for threads to help; on a loaded machine OpenBLAS's spinning
threads cost more than the whole solve.

    python bench/drt_speed.py [--repeat N] [--against DIR]
"""

import argparse
import importlib.util
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import sys  # noqa: E402
import time  # noqa: E402
from inspect import signature  # noqa: E402
from pathlib import Path  # noqa: E402

import korvane  # noqa: E402
import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
import korvane_tools as kt  # noqa: E402

TARGETS = {("tikhonov", 60): 0.020, ("bayesian", 60): 0.200}

#: (label, method, keywords): drt as called by default, without the
#: deconvolution into ZARCs (the λ search alone), and with the band.
ROWS = (
    ("tikhonov", "tikhonov", {}),
    ("no deconv.", "tikhonov", {"deconvolve": False}),
    ("bayesian", "bayesian", {}),
)


def spectrum(n, rng):
    f = np.logspace(5, -2, n)
    circuit = korvane.Circuit("R0-(R1,CPE1)-(R2,CPE2)").with_values(
        [5, 40, 1e-5**0.9 / 40, 0.9, 80, 1e-2**0.8 / 80, 0.8]
    )
    z = circuit.impedance(f)
    return f, z + 1e-3 * np.abs(z) * (rng.standard_normal(n) + 1j * rng.standard_normal(n))


def best(calls, repeat):
    """Per call: (best wall time, median wall time, best CPU time), the calls taken in turn."""
    times = [[] for _ in calls]
    cpu = [[] for _ in calls]
    for _ in range(repeat):
        for k, call in enumerate(calls):
            start, start_cpu = time.perf_counter(), time.process_time()
            call()
            times[k].append(time.perf_counter() - start)
            cpu[k].append(time.process_time() - start_cpu)
    return [(min(t), float(np.median(t)), min(c)) for t, c in zip(times, cpu)]


def load(folder):
    """The korvane_tools package in ``folder``, imported under another name.

    Modules it lacks (the compiled ``_native``) come from this one's folders.
    """
    root = Path(folder) / "korvane_tools"
    spec = importlib.util.spec_from_file_location(
        "korvane_tools_against",
        root / "__init__.py",
        submodule_search_locations=[str(root), *kt.__path__],
    )
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--against", metavar="DIR", help="also time the korvane_tools in DIR")
    args = ap.parse_args()
    packages = [("this", kt)] + ([("against", load(args.against))] if args.against else [])
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
    rng = np.random.default_rng(20261207)
    for _, package in packages:  # imports and first-call costs out of the way
        package.drt(spectrum(60, np.random.default_rng(0)))
    print(
        f"{'package':<9}{'method':<14}{'points':>7}{'best ms':>10}{'median ms':>11}{'cpu ms':>9}"
        f"{'target ms':>11}  lambda"
    )
    for n in (60, 250):
        data = spectrum(n, rng)
        for label, method, options in ROWS:
            # A package without the deconvolution (an older one) times its plain drt there.
            runs = [
                (
                    name,
                    package,
                    {k: v for k, v in options.items() if k in signature(package.drt).parameters},
                )
                for name, package in packages
            ]
            calls = [lambda p=package, o=kw: p.drt(data, method, **o) for _, package, kw in runs]
            timings = best(calls, args.repeat)
            for (name, package, kw), (fastest, median, cpu) in zip(runs, timings):
                result = package.drt(data, method, **kw)
                target = TARGETS.get((method, n))
                shown = f"{1e3 * target:>11.0f}" if target else f"{'':>11}"
                verdict = "" if target is None else ("  meets" if fastest <= target else "  MISSES")
                print(
                    f"{name:<9}{label:<14}{n:>7}{1e3 * fastest:>10.1f}{1e3 * median:>11.1f}"
                    f"{1e3 * cpu:>9.1f}{shown}  {result.lambda_:.2g}{verdict}"
                )


if __name__ == "__main__":
    main()
