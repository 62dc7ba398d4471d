"""The guessing network, its targets and its exact float64 reference.

Architecture (one-dimensional, L = 64 positions):
  stem   Conv1d(3 -> Ch, K=5, pad 2)
  4 x    y = GN(conv1_d(h)); y = GELU(y); y = GN(conv2_d(y)); h = GELU(h + y)
         with dilations 1, 2, 4, 8 and zero padding d*(K-1)/2
  pool   [mean over positions, max over positions, 2 descriptors]
  head   Linear(2Ch+2 -> H), GELU, Linear(H -> H), GELU, Linear(H -> 2P)
GELU is the tanh form, GN GroupNorm(8, Ch, eps=1e-5). The head's first P
outputs are standardised means, the last P log-variances (Gaussian NLL;
Nix & Weigend, "Estimating the mean and variance of the target probability
distribution", 1994).

Targets: each parameter divided by Z_c^a * omega_c^(b + c*alpha) (the scaling
rows), base-10 logarithm except for alphas, then standardised.
"""

from __future__ import annotations

import math

import numpy as np
import torch
from torch import nn

KERNEL = 5
GROUPS = 8
DILATIONS = (1, 2, 4, 8)
ALPHA_MIN, ALPHA_MAX = 0.05, 1.0


class Block(nn.Module):
    def __init__(self, ch: int, dilation: int):
        super().__init__()
        pad = dilation * (KERNEL - 1) // 2
        self.conv1 = nn.Conv1d(ch, ch, KERNEL, dilation=dilation, padding=pad)
        self.norm1 = nn.GroupNorm(GROUPS, ch, eps=1e-5)
        self.conv2 = nn.Conv1d(ch, ch, KERNEL, dilation=dilation, padding=pad)
        self.norm2 = nn.GroupNorm(GROUPS, ch, eps=1e-5)
        self.act = nn.GELU(approximate="tanh")

    def forward(self, h):
        y = self.act(self.norm1(self.conv1(h)))
        y = self.norm2(self.conv2(y))
        return self.act(h + y)


