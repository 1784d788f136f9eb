"""The package's version, the library's, and the check that they agree."""

import pathlib
import re

import pytest

import korvane
from korvane import _native, _version

TREE = pathlib.Path(__file__).resolve().parent.parent.parent


def cmake_project_version():
    text = (TREE / "CMakeLists.txt").read_text()
    return re.search(r"project\(korvane VERSION (\d+\.\d+\.\d+)", text).group(1)


def test_package_version_is_the_cmake_project_version():
    assert re.fullmatch(r"\d+\.\d+\.\d+", korvane.__version__)
    assert korvane.__version__ == cmake_project_version()


def test_loaded_library_has_the_package_version():
    assert _native.library_version(_native.library()) == korvane.__version__


def test_read_project_version(tmp_path):
    cmakelists = tmp_path / "CMakeLists.txt"
    cmakelists.write_text("cmake_minimum_required(VERSION 3.25)\n"
                          "project(korvane VERSION 12.3.45 LANGUAGES C CXX)\n")
    assert _version.read_project_version(cmakelists) == "12.3.45"
    cmakelists.write_text("project(other VERSION 1.2.3)\n")
    with pytest.raises(ValueError):
        _version.read_project_version(cmakelists)


def test_a_library_of_another_version_is_refused_as_stale():
    real = _native.library()._name
    with pytest.raises(OSError) as err:
        _native.load_library({_native.ENV_VARIABLE: real}, version="9.8.7")
    message = str(err.value)
    assert real in message and "stale" in message
    assert f"version {korvane.__version__}, but this korvane package is version 9.8.7" in message
    # The same file is accepted when the versions agree.
    assert _native.library_version(_native.load_library({_native.ENV_VARIABLE: real})) \
        == korvane.__version__


def test_version_mismatch_messages():
    assert _native.version_mismatch("1.2.3", "1.2.3") is None
    assert "version 1.2.2, but this korvane package is version 1.2.3" in \
        _native.version_mismatch("1.2.2", "1.2.3")
    assert "no korvane_version" in _native.version_mismatch(None, "1.2.3")


def test_an_installed_package_does_not_look_in_a_build_directory(tmp_path):
    # site-packages/korvane: no CMakeLists.txt two levels up.
    package_dir = tmp_path / "lib" / "python3" / "site-packages" / "korvane"
    package_dir.mkdir(parents=True)
    paths = [p for _, p in _native.candidate_paths({}, package_dir)]
    assert paths[0] == str(package_dir / "libkorvane.so")
    assert not any("/build/" in p for p in paths)
    assert not _native.in_source_tree(package_dir)
    assert _native.in_source_tree(TREE / "python" / "korvane")
