"""``python -m korvane_tools`` is the ``korvane-fit`` command."""

import sys

from .cli import main

sys.exit(main())
