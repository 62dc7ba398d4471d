"""When the model is more than the data carries: correlations and flags of a fit.

At the optimum the covariance of the free parameters is s²(JᵀJ)⁻¹ (J the
weighted residuals' Jacobian, s² = χ²/dof); its correlation matrix
c_ij = C_ij / √(C_ii C_jj) does not depend on s². Four signs that the data
do not determine a parameter, each a flag on it:

* its relative standard error is above 100 % or not finite;
* it correlates with a parameter of another element beyond ±0.99 (one
  direction of the parameter space barely changes the fit: the two trade
  off);
* it ended on a bound (the bound, not the data, set it);
* its arc's time constant — R·C, or (R·Q)^(1/α) for a parallel R–CPE pair,
  or a Zarc's τ — lies within a factor of 2 of another arc's: two arcs fitted
  where the spectrum shows one.
"""

from __future__ import annotations

import math
import re
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import korvane
import numpy as np

from ._data import FloatArray
from .reporting import FLAG_BOUND, FLAG_UNDETERMINED

__all__ = ["DiagnosisInputs", "correlation", "diagnose", "flags", "time_constants"]

#: Thresholds of the flags.
MAX_RELATIVE_ERROR = 1.0
MAX_CORRELATION = 0.99
MERGED_TAU_RATIO = 2.0

_PARALLEL_PAIR = re.compile(r"\(([^(),]+),([^(),]+)\)")


@dataclass(frozen=True)
class DiagnosisInputs:
    """The data and weighting of a fit, kept with its result for the diagnostics."""

    frequencies: FloatArray
    impedances: Any
    weight: str
    sigma: Any  # as korvane_tools.fit took it


def diagnose(
    result: Any, inputs: DiagnosisInputs | None
) -> tuple[FloatArray | None, dict[str, tuple[str, ...]]]:
    """(correlation, flags) of a korvane_tools.fit result; (None, {}) without inputs."""
    if inputs is None:
        return None, {}
    from .constrained import _sigma_parts

    sigma_re, sigma_im = _sigma_parts(inputs.sigma, inputs.frequencies.size)
    free = [name for name in result.params if name not in result.fixed]
    if not all(math.isfinite(result.params[name]) for name in free):
        return None, {name: ("value not finite",) for name in free}
    corr = correlation(
        result.circuit,
        result.params,
        inputs.frequencies,
        inputs.impedances,
        free=free,
        weight=inputs.weight,
        sigma=None if sigma_re is None or sigma_im is None else (sigma_re, sigma_im),
    )
    return corr, flags(result.circuit, result.params, result.stderr, corr, free, result.at_bound)


def correlation(
    circuit: korvane.Circuit,
    params: Mapping[str, float],
    frequencies: FloatArray,
    impedances: Any,
    *,
    free: list[str],
    weight: str = "modulus",
    sigma: tuple[FloatArray, FloatArray] | None = None,
) -> FloatArray:
    """Correlation matrix of the ``free`` parameters (in that order) at ``params``.

    With ``sigma`` (the σ of the real and of the imaginary parts) the rows of
    the unweighted Jacobian are divided by σ, as the σ-weighted fit's
    residuals are. Entries are NaN where JᵀJ is singular.
    """
    names = list(params)
    if not free:
        return np.empty((0, 0))
    vector = [params[name] for name in names]
    scheme = "unit" if sigma is not None else weight
    jac = np.asarray(circuit.jacobian(vector, frequencies, impedances, weight=scheme))
    if sigma is not None:
        # rows alternate real, imaginary per point
        jac = jac / np.column_stack((sigma[0], sigma[1])).reshape(-1)[:, None]
    columns = [names.index(name) for name in free]
    j = jac[:, columns]
    # Scale columns to unit length first: the correlation is scale-free and
    # JᵀJ of raw columns spans many decades (ohms against farads).
    norms = np.linalg.norm(j, axis=0)
    with np.errstate(divide="ignore", invalid="ignore"):
        scaled = j / np.where(norms > 0, norms, np.nan)
        try:
            cov = np.linalg.inv(scaled.T @ scaled)
        except np.linalg.LinAlgError:
            return np.full((len(free), len(free)), np.nan)
        d = np.sqrt(np.diag(cov))
        corr = cov / np.outer(d, d)
    if not np.all(np.isfinite(corr)):
        corr = np.where(np.isfinite(corr), corr, np.nan)
    return np.asarray(np.clip(corr, -1.0, 1.0), dtype=np.float64)


