"""``python -m bluster``: the same command line as the ``bluster`` console script."""

from bluster.cli.main import console

console()
