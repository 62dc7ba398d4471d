"""``korvane``: fit, check and convert impedance files from the shell.

    korvane fit data/ "cell*.DTA" --circuit randles --out results.csv --plots figures/
    korvane check cell*.DTA
    korvane read cell.mpt --to csv --out converted/
    korvane drt cell*.DTA --out drt/ --plots figures/
    korvane zhit cell*.DTA
    korvane --version

``korvane-fit`` is ``korvane fit``; ``python -m korvane_tools`` is ``korvane``.
FILE arguments are files, folders (every file directly inside, hidden ones
aside) or glob patterns (expanded here too, for shells that do not). Every
spectrum of every file is read with :func:`korvane_tools.read_spectra`.

Exit status (every subcommand): 0 when every file and spectrum went through;
1 when some file could not be read, some spectrum could not be fitted or
failed its check (the others are still processed and written); 2 for a usage
error, reported in one line before any work is done; 130 after Ctrl-C.

The subcommands are the rows of :data:`COMMANDS`: a new one is one
:class:`Command` (its options and its run function) added there.
"""

from __future__ import annotations

import argparse
import glob
import math
import os
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any, NoReturn

import pandas as pd

FIT_METHODS = (
    "levenberg_marquardt",
    "particle_swarm",
    "nelder_mead",
    "differential_evolution",
    "simulated_annealing",
    "basin_hopping",
)

#: Exit statuses (130 = 128 + SIGINT, as shells report Ctrl-C).
OK, FAILURES, USAGE, INTERRUPTED = 0, 1, 2, 130


class UsageError(Exception):
    """A mistake in the command line found after parsing (an unwritable --out, say)."""


class _Parser(argparse.ArgumentParser):
    """argparse, with usage errors as one line (and exit status 2)."""

    def error(self, message: str) -> NoReturn:
        self.exit(USAGE, f"{self.prog}: error: {message}\n")


@dataclass(frozen=True)
class Command:
    """One subcommand: its name, one-line help, options and what it does."""

    name: str
    help: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


# ---- argument types ------------------------------------------------------------


def _positive_int(text: str) -> int:
    value = _int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _seed(text: str) -> int:
    value = _int(text)
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"must be from 0 to 2**64 - 1, got {value}")
    return value


