"""Checks of the executed tutorials: none ends on a traceback.

A cell may show an error on purpose (tagged ``raises-exception``), but a tutorial that ends on
one leaves the reader at a failure, with the paths of the machine that built the site in the
traceback. The check warns, which fails the build (``-W``).
"""

from __future__ import annotations

from typing import Any

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util import logging

logger = logging.getLogger(__name__)


def _is_cell(node: nodes.Node) -> bool:
    return isinstance(node, nodes.container) and "cell" in node.get("classes", [])


def _shows_traceback(cell: nodes.Element) -> bool:
    return any(
        "traceback" in block.get("classes", []) for block in cell.findall(nodes.literal_block)
    )


def check_ending(app: Sphinx, doctree: nodes.document) -> None:
    docname = app.env.docname
    if not docname.startswith("tutorials/"):
        return
    cells = list(doctree.findall(_is_cell))
    if cells and _shows_traceback(cells[-1]):
        logger.warning(
            "tutorial %s ends on a traceback: end it on a result (show an expected error "
            "earlier, or its message only)",
            docname,
            location=cells[-1],
        )


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("doctree-read", check_ending)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
