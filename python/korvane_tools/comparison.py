"""Which circuit the data support: several fits ranked by AIC and BIC.

With n = 2N real residuals, k free parameters and the weighted residual sum
of squares χ², the Gaussian log-likelihood at the optimum with the variance
estimated from the fit gives

    AIC = n·ln(χ²/n) + 2k        BIC = n·ln(χ²/n) + k·ln n

(lower is better; constants shared by every circuit dropped). A difference of
about 2 is slight, above 10 decisive. BIC charges more per parameter, so it
is the one to read when asking whether an extra arc is in the data.
"""

from __future__ import annotations

import math
import time
from collections.abc import Iterable
from typing import Any

import korvane
import numpy as np
import pandas as pd

from ._data import Data, spectrum

__all__ = ["compare", "default_circuits"]

#: The circuit strings of the trained topologies, in the module's table order.
TRAINED = {
    "rc": "R0-(R1,C1)",
    "rc_l": "L0-R0-(R1,C1)",
    "rq": "R0-(R1,CPE1)",
    "rq_l": "L0-R0-(R1,CPE1)",
    "two_rc": "R0-(R1,C1)-(R2,C2)",
    "two_rc_l": "L0-R0-(R1,C1)-(R2,C2)",
    "two_rq": "R0-(R1,CPE1)-(R2,CPE2)",
    "two_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)",
    "randles": "R0-(R1-W1,CPE1)",
    "sei_randles": "R0-(R1,CPE1)-(R2-W2,CPE2)",
    "sei_randles_wo": "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
}


#: A point is inductive when its phase exceeds this (radians, about 1.1°):
#: noise alone turns the phase of a resistive plateau slightly positive.
INDUCTIVE_PHASE = 0.02


def default_circuits(data: Data) -> list[str]:
    """The trained topologies that apply to ``data``.

    A spectrum with inductive points (Im Z > 0.02·|Z|) gets the topologies
    with an inductor, one without gets the others: a model without an
    inductor cannot follow an inductive tail, and on a spectrum without one
    the inductance is a parameter the data do not determine. Every circuit
    of a comparison is fitted to the same points, so their criteria compare.
    """
    _, impedances = spectrum(data)
    inductive = bool(np.any(impedances.imag > INDUCTIVE_PHASE * np.abs(impedances)))
    return [text for name, text in TRAINED.items() if name.endswith("_l") == inductive]


def compare(
    data: Data,
    circuits: Iterable[str | korvane.Circuit] | None = None,
    **fit_kwargs: Any,
) -> pd.DataFrame:
    """Fit every circuit to ``data``; one row each, best (lowest BIC) first.

    ``circuits`` are circuit strings or ``korvane.Circuit`` objects (default:
    :func:`default_circuits`). ``fit_kwargs`` go to :func:`korvane_tools.fit`
    (``thorough=True`` is worth its time here: a fit stuck in a poor minimum
    ranks its circuit too low). Columns: ``circuit``, ``n_params`` (free),
    ``chi_square``, ``dof``, ``aic``, ``bic``, ``delta_bic`` (to the best),
    ``aic_rank``, ``flags`` (parameter -> reasons, as on the fit result),
    ``success``, ``seconds`` and ``error`` (why a circuit could not be
    fitted; its criteria are then NaN and it ranks last).
    """
    from .constrained import as_circuit, fit
    from .serial import circuit_string

    frequencies, impedances = spectrum(data)
    items = default_circuits((frequencies, impedances)) if circuits is None else list(circuits)
    if not items:
        raise ValueError("compare needs at least one circuit")
    n = 2 * frequencies.size
    rows = []
    for item in items:
        circuit = as_circuit(item)
        row: dict[str, Any] = {"circuit": circuit_string(circuit)}
        started = time.perf_counter()
        try:
            result = fit(circuit, (frequencies, impedances), **fit_kwargs)
        except (ValueError, TypeError) as exc:
            row.update(
                n_params=len(circuit.param_names()),
                chi_square=math.nan,
                flags={},
                success=False,
                error=f"{type(exc).__name__}: {exc}",
            )
        else:
            k = len(result.params) - len(result.fixed)
            row.update(
                n_params=k,
                chi_square=result.chi_square,
                flags=dict(result.flags),
                success=result.success,
                error=None,
            )
        row["seconds"] = time.perf_counter() - started
        rows.append(row)

    frame = pd.DataFrame(rows)
    chi = frame["chi_square"].to_numpy(dtype=float)
    k = frame["n_params"].to_numpy(dtype=float)
    with np.errstate(divide="ignore", invalid="ignore"):
        fit_term = n * np.log(chi / n)
    frame["dof"] = n - frame["n_params"]
    frame["aic"] = fit_term + 2.0 * k
    frame["bic"] = fit_term + k * math.log(n)
    frame = frame.sort_values("bic", kind="stable", na_position="last").reset_index(drop=True)
    frame["delta_bic"] = frame["bic"] - frame["bic"].min()
    frame["aic_rank"] = frame["aic"].rank(method="min", na_option="bottom").astype(int)
    columns = ["circuit", "n_params", "chi_square", "dof", "aic", "bic", "delta_bic", "aic_rank"]
    return frame[[*columns, "flags", "success", "seconds", "error"]]
