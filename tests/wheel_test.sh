#!/usr/bin/env bash
# wheel_test.sh SOURCE [PYTHON]: what a user of the Python package does,
# offline, in a copy of the source tree:
#  1. the README's install commands as printed (a virtual environment and
#     pip install --no-build-isolation ./python, which runs CMake),
#  2. pip wheel: the wheel's tag and contents,
#  3. from a directory outside the tree, with no KORVANE_LIBRARY, the
#     installed package: make an index, add, search, save, load,
#  4. the README's Python quick start as printed.
# PYTHON (default /usr/bin/python3) is the interpreter with Debian's numpy.
# Exits 77 (skipped) when it cannot make a virtual environment.
set -euo pipefail
source=$(cd "$1" && pwd)
python=${2:-/usr/bin/python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset KORVANE_LIBRARY KORVANE_PREBUILT_LIBRARY
# Offline, whatever the local pip configuration says.
export PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_CONFIG_FILE=/dev/null
# The README's `python3` is this interpreter.
mkdir "$work/bin"
printf '#!/bin/sh\nexec %s "$@"\n' "$python" >"$work/bin/python3"
chmod +x "$work/bin/python3"
export PATH="$work/bin:$PATH"
block() { "$source/tests/readme_block.sh" "$1" "$source/README.md"; }

if ! python3 -m venv "$work/probe" >"$work/probe.log" 2>&1; then
  cat "$work/probe.log"
  echo "SKIPPED: $python cannot make a virtual environment; install python3-venv (make deps does)"
  exit 77
fi
python3 -c "import setuptools, wheel, numpy" || {
  echo "FAILED: the wheel is built with setuptools and wheel and used with numpy:" \
       "apt-get install python3-setuptools python3-wheel python3-numpy (make deps does)"
  exit 1
}
version=$(sed -n 's/^project(korvane VERSION \([0-9.]*\) .*/\1/p' "$source/CMakeLists.txt")
[ -n "$version" ] || { echo "FAILED: no project version in CMakeLists.txt"; exit 1; }

# The files the library build needs, without earlier build output.
tree=$work/tree
mkdir "$tree"
tar -C "$source" --exclude=python/build --exclude='*.egg-info' --exclude=__pycache__ \
    --exclude=python/korvane/libkorvane.so -cf - \
    CMakeLists.txt LICENSE cmake include src tools python | tar -C "$tree" -xf -

# 1. The README's install commands.
block python-install >"$work/install.sh"
if ! (cd "$tree" && bash -eu "$work/install.sh") >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  echo "FAILED: the README's install commands"
  exit 1
fi
venv=$tree/venv/bin
tail -1 "$work/install.log" | grep -qx "$version" || {
  cat "$work/install.log"
  echo "FAILED: the installed package does not report version $version"
  exit 1
}

# 2. The wheel (the library build is incremental by now).
if ! (cd "$tree" && venv/bin/pip wheel --no-build-isolation --no-deps -w "$work/dist" ./python) \
    >"$work/wheel.log" 2>&1; then
  cat "$work/wheel.log"
  echo "FAILED: pip wheel"
  exit 1
fi
wheel=$work/dist/korvane-$version-py3-none-linux_x86_64.whl
[ -f "$wheel" ] || { ls "$work/dist"; echo "FAILED: no $(basename "$wheel")"; exit 1; }
"$venv/python" - "$wheel" "$version" <<'EOF'
import sys, zipfile
wheel, version = sys.argv[1], sys.argv[2]
z = zipfile.ZipFile(wheel)
names = set(z.namelist())
info = f"korvane-{version}.dist-info"
for name in ("korvane/__init__.py", "korvane/_native.py", "korvane/libkorvane.so",
             "korvane/_version.py", f"{info}/METADATA", f"{info}/WHEEL", f"{info}/LICENSE"):
    assert name in names, f"{name} missing from the wheel: {sorted(names)}"
assert z.read("korvane/libkorvane.so")[:4] == b"\x7fELF"
assert f'__version__ = "{version}"' in z.read("korvane/_version.py").decode()
wheel_info = z.read(f"{info}/WHEEL").decode()
assert "Root-Is-Purelib: false" in wheel_info and "Tag: py3-none-linux_x86_64" in wheel_info, wheel_info
metadata = z.read(f"{info}/METADATA").decode()
for line in (f"Version: {version}", "License: Apache-2.0", "Requires-Dist: numpy",
             "Project-URL: Homepage, "):
    assert line in metadata, f"{line!r} not in METADATA:\n{metadata}"
assert "Apache License" in z.read(f"{info}/LICENSE").decode()
EOF
# The wheel installs in a second environment of its own.
python3 -m venv --system-site-packages "$work/venv2"
"$work/venv2/bin/pip" install "$wheel" >"$work/install2.log" 2>&1 || {
  cat "$work/install2.log"
  echo "FAILED: pip install of the wheel"
  exit 1
}

# 3. Both installs, used from outside the tree.
mkdir "$work/elsewhere"
cd "$work/elsewhere"
for env in "$tree/venv" "$work/venv2"; do
  "$env/bin/python" - "$env" "$version" <<'EOF'
import pathlib, sys
import numpy as np
import korvane
from korvane import _native
env, version = pathlib.Path(sys.argv[1]).resolve(), sys.argv[2]
package = pathlib.Path(korvane.__file__).resolve().parent
assert env in package.parents, f"imported {package}, not the package installed in {env}"
assert korvane.__version__ == version, korvane.__version__
lib = _native.library()
assert pathlib.Path(lib._name) == package / "libkorvane.so", lib._name
assert _native.library_version(lib) == version

rng = np.random.default_rng(5)
vectors = rng.standard_normal((300, korvane.DIM), dtype=np.float32)
with korvane.Index(ef_construction=64, seed=7) as index:
    index.add(np.arange(100, 400, dtype=np.uint64), vectors, threads=2)
    assert len(index) == 300
    ids, scores = index.search(vectors[42], k=5, m=64)
    assert ids[0] == 142, ids
    batch_ids, batch_scores = index.search(vectors[:20], k=5, m=64)
    index.save("wheel.korvane")
with korvane.Index.load("wheel.korvane") as loaded:
    assert len(loaded) == 300
    again_ids, again_scores = loaded.search(vectors[:20], k=5, m=64)
    assert (again_ids == batch_ids).all() and (again_scores == batch_scores).all()
EOF
done

# 4. The README's Python quick start, against the installed wheel.
block python-quickstart >quickstart.py
"$work/venv2/bin/python" quickstart.py
[ -s vectors.korvane ] || { echo "FAILED: the quick start saved no vectors.korvane"; exit 1; }
echo "1 passed, 0 failed"
