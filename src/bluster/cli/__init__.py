"""The ``bluster`` command line: calibration monitoring and wind profiles over radar archives.

``bluster calibrate`` and ``bluster vad`` run :mod:`bluster.radar` over every volume file of an
archive on Dask and write one time series; ``bluster info`` describes one file. ``main(argv)``
runs the command line and returns its exit status; the ``bluster`` console script and
``python -m bluster`` call it through :func:`bluster.cli.main.console`.
"""

from bluster.cli.main import main

__all__ = ["main"]
