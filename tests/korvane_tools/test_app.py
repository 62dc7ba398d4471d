"""The browser app end to end: a real server, headless Chromium driven by Selenium.

Screenshots of every state go to build/app-screenshots/. Runs wherever
Chromium and chromedriver are installed (tools/dev.sh setup installs them);
without them it is skipped, except in CI, where it must run.
"""

from __future__ import annotations

import importlib.util
import math
import os
import shutil
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

import korvane
import korvane_tools as kt
import numpy as np
import pandas as pd
import pytest
from shared_data import SHARED_DATA

ROOT = Path(__file__).resolve().parents[2]
SCREENSHOTS = ROOT / "build" / "app-screenshots"
CHROMEDRIVER = "/usr/bin/chromedriver"
GAMRY = SHARED_DATA / "exampleDataGamry.DTA"

_missing = [name for name in ("dash", "selenium") if importlib.util.find_spec(name) is None]
_no_browser = not (Path(CHROMEDRIVER).exists() and shutil.which("chromium"))
if os.environ.get("CI") != "true" and (_missing or _no_browser):
    pytest.skip(
        "the app test needs dash and selenium (pip install korvane[app] selenium) and "
        "Debian's chromium and chromium-driver (tools/dev.sh setup installs them)",
        allow_module_level=True,
    )

from selenium import webdriver  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

# -- helpers (bench/app_responsiveness.py uses them too) ----------------------------


def start_app(*args: str) -> tuple[subprocess.Popen[str], str]:
    """The app on a free port, in its own process; (process, address with token)."""
    env = dict(os.environ)
    paths = [str(ROOT / "python")]
    if os.environ.get("KORVANE_BUILD_DIR"):
        paths.append(os.environ["KORVANE_BUILD_DIR"])
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    env["MPLBACKEND"] = "Agg"
    proc = subprocess.Popen(
        [sys.executable, "-m", "korvane_tools.app", "--no-browser", "--port", "0", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env=env,
    )
    assert proc.stdout is not None
    seen = []
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        seen.append(line)
        if "serving on " in line:
            return proc, line.split("serving on ", 1)[1].strip()
    proc.kill()
    raise RuntimeError("the app did not start:\n" + "".join(seen))


def make_driver(downloads: Path) -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(flag)
    options.add_argument("--window-size=1500,2600")
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads)})
    # The sanitized test run preloads the ASan runtime for the interpreter;
    # the browser is not the code under test and is started without it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    service = webdriver.ChromeService(executable_path=CHROMEDRIVER, env=env)
    driver = webdriver.Chrome(options=options, service=service)
    driver.execute_cdp_cmd(
        "Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(downloads)}
    )
    return driver


def wait(driver: webdriver.Chrome, condition, timeout: float = 30.0):  # type: ignore[no-untyped-def]
    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(lambda d: condition(d))


def text(driver: webdriver.Chrome, css: str) -> str:
    found = driver.find_elements(By.CSS_SELECTOR, css)
    return found[0].text if found else ""


def upload(driver: webdriver.Chrome, *paths: Path) -> None:
    field = driver.find_element(By.CSS_SELECTOR, "#upload input[type=file]")
    # Chromedriver adds to a multiple file input's earlier choice: start afresh.
    driver.execute_script("arguments[0].value = ''", field)
    field.send_keys("\n".join(str(p) for p in paths))


def column(driver: webdriver.Chrome, table: str, name: str) -> list[str]:
    cells = driver.find_elements(By.CSS_SELECTOR, f"#{table} td[data-dash-column='{name}']")
    return [c.text for c in cells]


def fit_stamp(driver: webdriver.Chrome) -> str:
    return str(driver.execute_script("return document.getElementById('fit-stamp').textContent"))


def click_fit(driver: webdriver.Chrome) -> None:
    before = fit_stamp(driver)
    driver.find_element(By.ID, "fit-btn").click()
    wait(driver, lambda d: fit_stamp(d) not in (before, ""))


