"""Fuzzing the instrument-file readers with damaged copies of real files.

Each case takes one instrument file (the shared measured files and the test
data), damages it (flipped bytes, a cut, duplicated, removed or swapped
lines, inserted garbage: random bytes, odd numbers, a very long field, a
stray header or segment tag) and reads it with ``korvane_tools.read_spectra``
twice: line by line and, where the file allows, through the vectorised
reading of large tables. Every outcome must be

* a list of frames, the same both ways, or
* a ``ValueError`` or ``OSError`` whose message names the file, the same
  both ways,

within a time bound per read; anything else (another exception, a read
that does not end, the two ways disagreeing) is a failure, printed with the
case number so ``--case N`` repeats it, and saved with ``--save DIR``.

    python tests/korvane_tools/reader_fuzz_tool.py [--count N] [--seed S]
        [--seconds BUDGET] [--case N] [--save DIR]

Exit status 1 when a case failed.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import signal
import sys
import tempfile
import time
import traceback
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np

_HERE = Path(__file__).resolve().parent
_ROOT = _HERE.parents[1]
sys.path.insert(0, str(_ROOT / "python"))

import korvane_tools as kt  # noqa: E402
from korvane_tools.readers import _formats  # noqa: E402

#: Seconds one read may take: the seed files are small, so a read that takes
#: longer is stuck (a loop that does not end, a quadratic blow-up).
READ_SECONDS = 5.0

_GARBAGE = [
    b"nan", b"inf", b"-", b"1e", b"\xb2", "²".encode(), b"\x00", b"\xff\xfe", b"\r", b"\r\r\n",
    b'"', b",,,", b"\t\t", b";", b"#", b"<Segment1>", b"</Segment1>", b"ZCURVE\tTABLE\t3\n",
    b"Nb header lines : 3\n", b"End Comments\n", b"Definition=a,b\n", b"1e400", b"-0",
    b"cycle number", b"freq,zreal,zimag\n", b"\xe2\x88\x92", b"\xc3",
]  # fmt: skip


class _Stuck(Exception):
    pass


def _seeds() -> list[Path]:
    shared = next(
        (p / "shared" / "data" for p in _ROOT.parents if (p / "shared" / "data").is_dir()), None
    )
    folders = [_HERE / "data"]
    if shared is not None:
        folders += [shared / "instrument-files", shared / "instrument-files-more"]
    skip = (".md", ".mpr", ".ism", ".pssession", ".idf")
    return sorted(
        p
        for folder in folders
        for p in folder.rglob("*")
        if p.is_file()
        and "LICENSE" not in p.name
        and p.suffix not in skip
        and p.name != "SHA256SUMS"
    )


def _mutate(data: bytes, rng: np.random.Generator) -> tuple[bytes, str]:
    """One to three damages of ``data``, with a description."""
    done = []
    for _ in range(int(rng.integers(1, 4))):
        kind = int(rng.integers(0, 7))
        lines = data.split(b"\n")
        if kind == 0 and data:  # flip bytes
            out = bytearray(data)
            for _ in range(int(rng.integers(1, 8))):
                out[int(rng.integers(0, len(out)))] ^= 1 << int(rng.integers(0, 8))
            data, what = bytes(out), "flip"
        elif kind == 1 and data:  # cut
            data, what = data[: int(rng.integers(0, len(data)))], "cut"
        elif kind == 2:  # duplicate lines
            i = int(rng.integers(0, len(lines)))
            lines[i:i] = lines[i : i + int(rng.integers(1, 40))] * int(rng.integers(1, 4))
            data, what = b"\n".join(lines), "duplicate"
        elif kind == 3 and len(lines) > 1:  # remove lines
            i = int(rng.integers(0, len(lines)))
            del lines[i : i + int(rng.integers(1, 5))]
            data, what = b"\n".join(lines), "remove"
        elif kind == 4 and len(lines) > 2:  # swap two lines
            i, j = (int(k) for k in rng.integers(0, len(lines), 2))
            lines[i], lines[j] = lines[j], lines[i]
            data, what = b"\n".join(lines), "swap"
        elif kind == 5:  # insert garbage
            at = int(rng.integers(0, len(data) + 1))
            if rng.random() < 0.2:
                junk = bytes(rng.integers(0, 256, int(rng.integers(1, 64)), dtype=np.uint8))
            elif rng.random() < 0.05:
                junk = b"7" * int(rng.integers(100_000, 300_000))
            else:
                junk = _GARBAGE[int(rng.integers(0, len(_GARBAGE)))]
            data, what = data[:at] + junk + data[at:], "insert"
        else:  # replace a number with another spelling of a number
            at = int(rng.integers(0, len(data) + 1))
            data, what = data[:at] + b"1,5E+003" + data[at + 8 :], "overwrite"
        done.append(what)
    return data, "+".join(done)


@contextmanager
def _time_bound(seconds: float) -> Iterator[None]:
    if not hasattr(signal, "setitimer"):
        yield
        return

    def stuck(signum: int, frame: Any) -> None:
        raise _Stuck

    previous = signal.signal(signal.SIGALRM, stuck)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def _outcome(path: Path, fast_min: int) -> tuple[str, str]:
    """("frames", digest) or ("error", message); raises for anything else."""
    saved = _formats.FAST_MIN
    _formats.FAST_MIN = fast_min
    try:
        with _time_bound(READ_SECONDS):
            frames = kt.read_spectra(path)
    except (ValueError, OSError) as err:
        if str(path) not in str(err):
            raise AssertionError(f"error does not name the file: {err!r}") from err
        return "error", f"{type(err).__name__}: {err}"
    finally:
        _formats.FAST_MIN = saved
    digest = hashlib.sha256()
    for frame in frames:
        digest.update(repr(list(frame.columns)).encode())
        digest.update(frame.to_numpy().tobytes())
    return "frames", f"{len(frames)} spectra {digest.hexdigest()[:16]}"


def run(
    count: int,
    seed: int,
    seconds: float = float("inf"),
    only: int | None = None,
    save: Path | None = None,
    say: Callable[[str], None] = print,
) -> int:
    """Run the cases; the number that failed."""
    seeds = _seeds()
    failures = done = 0
    start = time.monotonic()
    with tempfile.TemporaryDirectory() as tmp:
        for case in range(count) if only is None else [only]:
            if time.monotonic() - start > seconds:
                break
            rng = np.random.default_rng([seed, case])
            source = seeds[int(rng.integers(0, len(seeds)))]
            data, what = _mutate(source.read_bytes(), rng)
            path = Path(tmp) / f"case{case}{source.suffix}"
            path.write_bytes(data)
            try:
                slow = _outcome(path, 1 << 62)
                fast = _outcome(path, 0)
                if slow != fast:
                    raise AssertionError(f"line by line {slow} but vectorised {fast}")
            except BaseException as err:
                if isinstance(err, KeyboardInterrupt):
                    raise
                failures += 1
                kind = "stuck" if isinstance(err, _Stuck) else type(err).__name__
                say(f"case {case} ({source.name}, {what}): {kind}")
                say("".join(traceback.format_exception(err)[-3:]).rstrip())
                if save is not None:
                    save.mkdir(parents=True, exist_ok=True)
                    (save / path.name).write_bytes(data)
            done += 1
            os.remove(path)
    say(f"{done} cases, {failures} failed ({time.monotonic() - start:.1f} s, seed {seed})")
    return failures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=1000, help="cases to run")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--seconds", type=float, default=float("inf"), help="stop after this")
    parser.add_argument("--case", type=int, help="run this case only")
    parser.add_argument("--save", type=Path, help="write failing files here")
    args = parser.parse_args()
    sys.exit(1 if run(args.count, args.seed, args.seconds, args.case, args.save) else 0)


if __name__ == "__main__":
    main()
