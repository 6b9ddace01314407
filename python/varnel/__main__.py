"""``python -m varnel``: see :mod:`varnel.cli`."""

import sys

from .cli import main

sys.exit(main())
