"""The package's version."""

import pathlib
import re

import pytest

import korvane
from korvane import _version

TREE = pathlib.Path(__file__).resolve().parent.parent.parent


def cmake_project_version():
    text = (TREE / "CMakeLists.txt").read_text()
    return re.search(r"project\(korvane VERSION (\d+\.\d+\.\d+)", text).group(1)


def test_package_version_is_the_cmake_project_version():
    assert re.fullmatch(r"\d+\.\d+\.\d+", korvane.__version__)
    assert korvane.__version__ == cmake_project_version()


def test_read_project_version(tmp_path):
    cmakelists = tmp_path / "CMakeLists.txt"
    cmakelists.write_text("cmake_minimum_required(VERSION 3.25)\n"
                          "project(korvane VERSION 12.3.45 LANGUAGES C CXX)\n")
    assert _version.read_project_version(cmakelists) == "12.3.45"
    cmakelists.write_text("project(other VERSION 1.2.3)\n")
    with pytest.raises(ValueError):
        _version.read_project_version(cmakelists)
