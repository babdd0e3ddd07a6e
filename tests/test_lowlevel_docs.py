"""The stubs' docstrings are the low-level modules' reference (docs/api/lowlevel.md renders
them): their examples must run, and their parameters and messages must be the modules' own."""

import ast
import doctest
import re
from pathlib import Path

import pytest
from test_typing import MODULES, stub_functions

ROOT = Path(__file__).resolve().parents[1]
FUNCTIONS = [(module, name) for module in sorted(MODULES) for name in stub_functions(module)]
SECTIONS = ("Parameters", "Returns", "Raises", "Examples")
# The modules whose every message is quoted in full; _nexrad's name the damaged record, message
# and byte, so its docstrings give their shape ("record R, message at byte B: ...") instead.
MESSAGE_FOLDERS = ("_bluster", "_calibration", "_readers", "_phase", "_wind")


def sections(docstring):
    """numpydoc sections of a docstring: title -> its lines."""
    found, current = {}, []
    lines = docstring.splitlines()
    for line, following in zip(lines, [*lines[1:], ""], strict=True):
        if following and set(following) == {"-"} and len(following) == len(line):
            current = found.setdefault(line, [])
        elif not (line and set(line) == {"-"}):
            current.append(line)
    return found


def docstring_of(module, name):
    return ast.get_docstring(stub_functions(module)[name])


@pytest.mark.parametrize("module, name", FUNCTIONS)
def test_parameters_are_documented_in_order(module, name):
    documented = sections(docstring_of(module, name))
    assert set(SECTIONS) <= set(documented), f"{module}.{name} lacks a section"
    names = [
        line.split(" : ")[0] for line in documented["Parameters"] if re.match(r"^\w+ : ", line)
    ]
    assert names == [arg.arg for arg in stub_functions(module)[name].args.args]


@pytest.mark.parametrize("module, name", FUNCTIONS)
def test_examples_print_what_they_show(module, name):
    test = doctest.DocTestParser().get_doctest(
        docstring_of(module, name), {}, f"{module}.{name}", None, 0
    )
    assert test.examples, f"{module}.{name} has no example"
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=lambda text: pytest.fail(text))
    assert runner.failures == 0


def raised_messages():
    """Every ValueError message of the C++ sources, as a pattern: literal pieces of the
    message expression with `.+` for what is computed (an argument's name, a limit)."""
    patterns = set()
    native = ROOT / "native"
    sources = [p for folder in (*MESSAGE_FOLDERS, "common")
               for p in (native / folder).glob("**/*.[ch]pp")]  # fmt: skip
    for source in sources:
        for call in re.findall(r"invalid_argument\((.*?)\);", source.read_text(), re.S):
            pieces = re.split(r'"((?:[^"\\]|\\.)*)"', call)
            # Odd pieces are literals, even ones the C++ between them.
            pattern = "".join(
                re.escape(p) if i % 2 else (".+" if p.strip(" +\n") else "")
                for i, p in enumerate(pieces)
            )
            patterns.add(pattern)
    return patterns


def documented_messages():
    messages = set()
    for module, name in FUNCTIONS:
        if module not in MESSAGE_FOLDERS:
            continue
        raises = "\n".join(sections(docstring_of(module, name))["Raises"])
        messages |= set(re.findall(r'"([^"]+)"', " ".join(raises.split())))
    return messages


def test_documented_messages_are_the_modules_own():
    patterns, messages = raised_messages(), documented_messages()
    assert patterns, "no messages found in the C++ sources"
    unknown = {m for m in messages if not any(re.fullmatch(p, m) for p in patterns)}
    undocumented = {p for p in patterns if not any(re.fullmatch(p, m) for m in messages)}
    assert not unknown, f"documented but never raised: {unknown}"
    assert not undocumented, f"raised but not documented: {undocumented}"
