# Sourced, after harness.sh, by postfix_test.sh and bench/milter_load.sh: a throwaway Postfix
# instance of its own under $work, on loopback, configured from postfix/. postfix_setup SMTP_PORT
# MILTER_PORT writes its configuration; postfix_start and postfix_stop run it.
# Delivery goes to one Maildir, $work/mail/inbox, for every recipient in test.example.

postfix_setup() {
  local smtp_port=$1 milter_port=$2
  mkdir -p "$work/etc" "$work/queue" "$work/data" "$work/mail"
  chown postfix "$work/data"
  chown nobody:nogroup "$work/mail"
  local conf
  conf=$(dirname "${BASH_SOURCE[0]}")/postfix
  fill "$conf/main.cf" WORK="$work" MILTER_PORT="$milter_port" NOBODY_UID="$(id -u nobody)" \
    NOGROUP_GID="$(getent group nogroup | cut -d: -f3)" >"$work/etc/main.cf"
  fill "$conf/master.cf" SMTP_PORT="$smtp_port" >"$work/etc/master.cf"
}

postfix_start() { postfix -c "$work/etc" start >>"$work/postfix.out" 2>&1; }
# Waits until the master process has gone, so that nothing is left running.
postfix_stop() {
  postfix -c "$work/etc" stop >>"$work/postfix.out" 2>&1
  for _ in $(seq 100); do postfix -c "$work/etc" status >/dev/null 2>&1 || return 0; sleep 0.1; done
}
