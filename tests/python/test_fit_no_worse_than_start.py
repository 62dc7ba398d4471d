"""A default fit never ends above the cost of the guess it started from."""

import korvane
import numpy as np
import pytest


def test_over_parameterised_fit_of_one_arc_ends_below_its_guess():
    f = np.logspace(5, -1, 50)
    k = np.arange(50)
    z = korvane.Circuit("R0-(R1,CPE1)").with_values([3.336, 2.958, 8.638e-06, 0.972]).impedance(f)
    z = z * (1 + 0.005 * np.sin(7.0 * k)) + 0.005 * abs(z) * 1j * np.cos(11.0 * k)
    c = korvane.Circuit("R0-(R1,CPE1)-(R2-Wo2,CPE2)")
    at_guess = sum(r * r for r in c.residuals(c.guess(f, z), f, z))
    result = c.fit(f, z)
    # It used to end at 6.05e-2 against 2.56e-2 at the guess, with CPE1.alpha
    # clamped to 1 and Wo2.tau at 1.6e19.
    assert result.chi_square <= at_guess
    assert result.chi_square < at_guess / 10
    assert result.params["CPE1.alpha"] < 1.0
    assert result.params["Wo2.tau"] < 1e6
    assert result.success
    refitted = sum(r * r for r in c.residuals(list(result.params.values()), f, z))
    assert result.chi_square == pytest.approx(refitted, rel=1e-12)
