"""The volume files named on the command line: files as given, directories walked."""

import os
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path


@dataclass
class Sources:
    """The files of a run, and what could not be searched.

    ``files`` are resolved paths (symbolic links followed, relative paths made absolute),
    each once: a file named twice, or by a relative and an absolute path, is one file.
    ``unreadable`` maps a folder that cannot be listed, or a file whose type cannot be told,
    to the reason; such places are reported and counted with the skipped files, and never
    end the run.
    """

    files: list[Path] = field(default_factory=list)
    unreadable: dict[Path, str] = field(default_factory=dict)


def expand_sources(sources: Iterable[str]) -> Sources:
    """Every file named, and every file under each directory named, without repeats.

    Hidden files and folders (a name starting with ``.``, such as this program's own
    temporary output) are skipped inside directories, and links to directories are not
    followed. The order is that of the names given, directories sorted, so a run is
    reproducible; the rows of the output are sorted by volume time in any case.

    Raises
    ------
    FileNotFoundError
        A name that is neither a file nor a directory.
    """
    found = Sources()
    files: dict[Path, None] = {}
    for source in sources:
        path = Path(source)
        try:
            is_dir, is_file = path.is_dir(), path.is_file()
        except OSError as err:  # a parent folder that cannot be searched
            found.unreadable[_resolved(path)] = _reason(err, "cannot be examined")
            continue
        if is_dir:
            _walk(path, files, found.unreadable)
        elif is_file:
            files[_resolved(path)] = None
        else:
            raise FileNotFoundError(f"input {source!r}: no such file or directory")
    found.files = list(files)
    return found


def _walk(directory: Path, files: dict[Path, None], unreadable: dict[Path, str]) -> None:
    try:
        with os.scandir(directory) as listing:
            entries = sorted(listing, key=lambda entry: entry.name)
    except OSError as err:
        unreadable[_resolved(directory)] = _reason(err, "the folder cannot be listed")
        return
    for entry in entries:
        if entry.name.startswith("."):
            continue
        path = Path(entry.path)
        try:
            if entry.is_dir(follow_symlinks=False):
                _walk(path, files, unreadable)
            elif entry.is_file():
                files[_resolved(path)] = None
        except OSError as err:  # a link whose target cannot be examined
            unreadable[_resolved(path)] = _reason(err, "cannot be examined")


def _resolved(path: Path) -> Path:
    return Path(os.path.realpath(path))


def _reason(err: OSError, what: str) -> str:
    why = "permission denied" if isinstance(err, PermissionError) else err.strerror or str(err)
    return f"{type(err).__name__}: {what} ({why})"
