import math
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import korvane
import korvane_tools as kt
import numpy as np
import pandas as pd
import pytest
from conftest import SHARED_DATA

ROOT = Path(__file__).resolve().parents[2]


def _spectra(n, seed=3):
    rng = np.random.default_rng(seed)
    f = np.logspace(5, -2, 40)
    truth = korvane.Circuit("R0-(R1,CPE1)")
    out = []
    for _ in range(n):
        values = [
            rng.uniform(5, 20),
            rng.uniform(20, 200),
            10 ** rng.uniform(-6, -4),
            rng.uniform(0.7, 0.95),
        ]
        z = truth.with_values(values).impedance(f)
        out.append((f, z * (1 + 0.003 * rng.standard_normal(f.size))))
    return out


def _same(a, b):
    # Bit equality that also holds for NaN.
    return np.array_equal(np.asarray(a, float), np.asarray(b, float), equal_nan=True)


def _assert_matches_single_fits(frame, circuit, spectra):
    assert list(frame["id"]) == list(range(len(spectra)))
    for (f, z), (_, row) in zip(spectra, frame.iterrows()):
        single = circuit.fit(f, z)
        for name in circuit.param_names():
            assert _same(row[name], single.params[name]), name
            assert _same(row[f"{name} stderr"], single.stderr[name]), name
        assert _same(row["chi_square"], single.chi_square)
        assert row["success"] == single.success
        assert row["evaluations"] == single.impedance_evals
        assert row["iterations"] == single.iterations
        assert row["error"] is None


def test_threads_equal_single_fits_in_order():
    circuit = korvane.Circuit("rq")
    spectra = _spectra(24)
    for workers in (1, 2):
        frame = kt.fit_many(circuit, spectra, workers=workers, progress=False, chunk_size=3)
        _assert_matches_single_fits(frame, circuit, spectra)


def test_bad_spectrum_gives_error_row_and_the_rest_are_fitted():
    circuit = korvane.Circuit("rq")
    spectra = _spectra(5)
    f, z = spectra[2]
    spectra[2] = (f[:-1], z)  # lengths differ
    spectra.insert(4, "not a spectrum")
    frame = kt.fit_many(circuit, spectra, workers=2, progress=False)
    assert len(frame) == 6
    errors = frame["error"].tolist()
    assert errors[2] is not None and "length" in errors[2]
    assert errors[4] is not None and "TypeError" in errors[4]
    ok = frame.drop(index=[2, 4])
    assert ok["error"].isna().all() and ok["success"].all()
    assert frame.loc[[2, 4], "R0.r"].isna().all()


def test_long_frame_and_mapping_keep_ids():
    circuit = korvane.Circuit("rq")
    spectra = _spectra(3)
    from korvane_tools._data import to_frame
    from korvane_tools.batch import long_frame

    frames = [to_frame(f, z) for f, z in spectra]

    long = long_frame(frames, ids=["a", "b", "c"])
    by_long = kt.fit_many(circuit, long, progress=False)
    by_map = kt.fit_many(circuit, dict(zip("abc", spectra)), progress=False)
    assert list(by_long["id"]) == ["a", "b", "c"] == list(by_map["id"])
    assert _same(by_long["R1.r"], by_map["R1.r"])
    with pytest.raises(ValueError, match="spectrum column"):
        kt.fit_many(circuit, frames[0])
    with pytest.raises(TypeError, match="iterable of spectra"):
        kt.fit_many(circuit, spectra[0])


def test_progress_bar_on_and_off(capsys):
    pytest.importorskip("tqdm")
    circuit = korvane.Circuit("rq")
    spectra = _spectra(4)
    kt.fit_many(circuit, spectra, progress=False)
    assert capsys.readouterr().err == ""
    import korvane_tools.batch as batch

    delay, batch.PROGRESS_DELAY_S = batch.PROGRESS_DELAY_S, 0.0
    try:
        kt.fit_many(circuit, spectra, progress=True)
    finally:
        batch.PROGRESS_DELAY_S = delay
    assert "4/4" in capsys.readouterr().err


def test_ctrl_c_stops_the_batch_promptly():
    circuit = korvane.Circuit("rq")
    spectra = _spectra(2) * 2000  # far longer than the test waits
    timer = threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    start = time.perf_counter()
    with pytest.raises(KeyboardInterrupt):
        kt.fit_many(circuit, spectra, workers=2, progress=False)
    assert time.perf_counter() - start < 2.0
    timer.cancel()


def test_dask_local_cluster_equals_single_fits():
    distributed = pytest.importorskip("distributed")
    circuit = korvane.Circuit("rq")
    spectra = _spectra(12)
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        with distributed.Client(cluster) as client:
            frame = kt.fit_many(circuit, spectra, client=client, chunk_size=5, progress=False)
    _assert_matches_single_fits(frame, circuit, spectra)


def _cli(*args, cwd):
    env = dict(os.environ, MPLBACKEND="Agg")
    env["PYTHONPATH"] = os.pathsep.join(
        os.path.abspath(p) for p in (str(ROOT / "python"), os.environ.get("KORVANE_BUILD_DIR")) if p
    )
    return subprocess.run(
        [sys.executable, "-m", "korvane_tools", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_cli_writes_rows_and_pngs_and_fails_for_a_missing_file(tmp_path):
    files = [SHARED_DATA / "exampleDataGamry.DTA", SHARED_DATA / "exampleDataParstat.txt"]
    expected = sum(len(kt.read_spectra(p)) for p in files)
    out = tmp_path / "results.csv"
    run = _cli(
        *map(str, files),
        "--circuit",
        "randles",
        "--out",
        str(out),
        "--plots",
        str(tmp_path / "png"),
        "--workers",
        "2",
        cwd=tmp_path,
    )
    assert run.returncode == 0, run.stderr
    table = pd.read_csv(out)
    assert len(table) == expected
    assert list(table["file"].unique()) == [str(p) for p in files]
    assert table["chi_square"].map(math.isfinite).all()
    pngs = sorted((tmp_path / "png").glob("*.png"))
    assert len(pngs) == expected and all(p.stat().st_size > 5000 for p in pngs)

    run = _cli(
        str(files[0]),
        str(tmp_path / "missing.DTA"),
        "--circuit",
        "randles",
        "--out",
        str(out),
        cwd=tmp_path,
    )
    assert run.returncode == 1
    assert "missing.DTA" in run.stderr
    assert len(pd.read_csv(out)) == len(kt.read_spectra(files[0]))
