import os
import sys

# Tests run against the module built by tools/dev.sh in its build directory;
# without KORVANE_BUILD_DIR they use whatever `import korvane` finds.
_build = os.environ.get("KORVANE_BUILD_DIR")
if _build:
    sys.path.insert(0, _build)
