#!/usr/bin/env bash
# hdx-milter inside a real Postfix of its own, on loopback: messages go in over SMTP, and the
# added field of each delivered message and its log line are compared with what they must be.
# Usage: postfix_test.sh HDX_MILTER WORK_DIR. Needs root (Postfix runs its daemons as its own
# users) and Postfix and swaks installed; without them the test is skipped, unless
# HDX_REQUIRE_POSTFIX is set, as CI sets it. It stops everything it started, whatever happens.
set -uo pipefail
milter=$1 work=$2 required=HDX_REQUIRE_POSTFIX milter_pid=
here=$(dirname "$0")
. "$here/harness.sh"
[[ $(id -u) == 0 ]] || skip "a throwaway Postfix instance needs root"
for tool in postfix swaks; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (bash .ci/setup installs it)"
done
. "$here/postfix_instance.sh"
milter_under postfix
milter_checks

# 200 SMTP sessions at once, each with a filter connection of its own: every message is marked,
# the filter's peak memory stays small, and no log line is torn.
flow 600 200 crowd@test.example
wait "$flow_pid"
arrived crowd@test.example 600
crowd=$(grep -l -a -F -x "To: <crowd@test.example>" "$work"/mail/inbox/new/*)
delivered=$(wc -l <<<"$crowd") unmarked=$(xargs grep -L -a '^X-HDX-Identity:' <<<"$crowd" | wc -l)
peak_kib=$(awk '/^VmHWM/ { print $2 }' "/proc/$milter_pid/status")
if ((delivered == 600 && unmarked == 0 && peak_kib < 16384)); then pass; else
  fail "200 sessions at once: $delivered delivered, $unmarked unmarked, peak RSS $peak_kib KiB"; fi
whole_lines() { LC_ALL=C grep -c -v -x '{"queue_id":"[0-9A-F]*",.*\]}' "$@" >/dev/null && return 1; return 0; }
if whole_lines "$work/identity.log"; then pass; else fail "log: a line is not one whole record"; fi

# Log rotation while mail flows: the log is moved away and the filter told to reopen it. Every
# message has its line, whole, in the moved file or in the new one.
logged_before=$(wc -l <"$work/identity.log")
flow 400 10 rotate@test.example
arrived rotate@test.example 50
mv "$work/identity.log" "$work/identity.log.1"
kill -USR1 "$milter_pid"
wait "$flow_pid"
if arrived rotate@test.example 400 && [[ -s $work/identity.log ]] &&
    whole_lines "$work/identity.log.1" "$work/identity.log" &&
    (($(cat "$work/identity.log.1" "$work/identity.log" | wc -l) == logged_before + 400)); then
  pass; else fail "log rotation"; wc -l "$work"/identity.log*; fi

# A message of 5,000 header fields, and a client that drops the connection in the middle of DATA:
# the filter stays up and marks the next message.
send --from ann@example.org --to bob@test.example --data "@$work/many.eml"
if file=$(delivered "many fields") && [[ $(added "$file") == *"from=ann@example.org;"* ]]; then
  pass; else fail "5,000 header fields"; fi
exec {client}<>"/dev/tcp/127.0.0.1/$smtp_port"
printf 'EHLO client.example\r\nMAIL FROM:<ann@example.org>\r\n' >&"$client"
printf 'RCPT TO:<bob@test.example>\r\nDATA\r\n' >&"$client"
sleep 0.5
printf 'From: <ann@example.org>\r\nSubject: dropped\r\nX-Part: ' >&"$client"
sleep 0.5
exec {client}>&-
send --from ann@example.org --to bob@test.example --h-Subject "after a dropped client"
if kill -0 "$milter_pid" && marked "after a dropped client" yes; then
  pass; else fail "a client dropped in the middle of DATA"; fi

# The filter killed outright while 500 messages flow over 10 sessions: every one is delivered,
# and once it is started again it marks mail again.
flow 500 10 crash@test.example
arrived crash@test.example 50
kill -KILL "$milter_pid"
wait "$milter_pid" 2>/dev/null
milter_pid=
wait "$flow_pid"
if arrived crash@test.example 500; then pass; else fail "mail lost while the filter was killed"; fi
send --from ann@example.org --to bob@test.example --h-Subject "filter stopped"
if marked "filter stopped" no; then pass; else fail "filter stopped"; fi
start_milter
send --from ann@example.org --to bob@test.example --h-Subject "filter restarted"
if marked "filter restarted" yes; then pass; else fail "filter restarted"; fi

# A unix socket in a directory of Postfix's group, set-group-ID so that the socket gets that
# group: the socket is 0660, so Postfix reaches it and nobody else does, and the socket file
# that a crash leaves behind does not stop the next start.
stop_milter
install -d -m 2750 -g postfix "$work/filter"
start_milter "unix:$work/filter/hdx-milter.sock"
kill -KILL "$milter_pid"
wait "$milter_pid" 2>/dev/null
start_milter "unix:$work/filter/hdx-milter.sock"
postconf -c "$work/etc" -e "smtpd_milters = unix:$work/filter/hdx-milter.sock"
postfix -c "$work/etc" reload >>"$work/postfix.out" 2>&1
sleep 1
send --from ann@example.org --to bob@test.example --h-Subject "unix socket"
if [[ $(stat -c '%a %G' "$work/filter/hdx-milter.sock") == "660 postfix" ]] &&
    marked "unix socket" yes; then
  pass; else fail "unix socket"; stat "$work/filter/hdx-milter.sock"; fi
stop_milter
finish
