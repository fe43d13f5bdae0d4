#!/usr/bin/env bash
# Instructions per library call, counted by callgrind, which gives the same figure on every run
# where timings on this machine move by a third: collection is on only inside the exported
# functions (and what they call, T_memcpy included), one pass over each realistic set and one
# call on each hostile input of 1 MiB (bench/instruction_counts.cpp).
# Usage: bench/instructions.sh BUILD_DIR   (a build with -DHDX_BENCH=ON; needs valgrind)
set -euo pipefail
count=$1/bench/hdx_count
command -v valgrind >/dev/null || { echo "instructions.sh: valgrind is not installed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
shapes=$(sed -n 's/^ *{"\([a-z_]*\)", Entry::.*/\1/p' "$(dirname "$0")/hostile.h")
printf '%-26s %8s %18s %12s\n' job calls instructions/call "per byte"
# The From fields and SMTP commands by kind too (bench/instruction_counts.cpp), each kind's calls
# its share of the set: the kinds of From field that the set holds more than a few of, as
# bench/corpus.h lists them for the benchmark that times them.
from_kinds=$(sed -n '/kFromKinds\[\] = {/,/};/p' "$(dirname "$0")/corpus.h" | grep -o '"[a-z_]*"' |
  tr -d '"')
for job in from $(printf 'from/%s ' $from_kinds) received smtp \
  smtp/short smtp/long unfold unfold_short unfold_block unfold_no_eol $shapes; do
  calls=$(valgrind --tool=callgrind --toggle-collect='HDX*' --callgrind-out-file="$work/out" \
    "$count" "$job" 2>/dev/null)
  total=$(sed -n 's/^summary: \([0-9]*\).*/\1/p' "$work/out")
  # A single call is on 1 MiB (for a hostile input, whole units of its shape): the count per byte
  # shows its cost.
  awk -v job="$job" -v calls="$calls" -v total="$total" -v hostile=$((calls == 1)) \
    'BEGIN { printf "%-26s %8d %18.1f %12s\n", job, calls, total / calls,
             hostile ? sprintf("%.2f", total / 1048576) : "" }'
done
