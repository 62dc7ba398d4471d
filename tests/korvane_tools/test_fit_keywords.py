"""Circuit.fit's signature, its stub and the guide's table all follow the native table."""

import ast
import inspect
import re
from pathlib import Path

import korvane
from korvane_tools import _native

ROOT = Path(__file__).resolve().parents[2]


def value(text):
    return None if text is None else ast.literal_eval(text)


def test_signature_stub_and_guide_follow_the_keyword_table():
    table = [(name, value(default)) for name, default in _native._fit_keywords()]
    assert len(table) == 19

    parameters = list(inspect.signature(korvane.Circuit.fit).parameters.values())[1:]
    assert [
        (p.name, None if p.default is inspect.Parameter.empty else p.default) for p in parameters
    ] == table

    stub = ast.parse((ROOT / "python" / "korvane.pyi").read_text())
    circuit = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Circuit")
    fit = next(n for n in circuit.body if isinstance(n, ast.FunctionDef) and n.name == "fit")
    names = [a.arg for a in fit.args.args[1:]]
    defaults = [None] * (len(names) - len(fit.args.defaults)) + [
        ast.literal_eval(d) for d in fit.args.defaults
    ]
    assert list(zip(names, defaults)) == table

    # The guide's table: | # | `name` | default | meaning |, numbered from 1.
    rows = re.findall(
        r"^\| (\d+) \| `(\w+)` \| ([^|]+?) \|", (ROOT / "docs" / "guide.md").read_text(), re.M
    )
    guide = [
        (name, None if default == "required" else value(default.strip("`")))
        for _, name, default in rows
    ]
    assert [int(number) for number, _, _ in rows] == list(range(1, 20))
    assert guide == table
