"""The ``bluster`` command line: calibration monitoring and wind profiles over radar archives.

``bluster calibrate`` and ``bluster vad`` run :mod:`bluster.radar` over every volume file of an
archive on Dask and write one time series; ``bluster info`` describes one file. ``main(argv)``
is the entry point of the ``bluster`` console script and of ``python -m bluster``.
"""

from bluster.cli.main import main

__all__ = ["main"]
