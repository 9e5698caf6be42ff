"""``python -m tarvo``: the same as the ``tarvo`` command."""

import sys

from .cli import main

sys.exit(main())
