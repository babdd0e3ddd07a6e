"""The volume files named on the command line: files as given, directories walked."""

from collections.abc import Iterable
from pathlib import Path


def expand_sources(sources: Iterable[str]) -> list[Path]:
    """Every file named, and every file under each directory named, without repeats.

    Hidden files (a name starting with ``.``, such as this program's own temporary output) are
    skipped inside directories. The order is that of the names given, directories sorted, so a
    run is reproducible; the rows of the output are sorted by volume time in any case.

    Raises
    ------
    FileNotFoundError
        A name that is neither a file nor a directory.
    """
    files: dict[Path, None] = {}
    for source in sources:
        path = Path(source)
        if path.is_dir():
            for found in sorted(path.rglob("*")):
                if found.is_file() and not _hidden(found.relative_to(path)):
                    files[found] = None
        elif path.is_file():
            files[path] = None
        else:
            raise FileNotFoundError(f"input {source!r}: no such file or directory")
    return list(files)


def _hidden(relative: Path) -> bool:
    return any(part.startswith(".") for part in relative.parts)
