"""The fit loss: how well the guess itself fits a measurement-like spectrum.

The fit that starts from the guess ends in the basin the guess lies in. A
guess trained only to regress parameters of clean in-model spectra can lie
in a poor basin of a measured spectrum, and regressing best-fit labels (a
search of many fits each) at the scale a session can label did not move it
(README.md). This loss needs no label: it is the mean over the spectrum of
the squared relative residual of the guess,

    L = log( (1/N) Σ_k |Z(θ̂; ω_k) − Z_k|² / |Z_k|² ),

with θ̂ the network's means turned back into parameters. Its gradient
pulls each guess downhill on the fit's own cost (modulus weights, as the
default fit uses), averaged over many spectra; the logarithm makes it
independent of the spectrum's noise level and scale.

Everything is in the network's normalised units: ω/ω_c and Z/Z_c. Then a
parameter is 10^t (t the unstandardised target) for every kind but the
exponents, and the element formulas keep their form (the scaling rows of
topologies.py are exactly the factors that make this so):
C = 1/(jω̃v), L = jω̃v, CPE = 1/(v (jω̃)^α), W = v(1 − j)/√ω̃,
Wo = z0/(x tanh x) with x = √(jω̃τ), combined by standin.combine (series
parts add impedances, parallel branches admittances, as in korvane).

Unlabelled spectra come from measured_like.measured_like (seeded apart from
its labelled shards) and are cached under runs/<name>/unlabelled_<N>.npz.
"""

from __future__ import annotations

import math
import time

import measured_like as M
import numpy as np
import preprocess
import standin
import topologies as T
import torch

UNLABELLED_SEED = 77_000_000  # + 1000 * topology index; apart from every other split


def unlabelled(topo: T.Topology, count: int, off_model: bool = False) -> dict[str, np.ndarray]:
    """``count`` measurement-like spectra with their network inputs (cached).

    ``off_model`` leaves out the clean in-model share. On an in-model
    spectrum the fit loss pulls the guess towards the least-squares fit of
    its noise, which the supervised loss, knowing the prior, already beats;
    the two then pull apart on exactly the spectra the accuracy targets
    score.
    """
    path = M.RUNS / topo.name / f"unlabelled_{'off_' if off_model else ''}{count}.npz"
    if path.exists():
        return dict(np.load(path))
    rng = np.random.default_rng(UNLABELLED_SEED + 1000 * topo.index)
    freqs = np.full((count, M.MAX_POINTS), np.nan)
    imps = np.full((count, M.MAX_POINTS), np.nan, dtype=complex)
    grids, descs, scales = [], [], []
    t0 = time.time()
    while len(grids) < count:
        f, z = M.measured_like(topo, rng, 0.0 if off_model else M.CLEAN_SHARE)
        if f.size < max(10, topo.n_params):
            continue
        g, d, oc, zc = preprocess.features(f, z)
        i = len(grids)
        freqs[i, : f.size], imps[i, : z.size] = f, z
        grids.append(g)
        descs.append(d)
        scales.append((oc, zc))
    out = {
        "frequencies": freqs,
        "impedances": imps,
        "grid": np.array(grids, np.float32),
        "desc": np.array(descs, np.float32),
        "scales": np.array(scales),
    }
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npz")
    np.savez(tmp, **out)
    tmp.replace(path)
    print(f"[{topo.name}] generated {count} unlabelled spectra in {time.time() - t0:.0f} s")
    return out


class FitLoss:
    """L above for a batch of the unlabelled spectra, from standardised means."""

    def __init__(self, topo: T.Topology, data: dict[str, np.ndarray], mean, std):
        mask = np.isfinite(data["frequencies"])
        oc, zc = data["scales"][:, :1], data["scales"][:, 1:]
        self.circuit = topo.circuit
        self.alpha = np.array([n.endswith(".alpha") for n in topo.param_names])
        self.w = torch.from_numpy(
            np.where(mask, T.TWO_PI * np.nan_to_num(data["frequencies"]) / oc, 1.0)
        )
        self.z = torch.from_numpy(np.where(mask, np.nan_to_num(data["impedances"]) / zc, 1.0))
        self.mask = torch.from_numpy(mask.astype(np.float64))
        self.grid = torch.from_numpy(data["grid"])
        self.desc = torch.from_numpy(data["desc"])
        self.mean = torch.from_numpy(np.asarray(mean, dtype=np.float64))
        self.std = torch.from_numpy(np.asarray(std, dtype=np.float64))
        self.count = mask.shape[0]

    def __call__(self, model, idx) -> torch.Tensor:
        mu, _ = model(self.grid[idx], self.desc[idx])
        t = mu.double() * self.std + self.mean
        # the exponents as the module's inference clamps them; the others
        # kept where 10^t stays finite
        values = torch.where(
            torch.from_numpy(self.alpha), t.clamp(0.05, 1.0), 10.0 ** t.clamp(-12.0, 12.0)
        )
        z_model = impedance(self.circuit, values, self.w[idx])
        z, m = self.z[idx], self.mask[idx]
        relative = (z_model - z).abs() ** 2 / z.abs() ** 2
        chi = (relative * m).sum(dim=1) / m.sum(dim=1)
        return torch.log(chi + 1e-12).mean()


def impedance(circuit: str, values: torch.Tensor, w: torch.Tensor) -> torch.Tensor:
    """Z (batch, points) of ``circuit`` at normalised ω for parameters (batch, P)."""

    def element(code: str, v: list[torch.Tensor]) -> torch.Tensor:
        if code == "R":
            return v[0] + 0j * w
        if code == "C":
            return 1.0 / (1j * w * v[0])
        if code == "L":
            return 1j * w * v[0]
        if code == "CPE":  # (jω)^α = ω^α e^{jπα/2}
            phase = torch.polar(torch.ones_like(v[1]), math.pi / 2 * v[1])
            return 1.0 / (v[0] * w ** v[1] * phase)
        if code == "W":
            return v[0] * (1 - 1j) / torch.sqrt(w)
        if code == "Wo":
            x = torch.sqrt(1j * w * v[1])
            return v[0] / (x * torch.tanh(x))
        raise ValueError(code)

    columns = [values[:, j : j + 1] for j in range(values.shape[1])]
    return standin.combine(circuit, columns, element, torch.zeros_like(w, dtype=torch.complex128))
