"""Where the shared instrument files sit, for the companion's tests.

Kept out of conftest.py: two test folders each have a conftest module, and
`from conftest import ...` found whichever of them pytest had imported first.
"""

from pathlib import Path

_root = Path(__file__).resolve().parents[2]

# shared/ sits beside the clone; a git worktree one level deeper finds it
# beside an ancestor.
SHARED_DATA = next(
    (
        p / "shared" / "data" / "instrument-files"
        for p in _root.parents
        if (p / "shared" / "data" / "instrument-files").is_dir()
    ),
    _root.parent / "shared" / "data" / "instrument-files",
)
