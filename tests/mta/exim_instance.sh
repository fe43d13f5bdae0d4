# Sourced, after harness.sh, by exim_test.sh and bench/exim_load.sh: a throwaway Exim of its own
# under $work, on loopback, run from Debian's exim4-daemon-heavy binary: installed, or unpacked
# beside Postfix by .ci/unpack-mta, as CI does (the two conflict as packages).
# exim_setup SMTP_PORT ACL_FILE writes its configuration, with ACL_FILE's statements in the DATA
# and non-SMTP ACLs; exim_start and exim_stop run it. Root only.
exim=${HDX_EXIM4:-$(command -v exim4 || echo /opt/exim4-heavy/usr/sbin/exim4)}
exim_conf=$(dirname "${BASH_SOURCE[0]}")/exim.conf
# Where this Exim binary looks for the configurations it runs with root's rights.
exim_trusted=/etc/exim4/trusted_configs

# exim_acl ACL_FILE MODULE: the package's statements, as the build or the package writes them,
# naming MODULE, and the libhdx that it loads, instead of their installed paths.
exim_acl() {
  local lib
  lib=$(ldd "$2" | awk '$1 ~ /^libhdx[.]so/ { print $3 }')
  sed -e "s|[^{} ]*/hdx-exim[.]so|$2|g" -e "s|[^{} ]*/libhdx[.]so[.0-9]*|$lib|g" "$1"
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
