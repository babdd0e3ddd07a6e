"""Document the extension modules from their type stubs.

``_bluster``, ``_calibration``, ``_readers`` and ``_phase`` carry no docstrings of their own:
their contract is written once, in the stubs (``stubs/*-stubs/__init__.pyi``), which type
checkers and editors read. This extension hands autodoc the stub's docstring and signature for
every object of the modules, so the page "Low-level modules" renders that same text, and
nothing can drift.
"""

from __future__ import annotations

import ast
import re
from dataclasses import dataclass
from functools import cache
from pathlib import Path
from typing import Any

from sphinx.application import Sphinx

STUBS = Path(__file__).resolve().parents[2] / "stubs"
MODULES = ("_bluster", "_calibration", "_readers", "_phase")

# Names as the stubs import them, spelled out so that the rendered signature names the real
# objects (and the nitpicky build knows which external names it is allowed to leave unlinked).
QUALIFIED = {
    "ArrayLike": "numpy.typing.ArrayLike",
    "NDArray": "numpy.typing.NDArray",
    "np.": "numpy.",
    "SupportsFloat": "typing.SupportsFloat",
    "SupportsIndex": "typing.SupportsIndex",
    "SupportsInt": "typing.SupportsInt",
}
_QUALIFY = re.compile("|".join(rf"\b{re.escape(name)}" for name in QUALIFIED))


@dataclass(frozen=True)
class StubFunction:
    docstring: str
    signature: str
    return_annotation: str


def _qualify(annotation: str) -> str:
    return _QUALIFY.sub(lambda m: QUALIFIED[m.group(0)], annotation)


@cache
def read_stub(module: str) -> tuple[str, dict[str, StubFunction]]:
    """Module docstring and functions of one module's stub."""
    tree = ast.parse((STUBS / f"{module}-stubs" / "__init__.pyi").read_text())
    functions = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            signature = ast.unparse(node.args)
            functions[node.name] = StubFunction(
                docstring=ast.get_docstring(node) or "",
                signature=f"({_qualify(signature)})",
                return_annotation=_qualify(ast.unparse(node.returns)) if node.returns else "",
            )
    return ast.get_docstring(tree) or "", functions


def _stub_entry(name: str) -> tuple[str, str | None]:
    module, _, attribute = name.partition(".")
    return module, attribute or None


def _docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]):
    module, attribute = _stub_entry(name)
    if module not in MODULES:
        return
    module_doc, functions = read_stub(module)
    text = module_doc if attribute is None else functions[attribute].docstring
    lines[:] = [*text.splitlines(), ""]


def _signature(app: Sphinx, what: str, name: str, obj: Any, options: Any, signature, annotation):
    module, attribute = _stub_entry(name)
    if module not in MODULES or attribute is None:
        return None
    function = read_stub(module)[1][attribute]
    return function.signature, function.return_annotation


def setup(app: Sphinx) -> dict[str, Any]:
    # Before numpydoc (priority 500) turns the docstring's sections into reST.
    app.connect("autodoc-process-docstring", _docstring, priority=100)
    app.connect("autodoc-process-signature", _signature)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
