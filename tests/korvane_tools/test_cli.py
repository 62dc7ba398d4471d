import io
import os
import shutil
import subprocess
import sys
from pathlib import Path

import korvane_tools as kt
import pandas as pd
import pytest
from korvane_tools import cli
from shared_data import SHARED_DATA

ROOT = Path(__file__).resolve().parents[2]
GAMRY = SHARED_DATA / "exampleDataGamry.DTA"
PARSTAT = SHARED_DATA / "exampleDataParstat.txt"


def _korvane(*args, cwd):
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


@pytest.fixture
def mixed_folder(tmp_path):
    """Good files, an unreadable one, and a second cell of the same name elsewhere."""
    data = tmp_path / "data"
    data.mkdir()
    for source in (GAMRY, PARSTAT):
        shutil.copy(source, data)
    (data / "bad.txt").write_text("garbage\n")
    (tmp_path / "other").mkdir()
    shutil.copy(GAMRY, tmp_path / "other")
    return tmp_path


def test_fit_on_a_folder_and_a_glob_keeps_going_and_names_plots_apart(mixed_folder):
    run = _korvane(
        "fit",
        "data",
        "other/*.DTA",
        "--circuit",
        "randles",
        "--out",
        "results.csv",
        "--plots",
        "png",
        "--workers",
        "2",
        "--no-progress",
        cwd=mixed_folder,
    )
    assert run.returncode == 1, run.stderr
    assert "cannot read data/bad.txt" in run.stderr
    table = pd.read_csv(mixed_folder / "results.csv")
    files = ["data/bad.txt", "data/exampleDataGamry.DTA", "data/exampleDataParstat.txt"]
    fitted = len(kt.read_spectra(GAMRY)) * 2 + len(kt.read_spectra(PARSTAT))
    assert len(table) == fitted + 1
    assert sorted(table["file"].unique()) == [*files, "other/exampleDataGamry.DTA"]
    failed = table[table["error"].notna()]
    assert (
        list(failed["file"]) == ["data/bad.txt"]
        and failed["error"].str.contains("cannot read").all()
    )
    # Two cells called exampleDataGamry.DTA: two figures, neither overwritten.
    pngs = sorted(p.name for p in (mixed_folder / "png").glob("*.png"))
    assert len(pngs) == fitted == len(set(pngs))
    assert "exampleDataGamry.DTA_0.png" in pngs and "exampleDataGamry.DTA_0-2.png" in pngs


def test_unexpected_reader_failures_become_error_rows(tmp_path, monkeypatch, capsys):
    import korvane_tools.io

    def broken(path, format=None):
        raise RuntimeError("reader bug")

    monkeypatch.setattr(korvane_tools.io, "read_spectra", broken)
    out = tmp_path / "r.csv"
    status = cli.main(["fit", str(GAMRY), "--circuit", "randles", "--out", str(out)])
    assert status == cli.FAILURES
    assert pd.read_csv(out)["error"].tolist() == ["cannot read: RuntimeError: reader bug"]


@pytest.mark.parametrize(
    "args",
    [
        ["--workers", "0"],
        ["--out", "{missing}/r.csv"],
        ["--plots", "{file}"],
        ["--format", "nosuch"],
        ["--seed", "-1"],
        ["--fixed", "X9.r=1"],
        ["--bounds", "R1.r=5:1"],
        ["--circuit", "R0-("],
    ],
)
def test_usage_errors_exit_2_with_one_line_before_any_work(tmp_path, capsys, args):
    (tmp_path / "file").write_text("")
    args = [a.format(missing=tmp_path / "nowhere", file=tmp_path / "file") for a in args]
    with pytest.raises(SystemExit) as stopped:
        status = cli.main(["fit", str(GAMRY), "--circuit", "randles", *args])
        raise SystemExit(status)
    assert stopped.value.code == cli.USAGE
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("\n") == 1
    assert captured.err.startswith("korvane fit: error: ")


