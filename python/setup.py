"""Builds the korvane package with its native library (see pyproject.toml for
the metadata).

    pip wheel --no-build-isolation --no-index ./python     # or pip install

- The version is the CMake project version of the source tree
  (project(korvane VERSION x.y.z) in ../CMakeLists.txt); the built package's
  korvane/_version.py holds it as a literal.
- libkorvane.so is built from this source tree by CMake + Ninja, the shared
  library alone, in python/build/cmake (kept, so a rebuild is incremental),
  and copied into the package without its debug information. Setting
  KORVANE_PREBUILT_LIBRARY to an already built libkorvane.so (say
  build/libkorvane.so) uses that file instead; it must report the same
  version.
- The library is used through ctypes, so the wheel is tied to the platform
  (linux_x86_64, built for x86-64-v3) and to no Python version or ABI:
  py3-none-linux_x86_64.
"""

import ctypes
import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

try:  # setuptools 70.1 and later have their own; before that, the wheel package's.
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    try:
        from wheel.bdist_wheel import bdist_wheel
    except ImportError:  # no wheel package: `setup.py build` still works
        bdist_wheel = None

HERE = pathlib.Path(__file__).resolve().parent
TREE = HERE.parent
CMAKE_BUILD_DIR = HERE / "build" / "cmake"
PREBUILT_VARIABLE = "KORVANE_PREBUILT_LIBRARY"

sys.path.insert(0, str(HERE / "korvane"))
from _version import read_project_version  # noqa: E402  (korvane/ itself needs numpy)

del sys.path[0]


def project_version():
    cmakelists = TREE / "CMakeLists.txt"
    if not cmakelists.is_file():
        sys.exit(f"korvane: {cmakelists} not found: the package is built from a korvane "
                 "source tree (python/ inside it)")
    return read_project_version(cmakelists)


VERSION = project_version()


def library_version(path):
    fn = ctypes.CDLL(str(path)).korvane_version
    fn.restype = ctypes.c_char_p
    return fn().decode("ascii", "replace")


def run(command):
    print("korvane:", " ".join(command), flush=True)
    subprocess.run(command, check=True)


def built_library():
    """The libkorvane.so to ship: KORVANE_PREBUILT_LIBRARY's, or one built now."""
    prebuilt = os.environ.get(PREBUILT_VARIABLE)
    if prebuilt:
        path = pathlib.Path(prebuilt).resolve()
        if not path.is_file():
            sys.exit(f"korvane: {PREBUILT_VARIABLE}={prebuilt}: no such file")
        found = library_version(path)
        if found != VERSION:
            sys.exit(f"korvane: {PREBUILT_VARIABLE}={prebuilt} is version {found}, but this "
                     f"source tree is {VERSION}: a stale library; rebuild it")
        return path
    missing = [tool for tool in ("cmake", "ninja") if shutil.which(tool) is None]
    if missing:
        sys.exit(f"korvane: building libkorvane.so needs {' and '.join(missing)} "
                 "(apt-get install cmake ninja-build g++ libxxhash-dev), or set "
                 f"{PREBUILT_VARIABLE} to an already built libkorvane.so")
    run(["cmake", "-S", str(TREE), "-B", str(CMAKE_BUILD_DIR), "-G", "Ninja",
         "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
         "-DKORVANE_BUILD_TESTS=OFF", "-DKORVANE_BUILD_BENCH=OFF"])
    run(["cmake", "--build", str(CMAKE_BUILD_DIR), "--target", "korvane"])
    return (CMAKE_BUILD_DIR / "libkorvane.so").resolve()


class build_with_library(build_py):
    """Copies the package, then adds libkorvane.so and the literal version."""

    def run(self):
        super().run()
        package = pathlib.Path(self.build_lib) / "korvane"
        target = package / "libkorvane.so"
        # A regular file, not the build's symbolic links (a wheel holds none).
        shutil.copyfile(built_library(), target)
        os.chmod(target, 0o755)
        strip = shutil.which("strip")
        if strip:
            run([strip, "--strip-debug", str(target)])
        (package / "_version.py").write_text(
            '"""The package\'s version: the CMake project version of the tree it was '
            'built from."""\n\n'
            f'__version__ = "{VERSION}"\n')


class binary_distribution(Distribution):
    """Holds a native library: installed as platform-specific, never as pure Python."""

    def has_ext_modules(self):
        return True


commands = {"build_py": build_with_library}
if bdist_wheel is not None:
    class platform_wheel(bdist_wheel):
        """Tagged py3-none-<platform>: any Python 3, no Python ABI, this platform."""

        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):
            _, _, platform = super().get_tag()
            return "py3", "none", platform

    commands["bdist_wheel"] = platform_wheel

setup(version=VERSION, cmdclass=commands, distclass=binary_distribution)
