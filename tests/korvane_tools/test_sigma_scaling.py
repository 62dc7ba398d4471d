import korvane
import korvane_tools as kt
import numpy as np


def test_huge_and_tiny_sigma_change_only_the_chi_square():
    f = np.logspace(4, -1, 30)
    truth = korvane.Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
    z = truth.impedance(f) * (1 + 0.01 * np.random.default_rng(1).standard_normal(30))
    start = korvane.Circuit("R0-(R1,C1)").with_values([12.0, 80.0, 2e-5])
    plain = kt.fit(start, (f, z), sigma=np.abs(z))
    for k in (1e170, 1e250, 1e-170):
        scaled = kt.fit(start, (f, z), sigma=k * np.abs(z))
        assert scaled.success and scaled.iterations == plain.iterations
        for name, value in plain.params.items():
            assert np.isclose(scaled.params[name], value, rtol=1e-9)
            assert np.isclose(scaled.stderr[name], plain.stderr[name], rtol=1e-6)
        # chi-square scales as 1/k² (to 0 or inf where doubles end).
        assert np.isclose(scaled.chi_square, plain.chi_square / k / k, rtol=1e-9, atol=0)
