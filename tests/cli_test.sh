#!/usr/bin/env bash
# The command-line tool end to end: generate -> build -> info -> search,
# and a clear message with a non-zero exit status for each bad input.
set -u
K="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
passed=0
failed=0
check() {  # check NAME EXPECTED_STATUS PATTERN -- command...
  local name=$1 want=$2 pattern=$3
  shift 4
  local out status
  out=$("$@" 2>&1)
  status=$?
  if [ "$status" -eq "$want" ] && grep -q -- "$pattern" <<<"$out"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name (status $status, wanted $want; pattern '$pattern')"
    echo "$out" | tail -5
  fi
}

check generate 0 "wrote 300 vectors" -- "$K" generate --n 300 --output "$dir/d.npy"
check generate-queries 0 "wrote 5 vectors" -- "$K" generate --n 5 --for-queries --output "$dir/q.npy"
check build 0 "built 300 vectors" -- "$K" build --input "$dir/d.npy" --output "$dir/i.kvn" --threads 2
check info 0 "live vectors    300" -- "$K" info "$dir/i.kvn"
check info-checksum 0 "checksum        verified" -- "$K" info "$dir/i.kvn"
check search-csv 0 "^4,2," -- "$K" search --index "$dir/i.kvn" --queries "$dir/q.npy" --k 3
check search-npy 0 "scores.npy" -- "$K" search --index "$dir/i.kvn" --queries "$dir/q.npy" --output "$dir/r.npy"
check help 0 "usage: korvane build" -- "$K" build --help

# Bad inputs.
check no-command 2 "usage" -- "$K"
check unknown-command 2 "unknown command" -- "$K" frobnicate
check missing-file 1 "cannot open" -- "$K" build --input "$dir/none.npy" --output "$dir/x.kvn"
check missing-flag 1 "missing --output" -- "$K" build --input "$dir/d.npy"
printf '\x02\x00\x00\x00\x0a\x00\x00\x00' >"$dir/small.fbin"
head -c 80 /dev/zero >>"$dir/small.fbin"
check wrong-dimension 1 "dimension 10" -- "$K" build --input "$dir/small.fbin" --output "$dir/x.kvn"
check bad-number 1 "non-negative integer" -- "$K" search --index "$dir/i.kvn" --queries "$dir/q.npy" --k abc
check not-an-index 1 "not an index file" -- "$K" info "$dir/d.npy"
head -c 37748000 "$dir/i.kvn" >"$dir/cut.kvn"
check truncated-index 1 "cut.kvn' is damaged: the rotation runs past the end (at byte 46)" -- "$K" info "$dir/cut.kvn"
check truncated-no-checksum 1 "checksum        absent" -- "$K" info "$dir/cut.kvn"
check search-damaged 1 "cut.kvn' is damaged" -- "$K" search --index "$dir/cut.kvn" --queries "$dir/q.npy"
cp "$dir/i.kvn" "$dir/flipped.kvn"
printf '\x01' | dd of="$dir/flipped.kvn" bs=1 seek=20000000 conv=notrunc status=none
check flipped-bit 1 "checksum        wrong" -- "$K" info "$dir/flipped.kvn"
check flipped-bit-reason 1 "damaged: checksum mismatch" -- "$K" info "$dir/flipped.kvn"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
