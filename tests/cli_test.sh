#!/usr/bin/env bash
# The command-line tool end to end: generate -> build -> info -> search,
# and a clear message with the documented exit status for each bad input
# (0 success, 1 a failure while running, 2 a usage error).
set -u
K="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
passed=0
failed=0
# check NAME EXPECTED_STATUS PATTERN -- command...
# PATTERN is a grep (basic) regular expression that some line of the
# command's standard output and error must match; with a leading '!', one
# that no line may match.
check() {
  local name=$1 want=$2 pattern=$3
  shift 4
  local out status found=1
  out=$("$@" 2>&1 </dev/null)
  status=$?
  if [ "${pattern:0:1}" = "!" ]; then
    ! grep -q -- "${pattern:1}" <<<"$out" || found=0
  else
    grep -q -- "$pattern" <<<"$out" || found=0
  fi
  if [ "$status" -eq "$want" ] && [ "$found" -eq 1 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name (status $status, wanted $want; pattern '$pattern')"
    echo "$out" | tail -5
  fi
}

# npy FILE DESCR SHAPE BODY: a version 1.0 .npy file with the given header
# fields whose data is the bytes of the Python expression BODY.
npy() {
  python3 - "$@" <<'EOF'
import struct, sys
path, descr, shape, body = sys.argv[1:5]
header = "{'descr': '%s', 'fortran_order': False, 'shape': %s, }" % (descr, shape)
header += ' ' * (-(10 + len(header) + 1) % 64) + '\n'
data = eval(body, {'struct': struct})
with open(path, 'wb') as f:
    f.write(b'\x93NUMPY\x01\x00' + struct.pack('<H', len(header)) + header.encode() + data)
EOF
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
check missing-flag 2 "missing --output" -- "$K" build --input "$dir/d.npy"
printf '\x02\x00\x00\x00\x0a\x00\x00\x00' >"$dir/small.fbin"
head -c 80 /dev/zero >>"$dir/small.fbin"
check wrong-dimension 1 "dimension 10" -- "$K" build --input "$dir/small.fbin" --output "$dir/x.kvn"
check bad-number 2 "non-negative integer" -- "$K" search --index "$dir/i.kvn" --queries "$dir/q.npy" --k abc
check not-an-index 1 "not an index file" -- "$K" info "$dir/d.npy"
head -c 37748000 "$dir/i.kvn" >"$dir/cut.kvn"
check truncated-index 1 "cut.kvn' is damaged: the rotation runs past the end (at byte 46)" -- "$K" info "$dir/cut.kvn"
check truncated-no-checksum 1 "checksum        absent" -- "$K" info "$dir/cut.kvn"
check search-damaged 1 "cut.kvn' is damaged" -- "$K" search --index "$dir/cut.kvn" --queries "$dir/q.npy"
cp "$dir/i.kvn" "$dir/flipped.kvn"
printf '\x01' | dd of="$dir/flipped.kvn" bs=1 seek=20000000 conv=notrunc status=none
check flipped-bit 1 "checksum        wrong" -- "$K" info "$dir/flipped.kvn"
check flipped-bit-reason 1 "damaged: checksum mismatch" -- "$K" info "$dir/flipped.kvn"

# Usage errors: the command line itself is wrong (exit 2, nothing is run).
x="$dir/x.npy"
check unknown-short-option 2 "unknown option '-n'" -- "$K" generate -n 5 --output "$x"
check unknown-option 2 "unknown option '--sed'" -- "$K" generate --sed 3 --output "$x"
check misspelt-option 2 "unknown option '--thread' (did you mean --threads?)" -- "$K" build --input "$dir/d.npy" --output "$dir/x.kvn" --thread 1
check stray-positional 2 "unexpected argument 'extra'" -- "$K" generate --n 5 --output "$x" extra
check stray-positional-info 2 "unexpected argument 'extra'" -- "$K" info "$dir/i.kvn" extra
check info-no-file 2 "missing FILE" -- "$K" info
check repeated-option 2 "given more than once" -- "$K" generate --n 5 --n 6 --output "$x"
check malformed-number 2 "'1e3'" -- "$K" generate --n 1e3 --output "$x"
check hex-number 2 "'0x10'" -- "$K" generate --n 0x10 --output "$x"
check negative-number 2 "'-5'" -- "$K" generate --n -5 --output "$x"
check negative-spaced-k 2 "' -5'" -- "$K" search --index "$dir/i.kvn" --queries "$dir/q.npy" --k " -5"
check past-uint64 2 "'18446744073709551616'" -- "$K" generate --n 5 --seed 18446744073709551616 --output "$x"
check overflowing-n 2 "n 18014398509481984 is too large" -- "$K" generate --n 18014398509481984 --output "$x"
check overflowing-clusters 2 "clusters 18014398509481984 is too large" -- "$K" generate --n 5 --clusters 18014398509481984 --output "$x"
check zero-clusters 2 "--clusters must be at least 1" -- "$K" generate --n 5 --clusters 0 --output "$x"
check huge-k 2 "--k 100000000000 is too large: at most 4294967295" -- "$K" search --index "$dir/i.kvn" --queries "$dir/q.npy" --k 100000000000
check zero-k 2 "--k must be at least 1" -- "$K" search --index "$dir/i.kvn" --queries "$dir/q.npy" --k 0
check search-zero-m 2 "--m must be at least 1" -- "$K" search --index "$dir/i.kvn" --queries "$dir/q.npy" --m 0
check bench-zero-k 2 "--k must be at least 1" -- "$K" bench --n 300 --nq 5 --k 0
check bench-zero-m 2 "--m must be at least 1" -- "$K" bench --n 300 --nq 5 --m 16,0
check bench-bad-m-list 2 "16,,32" -- "$K" bench --n 300 --nq 5 --m 16,,32
check bench-zero-nq 2 "--nq must be at least 1" -- "$K" bench --n 300 --nq 0
check bench-zero-n 2 "--n must be at least 1" -- "$K" bench --n 0 --nq 5
check bench-data-alone 2 "data needs --queries" -- "$K" bench --data "$dir/d.npy"
check bench-queries-alone 2 "queries needs --data" -- "$K" bench --queries "$dir/q.npy"
check bench-data-and-n 2 "data.*--n\|--n.*data" -- "$K" bench --data "$dir/d.npy" --queries "$dir/q.npy" --n 300

# --version, --quiet, and progress on standard error when it is not a terminal.
check version 0 "^korvane [0-9][0-9]*\.[0-9][0-9]*\.[0-9][0-9]*$" -- "$K" --version
check quiet 0 "!building" -- "$K" build --quiet --input "$dir/d.npy" --output "$dir/quiet.kvn"
check quiet-first 0 "!building" -- "$K" --quiet build --input "$dir/d.npy" --output "$dir/quiet.kvn"
check progress-plain 0 "^building .*300/300" -- "$K" build --input "$dir/d.npy" --output "$dir/plain.kvn"
check progress-no-redraw 0 "!"$'\r' -- "$K" build --input "$dir/d.npy" --output "$dir/plain.kvn"
check bench 0 "recall@5" -- "$K" bench --n 300 --nq 5 --k 5 --m 8,300 --quiet

# Every write is checked: a full device is a failure (exit 1) with the reason.
check generate-full 1 "/dev/full.*No space left on device" -- "$K" generate --n 5 --output /dev/full
check search-csv-full 1 "/dev/full.*No space left on device" -- "$K" search --index "$dir/i.kvn" --queries "$dir/q.npy" --output /dev/full
check search-stdout-full 1 "standard output.*No space left on device" -- bash -c '"$0" search --index "$1" --queries "$2" >/dev/full' "$K" "$dir/i.kvn" "$dir/q.npy"
check build-index-full 1 "/dev/full.*not a regular file" -- "$K" build --input "$dir/d.npy" --output /dev/full

# Unusable input files: a failure while running (exit 1) with the reason;
# a query file without vectors is answered with no rows.
mkdir "$dir/dir.npy"
check input-directory 1 "dir.npy': not a regular file" -- "$K" build --input "$dir/dir.npy" --output "$dir/x.kvn"
check input-directory-plain 1 "not a regular file" -- "$K" build --input "$dir" --output "$dir/x.kvn"
mkfifo "$dir/fifo.npy"
# A reader that waited for a writer would hang; the timeout only turns
# such a hang into a failure of this row.
check input-fifo 1 "fifo.npy': not a regular file" -- timeout 60 "$K" build --input "$dir/fifo.npy" --output "$dir/x.kvn"
npy "$dir/huge.npy" '<f4' '(4503599627370496, 3072)' "bytes(64)"
check npy-huge-shape 1 "huge.npy': the shape (4503599627370496, 3072) needs more bytes than the file holds" -- "$K" build --input "$dir/huge.npy" --output "$dir/x.kvn"
npy "$dir/empty.npy" '<f4' '(0, 3072)' "b''"
check build-no-vectors 1 "no vectors in '$dir/empty.npy'" -- "$K" build --input "$dir/empty.npy" --output "$dir/x.kvn"
check bench-no-vectors 1 "no vectors in '$dir/empty.npy'" -- "$K" bench --data "$dir/empty.npy" --queries "$dir/q.npy"
check search-no-queries 0 "^query,rank,id,score$" -- "$K" search --index "$dir/i.kvn" --queries "$dir/empty.npy"
npy "$dir/neg-ids.npy" '<i8' '(300,)' "struct.pack('<300q', *[-5 if i == 7 else i for i in range(300)])"
check negative-ids 1 "id -5 at position 7 is negative" -- "$K" build --input "$dir/d.npy" --ids "$dir/neg-ids.npy" --output "$dir/x.kvn"
npy "$dir/dup-ids.npy" '<u8' '(300,)' "struct.pack('<300Q', *[5 if i == 290 else i for i in range(300)])"
check duplicate-ids 1 "id 5 at position 290 repeats position 5" -- "$K" build --input "$dir/d.npy" --ids "$dir/dup-ids.npy" --output "$dir/x.kvn"

# The rerank store chosen at build time, as info shows it.
check bad-store 2 "store must be sq8, fp32 or none, got .sq4." -- "$K" build --input "$dir/d.npy" --output "$dir/x.kvn" --store sq4
check info-store-default 0 "rerank store    sq8" -- "$K" info "$dir/i.kvn"
check build-fp32 0 "built 300 vectors" -- "$K" build --store fp32 --input "$dir/d.npy" --output "$dir/f.kvn"
check info-store-fp32 0 "rerank store    fp32" -- "$K" info "$dir/f.kvn"
check build-none 0 "built 300 vectors" -- "$K" build --store none --input "$dir/d.npy" --output "$dir/n.kvn"
check info-store-none 0 "rerank store    none" -- "$K" info "$dir/n.kvn"

# The search breadth m: max(64, k) unless given, results at most min(k, m).
check default-m-follows-k 0 "^4,99," -- "$K" search --index "$dir/i.kvn" --queries "$dir/q.npy" --k 100
check explicit-m-caps-k 0 "!^4,50," -- "$K" search --index "$dir/i.kvn" --queries "$dir/q.npy" --k 100 --m 50
check search-help-m 0 "higher recall" -- "$K" search --help
check bench-default-sweep 0 "^ *100  *[01]\.[0-9]" -- "$K" bench --n 300 --nq 5 --k 100 --quiet

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
