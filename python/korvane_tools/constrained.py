"""Fits with fixed parameters, own bounds and measurement-error weights.

:func:`fit` is ``Circuit.fit`` with three additions, run by the same driver and
solver in native code (``korvane_tools._native``, on the same core library as
``korvane``, reading the ``Circuit`` itself) with the interpreter lock released:

* ``fixed`` holds parameters at given values. They leave the problem: the
  solver never moves them, they keep their values bit for bit, and the
  standard errors of the others come from the free parameters alone
  (``dof = 2N - P_free``).
* ``bounds`` narrows the physical bounds of ``Circuit.param_bounds()``.
  A parameter whose upper bound becomes finite is searched linearly between
  its bounds (as CPE exponents always are), one with only a higher lower
  bound stays on its logarithmic scale.
* ``sigma`` gives the measurement standard deviation of every point, and
  each residual is divided by it: ``r = (model - measured) / sigma`` per
  part, so ``chi_square`` is the chi-square of the measurement model. This is
  the third weighting beside ``weight="modulus"`` and ``weight="unit"``.

Everything else — the method, the tolerances, the machine-learning start and
its warning — is ``Circuit.fit``'s, argument for argument; with no
constraints the result equals ``Circuit.fit``'s bit for bit.
"""

from __future__ import annotations

import dataclasses
import functools
from collections.abc import Iterable, Mapping
from dataclasses import MISSING, dataclass, field
from typing import Any, cast

import korvane
import numpy as np
import numpy.typing as npt

from . import _native
from ._data import ComplexArray, Data, FloatArray, require_fittable, spectrum
from .diagnostics import DiagnosisInputs
from .ordering import ORDERS, apply_order

__all__ = ["ConstrainedFitResult", "fit"]


@dataclass(frozen=True)
class ConstrainedFitResult:
    """What :func:`fit` returns: a ``FitResult``'s attributes and the constraints.

    ``stderr`` is None when there are no more residuals than free parameters
    (or ``JᵀJ`` is exactly singular); otherwise a fixed parameter's entry is
    NaN. ``at_bound`` names the free parameters whose fitted value equals a
    bound of ``bounds`` (own or physical) exactly; such a value is usually
    the bound doing the fitting, not the data.

    ``correlation`` is the correlation matrix of the free parameters (in
    ``circuit.param_names()`` order, fixed ones left out) and ``flags`` names
    the parameters the data may not determine, with the reasons
    (:mod:`korvane_tools.diagnostics`). ``starts`` counts the fits a thorough
    fit tried and ``starts_at_best`` those that reached its best chi-square
    (both 1 for a default fit).
    """

    circuit: korvane.Circuit
    params: dict[str, float]
    stderr: dict[str, float] | None
    success: bool
    iterations: int
    impedance_evals: int
    cost: float
    chi_square: float
    fixed: tuple[str, ...]
    at_bound: tuple[str, ...]
    bounds: dict[str, tuple[float, float]]
    starts: int = field(default=1, compare=False)
    starts_at_best: int = field(default=1, compare=False)
    # What the diagnostics need (the data and weights of the fit); they are
    # computed on first use, so fits whose flags nobody reads pay nothing.
    _diagnosis_inputs: Any = field(default=None, compare=False, repr=False)

    @property
    def correlation(self) -> FloatArray | None:
        """Correlation matrix of the free parameters; None when not known."""
        return self._diagnosis()[0]

    @property
    def flags(self) -> dict[str, tuple[str, ...]]:
        """Parameter -> why the data may not determine it (flagged ones only)."""
        return self._diagnosis()[1]

    def _diagnosis(self) -> tuple[FloatArray | None, dict[str, tuple[str, ...]]]:
        cached = self.__dict__.get("_diagnosis_cache")
        if cached is None:
            from .diagnostics import diagnose

            cached = diagnose(self, self._diagnosis_inputs)
            object.__setattr__(self, "_diagnosis_cache", cached)  # frozen: a cache only
        return cast("tuple[FloatArray | None, dict[str, tuple[str, ...]]]", cached)


def as_circuit(circuit: korvane.Circuit | str) -> korvane.Circuit:
    """The circuit itself, or the one a circuit string such as "R0-(R1,CPE1)" describes."""
    if isinstance(circuit, str):
        return korvane.Circuit(circuit)
    if not isinstance(circuit, korvane.Circuit):
        raise TypeError(
            f"circuit must be a korvane.Circuit or a circuit string, got {type(circuit).__name__}"
        )
    return circuit


