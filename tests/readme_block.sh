#!/usr/bin/env bash
# readme_block.sh NAME [FILE]: prints the fenced code block that follows the
# line `<!-- test: NAME -->` in FILE (README.md of the source tree by
# default), without its fences. Fails when there is no such block, so that a
# test cannot quietly run nothing.
set -eu
name=$1
file=${2:-$(dirname "$0")/../README.md}
awk -v marker="<!-- test: $name -->" '
  state == 0 && $0 == marker { state = 1; next }
  state == 1 { if ($0 ~ /^```/) { state = 2; next } exit 3 }
  state == 2 && /^```[ \t]*$/ { found = 1; exit }
  state == 2 { print }
  END {
    if (!found) { print "readme_block.sh: no complete code block after <!-- test: " name " --> in " FILENAME > "/dev/stderr"; exit 1 }
  }' name="$name" "$file"
