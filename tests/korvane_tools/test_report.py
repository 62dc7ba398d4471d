import json
import math
from dataclasses import dataclass, field

import korvane
import numpy as np
import pytest
from korvane_tools import Report, report

CIRCUIT = korvane.Circuit("R0-(R1,CPE1)")
NAMES = CIRCUIT.param_names()  # R0.r, R1.r, CPE1.q, CPE1.alpha


@dataclass
class FakeResult:
    """Shaped like a FitResult, or (with fixed/at_bound) a constrained one."""

    params: dict
    stderr: dict | None
    circuit: object = None
    success: bool = True
    iterations: int = 7
    impedance_evals: int = 42
    cost: float = 0.5
    chi_square: float = 1.0

    def __post_init__(self):
        self.circuit = CIRCUIT.with_named_values(self.params)


@dataclass
class FakeConstrained(FakeResult):
    fixed: tuple = ()
    at_bound: tuple = field(default_factory=tuple)


def rows(rep):
    return {row.name: row for row in rep.parameters}


def test_flags_from_bounds_and_stderr():
    params = {"R0.r": 1e-12, "R1.r": 50.0, "CPE1.q": 2e-5, "CPE1.alpha": 1.0}
    stderr = {"R0.r": 3.0, "R1.r": 0.5, "CPE1.q": math.nan, "CPE1.alpha": 0.01}
    rep = report(FakeResult(params, stderr))
    by = rows(rep)
    assert by["R0.r"].at_bound and by["CPE1.alpha"].at_bound  # lower and upper bound
    assert not by["R1.r"].at_bound and not by["CPE1.q"].at_bound
    assert by["CPE1.q"].undetermined and by["CPE1.q"].flags == ("undetermined",)
    assert by["R1.r"].flags == ()
    assert not any(row.fixed for row in rep.parameters)
    assert by["R1.r"].relative_error == pytest.approx(1.0)  # 0.5 of 50 is 1 %
    assert by["CPE1.alpha"].relative_error == pytest.approx(1.0)
    assert math.isnan(by["CPE1.q"].relative_error)
    assert [row.unit for row in rep.parameters] == CIRCUIT.param_units()
    # Just inside a bound is not on it.
    near = report(FakeResult({**params, "R0.r": 1e-11, "CPE1.alpha": 0.999}, stderr))
    assert not any(row.at_bound for row in near.parameters)


def test_missing_stderr_marks_all_undetermined():
    params = dict(zip(NAMES, [10.0, 50.0, 2e-5, 0.9]))
    rep = report(FakeResult(params, None))
    assert all(row.undetermined for row in rep.parameters)
    assert "undetermined" in str(rep)


def test_fixed_and_at_bound_taken_from_the_result():
    params = dict(zip(NAMES, [10.0, 50.0, 2e-5, 0.9]))
    stderr = {"R1.r": 1.0, "CPE1.q": 1e-6, "CPE1.alpha": 0.01}  # R0.r fixed: no error
    result = FakeConstrained(params, stderr, fixed=("R0.r",), at_bound=("CPE1.alpha",))
    by = rows(report(result))
    assert by["R0.r"].fixed and not by["R0.r"].undetermined
    assert by["R0.r"].flags == ("fixed",)
    # at_bound as given, even though 0.9 is not on a default bound.
    assert by["CPE1.alpha"].at_bound and not by["R1.r"].at_bound
    rep = report(result, data=(np.logspace(3, 0, 10), np.ones(10, complex)))
    assert rep.n_free == 3 and rep.dof == 2 * 10 - 3


def test_statistics_with_data():
    f = np.logspace(4, -1, 30)
    z = CIRCUIT.with_values([10, 50, 1e-4, 0.9]).impedance(f)
    result = CIRCUIT.fit(f, z * (1 + 0.01 * np.sin(np.arange(30))))
    rep = report(result, (f, z))
    assert rep.n_points == 30 and rep.dof == 56
    assert rep.reduced_chi_square == pytest.approx(result.chi_square / 56)
    assert rep.rms_residual == pytest.approx(math.sqrt(result.chi_square / 60))
    assert rep.impedance_evals == result.impedance_evals
    text = str(rep)
    assert "degrees of freedom" in text and "56" in text
    assert report(result).dof is None and "degrees of freedom" not in str(report(result))


def test_text_forms_one_row_per_parameter():
    params = {"R0.r": 12.345678, "R1.r": 50.0, "CPE1.q": 2.3456e-5, "CPE1.alpha": 0.9}
    stderr = {"R0.r": 0.012345, "R1.r": 0.5, "CPE1.q": math.nan, "CPE1.alpha": 0.01}
    rep = report(FakeResult(params, stderr))
    md = rep.to_markdown()
    table = [line for line in md.splitlines() if line.startswith("| `")]
    assert len(table) == len(NAMES)
    assert all(f"`{name}`" in md for name in NAMES)
    text = str(rep)
    assert "12.346" in text and "0.012" in text  # 5 and 2 significant digits
    assert "ohm^-1*s^alpha" in text
    html = rep._repr_html_()
    assert html.count("<tr>") == 1 + len(NAMES) + 3  # header, rows, chi-square/evaluations/success


def test_dict_round_trip_is_exact_and_json_safe():
    params = {"R0.r": 1e-12, "R1.r": 50.000000000000014, "CPE1.q": 2e-5, "CPE1.alpha": 0.9}
    stderr = {"R0.r": math.nan, "R1.r": 0.5, "CPE1.q": 1e-7, "CPE1.alpha": 0.01}
    rep = report(FakeConstrained(params, stderr, fixed=("CPE1.alpha",)), (np.ones(5), np.ones(5)))
    d = rep.to_dict()
    text = json.dumps(d, allow_nan=False)  # strict JSON: no NaN or Infinity
    back = Report.from_dict(json.loads(text))
    assert back.to_dict() == d
    assert str(back) == str(rep)
    assert rows(back)["R1.r"].value == 50.000000000000014
    assert rows(back)["R1.r"].upper == math.inf
    assert math.isnan(rows(back)["R0.r"].stderr)
    assert rows(back)["CPE1.alpha"].fixed


def test_from_dict_errors():
    with pytest.raises(ValueError, match="chi_square"):
        Report.from_dict({"parameters": []})
    with pytest.raises(ValueError, match="malformed"):
        Report.from_dict(
            {
                "parameters": [],
                "chi_square": "x",
                "cost": 0,
                "success": True,
                "iterations": 1,
                "impedance_evals": 1,
            }
        )


def test_not_a_result():
    with pytest.raises(TypeError, match="circuit"):
        report(object())
