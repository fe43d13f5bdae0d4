#!/usr/bin/env bash
# hdx-exim inside a real Exim of its own, on loopback, with the package's ACL statements: every
# message must leave with one field of the module's, whatever came with it, and the field must
# agree with what the hdx command reads from the delivered message and with the envelope sent.
# With the module gone, mail must flow unmarked, forged fields still removed.
# Usage: exim_test.sh MODULE HDX WORK_DIR ACL_FILE (the statements as the build or the package
# writes them; the test points them at a copy of MODULE). Needs root, swaks and
# Exim's heavy daemon (installed, or unpacked by .ci/setup); without them the test is
# skipped, unless HDX_REQUIRE_EXIM is set, as CI sets it. It stops everything it started,
# whatever happens.
set -uo pipefail
module=$(realpath "$1") hdx=$2 work=$(realpath -m "$3") required=HDX_REQUIRE_EXIM
here=$(cd "$(dirname "$0")" && pwd)
acl=$4
. "$here/harness.sh"
. "$here/exim_instance.sh"
[[ $(id -u) == 0 ]] || skip "a throwaway Exim instance needs root"
command -v swaks >/dev/null || skip "swaks is not installed (bash .ci/setup installs it)"
[[ -x $exim ]] || skip "no Exim binary (bash .ci/setup unpacks Debian's)"
"$exim" -bV 2>/dev/null | grep -q Expand_dlfunc ||
  "$exim" -C /dev/null -bV 2>&1 | grep -q Expand_dlfunc || skip "$exim has no \${dlfunc}"
rm -rf "$work" && mkdir -p "$work"
trap exim_stop EXIT

# The package's statements, naming a copy of the module under test, which a last check removes.
cp "$module" "$work/hdx-exim.so"
exim_acl "$acl" "$work/hdx-exim.so" >"$work/hdx.acl"
smtp_port=$(free_port)
exim_setup "$smtp_port" "$work/hdx.acl"
exim_start || { echo "FAIL: Exim did not start"; cat "$work/exim.out" "$work"/log/*; exit 1; }

# Exim hands the module its own Received field first; without a host name it names no address
# ("from [127.0.0.1] (helo=...)"), so its entry is empty.
send --from ann@example.org --to bob@test.example --h-From '"Ann Example" <ann@example.org>' \
  --h-Subject plain
check_field "plain message" plain "X-HDX-Identity: peer=127.0.0.1; envelope-from=ann@example.org;
	rcpt=bob@test.example; from=ann@example.org; return-path=; received-ip="

# items FILE NAME: an item of the delivered field, unfolded; list entries joined by ",".
items() { added "$1" | sed 's/^X-HDX-Identity: //' | tr -d '\n\t' | sed 's/; /;/g' | tr ';' '\n'; }
item() { items "$1" | sed -n "s/^$2=//p"; }
# The items are what hdx scan reads from the delivered message's own fields, and the envelope sent.
upstream_session
file=$(delivered "envelope and upstream fields")
scan=$("$hdx" scan "$file" 2>/dev/null | cut -f 2-)
read_here=$(item "$file" from)$'\t'$(item "$file" return-path)$'\t'$(item "$file" received-ip)
if [[ -n $scan && $read_here == "$scan" && $(item "$file" envelope-from) == ann@example.org &&
      $(item "$file" rcpt) == 'bob@test.example,"\"carl smith\"@test.example",dora@test.example' ]]
then pass; else fail "envelope and upstream fields: items"; added "$file"; echo "hdx scan: $scan"; fi

forged_message
send --from ann@example.org --to bob@test.example --data "@$work/forged.eml"
if file=$(delivered "forged fields"); then
  one_identity "forged fields" "$file"; else fail "forged fields"; fi

# Hostile headers: after Exim's own, the 200 KB Received field's entry is empty.
hostile_messages
for m in nested folds bytes many; do
  send --from ann@example.org --to bob@test.example --data "@$work/$m.eml"
done
well_formed "90 KB of nested comments" "nested comments"
well_formed "10,000 folds" "ten thousand folds"
well_formed "control and 8-bit bytes" "control bytes"
well_formed "5,000 fields, 200 KB Received" "many fields"
if file=$(delivered "many fields") && [[ $(item "$file" received-ip) == , &&
    $(item "$file" from) == ann@example.org ]]; then
  pass; else fail "5,000 fields: items"; fi

# A local submission goes through the non-SMTP ACL: no peer, and the caller's envelope.
printf 'From: <ann@example.org>\nSubject: local submission\n\nbody\n' | exim_submit bob@test.example
check_field "local submission" "local submission" \
  "X-HDX-Identity: peer=; envelope-from=root@mx.hdx-test.example;
	rcpt=bob@test.example; from=ann@example.org; return-path=; received-ip="

# The one-value functions in expansions: each agrees with the hdx command on the same field or
# command, for the fields of the sample mailbox and of the Received examples, and the commands of
# the transcript.
expand() { "$exim" -C "$work/exim.conf" -be "\${dlfunc{$module}{$1}{$2}}"; }
# Expansion syntax reads a backslash, "$", "{" and "}" in an argument: each is escaped.
literal() { sed 's/[\\${}]/\\&/g'; }
# one_value FUNCTION KIND ARGUMENT WIRE: the function on its argument, against hdx field KIND on
# the same field or command as it stands on the wire.
one_value() {
  local got want
  got=$(expand "$1" "$(literal <<<"$3")")
  want=$(printf '%s' "$4" | "$hdx" field "$2")
  if [[ $got == "$want" ]]; then pass; else fail "$1: got '$got', hdx field says '$want': $3"; fi
}
# fields NAME FILE...: each field of that name, continuation lines included, each ended by the
# byte 0x01, which no field here holds.
fields() {
  awk -v name="$1" '
    on && /^[ \t]/ { printf "\n%s", $0; next }
    on { printf "\001"; on = 0 }
    tolower($0) ~ "^" tolower(name) ":" { printf "%s", $0; on = 1 }
    END { if (on) printf "\001" }' "${@:2}"
}
for row in "from From from" "return_path Return-Path return-path" \
    "received_ip Received received"; do
  set -- $row
  while IFS= read -r -d $'\001' field; do
    value=${field#*:}
    one_value "$1" "$3" "$value" "$2:${value//$'\n'/$'\r\n'}"$'\r\n'
  done < <(fields "$2" "$here/../../examples/sample.mbox" "$here/../../examples/received.txt")
done
while IFS= read -r line; do
  command=$(grep -i -o -E '(mail from|rcpt to):.*' <<<"$line") &&
    one_value path path "$command" "$command"
done <"$here/../cli/smtp.txt"

# The module gone, as when the package is removed and its ACL file kept: the message is accepted
# and delivered without the field, the forged ones still removed, and the main log says why.
rm "$work/hdx-exim.so"
sed -i 's/^Subject: forged fields/Subject: module gone/' "$work/forged.eml"
send --from ann@example.org --to bob@test.example --data "@$work/forged.eml"
if file=$(delivered "module gone") &&
    [[ $(sed '/^$/q' "$file" | grep -a -c -i '^x-hdx-identity[ \t]*:') == 0 &&
       $(grep -c 'hdx-exim: .* is missing, the message goes unmarked' "$work/log/mainlog") == 1 ]]
then pass; else fail "module gone: forged fields delivered, or no warning"; tail -n 5 "$work/log/mainlog"; fi

if [[ -s $work/log/paniclog ]]; then
  fail "Exim's panic log"; cat "$work/log/paniclog"; else pass; fi
finish
