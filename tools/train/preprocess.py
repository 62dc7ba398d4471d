"""Spectrum preprocessing, float64, step for step as the module's inference.

1. Spectrum scales by the reactive centroid: weights w_i = max(-Im Z/|Z|, 0),
   ln omega_c = sum w ln(2 pi f) / sum w, ln Z_c = sum w ln|Z| / sum w (sums in
   point order from -0.0); with no capacitive weight (sum < 1e-9) the mean
   log angular frequency and the upper median of |Z|.
2. Stable sort by frequency; continuous phase by removing 2 pi jumps one
   point at a time.
3. Linear interpolation onto L log-spaced grid points, with the interpolation
   formula evaluated in a fixed order (np.interp rounds differently).
4. Three channels (log|Z| - log Z_c, phase/(pi/2), (grid - log f_c)/4) and two
   descriptors (span/8, log10(N)/2).

Everything is vectorised per spectrum with element-wise NumPy operations whose
IEEE results equal those of the scalar formulas; sequential sums use cumsum,
which accumulates in order.
"""

from __future__ import annotations

import math

import numpy as np

TWO_PI = 6.283185307179586
PI = 3.141592653589793
HALF_PI = 1.5707963267948966
N_GRID = 64


def _ordered_sum(v: np.ndarray) -> float:
    # sum from -0.0 in index order
    if v.size == 0:
        return -0.0
    return float(np.cumsum(v)[-1]) + -0.0


def spectrum_scales(f: np.ndarray, z: np.ndarray) -> tuple[float, float]:
    """(omega_c, Z_c)."""
    mag = np.hypot(z.real, z.imag)
    keep = ~((f <= 0) | (mag <= 0))
    fk, zk, mk = f[keep], z[keep], mag[keep]
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = -zk.imag / mk
    w = np.where(ratio > 0, ratio, 0.0)  # NaN ratio compares false -> 0
    s_w = _ordered_sum(w)
    if s_w >= 1e-9 or math.isnan(s_w):
        s_f = _ordered_sum(w * np.log(TWO_PI * fk))
        s_z = _ordered_sum(w * np.log(mk))
        return math.exp(s_f / s_w), math.exp(s_z / s_w)
    with np.errstate(divide="ignore", invalid="ignore"):
        lw = np.log(TWO_PI * f)
    omega_c = math.exp(_ordered_sum(lw) / f.size)
    z_c = float(np.sort(mag)[mag.size // 2])
    return omega_c, z_c


def continuous_phase(raw: np.ndarray) -> np.ndarray:
    out = np.empty_like(raw)
    prev = float(raw[0])
    out[0] = prev
    for k in range(1, raw.size):
        r = float(raw[k])
        d = r - prev
        w = d - TWO_PI * math.floor((d + PI) / TWO_PI)
        if w == -PI and r > prev:
            w = PI
        prev = prev + w
        out[k] = prev
    return out


def interp(xs: np.ndarray, ys: np.ndarray, t: np.ndarray) -> np.ndarray:
    p = np.searchsorted(xs, t, side="right")  # number of xs <= t
    i = np.clip(np.maximum(p, 1), 1, xs.size - 1)
    x0, x1, y0, y1 = xs[i - 1], xs[i], ys[i - 1], ys[i]
    with np.errstate(invalid="ignore", divide="ignore"):
        mid = ((t - x0) * (y1 - y0)) / (x1 - x0) + y0
    mid = np.where(x1 == x0, y0, mid)
    out = np.where(t <= xs[0], ys[0], np.where(t >= xs[-1], ys[-1], mid))
    return out


def features(f: np.ndarray, z: np.ndarray, n_grid: int = N_GRID):
    """Network input (3, L), descriptors (2,) and the scales (omega_c, Z_c)."""
    f = np.asarray(f, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    n = min(f.size, z.size)
    f, z = f[:n], z[:n]
    if n < 2:
        raise ValueError(f"need at least 2 frequency points to guess, got {n}")
    omega_c, z_c = spectrum_scales(f, z)
    order = np.argsort(f, kind="stable")
    fs, zs = f[order], z[order]
    x = np.log10(fs)
    m = np.log10(np.hypot(zs.real, zs.imag))
    phi = continuous_phase(np.arctan2(zs.imag, zs.real))
    span = x[-1] - x[0]
    step = span / (n_grid - 1) if n_grid >= 2 else 0.0
    g = np.arange(n_grid, dtype=np.float64) * step + x[0]
    lz = math.log10(z_c)
    lf = math.log10(omega_c / TWO_PI)
    grid = np.empty((3, n_grid))
    grid[0] = interp(x, m, g) - lz
    grid[1] = interp(x, phi, g) / HALF_PI
    grid[2] = (g - lf) * 0.25
    desc = np.array([span * 0.125, math.log10(f.size) * 0.5])
    return grid, desc, omega_c, z_c