def _int(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None


def _number(text: str, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what}: not a number: {text!r}") from None
    if math.isnan(value):
        raise argparse.ArgumentTypeError(f"{what}: not a number: {text!r}")
    return value


def _fixed(text: str) -> tuple[str, float]:
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE, got {text!r}")
    return name.strip(), _number(value, name)


def _bounds(text: str) -> tuple[str, tuple[float | None, float | None]]:
    name, sep, pair = text.partition("=")
    lo, colon, hi = pair.partition(":")
    if not sep or not colon or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=LO:HI (a side may be empty), got {text!r}")
    low = None if not lo.strip() else _number(lo, name)
    high = None if not hi.strip() else _number(hi, name)
    if low is not None and high is not None and not low < high:
        raise argparse.ArgumentTypeError(f"{name}: the lower bound must be below the upper one")
    return name.strip(), (low, high)


def _format_name(text: str) -> str:
    import io

    from .io import read_spectra

    # The readers know their names: an empty stream read under this one is
    # refused for its emptiness, or for the name.
    try:
        read_spectra(io.BytesIO(b"\n"), format=text)
    except Exception as exc:  # noqa: BLE001 - only the name's refusal matters here
        if str(exc).startswith("unknown format"):
            raise argparse.ArgumentTypeError(str(exc)) from None
    return text


# ---- reading ---------------------------------------------------------------------


def expand(arguments: list[str]) -> list[str]:
    """Files named by FILE arguments, in order: a folder gives its files
    (sorted, hidden ones aside), a pattern its matches; a name that matches
    nothing stays, to be reported as unreadable."""
    out: list[str] = []
    for argument in arguments:
        path = Path(argument)
        if path.is_dir():
            out += sorted(
                str(p) for p in path.iterdir() if p.is_file() and not p.name.startswith(".")
            )
        elif not path.exists() and glob.has_magic(argument):
            matches = sorted(glob.glob(argument))
            out += [m for m in matches if Path(m).is_file()] or [argument]
        else:
            out.append(argument)
    return out


@dataclass
class _Spectra:
    """Every spectrum read, and one error per file that could not be read."""

    ids: list[tuple[str, int]]
    frames: list[pd.DataFrame]
    unreadable: list[tuple[str, str]]


def _read_all(files: list[str], file_format: str | None) -> _Spectra:
    from .io import read_spectra

    spectra = _Spectra([], [], [])
    for name in files:
        try:
            frames = read_spectra(name, format=file_format)
        except Exception as exc:  # noqa: BLE001 - one file never ends the run
            spectra.unreadable.append((name, _reason(exc)))
            continue
        for index, frame in enumerate(frames):
            spectra.ids.append((name, index))
            spectra.frames.append(frame)
    return spectra


def _reason(exc: BaseException) -> str:
    if isinstance(exc, (OSError, ValueError)):
        return str(exc)
    return f"{type(exc).__name__}: {exc}"


class _Names:
    """Output file names for one run: ``<file name>_<index><suffix>``, never
    one this run has already written (a second ``cell.DTA`` from another
    folder gets ``cell.DTA_0-2.png``)."""

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        self.taken: set[str] = set()

    def __call__(self, source: str, index: int | None, suffix: str) -> Path:
        stem = Path(source).name + ("" if index is None else f"_{index}")
        name, n = stem + suffix, 1
        while name.lower() in self.taken:  # case-insensitive file systems too
            n += 1
            name = f"{stem}-{n}{suffix}"
        self.taken.add(name.lower())
        return self.directory / name


def _writable_file(path: Path, option: str) -> None:
    if path.is_dir():
        raise UsageError(f"{option} {path} is a folder, not a file")
    existed = path.exists()
    try:
        with open(path, "a"):
            pass
    except OSError as exc:
        raise UsageError(f"{option} {path}: cannot write ({exc.strerror})") from None
    if not existed:
        path.unlink()


def _writable_folder(path: Path, option: str) -> None:
    if path.exists() and not path.is_dir():
        raise UsageError(f"{option} {path} is a file, not a folder")
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"{option} {path}: cannot create ({exc.strerror})") from None
    if not os.access(path, os.W_OK | os.X_OK):
        raise UsageError(f"{option} {path}: cannot write in it")


def _say(command: str, text: str) -> None:
    print(f"korvane {command}: {text}", file=sys.stderr)


# ---- korvane fit ---------------------------------------------------------------


def _fit_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="files, folders or globs")
    parser.add_argument(
        "--circuit",
        required=True,
        metavar="NAME_OR_STRING",
        help='a trained name such as "randles" or a circuit string such as "R0-(R1,CPE1)"',
    )
    parser.add_argument("--method", default="levenberg_marquardt", choices=FIT_METHODS)
    parser.add_argument("--seed", type=_seed, default=None, help="seed of the stochastic methods")
    parser.add_argument(
        "--fixed",
        type=_fixed,
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="hold a parameter at a value (repeatable), e.g. R0.r=10",
    )
    parser.add_argument(
        "--bounds",
        type=_bounds,
        action="append",
        default=[],
        metavar="NAME=LO:HI",
        help="narrow a parameter's bounds (repeatable; a side may be empty), e.g. R1.r=1:500",
    )
    parser.add_argument(
        "--thorough",
        action="store_true",
        help="add a multi-start from a spread of starts to each default fit; keep the best",
    )
    parser.add_argument(
        "--clean",
        action="store_true",
        help="drop rows with non-positive or non-finite frequency or non-finite impedance",
    )
    parser.add_argument(
        "--order",
        choices=("tau", "none"),
        default="tau",
        help="label interchangeable arcs by ascending time constant (default) or as fitted",
    )
    parser.add_argument(
        "--out", type=Path, default=None, metavar="CSV", help="results file (default: stdout)"
    )
    parser.add_argument(
        "--plots", type=Path, default=None, metavar="DIR", help="write a fit figure per spectrum"
    )
    parser.add_argument("--workers", type=_positive_int, default=None, metavar="N", help="threads")
    parser.add_argument(
        "--format", type=_format_name, default=None, help="file format, when sniffing misleads"
    )
    parser.add_argument(
        "--no-progress", action="store_true", help="no progress bar, even in a terminal"
    )