def time_constants(circuit: korvane.Circuit, params: Mapping[str, float]) -> dict[str, float]:
    """Time constant per arc, keyed by the arc's elements (``"R1,CPE1"``, ``"Zarc3"``).

    An arc is a parallel pair of branches, one holding a resistor (possibly in
    series with more, as the charge-transfer branch of a Randles cell) and the
    other a single capacitor or CPE; or a Zarc element.
    """
    from .serial import circuit_string

    kinds: dict[str, set[str]] = {}
    for name in params:
        label, _, kind = name.rpartition(".")
        kinds.setdefault(label, set()).add(kind)
    out: dict[str, float] = {}
    for match in _PARALLEL_PAIR.finditer(circuit_string(circuit)):
        branches = [match.group(1).split("-"), match.group(2).split("-")]
        for resistive, capacitive in (branches, branches[::-1]):
            if len(capacitive) != 1:
                continue
            cap = capacitive[0]
            res = next((e for e in resistive if kinds.get(e) == {"r"}), None)
            if res is None:
                continue
            r = params[f"{res}.r"]
            if kinds.get(cap) == {"c"}:
                out[f"{res},{cap}"] = r * params[f"{cap}.c"]
            elif kinds.get(cap) == {"q", "alpha"} and params[f"{cap}.alpha"] > 0:
                rq = r * params[f"{cap}.q"]
                exponent = math.log(rq) / params[f"{cap}.alpha"] if rq > 0 else -math.inf
                out[f"{res},{cap}"] = math.exp(min(exponent, 709.0))
            else:
                continue
            break
    for label, found in kinds.items():
        if found == {"r", "tau_k", "gamma"}:
            out[label] = params[f"{label}.tau_k"]
    return out


def flags(
    circuit: korvane.Circuit,
    params: Mapping[str, float],
    stderr: Mapping[str, float] | None,
    corr: FloatArray,
    free: list[str],
    at_bound: tuple[str, ...],
) -> dict[str, tuple[str, ...]]:
    """Flags per free parameter (only flagged ones appear), texts for people.

    The texts of an undetermined parameter and one on a bound are the
    report's, so a report shows each once.
    """
    out: dict[str, list[str]] = {}

    def add(name: str, text: str) -> None:
        out.setdefault(name, []).append(text)

    for name in free:
        value = params[name]
        error = math.nan if stderr is None else stderr.get(name, math.nan)
        relative = abs(error / value) if value != 0 else math.inf
        if not math.isfinite(relative):
            add(name, FLAG_UNDETERMINED)
        elif relative > MAX_RELATIVE_ERROR:
            add(name, f"standard error {100.0 * relative:.3g} %")
    for i, a in enumerate(free):
        for j in range(i + 1, len(free)):
            c = corr[i, j]
            if a.rpartition(".")[0] == free[j].rpartition(".")[0]:
                # A CPE's q and α: q = τ^α/R is referred to ω = 1 rad/s, so
                # for an arc decades away from it any change of α moves q
                # along — a trait of the units, not a trade-off the data
                # leave open (the arc's R and τ stay sharp).
                continue
            if math.isfinite(c) and abs(c) > MAX_CORRELATION:
                add(a, f"correlated with {free[j]} ({c:+.3f})")
                add(free[j], f"correlated with {a} ({c:+.3f})")
    for name in at_bound:
        add(name, FLAG_BOUND)
    taus = sorted(time_constants(circuit, params).items(), key=lambda item: item[1])
    for (arc_a, tau_a), (arc_b, tau_b) in zip(taus, taus[1:]):
        if tau_a > 0 and tau_b / tau_a < MERGED_TAU_RATIO:
            for arc, other in ((arc_a, arc_b), (arc_b, arc_a)):
                for label in arc.split(","):
                    for name in free:
                        if name.rpartition(".")[0] == label:
                            add(name, f"arc merged with {other} (time constants within 2x)")
    return {name: tuple(texts) for name, texts in out.items()}