def test_check_read_version_and_the_fit_alias(tmp_path, capsys, monkeypatch):
    status = cli.main(["check", str(GAMRY), str(tmp_path / "missing.DTA")])
    out = capsys.readouterr().out
    assert status == cli.FAILURES and "missing.DTA" in out and "kramers_kronig" in out
    assert cli.main(["read", str(GAMRY), "--to", "csv", "--out", str(tmp_path)]) == cli.OK
    converted = pd.read_csv(tmp_path / "exampleDataGamry.DTA.csv")
    assert len(converted) == len(kt.read(GAMRY))
    with pytest.raises(SystemExit) as stopped:
        cli.main(["--version"])
    assert stopped.value.code == 0 and kt.__version__ in capsys.readouterr().out
    for command in ("fit", "check", "read", "drt", "zhit"):
        with pytest.raises(SystemExit):
            cli.main([command, "--help"])
        assert "exit status" in capsys.readouterr().out
    out = tmp_path / "alias.csv"
    assert cli.fit_main([str(GAMRY), "--circuit", "randles", "--out", str(out)]) == cli.OK
    assert len(pd.read_csv(out)) == len(kt.read_spectra(GAMRY))


def test_thorough_fit_from_the_command_line(tmp_path):
    # A spectrum whose default sei_randles fit stops about 30x above the best.
    source = SHARED_DATA.parent / "instrument-files-more" / "gamry" / "eisanalysis_EISPOT-test1.DTA"
    out = tmp_path / "thorough.csv"
    args = ["fit", str(source), "--circuit", "sei_randles", "--no-progress", "--order", "none"]
    assert cli.main([*args, "--thorough", "--seed", "3", "--out", str(out)]) == 0
    assert cli.main([*args, "--out", str(tmp_path / "plain.csv")]) == 0
    thorough, plain = pd.read_csv(out), pd.read_csv(tmp_path / "plain.csv")
    assert thorough["chi_square"].iloc[0] < 0.5 * plain["chi_square"].iloc[0]


def test_drt_writes_curves_peaks_and_figures_without_collisions(mixed_folder, capsys):
    paths = [str(mixed_folder / "data" / GAMRY.name), str(mixed_folder / "other" / GAMRY.name)]
    out, png = mixed_folder / "drt", mixed_folder / "png"
    args = ["drt", *paths, str(mixed_folder / "missing.DTA"), "--derivative", "1"]
    status = cli.main([*args, "--lambda", "0.01", "--out", str(out), "--plots", str(png)])
    summary = pd.read_csv(io.StringIO(capsys.readouterr().out))
    assert status == cli.FAILURES and summary["error"].notna().tolist() == [False, False, True]
    expected = kt.drt(kt.read(GAMRY), lambda_=0.01, derivative=1)
    assert summary["lambda"].iloc[0] == 0.01
    for stem in ("exampleDataGamry.DTA_0", "exampleDataGamry.DTA_0-2"):
        curve = pd.read_csv(out / f"{stem}.csv")
        peaks = pd.read_csv(out / f"{stem}.peaks.csv")
        assert curve["gamma"].to_numpy() == pytest.approx(expected.gamma, rel=1e-9, abs=1e-12)
        assert peaks["area"].tolist() == pytest.approx([p.area for p in expected.peaks])
        assert (png / f"{stem}.png").stat().st_size > 0


def test_zhit_verdicts_match_z_hit_and_set_the_exit_status(capsys):
    passing, failing = SHARED_DATA / "Circuit1_EIS_1.z", GAMRY
    assert kt.z_hit(kt.read(passing)).passed and not kt.z_hit(kt.read(failing)).passed
    assert cli.main(["zhit", str(passing)]) == cli.OK
    assert cli.main(["zhit", str(passing), str(failing), "--threshold", "0.5"]) == cli.OK
    capsys.readouterr()
    assert cli.main(["zhit", str(passing), str(failing)]) == cli.FAILURES
    table = pd.read_csv(io.StringIO(capsys.readouterr().out))
    assert table["z_hit"].tolist() == ["passed", "failed"]