def downloaded(folder: Path, suffix: str, timeout: float = 20.0) -> Path:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done = [p for p in folder.glob(f"*{suffix}") if not p.name.endswith(".crdownload")]
        if done:
            return max(done, key=lambda p: p.stat().st_mtime)
        time.sleep(0.1)
    raise AssertionError(f"no {suffix} file was downloaded")


def shot(driver: webdriver.Chrome, name: str) -> None:
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    driver.save_screenshot(str(SCREENSHOTS / f"{name}.png"))


def cycles_file(folder: Path, count: int) -> Path:
    """A measured spectrum and ``count - 1`` scaled copies in one multi-cycle CSV."""
    measured = kt.read(GAMRY)
    f, z = kt.spectrum(measured)
    parts = [
        pd.DataFrame(
            {
                "Frequency / Hz": f,
                "Real Impedance / ohm": (z * (1 + 0.03 * k)).real,
                "Imaginary Impedance / ohm": (z * (1 + 0.03 * k)).imag,
                "Cycle Count / 1": k + 1,
            }
        )
        for k in range(count)
    ]
    path = folder / f"cycles{count}.csv"
    pd.concat(parts).to_csv(path, index=False)
    return path


def agrees(shown: str, value: float, digits: int = 5) -> bool:
    """``shown`` is ``value`` to ``digits`` significant digits."""
    x = float(shown.replace("−", "-"))
    if value == 0 or not math.isfinite(value):
        return x == value
    step = 10 ** (math.floor(math.log10(abs(value))) - digits + 1)
    return abs(x - value) <= 0.5 * step * (1 + 1e-9)


def console_errors(driver: webdriver.Chrome) -> list[str]:
    return [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]


# -- tests ----------------------------------------------------------------------


@pytest.fixture(scope="module")
def app():  # type: ignore[no-untyped-def]
    proc, url = start_app("--max-upload-mb", "1")
    yield url
    proc.terminate()
    proc.wait(10)


@pytest.fixture(scope="module")
def browser(app, tmp_path_factory):  # type: ignore[no-untyped-def]
    downloads = tmp_path_factory.mktemp("downloads")
    driver = make_driver(downloads)
    driver.downloads = downloads
    driver.get(app)
    wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#upload input[type=file]"))
    yield driver
    driver.quit()


def test_token_loopback_and_size_limit(app):  # type: ignore[no-untyped-def]
    base, _, token = app.partition("/?token=")
    assert base.startswith("http://127.0.0.1:")
    for path in ("/", "/_dash-layout", "/_dash-dependencies", "/_favicon.ico"):
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(base + path)
        assert refused.value.code == 403
    forged = urllib.request.Request(
        base + "/_dash-update-component", data=b"{}", method="POST",
        headers={"Cookie": f"korvane_app_token_{base.rsplit(':', 1)[1]}=wrong"},
    )  # fmt: skip
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(forged)
    assert refused.value.code == 403
    with urllib.request.urlopen(f"{base}/_dash-layout?token={token}") as ok:
        assert ok.status == 200
    # A request body beyond what any upload needs is refused before it is read.
    big = urllib.request.Request(
        f"{base}/_dash-update-component?token={token}", data=b"x" * (10 << 20), method="POST",
        headers={"Content-Type": "application/json"},
    )  # fmt: skip
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(big)
    assert refused.value.code == 413
    # Listening on the loopback address only, not on every interface.
    port = int(base.rsplit(":", 1)[1])
    listening = [
        line.split()[1]
        for line in Path("/proc/net/tcp").read_text().splitlines()[1:]
        if line.split()[3] == "0A"
    ]
    assert f"0100007F:{port:04X}" in listening
    assert not any(a.endswith(f":{port:04X}") and a != f"0100007F:{port:04X}" for a in listening)