class GuessNet(nn.Module):
    def __init__(self, ch: int, hidden: int, n_params: int):
        super().__init__()
        self.stem = nn.Conv1d(3, ch, KERNEL, padding=KERNEL // 2)
        self.blocks = nn.ModuleList(Block(ch, d) for d in DILATIONS)
        self.head = nn.Sequential(
            nn.Linear(2 * ch + 2, hidden),
            nn.GELU(approximate="tanh"),
            nn.Linear(hidden, hidden),
            nn.GELU(approximate="tanh"),
            nn.Linear(hidden, 2 * n_params),
        )
        self.n_params = n_params

    def forward(self, grid, desc):
        h = self.stem(grid)
        for b in self.blocks:
            h = b(h)
        feats = torch.cat([h.mean(dim=2), h.amax(dim=2), desc], dim=1)
        out = self.head(feats)
        return out[:, : self.n_params], out[:, self.n_params :]


def gaussian_nll(mean, logvar, target):
    logvar = logvar.clamp(-9.0, 6.0)
    return 0.5 * (logvar + (target - mean) ** 2 * torch.exp(-logvar)).mean()


def weighted_gaussian_nll(mean, logvar, target, weights, beta=0.0):
    """Gaussian NLL with per-parameter weights and the beta-NLL factor
    stopgrad(var)^beta (Seitzer et al., "On the pitfalls of heteroscedastic
    uncertainty estimation with probabilistic neural networks", ICLR 2022).
    Plain NLL scales the mean's gradient by 1/var, so spectra the network
    finds hard get little pull on their means and stay hard; beta = 0.5
    evens that out while leaving the variance's optimum unchanged."""
    logvar = logvar.clamp(-9.0, 6.0)
    term = 0.5 * (logvar + (target - mean) ** 2 * torch.exp(-logvar))
    if beta:
        term = term * torch.exp(beta * logvar).detach()
    return (term * weights).mean()


def weighted_laplace_nll(mean, logvar, target, weights, beta=0.0):
    """Laplace NLL, log b + |y - mean|/b with b = exp(logvar/2), weighted
    like weighted_gaussian_nll by stopgrad(b^2)^beta. Its mean converges to
    the conditional median rather than the conditional mean, which suits
    errors judged by their median; with beta = 0.5 the mean's gradient is
    sign(y - mean) for every spectrum alike (least absolute deviations)."""
    logvar = logvar.clamp(-9.0, 6.0)
    term = 0.5 * logvar + (target - mean).abs() * torch.exp(-0.5 * logvar)
    if beta:
        term = term * torch.exp(beta * logvar).detach()
    return (term * weights).mean()


def half_rounded_state(model: GuessNet) -> dict[str, np.ndarray]:
    """Network tensors as the weight file stores them (binary16), widened to
    float64, keyed by the names in the file without the "w." prefix."""
    return {
        k: v.detach().cpu().numpy().astype(np.float16).astype(np.float64)
        for k, v in model.state_dict().items()
    }


# ---------------------------------------------------------------- targets


def rescale_factor(scaling: np.ndarray, alphas: np.ndarray, omega_c, z_c):
    """Z_c^a * omega_c^(b + c*alpha) per parameter. `alphas` holds, per
    parameter, the alpha its scaling row refers to (ignored when none).
    Broadcasts over a leading batch axis of omega_c/z_c/alphas."""
    e = scaling[:, 2] * alphas + scaling[:, 1]
    return z_c ** scaling[:, 0] * omega_c**e


def alpha_of_rows(scaling: np.ndarray, values: np.ndarray) -> np.ndarray:
    idx = scaling[:, 3].astype(int)
    return np.where(idx >= 0, values[..., np.maximum(idx, 0)], 0.0)


def raw_targets(values, scaling, logp, omega_c, z_c):
    """Physical values (batch, P) -> unstandardised targets (batch, P)."""
    values = np.asarray(values, dtype=np.float64)
    oc = np.asarray(omega_c, dtype=np.float64)[..., None]
    zc = np.asarray(z_c, dtype=np.float64)[..., None]
    v = values / rescale_factor(scaling, alpha_of_rows(scaling, values), oc, zc)
    return np.where(logp > 0, np.log10(np.where(logp > 0, v, 1.0)), v)


# ------------------------------------------------- float64 reference forward


def _gelu(v):
    return (np.tanh((v + v * (v * (0.044715 * v))) * 0.7978845608028654) + 1.0) * (v * 0.5)


def _conv(w, b, x, d):
    c_out, c_in, k = w.shape
    length = x.shape[1]
    pad = d * (k - 1) // 2
    out = np.repeat(b[:, None], length, axis=1).astype(np.float64)
    for i in range(c_in):
        for tap in range(k):
            col = w[:, i, tap]
            if not np.any(col != 0):
                continue
            s = tap * d - pad
            lo, hi = max(0, -s), min(length, length - s)
            if lo >= hi:
                continue
            # a zero weight adds nothing, even against a non-finite input
            contrib = np.where(
                col[:, None] != 0, col[:, None] * x[i, lo + s : hi + s][None, :], 0.0
            )
            out[:, lo:hi] = out[:, lo:hi] + contrib
    return out


def _ordered_rowsum(a):
    return np.cumsum(a, axis=-1)[..., -1] + -0.0


def _group_norm(x, gamma, beta, groups):
    ch, length = x.shape
    per = ch // groups
    out = np.empty_like(x)
    for g in range(groups):
        block = x[g * per : (g + 1) * per].reshape(-1)
        m = block.size
        mean = _ordered_rowsum(block) / m
        var = _ordered_rowsum((block - mean) ** 2) / m
        inv = 1.0 / math.sqrt(var + 1e-5)
        for c in range(g * per, (g + 1) * per):
            out[c] = ((x[c] - mean) * inv) * gamma[c] + beta[c]
    return out


def _dense(w, b, u):
    return b + _ordered_rowsum(w * u[None, :])


def reference_forward(
    state: dict[str, np.ndarray],
    grid: np.ndarray,
    desc: np.ndarray,
    groups: int = GROUPS,
    dilations=DILATIONS,
) -> np.ndarray:
    """Head outputs (2P,) in float64 with the module's summation orders."""
    h = _conv(state["stem.weight"], state["stem.bias"], grid, 1)
    for i, d in enumerate(dilations):
        p = f"blocks.{i}."
        y = _conv(state[p + "conv1.weight"], state[p + "conv1.bias"], h, d)
        y = _gelu(_group_norm(y, state[p + "norm1.weight"], state[p + "norm1.bias"], groups))
        y = _conv(state[p + "conv2.weight"], state[p + "conv2.bias"], y, d)
        y = _group_norm(y, state[p + "norm2.weight"], state[p + "norm2.bias"], groups)
        h = _gelu(h + y)
    length = h.shape[1]
    mean = _ordered_rowsum(h) / length
    mx = np.array([np.max(r[~np.isnan(r)]) if np.any(~np.isnan(r)) else -np.inf for r in h])
    feats = np.concatenate([mean, mx, desc])
    u = _gelu(_dense(state["head.0.weight"], state["head.0.bias"], feats))
    u = _gelu(_dense(state["head.2.weight"], state["head.2.bias"], u))
    return _dense(state["head.4.weight"], state["head.4.bias"], u)


def denormalise(
    o,
    target_mean,
    target_std,
    logp,
    scaling,
    omega_c,
    z_c,
    alpha_min=ALPHA_MIN,
    alpha_max=ALPHA_MAX,
) -> np.ndarray:
    """Head means (P,) -> physical values (P,), as the module does it."""
    p = len(target_mean)
    v = np.empty(p)
    for j in range(p):
        zj = o[j] * target_std[j] + target_mean[j]
        v[j] = 10.0**zj if logp[j] != 0 else zj
    for j in range(p):
        if logp[j] == 0 and not math.isnan(v[j]):
            v[j] = min(max(v[j], alpha_min), alpha_max)
    out = np.empty(p)
    for j in range(p):
        ie, fe, ac, ai = scaling[j]
        ai = int(ai)
        e = ac * v[ai] if ai >= 0 else 0.0
        out[j] = z_c**ie * v[j] * omega_c ** (e + fe)
    return out


def denormalise_batch(o, target_mean, target_std, logp, scaling, omega_c, z_c):
    """Vectorised denormalise over a batch (batch, P) for evaluation."""
    zv = o * target_std + target_mean
    v = np.where(logp > 0, 10.0 ** np.where(logp > 0, zv, 0.0), zv)
    v = np.where(logp > 0, v, np.clip(v, ALPHA_MIN, ALPHA_MAX))
    fac = rescale_factor(
        scaling, alpha_of_rows(scaling, v), np.asarray(omega_c)[:, None], np.asarray(z_c)[:, None]
    )
    return v * fac
