"""Small dense solvers for the distribution of relaxation times.

The non-negative fit works on the *normal-equation* form of a regularised
least-squares problem, H = AᵀA + λ·R and g = Aᵀb, which is all the λ
search needs to rebuild for a new λ (an M×M update, M ≈ 100) instead of
refactoring the stacked (2N + M)×M system.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import numpy.typing as npt
from scipy.linalg import solve_triangular

from .. import _native

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]


def principal(a: FloatArray, idx: npt.NDArray[np.intp]) -> FloatArray:
    """a[idx][:, idx]: two takes copy a quarter of what one fancy index (np.ix_) does."""
    return np.asarray(a.take(idx, axis=0).take(idx, axis=1), dtype=np.float64)


class GramSolution(NamedTuple):
    """What :func:`nnls_gram` returns."""

    x: FloatArray
    free: BoolArray  # the free set: the warm start for a nearby problem
    factor: FloatArray  # lower Cholesky factor of H on the free set, in ``order``
    order: npt.NDArray[np.int64]  # free variables in the factor's order


def nnls_gram(h: FloatArray, g: FloatArray, passive: BoolArray | None = None) -> GramSolution:
    """Minimise ½·xᵀHx − gᵀx subject to x ≥ 0 (H symmetric positive definite).

    An active-set method with Cholesky updates in the native module
    (``src/python_tools/nnls_gram.hpp``): primal–dual active-set steps,
    finished by Lawson and Hanson's method should they not settle, the
    factor of H on the free set updated row by row as variables enter and
    leave. ``passive`` (the free set of a nearby problem, e.g. the previous
    λ) is a warm start. The factor satisfies
    ``factor @ factor.T == h[order][:, order]``.
    """
    m = g.size
    h = np.ascontiguousarray(h, dtype=np.float64)
    free = np.ones(m, dtype=bool) if passive is None else np.array(passive, dtype=bool)
    x = np.empty(m)
    factor = np.empty(m * m)
    order = np.empty(m, dtype=np.int64)
    k, _ = _native.nnls_gram(h, np.ascontiguousarray(g, dtype=np.float64), free, x, factor, order)
    return GramSolution(x, free, factor[: k * k].reshape(k, k), order[:k])


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
