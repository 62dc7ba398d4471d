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
