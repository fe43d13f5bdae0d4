#!/usr/bin/env bash
# What marking every message costs Exim: a throwaway Exim on loopback (as the tests set it up)
# takes N messages from smtp-source over 20 sessions, timed from the first connection to the last
# delivery, with no ACL statement, with the module's two statements, and with the same field made
# by a program that ${run} starts once per message (what a user of the light daemon would do).
# Each runs three times, in turn; the best counts. The figures of one machine move by a tenth
# from run to run, which is more than the statements cost, so it also measures, with perf where
# it is there, the CPU that loading the module and one call add to a fresh Exim process (Exim
# starts one for each connection). Where the cpuacct cgroup is there, it also prints the CPU
# that all of Exim's processes spent a message, and what each setup adds to it.
# Usage: bench/exim_load.sh MODULE IDENTITY_RUN [N]   (default 2000; root; Exim found as the
# tests find it)
set -uo pipefail
module=$(realpath "$1") identity_run=$(realpath "$2") messages=${3:-2000}
[[ $(id -u) == 0 ]] || { echo "exim_load.sh: a throwaway Exim needs root"; exit 1; }
command -v smtp-source >/dev/null || { echo "exim_load.sh: smtp-source is not installed"; exit 1; }
work=$(mktemp -d /tmp/hdx-exim-load.XXXXXX) && chmod 755 "$work"  # Exim's users walk it
. "$(dirname "$0")/mta.sh"
[[ -x $exim ]] || { echo "exim_load.sh: no Exim binary (.ci/unpack-mta)"; exit 1; }
cgroup=/sys/fs/cgroup/cpuacct/hdx-exim-load
mkdir -p "$cgroup" 2>/dev/null || cgroup=
cleanup() {
  exim_stop
  [[ -n $cgroup ]] && rmdir "$cgroup" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

: >"$work/none.acl"
exim_acl "$(dirname "$module")/hdx-exim.acl" "$module" >"$work/dlfunc.acl"
run='$sender_host_address $sender_address $recipients $message_headers_raw'
cat >"$work/run.acl" <<ACL
warn  remove_header = X-HDX-Identity
      add_header    = X-HDX-Identity: \${run{$identity_run $run}}
ACL
smtp_port=$(free_port)
inbox=$work/mail/inbox/new
count() { ls -U "$inbox" 2>/dev/null | wc -l; }
cpu_ns() { if [[ -n $cgroup ]]; then cat "$cgroup/cpuacct.usage"; else echo 0; fi; }
# use SETUP: Exim restarted with that setup's statements, in the cgroup from its first process on,
# delivering into an empty mailbox: a directory that grows from run to run slows the later ones.
use() {
  exim_stop
  rm -rf "$work/mail/inbox"
  exim_setup "$smtp_port" "$work/$1.acl"
  exim_start || { cat "$work/exim.out"; exit 1; }
  [[ -n $cgroup ]] && echo "$exim_pid" >"$cgroup/tasks"
}
# send COUNT: milliseconds from the first connection until COUNT messages are delivered; a run
# that has not delivered them a minute after the last is sent stops the benchmark.
send() {
  local want start waited=0
  want=$1 start=$(date +%s%N)
  smtp-source -c -m "$1" -s 20 -f ann@example.org -t bob@test.example "127.0.0.1:$smtp_port" \
    >/dev/null
  while (($(count) < want)); do
    ((waited++ < 600)) || { echo "exim_load.sh: $(count) of $want delivered" >&2; exit 1; }
    sleep 0.1
  done
  echo $((($(date +%s%N) - start) / 1000000))
}

declare -A best cpu
setups=(none dlfunc run)
marked=0
# Each round starts with another setup, so that none of them always runs first.
for round in 0 1 2; do
  for i in 0 1 2; do
    setup=${setups[(round + i) % 3]}
    use "$setup"
    before=$(cpu_ns)
    ms=$(send "$messages") || exit 1
    used=$(($(cpu_ns) - before))
    echo "round $((round + 1)), $setup: $ms ms, $((used / messages / 1000)) us of CPU a message" >&2
    [[ $setup == none ]] ||
      marked=$((marked + $(grep -l '^X-HDX-Identity: peer=127.0.0.1;' "$inbox"/* | wc -l)))
    if [[ -z ${best[$setup]:-} ]] || ((ms < best[$setup])); then
      best[$setup]=$ms cpu[$setup]=$used
    fi
  done
done
printf '%d messages over 20 sessions, best of three runs each; %d of %d marked\n' \
  "$messages" "$marked" $((6 * messages))
printf '%-34s %8s %8s %14s %14s\n' setup seconds ratio "CPU/message" "added CPU"
declare -A label=([none]="no ACL statement" [dlfunc]="hdx-exim (\${dlfunc})"
                  [run]="a program per message (\${run})")
for setup in none dlfunc run; do
  awk -v s="${label[$setup]}" -v ms="${best[$setup]}" -v base="${best[none]}" -v n="$messages" \
      -v c="${cpu[$setup]}" -v c0="${cpu[none]}" -v have="$cgroup" \
    'BEGIN { printf "%-34s %8.2f %7.2fx", s, ms / 1000, ms / base
             if (have != "") printf " %11.0f us %11.1f us", c / n / 1000, (c - c0) / n / 1000
             printf "\n" }'
done
if command -v perf >/dev/null; then
  task_ms() { perf stat -r 200 -e task-clock "$exim" -C "$work/exim.conf" -be "$1" 2>&1 >/dev/null |
                awk '/task-clock/ { print $1 }'; }
  plain=$(task_ms x) loaded=$(task_ms "\${dlfunc{$module}{path}{MAIL FROM:<a@b>}}")
  awk -v a="$plain" -v b="$loaded" 'BEGIN { printf "a fresh Exim process: %.2f ms of CPU, %.2f ms " \
    "with the module loaded and called once (perf stat, 200 runs each)\n", a, b }'
fi
