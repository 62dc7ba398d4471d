"""Measurement-like training spectra, labelled by the best fit of the target topology.

The shipped networks learnt from clean in-model spectra: on measured ones
(other physics than the model, windows that cut arcs, drift, outliers,
cable inductance) their guess often starts the fit in the wrong basin. This
module makes spectra that look measured and labels each with what a user
wants the network to start from: the target topology's best fit to it, found
by a search with the fitter itself (a thorough multi-start, then basin
hopping from its result; see label()).

Per spectrum, drawn from the seed of its shard:

* a quarter are clean in-model spectra of the target (the trainer's own
  distribution, topologies.py), so the network keeps what it knows;
* the rest come from a *source*: any trained topology (the target among them)
  with, at random, an extra arc, a blocking (series CPE) tail or a cable
  inductance added in series; a window that may cut arcs (15-260 points,
  2-8 decades); heteroscedastic proportional noise of 0.05-3 % (its level a
  power of the frequency); drift along the measurement order; and a few
  outliers;
* for a target without an inductor the inductive points (Im Z > 0) are
  removed, as a user fitting it would remove them.

Shards of SHARD spectra are written to runs/<target>/measured_<split>/ as
.npz (network inputs, labels and scales, the raw spectra and the label's
chi-square; the trainer derives its targets on loading); a run skips the
shards already there, so it resumes where it was stopped.

    python tools/train/measured_like.py sei_randles --count 512 [--split train] [--shards 0:4]
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import preprocess  # noqa: E402
import topologies as T  # noqa: E402

# Labelling needs korvane and korvane_tools (the project's venv); training
# needs torch (.venv-train). This module imports neither at the top, so
# labelling runs without torch and the trainer reads the shards without
# korvane_tools.
RUNS = Path(__file__).resolve().parent / "runs"

SHARD = 64
#: Seeds: split s of target i, shard k -> MEASURED_SEEDS[s] * 10**6 + 1000 i + k,
#: apart from every seed of data.py.
MEASURED_SEEDS = {"train": 71, "val": 73}
CLEAN_SHARE = 0.25
LABEL_STARTS = 64
LABEL_STARTS_LEAN = 12
WIDE_SEARCH = frozenset({"sei_randles", "sei_randles_wo"})
MAX_POINTS = 260


def _impedance(text: str, values, f):
    import korvane

    return np.asarray(korvane.Circuit(text).with_values(list(values)).impedance(f))


def _window(rng):
    n = int(rng.integers(15, MAX_POINTS + 1))
    log_fmin = rng.uniform(-3.0, 1.5)
    decades = rng.uniform(2.0, 8.0)
    f = np.logspace(log_fmin + decades, log_fmin, n)  # instruments sweep downwards
    lw = math.log10(T.TWO_PI)
    return T.Window(f, log_fmin + lw, log_fmin + decades + lw)


def measured_like(target: T.Topology, rng: np.random.Generator, clean_share: float = CLEAN_SHARE):
    """(frequencies, impedances) of one training spectrum for ``target``."""
    if rng.random() < clean_share:  # as data.make_spectrum draws them
        win = T.sample_window(rng)
        p = T.canonical_order(target, T.sample_params(target, win, rng))
        f = win.freqs
        z = _impedance(target.circuit, [p[n] for n in target.param_names], f)
        z = T.add_noise(z, rng, 0.03 * rng.random())
    else:
        source = T.TOPOLOGIES[int(rng.integers(len(T.TOPOLOGIES)))]
        win = _window(rng)
        p = T.sample_params(source, win, rng)
        f = win.freqs
        z = _impedance(source.circuit, [p[n] for n in source.param_names], f)
        r_total = float(np.max(z.real) - np.min(z.real)) or float(np.max(np.abs(z)))
        w = T.TWO_PI * f
        if rng.random() < 0.3:  # one more arc, anywhere near the window
            tau = 10.0 ** -rng.uniform(win.lo - 1.0, win.hi + 1.0)
            r = r_total * 10.0 ** rng.uniform(-1.5, 0.5)
            alpha = rng.uniform(0.5, 1.0)
            z = z + _impedance("(R1,CPE1)", [r, tau**alpha / r, alpha], f)
        if rng.random() < 0.2:  # blocking electrode: a CPE in series
            alpha = rng.uniform(0.6, 1.0)
            w_b = 10.0 ** rng.uniform(win.lo - 0.5, win.lo + 1.5)  # |Z_CPE| = r_total there
            z = z + _impedance("CPE1", [1.0 / (r_total * w_b**alpha), alpha], f)
        if rng.random() < 0.3:  # cable inductance
            z = z + 1j * w * (r_total * 10.0 ** rng.uniform(-2.0, 0.5) / w.max())
        level = 10.0 ** rng.uniform(math.log10(5e-4), math.log10(0.03))
        # σ_i = level·|Z_i|·(f_i/f_mid)^h: noisier at one end of the window
        h = rng.uniform(-0.3, 0.3)
        sigma = level * np.abs(z) * (f / np.sqrt(f.min() * f.max())) ** h
        z = z + sigma * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))
        order = np.linspace(0.0, 1.0, z.size)  # fraction of the sweep done
        z = z * (1.0 + rng.normal(0.0, 0.01) * order) + rng.normal(0.0, 0.01) * r_total * order
        if rng.random() < 0.3:
            hit = rng.choice(z.size, size=int(rng.integers(1, 4)), replace=False)
            z[hit] *= 1.0 + rng.uniform(0.05, 0.3) * np.exp(1j * rng.uniform(0, T.TWO_PI, hit.size))
    if "L0.l" not in target.param_names:
        keep = z.imag <= 0
        f, z = f[keep], z[keep]
    return f, z


def label(target: T.Topology, f, z, seed: int):
    """The target's best fit to (f, z): (parameters, chi-square), or None.

    The search is a thorough fit and basin hopping from its result. For most
    targets a lean thorough fit (the knockouts and LABEL_STARTS_LEAN
    Latin-hypercube starts, least squares only) reaches what the wide one
    does at a fifth of the cost (within 2 % of its chi-square on 40 of 40
    two_rq and 50 of 50 two_rq_l spectra, 0.13-0.3 s of CPU each); the SEI
    models' landscapes need the annealing runs and the escalation
    (sei_randles_wo: 44 of 50 without).
    """
    import korvane
    import korvane_tools as kt
    from korvane_tools.thorough import fit_thorough

    circuit = korvane.Circuit(target.circuit)
    try:
        if target.name in WIDE_SEARCH:
            best = kt.fit(circuit, (f, z), thorough=True, seed=seed, starts=LABEL_STARTS)
        else:
            best = fit_thorough(
                kt.fit,
                circuit,
                (f, z),
                starts=LABEL_STARTS_LEAN,
                annealing_runs=0,
                escalate=False,
                seed=seed,
            )
        hop = kt.fit(best.circuit, (f, z), guess_init=False, method="basin_hopping", seed=seed)
    except ValueError:
        return None
    if hop.chi_square < best.chi_square:
        best = hop
    if not math.isfinite(best.chi_square):
        return None
    return T.canonical_order(target, dict(best.params)), best.chi_square


def shard_path(target: T.Topology, split: str, k: int) -> Path:
    return RUNS / target.name / f"measured_{split}" / f"shard_{k:05d}.npz"


def make_shard(target: T.Topology, split: str, k: int) -> Path:
    seed = MEASURED_SEEDS[split] * 10**6 + 1000 * target.index + k
    rng = np.random.default_rng(seed)
    rows = []
    while len(rows) < SHARD:
        f, z = measured_like(target, rng)
        if f.size < max(10, target.n_params):
            continue
        found = label(target, f, z, seed)
        if found is None:
            continue
        params, chi = found
        rows.append((f, z, np.array([params[n] for n in target.param_names]), chi))
    grids, descs, scales = [], [], []
    for f, z, _, _ in rows:
        g, d, oc, zc = preprocess.features(f, z)
        grids.append(g)
        descs.append(d)
        scales.append((oc, zc))
    freqs = np.full((SHARD, MAX_POINTS), np.nan)
    imps = np.full((SHARD, MAX_POINTS), np.nan, dtype=complex)
    for i, (f, z, _, _) in enumerate(rows):
        freqs[i, : f.size], imps[i, : z.size] = f, z
    path = shard_path(target, split, k)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npz")
    np.savez(
        tmp,
        grid=np.array(grids, np.float32),
        desc=np.array(descs, np.float32),
        params=np.array([r[2] for r in rows]),
        scales=np.array(scales),
        chi_square=np.array([r[3] for r in rows]),
        frequencies=freqs,
        impedances=imps,
    )
    os.replace(tmp, path)  # a shard is there whole or not at all
    return path


def default_chi_squares(target: T.Topology, shard) -> np.ndarray:
    """Chi-square of the default fit (the bundled network's guess) to each spectrum."""
    import korvane

    circuit = korvane.Circuit(target.circuit)
    out = []
    for f, z in zip(shard["frequencies"], shard["impedances"]):
        keep = np.isfinite(f)
        try:
            out.append(circuit.fit(f[keep], z[keep]).chi_square)
        except ValueError:
            out.append(math.inf)
    return np.array(out)


def load(target: T.Topology, split: str, count: int, astray: bool = False) -> dict[str, np.ndarray]:
    """The first ``count`` labelled spectra (whole shards), in the trainer's keys.

    With ``astray``, also a mask of the spectra whose label beats the default
    fit: that takes a fit per spectrum (seconds per thousand) and korvane in
    the trainer's venv, so it is made only when asked.
    """
    shards = -(-count // SHARD)
    missing = [k for k in range(shards) if not shard_path(target, split, k).exists()]
    if missing:
        raise SystemExit(
            f"[{target.name}] {len(missing)} of {shards} measured-like shards are not "
            f"labelled yet: python tools/train/measured_like.py {target.name} "
            f"--split {split} --count {count}"
        )
    from network import raw_targets  # torch: the trainer's venv

    parts = [np.load(shard_path(target, split, k)) for k in range(shards)]
    out = {
        key: np.concatenate([p[key] for p in parts])[:count]
        for key in ("grid", "desc", "params", "scales")
    }
    if astray:
        # Where the label beats the fit from the bundled network's guess, the
        # guess led the fit astray: the spectra the training is for.
        label_chi = np.concatenate([p["chi_square"] for p in parts])[:count]
        default_chi = np.concatenate([default_chi_squares(target, p) for p in parts])[:count]
        out["astray"] = label_chi * 1.02 < default_chi
    out["targets"] = raw_targets(
        out["params"],
        T.scaling_rows(target),
        T.log_params(target),
        out["scales"][:, 0],
        out["scales"][:, 1],
    )
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("topology", choices=sorted(T.BY_NAME))
    ap.add_argument("--split", default="train", choices=sorted(MEASURED_SEEDS))
    ap.add_argument("--count", type=int, default=SHARD)
    ap.add_argument(
        "--shards", default=None, help="label only shards FIRST:STOP (for parallel processes)"
    )
    a = ap.parse_args()
    target = T.BY_NAME[a.topology]
    started = time.time()
    total = -(-a.count // SHARD)
    first, stop = (int(x) for x in a.shards.split(":")) if a.shards else (0, total)
    for k in range(first, min(stop, total)):
        if shard_path(target, a.split, k).exists():
            continue
        t0 = time.time()
        make_shard(target, a.split, k)
        print(
            f"[{target.name}] {a.split} shard {k}: {SHARD} spectra in {time.time() - t0:.0f} s "
            f"(total {time.time() - started:.0f} s)",
            flush=True,
        )


if __name__ == "__main__":
    main()
