import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"

pytest.importorskip("matplotlib")
sys.path.insert(0, str(ROOT / "python"))
# Both examples read their file with korvane_tools.read and check it.
for _needed in ("korvane_tools.io", "korvane_tools.checks"):
    if importlib.util.find_spec(_needed) is None:
        pytest.skip(f"{_needed} is not in this tree", allow_module_level=True)


def run(script, out):
    env = dict(os.environ, MPLBACKEND="Agg")
    paths = [str(ROOT / "python")]
    if os.environ.get("KORVANE_BUILD_DIR"):
        paths.append(os.environ["KORVANE_BUILD_DIR"])
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    return subprocess.run(
        [sys.executable, str(EXAMPLES / script), str(out)],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


def assert_png(path):
    assert path.is_file(), path
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert len(data) > 20_000  # a drawn figure, not an empty canvas


@pytest.mark.parametrize(
    "script, figure",
    [("read_check_fit_plot.py", "fit.png"), ("compare_circuits.py", "compare_circuits.png")],
)
def test_example_writes_its_figure(tmp_path, script, figure):
    done = run(script, tmp_path)
    assert done.returncode == 0, done.stderr
    assert_png(tmp_path / figure)
    assert "chi-square" in done.stdout