def _circuit(text: str) -> Any:
    import korvane

    try:
        return korvane.Circuit(text)
    except ValueError as exc:
        raise UsageError(f"--circuit: {str(exc).splitlines()[0]}") from None


def _fit_kwargs(args: argparse.Namespace, circuit: Any) -> dict[str, Any]:
    names = circuit.param_names()
    for option, pairs in (("--fixed", args.fixed), ("--bounds", args.bounds)):
        for name, _ in pairs:
            if name not in names:
                raise UsageError(
                    f"{option}: unknown parameter {name!r}; the parameters are {', '.join(names)}"
                )
    kwargs: dict[str, Any] = {"method": args.method}
    if args.seed is not None:
        kwargs["seed"] = args.seed
    if args.fixed:
        kwargs["fixed"] = dict(args.fixed)
    if args.bounds:
        kwargs["bounds"] = dict(args.bounds)
    if args.thorough:
        kwargs["thorough"] = True
    return kwargs


def _run_fit(args: argparse.Namespace) -> int:
    from .batch import fit_many

    circuit = _circuit(args.circuit)
    kwargs = _fit_kwargs(args, circuit)
    if args.out is not None:
        _writable_file(args.out, "--out")
    if args.plots is not None:
        _writable_folder(args.plots, "--plots")

    spectra = _read_all(expand(args.files), args.format)
    for name, reason in spectra.unreadable:
        _say("fit", f"cannot read {name}: {reason}")
    frames = spectra.frames
    if args.clean:
        from .checks import clean

        frames = [clean(frame) for frame in frames]
    results = fit_many(
        circuit,
        frames,
        workers=args.workers,
        progress=False if args.no_progress else None,
        order=None if args.order == "none" else args.order,
        **kwargs,
    )
    results.insert(0, "spectrum", [index for _, index in spectra.ids])
    results.insert(0, "file", [name for name, _ in spectra.ids])
    results = results.drop(columns=["id"])
    if spectra.unreadable:
        unread = pd.DataFrame(
            {
                "file": [name for name, _ in spectra.unreadable],
                "spectrum": [None] * len(spectra.unreadable),
                "success": [False] * len(spectra.unreadable),
                "error": [f"cannot read: {reason}" for _, reason in spectra.unreadable],
            }
        )
        results = pd.concat([results, unread], ignore_index=True)
        results["spectrum"] = results["spectrum"].astype("Int64")
    results.to_csv(sys.stdout if args.out is None else args.out, index=False)
    failed_plots = 0
    if args.plots is not None:
        failed_plots = _plot(args.plots, circuit, spectra.ids, frames, results)

    failed_fits = int(results["error"].notna().sum()) - len(spectra.unreadable)
    _say(
        "fit",
        f"{len(frames)} spectra from {len(set(n for n, _ in spectra.ids))} files, "
        f"{failed_fits} could not be fitted, {len(spectra.unreadable)} files unreadable",
    )
    return FAILURES if spectra.unreadable or failed_fits or failed_plots else OK


def _plot(
    directory: Path,
    circuit: Any,
    ids: list[tuple[str, int]],
    frames: list[pd.DataFrame],
    results: pd.DataFrame,
) -> int:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from .plotting import plot_fit

    names = circuit.param_names()
    target = _Names(directory)
    failed = 0
    for (name, index), data, (_, row) in zip(ids, frames, results.iterrows()):
        if isinstance(row["error"], str):
            continue
        try:
            fitted = circuit.with_named_values({p: float(row[p]) for p in names})
            figure = plot_fit(data, fitted)
            figure.suptitle(f"{Path(name).name} #{index}")
            figure.savefig(target(name, index, ".png"), dpi=100)
            plt.close(figure)
        except Exception as exc:  # noqa: BLE001 - one figure never ends the run
            _say("fit", f"cannot plot {name} #{index}: {_reason(exc)}")
            failed += 1
    return failed


