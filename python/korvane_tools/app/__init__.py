"""korvane in the browser: load, check, fit and export spectra without writing Python.

    korvane-app [FILES or FOLDER] [--port N] [--no-browser]
    python -m korvane_tools.app ...

A local Dash (Flask and Plotly) app: it serves on 127.0.0.1 only (``--host``
exposes it, with a warning), prints its address with a random access token,
and opens the default browser. Everything stays on this machine: the page's
scripts come from the installed Dash package, files reach the app only as
uploads (or as command-line arguments), and nothing is sent anywhere.
Needs the ``app`` extra: ``pip install korvane[app]``.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from ._session import DEFAULT_MAX_UPLOAD

EXTRA_HINT = "korvane-app needs the packages of the app extra: pip install 'korvane[app]'"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="korvane-app",
        description="Load, check and fit impedance spectra in the browser.",
    )
    parser.add_argument(
        "paths", nargs="*", metavar="FILE_OR_FOLDER", help="instrument files to load at start"
    )
    parser.add_argument("--port", type=int, default=0, help="port (default: any free one)")
    parser.add_argument(
        "--host",
        default="127.0.0.1",
        help="address to listen on (default 127.0.0.1: this machine only)",
    )
    parser.add_argument("--no-browser", action="store_true", help="do not open a browser")
    parser.add_argument(
        "--max-upload-mb",
        type=float,
        default=DEFAULT_MAX_UPLOAD / 2**20,
        metavar="MB",
        help="largest file accepted by upload (default %(default)g)",
    )
    return parser


def _files(paths: list[str]) -> list[Path]:
    out: list[Path] = []
    for name in paths:
        path = Path(name)
        if path.is_dir():
            out.extend(
                p for p in sorted(path.iterdir()) if p.is_file() and not p.name.startswith(".")
            )
        else:
            out.append(path)
    return out


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        import dash  # noqa: F401
        import plotly  # noqa: F401
    except ImportError:
        print(EXTRA_HINT, file=sys.stderr)
        return 2
    if args.max_upload_mb <= 0:
        print("korvane-app: --max-upload-mb must be positive", file=sys.stderr)
        return 2

    from ._server import serve
    from ._session import Session
    from ._ui import build

    session = Session(max_upload=int(args.max_upload_mb * 2**20))
    messages: list[str] = []
    for path in _files(args.paths):
        try:
            added = session.add_file(path)
            messages.append(f"{path.name}: {len(added)} spectra")
        except (OSError, ValueError) as exc:
            messages.append(f"could not read {exc}")
            print(f"korvane-app: could not read {exc}", file=sys.stderr)

    def make_app(port: int, token: str) -> Any:
        return build(session, port, token, messages).server

    return serve(make_app, args.host, args.port, not args.no_browser)
