#!/usr/bin/env bash
# hdx-milter as its package installs it, with Debian's own Postfix as an administrator runs it:
# the stock master.cf (smtpd and cleanup chrooted in /var/spool/postfix), Postfix started by its
# init script, the filter started as its unit starts it (user, group, umask, directories, command
# line) on the unix socket inside Postfix's queue directory. A message with two forged fields
# must come through with one field of the filter's name, the filter's; after a forced logrotate,
# the next message's log line must be in the new file; with the filter stopped, a forged message
# must be delivered with no field of that name, which the package's header_checks table drops.
# Root only; it stops what it started and puts back the configuration it changed.
set -euo pipefail
unit=/lib/systemd/system/hdx-milter.service
socket=/var/spool/postfix/hdx-milter/hdx-milter.sock
log=/var/log/hdx-milter/identity.log
work=$(mktemp -d /var/tmp/hdx-installed.XXXXXX)
chmod 755 "$work"
filter_pid=
configs=(/etc/hdx-milter.conf /etc/postfix/main.cf)
for file in "${configs[@]}"; do
  [[ -e $file ]] && cp -p "$file" "$work/${file##*/}.saved"
done
cleanup() {
  if [[ -n $filter_pid ]]; then
    kill -TERM "$filter_pid" 2>/dev/null
    wait "$filter_pid" || echo "installed hdx-milter: exit status $? after SIGTERM" >&2
  fi
  /etc/init.d/postfix stop >/dev/null 2>&1 || true
  for file in "${configs[@]}"; do
    local saved=$work/${file##*/}.saved
    if [[ -e $saved ]]; then cp -p "$saved" "$file"; else rm -f "$file"; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT
# The harness's checks, against Postfix on its standard port; any failure ends the check.
. "$(dirname "$0")/harness.sh"
smtp_port=25
fail() { echo "installed hdx-milter: $*" >&2; exit 1; }
[[ -d /var/spool/postfix/hdx-milter ]] || fail "the package made no socket directory"

# The two socket lines of the README: the filter's path, and the same path as the chroot sees it.
sed -i -e "s|^socket = .*|socket = unix:$socket|" -e "s|^#log = .*|log = $log|" /etc/hdx-milter.conf
mkdir -p "$work/mail" && chown nobody:nogroup "$work/mail"
fill "$(dirname "$0")/postfix/installed-main.cf" WORK="$work" NOBODY_UID="$(id -u nobody)" \
  NOGROUP_GID="$(getent group nogroup | cut -d: -f3)" >/etc/postfix/main.cf

# The filter as systemd starts it; systemd makes the unit's directories before it starts.
setting() { sed -n "s/^$1=//p" "$unit"; }
for dir in "/run/$(setting RuntimeDirectory)" "/var/log/$(setting LogsDirectory)"; do
  install -d -o "$(setting User)" -g "$(setting Group)" "$dir"
done
# shellcheck disable=SC2046 # the unit's command line, split as systemd splits it
(umask "$(setting UMask)" && exec setpriv --reuid="$(setting User)" --regid="$(setting Group)" \
  --init-groups $(setting ExecStart)) &
filter_pid=$!
for _ in $(seq 50); do grep -q " $socket\$" /proc/net/unix && break; sleep 0.1; done
grep -q " $socket\$" /proc/net/unix || fail "the filter does not listen on $socket"
/etc/init.d/postfix start >/dev/null && wait_port 25 || fail "Postfix did not start"
# Nothing listens outside loopback: every TCP listener on port 25 is bound to 127.0.0.1.
awk '$4 == "0A" && $2 ~ /:0019$/ && $2 !~ /^0100007F:/ { bad = 1 } END { exit bad }' \
  /proc/net/tcp || fail "Postfix listens outside loopback"

queue_id() { sed -n 's/.* with E\?SMTP id \([0-9A-F]*\).*/\1/p' "$1" | head -n 1; }
logged() { grep -q "\"queue_id\":\"$(queue_id "$file")\"" "$log"; }

forged_message
send --from ann@example.org --to bob@test.example --data "@$work/forged.eml"
file=$(delivered "forged fields") || { tail -n 20 "$work/maillog"; fail "nothing was delivered"; }
one_identity "forged fields" "$file"
logged || fail "no log line for the first message"

logrotate -f /etc/logrotate.d/hdx-milter
[[ -s $log.1 ]] || fail "logrotate did not rotate $log"
send --from ann@example.org --to bob@test.example --h-Subject "after logrotate"
file=$(delivered "after logrotate") || fail "the message after logrotate was not delivered"
for _ in $(seq 50); do logged && break; sleep 0.1; done
logged || fail "after logrotate, the line is not in $log"

# The filter stopped: Postfix accepts mail unfiltered, and the sender's fields must not pass.
kill -TERM "$filter_pid" && wait "$filter_pid" || fail "hdx-milter: exit status $? after SIGTERM"
filter_pid=
sed -i 's/^Subject: forged fields/Subject: filter stopped/' "$work/forged.eml"
send --from ann@example.org --to bob@test.example --data "@$work/forged.eml"
file=$(delivered "filter stopped") || fail "with the filter stopped, nothing was delivered"
forged=$(sed '/^$/q' "$file" | grep -a -c -i '^x-hdx-identity[ \t]*:' || true)
[[ $forged == 0 ]] || { sed '/^$/q' "$file"; fail "filter stopped: $forged forged fields delivered"; }
echo "hdx-milter with Debian's Postfix, chrooted, on its unix socket; forged fields; logrotate;" \
  "filter stopped, forged fields delivered: 0: ok"
