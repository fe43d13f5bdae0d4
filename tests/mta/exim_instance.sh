# Sourced, after harness.sh, by exim_test.sh and bench/exim_load.sh: a throwaway Exim of its own
# under $work, on loopback, run from Debian's exim4-daemon-heavy binary: installed, or unpacked
# beside Postfix by exim_unpack.sh, as CI does (the two conflict as packages).
# exim_setup SMTP_PORT ACL_FILE writes its configuration, with ACL_FILE's statements in the DATA
# and non-SMTP ACLs; exim_start and exim_stop run it. Root only.
exim=${HDX_EXIM4:-$(command -v exim4 || echo /opt/exim4-heavy/usr/sbin/exim4)}
# Where this Exim binary looks for the configurations it runs with root's rights.
exim_trusted=/etc/exim4/trusted_configs

exim_setup() {
  local smtp_port=$1 acl_file=$2
  mkdir -p "$work/spool" "$work/log" "$work/mail"
  chown Debian-exim:Debian-exim "$work/spool" "$work/log"
  chown nobody:nogroup "$work/mail"
  cat >"$work/exim.conf" <<CF
exim_path = $exim
primary_hostname = mx.hdx-test.example
spool_directory = $work/spool
log_file_path = $work/log/%slog
daemon_smtp_ports = $smtp_port
local_interfaces = 127.0.0.1
keep_environment =
tls_advertise_hosts =
host_lookup =
rfc1413_hosts =
# Every message is delivered at once, however many a session sends.
smtp_accept_queue_per_connection = 0
smtp_accept_max = 0
domainlist local_domains = test.example
acl_smtp_rcpt = acl_rcpt
acl_smtp_data = acl_data
acl_not_smtp = acl_data

begin acl
acl_rcpt:
  accept domains = +local_domains
  deny
acl_data:
.include $acl_file
  accept

begin routers
inbox:
  driver = accept
  domains = +local_domains
  transport = inbox

begin transports
inbox:
  driver = appendfile
  directory = $work/mail/inbox
  maildir_format
  create_directory
  user = nobody
  group = nogroup
CF
  # Exim gives up root for a configuration named with -C unless the trusted list names it; then
  # its deliveries could not become the mailbox's user.
  mkdir -p "${exim_trusted%/*}"
  grep -q -x -F "$work/exim.conf" "$exim_trusted" 2>/dev/null || echo "$work/exim.conf" >>"$exim_trusted"
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
