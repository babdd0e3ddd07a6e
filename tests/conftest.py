"""Shared test set-up: the layers the wheel and sanitizer runs guard, and real radar volumes.

The whole suite runs once in CI. The wheel in a fresh environment and the build under
AddressSanitizer and UndefinedBehaviorSanitizer guard the extension modules and the package's
conversion of user data into their arrays, so they take only the tests marked ``core``: the
tests of these modules (``pytest -m core``). The tutorials, the radar layer and the command line
above them are pure Python over the same modules and are not run again.

Real radar volumes shared by the test modules: the arm-pyart wheel's NEXRAD Level II files
(bzip2-compressed there, decompressed here once per session) and FMI's Korpo ODIM_H5 volume
(copied from the pyart-mch wheel by scripts/test; see scripts/common.sh install_test_data).
"""

import bz2
import sys
from pathlib import Path

import pytest

CORE_MODULES = frozenset(
    {
        "test_cold_pool",
        "test_consistency_stats",
        "test_decode",
        "test_gradient",
        "test_kdp_rays",
        "test_lowlevel_docs",
        "test_nexrad",
        "test_offset_stats",
        "test_package",
        "test_phidp_rays",
        "test_profile",
        "test_properties",
        "test_robustness",
        "test_runners",
        "test_thermo",
        "test_vad",
        "test_vad_sweep",
    }
)


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        if item.module is not None and item.module.__name__ in CORE_MODULES:
            item.add_marker(pytest.mark.core)


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