def fit(
    circuit: korvane.Circuit | str,
    data: Data,
    *,
    fixed: Mapping[str, float] | Iterable[str] | None = None,
    bounds: Mapping[str, tuple[float | None, float | None]] | None = None,
    sigma: npt.ArrayLike | None = None,
    thorough: bool = False,
    order: str | None = None,
    **fit_kwargs: Any,
) -> ConstrainedFitResult:
    """Fit ``circuit`` to ``data`` with parameters fixed, bounds narrowed or σ weights.

    ``circuit`` is a ``korvane.Circuit`` or a circuit string such as
    ``"R0-(R1,CPE1)"``. ``data`` is a dataframe or a ``(frequencies,
    impedances)`` pair (:func:`korvane_tools.spectrum`); data with
    non-positive or non-finite frequencies or non-finite impedances is
    refused with ``ValueError``.

    ``fixed`` maps parameter names to the values to hold, or lists names held
    at the circuit's current values; fixed values replace the machine-learning
    guess for those parameters. ``bounds`` maps names to ``(lo, hi)`` inside
    the physical bounds (``None`` keeps that side); a value the user gave that
    lies outside them is an error, a guessed one is moved inside. ``sigma`` is
    a real array (both parts, or a scalar), a pair ``(sigma_re, sigma_im)``
    (or a ``(2, N)`` array), or a complex array whose real and imaginary
    parts are the two deviations; it replaces ``weight``.

    ``thorough=True`` adds a multi-start from a spread of starts after the
    default fit and returns the best (:mod:`korvane_tools.thorough`; ``seed``
    draws the starts, ``starts`` sets their number).

    ``order="tau"`` relabels interchangeable series sub-circuits of the same
    form by ascending time constant (:mod:`korvane_tools.ordering`); the
    default None keeps the labelling the fit returned.

    Every other keyword is a ``Circuit.fit`` argument: ``guess_init``,
    ``weights``, ``weight``, ``method``, ``max_iterations``, ``ftol``,
    ``xtol``, the derivative-free settings and ``seed``.
    """
    if order is not None and order not in ORDERS:
        raise ValueError(f"order must be one of {ORDERS}, got {order!r}")
    data = spectrum(data)  # once, for the fit and for its diagnostics
    # Checked here once, not in _fit_plain: a thorough fit's starts reuse the
    # same circuit and data, and a small fit from an explicit start takes only
    # some 30 µs, so every microsecond of Python shows.
    circuit = as_circuit(circuit)
    for key in ("frequencies", "impedances"):
        if key in fit_kwargs:
            raise TypeError(f"fit() takes the measured data as `data`, not as {key!r}")
    if thorough:
        from .thorough import fit_thorough

        # The starts need no diagnostics of their own: only the best gets them.
        # its default run warns from one frame further in
        best = fit_thorough(
            functools.partial(_fit_plain, stacklevel=4),
            circuit,
            data,
            fixed=fixed,
            bounds=bounds,
            sigma=sigma,
            **fit_kwargs,
        )
    else:
        if "starts" in fit_kwargs:
            raise TypeError("starts sets the starts of a thorough fit: pass thorough=True")
        best = _fit_plain(circuit, data, fixed=fixed, bounds=bounds, sigma=sigma, **fit_kwargs)
    return _with_diagnostics(apply_order(best, order), data, sigma, fit_kwargs)


def _fit_plain(
    circuit: korvane.Circuit,
    data: tuple[FloatArray, ComplexArray],
    *,
    fixed: Mapping[str, float] | Iterable[str] | None = None,
    bounds: Mapping[str, tuple[float | None, float | None]] | None = None,
    sigma: npt.ArrayLike | None = None,
    stacklevel: int = 3,
    **fit_kwargs: Any,
) -> ConstrainedFitResult:
    """One fit of ``data``, the pair :func:`fit` read.

    ``stacklevel`` places the missing-model warning, which the native fit
    issues, as ``warnings.warn``'s does, counting this function as 1: the
    default 3 is the caller of :func:`fit`, as Circuit.fit's warning points
    at the caller of Circuit.fit.
    """
    sigma_re = sigma_im = None
    sigma_exponent = 0
    if sigma is not None:
        if "weight" in fit_kwargs:
            raise ValueError("sigma replaces the weight scheme: pass sigma or weight, not both")
        sigma_re, sigma_im = _sigma_parts(sigma, data[0].size)
        sigma_exponent = _sigma_exponent(sigma_re, sigma_im, data[1])
        if sigma_exponent and sigma_re is not None and sigma_im is not None:
            sigma_re = np.ldexp(sigma_re, -sigma_exponent)
            sigma_im = np.ldexp(sigma_im, -sigma_exponent)

    # fit_kwargs is a dict of this call alone (** built it): it needs no copy.
    # The native fit reads names, numbers and data in their plain form and
    # builds the result's fields itself; it returns None, before fitting,
    # for anything else, which is checked and put in that form here.
    fields = _native.fit(circuit, data, fit_kwargs, fixed, bounds, sigma_re, sigma_im, stacklevel)
    if fields is None:
        require_fittable(*data)
        names: list[str] = circuit.param_names()
        held = _fixed_values(fixed, names, circuit)
        own = _own_bounds(bounds, names, circuit.param_bounds(), held)
        fields = _native.fit(circuit, data, fit_kwargs, held, own, sigma_re, sigma_im, stacklevel)
        if fields is None:
            raise RuntimeError("korvane_tools: the native fit refused its own plain constraints")
    if sigma_exponent:  # back to the chi-square of the σ the caller gave
        with np.errstate(over="ignore", under="ignore"):  # to inf or 0 where doubles end
            fields["cost"], fields["chi_square"] = (
                float(x)
                for x in np.ldexp([fields["cost"], fields["chi_square"]], -2 * sigma_exponent)
            )
    return _new_result(fields)


