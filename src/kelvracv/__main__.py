"""``python -m kelvracv``: the command line (see kelvracv.cli)."""

import sys

from kelvracv.cli import main

sys.exit(main())
