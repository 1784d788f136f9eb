#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the C example (the
# README's C quick start) against it twice: through pkg-config and through
# find_package(korvane); runs the README's command-line examples with the
# installed tool.
# Nothing runs with LD_LIBRARY_PATH: the pkg-config program gets the
# README's -Wl,-rpath, CMake gives its program a RUNPATH, and the installed
# tool finds the library through its own RUNPATH, also after the prefix is
# moved.
set -eu
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix" "$prefix.moved"' EXIT
unset LD_LIBRARY_PATH
cmake --install "$build" --prefix "$prefix" >/dev/null
test -f "$prefix/include/korvane.h"
lib=$(find "$prefix" -name 'libkorvane.so' | head -1)
libdir=$(dirname "$lib")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
test "$(pkg-config --modversion korvane)" = \
  "$(sed -n 's/^project(korvane VERSION \([0-9.]*\) .*/\1/p' "$source/CMakeLists.txt")"

# The README's C quick start is examples/example.c, compiled through
# pkg-config with the run-time path the README gives.
"$source/tests/readme_block.sh" c-quickstart "$source/README.md" >"$prefix/readme.c"
cmp "$prefix/readme.c" "$source/examples/example.c" || {
  echo "FAILED: the README's C quick start differs from examples/example.c"
  exit 1
}
cc "$prefix/readme.c" $(pkg-config --cflags --libs korvane) \
  -Wl,-rpath,"$(pkg-config --variable=libdir korvane)" -o "$prefix/example-pc"
"$prefix/example-pc" "$prefix/a.korvane"

# find_package
cmake -S "$source/examples" -B "$prefix/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/build" >/dev/null
"$prefix/build/example" "$prefix/b.korvane"
cmp "$prefix/a.korvane" "$prefix/b.korvane"

# The README's command-line examples as printed, by the installed tool, with
# every --n cut to at most 300 vectors.
korvane() {
  local args=() arg cut=0
  for arg in "$@"; do
    if [ "$cut" = 1 ]; then arg=$((arg < 300 ? arg : 300)); fi
    [ "$arg" = --n ] && cut=1 || cut=0
    args+=("$arg")
  done
  "$prefix/bin/korvane" "${args[@]}"
}
"$source/tests/readme_block.sh" cli "$source/README.md" >"$prefix/cli.sh"
mkdir "$prefix/cli"
if ! (cd "$prefix/cli" && set -e && . "$prefix/cli.sh") >"$prefix/cli.log" 2>&1; then
  cat "$prefix/cli.log"
  echo "FAILED: the README's command-line examples"
  exit 1
fi
for f in data.npy queries.npy data.korvane hits.csv; do
  test -s "$prefix/cli/$f" || { cat "$prefix/cli.log"; echo "FAILED: no $f"; exit 1; }
done

# The installed tool, in place and after the whole prefix has moved; the
# pkg-config file moves with it.
"$prefix/bin/korvane" generate --n 3 --output "$prefix/three.npy" >/dev/null
mv "$prefix" "$prefix.moved"
"$prefix.moved/bin/korvane" generate --n 3 --output "$prefix.moved/three-again.npy" >/dev/null
cmp "$prefix.moved/three.npy" "$prefix.moved/three-again.npy"
moved_pc=$prefix.moved/${libdir#"$prefix"/}/pkgconfig
test "$(realpath -m "$(PKG_CONFIG_PATH=$moved_pc pkg-config --variable=includedir korvane)")" \
  = "$prefix.moved/include"
echo "1 passed, 0 failed"
