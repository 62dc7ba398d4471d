"""The FitResult record, observed through Circuit.fit."""

import math
import re

import korvane
import numpy as np
import pytest
from korvane import Circuit


def exponent6(x):
    """Six-digit exponent form: mantissa as printf %.6e, exponent without
    '+' or leading zeros ("1.234568e-3")."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    mantissa, exponent = f"{x:.6e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def test_fit_result_attributes_and_repr():
    truth = Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
    f = np.logspace(-1, 5, 30)
    z = truth.impedance(f)
    start = Circuit("R0-(R1,C1)").with_values([12.0, 80.0, 2e-5])
    result = start.fit(f, z)
    assert type(result) is korvane.FitResult

    names = start.param_names()
    assert type(result.circuit) is Circuit
    assert result.circuit is not result.circuit  # every read is a fresh object
    assert result.circuit.param_names() == names
    params = result.params
    assert type(params) is dict and sorted(params) == sorted(names)
    assert params == dict(zip(names, result.circuit.param_values()))
    params["R0.r"] = -1.0
    assert result.params["R0.r"] != -1.0
    assert result.stderr is None or sorted(result.stderr) == sorted(names)
    assert type(result.success) is bool
    assert type(result.iterations) is int and result.iterations >= 0
    assert type(result.impedance_evals) is int and result.impedance_evals > 0
    assert type(result.cost) is float and type(result.chi_square) is float
    assert result.chi_square == 2 * result.cost
    for name in [
        "circuit",
        "params",
        "stderr",
        "success",
        "iterations",
        "impedance_evals",
        "cost",
        "chi_square",
    ]:
        with pytest.raises(AttributeError):
            setattr(result, name, None)

    text = repr(result)
    head = (
        f"FitResult(success={'true' if result.success else 'false'}, "
        f"iterations={result.iterations}, impedance_evals={result.impedance_evals}, "
        f"chi_square={exponent6(result.chi_square)}, params={{"
    )
    assert text.startswith(head), text
    assert text.endswith("})")
    entries = re.findall(r'"([^"]+)": ([^,}]+)', text[len(head) :])
    assert sorted(name for name, _ in entries) == sorted(names)
    for name, value in entries:
        assert float(value) == result.params[name]
    assert "cost" not in text and "stderr" not in text
