"""The user guide's examples run.

Every ```python block of docs/guide.md runs, in order and in one namespace,
as a reader pasting them one after another would run them, so the guide
cannot drift from the code. A block whose first line is "# not run" is
skipped. The guide may use REPO and SHARED_DATA (pathlib paths) for files,
or paths relative to the repository root.
"""

from __future__ import annotations

import re
import sys
import traceback
from pathlib import Path

import pytest
from conftest import SHARED_DATA

REPO = Path(__file__).resolve().parents[2]
GUIDE = REPO / "docs" / "guide.md"
FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


def guide_blocks(text: str) -> list[tuple[int, str]]:
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
    assert guide_blocks(text) == [(3, "x = 1\n")]


def test_guide_examples_run(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    blocks = guide_blocks(GUIDE.read_text(encoding="utf-8"))
    assert blocks, "docs/guide.md has no python examples"
    # A reader runs the examples from the repository root; here they run in a
    # scratch folder that links the root's entries, so "examples/data/..."
    # reads as there while the files an example writes stay out of the tree.
    for entry in REPO.iterdir():
        if not entry.name.startswith(".") and entry.name != "build":
            (tmp_path / entry.name).symlink_to(entry)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    namespace: dict[str, object] = {
        "__name__": "__guide__",
        "REPO": REPO,
        "SHARED_DATA": SHARED_DATA,
    }
    try:
        for line, code in blocks:
            # Padding keeps the guide's own line numbers in a traceback.
            try:
                exec(compile("\n" * (line - 1) + code, str(GUIDE), "exec"), namespace)
            except Exception as error:
                # The guide's frames and the error, not pytest's listing of
                # the whole guide up to the failing line.
                frames = [
                    frame
                    for frame in traceback.extract_tb(error.__traceback__)
                    if frame.filename == str(GUIDE)
                ]
                where = "".join(traceback.format_list(frames))
                pytest.fail(
                    f"the example at docs/guide.md:{line} fails\n{where}"
                    + "".join(traceback.format_exception_only(error)),
                    pytrace=False,
                )
    finally:
        if "matplotlib.pyplot" in sys.modules:
            sys.modules["matplotlib.pyplot"].close("all")
