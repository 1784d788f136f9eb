"""The package's version, which is the version of the CMake project it was
built from (project(korvane VERSION ...) in the top-level CMakeLists.txt).

A built package (a wheel, or `pip install`) carries this file rewritten by
setup.py to hold the version as a literal. Run from a source tree, the
version is read from the tree's CMakeLists.txt, so that it always names the
library that tree builds."""

import pathlib
import re

_PROJECT = re.compile(r"^\s*project\s*\(\s*korvane\s+VERSION\s+([0-9]+\.[0-9]+\.[0-9]+)\b",
                      re.MULTILINE | re.IGNORECASE)


def read_project_version(cmakelists):
    """The x.y.z of project(korvane VERSION x.y.z) in the file `cmakelists`.
    Raises ValueError when the file has no such line."""
    text = pathlib.Path(cmakelists).read_text(encoding="utf-8")
    match = _PROJECT.search(text)
    if match is None:
        raise ValueError(f"{cmakelists}: no project(korvane VERSION x.y.z) line")
    return match.group(1)


def _source_tree_version():
    # python/korvane/_version.py -> the tree's top-level CMakeLists.txt.
    cmakelists = pathlib.Path(__file__).resolve().parent.parent.parent / "CMakeLists.txt"
    try:
        return read_project_version(cmakelists)
    except (OSError, ValueError):
        # Neither built nor in a source tree: no library can match this.
        return "0+unknown"


__version__ = _source_tree_version()
