import os
import sys
from pathlib import Path

# Helpers shared with the companion's tests (tests/support/*.py).
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

# Tests run against the module built by tools/dev.sh in its build directory;
# without KORVANE_BUILD_DIR they use whatever `import korvane` finds.
_build = os.environ.get("KORVANE_BUILD_DIR")
if _build:
    sys.path.insert(0, _build)
