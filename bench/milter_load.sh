#!/usr/bin/env bash
# What the filter costs Postfix: a throwaway Postfix on loopback (as the tests set it up) takes N
# messages from smtp-source over 20 sessions, timed from the first connection to the last
# delivery, with no filter, with hdx-milter and with OpenDKIM verifying (Debian's opendkim, a
# config of its own on another loopback port). Each runs twice; the best counts. It prints the
# times, the ratios and each hdx-milter's CPU per message (utime + stime of all its threads,
# from /proc), then sends more mail through hdx-milter to see that its memory stays flat.
# BASELINE, where given, is another hdx-milter binary measured the same way beside it: the filter
# as it was on libmilter (git checkout 1e899d0 and build it, or keep its binary).
# Usage: [MILTER_SOCKET=unix] bench/milter_load.sh HDX_MILTER [N] [RSS_MESSAGES] [BASELINE]
# (defaults 2000 and 20000, loopback TCP; root)
set -uo pipefail
milter=$(realpath "$1") messages=${2:-2000} rss_messages=${3:-20000}
baseline=${4:+$(realpath "$4")}
[[ $(id -u) == 0 ]] || { echo "milter_load.sh: a throwaway Postfix needs root"; exit 1; }
for tool in postfix smtp-source opendkim; do
  command -v "$tool" >/dev/null || { echo "milter_load.sh: $tool is not installed"; exit 1; }
done
work=$(mktemp -d /tmp/hdx-milter-load.XXXXXX) && chmod 755 "$work"  # Postfix users walk it
. "$(dirname "$0")/mta.sh"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  postfix_stop
  rm -rf "$work"
}
trap cleanup EXIT

smtp_port=$(free_port)
postfix_setup "$smtp_port" "$(free_port)"
postfix_start || { cat "$work/postfix.out"; exit 1; }

# Where each filter listens: a loopback TCP port, or with MILTER_SOCKET=unix a unix socket, as the
# README recommends, in a set-group-ID directory of Postfix's group so that Postfix reaches it.
declare -A listen mta_side pid
for f in hdx baseline opendkim; do
  if [[ ${MILTER_SOCKET:-inet} == unix ]]; then
    install -d -m 2770 -o "$([[ $f == opendkim ]] && echo opendkim || echo root)" -g postfix \
      "$work/$f"
    listen[$f]=unix:$work/$f/milter.sock mta_side[$f]=unix:$work/$f/milter.sock
  else
    port=$(free_port)
    listen[$f]=inet:$port@127.0.0.1 mta_side[$f]=inet:127.0.0.1:$port
  fi
done
# listening FILTER: waits up to 5 s for the filter's socket.
listening() {
  local socket=${listen[$1]}
  for _ in $(seq 50); do
    if [[ $socket == unix:* ]]; then [[ -S ${socket#unix:} ]] && return
    else socket=${socket#inet:} && wait_port "${socket%@*}" && return; fi
    sleep 0.1
  done
  echo "$1 did not start on $socket"; exit 1
}
setups=(none hdx opendkim)
"$milter" --foreground -p "${listen[hdx]}" --log "$work/identity.log" &
pid[hdx]=$!
if [[ -n $baseline ]]; then
  "$baseline" --foreground -p "${listen[baseline]}" --log "$work/baseline.log" &
  pid[baseline]=$!
  setups=(none baseline hdx opendkim)
  listening baseline
fi
pids+=("${pid[hdx]}" ${pid[baseline]:+"${pid[baseline]}"})
hdx_pid=${pid[hdx]}
cat >"$work/opendkim.conf" <<CONF
Mode v
Socket ${listen[opendkim]}
UMask 007
Syslog no
Background no
UserID opendkim
CONF
opendkim -x "$work/opendkim.conf" &
pid[opendkim]=$!
pids+=($!)
listening hdx
listening opendkim

inbox=$work/mail/inbox/new
delivered() { find "$inbox" -maxdepth 1 -type f 2>/dev/null | wc -l; }
# use MILTER: points smtpd at MILTER (empty for none); new sessions read it after the reload.
use() {
  postconf -c "$work/etc" -e "smtpd_milters = $1"
  postfix -c "$work/etc" reload >/dev/null 2>&1
  sleep 1
}
# send COUNT: seconds from the first connection until COUNT more messages are delivered.
send() {
  local before want start
  before=$(delivered) want=$(($(delivered) + $1)) start=$(date +%s%N)
  smtp-source -c -m "$1" -s 20 -f ann@example.org -t bob@test.example "127.0.0.1:$smtp_port" \
    >/dev/null
  while (($(delivered) < want)); do sleep 0.02; done
  echo $((($(date +%s%N) - start) / 1000000))
}
# Clock ticks of user time, and of system time, of all the filter's threads.
user_ticks() { awk '{ print $14 }' "/proc/${pid[$1]}/stat"; }
system_ticks() { awk '{ print $15 }' "/proc/${pid[$1]}/stat"; }
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$hdx_pid/status"; }

declare -A best ticks
for round in 1 2; do
  for setup in "${setups[@]}"; do
    use "${mta_side[$setup]:-}"
    [[ -n ${pid[$setup]:-} ]] && user=$(user_ticks "$setup") system=$(system_ticks "$setup")
    ms=$(send "$messages")
    if [[ -z ${best[$setup]:-} ]] || ((ms < best[$setup])); then
      best[$setup]=$ms
      [[ -n ${pid[$setup]:-} ]] &&
        ticks[$setup]="$(($(user_ticks "$setup") - user)) $(($(system_ticks "$setup") - system))"
    fi
  done
done
marked=$(grep -r -l '^X-HDX-Identity:' "$inbox" | wc -l)
hz=$(getconf CLK_TCK)
printf '%d messages over 20 sessions, best of two runs each; the filters on %s sockets\n' \
  "$messages" "${MILTER_SOCKET:-inet}"
printf '%-22s %8s %8s\n' setup seconds ratio
declare -A label=([none]="no filter" [hdx]=hdx-milter [baseline]="hdx-milter, baseline"
                  [opendkim]="OpenDKIM (verify)")
for setup in "${setups[@]}"; do
  awk -v s="${label[$setup]}" -v ms="${best[$setup]}" -v base="${best[none]}" \
    'BEGIN { printf "%-22s %8.2f %7.2fx\n", s, ms / 1000, ms / base }'
done
for setup in "${!ticks[@]}"; do
  awk -v s="${label[$setup]}" -v t="${ticks[$setup]}" -v hz="$hz" -v n="$messages" \
    'BEGIN { split(t, u, " "); f = 1e6 / hz / n
             printf "%s CPU per message: %.0f us (user %.0f, system %.0f)\n", s,
                    (u[1] + u[2]) * f, u[1] * f, u[2] * f }'
done
awk -v h="${best[hdx]}" -v d="${best[opendkim]}" \
  'BEGIN { printf "hdx-milter against OpenDKIM: %.2fx its time\n", h / d }'

# Memory: resident size after `messages` through the filter and after `rss_messages`.
use "${mta_side[hdx]}"
rss_first=$(rss_kib)  # of the filter under test
((rss_messages > 2 * messages)) && send $((rss_messages - 2 * messages)) >/dev/null
rss_last=$(rss_kib)
awk -v a="$rss_first" -v b="$rss_last" -v m="$rss_messages" -v f=$((2 * messages)) \
  'BEGIN { printf "hdx-milter RSS: %d KiB after %d messages, %d KiB after %d (%+.1f%%)\n",
           a, f, b, m, (b - a) * 100 / a }'
echo "messages marked by hdx-milter: $marked"
