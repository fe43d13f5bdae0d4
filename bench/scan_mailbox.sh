#!/usr/bin/env bash
# hdx scan over a generated mailbox of about 100 MB, on one worker and on every core: throughput
# and peak memory, beside `cat` over the same file as the baseline for reading it. A second mailbox holds one message
# whose header section alone is 50 MB: peak memory must stay about the same.
# Usage: bench/scan_mailbox.sh BUILD_DIR [MEGABYTES]
set -euo pipefail
hdx=$1/tools/hdx/hdx
megabytes=${2:-100}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work/big.mbox" "$megabytes" <<'PY'
import sys
path, megabytes = sys.argv[1], int(sys.argv[2])
body = ("Lorem ipsum dolor sit amet, consectetur adipiscing elit.\n" * 120)
with open(path, "w") as f:
    n = 0
    while f.tell() < megabytes * 1_000_000:
        n += 1
        f.write(f"From sender{n}@example.org Fri Dec  4 02:26:18 2026\n"
                f"Return-Path: <bounce-{n}@lists.example.com>\n"
                f"Received: from mx{n % 7}.example.net (mx{n % 7}.example.net [192.0.2.{n % 250}])\n"
                f"\tby mail.example.org with ESMTPS id {n:08X}; Fri, 04 Dec 2026 02:26:18 +0000\n"
                f"Received: from [198.51.100.{n % 200}] (helo=host{n}.example.com)\n"
                f"\tby mx{n % 7}.example.net with esmtpsa; Fri, 04 Dec 2026 02:26:10 +0000\n"
                f"From: \"Sender {n}, Example (Sales)\" <sender{n}@example.org>\n"
                f"Subject: =?utf-8?Q?message_{n}?=\nTo: list@example.com\n\n{body}\n")
PY
{ printf 'From huge@example.org Fri Dec  4 02:26:18 2026\n'
  for i in $(seq 1 500000); do printf 'X-Filler: %090d\n' "$i"; done
  printf 'From: <huge@example.org>\n\nbody\n'; } >"$work/huge.mbox"

# label command...: the best wall time of five runs, and the peak resident set size
measure() {
  local best=0 start end
  for _ in 1 2 3 4 5; do
    start=$(date +%s%N)
    "${@:2}" >/dev/null 2>"$work/stderr"
    end=$(date +%s%N)
    if ((best == 0 || end - start < best)); then best=$((end - start)); fi
  done
  /usr/bin/time -f "%M" -o "$work/rss" "${@:2}" >/dev/null 2>/dev/null
  awk -v ns="$best" -v bytes="$size" -v label="$1" -v kib="$(cat "$work/rss")" \
    'BEGIN { printf "%s: %.3f s, %.2f GB/s, peak %d KiB\n", label, ns / 1e9, bytes / ns, kib }'
}
size=$(stat -c %s "$work/big.mbox")
messages=$(grep -c '^From ' "$work/big.mbox")
echo "mailbox: $((size / 1000000)) MB, $messages messages, from the page cache"
cat "$work/big.mbox" >/dev/null
measure "cat (baseline)" cat "$work/big.mbox"
measure "hdx scan -j 1" "$hdx" scan -j 1 --no-progress "$work/big.mbox"
measure "hdx scan (every core: $(nproc))" "$hdx" scan --no-progress "$work/big.mbox"
tail -n 1 "$work/stderr"
size=$(stat -c %s "$work/huge.mbox")
measure "hdx scan, one 50 MB header" "$hdx" scan --no-progress "$work/huge.mbox"
tail -n 1 "$work/stderr"
