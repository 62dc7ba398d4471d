"""Held-out accuracy of the exported weight files; writes models/REPORT.md.

    python tools/train/evaluate.py [--count 2000]

For every models/<name>.eisnn two held-out sets are drawn from seeds never
used in training (data.SPLIT_SEEDS "test" and "test_inside"):
  * inside:  every arc apex, inductive tail and diffusion corner at least
             half a decade inside the measured window (the identifiable
             regime; the accuracy targets refer to it);
  * full:    the training distribution, features up to half a decade (the
             inductance up to 1.5 decades) beyond the window.
Guesses come from the file itself (binary16 weights) run in float64, i.e.
what the module computes. Errors are |log10(guess/true)| in decades, and
|guess - true| for alphas; the same figures for the element placeholder
values are listed beside them.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
import time
from pathlib import Path

import numpy as np
import torch

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(HERE))
import data as D  # noqa: E402
import topologies as T  # noqa: E402
from export import Parsed  # noqa: E402
from network import GuessNet, denormalise_batch  # noqa: E402

MODELS = ROOT / "models"
RESULTS = HERE / "results"
ONE_ARC = {"rc", "rc_l", "rq", "rq_l"}


def file_model(topo, parsed) -> GuessNet:
    m = GuessNet(topo.channels, topo.hidden, topo.n_params).double()
    m.load_state_dict(
        {k[2:]: torch.from_numpy(v.copy()) for k, v in parsed.tensors.items() if k.startswith("w.")}
    )
    m.eval()
    return m


def guesses(topo, parsed, ds) -> np.ndarray:
    m = file_model(topo, parsed)
    with torch.no_grad():
        o, _ = m(
            torch.from_numpy(ds["grid"].astype(np.float64)),
            torch.from_numpy(ds["desc"].astype(np.float64)),
        )
    t = parsed.tensors
    return denormalise_batch(
        o.numpy(),
        t["target_mean"],
        t["target_std"],
        t["log_params"],
        t["scaling"].reshape(-1, 4),
        ds["scales"][:, 0],
        ds["scales"][:, 1],
    )


def errors(topo, guess, true) -> np.ndarray:
    alpha = np.array([T.kind(n) == "alpha" for n in topo.param_names])
    with np.errstate(divide="ignore", invalid="ignore"):
        logerr = np.abs(np.log10(guess / true))
    return np.where(alpha, np.abs(guess - true), logerr)


def target_for(topo, name) -> float | None:
    k = T.kind(name)
    if k == "alpha":
        return 0.05
    if topo.name in ONE_ARC:
        return 0.05 if k in ("r", "c", "q") else None
    return 0.15


def placeholder_values(topo, n) -> np.ndarray:
    return np.tile([T.PLACEHOLDER[T.kind(p)] for p in topo.param_names], (n, 1))


def evaluate_topology(topo, count, backend_factory):
    raw = (MODELS / f"{topo.name}.eisnn").read_bytes()
    parsed = Parsed(raw)
    rows = {}
    for split in ("test_inside", "test"):
        ds = D.load_or_generate(topo, split, count, backend_factory)
        e_net = errors(topo, guesses(topo, parsed, ds), ds["params"])
        e_ph = errors(topo, placeholder_values(topo, count), ds["params"])
        rows[split] = [
            np.median(e_net, 0).tolist(),
            np.percentile(e_net, 90, 0).tolist(),
            np.median(e_ph, 0).tolist(),
            np.percentile(e_ph, 90, 0).tolist(),
        ]
    return {
        "sha256": hashlib.sha256(raw).hexdigest(),
        "count": count,
        "rows": rows,
        "training": training_note(topo),
        "backend": data_backend(topo),
    }


def cached_result(topo, count, backend_factory, refresh=False):
    """Figures of the current file, recomputed only when the file changed."""
    path = RESULTS / f"{topo.name}.json"
    sha = hashlib.sha256((MODELS / f"{topo.name}.eisnn").read_bytes()).hexdigest()
    if path.exists() and not refresh:
        res = json.loads(path.read_text())
        if res["sha256"] == sha and res["count"] == count:
            return res
    t0 = time.time()
    res = evaluate_topology(topo, count, backend_factory)
    RESULTS.mkdir(exist_ok=True)
    path.write_text(json.dumps(res, indent=1))
    print(f"{topo.name}: evaluated in {time.time() - t0:.0f} s", flush=True)
    return res


def sei_breakdown(topo, count, backend_factory) -> list[str]:
    """Where the charge-transfer resistance R2 of an SEI model is hard: the
    median error of R2 by arc separation and by the strength of the
    diffusion element next to it (inside set)."""
    parsed = Parsed((MODELS / f"{topo.name}.eisnn").read_bytes())
    ds = D.load_or_generate(topo, "test_inside", count, backend_factory)
    p, n = ds["params"], list(topo.param_names)
    e = errors(topo, guesses(topo, parsed, ds), p)
    i2 = n.index("R2.r")
    tau = [
        (p[:, n.index(f"R{k}.r")] * p[:, n.index(f"CPE{k}.q")])
        ** (1 / p[:, n.index(f"CPE{k}.alpha")])
        for k in (1, 2)
    ]
    sep = np.log10(tau[1] / tau[0])
    lines = [
        f"R2 median error by arc separation log10(τ2/τ1) in the *inside* set of {topo.name}:",
        "",
    ]
    for lo, hi in ((0.8, 1.5), (1.5, 2.5), (2.5, 9.0)):
        m = (sep >= lo) & (sep < hi)
        lines.append(f"- [{lo}, {hi}): {np.median(e[m, i2]):.3f} ({m.sum()} spectra)")
    lines.append("")
    if "W2.aw" in n:
        # |Z_W| equals R2 at omega_W = (aw/R2)^2; compare with the arc apex 1/tau2
        r = 2 * np.log10(p[:, n.index("W2.aw")] / p[:, i2]) + np.log10(tau[1])
        lines.append("R2 median error by log10(ω_W·τ2), ω_W where the Warburg impedance equals R2:")
        bins = ((-9.0, -1.0), (-1.0, 0.01))
    else:
        r = np.log10(p[:, n.index("Wo2.z0")] / p[:, i2])
        lines.append("R2 median error by log10(z0/R2):")
        bins = ((-1.0, 0.0), (0.0, 0.75), (0.75, 1.6))
    lines.append("")
    for lo, hi in bins:
        m = (r >= lo) & (r < hi)
        lines.append(f"- [{lo}, {hi}): {np.median(e[m, i2]):.3f} ({m.sum()} spectra)")
    return lines + [""]


def information_section(topo, res) -> list[str]:
    """The diagnose.py figures (results/<name>_information.json) beside the
    network's inside medians."""
    path = RESULTS / f"{topo.name}_information.json"
    if not path.exists():
        return []
    info = json.loads(path.read_text())
    names = list(topo.param_names)
    net = res["rows"]["test_inside"][0] if res else info["network"]
    current = res is None or info["sha256"] == res["sha256"]
    lines = [
        f"Information in the first {info['count']} *inside* spectra of {topo.name} "
        "(median |error|; shares of spectra):",
        "",
        "| parameter | target | network | oracle fit | 0.674·CR bound | bound > target | "
        "oracle > target | better of the two | network, oracle where σ < 0.005 |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for j, p in enumerate(names):
        tgt = target_for(topo, p)
        lines.append(
            f"| {p} | {'–' if tgt is None else f'≤ {tgt}'} | {net[j]:.3f} | "
            f"{info['oracle'][j]:.3f} | {info['crlb'][j]:.3f} | "
            f"{info['crlb_over_target'][j]:.2f} | {info['oracle_over_target'][j]:.2f} | "
            f"{info['best_of'][j]:.3f} | {info['low_noise_fixed'][j]:.3f} |"
        )
    lines += [
        "",
        "*better of the two*: the smaller of the network's and the oracle's error on each "
        "spectrum, an optimistic figure no estimator attains; a target it misses is out of "
        "reach from these spectra in practice. *network, oracle where σ < 0.005*: the "
        "network as shipped but as exact as the oracle on the least noisy sixth.",
        "",
        "By noise level σ (oracle fit / network"
        + ("" if current else ", network figures of an earlier file")
        + "):",
        "",
    ]
    hard = [j for j, p in enumerate(names) if p.startswith(("R2", "W", "CPE2"))]
    for b in info["bands"]:
        lines.append(
            f"- σ in [{b['sigma'][0]}, {b['sigma'][1]}) ({b['count']} spectra): "
            + ", ".join(f"{names[j]} {b['oracle'][j]:.3f} / {b['network'][j]:.3f}" for j in hard)
        )
    return lines + [""]


def training_note(topo) -> str:
    ck_path = D.checkpoint_path(topo.name)
    if not ck_path.exists():
        return "no checkpoint"
    st = torch.load(ck_path, weights_only=False)["state"]
    return f"{st['epoch']} epochs, {st['wall_seconds'] / 60:.1f} min of training"


def data_backend(topo) -> str:
    meta = D.RUNS / topo.name / "train_meta.txt"
    if not meta.exists():
        return "unknown"
    return [ln.split("=")[1] for ln in meta.read_text().splitlines() if ln.startswith("backend=")][
        0
    ]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("names", nargs="*")
    ap.add_argument("--count", type=int, default=2000)
    ap.add_argument("--standin", action="store_true")
    ap.add_argument("--refresh", action="store_true", help="recompute cached figures")
    ap.add_argument(
        "--only",
        nargs="*",
        default=None,
        help="evaluate these and stop (no report): for a side job while training runs",
    )
    a = ap.parse_args()
    names = a.names or [t.name for t in T.TOPOLOGIES if (MODELS / f"{t.name}.eisnn").exists()]
    factory = lambda: D.impedance_backend(a.standin)  # noqa: E731
    if a.only is not None:
        for n in a.only:
            cached_result(T.BY_NAME[n], a.count, factory, a.refresh)
        return
    out = [
        "# Guessing networks: held-out accuracy",
        "",
        "Written by `tools/train/evaluate.py`. Each topology is scored on "
        f"{a.count} held-out synthetic spectra per distribution, drawn from seeds never "
        "used in training, with proportional complex noise of 0–3 %. Guesses are computed "
        "from the shipped file (binary16 weights) in float64, as the module does. "
        "Figures are |log10(guess/true)| in decades (|guess − true| for alphas): "
        "median / 90th percentile, next to the same figures for the element placeholder "
        "values (r = 1, c = 0.001, l = 1e-6, q = 0.001, alpha = 0.8, aw = 1, z0 = 1, tau = 10).",
        "",
        "*inside*: every arc apex, inductive tail and diffusion corner lies at least half a "
        "decade inside the measured window (the accuracy targets refer to this set). "
        "*full*: the training distribution, where those features may lie up to half a decade "
        "(the inductance up to 1.5 decades) outside the window and are then partly "
        "unidentifiable from the spectrum.",
        "",
    ]
    summary = []
    results_of = {}
    for n in names:
        topo = T.BY_NAME[n]
        res = cached_result(topo, a.count, factory, a.refresh)
        results_of[n] = res
        rows = {k: [np.array(x) for x in v] for k, v in res["rows"].items()}
        out += [
            f"## {n}: `{topo.circuit}`",
            "",
            f"Training: {res['training']}; data from `{res['backend']}`.",
            "",
            "| parameter | target (median) | inside: network | inside: placeholder "
            "| full: network | full: placeholder | target met |",
            "|---|---|---|---|---|---|---|",
        ]
        met_all = True
        for j, p in enumerate(topo.param_names):
            tgt = target_for(topo, p)
            ni = rows["test_inside"][0][j]
            met = "–" if tgt is None else ("yes" if ni <= tgt else "**no**")
            met_all &= tgt is None or ni <= tgt
            cell = lambda r: f"{r[0][j]:.3f} / {r[1][j]:.3f}"  # noqa: E731
            ph = lambda r: f"{r[2][j]:.2f} / {r[3][j]:.2f}"  # noqa: E731
            out.append(
                f"| {p} | {'–' if tgt is None else f'≤ {tgt}'} | "
                f"{cell(rows['test_inside'])} | {ph(rows['test_inside'])} | "
                f"{cell(rows['test'])} | {ph(rows['test'])} | {met} |"
            )
        out.append("")
        summary.append(f"| {n} | {'yes' if met_all else 'no'} |")
    sei = [n for n in names if n.startswith("sei_")]
    if sei:
        out += [
            "## The SEI models: what limits them",
            "",
            "In both SEI models the charge-transfer arc (R2, CPE2) sits next to a diffusion "
            "element in series with R2. `tools/train/diagnose.py` looks at three causes. "
            "*Over-fitting*: none to speak of (Gaussian NLL and medians on 5000 training spectra "
            "within a few per cent of the validation set's). *Information in the spectrum*: "
            "for every inside spectrum the Cramér–Rao bound of the proportional-noise "
            "likelihood (0.674·bound is the median |error| an unbiased efficient estimator "
            "would have) and an *oracle fit*, korvane's Levenberg–Marquardt started from the "
            "true values, i.e. the least-squares (maximum-likelihood) estimate beside the truth: "
            "about the best a reader of the spectrum alone can do. The network also knows the "
            "training distribution, so it can beat the oracle where the noise is high; it cannot "
            "beat it by much where the oracle itself misses the target on most spectra. "
            "*Learning*: where the noise is low the oracle is nearly exact and the network is not; "
            "that gap is what further training narrowed (β-NLL, a Laplace likelihood and last "
            "a fine-tune with extra inside-window spectra, see `tools/train/README.md`).",
            "",
        ]
        for n in sei:
            out += information_section(T.BY_NAME[n], results_of.get(n))
            out += sei_breakdown(T.BY_NAME[n], a.count, factory)
    out += [
        "## Summary",
        "",
        "| model | every median target met (inside) |",
        "|---|---|",
        *summary,
        "",
    ]
    (MODELS / "REPORT.md").write_text("\n".join(out))
    print("wrote", MODELS / "REPORT.md")


if __name__ == "__main__":
    main()
