"""Float64 NumPy forward pass of the guessing network, written independently of
the C++ inference to cross-check it.

Preprocessing works point by point on Python floats (math = the C library,
like the C++ side); the network works on whole arrays: the convolution as a
matrix product over zero-padded sliding windows, group normalisation through
reshapes, the dense head as matrix-vector products. Summation orders therefore
differ from the C++ kernels in the last bits only; the cross-check allows for
that with a 1e-12 relative tolerance.

Usage: ``guess(read_eisnn(path), frequencies, impedances)`` with the reader of
tools/eisnn; also ``scales`` and ``network_input`` for the preprocessing alone.
"""

from __future__ import annotations

import math
import struct

import numpy as np

TWO_PI = 6.283185307179586
PI = 3.141592653589793
HALF_PI = 1.5707963267948966


def _total_order_key(x: float) -> int:
    bits = struct.unpack("<q", struct.pack("<d", x))[0]
    return bits ^ 0x7FFFFFFFFFFFFFFF if bits < 0 else bits


def scales(freqs, zs):
    """(omega_c, z_c): reactive centroid, with the resistive fallback."""
    n = min(len(freqs), len(zs))
    sw = sf = sz = -0.0
    for f, z in zip(freqs[:n], zs[:n]):
        mag = math.hypot(z.real, z.imag)
        if not (f > 0.0) or not (mag > 0.0):
            continue
        w = -z.imag / mag
        w = w if w > 0.0 else 0.0
        sw += w
        sf += w * math.log(TWO_PI * f)
        sz += w * math.log(mag)
    if sw >= 1e-9 or math.isnan(sw):
        return math.exp(sf / sw), math.exp(sz / sw)
    total = -0.0
    for f in freqs:
        total += math.log(TWO_PI * f) if f > 0 else (-math.inf if f == 0 else math.nan)
    mags = sorted((math.hypot(z.real, z.imag) for z in zs), key=_total_order_key)
    return math.exp(total / len(freqs)), mags[len(mags) // 2]


def _log10(x: float) -> float:
    if x > 0:
        return math.log10(x)
    return -math.inf if x == 0 else math.nan


def _interp(xs, ys, t):
    if t <= xs[0]:
        return ys[0]
    if t >= xs[-1]:
        return ys[-1]
    lo, hi = 0, len(xs)  # count of xs <= t by bisection
    while lo < hi:
        mid = (lo + hi) // 2
        if xs[mid] <= t:
            lo = mid + 1
        else:
            hi = mid
    i = max(lo, 1)
    if xs[i] == xs[i - 1]:
        return ys[i - 1]
    return ((t - xs[i - 1]) * (ys[i] - ys[i - 1])) / (xs[i] - xs[i - 1]) + ys[i - 1]


def network_input(freqs, zs, n_grid, omega_c, z_c):
    """(3, n_grid) input and the two descriptors."""
    n = min(len(freqs), len(zs))
    order = sorted(range(n), key=lambda i: _total_order_key(freqs[i]))  # stable
    x = [_log10(freqs[i]) for i in order]
    m = [_log10(math.hypot(zs[i].real, zs[i].imag)) for i in order]
    raw = [math.atan2(zs[i].imag, zs[i].real) for i in order]
    phase = [raw[0]]
    for r in raw[1:]:
        prev = phase[-1]
        d = r - prev
        w = d - TWO_PI * math.floor((d + PI) / TWO_PI)
        if w == -PI and r > prev:
            w = PI
        phase.append(prev + w)
    span = x[-1] - x[0]
    step = span / (n_grid - 1) if n_grid >= 2 else 0.0
    lz = math.log10(z_c)
    lf = math.log10(omega_c / TWO_PI)
    out = np.empty((3, n_grid))
    for j in range(n_grid):
        g = j * step + x[0]
        out[0, j] = _interp(x, m, g) - lz
        out[1, j] = _interp(x, phase, g) / HALF_PI
        out[2, j] = (g - lf) * 0.25
    return out, span * 0.125, math.log10(len(freqs)) * 0.5


def conv(x, weight, bias, dilation):
    """Same-size zero-padded dilated 1-D convolution, x (c_in, L) -> (c_out, L)."""
    c_out, c_in, k = weight.shape
    length = x.shape[1]
    pad = dilation * (k - 1) // 2
    right = dilation * (k - 1) - pad
    padded = np.concatenate([np.zeros((c_in, pad)), x, np.zeros((c_in, right))], axis=1)
    # windows[i, k, t] = x[i, t + k·d − pad]
    windows = np.stack(
        [padded[:, kk * dilation : kk * dilation + length] for kk in range(k)], axis=1
    )
    return weight.reshape(c_out, c_in * k) @ windows.reshape(c_in * k, length) + bias[:, None]


def group_norm(x, gamma, beta, groups):
    ch, length = x.shape
    g = x.reshape(groups, (ch // groups) * length)
    mean = g.mean(axis=1, keepdims=True)
    var = ((g - mean) ** 2).mean(axis=1, keepdims=True)
    y = ((g - mean) / np.sqrt(var + 1e-5)).reshape(ch, length)
    return y * gamma[:, None] + beta[:, None]


def gelu(v):
    return 0.5 * v * (1.0 + np.tanh(0.7978845608028654 * (v + 0.044715 * v**3)))


def guess(wf, freqs, zs):
    """Starting values for a spectrum, from a file read by tools/eisnn.read_eisnn."""
    md = wf.metadata
    t = {k: v.values for k, v in wf.tensors.items()}
    n_grid = int(md["n_grid"])
    ch = int(md["channels"])
    k = int(md["kernel"])
    groups = int(md["groups"])
    dilations = [int(p.strip()) for p in md["dilations"].split(",")]
    names = md["param_names"].split(",")
    p_count = len(names)

    omega_c, z_c = scales(freqs, zs)
    x, e0, e1 = network_input(freqs, zs, n_grid, omega_c, z_c)

    def w(name):
        return t["w." + name]

    h = conv(x, w("stem.weight").reshape(ch, 3, k), w("stem.bias"), 1)
    for b, d in enumerate(dilations):
        pre = f"blocks.{b}."
        y = conv(h, w(pre + "conv1.weight").reshape(ch, ch, k), w(pre + "conv1.bias"), d)
        y = gelu(group_norm(y, w(pre + "norm1.weight"), w(pre + "norm1.bias"), groups))
        y = conv(y, w(pre + "conv2.weight").reshape(ch, ch, k), w(pre + "conv2.bias"), d)
        y = group_norm(y, w(pre + "norm2.weight"), w(pre + "norm2.bias"), groups)
        h = gelu(h + y)
    features = np.concatenate([h.mean(axis=1), np.nanmax(h, axis=1), [e0, e1]])
    u = gelu(w("head.0.weight") @ features + w("head.0.bias"))
    u = gelu(w("head.2.weight") @ u + w("head.2.bias"))
    o = (w("head.4.weight") @ u + w("head.4.bias"))[:p_count]

    mean = t["target_mean"].reshape(-1)[:p_count]
    std = t["target_std"].reshape(-1)[:p_count]
    is_log = t["log_params"].reshape(-1)[:p_count] != 0.0
    z = o * std + mean
    v = np.where(is_log, 10.0**z, z)
    lo, hi = float(md["alpha_min"]), float(md["alpha_max"])
    v = np.where(is_log, v, np.clip(v, lo, hi))
    rows = t["scaling"].reshape(-1, 4)[:p_count]
    out = []
    for p in range(p_count):
        a, b, c, idx = rows[p]
        idx = int(math.copysign(math.floor(abs(idx) + 0.5), idx))
        e = c * v[idx] if idx >= 0 else 0.0
        out.append(z_c**a * v[p] * omega_c ** (e + b))
    return np.array(out)
