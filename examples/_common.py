"""What the examples share: where the measured file is and where figures go."""

from __future__ import annotations

import argparse
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent
REPO = EXAMPLES.parent

#: A measured Gamry spectrum from the shared instrument files, which sit beside
#: the repository; the bundled synthetic Randles spectrum stands in without them.
MEASURED = REPO.parent / "shared" / "data" / "instrument-files" / "exampleDataGamry.DTA"
FALLBACK = EXAMPLES / "data" / "randles_spectrum.csv"


def data_file() -> Path:
    return MEASURED if MEASURED.is_file() else FALLBACK


def output_dir(description: str) -> Path:
    """The figure folder: the first command-line argument, else examples/output/."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument(
        "output",
        nargs="?",
        type=Path,
        default=EXAMPLES / "output",
        help="folder for the PNG figures (default: examples/output/)",
    )
    out: Path = parser.parse_args().output
    out.mkdir(parents=True, exist_ok=True)
    return out
