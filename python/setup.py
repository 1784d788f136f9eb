# Installs the pure-Python package; it needs libkorvane.so at run time (see
# korvane/__init__.py for where it is looked up). A libkorvane.so copied into
# korvane/ before installing is installed with the package.
# Only setuptools is needed to install, offline: `pip install python/`.
# The version is the CMake project version (../CMakeLists.txt); the installed
# korvane/_version.py holds it as a literal.
import pathlib
import sys

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "korvane"))
from _version import read_project_version  # noqa: E402  (korvane/ itself needs numpy)

VERSION = read_project_version(HERE.parent / "CMakeLists.txt")


class build_with_version(build_py):
    def run(self):
        super().run()
        (pathlib.Path(self.build_lib) / "korvane" / "_version.py").write_text(
            '"""The package\'s version: the CMake project version of the tree it was '
            'built from."""\n\n'
            f'__version__ = "{VERSION}"\n')


setup(
    name="korvane",
    version=VERSION,
    description="Approximate nearest-neighbour search over 3072-dimension float vectors (ctypes binding of libkorvane.so)",
    packages=["korvane"],
    package_data={"korvane": ["libkorvane.so*"]},
    python_requires=">=3.9",
    install_requires=["numpy"],
    # korvane.distributed, the index sharded over a Dask cluster.
    extras_require={"distributed": ["distributed"]},
    cmdclass={"build_py": build_with_version},
)
