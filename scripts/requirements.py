"""Prints, one per line, the requirements that pyproject.toml declares, so that the scripts, CI
and `pip install .[group]` share one list.

    python scripts/requirements.py build runtime test

`runtime` is the project's dependencies, any other name an optional-dependencies group, and
`build` is the build-system table plus CMake and Ninja from PyPI at the versions
[tool.scikit-build] asks for: an isolated build gets them from scikit-build-core on demand,
a build without isolation only if they are installed first. A group may name other groups
as `bluster[other]`; those are expanded.
"""

import re
import sys
import tomllib
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"


def build_requirements(config: dict) -> list[str]:
    skbuild = config["tool"]["scikit-build"]
    return [
        *config["build-system"]["requires"],
        f"cmake{skbuild['cmake']['version']}",
        f"ninja{skbuild['ninja']['version']}",
    ]


def group_requirements(config: dict, groups: list[str]) -> list[str]:
    project = config["project"]
    optional = project.get("optional-dependencies", {})
    self_reference = re.compile(rf"^{re.escape(project['name'])}\[(.+)\]$")
    wanted, seen, found = list(groups), set(), []
    while wanted:
        group = wanted.pop(0)
        if group in seen:
            continue
        if group not in optional:
            sys.exit(f"error: no optional-dependencies group {group!r} in {PYPROJECT}")
        seen.add(group)
        for requirement in optional[group]:
            if match := self_reference.match(requirement.replace(" ", "")):
                wanted.extend(match.group(1).split(","))
            elif requirement not in found:
                found.append(requirement)
    return found


def main(names: list[str]) -> None:
    config = tomllib.loads(PYPROJECT.read_text())
    requirements = []
    for name in names:
        if name == "build":
            found = build_requirements(config)
        elif name == "runtime":
            found = config["project"]["dependencies"]
        else:
            found = group_requirements(config, [name])
        requirements += [r for r in found if r not in requirements]
    print("\n".join(requirements))


if __name__ == "__main__":
    main(sys.argv[1:])
