"""Throughput of korvane_tools.fit_many: one thread, two threads, a Dask cluster.

10 000 synthetic 60-point spectra (100 kHz .. 10 mHz, 0.5 % proportional
noise, fixed seed) of the eleven trained topologies in turn, each fitted with
the defaults (network guess, then Levenberg–Marquardt). The same batch runs

  * on one thread and on two threads (``workers=1`` / ``workers=2``), and
  * on a Dask LocalCluster of two single-threaded worker processes,

and the script prints default fits per second for each, the two-thread
speed-up (target: at least 1.8x on two cores) and Dask's share of the
two-thread throughput (target: at least 85 %). Memory: the resident set of
this process is sampled after every tenth of the two-thread batch; it should
stay flat (no growth with the number of spectra fitted).

Then the batch length itself: 10^3, 10^4 and 10^5 tiny spectra (R0-(R1,C1),
12 points, start values given, so each fit takes tens of microseconds and
the batch machinery is what is measured) on two threads. Fits per second
should not fall with the length of the batch (it fell 5x from 10^4 to 8·10^4
while the main thread waited on every pending chunk after each completion).

    python bench/batch_scaling.py [--spectra N] [--no-dask] [--lengths-only]
"""

from __future__ import annotations

import argparse
import os
import time

import korvane
import korvane_tools as kt
import numpy as np

# Log-uniform ranges per parameter suffix: values a measured cell might have.
RANGES = {
    "r": (1.0, 200.0),
    "c": (1e-6, 1e-3),
    "q": (1e-6, 1e-3),
    "l": (1e-7, 1e-5),
    "aw": (1.0, 100.0),
    "z0": (1.0, 100.0),
    "tau": (0.1, 10.0),
}


def synthetic(
    n: int, seed: int = 7
) -> tuple[list[korvane.Circuit], list[tuple[np.ndarray, np.ndarray]]]:
    rng = np.random.default_rng(seed)
    f = np.logspace(5, -2, 60)
    names = korvane.Circuit.ml_circuits()
    circuits, spectra = [], []
    for i in range(n):
        c = korvane.Circuit(names[i % len(names)])
        values = []
        for name in c.param_names():
            kind = name.split(".")[1]
            if kind == "alpha":
                values.append(rng.uniform(0.7, 0.95))
            else:
                lo, hi = RANGES[kind]
                values.append(float(np.exp(rng.uniform(np.log(lo), np.log(hi)))))
        z = c.with_values(values).impedance(f)
        z = z * (1 + 0.005 * rng.standard_normal(60)) + 0.005 * np.abs(
            z
        ) * 1j * rng.standard_normal(60)
        circuits.append(c)
        spectra.append((f, z))
    return circuits, spectra


def rss_mb() -> float:
    with open("/proc/self/statm") as handle:
        pages = int(handle.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 1e6


def run_batch(spectra_by_topology, **kwargs) -> float:
    """Fits per second over the whole batch (one fit_many call per topology)."""
    start = time.perf_counter()
    count = 0
    for circuit, spectra in spectra_by_topology:
        frame = kt.fit_many(circuit, spectra, progress=False, **kwargs)
        assert frame["error"].isna().all(), frame["error"].dropna().head()
        count += len(frame)
    return count / (time.perf_counter() - start)


def batch_lengths() -> None:
    f = np.logspace(4, -1, 12)
    truth = korvane.Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
    z = truth.impedance(f)
    start = korvane.Circuit("R0-(R1,C1)").with_values([12.0, 80.0, 2e-5])
    kt.fit_many(start, [(f, z)] * 200, workers=2, progress=False)  # warm up
    rates = []
    for n in (1_000, 10_000, 100_000):
        began = time.perf_counter()
        frame = kt.fit_many(start, [(f, z)] * n, workers=2, progress=False, order=None)
        rates.append(n / (time.perf_counter() - began))
        assert frame["error"].isna().all()
        print(f"{n:>7} tiny spectra, 2 threads: {rates[-1]:8.0f} fits/s")
    print(f"10^5 against 10^3: {rates[-1] / rates[0]:4.2f}x the rate (linear: about 1x)")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=10_000)
    parser.add_argument("--no-dask", action="store_true")
    parser.add_argument("--lengths-only", action="store_true")
    args = parser.parse_args()
    batch_lengths()
    if args.lengths_only:
        return

    circuits, spectra = synthetic(args.spectra)
    by_topology: dict[str, tuple[korvane.Circuit, list]] = {}
    for c, s in zip(circuits, spectra):
        key = ",".join(c.param_names())
        by_topology.setdefault(key, (c, []))[1].append(s)
    groups = list(by_topology.values())
    print(
        f"{args.spectra} spectra of {len(groups)} topologies, 60 points each, {os.cpu_count()} cores"
    )

    # Warm up: load every network once, start the worker pool.
    run_batch([(c, s[:2]) for c, s in groups], workers=2)

    one = run_batch(groups, workers=1)
    print(f"1 thread : {one:8.0f} fits/s")

    # Two threads, in tenths, sampling memory after each.
    samples = [rss_mb()]
    start = time.perf_counter()
    done = 0
    tenth = [(c, s[i::10]) for i in range(10) for c, s in groups]
    for part in range(10):
        for c, s in tenth[part * len(groups) : (part + 1) * len(groups)]:
            done += len(kt.fit_many(c, s, workers=2, progress=False))
        samples.append(rss_mb())
    two = done / (time.perf_counter() - start)
    print(f"2 threads: {two:8.0f} fits/s   speed-up {two / one:4.2f}x (target >= 1.8x)")
    print("resident MB after each tenth: " + " ".join(f"{m:.0f}" for m in samples))
    growth = samples[-1] - samples[1]
    print(f"growth from first to last tenth: {growth:+.1f} MB")

    if not args.no_dask:
        from distributed import Client, LocalCluster

        with (
            LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            Client(cluster) as client,
        ):
            run_batch([(c, s[:4]) for c, s in groups], client=client)  # warm the workers
            dask = run_batch(groups, client=client)
        print(
            f"Dask (2 worker processes): {dask:8.0f} fits/s   "
            f"{100 * dask / two:5.1f} % of two threads (target >= 85 %)"
        )


if __name__ == "__main__":
    main()