# ---- korvane check ---------------------------------------------------------------


def _check_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="files, folders or globs")
    parser.add_argument(
        "--format", type=_format_name, default=None, help="file format, when sniffing misleads"
    )


def _run_check(args: argparse.Namespace) -> int:
    from .checks import check
    from .kk import lin_kk

    spectra = _read_all(expand(args.files), args.format)
    rows: list[tuple[str, int | None, str, str, str, float]] = []
    for (name, index), frame in zip(spectra.ids, spectra.frames):
        report = check(frame)
        findings = "; ".join(str(f) for f in report.findings if f.severity != "info")
        try:
            kk = lin_kk(frame)
            verdict, residual = ("passed" if kk.passed else "failed"), kk.max_residual
        except Exception as exc:  # noqa: BLE001 - one spectrum never ends the run
            verdict, residual = f"not tested ({_reason(exc)})", math.nan
        ok = report.ok and verdict == "passed"
        rows.append((name, index, "ok" if ok else "FAILED", findings or "-", verdict, residual))
    for name, reason in spectra.unreadable:
        rows.append((name, None, "FAILED", f"cannot read: {reason}", "-", math.nan))
    table = pd.DataFrame(
        rows,
        columns=["file", "spectrum", "verdict", "data checks", "kramers_kronig", "max_residual"],
    )
    table["spectrum"] = table["spectrum"].astype("Int64")
    table.to_csv(sys.stdout, index=False)
    failed = int((table["verdict"] != "ok").sum())
    _say("check", f"{len(table) - failed} of {len(table)} spectra passed")
    return FAILURES if failed else OK


# ---- korvane read ----------------------------------------------------------------


def _read_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="files, folders or globs")
    parser.add_argument(
        "--to", choices=("csv", "parquet"), required=True, help="format of the converted files"
    )
    parser.add_argument(
        "--out",
        type=Path,
        default=Path("."),
        metavar="DIR",
        help="folder for <file name>.<csv|parquet> (default: the current folder)",
    )
    parser.add_argument(
        "--format", type=_format_name, default=None, help="file format, when sniffing misleads"
    )


def _run_read(args: argparse.Namespace) -> int:
    from .batch import long_frame

    if args.to == "parquet":
        try:
            pd.io.parquet.get_engine("auto")
        except ImportError:
            raise UsageError("--to parquet needs pyarrow or fastparquet installed") from None
    _writable_folder(args.out, "--out")
    target = _Names(args.out)
    spectra = _read_all(expand(args.files), args.format)
    for name, reason in spectra.unreadable:
        _say("read", f"cannot read {name}: {reason}")
    by_file: dict[str, list[pd.DataFrame]] = {}
    for (name, _), frame in zip(spectra.ids, spectra.frames):
        by_file.setdefault(name, []).append(frame)
    failed = 0
    for name, frames in by_file.items():
        # One spectrum: its frame as read; several: stacked, with a spectrum column.
        table = frames[0] if len(frames) == 1 else long_frame(frames)
        path = target(name, None, f".{args.to}")
        try:
            if args.to == "csv":
                table.to_csv(path, index=False)
            else:
                table.to_parquet(path, index=False)
        except Exception as exc:  # noqa: BLE001 - one file never ends the run
            _say("read", f"cannot write {path}: {_reason(exc)}")
            failed += 1
            continue
        print(path)
    return FAILURES if spectra.unreadable or failed else OK


# ---- korvane drt -----------------------------------------------------------------


def _lambda(text: str) -> float | str:
    if text == "auto":
        return text
    value = _number(text, "lambda")
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be 'auto' or a positive number, got {text!r}")
    return value


