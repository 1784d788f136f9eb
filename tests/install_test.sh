#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the C example
# against it twice: through pkg-config and through find_package(korvane).
set -eu
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -f "$prefix/include/korvane.h"
lib=$(find "$prefix" -name 'libkorvane.so' | head -1)
libdir=$(dirname "$lib")

# pkg-config
PKG_CONFIG_PATH="$libdir/pkgconfig" cc "$source/examples/example.c" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs korvane) -o "$prefix/example-pc"
LD_LIBRARY_PATH="$libdir" "$prefix/example-pc" "$prefix/a.korvane"

# find_package
cmake -S "$source/examples" -B "$prefix/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$prefix/build/example" "$prefix/b.korvane"
cmp "$prefix/a.korvane" "$prefix/b.korvane"
echo "1 passed, 0 failed"
