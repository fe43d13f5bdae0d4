# Sourced by the MTA benchmarks (milter_load.sh, exim_load.sh): a throwaway Postfix or Exim of
# their own under $work, on loopback, configured from the tests' templates in tests/mta/, as the
# live tests (tests/mta/live.py) set them up. Root only.
templates=$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/mta" && pwd)

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

# postfix_setup SMTP_PORT MILTER_PORT writes its configuration; postfix_start and postfix_stop run
# it. Delivery goes to one Maildir, $work/mail/inbox, for every recipient in test.example.
postfix_setup() {
  local smtp_port=$1 milter_port=$2
  mkdir -p "$work/etc" "$work/queue" "$work/data" "$work/mail"
  chown postfix "$work/data"
  chown nobody:nogroup "$work/mail"
  fill "$templates/postfix/main.cf" WORK="$work" MILTER_PORT="$milter_port" \
    NOBODY_UID="$(id -u nobody)" NOGROUP_GID="$(getent group nogroup | cut -d: -f3)" \
    >"$work/etc/main.cf"
  fill "$templates/postfix/master.cf" SMTP_PORT="$smtp_port" >"$work/etc/master.cf"
}
postfix_start() { postfix -c "$work/etc" start >>"$work/postfix.out" 2>&1; }
# Waits until the master process has gone, so that nothing is left running.
postfix_stop() {
  postfix -c "$work/etc" stop >>"$work/postfix.out" 2>&1
  for _ in $(seq 100); do postfix -c "$work/etc" status >/dev/null 2>&1 || return 0; sleep 0.1; done
}

exim=${HDX_EXIM4:-$(command -v exim4 || echo /opt/exim4-heavy/usr/sbin/exim4)}
exim_conf=$templates/exim.conf
# Where this Exim binary looks for the configurations it runs with root's rights.
exim_trusted=/etc/exim4/trusted_configs

# exim_acl ACL_FILE MODULE: the package's statements, as the build or the package writes them,
# naming MODULE, the libhdx that it loads and a policy file in $work, instead of their installed
# paths. The policy file is left empty, as the package installs it: it acts on nothing.
exim_acl() {
  local lib
  lib=$(ldd "$2" | awk '$1 ~ /^libhdx[.]so/ { print $3 }')
  : >"$work/hdx-policy.conf"
  sed -e "s|[^{} ]*/hdx-exim[.]so|$2|g" -e "s|[^{} ]*/libhdx[.]so[.0-9]*|$lib|g" \
    -e "s|[^{} ]*/hdx-policy[.]conf|$work/hdx-policy.conf|g" "$1"
}
exim_setup() {
  local smtp_port=$1 acl_file=$2
  mkdir -p "$work/spool" "$work/log" "$work/mail"
  chown Debian-exim:Debian-exim "$work/spool" "$work/log"
  chown nobody:nogroup "$work/mail"
  fill "$exim_conf" EXIM="$exim" WORK="$work" PORT="$smtp_port" ACL="$acl_file" >"$work/exim.conf"
  # Exim gives up root for a configuration named with -C unless the trusted list names it; then
  # its deliveries could not become the mailbox's user.
  mkdir -p "${exim_trusted%/*}"
  grep -q -x -F "$work/exim.conf" "$exim_trusted" 2>/dev/null ||
    echo "$work/exim.conf" >>"$exim_trusted"
  chmod 644 "$exim_trusted"
}
exim_start() {
  "$exim" -C "$work/exim.conf" -bdf >>"$work/exim.out" 2>&1 &
  exim_pid=$!
  wait_port "$(sed -n 's/^daemon_smtp_ports = //p' "$work/exim.conf")"
}
# exim_submit RCPT < MESSAGE: a local submission, as sendmail hands one over.
exim_submit() { "$exim" -C "$work/exim.conf" -bm "$@"; }
# Stops the daemon and waits for every process of this instance, so that nothing is left running,
# then takes the configuration off the trusted list.
exim_stop() {
  [[ -n ${exim_pid:-} ]] && kill -TERM "$exim_pid" 2>/dev/null && wait "$exim_pid"
  for _ in $(seq 100); do pgrep -f -- "-C $work/exim.conf" >/dev/null || break; sleep 0.1; done
  pkill -KILL -f -- "-C $work/exim.conf"
  [[ -f $exim_trusted ]] && sed -i "\\|^$work/exim.conf\$|d" "$exim_trusted"
  [[ -s $exim_trusted ]] || rm -f "$exim_trusted"
  rmdir "${exim_trusted%/*}" 2>/dev/null || true  # where the test made it
}
