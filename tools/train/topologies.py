"""The eleven trained topologies and the synthetic parameter distribution.

Parameters are drawn relative to a random measurement window so that every
feature of the spectrum (arc apex, inductive tail, diffusion tail) lands
inside the window or partly outside it, with each parameter's ratio to the
spectrum scales spread over several decades.

Interchangeable arcs (two RC or two RQ groups) are stored in canonical order:
the faster arc (smaller time constant R*C, or (R*Q)^(1/alpha)) is arc 1.
The SEI models are generated the same way round (SEI arc faster than the
charge-transfer arc), as in the cells they describe.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

TWO_PI = 6.283185307179586


@dataclass(frozen=True)
class Topology:
    index: int
    name: str
    circuit: str
    param_names: tuple[str, ...]
    channels: int
    hidden: int
    size: int  # exact byte size of the exported file

    @property
    def n_params(self) -> int:
        return len(self.param_names)


def _t(i, name, circuit, names, ch, h, size):
    return Topology(i, name, circuit, tuple(names.split(",")), ch, h, size)


TOPOLOGIES = [
    _t(0, "rc", "R0-(R1,C1)", "R0.r,R1.r,C1.c", 16, 64, 37039),
    _t(1, "rc_l", "L0-R0-(R1,C1)", "L0.l,R0.r,R1.r,C1.c", 32, 128, 138455),
    _t(2, "rq", "R0-(R1,CPE1)", "R0.r,R1.r,CPE1.q,CPE1.alpha", 32, 128, 138462),
    _t(3, "rq_l", "L0-R0-(R1,CPE1)", "L0.l,R0.r,R1.r,CPE1.q,CPE1.alpha", 32, 128, 139014),
    _t(4, "two_rc", "R0-(R1,C1)-(R2,C2)", "R0.r,R1.r,C1.c,R2.r,C2.c", 32, 128, 139009),
    _t(5, "two_rc_l", "L0-R0-(R1,C1)-(R2,C2)", "L0.l,R0.r,R1.r,C1.c,R2.r,C2.c", 32, 128, 139561),
    _t(
        6,
        "two_rq",
        "R0-(R1,CPE1)-(R2,CPE2)",
        "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,CPE2.q,CPE2.alpha",
        32,
        128,
        140127,
    ),
    _t(
        7,
        "two_rq_l",
        "L0-R0-(R1,CPE1)-(R2,CPE2)",
        "L0.l,R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,CPE2.q,CPE2.alpha",
        32,
        128,
        140679,
    ),
    _t(8, "randles", "R0-(R1-W1,CPE1)", "R0.r,R1.r,W1.aw,CPE1.q,CPE1.alpha", 32, 128, 139015),
    _t(
        9,
        "sei_randles",
        "R0-(R1,CPE1)-(R2-W2,CPE2)",
        "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,W2.aw,CPE2.q,CPE2.alpha",
        64,
        256,
        541576,
    ),
    _t(
        10,
        "sei_randles_wo",
        "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
        "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,Wo2.z0,Wo2.tau,CPE2.q,CPE2.alpha",
        64,
        256,
        542642,
    ),
]
BY_NAME = {t.name: t for t in TOPOLOGIES}

# Values an element starts with when nothing better is known; the report
# compares the network's guesses with these.
PLACEHOLDER = {
    "r": 1.0,
    "c": 1e-3,
    "l": 1e-6,
    "q": 1e-3,
    "alpha": 0.8,
    "aw": 1.0,
    "z0": 1.0,
    "tau": 10.0,
}


def kind(param_name: str) -> str:
    return param_name.rsplit(".", 1)[1]


def scaling_rows(topo: Topology) -> np.ndarray:
    """(P, 4): impedance exponent, frequency exponent, alpha coefficient,
    alpha index. The physical value is Z_c^a * v * omega_c^(b + c*alpha)."""
    rows = []
    for name in topo.param_names:
        k = kind(name)
        if k in ("r", "z0"):
            rows.append((1, 0, 0, -1))
        elif k == "c":
            rows.append((-1, -1, 0, -1))
        elif k == "l":
            rows.append((1, -1, 0, -1))
        elif k == "q":
            label = name.split(".")[0]
            rows.append((-1, 0, -1, topo.param_names.index(label + ".alpha")))
        elif k == "aw":
            rows.append((1, 0.5, 0, -1))
        elif k == "tau":
            rows.append((0, -1, 0, -1))
        elif k == "alpha":
            rows.append((0, 0, 0, -1))
        else:
            raise ValueError(name)
    return np.array(rows, dtype=np.float64)


def log_params(topo: Topology) -> np.ndarray:
    return np.array([0.0 if kind(n) == "alpha" else 1.0 for n in topo.param_names])


# ---------------------------------------------------------------- sampling


@dataclass
class Window:
    freqs: np.ndarray  # hertz, in measurement order
    lo: float  # log10 of the lowest angular frequency
    hi: float  # log10 of the highest angular frequency


def sample_window(rng: np.random.Generator) -> Window:
    log_fmin = rng.uniform(-3.0, 1.0)
    decades = rng.uniform(3.0, 8.0)
    n = int(rng.integers(20, 121))
    f = np.logspace(log_fmin, log_fmin + decades, n)
    if rng.random() < 0.5:
        f = f[::-1].copy()
    lw = math.log10(TWO_PI)
    return Window(f, log_fmin + lw, log_fmin + decades + lw)


def _u(rng, a, b):
    return rng.uniform(a, max(a, b))


def _arc_omegas(rng, win: Window, count: int, margin: float, min_sep: float = 0.8):
    """log10 of `count` arc apex frequencies, fastest first, at least
    `min_sep` decades apart. margin > 0 lets apexes fall outside the window
    by that many decades; margin < 0 keeps them that far inside."""
    a, b = win.lo - margin, win.hi + margin
    while True:
        w = np.sort(rng.uniform(a, b, count))[::-1]
        if count == 1 or np.all(-np.diff(w) >= min_sep):
            return w


def sample_params(
    topo: Topology, win: Window, rng: np.random.Generator, inside: bool = False
) -> dict[str, float]:
    """One random parameter set. `inside` narrows every placement so that the
    features it controls lie within the window (held-out evaluation of the
    identifiable regime)."""
    margin = -0.5 if inside else 0.5
    p: dict[str, float] = {}
    n_arcs = 2 if topo.name.startswith(("two_", "sei_")) else 1
    cpe = "CPE1.q" in topo.param_names
    w_arc = _arc_omegas(rng, win, n_arcs, margin)
    r1 = 10.0 ** rng.uniform(-2.0, 4.0)
    rs = [r1]
    if n_arcs == 2:
        rs.append(r1 * 10.0 ** rng.uniform(-1.5, 1.5))
    p["R0.r"] = r1 * 10.0 ** rng.uniform(-2.0, 1.0)
    for i in range(n_arcs):
        k = i + 1
        r = rs[i]
        tau = 10.0 ** (-w_arc[i])
        p[f"R{k}.r"] = r
        if cpe:
            alpha = rng.uniform(0.5, 1.0)
            # tau = (R Q)^(1/alpha)  =>  Q = tau^alpha / R
            p[f"CPE{k}.q"] = tau**alpha / r
            p[f"CPE{k}.alpha"] = alpha
        else:
            p[f"C{k}.c"] = tau / r
    if "L0.l" in topo.param_names:
        # omega_L * L = R0: the inductive tail starts near omega_L
        hi_l = win.hi - 0.2 if inside else win.hi + 1.5
        w_l = _u(rng, win.hi - 1.5, hi_l)
        p["L0.l"] = p["R0.r"] / 10.0**w_l
    last = n_arcs
    if f"W{last}.aw" in topo.param_names:
        # |Z_W| = aw*sqrt(2/omega) meets R at omega_W = (aw/R)^2
        lo_w = win.lo + 0.5 if inside else win.lo - 0.5
        hi_w = w_arc[-1] if inside else w_arc[-1] + 1.0
        w_w = _u(rng, lo_w, hi_w)
        p[f"W{last}.aw"] = rs[-1] * 10.0 ** (0.5 * w_w)
    if f"Wo{last}.z0" in topo.param_names:
        lo_w = win.lo + 0.5 if inside else win.lo - 0.5
        hi_w = w_arc[-1] - 0.3 if inside else w_arc[-1] + 0.5
        p[f"Wo{last}.z0"] = rs[-1] * 10.0 ** rng.uniform(-1.0, 1.5)
        p[f"Wo{last}.tau"] = 10.0 ** (-_u(rng, lo_w, hi_w))
    missing = set(topo.param_names) - set(p)
    assert not missing, missing
    return p


def canonical_order(topo: Topology, p: dict[str, float]) -> dict[str, float]:
    """Swap interchangeable arcs so that arc 1 has the smaller time constant."""
    if not topo.name.startswith("two_"):
        return p

    def log_tau(k):
        # ln τ = ln(R·Q)/α: a fitted α of 0 (the CPE a constant, no time
        # constant) or near it would divide by zero or overflow τ itself.
        rq = p[f"R{k}.r"] * (p[f"C{k}.c"] if f"C{k}.c" in p else p[f"CPE{k}.q"])
        alpha = p.get(f"CPE{k}.alpha", 1.0)
        if alpha <= 0.0:
            return math.inf
        return math.log(rq) / alpha if rq > 0.0 else -math.inf

    if log_tau(1) <= log_tau(2):
        return p
    q = dict(p)
    for n in p:
        label, par = n.split(".")
        if label[-1] in "12" and label[:-1] in ("R", "C", "CPE"):
            other = label[:-1] + ("2" if label[-1] == "1" else "1")
            q[n] = p[other + "." + par]
    return q


def add_noise(z: np.ndarray, rng: np.random.Generator, level: float) -> np.ndarray:
    """Proportional complex noise: each point moves by `level`*|Z| times a
    standard complex normal (independent real and imaginary parts)."""
    mag = np.abs(z)
    return z + level * mag * (rng.standard_normal(z.shape) + 1j * rng.standard_normal(z.shape))
