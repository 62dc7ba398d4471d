"""What the app holds while it runs: the loaded spectra, exclusions, fits, the batch.

One researcher per server (the access token admits one browser profile), so the
state lives in one :class:`Session` in server memory and the page only ever
sees identifiers and what is drawn. Dash serves callbacks on several threads:
every change goes through the session's lock.

Nothing here imports Dash, so the logic can be driven and tested without a
browser.
"""

from __future__ import annotations

import base64
import math
import os
import tempfile
import threading
import time
import warnings
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import korvane
import numpy as np
import pandas as pd

from .._data import ComplexArray, FloatArray, spectrum
from ..cli import FIT_METHODS

#: Default largest accepted upload per file, in bytes.
DEFAULT_MAX_UPLOAD = 20 * 1024 * 1024

#: Metadata a spectrum can be ordered by in the trend plot: label -> how to get it.
_META_COLUMNS = {
    "start time / s": ("Test Time / s", "first"),
    "mean voltage / V": ("Voltage / V", "mean"),
    "mean current / A": ("Current / A", "mean"),
}

WEIGHTS = ("modulus", "unit")
METHODS = FIT_METHODS


@dataclass
class Spectrum:
    """One loaded spectrum and the rows the user has excluded from every use."""

    id: int
    name: str
    frame: Any  # the BDF frame as read, attrs included
    frequencies: FloatArray
    impedances: ComplexArray
    excluded: set[int] = field(default_factory=set)
    metadata: dict[str, float] = field(default_factory=dict)

    def included(self) -> np.ndarray[Any, np.dtype[np.intp]]:
        keep = np.ones(self.frequencies.size, dtype=bool)
        keep[sorted(self.excluded)] = False
        return np.flatnonzero(keep)

    def data(self) -> tuple[FloatArray, ComplexArray]:
        """The spectrum without its excluded rows: what checks and fits see."""
        rows = self.included()
        return self.frequencies[rows], self.impedances[rows]


@dataclass(frozen=True)
class FitSettings:
    """Everything the fit controls hold; the same for one spectrum and for a batch."""

    circuit: str
    method: str = "levenberg_marquardt"
    weight: str = "modulus"
    max_iterations: int | None = None
    seed: int | None = None
    fixed: Mapping[str, float] = field(default_factory=dict)
    bounds: Mapping[str, tuple[float | None, float | None]] = field(default_factory=dict)
    start: Mapping[str, float] | None = None  # every parameter's start, or None: guess

    def parsed(self) -> korvane.Circuit:
        """The circuit; ``ValueError`` with the caret under the text when it does not parse."""
        text = self.circuit.strip()
        if not text:
            raise ValueError("type a circuit string or choose a trained topology")
        return korvane.Circuit(text)

    def fit_kwargs(self) -> dict[str, Any]:
        if self.method not in METHODS:
            raise ValueError(f"unknown method {self.method!r}")
        if self.weight not in WEIGHTS:
            raise ValueError(f"unknown weight {self.weight!r}")
        kwargs: dict[str, Any] = {"method": self.method, "weight": self.weight}
        if self.max_iterations is not None:
            kwargs["max_iterations"] = self.max_iterations
        if self.seed is not None:
            kwargs["seed"] = self.seed
        if self.fixed:
            kwargs["fixed"] = dict(self.fixed)
        if self.bounds:
            kwargs["bounds"] = dict(self.bounds)
        return kwargs


@dataclass(frozen=True)
class FitRecord:
    """A finished fit of one spectrum, with what it was made from."""

    settings: FitSettings
    result: Any  # korvane_tools.ConstrainedFitResult
    excluded: tuple[int, ...]
    warnings: tuple[str, ...]