def test_fit_refit_batch_and_export(browser, tmp_path):  # type: ignore[no-untyped-def]
    d = browser
    shot(d, "01-start")

    # An upload over the limit (1 MB here) is refused with a message naming it,
    # also one beyond what the server would even receive (8 MB + 1 MB here).
    huge = tmp_path / "huge.csv"
    huge.write_text("f,re,im\n" + "1,2,3\n" * 1_800_000)
    upload(d, huge)
    wait(d, lambda d: "upload limit" in text(d, "#upload-msg"))
    assert "huge.csv" in text(d, "#upload-msg")
    unreadable = tmp_path / "notes.txt"
    unreadable.write_text("frequency and impedance\nnothing else here\n")
    upload(d, unreadable)
    wait(d, lambda d: "notes.txt, line" in text(d, "#upload-msg"))

    # A measured file: listed, plotted, checked, validated.
    upload(d, GAMRY)
    wait(d, lambda d: "exampleDataGamry.DTA (72 points)" in text(d, "#spectrum"))
    wait(d, lambda d: "Kramers" in text(d, "#kk-text"))
    assert "72 points" in text(d, "#check-text")
    shot(d, "02-loaded")

    # A circuit string that does not parse: korvane's message, caret under the fault.
    circuit = d.find_element(By.ID, "circuit")
    circuit.send_keys(Keys.CONTROL, "a", Keys.NULL, "R0-(R1,CPX1)", Keys.ENTER)
    wait(d, lambda d: "^" in text(d, "#circuit-error"))
    lines = text(d, "#circuit-error").splitlines()
    assert lines[0].startswith('unknown element code "CPX"')
    assert lines[2].index("^") == lines[1].index("CPX")
    shot(d, "03-parse-error")
    circuit.send_keys(Keys.CONTROL, "a", Keys.NULL, "randles", Keys.ENTER)
    wait(d, lambda d: text(d, "#circuit-error") == "")

    # Fit the trained randles topology: the table shows korvane_tools.fit's numbers.
    data = kt.read(GAMRY)
    expected = kt.fit(korvane.Circuit("randles"), data)
    click_fit(d)
    wait(d, lambda d: all(column(d, "params", "value")))
    names = column(d, "params", "name")
    values = column(d, "params", "value")
    errors = column(d, "params", "stderr")
    assert names == list(expected.params)
    for name, shown, error in zip(names, values, errors):
        assert agrees(shown, expected.params[name]), (name, shown, expected.params[name])
        assert agrees(error, expected.stderr[name], 2), (name, error)
    assert column(d, "params", "unit")[1] == "ohm"
    assert "on bound" in column(d, "params", "flags")[0]  # R0 at its lower bound here
    shot(d, "04-fit")

    # Fix R1.r in the table and fit again: it stays, the rest refit around it.
    cell = d.find_elements(By.CSS_SELECTOR, "#params td[data-dash-column='fixed']")[1]
    cell.click()
    cell.find_element(By.CSS_SELECTOR, ".Select-option[aria-label='yes']").click()
    wait(d, lambda d: column(d, "params", "fixed")[1] == "yes")
    click_fit(d)
    wait(d, lambda d: "fixed" in column(d, "params", "flags")[1])
    start = korvane.Circuit("randles").with_named_values(expected.params)
    held = kt.fit(start, data, fixed={"R1.r": expected.params["R1.r"]}, guess_init=False)
    for name, shown in zip(names, column(d, "params", "value")):
        assert agrees(shown, held.params[name]), (name, shown, held.params[name])
    shot(d, "05-fixed")

    # The fit as CSV and as korvane_tools' JSON.
    d.find_element(By.ID, "exp-csv").click()
    table = pd.read_csv(downloaded(d.downloads, "-fit.csv"))
    assert list(table["parameter"]) == names
    np.testing.assert_allclose(table["value"], [held.params[n] for n in names], rtol=1e-12)
    assert list(table["flags"].fillna(""))[1] == "fixed"
    d.find_element(By.ID, "exp-json").click()
    loaded = kt.load(downloaded(d.downloads, "-fit.json"))
    assert loaded.params == held.params
    for kind, start in (
        ("xlsx", b"PK"),
        ("png", b"\x89PNG"),
        ("svg", b"<?xml"),
        ("html", b"<!DOC"),
    ):
        d.find_element(By.ID, f"exp-{kind}").click()
        assert downloaded(d.downloads, f"-fit.{kind}").read_bytes().startswith(start)
    sheet = pd.read_excel(downloaded(d.downloads, "-fit.xlsx"))
    assert list(sheet["parameter"]) == names
    assert "R1.r" in downloaded(d.downloads, "-fit.html").read_text()

    # A lower bound above the fitted value: the refit starts inside it and ends on it.
    d.find_elements(By.CSS_SELECTOR, "#params td[data-dash-column='lower']")[4].click()
    d.switch_to.active_element.send_keys("0.95", Keys.ENTER)
    click_fit(d)
    assert column(d, "params", "value")[4] == "0.95"
    assert "on bound" in column(d, "params", "flags")[4]

    # A click on a measured point excludes it from checks, fits and exports.
    point = d.find_element(By.CSS_SELECTOR, "#nyquist .scatterlayer .trace .points path")
    ActionChains(d).move_to_element(point).pause(0.3).click().perform()
    wait(d, lambda d: "71 points" in text(d, "#check-text"))
    row = d.execute_script(
        "return document.querySelector('#nyquist .js-plotly-plot').data[1].customdata[0][0]"
    )
    click_fit(d)
    for old in d.downloads.glob("*-fit*.csv"):
        old.unlink()
    d.find_element(By.ID, "exp-csv").click()
    table = pd.read_csv(downloaded(d.downloads, "-fit.csv"))
    assert str(table["excluded points"][0]) == str(row)
    shot(d, "06-excluded")

    # Twenty spectra at once: the bar reaches the end, one row per spectrum.
    d.find_element(By.ID, "clear-btn").click()
    wait(d, lambda d: not d.find_elements(By.CSS_SELECTOR, "#spectrum input"))
    d.find_element(By.ID, "reset-btn").click()
    upload(d, cycles_file(tmp_path, 20))
    wait(d, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#spectrum input")) == 20)
    d.find_element(By.ID, "batch-btn").click()
    progress = d.find_element(By.ID, "batch-progress")
    wait(d, lambda d: progress.get_attribute("value") == "20" == progress.get_attribute("max"))
    wait(d, lambda d: "20 / 20 fitted" in text(d, "#batch-status"))
    wait(d, lambda d: d.execute_script(
        "const g = document.querySelector('#trend-plot .js-plotly-plot');"
        "return g && g.data && g.data.length ? g.data[0].x.length : 0;") == 20)  # fmt: skip
    d.execute_script("document.getElementById('batch-btn').scrollIntoView()")
    shot(d, "07-batch")
    d.find_element(By.ID, "batch-csv").click()
    batch = pd.read_csv(downloaded(d.downloads, "korvane-batch.csv"))
    assert len(batch) == 20 and batch["success"].all()
    third = kt.read_spectra(cycles_file(tmp_path, 20))[2]
    again = kt.fit(korvane.Circuit("randles"), third)
    np.testing.assert_allclose(
        batch.loc[2, list(again.params)], list(again.params.values()), rtol=1e-12
    )

    # The optional panels, where korvane_tools has what they show.
    if hasattr(kt, "drt"):
        d.find_element(By.ID, "drt-btn").click()
        wait(d, lambda d: "DRT" in text(d, "#drt-text"), 60)
    if hasattr(kt, "compare"):
        d.find_element(By.ID, "compare-btn").click()
        wait(d, lambda d: len(column(d, "compare-table", "circuit")) > 1, 120)
        best = d.find_element(By.CSS_SELECTOR, "#compare-table td[data-dash-column='circuit']")
        chosen = best.text
        best.click()
        wait(d, lambda d: circuit.get_attribute("value") == chosen)
    if hasattr(kt, "drt") or hasattr(kt, "compare"):
        d.execute_script("window.scrollTo(0, document.body.scrollHeight)")
        shot(d, "08-panels")

    assert console_errors(d) == []


def test_without_the_extra_the_command_names_it(monkeypatch, capsys):  # type: ignore[no-untyped-def]
    from korvane_tools.app import main

    monkeypatch.setitem(sys.modules, "dash", None)  # import dash now raises ImportError
    assert main(["--no-browser"]) == 2
    assert "pip install 'korvane[app]'" in capsys.readouterr().err
