"""Circuit.residuals and Circuit.jacobian."""

import math

import numpy as np
import pytest
from korvane import Circuit

RC = Circuit("R0-(R1,C1)")
F = [0.1, 3.0, 70.0, 2e3, 5e4]
TRUE = [12.0, 80.0, 3e-5]


def rc(f, p):
    w = 2 * math.pi * f
    return p[0] + p[1] / (1 + 1j * w * p[1] * p[2])


def rc_derivatives(f, p):
    # Z = R0 + R1/(1 + jωR1C): ∂/∂R0 = 1, ∂/∂R1 = 1/d², ∂/∂C = −jωR1²/d²
    w = 2 * math.pi * f
    d = 1 + 1j * w * p[1] * p[2]
    return [1.0, 1 / d**2, -1j * w * p[1] ** 2 / d**2]


MEASURED = [rc(f, TRUE) * (1 + 0.01 * k) for k, f in enumerate(F)]


def test_residuals_match_the_weighted_difference():
    p = [10.0, 100.0, 1e-5]
    r = RC.residuals(p, F, MEASURED)
    assert len(r) == 2 * len(F) and all(type(x) is float for x in r)
    for i, (f, zm) in enumerate(zip(F, MEASURED)):
        diff = (rc(f, p) - zm) / abs(zm)
        assert r[2 * i] == pytest.approx(diff.real, rel=1e-12, abs=1e-15)
        assert r[2 * i + 1] == pytest.approx(diff.imag, rel=1e-12, abs=1e-15)
    unit = RC.residuals(params=p, frequencies=F, impedances=MEASURED, weight="unit")
    assert unit[4] == pytest.approx((rc(F[2], p) - MEASURED[2]).real, rel=1e-12)
    assert RC.residuals(TRUE, [1.0], [rc(1.0, TRUE)], "unit") == pytest.approx(
        [0.0, 0.0], abs=1e-12
    )
    assert RC.residuals(p, [], []) == []


def test_jacobian_rows_are_residuals_columns_are_parameters():
    p = [10.0, 100.0, 1e-5]
    jac = RC.jacobian(p, F, MEASURED, weight="unit")
    assert len(jac) == 2 * len(F) and all(len(row) == 3 for row in jac)
    steps = [2.0 ** (-52 / 3) * abs(x) for x in p]
    for i, f in enumerate(F):
        for j, d in enumerate(rc_derivatives(f, p)):
            # Central differences lose about ε·|Z|/h to rounding.
            tol = 1e-6 * abs(d) + 8 * 2.0**-52 * abs(rc(f, p)) / steps[j]
            assert jac[2 * i][j] == pytest.approx(d.real, abs=tol)
            assert jac[2 * i + 1][j] == pytest.approx(d.imag, abs=tol)
    # A surplus parameter gets its own column, untouched by the circuit.
    wide = RC.jacobian(p + [5.0], F, MEASURED, weight="unit")
    assert [row[:3] for row in wide] == jac
    assert all(row[3] == 0.0 for row in wide)
    assert RC.jacobian([], F, MEASURED) == []


def test_jacobian_is_the_central_difference_of_residuals_bit_for_bit():
    # h_j = η·max(|p_j|, 1e-8) with η = ∛(2⁻⁵²); column = (r⁺ − r⁻)/(2h), the
    # divisor 2h rather than the difference of the perturbed values as stored.
    eta = math.cbrt(2.0**-52)
    for p in ([10.0, 100.0, 1e-5], [0.0, 3.3, 7e-4], [1e6, 1e-9, 2.5e-3]):
        for weight in ("modulus", "unit"):
            jac = RC.jacobian(p, F, MEASURED, weight=weight)
            for j in range(len(p)):
                h = eta * max(abs(p[j]), 1e-8)
                up, down = list(p), list(p)
                up[j] += h
                down[j] -= h
                r_up = RC.residuals(up, F, MEASURED, weight)
                r_down = RC.residuals(down, F, MEASURED, weight)
                column = [(a - b) / (2 * h) for a, b in zip(r_up, r_down)]
                assert [row[j] for row in jac] == column


def test_external_optimiser_recovers_the_parameters():
    optimize = pytest.importorskip("scipy.optimize")
    exact = [rc(f, TRUE) for f in F]

    # Log-parameters keep the step sizes sane across nine decades.
    def residuals(q):
        return RC.residuals(np.exp(q), F, exact)

    def jacobian(q):
        return np.array(RC.jacobian(np.exp(q), F, exact)) * np.exp(q)

    fit = optimize.least_squares(
        residuals, np.log([1.0, 10.0, 1e-4]), jac=jacobian, xtol=1e-14, ftol=1e-14, gtol=1e-14
    )
    assert np.exp(fit.x) == pytest.approx(TRUE, rel=1e-6)


def test_errors_and_conversion_order():
    # A short parameter vector is the caller's error; the counts follow the text.
    short = r"^impedance_from_iter: not enough values supplied \(the circuit has "
    with pytest.raises(ValueError, match=short + r"3 parameters, 2 were given\)$"):
        RC.residuals([1.0, 2.0], F, MEASURED)
    with pytest.raises(ValueError, match=short + r"3 parameters, 1 was given\)$"):
        RC.jacobian([1.0], F, MEASURED)
    with pytest.raises(ValueError, match=short + r"1 parameter, 0 were given\)$"):
        Circuit("R0").residuals([], F, MEASURED)
    with pytest.raises(TypeError, match="^argument 'weight': "):
        RC.residuals(TRUE, F, MEASURED, weight=None)
    with pytest.raises(ValueError, match='^unknown weight scheme "Unit"'):
        RC.jacobian(TRUE, F, MEASURED, weight="Unit")
    # params first, then weight, then the measured data, then the scheme.
    with pytest.raises(TypeError, match="^argument 'params': Can't extract `str` to `Vec`$"):
        RC.residuals("abc", "bad", weight=1)
    with pytest.raises(TypeError, match="^argument 'weight': "):
        RC.residuals(TRUE, "bad", weight=1)
    with pytest.raises(ValueError, match="^frequencies and impedances must have the same length$"):
        RC.residuals(TRUE, [1.0], [1j, 2j], weight="bogus")
    with pytest.raises(TypeError):
        RC.residuals(TRUE)
    with pytest.raises(TypeError):
        RC.jacobian(TRUE, F, MEASURED, "unit", "extra")
