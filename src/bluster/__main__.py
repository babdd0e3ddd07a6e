"""``python -m bluster``: the same command line as the ``bluster`` console script."""

import sys

from bluster.cli import main

sys.exit(main())
