"""Train one topology's guessing network, resuming from its checkpoint.

    python tools/train/train.py rc --epochs 12

The run is fixed by the topology: data seeds (data.py), initialisation and
shuffling seeds (SEED + topology index), so rerunning with the same arguments
reproduces the same checkpoint up to thread-level floating-point ordering.
A checkpoint (model, optimiser, epoch, target standardisation, history) is
written after every epoch to runs/<name>/checkpoint.pt (not committed, see
README.md); running again continues from it, and raising --epochs continues
a finished run with a fresh cosine tail. --max-minutes stops after the epoch
that crosses the budget.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from pathlib import Path

import numpy as np
import torch

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import data as D  # noqa: E402
import topologies as T  # noqa: E402
from network import GuessNet, gaussian_nll, weighted_gaussian_nll, weighted_laplace_nll  # noqa: E402

SEED = 20240
TRAIN_COUNT = 100000
VAL_COUNT = 2000


def lr_at(step, steps_total, base, warmup=300):
    if step < warmup:
        return base * (step + 1) / warmup
    t = min(1.0, (step - warmup) / max(1, steps_total - warmup))
    return base * (0.02 + 0.98 * 0.5 * (1.0 + math.cos(math.pi * t)))


def save_atomic(obj, path: Path):
    tmp = path.with_suffix(".tmp")
    torch.save(obj, tmp)
    os.replace(tmp, path)


def evaluate_val(model, val, mean, std):
    model.eval()
    with torch.no_grad():
        mu, _ = model(torch.from_numpy(val["grid"]), torch.from_numpy(val["desc"]))
    pred = mu.double().numpy() * std + mean
    model.train()
    return np.median(np.abs(pred - val["targets"]), axis=0)


def param_weights(topo: T.Topology, text: str) -> np.ndarray:
    """ "R2.r=2,CPE2.alpha=2" -> per-parameter loss weights (others 1)."""
    w = np.ones(topo.n_params, dtype=np.float32)
    for item in filter(None, (s.strip() for s in text.split(","))):
        name, value = item.split("=")
        w[topo.param_names.index(name.strip())] = float(value)
    return w


def train(
    topo: T.Topology,
    epochs: int,
    batch: int,
    lr: float,
    standin: bool,
    max_minutes: float | None,
    train_count: int = TRAIN_COUNT,
    beta: float = 0.0,
    weights: str = "",
    phase_lr: float = 0.3,
    loss_kind: str = "gauss",
    inside_count: int = 0,
    measured_count: int = 0,
    measured_repeat: int = 1,
    hard_repeat: int = 0,
    fit_loss_weight: float = 0.0,
    unlabelled_count: int = 0,
    off_model: bool = False,
):
    torch.set_num_threads(int(os.environ.get("TRAIN_THREADS", "2")))
    factory = lambda: D.impedance_backend(standin)  # noqa: E731
    tr = D.load_or_generate(topo, "train", train_count, factory)
    val = D.load_or_generate(topo, "val", VAL_COUNT, factory)
    val_inside = None
    if inside_count:
        # Extra spectra with every feature inside the window: the identifiable
        # cases get more of the network's capacity than the training
        # distribution alone gives them, which still includes its edge cases.
        extra = D.load_or_generate(topo, "train_inside", inside_count, factory)
        tr = {k: np.concatenate([tr[k], extra[k]]) for k in tr}
        val_inside = D.load_or_generate(topo, "val_inside", VAL_COUNT, factory)
    if measured_count:
        # Measurement-like spectra labelled with the topology's best fit
        # (measured_like.py, labelled beforehand in the project's venv).
        import measured_like

        # Repeated: a few thousand labels (each a search of many fits) beside
        # 100 000 synthetic spectra would otherwise get a few per cent of the
        # gradient steps.
        extra = measured_like.load(topo, "train", measured_count, astray=hard_repeat > 0)
        # A best fit to a measured-like spectrum may sit in a corner (an
        # arc's resistance at 1e20 Ω turns it into a capacitor), tens of
        # standard deviations out: what the guess needs is the direction, not
        # a loss term that swamps the batch. So no label lies outside the
        # span of the synthetic targets.
        extra["targets"] = np.clip(
            extra["targets"], tr["targets"].min(axis=0), tr["targets"].max(axis=0)
        )
        parts = [extra] * measured_repeat
        if hard_repeat:
            lost = extra.pop("astray")
            print(
                f"[{topo.name}] {int(lost.sum())} of {measured_count} labels beat the default fit"
            )
            parts += [{k: v[lost] for k, v in extra.items()}] * hard_repeat
        tr = {k: np.concatenate([tr[k], *[p[k] for p in parts]]) for k in tr}
    ck_path = D.checkpoint_path(topo.name)
    ck_path.parent.mkdir(parents=True, exist_ok=True)
    fit_data = None
    if fit_loss_weight:
        import fit_loss

        fit_data = fit_loss.unlabelled(topo, unlabelled_count, off_model)

    torch.manual_seed(SEED + topo.index)
    model = GuessNet(topo.channels, topo.hidden, topo.n_params)
    opt = torch.optim.AdamW(model.parameters(), lr=lr, weight_decay=1e-4)
    state = {
        "epoch": 0,
        "history": [],
        "wall_seconds": 0.0,
        "step": 0,
        "phase_start": 0,
        "phase_epochs": epochs,
    }
    if ck_path.exists():
        ck = torch.load(ck_path, weights_only=False)
        model.load_state_dict(ck["model"])
        opt.load_state_dict(ck["optimizer"])
        state = ck["state"]
        mean, std = ck["target_mean"], ck["target_std"]
        if ck.get("train_count") != train_count:
            print(f"[{topo.name}] note: checkpoint was trained on {ck.get('train_count')} spectra")
        if epochs > state["epoch"] and state["phase_epochs"] <= state["epoch"]:
            # a finished run asked for more: a new cosine phase over the extra epochs
            state["phase_start"], state["phase_epochs"] = state["epoch"], epochs
        elif epochs != state["phase_epochs"]:
            # an interrupted run with another length: stretch its cosine to end there
            state["phase_epochs"] = max(epochs, state["epoch"] + 1)
        print(f"[{topo.name}] resuming at epoch {state['epoch']}", flush=True)
    else:
        mean = tr["targets"].mean(axis=0)
        std = tr["targets"].std(axis=0)

    fit = None if fit_data is None else fit_loss.FitLoss(topo, fit_data, mean, std)
    x_grid = torch.from_numpy(tr["grid"])
    x_desc = torch.from_numpy(tr["desc"])
    y = torch.from_numpy(((tr["targets"] - mean) / std).astype(np.float32))
    w = torch.from_numpy(param_weights(topo, weights))
    recipe = {
        "train_count": train_count,
        "loss": loss_kind,
        "beta": beta,
        "weights": weights,
        "batch": batch,
        "lr": lr,
        "phase_lr": phase_lr,
        "inside_count": inside_count,
        "measured_count": measured_count,
        "measured_repeat": measured_repeat,
        "hard_repeat": hard_repeat,
        "fit_loss_weight": fit_loss_weight,
        "unlabelled_count": unlabelled_count,
        "off_model": off_model,
    }
    n = y.shape[0]
    steps_per_epoch = n // batch
    t_start = time.time()
    while state["epoch"] < epochs:
        ep = state["epoch"]
        t0 = time.time()
        phase_steps = (state["phase_epochs"] - state["phase_start"]) * steps_per_epoch
        base_lr = lr if state["phase_start"] == 0 else lr * phase_lr
        warm = 300 if state["phase_start"] == 0 else 50
        g = torch.Generator().manual_seed(SEED * 1000 + topo.index * 100 + ep)
        perm = torch.randperm(n, generator=g)
        total = 0.0
        for s in range(steps_per_epoch):
            idx = perm[s * batch : (s + 1) * batch]
            local = (ep - state["phase_start"]) * steps_per_epoch + s
            for pg in opt.param_groups:
                pg["lr"] = lr_at(local, phase_steps, base_lr, warm)
            mu, logvar = model(x_grid[idx], x_desc[idx])
            if loss_kind == "laplace":
                loss = weighted_laplace_nll(mu, logvar, y[idx], w, beta)
            elif beta == 0.0 and not weights:
                loss = gaussian_nll(mu, logvar, y[idx])
            else:
                loss = weighted_gaussian_nll(mu, logvar, y[idx], w, beta)
            if fit is not None:
                # a batch of unlabelled measurement-like spectra, a quarter
                # the size of the synthetic one, scored by their guess's fit
                j = torch.randint(0, fit.count, (batch // 4,), generator=g)
                loss = loss + fit_loss_weight * fit(model, j)
            opt.zero_grad(set_to_none=True)
            loss.backward()
            torch.nn.utils.clip_grad_norm_(model.parameters(), 5.0)
            opt.step()
            total += loss.item()
        med = evaluate_val(model, val, mean, std)
        med_inside = None if val_inside is None else evaluate_val(model, val_inside, mean, std)
        dt = time.time() - t0
        state["epoch"] = ep + 1
        state["wall_seconds"] += dt
        state["history"].append(
            {
                "epoch": ep + 1,
                "loss": total / steps_per_epoch,
                "val_median": med.tolist(),
                "seconds": dt,
                "recipe": recipe,
                **({} if med_inside is None else {"val_inside_median": med_inside.tolist()}),
            }
        )
        save_atomic(
            {
                "model": model.state_dict(),
                "optimizer": opt.state_dict(),
                "state": state,
                "target_mean": mean,
                "target_std": std,
                "topology": topo.name,
                "train_count": train_count,
            },
            ck_path,
        )
        print(
            f"[{topo.name}] epoch {ep + 1}/{epochs} loss {total / steps_per_epoch:.4f} "
            f"val median |err| {np.array2string(med, precision=3)} {dt:.0f} s",
            flush=True,
        )
        if med_inside is not None:
            print(f"[{topo.name}]   inside {np.array2string(med_inside, precision=3)}", flush=True)
        if max_minutes is not None and time.time() - t_start > 60 * max_minutes:
            print(f"[{topo.name}] time budget reached after epoch {ep + 1}", flush=True)
            break
    return ck_path


def hold_lock(name: str) -> bool:
    """One trainer per topology: a second queue worker that reaches a topology
    still being trained elsewhere leaves it alone."""
    (D.RUNS / name).mkdir(parents=True, exist_ok=True)
    lock = D.RUNS / name / "train.lock"
    try:
        other = int(lock.read_text())
        os.kill(other, 0)
        return False
    except (FileNotFoundError, ValueError, ProcessLookupError):
        pass
    lock.write_text(str(os.getpid()))
    return True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("topology", choices=[t.name for t in T.TOPOLOGIES])
    ap.add_argument("--epochs", type=int, default=10)
    ap.add_argument("--batch", type=int, default=256)
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--train-count", type=int, default=TRAIN_COUNT)
    ap.add_argument("--max-minutes", type=float, default=None)
    ap.add_argument(
        "--beta",
        type=float,
        default=0.0,
        help="beta-NLL: weight each term by the detached variance^beta (0: plain NLL)",
    )
    ap.add_argument(
        "--weights", default="", help='per-parameter loss weights, e.g. "R2.r=2,CPE2.alpha=2"'
    )
    ap.add_argument(
        "--loss",
        choices=("gauss", "laplace"),
        default="gauss",
        help="likelihood of the (mean, log-variance) head; laplace reads the second "
        "half as 2 log b",
    )
    ap.add_argument(
        "--phase-lr",
        type=float,
        default=0.3,
        help="peak rate of a continued run's cosine phase, as a fraction of --lr",
    )
    ap.add_argument(
        "--inside-count",
        type=int,
        default=0,
        help="append this many spectra with every feature inside the window",
    )
    ap.add_argument(
        "--measured-count",
        type=int,
        default=0,
        help="append this many labelled measurement-like spectra (measured_like.py)",
    )
    ap.add_argument(
        "--measured-repeat",
        type=int,
        default=1,
        help="use the measured-like spectra this many times per epoch",
    )
    ap.add_argument(
        "--hard-repeat",
        type=int,
        default=0,
        help="use the measured-like spectra whose label beats the default fit this many times more",
    )
    ap.add_argument(
        "--fit-loss",
        type=float,
        default=0.0,
        help="weight of the fit loss on unlabelled measurement-like spectra (fit_loss.py)",
    )
    ap.add_argument("--unlabelled-count", type=int, default=20000)
    ap.add_argument(
        "--off-model",
        action="store_true",
        help="the fit loss on measurement-like spectra only, without the clean in-model share",
    )
    ap.add_argument(
        "--standin", action="store_true", help="dry run without korvane (never for shipped weights)"
    )
    a = ap.parse_args()
    if not hold_lock(a.topology):
        print(f"[{a.topology}] already being trained by another process", flush=True)
        return
    train(
        T.BY_NAME[a.topology],
        a.epochs,
        a.batch,
        a.lr,
        a.standin,
        a.max_minutes,
        a.train_count,
        a.beta,
        a.weights,
        a.phase_lr,
        a.loss,
        a.inside_count,
        a.measured_count,
        a.measured_repeat,
        a.hard_repeat,
        a.fit_loss,
        a.unlabelled_count,
        a.off_model,
    )


if __name__ == "__main__":
    main()
