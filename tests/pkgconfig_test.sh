#!/usr/bin/env bash
# pkgconfig_test.sh SOURCE: the korvane.pc that configuring writes, for
# relative and absolute library and include directories, names the
# directories the files are installed to. Configures only (no build).
set -u
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

# check NAME PC_DIR VARIABLE EXPECTED: pkg-config's value of VARIABLE for the
# korvane.pc in PC_DIR.
check() {
  local got
  got=$(PKG_CONFIG_PATH=$2 pkg-config --variable="$3" korvane 2>&1)
  got=$(realpath -m "$got")
  if [ "$got" = "$4" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1: $3 is '$got', wanted '$4'"
    cat "$2/korvane.pc"
  fi
}

# configure NAME CMAKE_ARGS...: writes $work/NAME/build/korvane.pc.
configure() {
  local name=$1
  shift
  if ! cmake -S "$source" -B "$work/$name/build" -G Ninja -DKORVANE_BUILD_TESTS=OFF \
      -DKORVANE_BUILD_BENCH=OFF "$@" >"$work/$name.log" 2>&1; then
    cat "$work/$name.log"
    echo "FAILED: configuring $name"
    exit 1
  fi
}

# Relative directories: the file finds the prefix from where it lies, so a
# prefix chosen at install time (or a moved install) is right too.
configure relative -DCMAKE_INSTALL_PREFIX="$work/p" -DCMAKE_INSTALL_LIBDIR=lib/x86_64-linux-gnu
moved=$work/moved/lib/x86_64-linux-gnu/pkgconfig
mkdir -p "$moved"
cp "$work/relative/build/korvane.pc" "$moved/"
check relative "$moved" libdir "$work/moved/lib/x86_64-linux-gnu"
check relative "$moved" includedir "$work/moved/include"
check relative "$moved" prefix "$work/moved"

# An absolute library directory: the file stays there, and the include
# directory is the prefix's.
configure abslib -DCMAKE_INSTALL_PREFIX="$work/q" -DCMAKE_INSTALL_LIBDIR="$work/elsewhere/lib64"
mkdir -p "$work/elsewhere/lib64/pkgconfig"
cp "$work/abslib/build/korvane.pc" "$work/elsewhere/lib64/pkgconfig/"
check abslib "$work/elsewhere/lib64/pkgconfig" libdir "$work/elsewhere/lib64"
check abslib "$work/elsewhere/lib64/pkgconfig" includedir "$work/q/include"

# An absolute include directory beside a relative library directory.
configure absinc -DCMAKE_INSTALL_PREFIX="$work/r" -DCMAKE_INSTALL_LIBDIR=lib \
  -DCMAKE_INSTALL_INCLUDEDIR="$work/headers"
mkdir -p "$work/r/lib/pkgconfig"
cp "$work/absinc/build/korvane.pc" "$work/r/lib/pkgconfig/"
check absinc "$work/r/lib/pkgconfig" libdir "$work/r/lib"
check absinc "$work/r/lib/pkgconfig" includedir "$work/headers"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
