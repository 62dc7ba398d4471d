"""Small dense solvers for the distribution of relaxation times.

Both work on the *normal-equation* form of a regularised least-squares
problem, H = AᵀA + λ·R and g = Aᵀb, which is all the λ search needs to
rebuild for a new λ (an M×M update, M ≈ 100) instead of refactoring the
stacked (2N + M)×M system.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
from scipy.linalg import solve_triangular
from scipy.linalg.lapack import dposv

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]


def principal(a: FloatArray, idx: npt.NDArray[np.intp]) -> FloatArray:
    """a[idx][:, idx]: two takes copy a quarter of what one fancy index (np.ix_) does."""
    return np.asarray(a.take(idx, axis=0).take(idx, axis=1), dtype=np.float64)


def _spd_solve(a: FloatArray, b: FloatArray) -> tuple[FloatArray, FloatArray | None]:
    """a⁻¹b for symmetric positive definite a, and a's Cholesky factor.

    LAPACK posv; the factor is in the lower triangle (None when rounding
    spoiled the factorisation and LU solved instead).
    """
    factor, x, info = dposv(a, b, lower=1)
    if info != 0:
        return np.asarray(np.linalg.solve(a, b), dtype=np.float64), None
    return np.asarray(x, dtype=np.float64), np.asarray(factor, dtype=np.float64)


def nnls_gram(
    h: FloatArray, g: FloatArray, passive: BoolArray | None = None
) -> tuple[FloatArray, BoolArray, FloatArray | None]:
    """Minimise ½·xᵀHx − gᵀx subject to x ≥ 0 (H symmetric positive definite).

    First the primal–dual active-set method (Hintermüller, Ito and Kunisch,
    SIAM J. Optim. 13, 2003), which moves many variables between the free
    and the held set per step and mostly ends in a handful of solves; it is
    not guaranteed to terminate, so after a few steps without reaching the
    optimality conditions Lawson and Hanson's method, which is, finishes
    from where it stopped. ``passive`` (the free set of a nearby problem,
    e.g. the previous λ) is a warm start. Returns the solution, its free
    set (the warm start for the next call) and, when at hand, the Cholesky
    factor (lower triangle) of H on that free set.
    """
    n = g.size
    tol = 1e-12 * max(float(np.max(np.abs(g))), float(np.max(np.abs(np.diag(h)))), 1e-300)
    free = np.ones(n, dtype=bool) if passive is None else passive.copy()
    for _ in range(30):
        x = np.zeros(n)
        idx = np.flatnonzero(free)
        factor = None
        if idx.size:
            x[idx], factor = _spd_solve(principal(h, idx), g[idx])
        gradient = h @ x - g
        # KKT: x ≥ 0 on the free set, gradient ≥ 0 on the held set.
        if np.all(x[idx] >= 0) and np.all(gradient[~free] >= -tol):
            positive = free & (x > 0)
            same = bool(np.array_equal(positive, free))
            return np.maximum(x, 0.0), positive, factor if same else None
        free = (free & (x > 0)) | (~free & (gradient < -tol))
    x, free = _lawson_hanson(h, g, free, tol)
    return x, free, None


def _lawson_hanson(
    h: FloatArray, g: FloatArray, passive: BoolArray, tol: float
) -> tuple[FloatArray, BoolArray]:
    n = g.size
    free = passive.copy()
    x = np.zeros(n)

    def solve(mask: BoolArray) -> FloatArray:
        idx = np.flatnonzero(mask)
        return _spd_solve(principal(h, idx), g[idx])[0]

    # A warm start need not be feasible: drop variables whose unconstrained
    # value on the free set is not positive until it is. The result is a
    # feasible point that minimises over its free set, from which the method
    # proceeds as from a cold start.
    while free.any():
        z = solve(free)
        if np.all(z > 0):
            x[free] = z
            break
        idx = np.flatnonzero(free)
        free[idx[z <= 0]] = False

    for _ in range(3 * n + 10):
        w = g - h @ x  # minus the gradient; > 0 where raising x_j lowers the cost
        w[free] = -np.inf
        j = int(np.argmax(w))
        if not w[j] > tol:
            break
        free[j] = True
        while True:
            z = solve(free)
            idx = np.flatnonzero(free)
            if np.all(z > 0):
                x[:] = 0.0
                x[idx] = z
                break
            # Step from x towards z until the first free variable hits zero.
            bad = z <= 0
            xb = x[idx][bad]
            alpha = float(np.min(xb / (xb - z[bad])))
            x[idx] += alpha * (z - x[idx])
            drop = idx[x[idx] <= tol * 1e-3 + 0.0]
            drop = np.union1d(drop, idx[bad & (x[idx] <= 0)])
            free[drop] = False
            x[drop] = 0.0
            if not free.any():
                break
    return x, free


def sample_projected_gaussian(
    precision: FloatArray, mode: FloatArray, count: int, rng: np.random.Generator
) -> FloatArray:
    """``count`` draws of N(mode, precision⁻¹), each projected onto x ≥ 0 (count × M).

    x = mode + C⁻ᵀε with precision = CCᵀ and ε standard normal: exact and
    independent draws for one Cholesky factor and a triangular solve,
    whatever the correlation of the coordinates (where a Gibbs sampler's
    chains crawl along the ridge and under-cover). The projection leaves
    the probability of negative values on the wall at zero.
    """
    factor = np.linalg.cholesky(precision)
    noise = rng.standard_normal((mode.size, count))
    x = mode[:, None] + solve_triangular(factor.T, noise, lower=False, check_finite=False)
    return np.ascontiguousarray(np.maximum(x, 0.0).T)
