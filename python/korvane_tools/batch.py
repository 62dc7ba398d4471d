"""Fitting many spectra: on this machine's cores, or on a Dask cluster.

Every fit goes through :func:`korvane_tools.fit`, whose native entry releases
the interpreter lock for the whole fit *including* the network guess, so a
plain thread pool scales with the cores. Results are collected by position and
the frame is built only once every fit has returned: an interrupted batch
leaves nothing half-written behind.
"""

from __future__ import annotations

import os
import queue
import sys
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import korvane
import numpy as np
import pandas as pd

from . import _native
from ._data import Data

#: Columns of a long frame that name the spectrum a row belongs to, first
#: match wins ("spectrum" is what :func:`long_frame` writes).
SPECTRUM_COLUMNS = ("spectrum", "Spectrum", "spectrum_id", "Cycle Count / 1", "cycle_number")

#: A batch shows a progress bar (when tqdm is installed and ``progress`` is
#: left to decide) only once it has run this long, so quick batches stay quiet.
PROGRESS_DELAY_S = 2.0

#: The longest a cancelled batch waits for its workers' fits to stop.
CANCEL_WAIT_S = 5.0

#: How often a Dask chunk is run again after the worker running it was lost.
DASK_RETRIES = 2


@dataclass(frozen=True)
class _Outcome:
    """One spectrum's fit, reduced to plain values that pickle cheaply."""

    params: dict[str, float] | None
    stderr: dict[str, float] | None
    chi_square: float
    success: bool
    iterations: int
    impedance_evals: int
    error: str | None


def _fit_one(circuit: Any, data: Data, fit_kwargs: Mapping[str, Any]) -> _Outcome:
    # Imported here (the module imports this one's callers lazily too), but
    # first by fit_many on the main thread: an import that a worker thread
    # runs can be left half-done by a Ctrl-C.
    from .constrained import fit

    try:
        result = fit(circuit, data, **fit_kwargs)
    except Exception as exc:  # noqa: BLE001
        # One bad spectrum must not end the batch, however it fails; its row
        # says why. Ctrl-C (BaseException) still ends it.
        return _Outcome(None, None, float("nan"), False, 0, 0, f"{type(exc).__name__}: {exc}")
    return _Outcome(
        dict(result.params),
        None if result.stderr is None else dict(result.stderr),
        float(result.chi_square),
        bool(result.success),
        int(result.iterations),
        int(result.impedance_evals),
        None,
    )


def _fit_chunk(circuit: Any, chunk: list[Data], fit_kwargs: Mapping[str, Any]) -> list[_Outcome]:
    """What a Dask worker runs: one chunk of spectra, one after another."""
    return [_fit_one(circuit, data, fit_kwargs) for data in chunk]


def _split_long_frame(frame: pd.DataFrame) -> tuple[list[Any], list[Data]] | None:
    for column in SPECTRUM_COLUMNS:
        if column in frame.columns:
            # groupby drops rows without a key: their spectra would vanish
            # from the result without a word.
            missing = np.flatnonzero(frame[column].isna().to_numpy())
            if missing.size:
                shown = ", ".join(str(frame.index[i]) for i in missing[:10])
                more = f" and {missing.size - 10} more" if missing.size > 10 else ""
                raise ValueError(
                    f"spectrum column {column!r} has no id (NaN or None) in rows {shown}{more}; "
                    "give every row the id of its spectrum"
                )
            ids: list[Any] = []
            parts: list[Data] = []
            # sort=False keeps the spectra in order of first appearance.
            for key, part in frame.groupby(column, sort=False):
                ids.append(key)
                parts.append(part.drop(columns=[column]).reset_index(drop=True))
            return ids, parts
    return None


def _collect(spectra: Any) -> tuple[list[Any], list[Data]]:
    """(ids, spectra) from whatever the caller holds."""
    if isinstance(spectra, pd.DataFrame):
        split = _split_long_frame(spectra)
        if split is None:
            raise ValueError(
                "a single dataframe must have a spectrum column naming the spectrum of each "
                f"row ({', '.join(repr(c) for c in SPECTRUM_COLUMNS)}); for one spectrum "
                "use korvane_tools.fit"
            )
        return split
    if isinstance(spectra, Mapping):
        return list(spectra.keys()), list(spectra.values())
    if isinstance(spectra, tuple) and len(spectra) == 2 and _looks_numeric(spectra[0]):
        raise TypeError(
            "fit_many takes an iterable of spectra; for one (frequencies, impedances) pair "
            "use korvane_tools.fit, or wrap it in a list"
        )
    if isinstance(spectra, (str, bytes)) or not isinstance(spectra, Iterable):
        raise TypeError(
            "spectra must be an iterable of dataframes or (frequencies, impedances) pairs, "
            f"a mapping of them, or one long dataframe; got {type(spectra).__name__}"
        )
    items = list(spectra)
    return list(range(len(items))), items


