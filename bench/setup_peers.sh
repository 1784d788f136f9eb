#!/bin/sh
# Installs what bench/peers.py needs and compiles the native hnswlib driver.
#
#   bench/setup_peers.sh [BUILD_DIR]     (default: build-peers/ in the source tree)
#
# Debian packages, installed when missing: g++ and libhnswlib-dev for the
# driver; python3-numpy and python3-matplotlib for peers.py; libopenblas0 so
# that numpy's exact search takes seconds; python3-hnswlib and python3-faiss,
# the further (SSE2-only) peers. The driver is bench/hnsw_native.cc built
# with -O3 -march=native into BUILD_DIR/hnsw_native, rebuilt when the source
# is newer. Not part of `make` or `make test`.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-"$here/../build-peers"}
packages="g++ libhnswlib-dev python3-numpy python3-matplotlib libopenblas0 python3-hnswlib python3-faiss"
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
fi

mkdir -p "$out"
binary="$out/hnsw_native"
if [ ! -x "$binary" ] || [ "$here/hnsw_native.cc" -nt "$binary" ]; then
  echo "compiling $binary"
  ${CXX:-g++} -std=c++17 -O3 -march=native -DNDEBUG -pthread -Wall -Wno-unused-function \
    -o "$binary" "$here/hnsw_native.cc"
fi
echo "$binary"
