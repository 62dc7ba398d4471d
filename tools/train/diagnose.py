"""Why a model misses its targets: over-fitting, where the errors sit, and
how much the spectra themselves say about each parameter.

    python tools/train/diagnose.py sei_randles [--fits 400]

1. Over-fitting: Gaussian NLL and median |error| (standardised targets) of
   the checkpoint on 5000 training spectra and on the validation set.
2. The inside held-out set is regenerated with its raw spectra (same seed,
   so the same parameters as the cached set) and the shipped file's errors
   are broken down by noise level, arc separation, resistance ratios,
   diffusion placement and alpha.
3. Information in the spectrum, two ways:
   * the Cramér–Rao bound: for proportional noise sigma*|Z| on the real and
     imaginary parts, the Fisher matrix in log10 coordinates (linear for
     alphas) is J^T J / sigma^2 with J the Jacobian of (Z_model - Z)/|Z|;
     the bound on each coordinate is sqrt(diag((J^T J)^-1)) * sigma;
   * an oracle fit: korvane's Levenberg–Marquardt started from the true
     values, i.e. the least-squares (maximum-likelihood) estimate next to
     the truth. Its median error is about the best any guesser that reads
     only the spectrum can reach on these spectra.
   (Kay, Fundamentals of Statistical Signal Processing: Estimation Theory,
   1993, ch. 3 for the bound.)
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import topologies as T  # noqa: E402

LN10 = np.log(10.0)


def overfit_check(topo):
    import data as D
    import torch
    from network import GuessNet, gaussian_nll

    ck = torch.load(D.checkpoint_path(topo.name), weights_only=False)
    model = GuessNet(topo.channels, topo.hidden, topo.n_params)
    model.load_state_dict(ck["model"])
    model.eval()
    mean, std = ck["target_mean"], ck["target_std"]
    factory = lambda: D.impedance_backend(False)  # noqa: E731
    tr = D.load_or_generate(topo, "train", ck.get("train_count") or 100000, factory)
    val = D.load_or_generate(topo, "val", 2000, factory)
    rng = np.random.default_rng(0)
    idx = rng.choice(len(tr["targets"]), 5000, replace=False)
    out = []
    for label, g, d, t in (
        ("train[5000]", tr["grid"][idx], tr["desc"][idx], tr["targets"][idx]),
        ("val", val["grid"], val["desc"], val["targets"]),
    ):
        y = torch.from_numpy(((t - mean) / std).astype(np.float32))
        with torch.no_grad():
            mu, lv = model(torch.from_numpy(g), torch.from_numpy(d))
            nll = gaussian_nll(mu, lv, y).item()
        med = np.median(np.abs(mu.double().numpy() - y.double().numpy()) * std, axis=0)
        out.append(
            f"  {label:12s} NLL {nll:.4f}  median |err| "
            + " ".join(f"{n}={m:.3f}" for n, m in zip(topo.param_names, med))
        )
    return out


def raw_inside(topo, count):
    """The inside held-out spectra, regenerated with their noise levels."""
    import data as D

    rng = np.random.default_rng(D.seed_for(topo, "test_inside"))
    backend = D.impedance_backend(False)
    spectra = []
    for _ in range(count):
        win = T.sample_window(rng)
        p = T.canonical_order(topo, T.sample_params(topo, win, rng, inside=True))
        values = np.array([p[n] for n in topo.param_names])
        z0 = backend(topo.circuit, values, win.freqs)
        level = D.NOISE_MAX * rng.random()
        z = T.add_noise(z0, rng, level)
        spectra.append((win.freqs, z, values, level))
    return spectra


def log_coords(topo):
    return np.array([T.kind(n) != "alpha" for n in topo.param_names])


def crlb(topo, circuit, f, z, values, level):
    """Cramér–Rao bound per coordinate (decades, or absolute for alphas)."""
    j = np.array(circuit.jacobian(list(values), list(f), list(z), weight="modulus"))
    # d/dlog10(p) = p ln10 d/dp; the residual weighting 1/|Z_meas| ~ 1/|Z| within the noise
    j = j * np.where(log_coords(topo), values * LN10, 1.0)[None, :]
    try:
        cov = np.linalg.inv(j.T @ j)
    except np.linalg.LinAlgError:
        return np.full(len(values), np.inf)
    return np.sqrt(np.maximum(np.diag(cov), 0.0)) * max(level, 1e-12)


def oracle_fit(topo, circuit, f, z, values):
    r = circuit.with_values(list(values)).fit(list(f), list(z), guess_init=False)
    got = np.array([r.params[n] for n in topo.param_names])
    return got


def bins_table(label, key, e, cols, edges):
    lines = [f"  by {label}:"]
    for lo, hi in zip(edges[:-1], edges[1:]):
        m = (key >= lo) & (key < hi)
        if m.sum() == 0:
            continue
        lines.append(
            f"    [{lo:g}, {hi:g}) n={m.sum():4d}  "
            + "  ".join(f"{c}={np.median(e[m, i]):.3f}" for c, i in cols)
        )
    return lines


def errors(topo, guess, true) -> np.ndarray:
    alpha = np.array([T.kind(n) == "alpha" for n in topo.param_names])
    with np.errstate(divide="ignore", invalid="ignore"):
        logerr = np.abs(np.log10(guess / true))
    return np.where(alpha, np.abs(guess - true), logerr)


def diag_path(topo):
    return HERE / "runs" / topo.name / "diagnose_inside.npz"


def breakdown(topo, count, skip_overfit):
    """Stage 1 (training environment): over-fitting check, error breakdown,
    and the raw inside spectra with the network's errors for stage 2."""
    import data as D
    from evaluate import MODELS, guesses
    from export import Parsed

    names = list(topo.param_names)
    lines = [f"# {topo.name}: {topo.circuit}"]
    if not skip_overfit:
        lines += [
            "over-fitting check (checkpoint, standardised-target units):",
            *overfit_check(topo),
        ]
    print("\n".join(lines), flush=True)
    spectra = raw_inside(topo, count)
    ds = D.load_or_generate(topo, "test_inside", count, lambda: D.impedance_backend(False))
    p = np.array([s[2] for s in spectra])
    assert np.array_equal(p, ds["params"]), "regenerated inside set differs from the cached one"
    sigma = np.array([s[3] for s in spectra])
    raw = (MODELS / f"{topo.name}.eisnn").read_bytes()
    g = guesses(topo, Parsed(raw), ds)
    e = errors(topo, g, p)
    np.savez(
        diag_path(topo),
        sigma=sigma,
        params=p,
        guess=g,
        sha256=np.array(hashlib.sha256(raw).hexdigest()),
        **{f"f{i}": s[0] for i, s in enumerate(spectra)},
        **{f"z{i}": s[1] for i, s in enumerate(spectra)},
    )
    col = lambda n: p[:, names.index(n)]  # noqa: E731
    tau = [(col(f"R{k}.r") * col(f"CPE{k}.q")) ** (1 / col(f"CPE{k}.alpha")) for k in (1, 2)]
    hard = [(n, names.index(n)) for n in names if n.startswith(("R2", "W", "Wo", "CPE2"))]
    out = ["inside set medians " + " ".join(f"{n}={np.median(e[:, i]):.3f}" for n, i in hard)]
    out += bins_table("noise sigma", sigma, e, hard, [0, 0.005, 0.01, 0.02, 0.03])
    out += bins_table(
        "log10(R2/R1)", np.log10(col("R2.r") / col("R1.r")), e, hard, [-1.5, -0.75, 0, 0.75, 1.5]
    )
    out += bins_table(
        "log10(R2/(R0+R1))",
        np.log10(col("R2.r") / (col("R0.r") + col("R1.r"))),
        e,
        hard,
        [-9, -1.5, -1, -0.5, 0, 9],
    )
    out += bins_table("log10(tau2/tau1)", np.log10(tau[1] / tau[0]), e, hard, [0.8, 1.5, 2.5, 9])
    out += bins_table("CPE2.alpha", col("CPE2.alpha"), e, hard, [0.5, 0.625, 0.75, 0.875, 1.0001])
    if "W2.aw" in names:
        r = 2 * np.log10(col("W2.aw") / col("R2.r")) + np.log10(tau[1])
        out += bins_table("log10(omega_W*tau2)", r, e, hard, [-9, -2, -1, -0.5, 0.01])
    else:
        out += bins_table(
            "log10(z0/R2)",
            np.log10(col("Wo2.z0") / col("R2.r")),
            e,
            hard,
            [-1, -0.5, 0, 0.5, 1, 1.6],
        )
        out += bins_table(
            "log10(tau_Wo/tau2)", np.log10(col("Wo2.tau") / tau[1]), e, hard, [0, 0.3, 1, 2, 3, 99]
        )
    print("\n".join(out), flush=True)


