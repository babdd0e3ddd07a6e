"""Every ```python block of README.md runs and prints what the block shows.

A block whose first line starts with `>>>` is a doctest (ELLIPSIS and NORMALIZE_WHITESPACE on).
Any other block runs as a script; if it ends with the comment line `# Output:` followed by
comment lines `# <line>`, what it prints must equal those lines (trailing spaces ignored).
Each block runs in a fresh namespace, from a temporary working directory; blocks in other
languages are not run.
"""

import contextlib
import doctest
import io
import re
from dataclasses import dataclass
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```(?P<language>\w*)\n(?P<code>.*?)^```$", re.MULTILINE | re.DOTALL)
OUTPUT_MARK = "# Output:"
OWN_MODULES = {"_bluster", "_calibration", "_phase", "_wind", "bluster"}


@dataclass
class Block:
    code: str
    line: int  # of the opening fence in README.md

    @property
    def is_doctest(self) -> bool:
        return self.code.lstrip().startswith(">>>")

    def expected_output(self) -> list[str] | None:
        """The lines after a trailing `# Output:` comment, without their `# `, or None."""
        lines = self.code.rstrip().splitlines()
        if OUTPUT_MARK not in lines:
            return None
        shown = lines[len(lines) - lines[::-1].index(OUTPUT_MARK) :]
        assert all(line.startswith("#") for line in shown), (
            f"README.md line {self.line}: every line after {OUTPUT_MARK!r} must be a comment"
        )
        return [line.removeprefix("#").removeprefix(" ").rstrip() for line in shown]


def python_blocks() -> list[Block]:
    text = README.read_text(encoding="utf-8")
    return [
        Block(m["code"], text.count("\n", 0, m.start()) + 1)
        for m in FENCE.finditer(text)
        if m["language"] == "python"
    ]


def skip_without_library(error: ModuleNotFoundError) -> None:
    """A block that needs an optional library (Dask, say) skips where it is not installed."""
    if error.name is None or error.name.split(".")[0] in OWN_MODULES:
        raise error
    pytest.skip(f"{error.name} is not installed")


def run_doctest(block: Block) -> None:
    test = doctest.DocTestParser().get_doctest(block.code, {}, "README.md", str(README), block.line)
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=flags)
    runner.run(test, out=report.write)
    assert runner.failures == 0, report.getvalue()


def run_script(block: Block) -> None:
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(block.code, f"README.md, block at line {block.line}", "exec"), {})
    expected = block.expected_output()
    if expected is not None:
        assert [line.rstrip() for line in printed.getvalue().splitlines()] == expected


def run_block(block: Block) -> None:
    (run_doctest if block.is_doctest else run_script)(block)


BLOCKS = python_blocks()


def test_readme_has_python_blocks():
    # The README is the front page: its example; the reference's examples live in the stubs'
    # docstrings (tests/test_lowlevel_docs.py) and the tutorials (run by scripts/docs).
    assert len(BLOCKS) >= 1


@pytest.mark.parametrize("block", BLOCKS, ids=[f"line{b.line}" for b in BLOCKS])
def test_readme_block(block, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    try:
        run_block(block)
    except ModuleNotFoundError as error:
        skip_without_library(error)


@pytest.mark.parametrize(
    "code", ["print(1)\n# Output:\n# 2\n", ">>> print(1)\n2\n"], ids=["script", "doctest"]
)
def test_readme_check_fails_on_other_output(code):
    with pytest.raises(AssertionError):
        run_block(Block(code, line=1))


def test_install_page_names_every_package_of_the_test_group():
    """docs/install.md says what `scripts/test` installs: every distribution of the `test`
    group, as pyproject.toml lists it (through scripts/requirements.py, as the scripts do)."""
    import subprocess
    import sys

    root = README.parent
    listed = subprocess.run(
        [sys.executable, str(root / "scripts" / "requirements.py"), "test"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    page = (root / "docs" / "install.md").read_text().lower()
    names = {re.split(r"[\[<>=!~ ]", requirement)[0].lower() for requirement in listed}
    assert sorted(name for name in names if name not in page) == []
