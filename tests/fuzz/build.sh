#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into a directory of their own (default
# build-fuzz). Not part of the CMake build, which uses g++.
#
#   tests/fuzz/build.sh [build-dir]
#   build-dir/deserialize_fuzz -max_len=2048 -rss_limit_mb=4096 -timeout=30 \
#       -max_total_time=600 build-dir/corpus tests/fuzz/corpus/deserialize
#
# Needs clang 16 or later with its fuzzer runtime (Debian 12: apt-get
# install clang-16 libclang-rt-16-dev); clang 14 and 15 cannot compile
# std::expected's conditionally trivial members. libstdc++ 12 offers
# std::expected only to a compiler that announces C++20 concepts in full,
# which clang 16 does not although it compiles <expected>: the feature macro
# is set by hand.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:-$root/build-fuzz}"
cxx="${CXX:-}"
if [ -z "$cxx" ]; then
  for c in clang++-16 clang++-17 clang++-18 clang++; do
    if command -v "$c" >/dev/null; then cxx="$c"; break; fi
  done
fi
[ -n "$cxx" ] || { echo "no clang++ found" >&2; exit 1; }
mkdir -p "$out/obj" "$out/corpus"
flags=(-std=c++2b -O1 -g -march=x86-64-v3 -ffp-contract=off -fno-omit-frame-pointer
       -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
       -U__cpp_concepts -D__cpp_concepts=202002L -Wno-builtin-macro-redefined
       -I"$root/include" -I"$root/src" -I"$root/tests")
newest_header="$(ls -t "$root"/src/*.h | head -1)"
objs=()
for src in "$root"/src/*.cc; do
  obj="$out/obj/$(basename "$src" .cc).o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$newest_header" -nt "$obj" ]; then
    "$cxx" "${flags[@]}" -c "$src" -o "$obj"
  fi
  objs+=("$obj")
done
"$cxx" "${flags[@]}" -fsanitize=fuzzer "$root/tests/fuzz/deserialize_fuzz.cc" \
  "$root/tests/fuzz/block_cache.cc" "${objs[@]}" \
  -pthread -o "$out/deserialize_fuzz"
echo "built $out/deserialize_fuzz with $cxx"
"$cxx" "${flags[@]}" -fsanitize=fuzzer "$root/tests/fuzz/api_fuzz.cc" \
  "$root/tests/fuzz/block_cache.cc" "${objs[@]}" \
  -pthread -o "$out/api_fuzz"
echo "built $out/api_fuzz with $cxx"
