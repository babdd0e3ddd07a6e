"""Sphinx configuration of the bluster documentation site (built by ``bash scripts/docs``)."""

import os
import sys
from importlib.metadata import version as _version
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))
# The tutorials run in kernels started from this process: no Py-ART banner in their output.
os.environ.setdefault("PYART_QUIET", "1")

project = "bluster"
author = "the bluster developers"
copyright = "2026, the bluster developers"
release = _version("bluster")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_nb",
    "sphinx_copybutton",
    "stub_docstrings",
    "command_help",
    "local_mathjax",
    "tutorial_checks",
]

# MathJax from the site itself (docs/_ext/local_mathjax.py copies it there), never a CDN.
mathjax_path = "mathjax/tex-mml-chtml.js"

exclude_patterns = ["_build", "jupyter_execute", "**.ipynb_checkpoints"]

# Warnings are errors and every cross-reference must resolve (scripts/docs: -W -n). The build
# runs offline, so there is no intersphinx inventory for NumPy, xarray or the standard library:
# names from those namespaces stay unlinked, and only they may.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|xarray|typing|collections|os|pathlib|pint|dask|distributed|pyart)(\..*)?"),
    (r"py:.*", r"(array_like|array-like|optional|default|callable|scalar)"),
    # pybind11's name for a bytes-like argument in the signatures of _nexrad
    (r"py:class", r"Buffer"),
]

autodoc_typehints = "signature"
python_use_unqualified_type_names = True
autosummary_generate = True
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

# Tutorials are MyST notebooks executed at every build; an error in a cell fails the build.
nb_execution_mode = "force"
nb_execution_raise_on_error = True
nb_execution_timeout = 300
nb_execution_show_tb = True
nb_merge_streams = True
myst_enable_extensions = ["dollarmath", "colon_fence", "deflist"]
myst_heading_anchors = 3

html_theme = "pydata_sphinx_theme"
html_title = f"bluster {release}"
html_static_path = ["_static"]
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
# An explicit mode: without one the theme logs a console error on its first load.
html_context = {"default_mode": "auto"}
