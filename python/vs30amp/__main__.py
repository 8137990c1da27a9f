"""``python -m vs30amp``: the ``vs30amp`` command."""

import sys

from .cli import main

sys.exit(main())