# The defaulted fields (starts, starts_at_best, _diagnosis_inputs).
_RESULT_DEFAULTS = {
    f.name: f.default for f in dataclasses.fields(ConstrainedFitResult) if f.default is not MISSING
}


def _new_result(fields: dict[str, Any]) -> ConstrainedFitResult:
    """A ``ConstrainedFitResult`` whose instance dictionary is ``fields``.

    The native fit builds the fields a fit determines; the defaulted ones are
    added here. That skips the frozen ``__init__``, which sets each of the
    fourteen fields through ``object.__setattr__`` (some 2 µs, a tenth of a
    small fit), and gives the same object.
    """
    fields.update(_RESULT_DEFAULTS)
    result = object.__new__(ConstrainedFitResult)
    object.__setattr__(result, "__dict__", fields)  # frozen: set as the object it is
    return result


def _with_diagnostics(
    result: ConstrainedFitResult,
    data: tuple[FloatArray, Any],
    sigma: npt.ArrayLike | None,
    fit_kwargs: Mapping[str, Any],
) -> ConstrainedFitResult:
    # Copies: a caller refilling its buffers for the next spectrum must not
    # change what this result's flags say (they are computed on first use).
    inputs = DiagnosisInputs(
        np.array(data[0]),
        np.array(data[1]),
        fit_kwargs.get("weight", "modulus"),
        None if sigma is None else np.array(sigma),
    )
    # The result is new and not yet anyone else's: set, rather than copy it.
    object.__setattr__(result, "_diagnosis_inputs", inputs)
    return result


# ---- argument checks ---------------------------------------------------------

# Only for what the native fit did not read as it was (see _fit_plain): these
# raise the messages, or return the constraints in the plain form it reads,
# keyed by the circuit's own name strings.


def _unknown(kind: str, name: object, names: list[str]) -> ValueError:
    text = f"{kind}: unknown parameter {name!r}"
    if isinstance(name, str):
        best = _closest(name, names)
        if best is not None:
            text += f" (did you mean {best!r}?)"
    return ValueError(text + f"; the parameters are {', '.join(names)}")


def _index(kind: str, name: object, names: list[str]) -> int:
    if name not in names:
        raise _unknown(kind, name, names)
    return names.index(name)


def _closest(key: str, names: list[str]) -> str | None:
    """The name within Levenshtein distance max(2, len//2) of ``key``, earliest first."""
    limit = 2 if len(key) < 6 else len(key) // 2
    best: tuple[int, str] | None = None
    for name in names:
        d = _edit_distance(key, name)
        if d <= limit and (best is None or d < best[0]):
            best = (d, name)
    return None if best is None else best[1]


def _edit_distance(a: str, b: str) -> int:
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        previous, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (ca != cb))
    return row[-1]


def _number(kind: str, name: str, value: object) -> float:
    if isinstance(value, (str, bytes)) or not hasattr(value, "__float__"):
        raise TypeError(f"{kind}: the value of {name!r} must be a number, got {value!r}")
    return float(value)


