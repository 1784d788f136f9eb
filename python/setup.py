# Installs the pure-Python package; it needs libkorvane.so at run time (see
# korvane/__init__.py for where it is looked up). A libkorvane.so copied into
# korvane/ before installing is installed with the package.
# Only setuptools is needed to install, offline: `pip install python/`.
from setuptools import setup

setup(
    name="korvane",
    version="0.1.0",
    description="Approximate nearest-neighbour search over 3072-dimension float vectors (ctypes binding of libkorvane.so)",
    packages=["korvane"],
    package_data={"korvane": ["libkorvane.so*"]},
    python_requires=">=3.9",
    install_requires=["numpy"],
    # korvane.distributed, the index sharded over a Dask cluster.
    extras_require={"distributed": ["distributed"]},
)
