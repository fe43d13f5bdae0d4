# Sourced, after harness.sh, by sendmail_test.sh: a throwaway Sendmail of its own under $work, on
# loopback, run from Debian's sendmail-bin: installed, or unpacked beside Postfix by
# .ci/unpack-mta, as CI does (the two conflict as packages). sendmail_setup SMTP_PORT MILTER_PORT
# writes its configuration from sendmail.mc; sendmail_start and sendmail_stop run it. Root only.
sendmail_root=${HDX_SENDMAIL_ROOT:-$([[ -x /usr/libexec/sendmail/sendmail ]] || echo /opt/sendmail)}
sendmail=$sendmail_root/usr/libexec/sendmail/sendmail

sendmail_setup() {
  local smtp_port=$1 milter_port=$2 inbox=$work/mail/inbox
  mkdir -p "$work/mqueue" "$inbox/tmp" "$inbox/new" "$inbox/cur"
  chmod 700 "$work/mqueue"
  chown -R nobody:nogroup "$work/mail"
  printf 'hosts files\naliases files\n' >"$work/service.switch"
  printf '%s mx.hdx-test.example localhost\n' 127.0.0.1 ::1 >"$work/hosts"
  : >"$work/statistics"
  # Each message into the Maildir as Maildir readers expect: written under tmp/, then moved.
  printf '%s\n' '#!/bin/sh' 'name=$(date +%s.%N).$$' \
    "cat >\"$inbox/tmp/\$name\" && mv \"$inbox/tmp/\$name\" \"$inbox/new/\$name\"" \
    >"$work/deliver.sh"
  fill "$(dirname "${BASH_SOURCE[0]}")/sendmail.mc" CF="$sendmail_root/usr/share/sendmail/cf" \
    WORK="$work" SMTP_PORT="$smtp_port" MILTER_PORT="$milter_port" | m4 >"$work/sendmail.cf"
}
# Sendmail looks its own host name up at start, and sleeps a minute where that fails, as it does
# where the machine's name is in no hosts file and no DNS answers. So it runs in namespaces of
# its own: its host name is the test's, and /etc/hosts, for it alone, names it.
sendmail_start() {
  unshare --mount --uts sh -c 'mount --bind "$1" /etc/hosts && hostname mx.hdx-test.example &&
    exec "$2" -C "$3" -bD' sh "$work/hosts" "$sendmail" "$work/sendmail.cf" \
    >>"$work/sendmail.out" 2>&1 &
  sendmail_pid=$!
  wait_port "$(sed -n 's/^O DaemonPortOptions=Port=\([0-9]*\).*/\1/p' "$work/sendmail.cf")"
}
# Stops the daemon and every process it started (each runs in its mount namespace), so that
# nothing is left running.
sendmail_stop() {
  [[ -n ${sendmail_pid:-} ]] || return 0
  local ns
  ns=$(readlink "/proc/$sendmail_pid/ns/mnt")
  kill -TERM "$sendmail_pid" 2>/dev/null && wait "$sendmail_pid"
  for pid in $(ps -e -o pid=); do
    [[ $(readlink "/proc/$pid/ns/mnt" 2>/dev/null) == "$ns" ]] && kill -KILL "$pid" 2>/dev/null
  done
  sendmail_pid=
}
