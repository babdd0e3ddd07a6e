"""Marks the tests of the layers that the wheel and sanitizer runs guard.

The whole suite runs once in CI. The wheel in a fresh environment and the build under
AddressSanitizer and UndefinedBehaviorSanitizer guard the extension modules and the package's
conversion of user data into their arrays, so they take only the tests marked ``core``: the
tests of these modules (``pytest -m core``). The tutorials, the radar layer and the command line
above them are pure Python over the same modules and are not run again.
"""

import pytest

CORE_MODULES = frozenset(
    {
        "test_cold_pool",
        "test_consistency_stats",
        "test_gradient",
        "test_lowlevel_docs",
        "test_offset_stats",
        "test_package",
        "test_phidp_rays",
        "test_profile",
        "test_properties",
        "test_robustness",
        "test_runners",
        "test_thermo",
        "test_vad",
    }
)


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        if item.module is not None and item.module.__name__ in CORE_MODULES:
            item.add_marker(pytest.mark.core)
