#!/usr/bin/env bash
# The advertisement-to-hook path of tamrod taken apart, on the namespaces of bench/run.sh: each
# advertisement's send, the listener's receive and post, the manager's read and publication, the
# output thread's read and spawn, the hook's exec (kernel tracepoints, recorded with perf on the
# wall clock) and the hook's own first stamp. Prints the median and 99th percentile of each step.
# Asserts nothing. About half a minute.
#
# Environment: TAMROD_BUILD_DIR as in run.sh; BENCH_ADS (default 100) advertisements.
set -euo pipefail

# shellcheck source=SCRIPTDIR/../scripts/lab.sh
source "$(dirname "$0")/../scripts/lab.sh" steps
# shellcheck source=SCRIPTDIR/lab_bench.sh
source "$(dirname "$0")/lab_bench.sh"
ads=${BENCH_ADS:-100}

bench_prepare
command -v perf >/dev/null || lab_install linux-perf || lab_fail "perf is missing (apt-get install linux-perf)"
lab_refuse_running
lab_workdir
chmod 755 "$work"
bench_namespaces
ln -s "$tool" "$work/tamrod-hook"
: >"$work/tamrod-hook.log"
chmod 666 "$work/tamrod-hook.log"
bssid=02:00:5e:00:53:01
bench_four_held

# Threads in creation order, as run.sh has them.
thread_names=(main timer mgr out kl rq-send rq-watch wl)
names=$("$tool" threads "$daemon_pid" | awk '{print $2}' | sort -n |
  awk -v n="${thread_names[*]}" 'BEGIN { split(n, a, " ") } { printf "%s=%s ", $1, (NR in a) ? a[NR] : "t" NR }')

events=(syscalls:sys_enter_sendto syscalls:sys_exit_recvfrom syscalls:sys_enter_writev syscalls:sys_exit_read
  syscalls:sys_enter_clone syscalls:sys_enter_clone3 syscalls:sys_enter_vfork sched:sched_process_exec)
# perf cannot stamp with the wall clock (the hook does); the monotonic clock runs beside it at an
# offset that stays fixed unless the wall clock is stepped.
mono_offset=$("$tool" clocks)
perf record -q -a -k CLOCK_MONOTONIC -o "$work/steps.data" "${events[@]/#/-e}" >/dev/null 2>&1 &
perf_pid=$!
sleep 1
in_rtr "$tool" latency rtr0 2001:db8:d:: "$ads" 2000 3000 "$work/tamrod-hook.log" >/dev/null
sleep 0.5
kill -INT "$perf_pid"
wait "$perf_pid" || true

# One line per event of interest: time in ns, what happened. The hook's stamps join them.
perf script -i "$work/steps.data" -F comm,pid,tid,time,event --ns 2>/dev/null |
  awk -v pid="$daemon_pid" -v names="$names" -v off="$mono_offset" '
    BEGIN { split(names, kv, " "); for (i in kv) { split(kv[i], p, "="); nm[p[1]] = p[2] } }
    { split($2, id, "/"); t = $3; sub(":", "", t); sub(/\./, "", t); t = sprintf("%.0f", t - off); ev = $4; sub(":$", "", ev)
      who = (id[1] == pid && id[2] in nm) ? nm[id[2]] : $1 }
    ev ~ /sendto/ && $1 == "tamrod_bench" { print t, "sent"; next }
    id[1] != pid && ev !~ /exec/ { next }
    ev ~ /recvfrom/ && who == "kl" { print t, "kl-recv"; next }
    ev ~ /writev/ && who == "kl" { print t, "kl-post"; next }
    ev ~ /read/ && who == "mgr" { print t, "mgr-read"; next }
    ev ~ /writev/ && who == "mgr" { print t, "mgr-publish"; next }
    ev ~ /read/ && who == "out" { print t, "out-read"; next }
    ev ~ /clone|vfork/ && who == "out" { print t, "out-spawn"; next }
    ev ~ /exec/ && $1 == "tamrod-hook" { print t, "exec" }' >"$work/events"
awk '{ print $1, "hook" }' "$work/tamrod-hook.log" >>"$work/events"

# Per advertisement, the first of each step after the one before it; an advertisement whose
# chain is incomplete before the next is sent is left out.
sort -n "$work/events" | awk -v ads="$ads" '
  BEGIN { n = split("sent kl-recv kl-post mgr-read mgr-publish out-read out-spawn exec hook", step, " ") }
  function flush() { if (k == n) { ++done; for (i = 2; i <= n; ++i) print step[i], (at[i] - at[i - 1]) / 1000 } }
  $2 == "sent" { flush(); k = 1; at[1] = $1; next }
  k > 0 && k < n && $2 == step[k + 1] { at[++k] = $1 }
  END { flush(); print "complete", done }' >"$work/steps"

pct() { sort -n | awk -v p="$1" '{ v[NR] = $1 } END { i = int(NR * p + 0.999); if (i < 1) i = 1; printf "%.0f", v[i] }'; }
complete=$(awk '$1 == "complete" { print $2 }' "$work/steps")
echo
echo "| Step ($complete of $ads advertisements traced whole) | median µs | 99th percentile µs |"
echo "|---|---|---|"
row() {
  local vals
  vals=$(awk -v s="$2" '$1 == s { print $2 }' "$work/steps")
  [[ -n $vals ]] || return 0
  echo "| $1 | $(pct 0.5 <<<"$vals") | $(pct 0.99 <<<"$vals") |"
}
row "kernel to listener: advertisement sent to the listener's receive returning" kl-recv
row "listener: receive to its post on the manager channel" kl-post
row "channel: post to the manager's read returning" mgr-read
row "manager: read to publication on the output channel" mgr-publish
row "channel: publication to the output thread's read returning" out-read
row "output: read to the spawn of the hook" out-spawn
row "spawn to the hook's exec" exec
row "exec to the hook's first stamp (loader, C++ start-up)" hook
