#!/usr/bin/env bash
# What a DNSSL option beside the RDNSS option costs tamrod in the flood: the flood of bench/run.sh
# (identical advertisements, one RDNSS address) without and with a DNSSL option naming one domain,
# alternated twice (without, with, without, with), each round on a freshly started daemon holding
# the same four servers. Runs without the peer (bench/run.sh has it). Prints one table; asserts
# nothing.
#
# Environment: TAMROD_BUILD_DIR as in run.sh; BENCH_FLOOD (default 100000) advertisements per round,
# sent at BENCH_RATE (default 20000) per second; BENCH_DOMAIN (default bench.example) the domain.
set -euo pipefail

# shellcheck source=SCRIPTDIR/../scripts/lab.sh
source "$(dirname "$0")/../scripts/lab.sh" dnssl
# shellcheck source=SCRIPTDIR/lab_bench.sh
source "$(dirname "$0")/lab_bench.sh"
flood_total=${BENCH_FLOOD:-100000}
flood_rate=${BENCH_RATE:-20000}
flood_batch=10000
domain=${BENCH_DOMAIN:-bench.example}

bench_prepare
lab_refuse_running
lab_workdir
chmod 755 "$work"

bench_namespaces
ln -s "$tool" "$work/tamrod-hook"
: >"$work/tamrod-hook.log"
chmod 666 "$work/tamrod-hook.log"

bssid=02:00:5e:00:53:01
declare -A cpu runs overruns reached by_thread
# Threads in creation order, as in run.sh: they all share one comm.
thread_names=(main timer mgr out kl rq-send rq-watch wl)
snap() { "$tool" threads "$daemon_pid" | awk '{print $2, $5}' | sort; }
# The threads that used CPU between two snapshots, with ms per $flood_batch advertisements.
thread_cpu() {
  join "$1" "$2" | sort -n | awk -v names="${thread_names[*]}" -v n=$((flood_total / flood_batch)) '
      BEGIN { split(names, name, " ") }
      { ++i; c = ($3 - $2) / 1e6 / n
        if (c >= 0.05) out = out sprintf("%s%s %.1f", out == "" ? "" : ", ", (i in name) ? name[i] : "tid" $1, c) }
      END { print out == "" ? "-" : out }'
}
# One flood on a fresh daemon holding four servers, its results (CPU ns, hook runs, receive
# overruns, whether the domain reached the hook) kept under KEY; then the flood's arguments before
# the address. Runs in this shell, so a failure ends the daemon too.
flood_round() {
  local key=$1
  shift
  bench_four_held
  local runs0 t0 t1 i
  runs0=$(lab_lines "$work/tamrod-hook.log")
  snap >"$work/s0"
  t0=$("$tool" cpu "$daemon_pid")
  in_rtr "$tool" flood rtr0 "$flood_total" "$flood_rate" 5000 "$@" 2001:db8:f::1 >/dev/null
  # Until the daemon has worked off what it queued (no CPU used for a second), at most 60 s.
  for ((i = 0; i < 60; ++i)); do
    t1=$("$tool" cpu "$daemon_pid")
    sleep 1
    [[ $("$tool" cpu "$daemon_pid") == "$t1" ]] && break
  done
  snap >"$work/s1"
  cpu[$key]=$((t1 - t0))
  by_thread[$key]=$(thread_cpu "$work/s0" "$work/s1")
  runs[$key]=$(($(lab_lines "$work/tamrod-hook.log") - runs0))
  overruns[$key]=$(grep -c 'No buffer space' "$work/daemon.log" || true)
  reached[$key]=no
  if tail -n +"$((runs0 + 1))" "$work/tamrod-hook.log" | grep -q " search=$domain\b"; then reached[$key]=yes; fi
  kill -0 "$daemon_pid" 2>/dev/null || lab_fail "tamrod ended during the flood"
  kill "$daemon_pid"
  wait "$daemon_pid" 2>/dev/null || true
  daemon_pid=
}

for round in 1 2; do
  for which in without with; do
    echo "-- round $round: $flood_total advertisements at $flood_rate/s, $which DNSSL" >&2
    args=()
    [[ $which == without ]] || args=(--dnssl "$domain")
    flood_round "$which$round" "${args[@]}"
  done
done

per_batch() { awk -v d="$1" -v n="$flood_total" -v b="$flood_batch" 'BEGIN { printf "%.1f ms", d / (n / b) / 1e6 }'; }
row() {
  local k=$1$2 what="RDNSS only"
  [[ $1 == without ]] || what="RDNSS + DNSSL ($domain; reached the hook: ${reached[$k]})"
  echo "| $what, round $2 | $(per_batch "${cpu[$k]}") | ${by_thread[$k]} | ${runs[$k]} | ${overruns[$k]} |"
}
cat <<TABLE

| Flood of $flood_total at $flood_rate/s | tamrod CPU per $flood_batch advertisements | by thread (ms) | Hook runs | Receive overruns |
|---|---|---|---|---|
$(row without 1)
$(row with 1)
$(row without 2)
$(row with 2)
TABLE
