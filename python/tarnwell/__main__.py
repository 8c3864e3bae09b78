"""``python -m tarnwell``: the data-directory tool (see tarnwell.cli)."""

import sys

from tarnwell.cli import main

sys.exit(main())
