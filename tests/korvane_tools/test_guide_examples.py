"""The examples of README.md and the user guide run.

Every ```python block of a document runs, in order and in one namespace, as a
reader pasting them one after another would run them, so the documents
cannot drift from the code. A block whose first line is "# not run" is
skipped. A block with an ``if __name__ == "__main__":`` guard is a script (a
process pool, a local Dask cluster re-imports it in its workers): it runs on
its own, as ``python block.py``, in a fresh interpreter. The ``korvane-fit``
command lines (indented four spaces) run too. The documents may use REPO and
SHARED_DATA (pathlib paths) for files, or paths relative to the repository
root; files they write land in a scratch folder.
"""

from __future__ import annotations

import glob
import os
import re
import shlex
import subprocess
import sys
import traceback
from pathlib import Path

import pytest
from shared_data import SHARED_DATA

REPO = Path(__file__).resolve().parents[2]
DOCUMENTS = ["docs/guide.md", "README.md"]
FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)
SCRIPT = re.compile(r"^if __name__ == .__main__.:", re.MULTILINE)
COMMAND = re.compile(r"^    korvane-fit (.*)$", re.MULTILINE)


def doc_blocks(text: str) -> list[tuple[int, str]]:
    """(first line number, code) of every block to run."""
    blocks = []
    for match in FENCE.finditer(text):
        code = match.group(1)
        if code.split("\n", 1)[0].strip() == "# not run":
            continue
        blocks.append((text.count("\n", 0, match.start(1)) + 1, code))
    return blocks


def test_fences_are_found_and_marked_blocks_skipped() -> None:
    text = "a\n```python\nx = 1\n```\n\n```python\n# not run\nboom()\n```\n```text\ny\n```\n"
    assert doc_blocks(text) == [(3, "x = 1\n")]


def run(what: str, args: list[str]) -> None:
    """A program in a fresh interpreter, with this tree's packages importable."""
    paths = [str(REPO / "python"), os.environ.get("KORVANE_BUILD_DIR", ""), str(REPO)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))
    done = subprocess.run(
        [sys.executable, *args], env=env, capture_output=True, text=True, timeout=300
    )
    if done.returncode != 0:
        pytest.fail(f"{what} fails\n{done.stderr}", pytrace=False)


def run_script(path: Path, line: int, code: str) -> None:
    script = Path(f"block_{line}.py")
    script.write_text(code, encoding="utf-8")
    run(f"the script at {path.name}:{line} (lines counted from the block)", [str(script)])


def run_commands(path: Path, text: str) -> None:
    """The korvane-fit lines, their wildcards expanded as a shell would."""
    for match in COMMAND.finditer(text):
        args = [
            name
            for word in shlex.split(match.group(1))
            for name in (sorted(glob.glob(word)) if "*" in word else [word])
        ]
        where = f"the command at {path.name}:{text.count(chr(10), 0, match.start()) + 1}"
        run(where, ["-m", "korvane_tools", "fit", *args])  # korvane-fit is korvane fit
        out = args[args.index("--out") + 1] if "--out" in args else None
        assert out is None or Path(out).is_file(), f"{where} wrote no {out}"


@pytest.mark.parametrize("document", DOCUMENTS)
def test_document_examples_run(
    document: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    path = REPO / document
    text = path.read_text(encoding="utf-8")
    blocks = doc_blocks(text)
    assert blocks, f"{document} has no python examples"
    # A reader runs the examples from the repository root; here they run in a
    # scratch folder that links the root's entries, so "examples/data/..."
    # reads as there while the files an example writes stay out of the tree.
    for entry in REPO.iterdir():
        if not entry.name.startswith(".") and entry.name != "build":
            (tmp_path / entry.name).symlink_to(entry)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    namespace: dict[str, object] = {
        "__name__": "__doc_example__",
        "REPO": REPO,
        "SHARED_DATA": SHARED_DATA,
    }
    try:
        for line, code in blocks:
            if SCRIPT.search(code):
                run_script(path, line, code)
                continue
            # Padding keeps the document's own line numbers in a traceback.
            try:
                exec(compile("\n" * (line - 1) + code, str(path), "exec"), namespace)
            except Exception as error:
                # The document's frames and the error, not pytest's listing of
                # the whole document up to the failing line.
                frames = [
                    frame
                    for frame in traceback.extract_tb(error.__traceback__)
                    if frame.filename == str(path)
                ]
                where = "".join(traceback.format_list(frames))
                pytest.fail(
                    f"the example at {document}:{line} fails\n{where}"
                    + "".join(traceback.format_exception_only(error)),
                    pytrace=False,
                )
        run_commands(path, text)
    finally:
        if "matplotlib.pyplot" in sys.modules:
            sys.modules["matplotlib.pyplot"].close("all")
