"""check() finds what would spoil a fit; clean() removes what was asked."""

import korvane_tools as kt
import numpy as np
import pandas as pd
import pytest
from korvane_tools._data import FREQUENCY, IMAG, REAL, to_frame


def randles(n=40, fmin=1e-2, fmax=1e5, inductance=0.0):
    """R0 + (R1 || C1) with a series inductance: a clean capacitive arc."""
    f = np.logspace(np.log10(fmax), np.log10(fmin), n)
    w = 2 * np.pi * f
    z = 10 + 50 / (1 + 1j * w * 50 * 2e-5) + 1j * w * inductance
    return f, z


def kinds(report, severity=None):
    return {x.kind for x in report.findings if severity in (None, x.severity)}


def test_clean_spectrum_passes_in_every_input_shape():
    f, z = randles()
    frame = to_frame(f, z)
    for data in (
        (f, z),
        frame,
        {FREQUENCY: f.tolist(), REAL: z.real.tolist(), IMAG: z.imag.tolist()},
        pd.DataFrame({"freq": f, "zreal": z.real, "zimag": z.imag}),
    ):
        report = kt.check(data)
        assert report.ok and report.findings == [] and report.n_points == 40
        assert str(report).startswith("40 points: ok")


def test_polars_frame():
    pl = pytest.importorskip("polars")
    f, z = randles()
    f[3] = np.nan
    report = kt.check(pl.DataFrame({FREQUENCY: f, REAL: z.real, IMAG: z.imag}))
    assert kinds(report) == {"nonfinite_frequency"}


def test_bad_rows_are_errors_with_their_rows():
    f, z = randles()
    f[[2, 5]] = [np.nan, np.inf]
    f[7], f[8] = 0.0, -3.0
    z[11] = complex(np.nan, 1.0)
    z[12] = complex(1.0, np.inf)
    report = kt.check((f, z))
    assert not report.ok
    found = {x.kind: x.rows for x in report.findings}
    assert found["nonfinite_frequency"] == (2, 5)
    assert found["nonpositive_frequency"] == (7, 8)
    assert found["nonfinite_impedance"] == (11, 12)
    assert kinds(report, "error") == {
        "nonfinite_frequency",
        "nonpositive_frequency",
        "nonfinite_impedance",
    }
    assert "nonpositive_frequency" in str(report) and "rows 7, 8" in str(report)


def test_duplicated_frequencies_name_the_repeats():
    f, z = randles(20)
    f2 = np.concatenate([f, f[:3]])  # a second sweep started and stopped
    z2 = np.concatenate([z, z[:3]])
    report = kt.check((f2, z2))
    (dup,) = [x for x in report.findings if x.kind == "duplicate_frequency"]
    assert dup.rows == (20, 21, 22) and dup.severity == "warning"
    assert not report.ok


def test_flipped_sign_is_flagged_not_fixed():
    f, z = randles(inductance=2e-6)
    flipped = (f, np.conj(z))  # a file's -Z'' column passed as Z''
    report = kt.check(flipped)
    assert "flipped_sign" in kinds(report, "warning")
    assert "inductive" not in kinds(report)  # the arc, not extra inductive points
    assert "−Z''" in str(report)
    assert not report.ok
    # clean() does not turn it back
    assert (kt.clean(flipped)[IMAG].to_numpy() == np.conj(z).imag).all()
    # a resistor's noise around 0° is not a flipped arc
    rng = np.random.default_rng(1)
    noisy = 100 + 1j * rng.normal(0, 0.05, 40)
    assert "flipped_sign" not in kinds(kt.check((f, noisy)))


