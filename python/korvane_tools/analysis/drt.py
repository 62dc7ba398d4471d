"""The distribution of relaxation times (DRT) of a measured spectrum.

A spectrum of a causal, linear and stable cell without resonances is a series
resistance, perhaps an inductance, and a continuum of RC relaxations:

    Z(ω) = R∞ + jωL + ∫ γ(ln τ) / (1 + jωτ) d ln τ,      γ ≥ 0,

γ in ohm per unit of ln τ, so that ∫ γ d ln τ over a peak is the resistance
of the process it stands for. Recovering γ is ill-posed; it is regularised
(Tikhonov) and kept non-negative exactly.

Discretisation. γ(y) = Σ_m c_m·φ(y − y_m), y = ln τ, with radial basis
functions φ on collocation points y_m spaced Δ evenly over the measured range
[1/ω_max, 1/ω_min] extended on each side (a decade on the fast side, three
on the slow side, where a diffusion tail's γ keeps rising). c ≥ 0 makes γ ≥ 0
(the basis functions are non-negative). The impedance of one basis function,

    A′_im = ∫ φ(y − y_m) / (1 + ω_i²e^{2y}) dy,   A″_im = −∫ φ(y − y_m)·ω_i e^y / (1 + ω_i²e^{2y}) dy,

is computed by quadrature on a fine grid of step h = Δ/k shared by all y_m,
so the whole matrix is one product (kernel at the grid nodes) × (weighted
basis at the nodes). For the smooth bases (Gaussian, inverse quadratic) the
trapezoidal rule converges geometrically, the integrand being analytic in a
strip and decaying; h is chosen so its error is below 1e-12. The piecewise
linear (hat) basis has kinks on grid nodes, where composite Simpson's rule is
exact to O(h⁴) per smooth piece. The inverse quadratic decays only as 1/u²;
its mass beyond the grid, where the kernel is 1 or 0 to within 1e-12, is
added in closed form.

Fit. With weights 1/σ_i (σ_i = |Z_i| by default) the coefficients minimise

    Σ_i |(Z_i − Ẑ_i)/σ_i|² + λ·∫ (dᵏγ/dyᵏ)² dy / Z₀²,    c, R∞, L ≥ 0,

(k = 2 by default, or 1; Z₀ = max |Z_i| makes λ dimensionless) over the
real, the imaginary or both parts, solved by an active-set NNLS on the normal
equations (:func:`._solvers.nnls_gram`), warm-started from one λ to the next.
Outside the measured τ range the data say little, and a derivative penalty
lets γ climb there unhindered; a ∫γ² penalty on those stretches keeps
mass out of them unless the data ask for it (a diffusion tail does).
Once λ is chosen, two more fits at that λ weight the derivative penalty's
density by 1/(γ/max γ + 0.03) from the fit before (:func:`_sharpen`): the
peaks keep the penalty λ was chosen for, the valleys and tails get up to 33
times more, which damps the ringing of a broad peak next to a sharp one
(and the ∫γ² outside the measured range up to 33² times more).

Choice of λ. Generalised cross-validation minimises
V(λ) = n·‖r‖² / (n − ρ·tr A(λ))², with the influence matrix A(λ) of the fit
restricted to the coefficients that are free (not held at zero by the
constraint), where the constrained fit is locally linear in the data, and
ρ = 4 (robust GCV; see ``_GCV_RHO``): every other decade of λ, then
single decades downhill from the best, then parabolic steps in log λ. The
L-curve picks the corner (largest curvature) of (log ‖r‖, log penalty); the
real–imaginary cross-validation fits one part and scores the prediction of the
other (both ways), which is what the Kramers–Kronig relations make possible.

Bayesian band. Read as a posterior, the penalised objective is a Gaussian
with precision H/s² (H = AᵀA + λR, s² the residual variance from the fit)
restricted to c ≥ 0. The band is its Laplace approximation at the
constrained mode (the Tikhonov solution): exact draws of N(mode, s²H⁻¹) on
the coefficients that are free or held only weakly at zero, each projected
onto c ≥ 0 (:func:`._solvers.sample_projected_gaussian`), give a pointwise
credible band for γ. The band is that of the regularised γ: where the
penalty flattens a sharp peak it is centred on the flattened one, so it
covers the true γ of a ZARC at about 80 % of τ for a 95 % band (a Gibbs
sampler of the truncated posterior, which mixes slowly along the strongly
correlated coefficients, made it about 50 %).
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Literal, NamedTuple

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import sliding_window_view
from scipy import sparse
from scipy.linalg.lapack import dpotri
from scipy.ndimage import maximum_filter1d

from .._blas import one_blas_thread
from .._data import ComplexArray, Data, FloatArray, require_fittable, spectrum
from ._report import AnalysisReport
from ._solvers import BoolArray, nnls_gram, principal, sample_projected_gaussian

if TYPE_CHECKING:
    import korvane

Method = Literal["tikhonov", "bayesian"]
Basis = Literal["gaussian", "inverse_quadratic", "piecewise_linear"]
Part = Literal["both", "real", "imag"]
Criterion = Literal["gcv", "lcurve", "re-im"]

_TWO_PI = 2.0 * math.pi

#: Robustness factor of the GCV: V = n‖r‖²/(n − ρ·tr A)². Plain GCV (ρ = 1)
#: finds its minimum on a nearly flat floor at λ ~ 1e-10, where the
#: regularisation's side lobes split a ZARC's peak into three; ρ = 4 moved
#: λ into the range where synthetic ZARC pairs come out best (the robust or
#: modified GCV of the literature uses ρ > 1 for the same reason).
_GCV_RHO = 4.0

#: Weight (relative to the derivative penalty) of ∫γ² outside the measured τ
#: range, before the reweighting multiplies it by up to 1/floor² where γ is
#: small. At 0.1 % noise, fitted at λ ~ 1e-5, a weaker one let a bump pile up
#: two decades past the slowest τ that the slow peak's between-minima area
#: took in (+20 %); a stronger one, or an unweighted one, put extra peaks
#: into Randles spectra.
_OUTSIDE_WEIGHT = 1.0

#: Reweighting of the derivative penalty (see :func:`_sharpen`): passes, the
#: floor of γ/max γ in the weight 1/(γ/max γ + floor), and the reach (in
#: decades of τ) over which a peak shelters its flanks from the weight.
_REWEIGHT_PASSES = 2
_REWEIGHT_FLOOR = 0.03
_REWEIGHT_REACH = 0.2

#: Held coefficients pulled to zero by more than this many standard deviations
#: are not sampled for the credible band.
_HELD_SIGMAS = 3.0

#: log10 λ of the coarse search grid; the minimum found on it is refined.
_LOG_LAMBDA_GRID = np.arange(-11.0, -2.99, 1.0)
_LOG_LAMBDA_MAX = 2.0


class Zarc(NamedTuple):
    """The (R, CPE) pair that stands for one peak: R in ohm, τ = (R·Q)^{1/α} in s, α."""

    r: float
    tau: float
    alpha: float


@dataclass(frozen=True)
class DRTPeak:
    """One peak of γ: where it is, how high, and the resistance under it.

    ``tau`` is where γ peaks, ``frequency`` = 1/(2πτ). ``area`` is γ
    integrated over ln τ between the minima on either side (the ends of the
    τ grid for the outermost peaks), in ohm; ``tau_low`` and ``tau_high``
    are those limits. When the spectrum was deconvolved into ZARCs (see
    :func:`drt`), ``resistance`` is the R of the ZARCs nearest this peak (0
    for a peak none went to: a wiggle of γ) and ``zarc`` the largest of
    them; otherwise ``resistance`` is the area and ``zarc`` None.
    """

    tau: float
    frequency: float
    height: float
    area: float
    tau_low: float
    tau_high: float
    resistance: float
    zarc: Zarc | None = None


class SuggestedCircuit(NamedTuple):
    """A circuit string with starting values, from the peaks of a DRT.

    Unpacks as ``circuit, values = result.suggest_circuit()``; ``values`` are
    in the circuit's parameter order, ready for
    ``korvane.Circuit(circuit).with_values(values)`` (:meth:`build` does that)
    or as the start of ``korvane_tools.fit``.
    """

    circuit: str
    values: list[float]

    def build(self) -> korvane.Circuit:
        """``korvane.Circuit(circuit).with_values(values)``."""
        import korvane

        return korvane.Circuit(self.circuit).with_values(self.values)


@dataclass(frozen=True)
class DRTResult:
    """Outcome of :func:`drt`.

    ``tau`` (s, ascending) and ``gamma`` (ohm per unit ln τ) sample the
    distribution finely over the collocation range; ``coefficients`` are the
    weights c_m of the basis functions centred at ``tau_centres``.
    ``fitted`` is the model at the measured frequencies; ``residuals_real``
    and ``residuals_imag`` are (Z − Ẑ)/|Z| per point, as in
    :class:`korvane_tools.LinKKResult`. ``lambda_`` is the regularisation
    used (chosen by ``criterion`` unless given). For ``method="bayesian"``,
    ``gamma_low`` and ``gamma_high`` bound the pointwise ``credible``
    interval (e.g. 0.95) of γ; otherwise they are None. ``zarcs`` are the
    ZARCs (fast to slow) of the spectrum's deconvolution when it stood, else
    None.
    """

    frequencies: FloatArray
    impedance: ComplexArray
    tau: FloatArray
    gamma: FloatArray
    r_inf: float
    inductance: float | None
    fitted: ComplexArray
    residuals_real: FloatArray
    residuals_imag: FloatArray
    lambda_: float
    peaks: tuple[DRTPeak, ...]
    method: str
    criterion: str | None
    basis: str
    derivative: int
    part: str
    tau_centres: FloatArray
    coefficients: FloatArray
    gamma_low: FloatArray | None = None
    gamma_high: FloatArray | None = None
    credible: float | None = None
    zarcs: tuple[Zarc, ...] | None = None

    @property
    def polarisation_resistance(self) -> float:
        """∫ γ d ln τ: the resistance of all relaxations, ohm (Z(0) − R∞ without diffusion)."""
        return float(_integrate(self.gamma, np.log(self.tau)))

    @property
    def max_residual(self) -> float:
        """Largest |residual| over both parts and all points, relative to |Z|."""
        return float(max(np.max(np.abs(self.residuals_real)), np.max(np.abs(self.residuals_imag))))

    def suggest_circuit(self, min_fraction: float = 0.02) -> SuggestedCircuit:
        """One (R, CPE) pair per peak holding at least ``min_fraction`` of the resistance.

        The circuit is ``[L0-]R0-(R1,CPE1)-(R2,CPE2)…`` (the inductor when
        the fit found one), peaks ordered from fast to slow. Starting values:
        R0 = R∞ and the peak's ZARC from the deconvolution when it has one;
        otherwise R_k = the peak's area and the CPE from the peak as if it
        were a ZARC, whose DRT peaks at γ = R·tan(απ/2)/(2π) at τ₀, so
        α = (2/π)·atan(2π·height/R) and q = τ₀^α/R.
        """
        if not 0.0 <= min_fraction < 1.0:
            raise ValueError(f"min_fraction must be in [0, 1), got {min_fraction!r}")
        total = sum(p.resistance for p in self.peaks)
        kept = [p for p in self.peaks if p.resistance > 0 and p.resistance >= min_fraction * total]
        return _zarc_circuit(self.r_inf, self.inductance, [_zarc_of(p) for p in kept])

    def __str__(self) -> str:
        return str(self._korvane_report_())

    def _korvane_report_(self, data: Data | None = None) -> AnalysisReport:
        rows = tuple(
            (
                f"peak {k}",
                f"{p.tau:.4g}",
                f"{p.frequency:.4g}",
                f"{p.height:.4g}",
                f"{p.area:.4g}",
                f"{p.resistance:.4g}",
                "" if p.zarc is None else f"{p.zarc.alpha:.3g}",
            )
            for k, p in enumerate(self.peaks, start=1)
        )
        summary = [
            ("points", str(self.frequencies.size)),
            ("R_inf / ohm", f"{self.r_inf:.5g}"),
        ]
        if self.inductance is not None:
            summary.append(("L / H", f"{self.inductance:.5g}"))
        summary += [
            ("polarisation / ohm", f"{self.polarisation_resistance:.5g}"),
            (
                "lambda",
                f"{self.lambda_:.3g}" + (f" ({self.criterion})" if self.criterion else " (given)"),
            ),
            ("max |residual|", f"{100 * self.max_residual:.3g} % of |Z|"),
        ]
        if self.credible is not None:
            summary.append(("credible band", f"{100 * self.credible:g} %"))
        title = (
            f"DRT ({self.method}, {self.basis} basis, derivative {self.derivative} "
            f"penalty, fit to {self.part})"
        )
        return AnalysisReport(
            title,
            ("", "tau / s", "f / Hz", "gamma / ohm", "area / ohm", "R / ohm", "alpha"),
            rows,
            tuple(summary),
        )


# -- basis functions ------------------------------------------------------------


@dataclass(frozen=True)
class _Basis:
    """φ(u) and its first two derivatives, ∫φ du, and how far it reaches."""

    phi: Callable[[FloatArray, int], FloatArray]
    mass: float
    reach: float  # beyond this |u| the quadrature grid stops
    step: float  # largest quadrature step for 1e-12 accuracy
    smooth: bool  # trapezoidal rule (True) or Simpson with kinks on nodes
    #: ∫ φ⁽ᵏ⁾(u) φ⁽ᵏ⁾(u − s) du in closed form, when there is one (s, k).
    overlap: Callable[[FloatArray, int], FloatArray] | None = None
    local: bool = True  # φ negligible (< 1e-18) beyond ``reach``


def _gaussian(eps: float) -> _Basis:
    def phi(u: FloatArray, order: int) -> FloatArray:
        g = np.exp(-((eps * u) ** 2))
        if order == 0:
            return g
        if order == 1:
            return -2.0 * eps**2 * u * g
        return (4.0 * eps**4 * u**2 - 2.0 * eps**2) * g

    def overlap(s: FloatArray, order: int) -> FloatArray:
        # C(s) = ∫φ(u)φ(u − s)du = √(π/2)/ε·exp(−βs²), β = ε²/2, and the
        # overlap of k-th derivatives is (−1)ᵏ C⁽²ᵏ⁾(s).
        beta = 0.5 * eps**2
        c = math.sqrt(0.5 * math.pi) / eps * np.exp(-beta * s**2)
        if order == 1:
            return (2.0 * beta - 4.0 * beta**2 * s**2) * c
        return (16.0 * beta**4 * s**4 - 48.0 * beta**3 * s**2 + 12.0 * beta**2) * c

    # Trapezoidal error ~ exp(−(π/(εh))²): h = 0.5/ε leaves ~1e-17.
    return _Basis(phi, math.sqrt(math.pi) / eps, 6.5 / eps, 0.5 / eps, True, overlap)


def _inverse_quadratic(eps: float) -> _Basis:
    def phi(u: FloatArray, order: int) -> FloatArray:
        q = 1.0 + (eps * u) ** 2
        if order == 0:
            return 1.0 / q
        if order == 1:
            return -2.0 * eps**2 * u / q**2
        return (6.0 * eps**4 * u**2 - 2.0 * eps**2) / q**3

    # Poles at u = ±j/ε: trapezoidal error ~ exp(−2π/(εh)); h = 0.2/ε gives 1e-14.
    # The grid reaches 14 (in ln τ) past the collocation range, where the
    # kernel is 1 or 0 to 1e-12; the rest of the mass is added analytically.
    return _Basis(phi, math.pi / eps, 14.0, 0.2 / eps, True, local=False)


def _hat(delta: float) -> _Basis:
    def phi(u: FloatArray, order: int) -> FloatArray:
        if order == 0:
            return np.maximum(0.0, 1.0 - np.abs(u) / delta)
        raise AssertionError("the hat basis's penalty is built from differences")

    return _Basis(phi, delta, delta, 0.04, False)


def _make_basis(kind: str, delta: float, width: float) -> _Basis:
    fwhm = width * delta
    if kind == "gaussian":
        return _gaussian(2.0 * math.sqrt(math.log(2.0)) / fwhm)
    if kind == "inverse_quadratic":
        return _inverse_quadratic(2.0 / fwhm)
    if kind == "piecewise_linear":
        return _hat(delta)
    raise ValueError(
        f"basis must be 'gaussian', 'inverse_quadratic' or 'piecewise_linear', got {kind!r}"
    )


@dataclass(frozen=True)
class _Discretisation:
    centres: FloatArray  # y_m = ln τ_m
    a_real: FloatArray  # N × M
    a_imag: FloatArray  # N × M
    penalty: FloatArray  # M × M, ∫ (γ^(k))² = cᵀ R c
    out_y: FloatArray  # ln τ of the output grid
    out_phi: FloatArray  # γ on the output grid = out_phi @ c
    # At the centres: γ = node_phi @ c, and ∫ w·(γ^(k))² ≈ cᵀ roughᵀ diag(w) rough c.
    node_phi: FloatArray
    rough: sparse.csr_array  # banded: φ⁽ᵏ⁾ is negligible beyond a few Δ


def _discretise(
    omega: FloatArray,
    basis_kind: str,
    width: float,
    per_decade: float,
    extend: tuple[float, float],
    derivative: int,
) -> _Discretisation:
    lo = -math.log(float(np.max(omega))) - extend[0] * math.log(10.0)
    hi = -math.log(float(np.min(omega))) + extend[1] * math.log(10.0)
    count = max(3, int(math.ceil(per_decade * (hi - lo) / math.log(10.0))) + 1)
    centres = np.linspace(lo, hi, count)
    delta = float(centres[1] - centres[0])
    basis = _make_basis(basis_kind, delta, width)

    # Fine grid sharing nodes with the centres: step h = Δ/k, k even (Simpson).
    # The kernel's poles lie π/2 off the real axis, so h ≤ 0.2 leaves the
    # trapezoidal rule an error ~ e^{−π²/h} < 1e-20 from the kernel's side.
    k = max(2, int(math.ceil(delta / min(basis.step, 0.2))))
    k += k % 2
    h = delta / k
    pad = int(math.ceil(basis.reach / h))
    grid = lo + h * np.arange(-pad, (count - 1) * k + pad + 1)
    if basis.smooth:
        weights = np.full(grid.size, h)
        weights[[0, -1]] = 0.5 * h
    else:
        weights = np.full(grid.size, 2.0 * h / 3.0)
        weights[1::2] = 4.0 * h / 3.0
        weights[[0, -1]] = h / 3.0
    inside = slice(pad, grid.size - pad)
    wx = omega[:, None] * np.exp(grid)[None, :]
    k_real = 1.0 / (1.0 + wx**2)
    kernel = np.vstack([k_real, -wx * k_real]) * weights
    if basis.local:
        # Every basis function is negligible beyond ±pad nodes from its
        # centre, which sits on node pad + m·k: column m of the design is the
        # kernel over a window of 2·pad + 1 nodes there, weighted by φ.
        windows = sliding_window_view(kernel, 2 * pad + 1, axis=1)[:, ::k, :]
        design = np.einsum("nmt,t->nm", windows, basis.phi(h * np.arange(-pad, pad + 1.0), 0))
        # γ on the output nodes j = 0 … (M − 1)·k: column m is φ(h·(j − m·k)),
        # a window of one line of values.
        span = (count - 1) * k + 1
        line = basis.phi(h * np.arange(1.0 - span, span), 0)
        out_phi = np.ascontiguousarray(sliding_window_view(line, span)[::-k].T)
    else:
        phi = basis.phi(grid[:, None] - centres[None, :], 0)
        design = kernel @ phi
        out_phi = phi[inside]
    a_real, a_imag = design[: omega.size], design[omega.size :]
    if basis_kind == "inverse_quadratic":
        # Mass left of the grid, where 1/(1 + ω²τ²) = 1: ∫_{−∞}^{a} du/(1 + ε²u²).
        eps = 2.0 / (width * delta)
        left = (np.arctan(eps * (grid[0] - centres)) + 0.5 * math.pi) / eps
        a_real = a_real + left[None, :]

    if basis.smooth:
        # Step Δ for products of derivatives of φ: trapezoidal error
        # ~ exp(−(π/(εΔ))²), 1e-6 relative at the default width of 2Δ,
        # plenty for a weighting.
        offsets = delta * np.arange(1.0 - count, count)
        node_phi = _toeplitz(basis.phi(offsets, 0), count)
        dense = math.sqrt(delta) * _toeplitz(basis.phi(offsets, derivative), count)
    else:
        node_phi = np.eye(count)
        dense = math.sqrt(delta) * np.diff(np.eye(count), n=derivative, axis=0) / delta**derivative
    dense[np.abs(dense) < 1e-13 * np.max(np.abs(dense))] = 0.0
    rough = sparse.csr_array(dense)
    if basis.overlap is not None:
        # Equally spaced centres: R is Toeplitz, R_ij = overlap((i − j)·Δ).
        lags = np.arange(count)
        steps = np.asarray(delta * lags, dtype=np.float64)
        penalty = basis.overlap(steps, derivative)[np.abs(lags[:, None] - lags[None, :])]
    elif basis.smooth:
        d = basis.phi(grid[:, None] - centres[None, :], derivative)
        penalty = d.T @ (weights[:, None] * d)
    else:
        # γ is piecewise linear: ∫γ′² is exactly Σ (c_{m+1} − c_m)²/Δ; for the
        # second derivative, the second differences stand in for it.
        diff = np.diff(np.eye(count), n=derivative, axis=0) / delta**derivative
        penalty = delta * diff.T @ diff
    return _Discretisation(
        centres,
        a_real,
        a_imag,
        penalty,
        np.asarray(grid[inside], dtype=np.float64),
        out_phi,
        node_phi,
        rough,
    )


def _toeplitz(line: FloatArray, count: int) -> FloatArray:
    """Matrix T_ij = line[count − 1 + i − j] (line sampled at offsets (1 − count … count − 1)·Δ)."""
    return np.ascontiguousarray(sliding_window_view(line, count)[:, ::-1])


# -- the regularised fit ------------------------------------------------------


@dataclass
class _Problem:
    """Weighted, scaled normal equations: data rows (real, imaginary) and unknowns.

    Unknowns u = [R∞, L?, c…] / (Z₀·scale); ``first`` is the index of c_0.
    """

    d_real: FloatArray  # weighted real rows × unknowns
    d_imag: FloatArray
    b_real: FloatArray
    b_imag: FloatArray
    penalty: FloatArray  # unknowns × unknowns, zero outside the c block
    scale: FloatArray  # unknown → physical value multiplier
    first: int

    def normal(self, part: str) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray]:
        """(G, g, D, b) for the rows of ``part``; an unknown the part cannot
        see (R∞ for the imaginary part, L for the real part) is pinned to zero."""
        if part == "real":
            d, b = self.d_real, self.b_real
        elif part == "imag":
            d, b = self.d_imag, self.b_imag
        else:
            d, b = np.vstack([self.d_real, self.d_imag]), np.concatenate([self.b_real, self.b_imag])
        gram = d.T @ d
        rhs = d.T @ b
        dead = np.flatnonzero(~np.any(d != 0, axis=0))
        gram[dead, dead] = 1.0
        return gram, rhs, d, b


@dataclass
class _Solution:
    u: FloatArray
    free: BoolArray
    rss: float
    dof_used: float  # trace of the influence matrix on the free set
    penalty: float


def _solve(
    gram: FloatArray,
    rhs: FloatArray,
    d: FloatArray,
    b: FloatArray,
    penalty: FloatArray,
    lam: float,
    warm: BoolArray | None,
) -> _Solution:
    h = gram + lam * penalty
    u, free, factor, order = nnls_gram(h, rhs, warm)
    r = d @ u - b
    trace = 0.0
    if order.size:
        # tr(H_FF⁻¹ G_FF) = Σ_ij (H_FF⁻¹)_ij (G_FF)_ij, the inverse from the
        # Cholesky factor H_FF = C Cᵀ (LAPACK potri, k³/3 flops for k free
        # coefficients); solving C against the n data rows instead costs
        # n·k², several times that. Cᵀ is the factor's transpose, upper
        # and in Fortran order as it stands.
        g_ff = principal(gram, order)
        inverse, info = dpotri(factor.T, lower=0)
        if info == 0:
            upper = np.triu(inverse)
            trace = float(2.0 * np.sum(upper * g_ff) - np.sum(np.diag(upper) * np.diag(g_ff)))
        else:
            trace = float(np.trace(np.linalg.lstsq(principal(h, order), g_ff, rcond=None)[0]))
    return _Solution(u, free, float(r @ r), trace, float(u @ penalty @ u))


def _sharpen(
    normal: tuple[FloatArray, FloatArray, FloatArray, FloatArray],
    penalty: FloatArray,
    disc: _Discretisation,
    first: int,
    lam: float,
    sol: _Solution,
) -> tuple[_Solution, FloatArray]:
    """The fit at λ with the derivative penalty reweighted by γ's size, and
    that penalty.

    One λ for the whole axis has to choose between a narrow peak (α ≈ 0.95,
    wants a small λ) and a broad one, which rings at a small λ and splits its
    area with the wiggles. Weighting the penalty density by
    1/(γ/max γ + floor), γ from the previous pass, keeps the penalty on the
    peaks' tops as it was and multiplies it up to 1/floor in the valleys and
    tails, where the ringing lives; each pass is one more constrained solve
    at the same λ (an iteratively reweighted penalty). The ∫γ² beyond the
    measured range is weighted by the square: mass there that the data do
    not need is squeezed out, a diffusion tail (large γ) is left alone.

    γ in the weight is its largest value within ``_REWEIGHT_REACH`` decades
    (a running maximum): a narrow peak's flanks, where the true γ of an
    α ≈ 0.95 ZARC still holds a few per cent of its resistance in
    exponential tails e^{−α|ln τ/τ₀|}, keep the penalty of its top. Weighted
    by their own small γ they were squeezed into the peak, which left the
    valley beside it empty and moved area across the minimum (5–7 % of the
    smaller resistance for ZARC pairs two decades apart, against 3.5–4 % for
    the exact γ's own split).
    """
    gram, rhs, d, b = normal
    if _REWEIGHT_PASSES < 1:
        return sol, penalty
    weighted = penalty.copy()
    inner = weighted[first:, first:]
    # What is left of the c block is the diagonal ∫γ² outside the measured range.
    outside = np.diag(inner - disc.penalty).copy()
    diagonal = np.arange(outside.size)
    order = disc.centres.size - disc.rough.shape[0]
    u, free = sol.u, sol.free
    spacing = float(disc.centres[1] - disc.centres[0])
    reach = int(round(_REWEIGHT_REACH * math.log(10.0) / spacing))
    for k in range(_REWEIGHT_PASSES):
        gamma = np.maximum(disc.node_phi @ u[first:], 0.0)
        if reach:
            gamma = maximum_filter1d(gamma, 2 * reach + 1, mode="nearest")
        top = float(np.max(gamma))
        if not top > 0:
            return sol, penalty
        w = 1.0 / (gamma / top + _REWEIGHT_FLOOR)
        rows = sliding_window_view(w, order + 1).mean(axis=1) if order else w
        inner[:] = (disc.rough.T @ disc.rough.multiply(rows[:, None])).toarray()
        inner[diagonal, diagonal] += outside * w**2
        if k < _REWEIGHT_PASSES - 1:  # only the last fit needs its influence matrix
            u, free = nnls_gram(gram + lam * weighted, rhs, free)[:2]
        else:
            sol = _solve(gram, rhs, d, b, weighted, lam, free)
    return sol, weighted


def _gcv(sol: _Solution, n: int) -> float:
    return n * sol.rss / max(n - _GCV_RHO * sol.dof_used, 1e-9) ** 2


def _golden(score: Callable[[float], float], a: float, b: float, steps: int = 6) -> float:
    ratio = (math.sqrt(5.0) - 1.0) / 2.0
    c, d = b - ratio * (b - a), a + ratio * (b - a)
    fc, fd = score(c), score(d)
    for _ in range(steps):
        if fc <= fd:
            b, d, fd = d, c, fc
            c = b - ratio * (b - a)
            fc = score(c)
        else:
            a, c, fc = c, d, fd
            d = a + ratio * (b - a)
            fd = score(d)
    return c if fc <= fd else d


def _parabola_vertex(points: list[tuple[float, float]]) -> float:
    """x of the vertex of the parabola through three (x, y), or the lowest x if it opens down."""
    (x0, y0), (x1, y1), (x2, y2) = points
    num = (x1 - x0) ** 2 * (y1 - y2) - (x1 - x2) ** 2 * (y1 - y0)
    den = (x1 - x0) * (y1 - y2) - (x1 - x2) * (y1 - y0)
    if not den > 0 and not den < 0:
        return min(points, key=lambda p: p[1])[0]
    vertex = x1 - 0.5 * num / den
    curvature = y0 / ((x0 - x1) * (x0 - x2)) + y1 / ((x1 - x0) * (x1 - x2))
    curvature += y2 / ((x2 - x0) * (x2 - x1))
    return vertex if curvature > 0 else min(points, key=lambda p: p[1])[0]


def _choose_lambda(
    problem: _Problem, part: str, criterion: str, normal: tuple[FloatArray, ...]
) -> tuple[float, BoolArray | None, _Solution | None]:
    """λ by ``criterion``, the free set of the last fit near it (a warm
    start), and the fit at that λ itself when the search made it."""
    gram, rhs, d, b = normal
    n = b.size
    grid = _LOG_LAMBDA_GRID
    if criterion == "gcv":
        # Fits by log λ: each starts from the free set of the nearest one so far.
        seen: dict[float, _Solution] = {}

        def nearest(log_lam: float) -> BoolArray | None:
            return seen[min(seen, key=lambda k: abs(k - log_lam))].free if seen else None

        def score(log_lam: float) -> float:
            if log_lam not in seen:
                seen[log_lam] = _solve(
                    gram, rhs, d, b, problem.penalty, 10.0**log_lam, nearest(log_lam)
                )
            return _gcv(seen[log_lam], n)

        # The GCV can have local minima a few decades apart: first every
        # other decade of the range (and on upwards while the top scores
        # best, as noisy data can want more smoothing), then downhill in
        # single decades from the best of those. The bottom of the range is
        # reached by those steps when the grid's lowest point is the best,
        # and seldom needed otherwise, so the coarse pass leaves it out.
        coarse = [float(x) for x in grid[::-2] if x > grid[0] + 1.5]
        best = min(coarse, key=score)
        while best == coarse[0] and best + 2.0 <= _LOG_LAMBDA_MAX:
            coarse.insert(0, best + 2.0)
            best = min(coarse, key=score)
        low_end, high_end = float(grid[0]), _LOG_LAMBDA_MAX
        x = best
        for step in (-1.0, 1.0):
            while low_end <= x + step <= high_end and score(x + step) < score(x):
                x += step
        lo, hi = max(x - 1.0, low_end), min(x + 1.0, high_end)
        if lo < x < hi:
            # log GCV is close to a parabola in log λ near its minimum:
            # two steps of successive parabolic interpolation land within a
            # few hundredths of a decade, where a golden-section search
            # takes eight fits.
            for _ in range(2):
                near = sorted((x for x in seen if lo <= x <= hi), key=lambda x: math.log(score(x)))[
                    :3
                ]
                points = sorted((x, math.log(score(x))) for x in near)
                score(min(max(_parabola_vertex(points), lo), hi))
            chosen = min((x for x in seen if lo <= x <= hi), key=score)
        else:
            chosen = _golden(score, lo, hi, steps=3)
        return float(10.0**chosen), seen[chosen].free, seen.get(chosen)
    if criterion == "lcurve":
        fine = np.arange(grid[0], _LOG_LAMBDA_MAX + 1e-9, 0.25)
        warm_free: BoolArray | None = None
        rho, eta = [], []
        for x in fine[::-1]:
            sol = _solve(gram, rhs, d, b, problem.penalty, 10.0**x, warm_free)
            warm_free = sol.free
            rho.append(math.log(max(sol.rss, 1e-300)))
            eta.append(math.log(max(sol.penalty, 1e-300)))
        r1, e1 = np.gradient(np.array(rho[::-1])), np.gradient(np.array(eta[::-1]))
        r2, e2 = np.gradient(r1), np.gradient(e1)
        curvature = (r1 * e2 - r2 * e1) / np.maximum((r1**2 + e1**2) ** 1.5, 1e-300)
        return float(10.0 ** fine[1 + int(np.argmax(curvature[1:-1]))]), None, None
    if criterion == "re-im":
        sides = [problem.normal("real"), problem.normal("imag")]
        warms: list[BoolArray | None] = [None, None]
        d_re, b_re, d_im, b_im = problem.d_real, problem.b_real, problem.d_imag, problem.b_imag

        def cross(log_lam: float) -> float:
            total = 0.0
            for k, (g_k, r_k, dd, bb) in enumerate(sides):
                sol = _solve(g_k, r_k, dd, bb, problem.penalty, 10.0**log_lam, warms[k])
                warms[k] = sol.free
                if k == 0:  # fitted to the real part: predict the imaginary part
                    miss = d_im @ sol.u - b_im
                else:  # fitted to the imaginary part: predict the real part up to R∞
                    miss = d_re @ sol.u - b_re
                    miss = miss - (d_re[:, 0] @ miss) / (d_re[:, 0] @ d_re[:, 0]) * d_re[:, 0]
                total += float(miss @ miss)
            return total

        grid = np.arange(grid[0], _LOG_LAMBDA_MAX + 1e-9, 1.0)
        values = [cross(x) for x in grid[::-1]][::-1]
        best = int(np.argmin(values))
        lo, hi = grid[max(best - 1, 0)], grid[min(best + 1, grid.size - 1)]
        return float(10.0 ** _golden(cross, float(lo), float(hi))), None, None
    raise ValueError(f"criterion must be 'gcv', 'lcurve' or 're-im', got {criterion!r}")


# -- peaks ----------------------------------------------------------------------


def _integrate(values: FloatArray, x: FloatArray) -> float:
    return float(np.sum(0.5 * (values[1:] + values[:-1]) * np.diff(x)))


def _peaks(y: FloatArray, gamma: FloatArray, prominence: float) -> tuple[DRTPeak, ...]:
    top = float(np.max(gamma)) if gamma.size else 0.0
    if not top > 0:
        return ()
    # A wiggle on the flank of a peak (the regularisation's side lobes, noise)
    # is a local maximum too; only maxima that stand out from the valleys on
    # either side by ``prominence`` of the largest γ count as peaks. The
    # valley on a side is the lowest γ before the first higher point there.
    inner = gamma[1:-1]
    candidates = np.flatnonzero((inner > gamma[:-2]) & (inner >= gamma[2:])) + 1
    chosen = []
    for i in candidates:
        higher_left = np.flatnonzero(gamma[:i] > gamma[i])
        higher_right = np.flatnonzero(gamma[i + 1 :] > gamma[i])
        left = gamma[(higher_left[-1] if higher_left.size else 0) : i + 1]
        right = gamma[i : i + 1 + (higher_right[0] + 1 if higher_right.size else gamma.size)]
        if gamma[i] - max(float(np.min(left)), float(np.min(right))) >= prominence * top:
            chosen.append(int(i))
    maxima = np.array(chosen, dtype=np.intp)
    if maxima.size == 0:
        return ()
    bounds = [0]
    for a, b in zip(maxima[:-1], maxima[1:]):
        bounds.append(int(a + np.argmin(gamma[a : b + 1])))
    bounds.append(y.size - 1)
    peaks = []
    for k, i in enumerate(maxima):
        lo, hi = bounds[k], bounds[k + 1]
        tau = math.exp(float(y[i]))
        area = _integrate(gamma[lo : hi + 1], y[lo : hi + 1])
        peaks.append(
            DRTPeak(
                tau=tau,
                frequency=1.0 / (_TWO_PI * tau),
                height=float(gamma[i]),
                area=area,
                tau_low=math.exp(float(y[lo])),
                tau_high=math.exp(float(y[hi])),
                resistance=area,
            )
        )
    return tuple(peaks)


# -- one ZARC per peak -----------------------------------------------------------


def _zarc_of(peak: DRTPeak) -> Zarc:
    """The peak's ZARC, or one read off its shape: a ZARC's γ peaks at R·tan(απ/2)/(2π)."""
    if peak.zarc is not None:
        return peak.zarc
    if not peak.area > 0:
        return Zarc(max(peak.area, 1e-12), peak.tau, 0.9)
    alpha = 2.0 / math.pi * math.atan(_TWO_PI * peak.height / peak.area)
    return Zarc(peak.area, peak.tau, min(max(alpha, 0.3), 0.99))


def _zarc_circuit(r_inf: float, inductance: float | None, zarcs: list[Zarc]) -> SuggestedCircuit:
    parts: list[str] = []
    values: list[float] = []
    if inductance is not None and inductance > 0:
        parts.append("L0")
        values.append(inductance)
    parts.append("R0")
    values.append(max(r_inf, 1e-12))
    for k, zarc in enumerate(zarcs, start=1):
        r = max(zarc.r, 1e-12)
        parts.append(f"(R{k},CPE{k})")
        values += [r, zarc.tau**zarc.alpha / r, zarc.alpha]
    return SuggestedCircuit("-".join(parts), values)


#: The deconvolution stands when its weighted residual sum of squares is at
#: most this multiple of the DRT's.
_ZARC_RSS_RATIO = 2.0


#: Measured values (two per point) beyond the unknowns that a deconvolution needs.
_ZARC_SPARE_ROWS = 10

#: Function evaluations (with their Jacobians) a deconvolution fit may take.
_ZARC_EVALUATIONS = 30


def _fit_zarcs(
    f: FloatArray,
    z: ComplexArray,
    w: FloatArray,
    r_inf: float,
    inductance: float | None,
    start: list[Zarc],
) -> tuple[float, list[Zarc]] | None:
    """Σ|w(Z − Ẑ)|² and the ZARCs of R∞ [+ L] + ZARCs fitted from ``start``, or None.

    Ẑ = R∞ + jωL + Σ R_k/(1 + u_k), u_k = (jωτ_k)^α_k, fitted by SciPy's
    trust-region least squares in θ = (ln R∞, [ln L], ln R_k, ln τ_k, α_k)
    with α_k in [0.3, 1], R_k within 1e∓6 of max |Z| and τ_k within four
    decades of the measured range, and the analytic Jacobian
    ∂Z_k/∂ln R = Z_k, ∂Z_k/∂ln τ = −α·R·u/(1 + u)², ∂Z_k/∂α = −R·u·ln(jωτ)/(1 + u)².
    It starts from exactly the given ZARCs (``Circuit.fit`` would retry
    from other starting points whenever a ZARC the data do not need
    collapses, which is what the caller wants to find out, at ten to a
    hundred times the cost).
    """
    from scipy.optimize import least_squares

    omega = _TWO_PI * f
    head = [max(r_inf, 1e-12)] + ([inductance] if inductance is not None and inductance > 0 else [])
    count = len(head)
    theta = np.array(
        [math.log(v) for v in head]
        + [
            v
            for zarc in start
            for v in (
                math.log(max(zarc.r, 1e-12)),
                math.log(zarc.tau),
                min(max(zarc.alpha, 0.3), 1.0),
            )
        ]
    )
    # Bounds keep a ZARC the data do not need from crawling off to R → 0 or
    # τ → ∞ over hundreds of steps: it stops at the bound instead.
    z0, decades = float(np.max(np.abs(z))), 4.0 * math.log(10.0)
    lower = np.full(theta.size, -np.inf)
    upper = np.full(theta.size, np.inf)
    lower[:count], upper[:count] = math.log(1e-12 * z0), math.log(1e6 * z0)
    if count == 2:  # the inductance: ωL within 1e-12 … 1e6 of max |Z| at the top frequency
        lower[1] -= math.log(float(np.max(omega)))
        upper[1] -= math.log(float(np.max(omega)))
    lower[count::3], upper[count::3] = math.log(1e-6 * z0), math.log(1e6 * z0)
    lower[count + 1 :: 3] = -math.log(float(np.max(omega))) - decades
    upper[count + 1 :: 3] = -math.log(float(np.min(omega))) + decades
    lower[count + 2 :: 3], upper[count + 2 :: 3] = 0.3, 1.0
    theta = np.clip(theta, lower + 1e-9, upper - 1e-9)

    def parts(t: FloatArray) -> tuple[ComplexArray, ComplexArray]:
        """Ẑ and its derivatives (columns) with respect to θ."""
        jac = np.empty((omega.size, t.size), dtype=np.complex128)
        jac[:, 0] = math.exp(t[0])
        model = np.full(omega.size, jac[0, 0], dtype=np.complex128)
        if count == 2:
            jac[:, 1] = 1j * omega * math.exp(t[1])
            model += jac[:, 1]
        for k in range(count, t.size, 3):
            r = math.exp(min(t[k], 700.0))
            one, u, log_wt = _zarc_terms(omega, t[k + 1], t[k + 2])
            jac[:, k] = r * one
            jac[:, k + 1] = -t[k + 2] * r * u * one * one
            jac[:, k + 2] = -r * u * log_wt * one * one
            model += jac[:, k]
        return model, jac

    def residuals(t: FloatArray) -> FloatArray:
        miss = w * (parts(t)[0] - z)
        return np.concatenate([miss.real, miss.imag])

    def jacobian(t: FloatArray) -> FloatArray:
        jac = w[:, None] * parts(t)[1]
        return np.vstack([jac.real, jac.imag])

    try:
        with np.errstate(all="ignore"):
            found = least_squares(
                residuals, theta, jac=jacobian, bounds=(lower, upper), max_nfev=_ZARC_EVALUATIONS
            )
    except (ValueError, RuntimeError, ArithmeticError):
        return None
    t = found.x
    zarcs = [
        Zarc(math.exp(min(t[k], 700.0)), math.exp(t[k + 1]), float(t[k + 2]))
        for k in range(count, t.size, 3)
    ]
    rss = float(2.0 * found.cost)
    return (rss, zarcs) if math.isfinite(rss) else None


def _zarc_terms(
    omega: FloatArray, log_tau: float, alpha: float
) -> tuple[ComplexArray, ComplexArray, ComplexArray]:
    """1/(1 + u), u = (jωτ)^α = exp(α·ln(jωτ)) and ln(jωτ): a ZARC is Z = R/(1 + u)."""
    log_wt = np.log(omega) + log_tau + 0.5j * math.pi
    with np.errstate(over="ignore"):
        u = np.exp(alpha * log_wt)
    return (
        np.asarray(1.0 / (1.0 + u), dtype=np.complex128),
        np.asarray(u, dtype=np.complex128),
        np.asarray(log_wt, dtype=np.complex128),
    )


def _seen(zarc: Zarc, omega: FloatArray, w: FloatArray) -> FloatArray:
    """|w·Z_zarc(ω)| at the measured ω: what the data see of the ZARC."""
    one, _, _ = _zarc_terms(omega, math.log(zarc.tau), zarc.alpha)
    return np.asarray(w * zarc.r * np.abs(one), dtype=np.float64)


def _deconvolve(
    f: FloatArray,
    z: ComplexArray,
    w: FloatArray,
    rss: float,
    peaks: tuple[DRTPeak, ...],
    r_inf: float,
    inductance: float | None,
) -> tuple[tuple[DRTPeak, ...], tuple[Zarc, ...] | None]:
    """The peaks with their resistances from a fit of R∞ [+ L] + ZARCs to the spectrum, and the ZARCs.

    Between-minima areas carry the overlap of neighbouring peaks' tails
    (even the exact γ of two ZARCs two decades apart splits 4 % wrongly) and
    whatever the regularisation spreads; a ZARC's γ is known in closed form,
    so when the spectrum is a sum of them, fitting it directly returns each
    resistance, time constant and α. A least-squares fit (:func:`_fit_zarcs`)
    starts from one ZARC per peak, weighted as the DRT (1/σ). A broad peak that the
    regularisation split in several fits as several ZARCs just as well, so
    the ZARC the data see least (max |w·Z_k|) is dropped (and the rest refitted) while that raises
    χ² = Σ|w(Z − Ẑ)|²/s² (s² = the residual variance of the larger model)
    by less than 3·ln(2N), the Bayesian information criterion's price of
    its three parameters. The fit stands when its residual is at most twice
    the DRT's (a spectrum whose processes are not ZARC-shaped keeps its
    areas); it is not tried with fewer than ten measured values beyond its
    unknowns. Each ZARC goes to the peak nearest in ln τ; a peak gets the sum
    of its ZARCs' R, or 0 when none went to it. A ZARC beyond the measured
    range of τ that outgrew its peak's area is not taken (a CPE of α ≈ 0.5
    with an unbounded R stands for a diffusion tail as well as any): its
    peak keeps its area.
    """
    unknowns = 1 + (inductance is not None and inductance > 0) + 3 * len(peaks)
    if not peaks or 2 * f.size < unknowns + _ZARC_SPARE_ROWS:
        return peaks, None
    found = _fit_zarcs(f, z, w, r_inf, inductance, [_zarc_of(p) for p in peaks])
    if found is None:
        return peaks, None
    price = 3.0 * math.log(2.0 * f.size)
    lo, hi = 1.0 / (_TWO_PI * float(np.max(f))), 1.0 / (_TWO_PI * float(np.min(f)))
    omega = _TWO_PI * f
    while len(found[1]) > 1:
        full_rss, zarcs = found
        variance = max(full_rss / max(2 * f.size - 3 * len(zarcs) - 1, 1), 1e-300)
        seen = [_seen(zarc, omega, w) for zarc in zarcs]
        smallest = min(range(len(zarcs)), key=lambda k: float(np.max(seen[k])))
        # A ZARC inside the measured range and two decades or more from every
        # other one cannot be taken over by them (nor by R∞ or L): when what
        # the data see of it alone is far above the price, dropping it
        # cannot pass and is not tried.
        apart = lo <= zarcs[smallest].tau <= hi and all(
            abs(math.log10(zarcs[smallest].tau / other.tau)) >= 2.0
            for k, other in enumerate(zarcs)
            if k != smallest
        )
        if apart and float(seen[smallest] @ seen[smallest]) > 100.0 * price * variance:
            break
        fewer = _fit_zarcs(f, z, w, r_inf, inductance, zarcs[:smallest] + zarcs[smallest + 1 :])
        if fewer is None or (fewer[0] - full_rss) / variance >= price:
            break
        found = fewer
    final_rss, zarcs = found
    if not final_rss <= _ZARC_RSS_RATIO * rss:
        return peaks, None
    y = np.log([p.tau for p in peaks])
    mine: list[list[Zarc]] = [[] for _ in peaks]
    for zarc in zarcs:
        mine[int(np.argmin(np.abs(y - math.log(zarc.tau))))].append(zarc)
    out = []
    for peak, group in zip(peaks, mine):
        if any(not lo <= g.tau <= hi and g.r > peak.area for g in group):
            out.append(peak)
        else:
            largest = max(group, key=lambda g: g.r, default=None)
            out.append(replace(peak, resistance=sum(g.r for g in group), zarc=largest))
    return tuple(out), tuple(zarcs)


# -- the function ---------------------------------------------------------------


def _sigma(value: npt.ArrayLike | None, z: ComplexArray) -> FloatArray:
    if value is None:
        if np.any(z == 0):
            raise ValueError(
                "an impedance of exactly zero cannot be weighted by 1/|Z|; give sigma="
            )
        return np.abs(z)
    sigma = np.broadcast_to(np.asarray(value, dtype=np.float64), z.shape).copy()
    if not np.all(np.isfinite(sigma) & (sigma > 0)):
        raise ValueError("sigma must be positive and finite for every point")
    return sigma


@one_blas_thread
def drt(
    data: Data,
    method: Method = "tikhonov",
    *,
    lambda_: float | Literal["auto"] = "auto",
    criterion: Criterion = "gcv",
    derivative: int = 2,
    basis: Basis = "gaussian",
    width: float = 2.0,
    points_per_decade: float = 20.0,
    extend_decades: float | tuple[float, float] = (1.0, 3.0),
    part: Part = "both",
    sigma: npt.ArrayLike | None = None,
    inductance: bool | None = None,
    credible: float = 0.95,
    samples: int = 200,
    seed: int | None = 0,
    prominence: float = 0.05,
    deconvolve: bool = True,
) -> DRTResult:
    """The distribution of relaxation times of a spectrum, γ(τ) ≥ 0.

    ``data`` is a BDF frame or a ``(frequencies, impedances)`` pair. γ is a
    sum of ``basis`` functions ("gaussian", "inverse_quadratic",
    "piecewise_linear") of full width at half maximum ``width`` collocation
    spacings, ``points_per_decade`` of them over the measured range of
    τ = 1/ω extended by ``extend_decades`` (fast end, slow end; one number
    for both): one decade on the fast side and three on the slow side by
    default, so that a diffusion tail, whose γ keeps rising beyond the
    slowest measured τ, piles up out there instead of rippling inside the
    measured window.

    The fit is to ``part`` ("both", "real" or "imag") weighted by
    1/``sigma`` (per point or one value; default |Z|), with a penalty on the
    ``derivative`` (2 or 1) of γ weighted by ``lambda_`` (and, at that λ,
    reweighted twice to be stronger where γ is small): a number (the
    dimensionless λ of Σ|r/σ|² + λ·∫(γ⁽ᵏ⁾/max|Z|)² d ln τ, as reported in
    the result), or "auto" to choose it by ``criterion`` ("gcv" generalised
    cross-validation, "lcurve", or "re-im" real–imaginary cross-validation).
    R∞, the inductance and γ are all kept non-negative. ``inductance``: fit
    a series inductor (True), not (False), or when some imaginary part is
    positive (None). Peaks are the local maxima of γ standing out by at
    least ``prominence`` of its largest value from the valleys beside them.

    ``method="bayesian"`` adds the pointwise ``credible`` band of γ from
    ``samples`` draws of the non-negative posterior (seeded by ``seed``).

    ``deconvolve``: fit R∞ [+ L] and ZARCs to the spectrum, starting from
    one per peak and dropping those the data do not need, and report each
    peak's resistance from them (``DRTPeak.resistance`` and ``.zarc``,
    ``DRTResult.zarcs``) when they fit about as well as the DRT; the
    between-minima ``area`` is kept either way.
    """
    if method not in ("tikhonov", "bayesian"):
        raise ValueError(f"method must be 'tikhonov' or 'bayesian', got {method!r}")
    if part not in ("both", "real", "imag"):
        raise ValueError(f"part must be 'both', 'real' or 'imag', got {part!r}")
    if derivative not in (1, 2) or isinstance(derivative, bool):
        raise ValueError(f"derivative must be 1 or 2, got {derivative!r}")
    if not 0.0 <= prominence < 1.0:
        raise ValueError(f"prominence must be in [0, 1), got {prominence!r}")
    for name, value in (
        ("width", width),
        ("points_per_decade", points_per_decade),
    ):
        if not (math.isfinite(value) and value > 0):
            raise ValueError(f"{name} must be positive and finite, got {value!r}")
    extend = (
        (float(extend_decades), float(extend_decades))
        if isinstance(extend_decades, (int, float))
        else (float(extend_decades[0]), float(extend_decades[1]))
    )
    if not all(math.isfinite(e) and e >= 0 for e in extend):
        raise ValueError(f"extend_decades must be finite and non-negative, got {extend_decades!r}")
    if isinstance(lambda_, str):
        if lambda_ != "auto":
            raise ValueError(f"lambda_ must be a positive number or 'auto', got {lambda_!r}")
    elif not (math.isfinite(lambda_) and lambda_ > 0):
        raise ValueError(f"lambda_ must be a positive number or 'auto', got {lambda_!r}")
    if method == "bayesian":
        if not 0.0 < credible < 1.0:
            raise ValueError(f"credible must be in (0, 1), got {credible!r}")
        if isinstance(samples, bool) or not isinstance(samples, (int, np.integer)) or samples < 10:
            raise ValueError(f"samples must be an integer of at least 10, got {samples!r}")

    f, z = spectrum(data)
    require_fittable(f, z)
    if np.unique(f).size < 3:
        raise ValueError("a DRT needs at least three distinct frequencies")
    w = 1.0 / _sigma(sigma, z)
    omega = _TWO_PI * f
    disc = _discretise(omega, basis, width, points_per_decade, extend, derivative)
    with_l = bool(np.any(z.imag > 0)) if inductance is None else bool(inductance)
    with_l = with_l and part != "real"

    # Weighted design, real and imaginary rows; columns R∞, [L], c_m.
    z0 = float(np.max(np.abs(z)))
    m = disc.centres.size
    first = 2 if with_l else 1
    d_real = np.zeros((f.size, first + m))
    d_imag = np.zeros((f.size, first + m))
    d_real[:, 0] = w
    if with_l:
        d_imag[:, 1] = w * omega
    d_real[:, first:] = w[:, None] * disc.a_real
    d_imag[:, first:] = w[:, None] * disc.a_imag
    scale = np.full(first + m, z0)
    for j in range(first):  # unit-norm columns for R∞ and L, whose units are not γ's
        norm = float(np.linalg.norm(np.concatenate([d_real[:, j], d_imag[:, j]])))
        d_real[:, j] /= norm
        d_imag[:, j] /= norm
        scale[j] = z0 / norm
    penalty = np.zeros((first + m, first + m))
    penalty[first:, first:] = disc.penalty
    # Beyond the measured range of τ only the penalty speaks; a derivative
    # penalty there lets γ rise freely as long as it rises slowly. ∫γ² over
    # the extensions keeps such mass out unless the data need it (a
    # diffusion tail does).
    outside = (disc.centres < -math.log(float(np.max(omega)))) | (
        disc.centres > -math.log(float(np.min(omega)))
    )
    penalty[first:, first:][outside, outside] += _OUTSIDE_WEIGHT
    problem = _Problem(d_real, d_imag, w * z.real / z0, w * z.imag / z0, penalty, scale, first)

    # Internally the data term is ‖Du − b‖² = Σ|r/σ|²/Z₀², so λ/Z₀² there.
    gram, rhs, d, b = problem.normal(part)
    lam, warm_start, sol = (
        _choose_lambda(problem, part, criterion, (gram, rhs, d, b))
        if lambda_ == "auto"
        else (float(lambda_) / z0**2, None, None)
    )
    if sol is None:
        sol = _solve(gram, rhs, d, b, penalty, lam, warm_start)
    sol, penalty = _sharpen((gram, rhs, d, b), penalty, disc, first, lam, sol)
    values = sol.u * scale
    r_inf = float(values[0])
    if part == "imag":
        # The imaginary part says nothing of R∞: it is the weighted mean offset
        # of the real part left over by the relaxations.
        rest = z.real - disc.a_real @ values[first:]
        r_inf = float(np.sum(w**2 * rest) / np.sum(w**2))
    l_value = float(values[1]) if with_l else None
    coefficients = np.ascontiguousarray(values[first:])
    fitted = r_inf + disc.a_real @ coefficients + 1j * (disc.a_imag @ coefficients)
    if l_value is not None:
        fitted = fitted + 1j * omega * l_value
    fitted = np.asarray(fitted, dtype=np.complex128)
    gamma = np.asarray(disc.out_phi @ coefficients, dtype=np.float64)
    residual = (z - fitted) / np.abs(z)

    low = high = None
    if method == "bayesian":
        n = b.size
        variance = sol.rss / max(n - sol.dof_used, 1.0)
        precision = (gram + lam * penalty) / variance
        linear = rhs / variance
        # A coefficient held at zero whose gradient there is many conditional
        # standard deviations strong has its posterior piled within a sliver
        # of zero, so it stays at zero. The rest are drawn.
        pull = (precision @ sol.u - linear) / np.sqrt(np.diag(precision))
        keep = np.flatnonzero(sol.free | (pull < _HELD_SIGMAS))
        draws = np.zeros((int(samples), sol.u.size))
        draws[:, keep] = sample_projected_gaussian(
            principal(precision, keep), sol.u[keep], int(samples), np.random.default_rng(seed)
        )
        curves = (draws[:, first:] * scale[first:]) @ disc.out_phi.T
        tail = 0.5 * (1.0 - credible)
        low = np.quantile(curves, tail, axis=0)
        high = np.quantile(curves, 1.0 - tail, axis=0)

    peaks = _peaks(disc.out_y, gamma, prominence)
    zarcs = None
    if deconvolve:
        rss = float(np.sum(np.abs(w * (z - fitted)) ** 2))
        peaks, zarcs = _deconvolve(f, z, w, rss, peaks, r_inf, l_value)

    return DRTResult(
        frequencies=f,
        impedance=z,
        tau=np.exp(disc.out_y),
        gamma=gamma,
        r_inf=r_inf,
        inductance=l_value,
        fitted=fitted,
        residuals_real=np.ascontiguousarray(residual.real),
        residuals_imag=np.ascontiguousarray(residual.imag),
        lambda_=float(lambda_) if lambda_ != "auto" else lam * z0**2,
        peaks=peaks,
        zarcs=zarcs,
        method=method,
        criterion=criterion if lambda_ == "auto" else None,
        basis=basis,
        derivative=derivative,
        part=part,
        tau_centres=np.exp(disc.centres),
        coefficients=coefficients,
        gamma_low=low,
        gamma_high=high,
        credible=float(credible) if method == "bayesian" else None,
    )
