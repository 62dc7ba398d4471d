"""Z-HIT: the modulus of a spectrum reconstructed from its phase.

For a causal, stable, minimum-phase impedance, ln Z(s) is analytic in the
right half-plane, and as a function of x = ln ω its real part (ln|Z|) and
imaginary part (the phase φ) are related through the Hilbert transform. With
h(x) the (real) value of ln Z on the positive real s axis, ln Z(jω) =
h(x + jπ/2) = exp(jπ/2·D) h with D = d/dx, so ln|Z| = cos(πD/2)·h and
φ = sin(πD/2)·h, hence

    ln|Z| = cot(πD/2)·φ = (2/π)·∫φ dx − (π/6)·dφ/dx − (π³/360)·d³φ/dx³ − …,

the series of cot z = 1/z − z/3 − z³/45 − …. The integral term is Bode's
approximation; the first-derivative term (γ = −π/6) is the usual Z-HIT
correction and the third-derivative term the next one (the series has odd
orders only: there is no d²φ/dx² term). The whole remainder after the
integral is also a convolution of φ with a kernel that decays as e^{−2|u|}
(see :func:`_remainder`), which is the default: on smooth phases it is exact
to 1e-6, where the first-order series leaves errors of a few per cent on a
plain RC arc. The reconstruction is fixed up to a
constant, the high-frequency resistance's share, fitted on a window of
frequencies where the data are trusted.

Because φ alone determines |Z| up to that constant, a spectrum whose modulus
drifted during the sweep (the phase of a slowly changing cell barely moves)
shows up as a reconstructed |Z| that parts from the measured one towards the
slow end. The phase is smoothed (LOWESS or Savitzky–Golay, both as local
polynomial fits in x) and interpolated (Akima or cubic spline), whose
antiderivative and derivatives give the terms above exactly.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Literal, NamedTuple

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import sliding_window_view

from .._blas import one_blas_thread
from .._data import ComplexArray, Data, FloatArray, require_fittable, spectrum
from ..kk import DEFAULT_THRESHOLD, ResidualVerdict
from ._report import AnalysisReport

Smoothing = Literal["lowess", "savgol", "none"]
Interpolation = Literal["akima", "cubic"]

_TWO_PI = 2.0 * math.pi


@dataclass(frozen=True)
class ZHitResult(ResidualVerdict):
    """Outcome of :func:`z_hit`.

    ``modulus`` is the |Z| reconstructed from the phase, ``phase`` the
    smoothed phase in radians, ``fitted`` = modulus·e^{j·phase}, all at the
    measured frequencies in the data's order. ``residuals_real`` and
    ``residuals_imag`` are (Z − Ẑ)/|Z| per point, as in
    :class:`korvane_tools.LinKKResult`; ``passed`` holds when every one is at
    most ``threshold`` (the one given, or the one the spectrum's ``noise``
    set: see :func:`z_hit`). ``noise`` is the relative noise per part read
    off the data's scatter. ``offset`` is the fitted constant of ln|Z| and
    ``window`` the frequency range (Hz) it was fitted on.
    """

    frequencies: FloatArray
    impedance: ComplexArray
    modulus: FloatArray
    phase: FloatArray
    fitted: ComplexArray
    residuals_real: FloatArray
    residuals_imag: FloatArray
    offset: float
    window: tuple[float, float]
    noise: float
    threshold: float
    passed: bool = field(init=False)

    @property
    def modulus_error(self) -> FloatArray:
        """(|Z| − reconstructed |Z|)/|Z| per point."""
        measured = np.abs(self.impedance)
        return np.asarray((measured - self.modulus) / measured, dtype=np.float64)

    def __str__(self) -> str:
        return str(self._korvane_report_())

    def _korvane_report_(self, data: Data | None = None) -> AnalysisReport:
        verdict = "passed" if self.passed else "FAILED"
        error = self.modulus_error
        return AnalysisReport(
            f"Z-HIT: {verdict} (max |residual| {100 * self.max_residual:.3g} % of |Z|, "
            f"threshold {100 * self.threshold:.3g} %)",
            (),
            (),
            (
                ("points", str(self.frequencies.size)),
                ("noise", f"{100 * self.noise:.3g} % of |Z|"),
                ("max |modulus error|", f"{100 * float(np.max(np.abs(error))):.3g} %"),
                ("mean |modulus error|", f"{100 * float(np.mean(np.abs(error))):.3g} %"),
                ("offset window / Hz", f"{self.window[0]:.4g} to {self.window[1]:.4g}"),
            ),
        )


class _Smoother(NamedTuple):
    """Smoothing by a local polynomial as a band matrix: the smoothed value at
    x_i is weights[i] · y[start[i] : start[i] + points]."""

    start: npt.NDArray[np.intp]
    weights: FloatArray

    def __call__(self, y: FloatArray) -> FloatArray:
        window = sliding_window_view(y, self.weights.shape[1])[self.start]
        return np.asarray(np.sum(window * self.weights, axis=1), dtype=np.float64)

    def misfit_spread(self) -> FloatArray:
        """√Σ_j (I − S)_ij² per row: the standard deviation of y − Sy for unit noise."""
        own = self.weights[np.arange(self.start.size), np.arange(self.start.size) - self.start]
        return np.asarray(
            np.sqrt(np.sum(self.weights**2, axis=1) - 2.0 * own + 1.0), dtype=np.float64
        )


def _local_polynomial(x: FloatArray, points: int, degree: int, tricube: bool) -> _Smoother:
    """Smoothing by a polynomial fitted around each x to its ``points`` nearest points.

    With tricube weights this is LOWESS (Cleveland 1979, local quadratic,
    without the robustness iterations: a local line flattens the bends of a
    phase by about a per cent of |Z|); unweighted, it is the Savitzky–Golay
    filter (cubic), here in x itself so uneven spacing is no error.
    """
    n = x.size
    points = min(points, n)
    start = np.minimum(np.maximum(np.arange(n) - points // 2, 0), n - points)
    weights = np.empty((n, points))
    for i in range(n):
        xs = x[start[i] : start[i] + points] - x[i]
        if tricube:
            reach = float(np.max(np.abs(xs))) * 1.0001
            w = (1.0 - (np.abs(xs) / reach) ** 3) ** 3 if reach > 0 else np.ones_like(xs)
        else:
            w = np.ones_like(xs)
        sw = np.sqrt(w)
        v = np.vander(xs, min(degree, points - 1) + 1, increasing=True) * sw[:, None]
        # The value at x_i is the constant term: the first row of V⁺ (weighted).
        weights[i] = np.linalg.pinv(v)[0] * sw
    return _Smoother(start, weights)


#: Points and degree of the local polynomial whose misfit measures the noise.
_NOISE_POINTS = 7
_NOISE_DEGREE = 3

#: The verdict's allowance: the residuals may reach DEFAULT_THRESHOLD + _NOISE_SIGMAS·σ̂.
_NOISE_SIGMAS = 5.0


def _noise(x: FloatArray, ln_modulus: FloatArray, phase: FloatArray) -> float:
    """The spectrum's relative noise σ̂ (per part, as a fraction of |Z|), from its own scatter.

    Complex noise ε·|Z| with independent parts of standard deviation σ moves
    ln|Z| and the phase each by about σ. A cubic through the seven nearest
    points follows any smooth spectrum (and a slow drift) to well below
    0.1 %, so what it leaves, e = (I − S)y, is the noise: e_i has variance
    σ²·v_i with v_i = Σ_j (I − S)_ij², and σ̂ = median |e_i|/√v_i / 0.6745
    (the median, so a few outliers or a sharp bend raise it little: an
    outlier is a fault the verdict should see, not noise), the larger of the
    two series' (noise in one part of Z alone, or an instrument whose phase
    is cleaner than its modulus, still sets the allowance of the worse one).
    """
    if x.size < _NOISE_POINTS + 1:
        return 0.0
    smooth = _local_polynomial(x, _NOISE_POINTS, _NOISE_DEGREE, False)
    spread = smooth.misfit_spread()
    return max(
        float(np.median(np.abs(y - smooth(y)) / spread)) / 0.6744897501960817
        for y in (ln_modulus, phase)
    )


#: Quadrature of the remainder kernel: step and reach in u = ln(ω/ω₀). The
#: kernel decays as 2e^{−2u}/π, so 8 leaves 1e-7 of it.
_KERNEL_STEP = 0.01
_KERNEL_REACH = 8.0

#: Points at each end from which the phase's slope and bend there are read.
_END_POINTS = 7

#: Noise (relative, per part) above which those are read off a quadratic, not a cubic.
_END_NOISE = 2e-3


def _end_shape(phase: FloatArray, x: FloatArray, noise: float) -> tuple[FloatArray, FloatArray]:
    """Slope and second derivative of the phase at the low and the high end of x.

    From a least-squares polynomial through the ``_END_POINTS`` end points,
    not from the interpolant's derivatives there: those follow the noise of
    the last two or three points, and the continuation beyond the end
    (which the remainder kernel weighs most at the end points themselves)
    would multiply it. A cubic follows a phase that bends sharply near the
    end (measured spectra ending on the flank of an arc); with noise above
    ``_END_NOISE`` its bend is mostly noise and a quadratic does better
    (the largest residual of noisy synthetic spectra drops from about
    5.2σ to 4σ).
    """
    count = min(_END_POINTS, x.size)
    slopes, bends = np.empty(2), np.empty(2)
    for k, part in enumerate((slice(0, count), slice(x.size - count, x.size))):
        at = x[0] if k == 0 else x[-1]
        coef = np.polynomial.polynomial.polyfit(
            x[part] - at, phase[part], min(2 if noise > _END_NOISE else 3, count - 1)
        )
        slopes[k] = coef[1]
        bends[k] = 2.0 * coef[2] if coef.size > 2 else 0.0
    return slopes, bends


def _remainder(
    spline: Callable[[FloatArray], FloatArray], x: FloatArray, values: FloatArray, noise: float
) -> FloatArray:
    """[cot(πD/2) − 2/(πD)]·φ at each x, the sum of all derivative terms.

    Its Fourier multiplier −i·(coth(πk/2) − 2/(πk)) is that of convolution
    with t(u) = (coth u − sign u)/π, an odd kernel that decays as e^{−2|u|}:
    ∫₀^∞ t(u)·(φ(x − u) − φ(x + u)) du, whose integrand is finite at u = 0,
    by the midpoint rule. Beyond the measured range the phase must be
    guessed; the kernel's decay keeps that guess's weight small one decade
    inside. ``values`` are the (smoothed) phase at x, from which the
    continuation's slope and bend are read; ``noise`` chooses how.
    """
    u = (np.arange(int(_KERNEL_REACH / _KERNEL_STEP)) + 0.5) * _KERNEL_STEP
    kernel = (1.0 / np.tanh(u) - 1.0) / math.pi * _KERNEL_STEP
    lo, hi = float(x[0]), float(x[-1])
    ends = np.array([lo, hi])
    end_phase = np.asarray(spline(ends), dtype=np.float64)
    end_slope, end_bend = _end_shape(values, x, noise)
    # Beyond an end the phase approaches an asymptote as a relaxation's does,
    # φ_e + (φ′_e/k)·(1 − e^{−k·s}) at a distance s: the rate k = −φ″/φ′
    # (towards the outside) read off the end, kept within [0.5, 2] (a
    # constant-phase element's e^{−α·s} has α in (0, 1], a sum of them
    # steepens to about 2).
    outward_slope = np.array([-end_slope[0], end_slope[1]])
    outward_bend = end_bend
    with np.errstate(divide="ignore", invalid="ignore"):
        rate = np.where(outward_slope != 0, -outward_bend / outward_slope, 1.0)
    rate = np.clip(np.nan_to_num(rate, nan=1.0), 0.5, 2.0)

    def continued(at: FloatArray) -> FloatArray:
        inside = np.asarray(spline(np.clip(at, lo, hi)), dtype=np.float64)
        s_below = np.maximum(lo - at, 0.0)
        s_above = np.maximum(at - hi, 0.0)
        below = end_phase[0] + outward_slope[0] / rate[0] * (1.0 - np.exp(-rate[0] * s_below))
        above = end_phase[1] + outward_slope[1] / rate[1] * (1.0 - np.exp(-rate[1] * s_above))
        return np.where(at < lo, below, np.where(at > hi, above, inside))

    below = continued(x[:, None] - u[None, :])
    above = continued(x[:, None] + u[None, :])
    return np.asarray((below - above) @ kernel, dtype=np.float64)


@one_blas_thread
def z_hit(
    data: Data,
    *,
    smoothing: Smoothing = "lowess",
    points: int | None = None,
    interpolation: Interpolation = "akima",
    window: tuple[float, float] | None = None,
    terms: int | None = None,
    threshold: float | None = None,
) -> ZHitResult:
    """Reconstruct |Z| from the phase and compare it with the measurement.

    ``data`` is a BDF frame or a ``(frequencies, impedances)`` pair. The
    phase is smoothed by ``smoothing`` ("lowess", "savgol" or "none") over
    ``points`` neighbours (default 5 for LOWESS, 7 for Savitzky–Golay) and
    interpolated by ``interpolation`` ("akima" or "cubic"). The integral
    term is followed by all derivative terms at once, summed by a
    convolution (``terms=None``), or by the first ``terms`` of the series
    (1: −π/6·φ′, the classical Z-HIT; 2: also −π³/360·φ‴). The constant of
    ln|Z| is fitted on the points whose frequency lies in ``window`` =
    (low, high) hertz; by default the upper half of the measured decades,
    since a sweep starts at high frequency and a cell drifts as it goes on.

    ``passed`` holds when every relative residual, real and imaginary, is at
    most ``threshold``: a number fixes it (as in :func:`korvane_tools.lin_kk`);
    by default (None) it scales with the spectrum's own noise,

        threshold = 1 % + 5·σ̂,

    σ̂ the relative noise per part estimated from the scatter of ln|Z| and
    of the phase about a local cubic in ln ω, the larger of the two
    (``noise`` in the result; see :func:`_noise`). A
    residual is the point's own noise (standard deviation σ per part) plus
    the reconstruction's error, which carries the noise of the phase through
    the integral and the kernel and adds a fraction of σ: on synthetic
    consistent spectra the largest of 100–150 residuals stays below 4.6σ
    at 1–3 % noise. The 1 % floor (lin_kk's threshold) holds the
    reconstruction's own error on noise-free spectra: a few tenths of a per
    cent inside, up to about 1 % at the first and last points, where the
    phase beyond the measured range is guessed. A fixed 1 % fails consistent
    spectra with 0.5 % noise, whose largest residual is about 1.7 %; a drift
    is smooth, so it raises σ̂ little and still fails: a modulus drifting by
    5 % over the sweep leaves residuals of about 3.5 %, above the 1.5 % that
    0.1 % noise allows.
    """
    if smoothing not in ("lowess", "savgol", "none"):
        raise ValueError(f"smoothing must be 'lowess', 'savgol' or 'none', got {smoothing!r}")
    if interpolation not in ("akima", "cubic"):
        raise ValueError(f"interpolation must be 'akima' or 'cubic', got {interpolation!r}")
    if terms is not None and (terms not in (0, 1, 2) or isinstance(terms, bool)):
        raise ValueError(f"terms must be None, 0, 1 or 2, got {terms!r}")
    if threshold is not None and not threshold > 0.0:
        raise ValueError(f"threshold must be positive, got {threshold!r}")
    if points is None:
        points = 5 if smoothing == "lowess" else 7
    if isinstance(points, bool) or not isinstance(points, (int, np.integer)) or points < 3:
        raise ValueError(f"points must be an integer of at least 3, got {points!r}")

    f, z = spectrum(data)
    require_fittable(f, z)
    if np.any(z == 0):
        raise ValueError("an impedance of exactly zero has no phase")
    order = np.argsort(f, kind="stable")
    fs = f[order]
    if np.any(np.diff(fs) <= 0):
        raise ValueError(
            "Z-HIT needs distinct frequencies; korvane_tools.check(data) finds repeats"
        )
    if fs.size < 4:
        raise ValueError("Z-HIT needs at least four points")
    x = np.log(_TWO_PI * fs)
    measured = np.log(np.abs(z[order]))
    raw_phase = np.unwrap(np.angle(z[order]))
    noise = _noise(x, measured, raw_phase)
    phase = raw_phase
    if smoothing == "lowess":
        phase = _local_polynomial(x, int(points), 2, True)(raw_phase)
    elif smoothing == "savgol":
        phase = _local_polynomial(x, int(points), 3, False)(raw_phase)

    from scipy.interpolate import Akima1DInterpolator, CubicSpline

    spline = Akima1DInterpolator(x, phase) if interpolation == "akima" else CubicSpline(x, phase)
    integral = spline.antiderivative()
    ln_modulus = (2.0 / math.pi) * (integral(x) - integral(x[-1]))
    if terms is None:
        ln_modulus += _remainder(spline, x, phase, noise)
    else:
        if terms >= 1:
            ln_modulus -= (math.pi / 6.0) * spline.derivative(1)(x)
        if terms >= 2:
            ln_modulus -= (math.pi**3 / 360.0) * spline.derivative(3)(x)

    if window is None:
        low = math.sqrt(float(fs[0]) * float(fs[-1]))
        window = (low, float(fs[-1]))
    lo, hi = float(window[0]), float(window[1])
    if not (lo <= hi):
        raise ValueError(f"window must be (low, high) hertz, got {window!r}")
    inside = (fs >= lo) & (fs <= hi)
    if not inside.any():
        raise ValueError(f"no measured frequency lies in the window {window!r}")
    offset = float(np.mean(measured[inside] - ln_modulus[inside]))

    back = np.empty_like(order)
    back[order] = np.arange(order.size)
    modulus = np.exp(ln_modulus + offset)[back]
    smooth_phase = np.asarray(phase[back], dtype=np.float64)
    fitted = np.asarray(modulus * np.exp(1j * smooth_phase), dtype=np.complex128)
    residual = (z - fitted) / np.abs(z)
    return ZHitResult(
        frequencies=f,
        impedance=z,
        modulus=np.asarray(modulus, dtype=np.float64),
        phase=smooth_phase,
        fitted=fitted,
        residuals_real=np.ascontiguousarray(residual.real),
        residuals_imag=np.ascontiguousarray(residual.imag),
        offset=offset,
        window=(lo, hi),
        noise=noise,
        threshold=DEFAULT_THRESHOLD + _NOISE_SIGMAS * noise
        if threshold is None
        else float(threshold),
    )
