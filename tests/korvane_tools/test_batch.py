import contextlib
import os
import signal
import threading
import time
from pathlib import Path

import korvane
import korvane_tools as kt
import numpy as np
import pytest


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


def _workers_alive():
    return [t for t in threading.enumerate() if t.name.startswith("korvane-fit")]


def test_ctrl_c_stops_the_batch_and_its_running_fits_promptly():
    rq = korvane.Circuit("rq")
    quick = _spectra(2) * 2000  # far longer than the test waits
    # Fits of seconds each: a worker left running would still be fitting.
    f = np.logspace(5, -2, 400)
    slow_circuit = korvane.Circuit("R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)")
    z = slow_circuit.with_values([10, 100, 1e-5, 0.8, 50, 1e-3, 0.9, 30, 1e-2, 0.85]).impedance(f)
    slow = [(f, z)] * 8
    start_values = slow_circuit.with_values([1.0] * 10)
    for circuit, spectra, kwargs in (
        (rq, quick, {}),
        (start_values, slow, {"method": "differential_evolution", "seed": 1}),
    ):
        sent = []

        def interrupt():
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)

        timer = threading.Timer(0.3, interrupt)
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            kt.fit_many(circuit, spectra, workers=2, progress=False, **kwargs)
        assert time.perf_counter() - sent[0] < 1.0
        timer.join()
        assert _workers_alive() == []
    # The cancel ends with the batch: the next fits run normally.
    assert kt.fit_many(rq, quick[:2], progress=False)["error"].isna().all()


def test_never_waits_on_the_whole_pending_batch(monkeypatch):
    # Waiting on every pending chunk after each completion made a batch
    # quadratic in its length (80 000 spectra: 110 s instead of ~20).
    import concurrent.futures

    sizes = []
    wait = concurrent.futures.wait

    def recording_wait(fs, *args, **kwargs):
        sizes.append(len(fs))
        return wait(fs, *args, **kwargs)

    monkeypatch.setattr(concurrent.futures, "wait", recording_wait)
    spectra = _spectra(2) * 100
    frame = kt.fit_many(korvane.Circuit("rq"), spectra, workers=2, chunk_size=1, progress=False)
    assert len(frame) == 200 and frame["error"].isna().all()
    assert max(sizes, default=0) <= 8


def test_long_frame_rows_without_an_id_are_refused():
    from korvane_tools._data import to_frame
    from korvane_tools.batch import long_frame

    frames = [to_frame(f, z) for f, z in _spectra(3)]
    for missing in (float("nan"), None):
        long = long_frame(frames, ids=["a", missing, "c"])
        with pytest.raises(ValueError, match=r"no id \(NaN or None\) in rows 40, 41, "):
            kt.fit_many(korvane.Circuit("rq"), long, progress=False)


def test_order_tau_is_the_batch_default():
    f = np.logspace(5, -2, 50)
    circuit = korvane.Circuit("R0-(R1,C1)-(R2,C2)")
    z = circuit.with_values([10, 100, 1e-3, 500, 1e-6]).impedance(f)
    # Starts on either side of the swap: the raw fits differ in labelling.
    starts = [
        circuit.with_values([10, 400, 1e-6, 100, 1e-3]),
        circuit.with_values([10, 100, 1e-3, 400, 1e-6]),
    ]
    raw = [kt.fit(s, (f, z)) for s in starts]
    assert raw[0].params["R1.r"] == pytest.approx(500) and raw[1].params["R1.r"] == pytest.approx(
        100
    )
    for s in starts:
        row = kt.fit_many(s, [(f, z)], progress=False).iloc[0]
        assert row["R1.r"] == pytest.approx(500) and row["C1.c"] == pytest.approx(1e-6)
        assert row["R2.r"] == pytest.approx(100) and row["R2.r stderr"] < 1e-6
        ordered = kt.fit(s, (f, z), order="tau")
        assert ordered.circuit.param_values() == list(ordered.params.values())
        assert ordered.params["R1.r"] == row["R1.r"]
    assert kt.fit_many(starts[1], [(f, z)], progress=False, order=None).iloc[0][
        "R1.r"
    ] == pytest.approx(100)
    # A fixed parameter pins its label: nothing is moved.
    held = kt.fit(starts[1], (f, z), fixed={"R0.r": 10.0, "C1.c": 1e-3}, order="tau")
    assert held.params["C1.c"] == 1e-3
    with pytest.raises(ValueError, match="order must be one of"):
        kt.fit(circuit, (f, z), order="size")


def test_dask_local_cluster_equals_single_fits_and_survives_a_lost_worker(monkeypatch):
    distributed = pytest.importorskip("distributed")
    circuit = korvane.Circuit("rq")
    spectra = _spectra(12)
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        with distributed.Client(cluster) as client:
            # Data scattered to some workers dies with them: tasks carry the
            # (small) circuit themselves.
            monkeypatch.setattr(client, "scatter", None)
            frame = kt.fit_many(circuit, spectra, client=client, chunk_size=5, progress=False)
            _assert_matches_single_fits(frame, circuit, spectra)

            victim = sorted(client.scheduler_info()["workers"])[0]

            killed = []

            def kill():
                killed.append(time.perf_counter())
                with contextlib.suppress(Exception):  # the reply dies with the worker
                    client.run(os._exit, 1, workers=[victim])

            timer = threading.Timer(0.2, kill)
            timer.start()
            many = spectra * 100
            frame = kt.fit_many(circuit, many, client=client, chunk_size=10, progress=False)
            assert killed and killed[0] < time.perf_counter()  # lost during the batch
            timer.join()
            assert victim not in client.scheduler_info()["workers"]
    assert len(frame) == len(many) and frame["error"].isna().all()


def test_same_spectrum_in_two_formats_gives_the_same_table():
    # Twins in the samples: a binary file and its text export, and one run
    # exported by two programs in opposite sweep directions.
    from shared_data import SHARED_DATA

    more = SHARED_DATA.parent / "instrument-files-more"
    local = Path(__file__).parent / "data" / "instruments"
    twins = [
        (local / "impedancepy_exampleDataBioLogic.mpr", SHARED_DATA / "exampleDataBioLogic.mpt"),
        (
            more / "biologic" / "hybriddrt_PEIS_LPSCl_IonBlocking_-25C.txt",
            local / "hybriddrt_PEIS_LPSCl_IonBlocking_-25C_RelaxIS.txt",
        ),
    ]
    for first, second in twins:
        if not first.exists() or not second.exists():
            continue
        # Two-arc models, whose arcs can come out in either order; sei_randles
        # leaves a direction undetermined on these spectra (equal chi-square,
        # values anywhere along it), so its values cannot be compared.
        for name in ("two_rc", "two_rq"):
            tables = [
                kt.fit_many(korvane.Circuit(name), kt.read_spectra(path), progress=False)
                for path in (first, second)
            ]
            columns = [c for c in tables[0].columns if "." in c and not c.endswith("stderr")]
            # Text exports round to 6-8 digits, so the values agree to that.
            np.testing.assert_allclose(
                tables[0][columns].to_numpy(float), tables[1][columns].to_numpy(float), rtol=1e-5
            )
