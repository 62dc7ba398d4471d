"""``korvane-fit``: fit every spectrum of some instrument files from the shell.

    korvane-fit cell*.DTA --circuit randles --out results.csv --plots figures/

Each file is read with :func:`korvane_tools.read_spectra` (all spectra of a
multi-cycle export), every spectrum is fitted with :func:`korvane_tools.fit_many`,
and one CSV row per spectrum is written. The exit status is 0 when every file
was read, 1 when some file could not be read (the others are still fitted and
written), 2 for a usage error.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

import pandas as pd

FIT_METHODS = (
    "levenberg_marquardt",
    "particle_swarm",
    "nelder_mead",
    "differential_evolution",
    "simulated_annealing",
    "basin_hopping",
)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="korvane-fit",
        description="Fit an equivalent circuit to every spectrum of impedance files.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE", help="instrument export files")
    parser.add_argument(
        "--circuit",
        required=True,
        metavar="NAME_OR_STRING",
        help='a trained name such as "randles" or a circuit string such as "R0-(R1,CPE1)"',
    )
    parser.add_argument("--method", default="levenberg_marquardt", choices=FIT_METHODS)
    parser.add_argument("--seed", type=int, default=None, help="seed of the stochastic methods")
    parser.add_argument(
        "--out", type=Path, default=None, metavar="CSV", help="results file (default: stdout)"
    )
    parser.add_argument(
        "--plots", type=Path, default=None, metavar="DIR", help="write a fit figure per spectrum"
    )
    parser.add_argument("--workers", type=int, default=None, metavar="N", help="threads")
    parser.add_argument("--format", default=None, help="file format, when the extension misleads")
    parser.add_argument(
        "--no-progress", action="store_true", help="no progress bar, even in a terminal"
    )
    return parser


def _read_all(
    files: list[str], file_format: str | None
) -> tuple[list[tuple[str, int]], list[pd.DataFrame], list[str]]:
    from .io import read_spectra

    ids: list[tuple[str, int]] = []
    spectra: list[pd.DataFrame] = []
    failures: list[str] = []
    for name in files:
        try:
            frames = read_spectra(name, format=file_format)
        except (OSError, ValueError) as exc:
            failures.append(f"{name}: {exc}")
            continue
        for index, frame in enumerate(frames):
            ids.append((name, index))
            spectra.append(frame)
    return ids, spectra, failures


def _plot(
    directory: Path,
    circuit: Any,
    ids: list[tuple[str, int]],
    spectra: list[pd.DataFrame],
    results: pd.DataFrame,
) -> int:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from .plotting import plot_fit

    directory.mkdir(parents=True, exist_ok=True)
    names = circuit.param_names()
    written = 0
    for (name, index), data, (_, row) in zip(ids, spectra, results.iterrows()):
        if row["error"] is not None:
            continue
        fitted = circuit.with_named_values({p: float(row[p]) for p in names})
        figure = plot_fit(data, fitted)
        figure.suptitle(f"{Path(name).name} #{index}")
        figure.savefig(directory / f"{Path(name).stem}_{index}.png", dpi=100)
        plt.close(figure)
        written += 1
    return written


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    import korvane

    from .batch import fit_many

    try:
        circuit = korvane.Circuit(args.circuit)
    except ValueError as exc:
        print(f"korvane-fit: --circuit: {exc}", file=sys.stderr)
        return 2
    ids, spectra, failures = _read_all(args.files, args.format)
    for failure in failures:
        print(f"korvane-fit: cannot read {failure}", file=sys.stderr)

    kwargs: dict[str, Any] = {"method": args.method}
    if args.seed is not None:
        kwargs["seed"] = args.seed
    results = fit_many(
        circuit,
        spectra,
        workers=args.workers,
        progress=False if args.no_progress else None,
        **kwargs,
    )
    results.insert(0, "spectrum", [index for _, index in ids])
    results.insert(0, "file", [name for name, _ in ids])
    results = results.drop(columns=["id"])
    if args.out is None:
        results.to_csv(sys.stdout, index=False)
    else:
        results.to_csv(args.out, index=False)
    if args.plots is not None:
        _plot(args.plots, circuit, ids, spectra, results)

    failed_fits = int(results["error"].notna().sum())
    print(
        f"korvane-fit: {len(spectra)} spectra from {len(args.files) - len(failures)} files, "
        f"{failed_fits} could not be fitted, {len(failures)} files unreadable",
        file=sys.stderr,
    )
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
