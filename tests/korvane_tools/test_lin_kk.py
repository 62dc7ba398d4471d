import korvane
import numpy as np
import pytest
from korvane_tools import LinKKResult, lin_kk

F = np.logspace(5, -2, 71)
RANDLES = korvane.Circuit("R0-(R1-W1,CPE1)").with_values([15, 60, 40, 2e-5, 0.85])


def sweep_fraction(f):
    """Elapsed time of a high-to-low sweep as a fraction of its length: each
    point takes a second of settling plus three periods."""
    t = np.cumsum(1.0 + 3.0 / f)
    return t / t[-1]


def noisy(z, seed, level=1e-3):
    rng = np.random.default_rng(seed)
    return z + level * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))


def test_randles_passes_and_drift_fails():
    z = RANDLES.impedance(F)
    clean = lin_kk((F, z), threshold=1e-3)
    assert clean.passed
    assert clean.max_residual < 1e-3
    assert np.max(np.abs(clean.residuals_real)) < 1e-3
    assert np.max(np.abs(clean.residuals_imag)) < 1e-3
    assert clean.mu < clean.c  # M came from the criterion, not the cap

    drifted = lin_kk((F, z * (1 + 0.05 * sweep_fraction(F))), threshold=1e-3)
    assert not drifted.passed
    assert drifted.max_residual > 3e-3
    # The drift is in the slow end of the sweep, and so are the residuals.
    worst = int(np.argmax(np.abs(drifted.residuals_real) + np.abs(drifted.residuals_imag)))
    assert F[worst] < 1.0


def test_residuals_are_relative_to_modulus_and_fitted_matches():
    z = RANDLES.impedance(F)
    r = lin_kk((F, z))
    expected = (z - r.fitted) / np.abs(z)
    np.testing.assert_allclose(r.residuals_real, expected.real, rtol=0, atol=1e-15)
    np.testing.assert_allclose(r.residuals_imag, expected.imag, rtol=0, atol=1e-15)
    # The fitted chain is the sum the result describes.
    w = 2 * np.pi * F
    chain = (
        r.r0 + (r.resistances / (1 + 1j * np.outer(w, r.tau))).sum(axis=1) + 1j * w * r.inductance
    )
    np.testing.assert_allclose(chain, r.fitted, rtol=1e-12)
    assert r.tau.size == r.resistances.size == r.m
    assert r.tau[0] == pytest.approx(1 / w.max())
    assert r.tau[-1] == pytest.approx(10 / w.min())  # one decade beyond by default


def test_number_of_elements_stable_under_noise():
    z = RANDLES.impedance(F)
    m_clean = lin_kk((F, z)).m
    ms = [lin_kk((F, noisy(z, seed))).m for seed in range(8)]
    assert max(ms) - min(ms) <= 4, ms
    assert all(abs(m - m_clean) <= 4 for m in ms), (m_clean, ms)
    for seed in range(3):  # 0.1 % noise passes the default 1 % verdict
        assert lin_kk((F, noisy(z, seed))).passed


def test_inductive_spectrum_needs_the_inductor():
    circuit = korvane.Circuit("L0-R0-(R1,CPE1)").with_values([1e-5, 1, 5, 1e-4, 0.8])
    f = np.logspace(6, -1, 71)
    z = circuit.impedance(f)
    assert np.any(z.imag > 0)  # really inductive at the top
    with_l = lin_kk((f, z), add_inductance=True)
    without = lin_kk((f, z), add_inductance=False)
    assert with_l.passed and with_l.max_residual < 1e-3
    assert with_l.inductance == pytest.approx(1e-5, rel=1e-3)
    assert not without.passed
    assert without.inductance is None


def test_blocking_electrode_needs_the_capacitor():
    circuit = korvane.Circuit("R0-(R1,CPE1)-C2").with_values([10, 100, 1e-5, 0.9, 1e-3])
    z = circuit.impedance(F)
    with_c = lin_kk((F, z), add_capacitance=True)
    assert with_c.passed and with_c.capacitance == pytest.approx(1e-3, rel=1e-2)
    assert lin_kk((F, z), add_capacitance=False).max_residual > with_c.max_residual


def test_plain_rc_is_not_stopped_underfitted():
    # A single ideal relaxation between grid points: starting the search at
    # M = 1 stops at a coarse chain with residuals of tens of per cent.
    z = korvane.Circuit("R0-(R1,C1)").with_values([10, 50, 1.3e-4]).impedance(F)
    assert lin_kk((F, z)).passed
    original = lin_kk((F, z), extend_decades=0, min_per_decade=0)
    assert original.max_residual > 0.05


def test_frame_input_cap_and_text():
    import pandas as pd

    z = RANDLES.impedance(F)
    frame = pd.DataFrame(
        {"Frequency / Hz": F, "Real Impedance / ohm": z.real, "Imaginary Impedance / ohm": z.imag}
    )
    r = lin_kk(frame, max_m=5, min_per_decade=0)
    assert isinstance(r, LinKKResult)
    assert r.m == 5 and not r.mu_reached
    text = str(r)
    assert "FAILED" in text and "M = 5" in text and "cap" in text
    with pytest.raises(AttributeError):
        r.m = 3  # frozen


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"c": 0}, "c must be"),
        ({"threshold": -1}, "threshold"),
        ({"max_m": 0}, "max_m"),
        ({"extend_decades": -1}, "extend_decades"),
    ],
)
def test_bad_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        lin_kk((F, RANDLES.impedance(F)), **kwargs)


def test_bad_data():
    with pytest.raises(ValueError, match="not positive"):
        lin_kk(([1.0, -1.0, 2.0], [1 + 1j, 1 + 1j, 1 + 1j]))
    with pytest.raises(ValueError, match="distinct"):
        lin_kk(([1.0, 1.0], [1 - 1j, 1 - 1j]))
    z = RANDLES.impedance(F)
    for f, zz, what in (
        (F * 1e296, z, "frequencies from"),
        (F, z * 1e-320, "impedance moduli from"),  # subnormal
    ):
        with pytest.raises(ValueError, match=f"lin_kk supports {what}"):
            lin_kk((f, zz))
