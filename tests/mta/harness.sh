# Sourced by the live MTA tests and benchmarks: what every MTA's test does the same way. The MTA
# under test listens on 127.0.0.1:$smtp_port and delivers every recipient in test.example to one
# Maildir, $work/mail/inbox; the field under test is X-HDX-Identity.
passed=0 failed=0

# skip WHY: the test cannot run here (exit 77), or fails where the variable named by $required
# says it must run, as CI sets it.
skip() {
  echo "${!required:+FAIL: }skipped: $1"
  [[ -n ${!required:-} ]] && exit 1
  exit 77
}
pass() { passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
finish() {
  echo "$passed passed, $failed failed"
  [[ $failed == 0 ]]
}

# fill TEMPLATE NAME=VALUE...: the template with every @NAME@ replaced by its value.
fill() {
  local template=$1 pair edits=()
  shift
  for pair; do edits+=(-e "s|@${pair%%=*}@|${pair#*=}|g"); done
  sed "${edits[@]}" "$template"
}
free_port() {  # a loopback port nobody listens on
  local port
  while port=$((20000 + RANDOM % 40000)); (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do :; done
  echo "$port"
}
# wait_port PORT: up to 5 s for something to listen on a loopback port.
wait_port() {
  for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return; sleep 0.1; done
  return 1
}

# delivered SUBJECT: the path of the delivered message with that subject, waiting up to 20 s.
delivered() {
  local file
  for _ in $(seq 200); do
    file=$(grep -l -a -F -x "Subject: $1" "$work"/mail/inbox/new/* 2>/dev/null | head -n 1)
    [[ -n $file ]] && { echo "$file"; return; }
    sleep 0.1
  done
  return 1
}
# added FILE: the added field as delivered, continuation lines included.
added() { awk '/^X-HDX-Identity:/ { on = 1; print; next } on && /^[ \t]/ { print; next } { on = 0 }' "$1"; }
# check_field NAME SUBJECT WANT: the message came through with exactly that added field.
check_field() {
  local file
  if ! file=$(delivered "$2"); then fail "$1: not delivered"; return 1; fi
  if [[ $(added "$file") == "$3" ]]; then pass; else fail "$1: added field"; diff <(echo "$3") <(added "$file"); fi
}
# well_formed NAME SUBJECT: delivered, with one added field of printable ASCII in short lines.
well_formed() {
  local file
  if ! file=$(delivered "$2"); then fail "$1: not delivered"; return; fi
  if added "$file" | LC_ALL=C grep -q -v -x $'[ -~\t]\\{1,997\\}' || [[ -z $(added "$file") ]] ||
      (($(sed '/^$/q' "$file" | grep -a -c -i '^x-hdx-identity[ \t]*:') != 1)); then
    fail "$1: added field not well formed"; added "$file" | head -c 2000 | od -c | head; return
  fi
  pass
}
# marked SUBJECT yes|no: the message with that subject came through with the field, or without.
marked() {
  local file
  file=$(delivered "$1") && [[ $2 == yes && -n $(added "$file") || $2 == no && -z $(added "$file") ]]
}
send() { swaks --server "127.0.0.1:$smtp_port" "$@" >>"$work/swaks.out" 2>&1; }
# flow COUNT SESSIONS RCPT: smtp-source sends COUNT messages to RCPT, in the background.
flow() {
  smtp-source -c -m "$1" -s "$2" -f ann@example.org -t "$3" "127.0.0.1:$smtp_port" \
    >>"$work/smtp-source.out" 2>&1 &
  flow_pid=$!
}
# arrived RCPT COUNT: waits up to 60 s until COUNT messages to RCPT are delivered.
arrived() {
  for _ in $(seq 600); do
    (($(grep -l -a -F -x "To: <$1>" "$work"/mail/inbox/new/* 2>/dev/null | wc -l) >= $2)) && return
    sleep 0.1
  done
  return 1
}

# hostile_messages: messages that no filter may choke on, in $work: 90 KB of nested comments
# (nested.eml), 10,000 folds in a Received field (folds.eml), every control and 8-bit byte in
# From and Return-Path (bytes.eml), and 5,000 fields after a folded Received field of 200 KB,
# over the cap, with 8-bit bytes in every field (many.eml).
hostile_messages() {
  { printf 'From: '
    for _ in $(seq 643); do printf '%070d\r\n ' 0 | tr 0 '('; done
    for _ in $(seq 643); do printf '%070d\r\n ' 0 | tr 0 ')'; done
    printf '<ann@example.org>\r\nSubject: nested comments\r\n\r\nbody\r\n'; } >"$work/nested.eml"
  { printf 'Received: from mx.example.net (mx.example.net'
    for _ in $(seq 10000); do printf '\r\n\ty'; done
    printf ' [192.0.2.9]) by x\r\nFrom: <ann@example.org>\r\nSubject: ten thousand folds\r\n\r\nbody\r\n'; } >"$work/folds.eml"
  { printf 'From: "'; for b in $(seq 0 31) $(seq 128 255); do [[ $b == 10 || $b == 13 ]] || printf "\\x$(printf %02x "$b")"; done
    printf '" <a\x01\x7f\x80\xff@example.org>\r\nReturn-Path: <\x1b[31m@x>\r\nSubject: control bytes\r\n\r\nbody\r\n'; } >"$work/bytes.eml"
  { printf 'Received: from big.example (big.example'
    for _ in $(seq 20000); do printf '\r\n\t\xe9xxxxxxx'; done
    printf ' [192.0.2.1]) by x\r\n'
    for i in $(seq 5000); do printf 'X-Filler-%d: \xe9\xff %d\r\n' "$i" "$i"; done
    printf 'From: \xc3\xa9 <ann@example.org>\r\nSubject: many fields\r\n\r\nbody\r\n'; } >"$work/many.eml"
}

# forged_message: a message that arrives with three fields under the filter's name, in any case,
# with a blank before the colon and folded, in $work/forged.eml.
forged_message() {
  { printf 'X-HDX-Identity: peer=203.0.113.7; from=ceo@bank.example\r\nFrom: <ann@example.org>\r\n'
    printf 'x-hdx-identity : forged\r\nSubject: forged fields\r\nX-HDX-IDENTITY:\r\n\tfolded\r\n\r\nbody\r\n'
  } >"$work/forged.eml"
}
# one_identity NAME FILE: the delivered message carries exactly one field of the name, and it
# starts as the real one does.
one_identity() {
  if [[ $(sed '/^$/q' "$2" | grep -a -c -i '^x-hdx-identity[ \t]*:') == 1 ]] &&
      [[ $(added "$2") == "X-HDX-Identity: peer=127.0.0.1; envelope-from=ann@example.org;"* ]]; then
    pass; else fail "$1"; sed '/^$/q' "$2"; fi
}

# upstream_session: one message over SMTP whose envelope has ESMTP parameters, a source route and
# a quoted local part, and whose header holds what relays upstream left: three Received fields,
# a Return-Path and an encoded, commented From. Its subject is "envelope and upstream fields".
upstream_session() {
  smtp_session "$smtp_port" <<'SMTP'
EHLO client.example
MAIL FROM:<ann@example.org> SIZE=1234 BODY=8BITMIME
RCPT TO:<@relay1.example,@relay2.example:bob@test.example>
RCPT TO:<"carl smith"@test.example>
RCPT TO:<dora@test.example>
DATA
Received: from mx1.example.net (mx1.example.net [192.0.2.25])
	by relay.example.org with ESMTPS id 1; Fri, 04 Dec 2026 02:26:18 +0000
Received: from mail.example.com (mail.example.com
	[IPv6:2001:db8::25]) by mx1.example.net; Fri, 04 Dec 2026 02:26:10 +0000
Received: by mail.example.com with SMTP id 7; Fri, 04 Dec 2026 02:26:00 +0000
Return-Path: <"ann smith"@example.org>
From: =?utf-8?Q?Ann_=C3=89xample?= <ann@example.org> (Ann in Sales)
Subject: envelope and upstream fields

body
.
QUIT
SMTP
}

# smtp_session PORT < SCRIPT: an SMTP client in bash, for envelopes that swaks cannot write (ESMTP
# parameters, source routes). It sends each line of the script with CR LF and reads the reply
# after each command; the lines after DATA, through ".", are the message.
smtp_session() {
  local fd reply line in_data=0
  exec {fd}<>"/dev/tcp/127.0.0.1/$1" || return 1
  read_reply() { while IFS= read -r -t 20 -u "$fd" reply; do [[ ${reply:3:1} == " " ]] && break; done; }
  read_reply
  while IFS= read -r line; do
    printf '%s\r\n' "$line" >&"$fd"
    if ((in_data)); then
      [[ $line == . ]] && in_data=0 && read_reply
      continue
    fi
    read_reply
    [[ ${line^^} == DATA ]] && in_data=1
  done
  exec {fd}>&-
}

# The mail filter under any MTA that speaks milter: $milter, listening on $milter_port, logging
# to $work/identity.log.
# start_milter [SOCKET]: the filter on SOCKET (default: its loopback port), once it listens there.
start_milter() {
  local socket=${1:-inet:$milter_port@127.0.0.1}
  "$milter" --foreground -p "$socket" --log "$work/identity.log" >>"$work/milter.out" 2>&1 &
  milter_pid=$!
  for _ in $(seq 50); do
    if [[ $socket == unix:* ]]; then grep -q " ${socket#unix:}\$" /proc/net/unix && return
    else (exec 3<>"/dev/tcp/127.0.0.1/$milter_port") 2>/dev/null && return; fi
    sleep 0.1
  done
  echo "FAIL: hdx-milter did not start on $socket"; cat "$work/milter.out"
}
# stop_milter: SIGTERM, after which the filter must exit cleanly.
stop_milter() {
  [[ -n $milter_pid ]] || return
  kill -TERM "$milter_pid"
  wait "$milter_pid" || fail "hdx-milter: exit status $? after SIGTERM"
  milter_pid=
}
# milter_under MTA: the filter on its loopback port under a throwaway instance of MTA (postfix or
# sendmail: its MTA_setup, MTA_start and MTA_stop), both stopped on exit, whatever happens.
milter_under() {
  rm -rf "$work" && mkdir -p "$work"
  # shellcheck disable=SC2064 # the MTA is named now
  trap "stop_milter; $1_stop" EXIT
  smtp_port=$(free_port) milter_port=$(free_port)
  "$1_setup" "$smtp_port" "$milter_port"
  start_milter
  "$1_start" || { echo "FAIL: $1 did not start"; cat "$work/$1.out"; exit 1; }
}
# logged FILE: the log line of the delivered message, found by the queue id the MTA gave it.
logged() {
  local id
  id=$(sed -n 's/.* with E\?SMTP id \([0-9A-Za-z]*\).*/\1/p' "$1" | head -n 1)
  grep -a -F "\"queue_id\":\"$id\"" "$work/identity.log" | sed "s/\"queue_id\":\"$id\"/\"queue_id\":\"QID\"/"
}
# check NAME SUBJECT WANT_FIELD WANT_LOG: the message must come through with both exactly as
# given; QID in WANT_LOG stands for the message's queue id.
check() {
  check_field "$1" "$2" "$3" || return
  local file
  file=$(delivered "$2")
  if [[ $(logged "$file") == "$4" ]]; then pass; else fail "$1: log line"; diff <(echo "$4") <(logged "$file"); fi
}

# milter_checks [64K]: what every MTA's run must show alike, byte for byte: the added field and
# the log line of a plain message and of one with an upstream envelope and fields, well-formed
# fields on hostile headers, and forged fields removed. With 64K, the MTA sends no header field
# over 64 KiB to a filter (Sendmail, whichever engine the filter runs on): the message with one
# must come through unmarked.
milter_checks() {
  local file
  send --from ann@example.org --to bob@test.example --h-From '"Ann Example" <ann@example.org>' \
    --h-Subject plain
  check "plain message" plain "X-HDX-Identity: peer=127.0.0.1; envelope-from=ann@example.org;
	rcpt=bob@test.example; from=ann@example.org; return-path=; received-ip=" \
  '{"queue_id":"QID","peer":"127.0.0.1","envelope_from":"ann@example.org","rcpt":["bob@test.example"],"from":"ann@example.org","return_path":null,"received":[]}'

  upstream_session
  check "envelope and upstream fields" "envelope and upstream fields" "X-HDX-Identity: peer=127.0.0.1; envelope-from=ann@example.org;
	rcpt=bob@test.example,\"\\\"carl smith\\\"@test.example\",dora@test.example;
	from=ann@example.org; return-path=smith@example.org; received-ip=192.0.2.25,
	IPv6:2001:db8::25," \
  '{"queue_id":"QID","peer":"127.0.0.1","envelope_from":"ann@example.org","rcpt":["bob@test.example","\"carl smith\"@test.example","dora@test.example"],"from":"ann@example.org","return_path":"smith@example.org","received":["192.0.2.25","IPv6:2001:db8::25",null]}'

  # Hostile headers: 90 KB of nested comments, 10,000 folds, and every control and 8-bit byte.
  hostile_messages
  send --from ann@example.org --to bob@test.example --data "@$work/nested.eml"
  if [[ ${1:-} == 64K ]]; then
    if marked "nested comments" no; then pass; else fail "90 KB of nested comments: marked"; fi
  else
    well_formed "90 KB of nested comments" "nested comments"
  fi
  send --from ann@example.org --to bob@test.example --data "@$work/folds.eml"
  check "10,000 folds" "ten thousand folds" "X-HDX-Identity: peer=127.0.0.1; envelope-from=ann@example.org;
	rcpt=bob@test.example; from=ann@example.org; return-path=;
	received-ip=192.0.2.9" \
  '{"queue_id":"QID","peer":"127.0.0.1","envelope_from":"ann@example.org","rcpt":["bob@test.example"],"from":"ann@example.org","return_path":null,"received":["192.0.2.9"]}'
  send --from ann@example.org --to bob@test.example --data "@$work/bytes.eml"
  well_formed "control and 8-bit bytes" "control bytes"
  # Fields that arrive under the filter's name, in any case, with blanks before the colon or folded,
  # are removed: the delivered message carries one field of that name, the filter's.
  forged_message
  send --from ann@example.org --to bob@test.example --data "@$work/forged.eml"
  if file=$(delivered "forged fields"); then one_identity "forged fields" "$file"; else fail "forged fields"; fi
}
