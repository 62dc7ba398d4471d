import os
import sys
from pathlib import Path

# The companion package is tested from the source tree, against the module
# (and its native helper) built by tools/dev.sh.
_root = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(_root / "python"))
sys.path.insert(0, str(_root / "tests" / "support"))  # helpers shared with tests/python
_build = os.environ.get("KORVANE_BUILD_DIR")
if _build:
    sys.path.insert(0, _build)

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
