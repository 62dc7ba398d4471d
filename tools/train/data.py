"""Synthetic training and evaluation spectra.

Every spectrum is computed by korvane's own `Circuit.impedance`, so the
trainer and the module can never disagree on a formula. Data sets are fixed
by (topology, split): the seed of split s for topology i is
SPLIT_SEEDS[s] * 1000 + i, so a data set regenerates bit for bit and the
held-out splits never share a seed with training.

    python tools/train/data.py rc --split train --count 60000
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import preprocess  # noqa: E402
import topologies as T  # noqa: E402
from network import raw_targets  # noqa: E402

RUNS = Path(__file__).resolve().parent / "runs"
SPLIT_SEEDS = {
    "train": 11,
    "val": 23,
    "test": 37,
    "test_inside": 41,
    "fixture": 53,
    "train_inside": 59,
    "val_inside": 61,
}
# Splits drawn with every feature at least half a decade inside the window.
INSIDE_SPLITS = ("test_inside", "train_inside", "val_inside")
NOISE_MAX = 0.03


def impedance_backend(allow_standin: bool = False):
    """Returns f(circuit, values, freqs) -> complex array."""
    try:
        import korvane

        cache = {}

        def with_korvane(circuit, values, freqs):
            c = cache.get(circuit)
            if c is None:
                c = cache[circuit] = korvane.Circuit(circuit)
            return np.asarray(c.with_values(list(values)).impedance(list(freqs)))

        with_korvane.name = "korvane"
        return with_korvane
    except ImportError:
        if not allow_standin:
            raise SystemExit(
                "korvane is not importable in this interpreter; build it into the "
                "venv (bash tools/train/setup.sh) or pass --standin for a dry run"
            ) from None
        import standin

        standin.impedance.name = "standin"
        return standin.impedance


def checkpoint_path(name: str) -> Path:
    """A topology's resumable training state (model, optimiser, epoch, target
    standardisation, history), rewritten after every epoch. It lives with the
    cached data sets under runs/, which git ignores: the shipped result is the
    exported weight file under models/, not the checkpoint."""
    return RUNS / name / "checkpoint.pt"


def seed_for(topo: T.Topology, split: str) -> int:
    return SPLIT_SEEDS[split] * 1000 + topo.index


def make_spectrum(topo, rng, backend, inside=False):
    win = T.sample_window(rng)
    p = T.canonical_order(topo, T.sample_params(topo, win, rng, inside=inside))
    values = np.array([p[n] for n in topo.param_names])
    z = backend(topo.circuit, values, win.freqs)
    level = NOISE_MAX * rng.random()
    z = T.add_noise(z, rng, level)
    return win.freqs, z, values


def generate(topo: T.Topology, split: str, count: int, backend, out: Path | None = None):
    rng = np.random.default_rng(seed_for(topo, split))
    inside = split in INSIDE_SPLITS
    grids = np.empty((count, 3, preprocess.N_GRID), np.float32)
    descs = np.empty((count, 2), np.float32)
    params = np.empty((count, topo.n_params))
    scales = np.empty((count, 2))
    for i in range(count):
        f, z, values = make_spectrum(topo, rng, backend, inside)
        g, d, oc, zc = preprocess.features(f, z)
        grids[i], descs[i], params[i], scales[i] = g, d, values, (oc, zc)
    targets = raw_targets(
        params, T.scaling_rows(topo), T.log_params(topo), scales[:, 0], scales[:, 1]
    )
    data = {"grid": grids, "desc": descs, "params": params, "scales": scales, "targets": targets}
    if out is not None:
        out.mkdir(parents=True, exist_ok=True)
        for k, v in data.items():
            np.save(out / f"{split}_{k}.npy", v)
        (out / f"{split}_meta.txt").write_text(
            f"count={count}\nseed={seed_for(topo, split)}\nbackend={backend.name}\n"
        )
    return data


def korvane_available() -> bool:
    try:
        import korvane  # noqa: F401

        return True
    except ImportError:
        return False


def load_or_generate(topo, split, count, backend_factory):
    """Cached data set; regenerated when the count differs or when it was made
    by the stand-in and korvane has become importable."""
    d = RUNS / topo.name
    meta = d / f"{split}_meta.txt"
    text = meta.read_text() if meta.exists() else ""
    stale = "backend=standin" in text and korvane_available()
    if f"count={count}\n" in text and not stale:
        return {
            k: np.load(d / f"{split}_{k}.npy")
            for k in ("grid", "desc", "params", "scales", "targets")
        }
    backend = backend_factory()
    t0 = time.time()
    data = generate(topo, split, count, backend, d)
    print(
        f"[{topo.name}] generated {split}: {count} spectra in {time.time() - t0:.0f} s "
        f"({backend.name})",
        flush=True,
    )
    return data


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("topology")
    ap.add_argument("--split", default="train", choices=sorted(SPLIT_SEEDS))
    ap.add_argument("--count", type=int, default=60000)
    ap.add_argument("--standin", action="store_true")
    a = ap.parse_args()
    topo = T.BY_NAME[a.topology]
    load_or_generate(topo, a.split, a.count, lambda: impedance_backend(a.standin))


if __name__ == "__main__":
    main()
