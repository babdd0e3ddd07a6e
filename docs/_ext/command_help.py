"""``.. command-help:: calibrate``: the ``--help`` text of a ``bluster`` command, as printed.

The command line's own help is the reference of its options; this directive runs
``python -m bluster [COMMAND] --help`` at build time and shows its output, so the page
cannot fall behind the program.
"""

from __future__ import annotations

import os
import subprocess
import sys
from typing import Any

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective

# The width argparse wraps to, fixed so that the page does not depend on the terminal.
COLUMNS = "92"


class CommandHelp(SphinxDirective):
    optional_arguments = 1

    def run(self) -> list[nodes.Node]:
        command = [sys.executable, "-m", "bluster", *self.arguments, "--help"]
        env = {**os.environ, "COLUMNS": COLUMNS}
        done = subprocess.run(command, capture_output=True, text=True, env=env, check=False)
        if done.returncode != 0:
            raise self.error(f"{' '.join(command[2:])} failed: {done.stderr.strip()}")
        shown = " ".join(["bluster", *self.arguments, "--help"])
        text = f"$ {shown}\n{done.stdout}"
        block = nodes.literal_block(text, text, language="text")
        return [block]


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_directive("command-help", CommandHelp)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
