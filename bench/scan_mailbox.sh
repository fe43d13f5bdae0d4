#!/usr/bin/env bash
# hdx scan over a generated mailbox of about 100 MB: messages per second and peak memory, beside
# `cat` over the same file as the baseline for reading it. A second mailbox holds one message
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

measure() {  # label command...: wall seconds and peak resident set size
  /usr/bin/time -f "%e %M" -o "$work/time" "${@:2}" >/dev/null 2>"$work/stderr"
  read -r seconds kib <"$work/time"
  echo "$1: ${seconds} s, peak ${kib} KiB"
}
size=$(stat -c %s "$work/big.mbox")
messages=$(grep -c '^From ' "$work/big.mbox")
echo "mailbox: $((size / 1000000)) MB, $messages messages"
measure "cat (baseline)" cat "$work/big.mbox"
measure "hdx scan" "$hdx" scan --no-progress "$work/big.mbox"
tail -n 1 "$work/stderr"
awk -v m="$messages" '{ printf "hdx scan: %.0f messages/s\n", m / ($1 > 0 ? $1 : 0.01) }' "$work/time"
measure "hdx scan, one 50 MB header" "$hdx" scan --no-progress "$work/huge.mbox"
tail -n 1 "$work/stderr"
