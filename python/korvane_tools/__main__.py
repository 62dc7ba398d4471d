"""``python -m korvane_tools`` is the ``korvane`` command."""

import sys

from .cli import main

sys.exit(main())
