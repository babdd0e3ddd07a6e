"""Real radar volumes shared by the test modules: the arm-pyart wheel's NEXRAD Level II files
(bzip2-compressed there, decompressed here once per session) and FMI's Korpo ODIM_H5 volume
(copied from the pyart-mch wheel by scripts/test; see scripts/common.sh install_test_data)."""

import bz2
import sys
from pathlib import Path

import pytest

KORPO = Path(sys.prefix) / "share" / "bluster-test-data" / "example_radar.polar.fikor.h5"


@pytest.fixture(scope="session")
def pyart_data():
    """The folder of Py-ART's test data."""
    pyart = pytest.importorskip("pyart", reason="the real NEXRAD volumes ship with arm-pyart")
    return Path(pyart.__file__).parent / "testing" / "data"


@pytest.fixture(scope="session")
def level2(pyart_data, tmp_path_factory):
    """KLOT (legacy message 1, 2003) and KATX (message 31, split cuts, dual polarisation,
    dummy values in every gate) as the plain Level II files a radar archive holds."""
    folder = tmp_path_factory.mktemp("level2")
    files = {}
    for site, name in (("KLOT", "msg1"), ("KATX", "msg31")):
        compressed = pyart_data / f"example_nexrad_archive_{name}.bz2"
        files[site] = folder / f"{site}_{name}.ar2v"
        files[site].write_bytes(bz2.decompress(compressed.read_bytes()))
    return files


@pytest.fixture(scope="session")
def korpo():
    """FMI's Korpo C-band ODIM_H5 volume (2 PPI sweeps): aliased VRADH and dealiased VRADDH."""
    if not KORPO.is_file():
        pytest.skip(f"the Korpo volume is not installed at {KORPO} (scripts/test installs it)")
    return KORPO
