from pathlib import Path

import korvane
import korvane_tools as kt
import numpy as np
import pytest
from test_lin_kk import RANDLES, F, noisy, sweep_fraction

# The Kramers–Kronig consistent spectra of the lin_kk tests.
SPECTRA = {
    "randles": (F, RANDLES.impedance(F)),
    "inductive": (
        np.logspace(6, -1, 71),
        korvane.Circuit("L0-R0-(R1,CPE1)")
        .with_values([1e-5, 1, 5, 1e-4, 0.8])
        .impedance(np.logspace(6, -1, 71)),
    ),
    "blocking": (
        F,
        korvane.Circuit("R0-(R1,CPE1)-C2").with_values([10, 100, 1e-5, 0.9, 1e-3]).impedance(F),
    ),
    "rc": (F, korvane.Circuit("R0-(R1,C1)").with_values([10, 100, 1e-5]).impedance(F)),
}


@pytest.mark.parametrize("name", SPECTRA)
def test_consistent_spectra_are_reconstructed(name):
    f, z = SPECTRA[name]
    result = kt.z_hit((f, z))
    assert np.max(np.abs(result.modulus_error)) < 5e-3
    assert result.passed
    np.testing.assert_allclose(np.abs(result.fitted), result.modulus, rtol=1e-12)
    expected = (z - result.fitted) / np.abs(z)
    np.testing.assert_allclose(result.residuals_real, expected.real, atol=1e-15)
    np.testing.assert_allclose(result.residuals_imag, expected.imag, atol=1e-15)


def test_options_and_the_series_terms():
    f, z = SPECTRA["randles"]
    for kwargs in (
        {"smoothing": "savgol"},
        {"smoothing": "none"},
        {"interpolation": "cubic"},
        {"window": (1.0, 1e3)},
    ):
        assert np.max(np.abs(kt.z_hit((f, z), **kwargs).modulus_error)) < 5e-3, kwargs
    # The series truncated after the first derivative (the classical Z-HIT)
    # misses by per cents on a plain RC arc, which the whole kernel does not.
    f, z = SPECTRA["rc"]
    errors = [
        np.max(np.abs(kt.z_hit((f, z), terms=t, smoothing="none").modulus_error))
        for t in (0, 1, 2, None)
    ]
    assert min(errors[:3]) > 0.01 and errors[3] < 1e-3
    # Input order is kept: a shuffled spectrum gives the same values, shuffled.
    order = np.random.default_rng(0).permutation(f.size)
    shuffled = kt.z_hit((f[order], z[order]))
    np.testing.assert_allclose(shuffled.modulus, kt.z_hit((f, z)).modulus[order], rtol=1e-12)


@pytest.mark.parametrize("name", SPECTRA)
def test_noisy_consistent_spectra_pass_and_drift_fails(name):
    # A fixed 1 % fails consistent spectra from 0.5 % noise on; the default
    # verdict scales with the noise it reads off the data.
    f, z = SPECTRA[name]
    for level in (1e-3, 5e-3, 1e-2, 3e-2):
        for seed in range(3):
            result = kt.z_hit((f, noisy(z, seed, level)))
            assert result.noise == pytest.approx(level, rel=0.5), (level, seed)
            assert result.passed, (level, seed, result.max_residual, result.threshold)
    drift = 1 + 0.05 * sweep_fraction(f)
    for seed in range(3):
        assert not kt.z_hit((f, noisy(z * drift, seed, 1e-3))).passed, seed
    fixed = kt.z_hit((f, z * drift), threshold=1e-3)
    assert not fixed.passed and fixed.threshold == 1e-3
    worst = int(np.argmax(np.abs(fixed.residuals_real) + np.abs(fixed.residuals_imag)))
    assert f[worst] < 1.0
    assert np.max(np.abs(fixed.modulus_error)) > 0.02  # the drift is seen in full


def test_measured_consistent_spectrum_passes():
    # 0.5 % noise: lin_kk passes it, as Z-HIT must.
    data = kt.read(Path(__file__).parents[2] / "examples/data/randles_spectrum.csv")
    assert kt.lin_kk(data).passed
    result = kt.z_hit(data)
    assert result.max_residual > 0.01 and result.passed


def test_bad_input_is_refused():
    f, z = SPECTRA["randles"]
    for kwargs in (
        {"smoothing": "spline"},
        {"interpolation": "linear"},
        {"terms": 3},
        {"points": 2},
        {"window": (1e9, 1e10)},
        {"threshold": 0.0},
    ):
        with pytest.raises(ValueError):
            kt.z_hit((f, z), **kwargs)
    with pytest.raises(ValueError, match="distinct"):
        kt.z_hit((np.r_[f, f[:1]], np.r_[z, z[:1]]))


def test_plot_and_report():
    import matplotlib.pyplot as plt

    result = kt.z_hit((F, RANDLES.impedance(F) * (1 + 0.05 * sweep_fraction(F))))
    ax_mod, ax_res = kt.plot_zhit(result)
    measured, rebuilt = ax_mod.lines[:2]
    np.testing.assert_array_equal(measured.get_ydata(), np.abs(result.impedance))
    np.testing.assert_allclose(np.sort(rebuilt.get_xdata()), np.sort(F))
    np.testing.assert_allclose(ax_res.lines[0].get_ydata(), 100 * result.residuals_real)
    plt.close("all")
    text = str(kt.report(result))
    assert text.startswith("Z-HIT: FAILED") and "offset window" in text
