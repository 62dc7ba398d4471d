"""The package's version, from its one home: ``version`` in pyproject.toml.

An installed package reads it from its metadata, which the build copied from
pyproject.toml. A source tree (tests, an editable install) may have an older
or no installed copy beside it, so there the file itself is read.
"""

from __future__ import annotations

import tomllib
from importlib import metadata
from pathlib import Path

_PYPROJECT = Path(__file__).resolve().parents[2] / "pyproject.toml"


def package_version() -> str:
    if _PYPROJECT.is_file():
        project = tomllib.loads(_PYPROJECT.read_text(encoding="utf-8")).get("project", {})
        if project.get("name") == "korvane" and isinstance(project.get("version"), str):
            return str(project["version"])
    try:
        return metadata.version("korvane")
    except metadata.PackageNotFoundError:  # copied into place without pip
        return "unknown"
