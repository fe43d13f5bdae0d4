#!/usr/bin/env bash
# End-to-end tests of the hdx command: the sample mailbox, malformed input, and the exit statuses.
# Usage: cli_test.sh HDX [EMULATOR...]   (run from anywhere; paths are relative to the repository)
set -uo pipefail
cd "$(dirname "$0")/../.."
hdx=("${@:2}" "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

# check NAME WANT_STATUS WANT_STDOUT_FILE_OR_- COMMAND...: runs the command, compares both.
check() {
  local name=$1 want_status=$2 want_out=$3
  shift 3
  "$@" >"$work/out" 2>"$work/err" </dev/null
  local status=$?
  if [[ $status != "$want_status" ]]; then
    echo "FAIL $name: exit status $status, want $want_status"; cat "$work/err"; ((failed++)); return
  fi
  if [[ $want_out != - ]] && ! diff -u "$want_out" "$work/out"; then
    echo "FAIL $name: output differs"; ((failed++)); return
  fi
  ((passed++))
}
# expect NAME PATTERN FILE: FILE (out or err of the last check) matches the extended regex.
expect() {
  if grep -Eq "$2" "$work/$3"; then ((passed++)); else echo "FAIL $1: no /$2/ in $3"; cat "$work/$3"; ((failed++)); fi
}
run_stdin() { local input=$1; shift; "$@" <"$input"; }

check "scan sample tsv" 0 tests/cli/sample.tsv "${hdx[@]}" scan examples/sample.mbox
expect "scan summary" '^hdx: 7 messages, 21 fields, 6 failed; checks: from-missing 0, .*, from-display-address 1, envelope-mismatch 0$' err
check "scan sample, checks column" 0 - "${hdx[@]}" scan --checks examples/sample.mbox
expect "checks column" '^examples/sample.mbox#7	+from-unreadable$' out
check "scan sample json" 0 tests/cli/sample.jsonl "${hdx[@]}" scan --json examples/sample.mbox

printf 'From: A <ab@cd>\r\nReceived: from x (y [192.0.2.1' >"$work/truncated"
printf '%s\t%s\t\t\n' "$work/truncated" "ab@cd" >"$work/want"
check "truncated message" 0 "$work/want" "${hdx[@]}" scan "$work/truncated"

for i in $(seq 0 4095); do printf "\\x$(printf %02x $((i * 37 % 256)))"; done >"$work/garbage"
check "binary garbage" 0 - "${hdx[@]}" scan "$work/garbage"
expect "garbage is one message" '^hdx: 1 messages' err

{ for i in $(seq 1 3000); do printf 'X-Filler-%d: %0100d\n' "$i" 0; done
  printf 'Received: from a (b [192.0.2.7])\n'; } >"$work/no_end"
printf '%s\t\t\t192.0.2.7\n' "$work/no_end" >"$work/want"
check "header with no end" 0 "$work/want" "${hdx[@]}" scan "$work/no_end"

{ for i in $(seq 1 12000); do printf 'X-Filler-%d: %0100d\n' "$i" 0; done
  printf 'From: <late@example.org>\n\n'; } >"$work/overlong"
printf '%s\t\t\t\n' "$work/overlong" >"$work/want"
check "header over the cap" 0 "$work/want" "${hdx[@]}" scan "$work/overlong"
expect "cap reported" 'header sections cut at 1 MiB' err

mkdir -p "$work/maildir/cur" "$work/maildir/new"
printf 'From: <ab@cd>\n\nbody\n' >"$work/maildir/new/1"
printf 'Return-Path: <ef@gh>\n\n' >"$work/maildir/cur/2"
printf '%s\t\tef@gh\t\n%s\tab@cd\t\t\n' "$work/maildir/cur/2" "$work/maildir/new/1" >"$work/want"
check "maildir" 0 "$work/want" "${hdx[@]}" scan "$work/maildir"

# A mailbox large enough to be cut into parts: every worker count gives what the stream reader
# (standard input) does.
line=$(printf '%070d' 0)
for i in $(seq 1 40); do
  cat examples/sample.mbox; printf '\n'; for k in $(seq 1 3500); do echo "$line"; done; printf '\n'
done >"$work/large.mbox"
run_stdin "$work/large.mbox" "${hdx[@]}" scan 2>/dev/null | sed "s|^-#|$work/large.mbox#|" >"$work/want"
check "parts, one worker" 0 "$work/want" "${hdx[@]}" scan -j 1 "$work/large.mbox"
: >"$work/empty"  # adds nothing, though it cannot be mapped
check "parts, three workers" 0 "$work/want" "${hdx[@]}" scan -j3 "$work/large.mbox" "$work/empty"
check "workers must be counted" 2 /dev/null "${hdx[@]}" scan -j 0 examples/sample.mbox

check "unreadable file" 2 tests/cli/sample.tsv "${hdx[@]}" scan "$work/missing" examples/sample.mbox
expect "unreadable named" "missing: No such file" err
for usage in "" frobnicate "scan --bogus" "field sender"; do
  check "usage: '$usage'" 2 /dev/null "${hdx[@]}" $usage
done
check "help" 0 - "${hdx[@]}" --help
expect "help text" '^usage: hdx scan' out
check "version" 0 - "${hdx[@]}" --version
expect "version text" '^hdx [0-9]+\.[0-9]+\.[0-9]+$' out

# The shared field rows through hdx field: what it prints, or status 1 where nothing is read. It
# drops a command's line end, as hosts hand commands over without one: rows with one are left to
# the library's tests, and the loop after this one checks the dropping.
while IFS= read -r row; do
  [[ -z $row || $row == \#* ]] && continue
  IFS=$'\x1f' read -r kind name input result _ <<<"${row//$'\t'/$'\x1f'}"
  [[ $kind == path && $input == *'\n' ]] && continue
  printf '%b' "$input" >"$work/field"
  if [[ $result == - ]]; then status=1 && : >"$work/want"; else status=0 && printf '%b\n' "$result" >"$work/want"; fi
  check "field $kind: $name" "$status" "$work/want" run_stdin "$work/field" "${hdx[@]}" field "$kind"
done <tests/cases/fields.tsv
echo "a@b" >"$work/want"
for eol in '' '\n' '\r\n'; do
  printf "MAIL FROM:a@b$eol" >"$work/path"
  check "field path, terminator '$eol' dropped" 0 "$work/want" run_stdin "$work/path" "${hdx[@]}" field path
done

# The shared messages as a mailbox, each after the Return-Path field that final delivery writes:
# hdx scan reads each as the filter does, its checks included, the Return-Path its envelope.
messages='
import json, subprocess, sys
sys.path.insert(0, "tests/cases")
import cases
mbox = b"".join(b"From MAILER-DAEMON Thu Jan  1 00:00:00 2026\nReturn-Path: " + cases.value(m, "mail")
                + b"\n" + b"\n".join(f.replace(b"\r\n", b"\n") for f in m["field"]) + b"\n\nbody\n\n"
                for m in cases.messages())
got = subprocess.run(sys.argv[1:] + ["scan", "--json"], input=mbox, capture_output=True).stdout
for m, line in zip(cases.messages(), got.splitlines() + [b"{}"] * len(cases.messages())):
    record, want = json.loads(line), json.loads(cases.value(m, "log") or b"{}")
    record.pop("source")
    want["checks"] = [c for c in cases.value(m, "checks").decode().split(",") if c]
    keys = set(record) & set(want) - {"return_path"}
    if {k: record[k] for k in keys} != {k: want[k] for k in keys}:
        sys.exit(cases.value(m, "name").decode() + ": " + line.decode())
'
check "shared messages" 0 - python3 -c "$messages" "${hdx[@]}"

check "smtp transcript" 0 - "${hdx[@]}" smtp tests/cli/smtp.txt
expect "smtp mail" '^tests/cli/smtp.txt	4	MAIL	ann@example.org$' out
expect "smtp empty path" '^tests/cli/smtp.txt	8	MAIL	$' out
expect "smtp log prefix" '	MAIL	carol@example.edu$' out
check "date" 0 - "${hdx[@]}" date
expect "date form" '^[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} [-+][0-9]{4}$' out

echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