def _drt_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="files, folders or globs")
    parser.add_argument(
        "--method",
        choices=("tikhonov", "bayesian"),
        default="tikhonov",
        help="bayesian adds a 95 %% credible band of gamma",
    )
    parser.add_argument(
        "--lambda",
        dest="lambda_",
        type=_lambda,
        default="auto",
        metavar="auto|NUMBER",
        help="regularisation: chosen by --criterion (default) or given",
    )
    parser.add_argument("--criterion", choices=("gcv", "lcurve", "re-im"), default="gcv")
    parser.add_argument(
        "--derivative",
        type=int,
        choices=(1, 2),
        default=2,
        help="order of the penalised derivative",
    )
    parser.add_argument("--part", choices=("both", "real", "imag"), default="both")
    parser.add_argument(
        "--out",
        type=Path,
        default=None,
        metavar="DIR",
        help="write <file name>_<spectrum>.csv (tau, gamma) and .peaks.csv per spectrum",
    )
    parser.add_argument(
        "--plots", type=Path, default=None, metavar="DIR", help="write a DRT figure per spectrum"
    )
    parser.add_argument(
        "--format", type=_format_name, default=None, help="file format, when sniffing misleads"
    )


def _drt_tables(result: Any) -> tuple[pd.DataFrame, pd.DataFrame]:
    curve = pd.DataFrame({"tau": result.tau, "gamma": result.gamma})
    if result.gamma_low is not None:
        curve["gamma_low"], curve["gamma_high"] = result.gamma_low, result.gamma_high
    peaks = pd.DataFrame(
        [
            (p.tau, p.frequency, p.height, p.area, p.tau_low, p.tau_high, p.resistance)
            for p in result.peaks
        ],
        columns=["tau", "frequency", "height", "area", "tau_low", "tau_high", "resistance"],
    )
    return curve, peaks


def _run_drt(args: argparse.Namespace) -> int:
    from .analysis.drt import drt

    for option in ("out", "plots"):
        if getattr(args, option) is not None:
            _writable_folder(getattr(args, option), f"--{option}")
    tables = None if args.out is None else _Names(args.out)
    figures = None if args.plots is None else _Names(args.plots)
    spectra = _read_all(expand(args.files), args.format)
    rows: list[tuple[Any, ...]] = []
    for (name, index), frame in zip(spectra.ids, spectra.frames):
        try:
            result = drt(
                frame,
                args.method,
                lambda_=args.lambda_,
                criterion=args.criterion,
                derivative=args.derivative,
                part=args.part,
            )
        except Exception as exc:  # noqa: BLE001 - one spectrum never ends the run
            rows.append((name, index, *[math.nan] * 4, "", "", f"no DRT: {_reason(exc)}"))
            continue
        error = ""
        try:
            if tables is not None:
                curve, peaks = _drt_tables(result)
                curve.to_csv(tables(name, index, ".csv"), index=False)
                peaks.to_csv(tables(name, index, ".peaks.csv"), index=False)
            if figures is not None:
                _plot_drt(result, figures(name, index, ".png"), f"{Path(name).name} #{index}")
        except Exception as exc:  # noqa: BLE001 - one file never ends the run
            error = f"cannot write: {_reason(exc)}"
        rows.append(
            (
                name,
                index,
                result.lambda_,
                result.r_inf,
                result.polarisation_resistance,
                result.max_residual,
                ";".join(f"{p.tau:.4g}" for p in result.peaks),
                ";".join(f"{p.resistance:.4g}" for p in result.peaks),
                error,
            )
        )
    for name, reason in spectra.unreadable:
        rows.append((name, None, *[math.nan] * 4, "", "", f"cannot read: {reason}"))
    table = pd.DataFrame(
        rows,
        columns=[
            "file",
            "spectrum",
            "lambda",
            "r_inf",
            "polarisation",
            "max_residual",
            "peak_tau",
            "peak_r",
            "error",
        ],
    )
    table["spectrum"] = table["spectrum"].astype("Int64")
    table.to_csv(sys.stdout, index=False)
    failed = int((table["error"] != "").sum())
    _say("drt", f"{len(table) - failed} of {len(table)} spectra went through")
    return FAILURES if failed else OK


