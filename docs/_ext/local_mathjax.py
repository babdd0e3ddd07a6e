"""MathJax served with the site, so that formulas render offline and no page asks a CDN.

MathJax 3 comes from PyPI in the ``django-static-mathjax`` distribution (MathJax's own release
files, Apache-2.0, under the module ``mathjax``; no Django needed). The build copies the
component the pages load (TeX and MathML input, CommonHTML output) and what it loads on demand
(fonts, TeX extensions, the menu) into ``_static/mathjax``; ``conf.py`` points
``mathjax_path`` there.
"""

from __future__ import annotations

import importlib.util
import shutil
from pathlib import Path
from typing import Any

from sphinx.application import Sphinx
from sphinx.errors import ExtensionError

#: The path ``mathjax_path`` names, relative to the site's ``_static``.
COMPONENT = "mathjax/tex-mml-chtml.js"
#: What the component loads, relative to MathJax's release folder (es5).
PARTS = ("tex-mml-chtml.js", "output/chtml", "input/tex/extensions", "ui", "a11y")


def release_folder() -> Path:
    spec = importlib.util.find_spec("mathjax")
    if spec is None or spec.origin is None:
        raise ExtensionError(
            "MathJax is not installed: pip install django-static-mathjax (the docs group)"
        )
    folder = Path(spec.origin).parent / "static" / "mathjax" / "es5"
    if not (folder / PARTS[0]).is_file():
        raise ExtensionError(f"no MathJax release in {folder}")
    return folder


def copy_mathjax(app: Sphinx, exception: Exception | None) -> None:
    if exception is not None or app.builder.format != "html":
        return
    source = release_folder()
    target = Path(app.outdir) / "_static" / "mathjax"
    for part in PARTS:
        if (source / part).is_dir():
            shutil.copytree(source / part, target / part, dirs_exist_ok=True)
        else:
            target.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source / part, target / part)


def setup(app: Sphinx) -> dict[str, Any]:
    release_folder()  # fail at the start of a build, not at its end
    app.connect("build-finished", copy_mathjax)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