def target_for(topo, name):
    return 0.05 if T.kind(name) == "alpha" else 0.15


def information(topo, n):
    """Stage 2 (any interpreter whose korvane has fit and jacobian): the
    Cramér–Rao bound and oracle fits on the first n saved spectra."""
    import korvane

    d = np.load(diag_path(topo))
    names = list(topo.param_names)
    p, sigma, g = d["params"], d["sigma"], d["guess"]
    n = min(n, len(p))
    circuit = korvane.Circuit(topo.circuit)
    t0 = time.time()
    bound = np.array(
        [crlb(topo, circuit, d[f"f{i}"], d[f"z{i}"], p[i], sigma[i]) for i in range(n)]
    )
    fitted = np.array([oracle_fit(topo, circuit, d[f"f{i}"], d[f"z{i}"], p[i]) for i in range(n)])
    e = errors(topo, g[:n], p[:n])
    e_fit = errors(topo, fitted, p[:n])
    lines = [
        f"information in the first {n} inside spectra ({time.time() - t0:.0f} s):",
        "  parameter        network  oracle-fit  0.674*CRLB  P(0.674*CRLB > target)",
    ]
    for i, nm in enumerate(names):
        cr = 0.674 * bound[:, i]
        lines.append(
            f"  {nm:14s} {np.median(e[:, i]):8.3f} {np.median(e_fit[:, i]):10.3f} "
            f"{np.median(cr):11.3f} {np.mean(cr > target_for(topo, nm)):10.2f}"
        )
    for nm in names:
        if not nm.startswith(("R2", "W", "Wo", "CPE2")):
            continue
        i = names.index(nm)
        gap = e[:, i] - e_fit[:, i]
        lines.append(
            f"  {nm}: network worse than the oracle fit by > 0.1 on {np.mean(gap > 0.1):.2f} "
            f"of spectra; oracle error > target on {np.mean(e_fit[:, i] > target_for(topo, nm)):.2f}"
        )
    for lo, hi in ((0, 0.005), (0.005, 0.015), (0.015, 0.031)):
        m = (sigma[:n] >= lo) & (sigma[:n] < hi)
        lines.append(
            f"  sigma [{lo}, {hi}) n={m.sum()}: oracle "
            + " ".join(
                f"{nm}={np.median(e_fit[m, names.index(nm)]):.3f}"
                for nm in names
                if nm.startswith(("R2", "W", "Wo", "CPE2"))
            )
            + " | network "
            + " ".join(
                f"{nm}={np.median(e[m, names.index(nm)]):.3f}"
                for nm in names
                if nm.startswith(("R2", "W", "Wo", "CPE2"))
            )
        )
    print("\n".join(lines), flush=True)
    bands = []
    for lo, hi in ((0, 0.01), (0.01, 0.02), (0.02, 0.031)):
        m = (sigma[:n] >= lo) & (sigma[:n] < hi)
        bands.append(
            {
                "sigma": [lo, min(hi, 0.03)],
                "count": int(m.sum()),
                "oracle": np.median(e_fit[m], 0).tolist(),
                "network": np.median(e[m], 0).tolist(),
            }
        )
    res = {
        "sha256": str(d["sha256"]),
        "count": n,
        "network": np.median(e, 0).tolist(),
        "oracle": np.median(e_fit, 0).tolist(),
        "crlb": np.median(0.674 * bound, 0).tolist(),
        "crlb_over_target": [
            float(np.mean(0.674 * bound[:, i] > target_for(topo, nm))) for i, nm in enumerate(names)
        ],
        "oracle_over_target": [
            float(np.mean(e_fit[:, i] > target_for(topo, nm))) for i, nm in enumerate(names)
        ],
        "bands": bands,
        # optimistic: the better of network and oracle on every spectrum (no
        # estimator can choose that way, so a target missed here is out of reach
        # for this network's inputs in practice)
        "best_of": np.median(np.minimum(e, e_fit), 0).tolist(),
        # the network as it is, except matching the oracle where sigma < 0.005
        "low_noise_fixed": np.median(
            np.where((sigma[:n] < 0.005)[:, None], np.minimum(e, e_fit), e), 0
        ).tolist(),
    }
    print(
        "  best of network and oracle per spectrum: "
        + " ".join(f"{nm}={v:.3f}" for nm, v in zip(names, res["best_of"]))
    )
    print(
        "  network matching the oracle where sigma < 0.005: "
        + " ".join(f"{nm}={v:.3f}" for nm, v in zip(names, res["low_noise_fixed"]))
    )
    out = HERE / "results" / f"{topo.name}_information.json"
    out.write_text(json.dumps(res, indent=1))
    print("wrote", out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("topology")
    ap.add_argument("--count", type=int, default=2000)
    ap.add_argument("--skip-overfit", action="store_true")
    ap.add_argument(
        "--oracle",
        type=int,
        default=0,
        help="stage 2: bound and oracle fits on this many saved spectra",
    )
    a = ap.parse_args()
    topo = T.BY_NAME[a.topology]
    if a.oracle:
        information(topo, a.oracle)
    else:
        breakdown(topo, a.count, a.skip_overfit)


if __name__ == "__main__":
    main()
