"""One labelling for equivalent fits: interchangeable sub-circuits by time constant.

In ``R0-(R1,C1)-(R2,C2)`` the two arcs are interchangeable: swapping the values
of ``(R1,C1)`` and ``(R2,C2)`` gives the same impedance at every frequency, so
a multi-start search may return either labelling (the same spectrum read from
two file formats gave ``R1 = 500`` once and ``R1 = 200`` the other time).
:func:`order_by_tau` picks one: within the top-level series chain, the
sub-circuits of the same form (the same elements, connected the same way) are
relabelled so that their time constants ascend in label order — the first
arc is the fastest.

The time constant of a sub-circuit is ``τ = 1/(2π f_peak)``, with ``f_peak``
the frequency where its own −Im Z is largest (``τ = RC`` for ``(R,C)``,
``(RQ)^(1/α)`` for ``(R,CPE)``, ``tau_k`` for a Zarc). Sub-circuits without
such a peak (a lone R, C or Warburg element) keep their labels, as does a
group of which a parameter is fixed or whose members have different bounds:
relabelling those would move a constraint the caller set on one label to
another. Series chains nested inside parallel branches are left as they are.
"""

from __future__ import annotations

import dataclasses
import math
import re
from typing import Any, TypeVar

import korvane
import numpy as np

__all__ = ["ORDERS", "order_by_tau", "apply_order"]

#: The values of ``order=``: None keeps the labelling the fit returned.
ORDERS = (None, "tau")

# Frequencies scanned for the peak of −Im Z: 30 decades around 1 Hz.
_GRID = np.logspace(-15, 15, 601)
_LABEL = re.compile(r"[A-Za-z]+\d+")

Result = TypeVar("Result")


def apply_order(result: Result, order: str | None) -> Result:
    """``result`` relabelled as ``order`` asks (see :data:`ORDERS`)."""
    if order is None:
        return result
    if order == "tau":
        return order_by_tau(result)
    raise ValueError(f"order must be one of {ORDERS}, got {order!r}")


def _series_nodes(text: str) -> list[str]:
    """The top-level series chain of a circuit text, one text per node."""
    nodes, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        elif ch == "-" and depth == 0:
            nodes.append(text[start:i])
            start = i + 1
    nodes.append(text[start:])
    return nodes


def _tau(node: str, values: list[float]) -> float | None:
    try:
        circuit = korvane.Circuit(node).with_values(values)
        with np.errstate(all="ignore"):
            reactance = -np.asarray(circuit.impedance(_GRID)).imag
    except (ValueError, OverflowError, FloatingPointError):
        return None
    if not np.all(np.isfinite(reactance)):
        return None
    k = int(np.argmax(reactance))
    if reactance[k] <= 0 or k == 0 or k == _GRID.size - 1:
        return None
    # A parabola through the peak and its neighbours, in log f.
    y0, y1, y2 = reactance[k - 1 : k + 2]
    curvature = y0 - 2 * y1 + y2
    shift = 0.0 if curvature == 0 else 0.5 * (y0 - y2) / curvature
    log_step = math.log(_GRID[1] / _GRID[0])
    f_peak = float(_GRID[k]) * math.exp(float(shift) * log_step)
    return 1.0 / (2 * math.pi * f_peak)


def _rename(names: Any, mapping: dict[str, str]) -> Any:
    return tuple(mapping.get(name, name) for name in names)


def order_by_tau(result: Result) -> Result:
    """``result`` (a :class:`korvane_tools.ConstrainedFitResult`) with its
    interchangeable series sub-circuits relabelled by ascending time constant:
    values, standard errors and the at-bound names move together; the
    circuit is the fitted one with the values in the new places."""
    fit: Any = result
    circuit: korvane.Circuit = fit.circuit
    names = circuit.param_names()
    params = dict(fit.params)
    # The canonical text of the circuit's state: every element labelled as
    # its parameter names are. Its rare shapes outside the circuit-string
    # grammar ("0", "()") give nodes korvane.Circuit refuses, so no τ.
    text: str = circuit.__reduce__()[1][1]
    nodes = _series_nodes(text)
    forms = [re.sub(r"\d+", "", node) for node in nodes]
    groups: dict[str, list[tuple[list[str], float]]] = {}
    for node, form in zip(nodes, forms):
        if forms.count(form) < 2:
            continue  # nothing to trade places with: no time constant needed
        labels = {m.group(0) for m in _LABEL.finditer(node)}
        own = [n for n in names if n.split(".", 1)[0] in labels]
        tau = _tau(node, [params[n] for n in own])
        if tau is not None:
            groups.setdefault(form, []).append((own, tau))

    fixed = set(getattr(fit, "fixed", ()))
    bounds = getattr(fit, "bounds", None) or dict(zip(names, circuit.param_bounds()))
    mapping: dict[str, str] = {}  # new name -> the name whose value it takes
    for members in groups.values():
        if len(members) < 2 or any(n in fixed for own, _ in members for n in own):
            continue
        if any(
            [bounds[n] for n in own] != [bounds[n] for n in members[0][0]] for own, _ in members
        ):
            continue
        ranked = sorted(members, key=lambda m: m[1])
        for (slot, _), (source, _) in zip(members, ranked):
            mapping.update(zip(slot, source))
    if all(new == old for new, old in mapping.items()):
        return result

    def moved(values: dict[str, float]) -> dict[str, float]:
        return {name: values[mapping.get(name, name)] for name in names}

    inverse = {old: new for new, old in mapping.items()}
    new_params = moved(params)
    reordered: Result = dataclasses.replace(
        fit,
        circuit=circuit.with_values([new_params[n] for n in names]),
        params=new_params,
        stderr=None if fit.stderr is None else moved(dict(fit.stderr)),
        at_bound=tuple(n for n in names if n in set(_rename(fit.at_bound, inverse))),
    )
    return reordered
