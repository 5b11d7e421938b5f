#!/usr/bin/env bash
# Where tamrod's cost goes, beside rdnssd on the same link as in bench/run.sh: the PSS of each
# mapping after start (/proc/PID/smaps), then a flood of advertisements sampled with perf (software
# clock, so it works where hardware counters do not), reported per thread and per function for both
# daemons. Prints tables; asserts nothing. About one minute.
#
# Environment: TAMROD_BUILD_DIR as in run.sh; BENCH_FLOOD (default 50000) advertisements at
# BENCH_RATE (default 20000) per second; BENCH_MEM_ONLY=1 stops after the memory tables;
# BENCH_KEEP=1 keeps the work directory (perf data).
set -euo pipefail

# shellcheck source=SCRIPTDIR/../scripts/lab.sh
source "$(dirname "$0")/../scripts/lab.sh" profile
# shellcheck source=SCRIPTDIR/lab_bench.sh
source "$(dirname "$0")/lab_bench.sh"
flood_total=${BENCH_FLOOD:-50000}
flood_rate=${BENCH_RATE:-20000}
lab_keep=${BENCH_KEEP:-}

bench_prepare
command -v perf >/dev/null || lab_install linux-perf || lab_fail "perf is missing (apt-get install linux-perf)"
rdnssd=$(command -v rdnssd || echo /usr/sbin/rdnssd)
[[ -x $rdnssd ]] || lab_install rdnssd || true
[[ -x $rdnssd ]] || lab_fail "rdnssd is missing (apt-get install rdnssd)"
lab_refuse_running
lab_workdir
chmod 755 "$work"
bench_namespaces
ln -s "$tool" "$work/tamrod-hook"
ln -s "$tool" "$work/rdnssd-hook"
: >"$work/tamrod-hook.log"
: >"$work/rdnssd-hook.log"
chmod 666 "$work/tamrod-hook.log" "$work/rdnssd-hook.log"
mkdir "$work/rdnssd"
chown nobody "$work/rdnssd"

lab_write_state 00:00:00:00:00:00 ""
lab_start_daemon "$work/tamrod-hook.log" -x "$work/tamrod-hook"
in_sta "$rdnssd" -f -H "$work/rdnssd-hook" -r "$work/rdnssd/resolv.conf" -p "$work/rdnssd.pid" \
  </dev/null >"$work/rdnssd.log" 2>&1 &
sleep 2
mapfile -t peer < <(ip netns pids "$sta" | while read -r p; do
  [[ $(cat "/proc/$p/comm" 2>/dev/null) == rdnssd ]] && echo "$p"; done)
