"""Fuzzing of korvane_tools.load and of the pickle states of Circuit and FitResult.

Saved documents (circuits, plain and constrained fit results, reports) are
mutated at random — a value replaced by one of many hostile values, a key
removed or added, the text cut or a byte changed — and loaded; pickle states
get the same treatment field by field and go to the private reconstructors.
Every outcome must be a valid object (it saves and loads again) or a
ValueError naming the file (load) or a ValueError/TypeError naming the state
field (reconstructors). Anything else is a failure, printed with the seed and
iteration that reproduce it.

    python tests/korvane_tools/serial_fuzz_tool.py [--seconds 60] [--seed 1]

Exit status 0 when nothing failed, 1 otherwise.
"""

from __future__ import annotations

import argparse
import copy
import json
import math
import random
import struct
import sys
import tempfile
import time
import traceback
from pathlib import Path
from typing import Any

import korvane
import korvane_tools as kt
import numpy as np

HOSTILE: list[Any] = [
    None,
    True,
    False,
    0,
    -1,
    1,
    2**63,
    2**64,
    10**50,
    -0.0,
    1e308,
    1e-320,
    "inf",
    "-inf",
    "nan",
    "nan:0x7ff0000000000001",
    "nan:0xzz",
    "",
    "R0",
    "R0.r",
    "R0-(R1,C1)",
    "(",
    "\x00",
    [],
    [1.0],
    [None],
    ["R0.r"],
    {},
    {"R0.r": 1.0},
    [[[[]]]],
]


def _samples() -> dict[str, Any]:
    f = np.logspace(4, -1, 20)
    circuit = korvane.Circuit("R0-(R1,C1)-(R2,CPE2)")
    z = circuit.with_values([10.0, 100.0, 1e-5, 50.0, 1e-3, 0.85]).impedance(f)
    start = circuit.with_values([12.0, 80.0, 2e-5, 40.0, 2e-3, 0.8])
    plain = start.fit(f, z)
    return {
        "circuit": korvane.Series(
            [korvane.R(1.0), korvane.Parallel([korvane.R(2.0), korvane.C(1e-6)])]
        ),
        "trained": korvane.Circuit("randles"),
        "fit": plain,
        "constrained": kt.fit(start, (f, z), fixed={"R0.r": 10.0}, bounds={"R1.r": (1.0, 90.0)}),
        "report": kt.report(plain, (f, z)),
    }


def _paths(node: Any, prefix: tuple[Any, ...] = ()) -> list[tuple[Any, ...]]:
    out = [prefix]
    if isinstance(node, dict):
        for key, value in node.items():
            out += _paths(value, (*prefix, key))
    elif isinstance(node, list):
        for i, value in enumerate(node):
            out += _paths(value, (*prefix, i))
    return out


def _mutate_document(rng: random.Random, document: Any) -> Any:
    document = copy.deepcopy(document)
    for _ in range(rng.choice((1, 1, 2, 3))):
        path = rng.choice(_paths(document)[1:])
        parent = document
        for key in path[:-1]:
            parent = parent[key]
        last = path[-1]
        action = rng.random()
        if action < 0.6:
            parent[last] = copy.deepcopy(rng.choice(HOSTILE))
        elif action < 0.8:
            del parent[last]
        elif isinstance(parent, dict):
            parent[rng.choice(("extra", "fixed", "bounds", "at_bound", "stderr"))] = copy.deepcopy(
                rng.choice(HOSTILE)
            )
        else:
            parent.append(copy.deepcopy(parent[last]))
    return document


def _mutate_text(rng: random.Random, raw: bytes) -> bytes:
    action = rng.random()
    i = rng.randrange(len(raw))
    if action < 0.3:
        return raw[:i]
    if action < 0.6:
        return raw[:i] + bytes([rng.randrange(256)]) + raw[i + 1 :]
    if action < 0.8:
        return raw[:i] + rng.choice((b"9" * 5000, b"1e400", b"[" * 100000, b"\xff")) + raw[i:]
    return raw[:i] + raw[i:].replace(b"0", b"7", 1)


def _check_loaded(obj: Any, work: Path) -> None:
    again = work / "again.json"
    kt.save(obj, again)
    kt.load(again)


def _fuzz_file(rng: random.Random, raw: bytes, work: Path) -> None:
    path = work / "fuzzed.json"
    if rng.random() < 0.75:
        document = _mutate_document(rng, json.loads(raw))
        raw = json.dumps(document).encode()
    else:
        raw = _mutate_text(rng, raw)
    path.write_bytes(raw)
    try:
        loaded = kt.load(path)
    except ValueError as error:
        if "fuzzed.json" not in str(error):
            raise AssertionError(f"ValueError without the file name: {error}") from None
        return
    _check_loaded(loaded, work)


def _mutate_state(rng: random.Random, state: tuple[Any, ...]) -> tuple[Any, ...]:
    fields = list(state)
    i = rng.randrange(len(fields))
    value = fields[i]
    if isinstance(value, bytes) and value and rng.random() < 0.5:
        numbers = list(struct.unpack(f"<{len(value) // 8}d", value[: len(value) // 8 * 8]))
        if numbers:
            numbers[rng.randrange(len(numbers))] = rng.choice((math.nan, -0.0, 1e300, -1.0))
        fields[i] = struct.pack(f"<{len(numbers)}d", *numbers) + value[len(value) // 8 * 8 :]
    elif isinstance(value, tuple) and value and rng.random() < 0.5:
        items = list(value)
        items[rng.randrange(len(items))] = rng.choice(HOSTILE)
        fields[i] = tuple(items)
    else:
        fields[i] = rng.choice([*HOSTILE, b"", b"\x00" * 7, (), (0,), (5,)])
    if rng.random() < 0.05:
        fields = fields[:-1]
    return tuple(fields)


def _fuzz_state(rng: random.Random, obj: Any) -> None:
    rebuild, state = obj.__reduce__()
    fuzzed = _mutate_state(rng, state)
    try:
        rebuilt = rebuild(*fuzzed)
    except (ValueError, TypeError) as error:
        text = str(error)
        if not (
            "state" in text or "_from_state" in text or "argument" in text or "expected" in text
        ):
            raise AssertionError(f"{type(error).__name__} naming no field: {text}") from None
        return
    rebuilt.__reduce__()  # a valid object reduces again
    repr(rebuilt)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    samples = _samples()
    failures = 0
    iterations = 0
    deadline = time.monotonic() + args.seconds
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        saved = {}
        for name, obj in samples.items():
            kt.save(obj, work / f"{name}.json")
            saved[name] = (work / f"{name}.json").read_bytes()
        states = [samples[k] for k in ("circuit", "trained", "fit")]
        while time.monotonic() < deadline:
            rng = random.Random(f"{args.seed}:{iterations}")
            try:
                if rng.random() < 0.7:
                    _fuzz_file(rng, saved[rng.choice(sorted(saved))], work)
                else:
                    _fuzz_state(rng, rng.choice(states))
            except Exception:  # noqa: BLE001 - every other exception is a finding
                failures += 1
                print(f"FAILED seed {args.seed} iteration {iterations}:", file=sys.stderr)
                traceback.print_exc()
                if failures >= 20:
                    break
            iterations += 1
    print(f"{iterations} cases, {failures} failures (seed {args.seed}, {args.seconds:g} s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
