"""Smoke test of an installed korvane wheel, run from outside the source tree.

    <fresh venv>/bin/python -I tools/wheel_smoke.py examples/data/randles_spectrum.csv

tools/dev.sh runs it (stage "wheel smoke test") in a fresh virtual
environment holding only the wheel and its dependencies. Besides importing,
fitting and reading, it checks that every file of korvane the process loaded
came from that environment: a path into the source tree or a build folder (on
sys.path, or as the RPATH of an extension looking for a shared library beside
it) would let the imports pass while the wheel itself is incomplete.
"""

from __future__ import annotations

import subprocess
import sys
import sysconfig
from importlib import metadata
from pathlib import Path


def loaded_korvane_files() -> set[Path]:
    """Every mapped file whose path mentions korvane: extensions and shared libraries."""
    found = set()
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        for line in maps:
            fields = line.split(maxsplit=5)
            if len(fields) == 6 and "korvane" in fields[5]:
                found.add(Path(fields[5].strip()))
    return found


def main() -> None:
    spectrum_file = Path(sys.argv[1])
    prefix = Path(sys.prefix).resolve()

    import korvane
    import korvane_tools
    from korvane_tools import _native  # the constrained fits' binding

    data = korvane_tools.read(spectrum_file)
    print(korvane_tools.check(data))
    result = korvane.Circuit("randles").fit(data)
    assert result.success, result
    assert abs(result.params["R1.r"] - 60.0) < 3.0, result.params  # the file's true 60 ohm
    print(korvane_tools.report(result, data))
    held = korvane_tools.fit(korvane.Circuit("randles"), data, fixed={"R0.r": 15.0})
    assert held.params["R0.r"] == 15.0 and held.success, held
    # The analyses need the declared run-time dependencies (SciPy, threadpoolctl).
    print(korvane_tools.z_hit(data))
    assert korvane_tools.drt(data).peaks, "no DRT peak"

    version = metadata.version("korvane")
    assert korvane_tools.__version__ == version, (korvane_tools.__version__, version)
    meta = metadata.metadata("korvane")
    assert meta["License-Expression"] == "MIT", meta["License-Expression"]
    dist = metadata.distribution("korvane")
    assert any(Path(str(f)).name == "LICENSE" for f in dist.files or []), "LICENSE not in the wheel"

    site = Path(sysconfig.get_paths()["purelib"])
    assert (site / "korvane-stubs" / "__init__.pyi").is_file(), "type stubs missing"
    assert (site / "korvane_tools" / "py.typed").is_file(), "py.typed missing"

    modules = [Path(m.__file__ or "") for m in (korvane, korvane_tools, _native)]
    stray = [
        p for p in modules + sorted(loaded_korvane_files()) if prefix not in p.resolve().parents
    ]
    assert not stray, f"loaded from outside {prefix}: {stray}"

    out = Path("results.csv").resolve()
    cli = Path(sys.executable).with_name("korvane-fit")
    subprocess.run([cli, spectrum_file, "--circuit", "randles", "--out", out], check=True)
    assert out.read_text(encoding="utf-8").count("\n") == 2, out.read_text(encoding="utf-8")

    print(f"korvane {version}: wheel installed in {prefix} imports, reads, fits and reports")


if __name__ == "__main__":
    main()