def _fixed_values(
    fixed: Mapping[str, float] | Iterable[str] | None, names: list[str], circuit: korvane.Circuit
) -> dict[str, float]:
    """{name: value} of the held parameters, keyed by the circuit's own names."""
    if fixed is None:
        return {}
    if isinstance(fixed, str):
        raise TypeError("fixed must be a mapping of names to values or a list of names, not a str")
    held: dict[str, float] = {}
    if isinstance(fixed, (dict, Mapping)):
        for name, value in fixed.items():
            held[names[_index("fixed", name, names)]] = _number("fixed", name, value)
        return held
    values = circuit.param_values()
    for name in fixed:
        j = _index("fixed", name, names)
        held[names[j]] = values[j]
    return held


def _own_bounds(
    bounds: Mapping[str, tuple[float | None, float | None]] | None,
    names: list[str],
    physical: list[tuple[float, float]],
    fixed: dict[str, float],
) -> dict[str, tuple[float, float]]:
    if bounds is None:
        return {}
    if not isinstance(bounds, (dict, Mapping)):
        raise TypeError("bounds must be a mapping of parameter names to (lo, hi)")
    own: dict[str, tuple[float, float]] = {}
    for name, pair in bounds.items():
        j = _index("bounds", name, names)
        if names[j] in fixed:
            raise ValueError(f"{name!r} is both fixed and bounded; give it one or the other")
        if isinstance(pair, (str, bytes)) or not isinstance(pair, (tuple, Iterable)):
            raise TypeError(f"bounds: {name!r} needs a pair (lo, hi), got {pair!r}")
        sides = tuple(pair)
        if len(sides) != 2:
            raise TypeError(f"bounds: {name!r} needs a pair (lo, hi), got {pair!r}")
        default_lo, default_hi = physical[j]
        lo = default_lo if sides[0] is None else _number("bounds", name, sides[0])
        hi = default_hi if sides[1] is None else _number("bounds", name, sides[1])
        own[names[j]] = (lo, hi)
    return own


def _sigma_parts(
    sigma: npt.ArrayLike | None, n: int
) -> tuple[FloatArray | None, FloatArray | None]:
    """σ of the real and of the imaginary parts, (N,) each; finite and > 0 is checked natively."""
    if sigma is None:
        return None, None
    if isinstance(sigma, (str, bytes)):
        raise TypeError("sigma must be numbers, not text")
    try:
        array = np.asarray(sigma)
    except ValueError:
        raise ValueError("sigma: arrays of different lengths") from None
    if array.dtype.kind not in "biufc":
        raise TypeError(f"sigma must be numbers, got an array of {array.dtype}")
    if array.dtype.kind == "c":
        if array.ndim > 1:
            raise ValueError(f"complex sigma must be one-dimensional, got shape {array.shape}")
        parts = np.broadcast_to(array, (n,))
        re, im = parts.real, parts.imag
    elif array.ndim == 2:
        if array.shape != (2, n):
            raise ValueError(f"sigma as (real, imaginary) needs shape (2, {n}), got {array.shape}")
        re, im = array[0], array[1]
    elif array.ndim <= 1:
        if array.ndim == 1 and array.size != n:
            raise ValueError(f"sigma has {array.size} entries for {n} measured points")
        re = im = np.broadcast_to(array, (n,))
    else:
        raise ValueError(f"sigma must have one or two dimensions, got shape {array.shape}")
    return (
        np.ascontiguousarray(re, dtype=np.float64),
        np.ascontiguousarray(im, dtype=np.float64),
    )


def _sigma_exponent(
    sigma_re: FloatArray | None, sigma_im: FloatArray | None, impedances: npt.NDArray[Any]
) -> int:
    """e such that σ·2^-e is near |Z|, when σ is so far from |Z| that the
    squared residuals (r/σ)² would underflow (σ ≳ 1e150·|Z|: the fit sees a
    cost of 0 and stops at its start) or overflow; else 0, leaving ordinary
    fits bit for bit as they were.

    Scaling all σ by one power of two moves neither the minimum nor the
    standard errors (they use the reduced chi-square); cost and chi-square
    scale by 2^-2e, which the caller undoes exactly."""
    if sigma_re is None or sigma_im is None:
        return 0
    sigmas = np.concatenate([sigma_re, sigma_im])
    moduli = np.abs(impedances)
    sigmas, moduli = sigmas[np.isfinite(sigmas) & (sigmas > 0)], moduli[moduli > 0]
    if not (sigmas.size and moduli.size):
        return 0  # the native checks refuse such σ; nothing to scale
    exponent = int(np.round(np.median(np.log2(sigmas)) - np.median(np.log2(moduli))))
    return exponent if abs(exponent) > SIGMA_EXPONENT_LIMIT else 0


#: |log2(σ/|Z|)| up to which σ is passed unscaled (2^200 ≈ 1.6e60).
SIGMA_EXPONENT_LIMIT = 200
