"""The linear Kramers–Kronig test of a measured spectrum.

A spectrum of a linear, causal, stable and time-invariant system obeys the
Kramers–Kronig relations: its real and imaginary parts determine each other.
Every such impedance (without resonances) can be written as a series of an
ohmic resistance and a distribution of Voigt (RC) elements, so a spectrum that
a fine enough Voigt chain cannot follow within the noise is not Kramers–Kronig
consistent — typically because the cell drifted during the sweep.

The test follows Schönleber, Klotz and Ivers-Tiffée, "A Method for Improving
the Robustness of linear Kramers-Kronig Validity Tests", Electrochimica Acta
131 (2014) 20–27:

    Ẑ(ω) = R0 + Σ_k R_k / (1 + jωτ_k)  [+ 1/(jωC)]  [+ jωL],   k = 1 … M,

with the time constants fixed and log-spaced over the measured range,

    τ_1 = 1/ω_max,  τ_M = 1/ω_min,  τ_k = τ_1 · (τ_M/τ_1)^((k−1)/(M−1)),

so the model is *linear* in R0, R_k, 1/C and L and is fitted by linear least
squares, each point weighted by 1/|Z_i|. M is chosen by the µ criterion: with
too many elements the chain starts to fit noise, which shows as resistances of
alternating sign, so M grows from 1 until

    µ = 1 − Σ_{R_k<0} |R_k| / Σ_{R_k≥0} |R_k|

falls below c (0.85 in the paper). The residuals relative to |Z| then say how
far the data are from any Kramers–Kronig consistent spectrum.

Two departures from the paper, each with a default that can be set back to
the original (0):

- The time constants reach ``extend_decades`` (default 1) beyond 1/ω_min.
  A diffusion tail (Warburg, −45°) keeps growing below the lowest measured
  frequency; its relaxations with τ > 1/ω_min still shape the lowest points,
  and a chain that stops at 1/ω_min leaves residuals of several per cent
  there on a flawless Randles spectrum. Extending only the slow end keeps the
  fast end free of elements that would all look like R0 (and be collinear
  with it).
- The search for M starts at ``min_per_decade`` (default 3) elements per
  decade of the τ range, not at 1. µ detects overfitting by resistances of
  alternating sign, but a grid too coarse for a narrow relaxation (an ideal
  RC, whose peak is about one decade wide) also fits it with alternating
  signs, so starting at M = 1 stops at a badly underfitted chain: 38 % residuals
  on a plain R-(R,C) spectrum. Three per decade resolves such a peak to a few
  tenths of a per cent.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from ._blas import one_blas_thread
from ._data import ComplexArray, Data, FloatArray, require_fittable, spectrum

#: Default verdict threshold: the largest relative residual (real or imaginary
#: part, relative to |Z|) a spectrum may show and still pass. Noise counts
#: against it: the largest of ~100 Gaussian residuals is about 3σ, so 1 % suits
#: data with noise up to about 0.3 % of |Z|. A drift is absorbed in part by the
#: chain and leaves residuals of roughly a tenth of its size, so finding a drift
#: of a few per cent needs a threshold nearer the noise level of the data.
DEFAULT_THRESHOLD = 1e-2

#: Decades by which the time constants reach beyond 1/ω_min (see the notes above).
DEFAULT_EXTEND_DECADES = 1.0

#: Elements per decade of the time-constant range at which the search for M starts.
DEFAULT_MIN_PER_DECADE = 3.0

_TWO_PI = 6.283185307179586


class ResidualVerdict:
    """The verdict of a consistency test on relative residuals (lin_kk, Z-HIT).

    A frozen dataclass deriving from this has ``residuals_real``,
    ``residuals_imag``, ``threshold`` and ``passed = field(init=False)``;
    ``passed`` holds when every residual of either part is at most
    ``threshold`` in magnitude.
    """

    residuals_real: FloatArray
    residuals_imag: FloatArray
    threshold: float

    def __post_init__(self) -> None:
        object.__setattr__(self, "passed", bool(self.max_residual <= self.threshold))

    @property
    def max_residual(self) -> float:
        """Largest |residual| over both parts and all points."""
        if self.residuals_real.size == 0:
            return 0.0
        return float(max(np.max(np.abs(self.residuals_real)), np.max(np.abs(self.residuals_imag))))


@dataclass(frozen=True)
class LinKKResult(ResidualVerdict):
    """Outcome of :func:`lin_kk`.

    ``residuals_real`` and ``residuals_imag`` are (Z_i − Ẑ_i)/|Z_i| per point,
    real and imaginary part, in the order of the data. ``passed`` is true when
    every one of them is at most ``threshold`` in magnitude.
    """

    frequencies: FloatArray
    impedance: ComplexArray  # measured
    fitted: ComplexArray  # the Voigt chain at the measured frequencies
    residuals_real: FloatArray
    residuals_imag: FloatArray
    m: int
    mu: float
    c: float
    tau: FloatArray  # time constants of the RC elements, s
    resistances: FloatArray  # R_k of the RC elements, ohm
    r0: float  # ohmic resistance, ohm
    capacitance: float | None  # series C in F (None when not fitted)
    inductance: float | None  # series L in H (None when not fitted)
    threshold: float
    passed: bool = field(init=False)

    @property
    def mu_reached(self) -> bool:
        """Whether µ fell below c, i.e. M was chosen by the criterion, not by the cap."""
        return self.mu < self.c

    def __str__(self) -> str:
        verdict = "passed" if self.passed else "FAILED"
        lines = [
            f"Linear Kramers–Kronig test: {verdict} "
            f"(max |residual| {100 * self.max_residual:.3g} % of |Z|, "
            f"threshold {100 * self.threshold:.3g} %)",
            f"  {self.frequencies.size} points, M = {self.m} RC elements, "
            f"µ = {self.mu:.3g} (c = {self.c:g})"
            + ("" if self.mu_reached else ", µ never fell below c: M is the cap"),
            f"  mean |residual|: real {100 * _mean_abs(self.residuals_real):.3g} %, "
            f"imaginary {100 * _mean_abs(self.residuals_imag):.3g} %",
        ]
        extra = [f"R0 = {self.r0:.5g} ohm"]
        if self.capacitance is not None:
            extra.append(f"C = {self.capacitance:.5g} F")
        if self.inductance is not None:
            extra.append(f"L = {self.inductance:.5g} H")
        lines.append("  " + ", ".join(extra))
        return "\n".join(lines)


def _mean_abs(values: FloatArray) -> float:
    return float(np.mean(np.abs(values))) if values.size else 0.0


@dataclass(frozen=True)
class _ChainFit:
    tau: FloatArray
    r0: float
    resistances: FloatArray
    inverse_c: float | None
    inductance: float | None
    fitted: ComplexArray
    mu: float


def _time_constants(omega: FloatArray, m: int, extend_decades: float) -> FloatArray:
    tau_min = 1.0 / float(np.max(omega))
    tau_max = 10.0**extend_decades / float(np.min(omega))
    if m == 1:
        # One element: the geometric middle of the range, where it sees the most data.
        return np.array([np.sqrt(tau_min * tau_max)])
    return np.geomspace(tau_min, tau_max, m)


def _mu(resistances: FloatArray) -> float:
    # µ = 1 − Σ|negative R_k| / Σ|positive R_k|. Without any positive R_k the
    # chain is nothing but overfit (or empty); count that as µ = −inf so the
    # search stops, except for an all-zero chain, which has not overfitted.
    positive = float(np.sum(resistances[resistances >= 0]))
    negative = float(-np.sum(resistances[resistances < 0]))
    if positive > 0:
        return 1.0 - negative / positive
    return 1.0 if negative == 0 else -np.inf


def _fit_chain(
    omega: FloatArray,
    z: ComplexArray,
    m: int,
    add_capacitance: bool,
    add_inductance: bool,
    extend_decades: float,
) -> _ChainFit:
    tau = _time_constants(omega, m, extend_decades)
    # Columns of the complex design matrix, one per unknown:
    #   R0:    1
    #   R_k:   1/(1 + jωτ_k)
    #   1/C:   1/(jω) = −j/ω       (the unknown is the elastance, to stay linear)
    #   L:     jω
    columns: list[ComplexArray] = [np.ones_like(omega, dtype=np.complex128)]
    columns.extend(np.asarray(1.0 / (1.0 + 1j * np.outer(omega, tau)).T, dtype=np.complex128))
    if add_capacitance:
        columns.append(np.asarray(-1j / omega, dtype=np.complex128))
    if add_inductance:
        columns.append(np.asarray(1j * omega, dtype=np.complex128))
    design = np.stack(columns, axis=1)

    # Weighted least squares on real and imaginary parts stacked:
    #   minimise Σ_i |Z_i − Ẑ_i|² / |Z_i|².
    weight = 1.0 / np.abs(z)
    a = np.concatenate([design.real * weight[:, None], design.imag * weight[:, None]])
    b = np.concatenate([z.real * weight, z.imag * weight])
    # The columns differ by many orders of magnitude (jω at 1 MHz against 1
    # for R0); scaling each to unit norm keeps lstsq's rank cut-off about the
    # shape of the problem, not its units.
    norms = np.linalg.norm(a, axis=0)
    norms[norms == 0] = 1.0
    solution, *_ = np.linalg.lstsq(a / norms, b, rcond=None)
    solution = solution / norms

    r0 = float(solution[0])
    resistances = np.asarray(solution[1 : 1 + m], dtype=np.float64)
    index = 1 + m
    inverse_c = inductance = None
    if add_capacitance:
        inverse_c = float(solution[index])
        index += 1
    if add_inductance:
        inductance = float(solution[index])
    fitted = np.asarray(design @ solution, dtype=np.complex128)
    return _ChainFit(tau, r0, resistances, inverse_c, inductance, fitted, _mu(resistances))


@one_blas_thread
def lin_kk(
    data: Data,
    c: float = 0.85,
    max_m: int | None = None,
    add_capacitance: bool = False,
    add_inductance: bool = True,
    *,
    threshold: float = DEFAULT_THRESHOLD,
    extend_decades: float = DEFAULT_EXTEND_DECADES,
    min_per_decade: float = DEFAULT_MIN_PER_DECADE,
) -> LinKKResult:
    """Linear Kramers–Kronig test with the number of RC elements chosen by µ.

    ``data`` is a BDF frame or a ``(frequencies, impedances)`` pair (hertz,
    ohm, physics sign). M grows until µ falls below ``c``; ``max_m`` caps it
    (default: the number of points, so the 2·N real equations stay more than
    the unknowns). ``add_capacitance`` adds a series capacitor (for blocking
    electrodes, whose −Z'' grows without bound at low frequency),
    ``add_inductance`` a series inductor (cables and leads at high frequency).

    The time constants run from 1/ω_max to 10^extend_decades/ω_min, and the
    search for M starts at ``min_per_decade`` elements per decade of that
    range (see the module notes for why both differ from the paper's 0);
    ``extend_decades=0, min_per_decade=0`` is the original procedure.

    The verdict ``passed`` holds when the largest relative residual, real or
    imaginary part, is at most ``threshold`` (default 1 % of |Z|). Noise
    counts against it: a threshold about three times the noise level of the
    data separates noise from inconsistency best; look at the residual plot
    (:func:`korvane_tools.plot_lin_kk`) too, where a drift shows as a smooth
    trend and noise as scatter.
    """
    if not 0.0 < c <= 1.0:
        raise ValueError(f"c must be in (0, 1], got {c!r}")
    if not threshold > 0.0:
        raise ValueError(f"threshold must be positive, got {threshold!r}")
    if not (np.isfinite(extend_decades) and extend_decades >= 0.0):
        raise ValueError(f"extend_decades must be finite and non-negative, got {extend_decades!r}")
    if not (np.isfinite(min_per_decade) and min_per_decade >= 0.0):
        raise ValueError(f"min_per_decade must be finite and non-negative, got {min_per_decade!r}")
    f, z = spectrum(data)
    require_fittable(f, z)
    if np.any(z == 0):
        raise ValueError("an impedance of exactly zero cannot be weighted by 1/|Z|")
    _require_supported_range(f, z)
    if np.unique(f).size < 2:
        raise ValueError("the test needs at least two distinct frequencies")
    if max_m is None:
        max_m = f.size
    if isinstance(max_m, bool) or not isinstance(max_m, (int, np.integer)) or max_m < 1:
        raise ValueError(f"max_m must be a positive integer, got {max_m!r}")
    max_m = int(max_m)

    omega = _TWO_PI * f
    decades = float(np.log10(np.max(omega) / np.min(omega))) + extend_decades
    m = min(max_m, max(1, int(np.ceil(min_per_decade * decades))))
    chain = _fit_chain(omega, z, m, add_capacitance, add_inductance, extend_decades)
    while chain.mu >= c and m < max_m:
        m += 1
        chain = _fit_chain(omega, z, m, add_capacitance, add_inductance, extend_decades)

    residual = (z - chain.fitted) / np.abs(z)
    return LinKKResult(
        frequencies=f,
        impedance=z,
        fitted=chain.fitted,
        residuals_real=np.ascontiguousarray(residual.real),
        residuals_imag=np.ascontiguousarray(residual.imag),
        m=m,
        mu=chain.mu,
        c=float(c),
        tau=chain.tau,
        resistances=chain.resistances,
        r0=chain.r0,
        capacitance=None if chain.inverse_c is None else _capacitance(chain.inverse_c),
        inductance=chain.inductance,
        threshold=float(threshold),
    )


#: The frequencies (Hz) and impedance moduli (ohm) the test handles. Far
#: wider than any instrument measures; outside, the design matrix's columns
#: (jω/|Z|, 1/(jω|Z|)) and their squared norms leave the range of doubles.
SUPPORTED_FREQUENCIES = (1e-20, 1e20)
SUPPORTED_MODULI = (1e-30, 1e30)


def _require_supported_range(f: FloatArray, z: ComplexArray) -> None:
    modulus = np.abs(z)
    for what, values, (lo, hi), unit in (
        ("frequencies", f, SUPPORTED_FREQUENCIES, "Hz"),
        ("impedance moduli", modulus, SUPPORTED_MODULI, "ohm"),
    ):
        outside = np.flatnonzero(~((values >= lo) & (values <= hi)))
        if outside.size:
            i = int(outside[0])
            raise ValueError(
                f"lin_kk supports {what} from {lo:g} to {hi:g} {unit}; point {i} has "
                f"{float(values[i]):g} {unit} ({outside.size} points outside)"
            )


def _capacitance(inverse_c: float) -> float:
    return float(np.inf) if inverse_c == 0 else 1.0 / inverse_c