def _plot_drt(result: Any, path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from .analysis.plots import plot_drt

    figure, ax = plt.subplots()
    try:
        plot_drt(result, ax)
        figure.suptitle(title)
        figure.savefig(path, dpi=100)
    finally:
        plt.close(figure)


# ---- korvane zhit ----------------------------------------------------------------


def _zhit_arguments(parser: argparse.ArgumentParser) -> None:
    from .kk import DEFAULT_THRESHOLD

    parser.add_argument("files", nargs="+", metavar="FILE", help="files, folders or globs")
    parser.add_argument(
        "--threshold",
        type=lambda text: _number(text, "threshold"),
        default=None,
        metavar="FRACTION",
        help=f"largest |residual| / |Z| that passes (default {DEFAULT_THRESHOLD:g} "
        "plus five times the spectrum's own noise)",
    )
    parser.add_argument(
        "--format", type=_format_name, default=None, help="file format, when sniffing misleads"
    )


def _run_zhit(args: argparse.Namespace) -> int:
    from .analysis.zhit import z_hit

    if args.threshold is not None and not (math.isfinite(args.threshold) and args.threshold > 0):
        raise UsageError(f"--threshold must be positive, got {args.threshold!r}")
    spectra = _read_all(expand(args.files), args.format)
    rows: list[tuple[str, int | None, str, float]] = []
    for (name, index), frame in zip(spectra.ids, spectra.frames):
        try:
            result = z_hit(frame, threshold=args.threshold)
            verdict, residual = ("passed" if result.passed else "failed"), result.max_residual
        except Exception as exc:  # noqa: BLE001 - one spectrum never ends the run
            verdict, residual = f"not tested ({_reason(exc)})", math.nan
        rows.append((name, index, verdict, residual))
    for name, reason in spectra.unreadable:
        rows.append((name, None, f"cannot read: {reason}", math.nan))
    table = pd.DataFrame(rows, columns=["file", "spectrum", "z_hit", "max_residual"])
    table["spectrum"] = table["spectrum"].astype("Int64")
    table.to_csv(sys.stdout, index=False)
    failed = int((table["z_hit"] != "passed").sum())
    _say("zhit", f"{len(table) - failed} of {len(table)} spectra passed")
    return FAILURES if failed else OK


# ---- the command table -------------------------------------------------------------

COMMANDS: tuple[Command, ...] = (
    Command("fit", "fit a circuit to every spectrum, one CSV row each", _fit_arguments, _run_fit),
    Command(
        "check",
        "data checks and Kramers–Kronig verdict per spectrum (exit 1 if any fails)",
        _check_arguments,
        _run_check,
    ),
    Command("read", "convert instrument files to CSV or Parquet", _read_arguments, _run_read),
    Command(
        "drt",
        "distribution of relaxation times per spectrum: lambda, peaks; curves with --out",
        _drt_arguments,
        _run_drt,
    ),
    Command(
        "zhit",
        "Z-HIT verdict per spectrum (exit 1 if any fails)",
        _zhit_arguments,
        _run_zhit,
    ),
)

_EPILOG = "exit status: 0 all went through, 1 some file or spectrum failed, 2 usage error"


def _parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = _Parser(
        prog="korvane",
        description="Equivalent-circuit fitting of impedance spectra from the shell.",
        epilog=_EPILOG,
    )
    parser.add_argument("--version", action="version", version=f"korvane_tools {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        child = sub.add_parser(
            command.name, help=command.help, description=command.help, epilog=_EPILOG
        )
        command.add_arguments(child)
        child.set_defaults(run=command.run, prog=child.prog)
    return parser


def main(argv: list[str] | None = None) -> int:
    """The ``korvane`` command; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except UsageError as exc:
        print(f"{args.prog}: error: {exc}", file=sys.stderr)
        return USAGE
    except KeyboardInterrupt:
        print(f"{args.prog}: interrupted", file=sys.stderr)
        return INTERRUPTED
    return status


def fit_main(argv: list[str] | None = None) -> int:
    """``korvane-fit``: the same as ``korvane fit``."""
    return main(["fit", *(sys.argv[1:] if argv is None else argv)])


if __name__ == "__main__":
    sys.exit(main())