((${#peer[@]})) || lab_fail "rdnssd did not start: $(cat "$work/rdnssd.log")"

# PSS and private dirty kB per mapping name, largest first, over the given processes.
by_mapping() {
  local p
  for p in "$@"; do cat "/proc/$p/smaps"; done | awk '
    /^[0-9a-f]+-[0-9a-f]+ / { name = NF >= 6 ? $6 : "[anon]"; sub(".*/", "", name); next }
    $1 == "Pss:" { pss[name] += $2; total += $2 }
    $1 == "Private_Dirty:" { dirty[name] += $2 }
    END { for (n in pss) if (pss[n] > 0) printf "| %s | %d | %d |\n", n, pss[n], dirty[n]
          printf "| total | %d | |\n", total }' | sort -t'|' -k3,3nr
}
echo
echo "PSS by mapping after start, tamrod (pid $daemon_pid):"
echo "| Mapping | PSS kB | private dirty kB |"
echo "|---|---|---|"
by_mapping "$daemon_pid"
echo
echo "PSS by mapping after start, rdnssd (pids ${peer[*]}):"
echo "| Mapping | PSS kB | private dirty kB |"
echo "|---|---|---|"
by_mapping "${peer[@]}"

[[ -z ${BENCH_MEM_ONLY:-} ]] || exit 0
bssid=02:00:5e:00:53:01
bench_associate_four

# Thread names in creation order, as run.sh has them.
thread_names=(main timer mgr out kl rq-send rq-watch wl)
names=$("$tool" threads "$daemon_pid" | awk '{print $2}' | sort -n |
  awk -v n="${thread_names[*]}" 'BEGIN { split(n, a, " ") } { printf "%s=%s ", $1, (NR in a) ? a[NR] : "t" NR }')

perf_args=(record -q -e cpu-clock -F 20000 -g)
perf "${perf_args[@]}" -o "$work/tamrod.data" -p "$daemon_pid" >/dev/null 2>&1 &
tperf=$!
perf "${perf_args[@]}" -o "$work/rdnssd.data" -p "$(IFS=,; echo "${peer[*]}")" >/dev/null 2>&1 &
pperf=$!
sleep 1
t0=$("$tool" cpu "$daemon_pid")
p0=$("$tool" cpu "${peer[@]}")
in_rtr "$tool" flood rtr0 "$flood_total" "$flood_rate" 5000 2001:db8:f::1 >/dev/null
sleep 2
kill -INT "$tperf" "$pperf"
wait "$tperf" "$pperf" || true
t1=$("$tool" cpu "$daemon_pid")
p1=$("$tool" cpu "${peer[@]}")

# Per thread: share and µs per advertisement (cpu-clock periods are nanoseconds), then the
# functions that took the most, with the thread they ran on.
report() {
  local data=$1 rename=$2
  local common=(-i "$data" --stdio --no-children -g none)
  echo "| Thread | Share | µs per advertisement |"
  echo "|---|---|---|"
  perf report "${common[@]}" --sort pid -F overhead,period,pid 2>/dev/null |
    awk -v n="$flood_total" -v names="$rename" '
      BEGIN { split(names, kv, " "); for (i in kv) { split(kv[i], p, "="); nm[p[1]] = p[2] } }
      /^ +[0-9.]+%/ { split($3, t, ":"); name = (t[1] in nm) ? nm[t[1]] : t[2] ~ /hook/ ? t[2] " (every run)" : t[1] ":" t[2]
        total += $2; ns[name] += $2 }
      END { for (k in ns) printf "| %s | %.1f%% | %.2f |\n", k, 100 * ns[k] / total, ns[k] / 1000 / n
            printf "| all | | %.2f |\n", total / 1000 / n }'
  echo
  # Each sample charged to the first function outside the kernel on its stack: the system call
  # wrapper the time was spent under, or the daemon's own code.
  echo "| µs per advertisement | Thread | Where (system call wrapper or own function, kernel time included) |"
  echo "|---|---|---|"
  perf script -i "$data" -F comm,tid,period,ip,sym,dso 2>/dev/null |
    awk -v n="$flood_total" -v names="$rename" '
      BEGIN { split(names, kv, " "); for (i in kv) { split(kv[i], p, "="); nm[p[1]] = p[2] } }
      /^[^\t]/ && NF == 3 { tid = ($2 in nm) ? $2 : $1 ~ /hook/ ? $1 : $2 ":" $1; period = $3; found = ""; next }
      /^\t/ && found == "" && $NF != "([kernel.kallsyms])" {
        found = $2; for (i = 3; i < NF; ++i) found = found " " $i; sub(/\+0x[0-9a-f]+$/, "", found) }
      /^$/ && tid != "" { key = ((tid in nm) ? nm[tid] : tid) " | " (found == "" ? "(kernel only)" : found)
        ns[key] += period; tid = "" }
      END { for (k in ns) printf "| %.2f | %s |\n", ns[k] / 1000 / n, k }' |
    sort -t'|' -k2,2nr | awk -v n="${BENCH_TOP:-20}" 'NR <= n'
  echo
  echo "| Share | µs per advertisement | Thread | Function |"
  echo "|---|---|---|---|"
  perf report "${common[@]}" --sort pid,sym -F overhead,period,pid,sym 2>/dev/null |
    awk -v n="$flood_total" -v names="$rename" '
      BEGIN { split(names, kv, " "); for (i in kv) { split(kv[i], p, "="); nm[p[1]] = p[2] } }
      /^ +[0-9.]+%/ { split($3, t, ":"); name = (t[1] in nm) ? nm[t[1]] : t[1]
        sym = ""; for (i = 5; i <= NF; ++i) sym = sym (i > 5 ? " " : "") $i
        printf "%s | %.2f | %s | %s %s |\n", $1, $2 / 1000 / n, name, $4, sym }' |
    sort -t'|' -k2,2nr | awk -v n="${BENCH_TOP:-30}" 'NR <= n { print "| " $0 }'
}
echo
echo "Flood of $flood_total advertisements at $flood_rate/s: CPU per advertisement by the scheduler's count" \
  "(sampling included), tamrod $(((t1 - t0) / flood_total)) ns, rdnssd $(((p1 - p0) / flood_total)) ns" \
  "(its own processes, not its hook runs)"
echo
echo "Flood of $flood_total advertisements at $flood_rate/s, tamrod, by thread:"
report "$work/tamrod.data" "$names"
echo
echo "Flood of $flood_total advertisements at $flood_rate/s, rdnssd, by process:"
report "$work/rdnssd.data" ""