def test_inductive_points():
    f, z = randles(inductance=5e-6)  # inductive above a few kHz
    report = kt.check((f, z))
    (ind,) = report.findings
    top = np.flatnonzero(z.imag > 0)
    assert ind.kind == "inductive" and ind.severity == "info"
    assert ind.rows == tuple(top) and top.max() < 10  # highest frequencies come first
    assert report.ok  # normal at high frequency
    # positive imaginary part in the middle of the sweep is worth a warning
    f, z = randles()
    z[15] = complex(z[15].real, abs(z[15].imag))  # near the top of the arc
    report = kt.check((f, z))
    assert [x.rows for x in report.findings if x.severity == "warning"] == [(15,)]


def test_too_few_points_and_gaps():
    f, z = randles(n=8, fmin=1e-2, fmax=1e5)  # ~1.1 points per decade, 8 points
    report = kt.check((f, z))
    assert {"few_points", "sparse"} <= kinds(report, "warning")
    f, z = randles(n=60)
    keep = (f > 1e3) | (f < 1e1)  # two decades without a point
    report = kt.check((f[keep], z[keep]))
    (gap,) = [x for x in report.findings if x.kind == "sparse"]
    assert "decades" in gap.message and "Hz" in gap.message


def test_length_mismatch_and_empty():
    f, z = randles()
    short = {FREQUENCY: f.tolist(), REAL: z.real[:-2].tolist(), IMAG: z.imag[:-2].tolist()}
    report = kt.check(short)
    assert kinds(report, "error") == {"length_mismatch"}
    assert kinds(kt.check((f[:5], z)), "error") == {"length_mismatch"}
    assert kinds(kt.check(([], [])), "error") == {"no_points"}
    with pytest.raises(TypeError):
        kt.check("not data")


def test_clean_removes_bad_rows_and_filters():
    f, z = randles(inductance=5e-6)
    f[4] = np.nan
    f[6] = 0.0
    z[30] = complex(np.nan, 0)
    frame = to_frame(f, z)
    frame["Test Time / s"] = np.arange(f.size, dtype=float)
    frame.attrs["source"] = "made up"

    out = kt.clean(frame)
    assert list(out.columns) == [FREQUENCY, REAL, IMAG, "Test Time / s"]
    assert out["Test Time / s"].tolist() == [t for t in range(40) if t not in (4, 6, 30)]
    assert out.attrs["source"] == "made up"
    assert kt.check(out).ok

    usable = np.isfinite(f) & (f > 0) & np.isfinite(z.real)
    capacitive = kt.clean(frame, drop_inductive=True)
    assert len(capacitive) == int((usable & ~(z.imag > 0)).sum()) < int(usable.sum())
    assert (capacitive[IMAG] <= 0).all()

    band = kt.clean((f, z), fmin=1.0, fmax=f[10])  # inclusive on both ends
    assert band[FREQUENCY].max() == f[10] and band[FREQUENCY].min() >= 1.0
    valid = f[usable]
    assert len(band) == int(((valid >= 1.0) & (valid <= f[10])).sum())
    # order is kept (the sweep runs high to low)
    assert (np.diff(band[FREQUENCY].to_numpy()) < 0).all()


def test_clean_makes_fittable_data_from_a_short_spelling_frame():
    import korvane

    f, z = randles()
    frame = pd.DataFrame({"freq": f, "zreal": z.real, "zimag": z.imag})
    frame.loc[3, "freq"] = -1.0
    out = kt.clean(frame)
    assert FREQUENCY in out.columns and "freq" not in out.columns
    result = korvane.Circuit("R0-(R1,C1)").fit(out)
    assert result.success and abs(result.params["R1.r"] - 50) < 1e-6 * 50


def test_measured_files_read_right_and_flipped_wrong():
    from korvane_tools._data import spectrum
    from shared_data import SHARED_DATA

    for path in sorted(SHARED_DATA.iterdir()):
        if path.suffix in (".md", "") or "MissingFreq" in path.name:
            continue
        f, z = spectrum(kt.read(path))
        assert "flipped_sign" not in kt.check((f, z)).kinds(), path.name
        assert "flipped_sign" in kt.check((f, z.conj())).kinds(), path.name