@dataclass
class BatchJob:
    """A fit of one circuit to many spectra, run on a background thread."""

    settings: FitSettings
    ids: list[int]
    done: int = 0
    started: float = field(default_factory=time.monotonic)
    finished: float | None = None
    table: pd.DataFrame | None = None
    error: str | None = None
    cancel: threading.Event = field(default_factory=threading.Event)
    excluded: dict[int, tuple[int, ...]] = field(default_factory=dict)

    @property
    def running(self) -> bool:
        return self.finished is None

    @property
    def total(self) -> int:
        return len(self.ids)


class UploadRefused(ValueError):
    """An upload the app does not read (too large, not decodable)."""


class Session:
    """The spectra, exclusions, fits and batch of one running app."""

    def __init__(self, max_upload: int = DEFAULT_MAX_UPLOAD) -> None:
        self.max_upload = max_upload
        self._lock = threading.RLock()
        self._next_id = 0
        self.spectra: dict[int, Spectrum] = {}
        self.fits: dict[int, FitRecord] = {}
        self.batch: BatchJob | None = None

    # -- loading ------------------------------------------------------------------

    def add_file(self, path: str | os.PathLike[str], name: str | None = None) -> list[Spectrum]:
        """Read every spectrum of one file; ``ValueError`` naming file and line if unreadable."""
        from ..io import read_spectra

        frames = read_spectra(path)
        label = name or Path(path).name
        added = []
        with self._lock:
            for i, frame in enumerate(frames):
                f, z = spectrum(frame)
                title = label if len(frames) == 1 else f"{label} #{i + 1}"
                if "cycle" in frame.attrs:
                    title = f"{label} cycle {frame.attrs['cycle']}"
                frame.attrs["source"] = label  # never the server's temporary path
                entry = Spectrum(self._next_id, title, frame, f, z, metadata=_metadata(frame))
                self.spectra[entry.id] = entry
                self._next_id += 1
                added.append(entry)
        return added

    def add_upload(self, filename: str, contents: str) -> list[Spectrum]:
        """Read an upload (a ``data:...;base64,`` URL as the browser sends it)."""
        name = Path(filename.replace("\\", "/")).name or "upload"
        _, _, payload = contents.partition(",")
        # Base64 carries 3 bytes in 4 characters: refuse before decoding.
        size = len(payload) * 3 // 4
        if size > self.max_upload:
            raise self.too_large(name, size)
        try:
            raw = base64.b64decode(payload, validate=True)
        except ValueError:
            raise UploadRefused(f"{name}: the browser sent something that is not a file") from None
        # The readers take paths (they sniff the format from the content and
        # name the file in their messages): a private temporary copy, named
        # like the upload, that is gone once read.
        with tempfile.TemporaryDirectory(prefix="korvane-app-") as folder:
            path = Path(folder) / name
            path.write_bytes(raw)
            try:
                return self.add_file(path, name)
            except ValueError as exc:
                raise ValueError(str(exc).replace(str(path), name)) from None

    def too_large(self, name: str, size: int) -> UploadRefused:
        return UploadRefused(
            f"{name}: {_megabytes(size)} is over the upload limit of "
            f"{_megabytes(self.max_upload)}; start korvane-app with a larger "
            "--max-upload-mb to read it"
        )

    def remove_all(self) -> None:
        with self._lock:
            self.spectra.clear()
            self.fits.clear()

    def get(self, sid: Any) -> Spectrum | None:
        try:
            return self.spectra.get(int(sid))
        except (TypeError, ValueError):
            return None

    def toggle_excluded(self, sid: int, row: int) -> None:
        with self._lock:
            entry = self.spectra.get(sid)
            if entry is None or not 0 <= row < entry.frequencies.size:
                return
            entry.excluded ^= {row}

    # -- fitting ------------------------------------------------------------------

    def fit(self, sid: int, settings: FitSettings) -> FitRecord:
        """Fit one spectrum; ``ValueError`` for a circuit or settings the fit refuses."""
        from ..constrained import fit

        entry = self.spectra[sid]
        circuit = settings.parsed()
        kwargs = settings.fit_kwargs()
        if settings.start is not None:
            circuit = circuit.with_named_values(dict(settings.start))
            kwargs["guess_init"] = False
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = fit(circuit, entry.data(), **kwargs)
        record = FitRecord(
            settings, result, tuple(sorted(entry.excluded)), tuple(str(w.message) for w in caught)
        )
        with self._lock:
            self.fits[sid] = record
        return record

    def start_batch(self, settings: FitSettings, ids: Iterable[int] | None = None) -> BatchJob:
        """Fit every (or the given) spectrum on a background thread; poll ``batch``."""
        settings.parsed()  # a circuit that does not parse is refused here, not per spectrum
        settings.fit_kwargs()
        with self._lock:
            if self.batch is not None and self.batch.running:
                raise RuntimeError("a batch is already running")
            chosen = list(self.spectra) if ids is None else [i for i in ids if i in self.spectra]
            if not chosen:
                raise ValueError("no spectra loaded")
            job = BatchJob(settings, chosen)
            job.excluded = {sid: tuple(sorted(self.spectra[sid].excluded)) for sid in chosen}
            data = {sid: self.spectra[sid].data() for sid in chosen}
            self.batch = job
        threading.Thread(target=self._run_batch, args=(job, data), daemon=True).start()
        return job

    def _run_batch(self, job: BatchJob, data: dict[int, tuple[FloatArray, ComplexArray]]) -> None:
        from ..batch import fit_many

        circuit = job.settings.parsed()
        kwargs = job.settings.fit_kwargs()
        workers = os.cpu_count() or 1
        # Chunks of a few fits per core: the bar moves several times a second
        # while the pool stays busy within each chunk.
        step = max(workers, min(4 * workers, job.total // 20 or 1))
        parts = []
        try:
            for start in range(0, job.total, step):
                if job.cancel.is_set():
                    job.error = "stopped"
                    break
                chunk = job.ids[start : start + step]
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # one warning per spectrum would drown the page
                    parts.append(
                        fit_many(
                            circuit,
                            {sid: data[sid] for sid in chunk},
                            workers=workers,
                            progress=False,
                            **kwargs,
                        )
                    )
                job.done += len(chunk)
            if parts:
                table = pd.concat(parts, ignore_index=True)
                names = [self.spectra[i].name if i in self.spectra else str(i) for i in table["id"]]
                table.insert(1, "spectrum", names)
                excluded = [" ".join(map(str, job.excluded[i])) for i in table["id"]]
                table.insert(2, "excluded points", excluded)
                job.table = table
        except Exception as exc:  # the page must learn of it, not a log nobody reads
            job.error = f"{type(exc).__name__}: {exc}"
        finally:
            job.finished = time.monotonic()

    def trend_axes(self, job: BatchJob) -> dict[str, list[float]]:
        """x values a batch's parameters can be plotted against, in the batch's order."""
        axes: dict[str, list[float]] = {"file order": [float(i + 1) for i in range(job.total)]}
        entries = [self.spectra.get(i) for i in job.ids]
        for label in ("cycle", *_META_COLUMNS):
            values = [e.metadata.get(label, math.nan) if e else math.nan for e in entries]
            if any(math.isfinite(v) for v in values):
                axes[label] = values
        return axes


def _megabytes(size: int) -> str:
    return f"{size / 1024 / 1024:.3g} MB"


def _metadata(frame: Any) -> dict[str, float]:
    out: dict[str, float] = {}
    cycle = frame.attrs.get("cycle")
    if isinstance(cycle, (int, float)):
        out["cycle"] = float(cycle)
    for label, (column, how) in _META_COLUMNS.items():
        if column in frame.columns:
            values = pd.to_numeric(frame[column], errors="coerce").to_numpy(dtype=float)
            values = values[np.isfinite(values)]
            if values.size:
                out[label] = float(values[0] if how == "first" else values.mean())
    return out
