"""The storm-day demonstration, run small: every recovered quantity within its tolerance."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "examples"))

import storm_day


@pytest.mark.parametrize("n_threads", [1, 2])
def test_storm_day_recovers_the_truth(n_threads):
    lines = []
    checks, _ = storm_day.run_day("small", n_threads, out=lines.append)
    assert checks
    failed = [str(c) for c in checks if not c.ok]
    assert not failed, "\n".join(lines)


def test_storm_day_figure(tmp_path):
    pytest.importorskip("matplotlib")
    from figure import storm_day_figure

    _, ctx = storm_day.run_day("small", 2, out=lambda line: None)
    path = tmp_path / "storm_day.png"
    storm_day_figure(ctx, path)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