def _looks_numeric(obj: Any) -> bool:
    try:
        return np.asarray(obj).dtype.kind in "iufc"
    except (TypeError, ValueError):
        return False


def _want_progress(progress: bool | None) -> bool:
    if progress is not None:
        return progress
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    if "ipykernel" in sys.modules:
        return True
    stream = sys.stderr
    return bool(getattr(stream, "isatty", lambda: False)())


def _progress_bar(total: int, enabled: bool) -> Any:
    if not enabled:
        return None
    if "ipykernel" in sys.modules:
        from tqdm.auto import tqdm
    else:
        from tqdm import tqdm
    return tqdm(total=total, unit="spectrum", delay=PROGRESS_DELAY_S, smoothing=0.1)


def _run_threads(
    circuit: Any,
    items: list[Data],
    fit_kwargs: Mapping[str, Any],
    workers: int,
    chunk_size: int,
    tick: Callable[[int], None],
) -> list[_Outcome]:
    """Worker threads take the next chunk themselves and report each finished
    one on a queue: the main thread's work per chunk is constant (waiting on
    every pending future after each completion made a batch quadratic), and
    it never holds a lock a Ctrl-C could leave taken (an interrupted
    ``concurrent.futures.wait`` can leave futures locked, and the workers
    hanging on them)."""
    results: list[_Outcome | None] = [None] * len(items)
    stop = threading.Event()
    starts = iter(range(0, len(items), chunk_size))
    take = threading.Lock()
    done: queue.SimpleQueue[int | BaseException | None] = queue.SimpleQueue()

    def work() -> None:
        try:
            while not stop.is_set():
                with take:
                    start = next(starts, None)
                if start is None:
                    return
                end = min(start + chunk_size, len(items))
                for i in range(start, end):
                    if stop.is_set():
                        return
                    results[i] = _fit_one(circuit, items[i], fit_kwargs)
                done.put(end - start)
        except BaseException as exc:  # a cancel's KeyboardInterrupt, or a bug
            done.put(exc)
        finally:
            done.put(None)

    n_threads = max(1, min(workers, -(-len(items) // chunk_size)))
    threads = [
        threading.Thread(target=work, name=f"korvane-fit-{k}", daemon=True)
        for k in range(n_threads)
    ]
    try:
        for thread in threads:
            thread.start()
        running = len(threads)
        while running:
            try:
                # A timeout keeps the main thread returning to the
                # interpreter, so Ctrl-C is seen within a fraction of a second.
                message = done.get(timeout=0.1)
            except queue.Empty:
                continue
            if message is None:
                running -= 1
            elif isinstance(message, BaseException):
                raise message
            else:
                tick(message)
    except BaseException:
        # Ctrl-C (or a bug): signal handlers never run on the workers, so
        # their running fits are cancelled through the core's interrupt polls
        # (within ~0.1 s); the batch returns once they have ended.
        stop.set()
        _native._cancel_fits(True)
        try:
            deadline = time.monotonic() + CANCEL_WAIT_S
            for thread in threads:
                if thread.is_alive():
                    thread.join(max(0.0, deadline - time.monotonic()))
        finally:
            _native._cancel_fits(False)
        raise
    assert all(r is not None for r in results)
    return [r for r in results if r is not None]


def _run_dask(
    client: Any,
    circuit: Any,
    items: list[Data],
    fit_kwargs: Mapping[str, Any],
    chunk_size: int,
    tick: Callable[[int], None],
) -> list[_Outcome]:
    from distributed import as_completed

    starts = list(range(0, len(items), chunk_size))
    # The circuit travels with every chunk (a few hundred bytes pickled), so
    # no task depends on data held by one worker: a lost worker costs only
    # the chunks it was running, which the scheduler runs again elsewhere.
    futures = [
        client.submit(
            _fit_chunk,
            circuit,
            items[s : s + chunk_size],
            dict(fit_kwargs),
            pure=False,
            retries=DASK_RETRIES,
        )
        for s in starts
    ]
    index = {f.key: i for i, f in enumerate(futures)}
    chunks: list[list[_Outcome] | None] = [None] * len(futures)
    try:
        for future in as_completed(futures):  # type: ignore[no-untyped-call]
            i = index[future.key]
            try:
                part = future.result()
            except Exception as exc:  # noqa: BLE001 - a chunk's failure is its rows' error
                # A chunk lost for good (its workers died every time) fails
                # its own rows; the finished chunks are kept.
                n = len(items[starts[i] : starts[i] + chunk_size])
                error = f"{type(exc).__name__}: {exc}"
                part = [_Outcome(None, None, float("nan"), False, 0, 0, error)] * n
            chunks[i] = part
            tick(len(part))
    except BaseException:
        client.cancel(futures)
        raise
    return [outcome for part in chunks if part is not None for outcome in part]


def _frame(names: Sequence[str], ids: list[Any], outcomes: list[_Outcome]) -> pd.DataFrame:
    columns: dict[str, Any] = {"id": ids}
    nan = float("nan")
    for name in names:
        columns[name] = [nan if o.params is None else o.params.get(name, nan) for o in outcomes]
    for name in names:
        columns[f"{name} stderr"] = [
            nan if o.stderr is None else o.stderr.get(name, nan) for o in outcomes
        ]
    columns["chi_square"] = [o.chi_square for o in outcomes]
    columns["success"] = [o.success for o in outcomes]
    columns["iterations"] = [o.iterations for o in outcomes]
    columns["evaluations"] = [o.impedance_evals for o in outcomes]
    columns["error"] = [o.error for o in outcomes]
    return pd.DataFrame(columns)


def fit_many(
    circuit: korvane.Circuit | str,
    spectra: Any,
    *,
    workers: int | None = None,
    client: Any = None,
    progress: bool | None = None,
    chunk_size: int | None = None,
    order: str | None = "tau",
    **fit_kwargs: Any,
) -> pd.DataFrame:
    """Fit ``circuit`` to every spectrum; one row per spectrum, in input order.

    ``spectra`` is an iterable of BDF dataframes or ``(frequencies, impedances)``
    pairs, a mapping ``{id: spectrum}``, or one long dataframe with a spectrum
    column (see :data:`SPECTRUM_COLUMNS`). ``fit_kwargs`` go to
    :func:`korvane_tools.fit` unchanged (``method``, ``guess_init``, ``fixed``,
    ``bounds``, ``sigma``, ``thorough``, ...), so a batch row equals the single
    fit bit for bit. Thorough fits in a batch share one pool of threads for
    their starts, so the batch does not start cores × cores threads.

    Columns: ``id``, every parameter (named as ``circuit.param_names()``), its
    standard error (``"<name> stderr"``), ``chi_square``, ``success``,
    ``iterations``, ``evaluations`` and ``error`` (None, or why that spectrum
    could not be fitted: one bad spectrum never stops the batch).

    ``order="tau"`` (the default here, unlike :func:`korvane_tools.fit`)
    labels interchangeable series sub-circuits by ascending time constant, so
    that rows of equivalent fits are comparable column by column
    (:mod:`korvane_tools.ordering`); ``order=None`` keeps each fit's labelling.

    Runs on a thread pool of ``workers`` threads (default: one per core); with
    ``client``, a ``dask.distributed.Client``, chunks of ``chunk_size`` spectra
    go to the cluster's workers instead. ``progress`` shows a tqdm bar (default:
    in a terminal or notebook, once the batch has run for two seconds). Ctrl-C
    stops the batch and raises ``KeyboardInterrupt``; no partial frame is made.
    """
    from .constrained import as_circuit, fit  # noqa: F401 - fit imported before any worker runs
    from .ordering import ORDERS

    if order not in ORDERS:
        raise ValueError(f"order must be one of {ORDERS}, got {order!r}")
    fit_kwargs = {**fit_kwargs, "order": order}
    circuit = as_circuit(circuit)
    ids, items = _collect(spectra)
    names = list(circuit.param_names())
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    if chunk_size is not None and chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, got {chunk_size}")
    n_workers = workers or os.cpu_count() or 1
    if chunk_size is None:
        if client is not None:
            # A chunk should cost well over the scheduler's and the transfer's
            # milliseconds per task, and there should be a few chunks per
            # worker thread so that the slowest does not end the batch alone.
            threads = sum(client.nthreads().values()) or 1
            chunk_size = max(1, min(1000, -(-len(items) // (3 * threads))))
        else:
            # Threads share the process: small chunks keep the cores evenly
            # busy to the end.
            chunk_size = 4

    bar = _progress_bar(len(items), _want_progress(progress) and len(items) > 0)

    def tick(n: int) -> None:
        if bar is not None:
            bar.update(n)

    try:
        if client is not None:
            outcomes = _run_dask(client, circuit, items, fit_kwargs, chunk_size, tick)
        else:
            outcomes = _run_threads(circuit, items, fit_kwargs, n_workers, chunk_size, tick)
    finally:
        if bar is not None:
            bar.close()
    return _frame(names, ids, outcomes)


def long_frame(frames: Iterable[pd.DataFrame], ids: Iterable[Any] | None = None) -> pd.DataFrame:
    """Stack spectra into one long frame with a ``spectrum`` column."""
    parts = []
    keys: Iterator[Any] = iter(ids) if ids is not None else iter(range(sys.maxsize))
    for frame in frames:
        parts.append(frame.assign(spectrum=next(keys)))
    if not parts:
        raise ValueError("no spectra to stack")
    return pd.concat(parts, ignore_index=True)
