"""How often the default and the thorough fit reach the best minimum on measured spectra.

Every spectrum korvane_tools can read in the shared instrument files (files
the readers refuse are skipped, and listed) is fitted with every trained
topology that applies: the topologies without an inductor on the spectrum
with its inductive points (Im Z > 0) removed, the ones with an inductor on
the whole spectrum when it has inductive points. Per fit:

  * default:  korvane_tools.fit with the network's guess (= Circuit.fit);
  * thorough: korvane_tools.fit(thorough=True, seed=0);
  * best:     an exhaustive search — RANDOM_STARTS least-squares fits from
              random starts in the search coordinates (log10 for open
              parameters, linear for closed ones; half within two decades of
              the default fit, half within five, closed ones over (0.3, 1)
              and the whole range), and every fit method started at the
              guess and at the default fit (simulated annealing and basin
              hopping with two seeds each; particle swarm and differential
              evolution, slow and seldom better, once from the guess) — and
              the two fits above.

A fit reaches the best when its chi-square is at most 1.02x the best. Prints
the share per topology with median and 95th-percentile times. The search's
bests are cached (not committed) in bench/.cache/, keyed by the spectrum's
bytes, so a rerun times the two fits only.

With ``--weights DIR`` the default fit is also made with the weight files
in DIR (``<topology>.eisnn``, e.g. freshly exported networks) and their share
printed beside the bundled ones', from the same run. Judge a candidate
with the thorough fit in the run: without it (``--no-thorough``) the best
misses deeper minima on a few spectra, and a candidate that reaches the
shallower one looks better than it is.

    python bench/measured_quality.py [--quick] [--per-file N] [--topologies a,b] [--weights DIR]
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import hashlib
import json
import math
import os
import pathlib
import sys
import time

import korvane
import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
import korvane_tools as kt  # noqa: E402
from korvane_tools.comparison import TRAINED  # noqa: E402

SHARED = next(
    (p / "shared" / "data" for p in ROOT.parents if (p / "shared" / "data").is_dir()),
    ROOT.parent / "shared" / "data",
)
FOLDERS = ("instrument-files", "instrument-files-more")
CACHE = ROOT / "bench" / ".cache" / "measured_quality.json"
TOLERANCE = 1.02
MIN_POINTS = 10
RANDOM_STARTS = 64
SEARCH_SEED = 7_000_001  # any seed thorough's default (0) does not use
METHODS = (
    "nelder_mead",
    "simulated_annealing",
    "basin_hopping",
    "particle_swarm",
    "differential_evolution",
)
STOCHASTIC = {"simulated_annealing", "basin_hopping", "particle_swarm"}  # take a seed

TOPOLOGIES = TRAINED


def spectra(per_file, folders):
    """(key, frequencies, impedances) of every readable spectrum, and the refused files."""
    found, refused = [], []
    for folder in folders:
        for path in sorted((SHARED / folder).rglob("*")):
            if (
                not path.is_file()
                or path.suffix.lower() in (".md", ".license")
                or path.name
                in (
                    "LICENSE",
                    "SHA256SUMS",
                )
            ):
                continue
            try:
                frames = kt.read_spectra(path)
            except (ValueError, OSError, UnicodeError):
                refused.append(path.relative_to(SHARED))
                continue
            picks = np.unique(np.linspace(0, len(frames) - 1, min(per_file, len(frames))).round())
            for i in picks.astype(int):
                f, z = kt.spectrum(frames[i])
                if f.size >= MIN_POINTS:
                    found.append((f"{path.relative_to(SHARED)}#{i}", f, z))
    return found, refused


def problems(found, wanted):
    """(key, topology, circuit, f, z) of every fit to make."""
    out = []
    for key, f, z in found:
        inductive = z.imag > 0
        for name, text in TOPOLOGIES.items():
            if name not in wanted:
                continue
            if name.endswith("_l"):
                if not inductive.any():
                    continue
                ff, zz = f, z
            else:
                ff, zz = f[~inductive], z[~inductive]
            circuit = korvane.Circuit(text)
            if ff.size < MIN_POINTS or 2 * ff.size <= len(circuit.param_names()):
                continue
            out.append((key, name, circuit, ff, zz))
    return out


def digest(name, f, z):
    h = hashlib.sha1(name.encode())
    h.update(np.ascontiguousarray(f).tobytes())
    h.update(np.ascontiguousarray(z).tobytes())
    return h.hexdigest()


def chi(fit):
    try:
        value = fit().chi_square
    except ValueError:
        return math.inf
    return value if math.isfinite(value) else math.inf


def exhaustive_best(circuit, f, z, index):
    """Lowest chi-square of the random starts and of every method."""
    data = (f, z)
    default = kt.fit(circuit, data)
    guess = circuit.with_values(circuit.guess(f, z))
    center = np.array(list(default.params.values()))
    bounds = circuit.param_bounds()
    rng = np.random.default_rng(SEARCH_SEED + index)
    best = default.chi_square if math.isfinite(default.chi_square) else math.inf
    for k in range(RANDOM_STARTS):
        decades = 2.0 if k < RANDOM_STARTS // 2 else 5.0
        start = []
        for value, (lo, hi) in zip(center, bounds):
            if math.isfinite(hi):
                a, b = (0.3, 1.0) if k < RANDOM_STARTS // 2 else (lo, hi)
                a, b = max(a, lo), min(b, hi)
                start.append(a + (b - a) * rng.random())
            else:
                start.append(max(value, lo) * 10.0 ** rng.uniform(-decades, decades))
        best = min(best, chi(lambda: kt.fit(circuit.with_values(start), data, guess_init=False)))
    for method in METHODS:
        # the two population methods cost ~0.4 s a run: once, from the guess
        slow = method in ("particle_swarm", "differential_evolution")
        for origin in (guess,) if slow else (guess, default.circuit):
            for seed in (1, 2) if method in STOCHASTIC and not slow else (1,):
                best = min(
                    best,
                    chi(lambda: kt.fit(origin, data, guess_init=False, method=method, seed=seed)),
                )
    return best


def load_cache():
    try:
        return json.loads(CACHE.read_text())
    except (OSError, ValueError):
        return {}


def save_cache(cache):
    CACHE.parent.mkdir(exist_ok=True)
    tmp = CACHE.with_suffix(".tmp")
    tmp.write_text(json.dumps(cache, indent=0, sort_keys=True))
    tmp.replace(CACHE)  # never a half-written cache


def timed(fn):
    """Result, wall seconds and process CPU seconds (all threads) of ``fn()``."""
    t, c = time.perf_counter(), time.process_time()
    result = fn()
    return result, time.perf_counter() - t, time.process_time() - c


def percentile_ms(values, q):
    return 1000.0 * float(np.percentile(values, q)) if values else math.nan


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="one spectrum per file, first folder only")
    ap.add_argument("--per-file", type=int, default=4, help="spectra per multi-spectrum file")
    ap.add_argument("--topologies", default=",".join(TOPOLOGIES))
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="for the search")
    ap.add_argument(
        "--no-thorough",
        action="store_true",
        help="time the default fit only (not for judging --weights)",
    )
    ap.add_argument("--weights", type=pathlib.Path, help="candidate weight files to compare")
    args = ap.parse_args()
    folders = FOLDERS[:1] if args.quick else FOLDERS
    found, refused = spectra(1 if args.quick else args.per_file, folders)
    todo = problems(found, args.topologies.split(","))
    print(f"{len(found)} spectra, {len(todo)} fits; refused by the readers: {len(refused)} files")
    for path in refused:
        print(f"  skipped {path}")

    cache = load_cache()
    keys = [digest(name, f, z) for _, name, _, f, z in todo]
    missing = [i for i, k in enumerate(keys) if k not in cache]
    if missing:
        print(f"exhaustive search for {len(missing)} fits (cached in {CACHE.relative_to(ROOT)})")
        started = time.perf_counter()
        with cf.ThreadPoolExecutor(args.workers) as pool:
            jobs = {
                pool.submit(exhaustive_best, todo[i][2], todo[i][3], todo[i][4], i): i
                for i in missing
            }
            for n, job in enumerate(cf.as_completed(jobs), 1):
                cache[keys[jobs[job]]] = job.result()
                if n % 20 == 0 or n == len(missing):
                    save_cache(cache)
                    print(
                        f"  {n}/{len(missing)} ({time.perf_counter() - started:.0f} s)", flush=True
                    )

    rows = {}
    misses = []
    flagged, counted = [0, 0], [0, 0]  # default fits that carry a flag: [missed, reached]
    for (key, name, circuit, f, z), k in zip(todo, keys):
        default, t_default, _ = timed(lambda: kt.fit(circuit, (f, z)))
        if args.no_thorough:
            thorough, t_thorough, c_thorough = None, math.nan, math.nan
        else:
            thorough, t_thorough, c_thorough = timed(
                lambda: kt.fit(circuit, (f, z), thorough=True, seed=0)
            )
        file = args.weights / f"{name}.eisnn" if args.weights else None
        candidate = (
            chi(lambda: kt.fit(circuit, (f, z), weights=str(file)))
            if file and file.exists()
            else None
        )
        best = min(
            cache[k],
            default.chi_square,
            thorough.chi_square if thorough else math.inf,
            math.inf if candidate is None else candidate,
        )
        row = rows.setdefault(
            name, {"n": 0, "d": 0, "t": 0, "c": 0, "nc": 0, "td": [], "tt": [], "ct": [], "pts": []}
        )
        row["n"] += 1
        if candidate is not None:
            row["nc"] += 1
            row["c"] += candidate <= TOLERANCE * best
        d_ok = default.chi_square <= TOLERANCE * best
        row["d"] += d_ok
        flagged[d_ok] += bool(default.flags)
        counted[d_ok] += 1
        row["td"].append(t_default)
        row["pts"].append(f.size)
        if thorough is not None:
            row["t"] += thorough.chi_square <= TOLERANCE * best
            row["tt"].append(t_thorough)
            row["ct"].append(c_thorough)
            if thorough.chi_square > TOLERANCE * best:
                misses.append((key, name, thorough.chi_square / best))
        if not d_ok:
            misses.append((key, name + " (default)", default.chi_square / best))

    print(f"\nreached = chi-square <= {TOLERANCE}x the best found; times in ms (median / 95th pct)")
    print(
        f"{'topology':<16}{'fits':>6}{'default':>9}{'thorough':>10}{'default ms':>16}"
        f"{'thorough ms':>16}{'thorough CPU':>16}{'candidate':>11}"
    )
    total = {"n": 0, "d": 0, "t": 0, "c": 0, "nc": 0, "td": [], "tt": [], "ct": []}
    for name in TOPOLOGIES:
        if name not in rows:
            continue
        r = rows[name]
        for key in ("n", "d", "t", "c", "nc"):
            total[key] += r[key]
        total["td"] += r["td"]
        total["tt"] += r["tt"]
        total["ct"] += r["ct"]
        print_row(name, r)
    print_row("all", total)
    print(
        "default fits with a flag (korvane_tools' identifiability flags): "
        + ", ".join(
            f"{flagged[k]} of {counted[k]} {label}"
            for k, label in ((0, "that missed the best"), (1, "that reached it"))
        )
    )
    pairs = [
        (t, c)
        for r in rows.values()
        for t, c, p in zip(r["tt"], r["ct"], r["pts"])
        if 45 <= p <= 75
    ]
    if pairs:
        wall, cpu = zip(*pairs)
        print(
            f"thorough on 45-75 point spectra ({len(pairs)} fits): median "
            f"{percentile_ms(wall, 50):.0f} ms wall, {percentile_ms(cpu, 50):.0f} ms CPU "
            f"(all threads; /2 = wall on two idle cores: {percentile_ms(cpu, 50) / 2:.0f} ms)"
        )
    if misses:
        print("\nmisses (fit / best):")
        # every thorough miss, then the default fit's worst
        ranked = sorted(misses, key=lambda m: ("(default)" in m[1], -m[2]))
        shown = sum("(default)" not in m[1] for m in ranked) + 20
        for key, name, ratio in ranked[:shown]:
            print(f"  {ratio:9.3f}  {name:<28}{key}")
    print(f"(load average {os.getloadavg()[0]:.2f}, {os.cpu_count()} cores)")


def print_row(name, r):
    share = lambda k: f"{100.0 * r[k] / r['n']:.1f}%" if r["n"] else "-"  # noqa: E731
    thorough = share("t") if r["tt"] else "-"
    td = f"{percentile_ms(r['td'], 50):.1f} / {percentile_ms(r['td'], 95):.0f}"
    tt, ct = (
        (f"{percentile_ms(r[k], 50):.0f} / {percentile_ms(r[k], 95):.0f}" for k in ("tt", "ct"))
        if r["tt"]
        else ("-", "-")
    )
    candidate = f"{100.0 * r['c'] / r['nc']:.1f}%" if r["nc"] else "-"
    print(
        f"{name:<16}{r['n']:>6}{share('d'):>9}{thorough:>10}{td:>16}{tt:>16}{ct:>16}{candidate:>11}",
        flush=True,
    )


if __name__ == "__main__":
    main()
