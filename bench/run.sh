#!/usr/bin/env bash
# tamrod's figures, side by side with Debian's rdnssd where both do the same job: two throwaway
# namespaces joined by a veth, the real daemon (Wireless Extensions stand-in preloaded, association
# forged with link notifications) and rdnssd both in the station namespace on the same interface,
# hearing the same advertisements sent from the router side. Prints one table; asserts nothing.
# About four minutes, most of it the two idle phases.
#
# Environment: TAMROD_BUILD_DIR=<dir> uses an existing plain build there (tamrod, wext_stub,
# forge_link, tamrod_bench built) instead of installing and building first; BENCH_IDLE_SECONDS
# (default 60) and BENCH_ADS (default 250) shorten or lengthen the idle and latency phases.
set -euo pipefail

# shellcheck source=SCRIPTDIR/../scripts/lab.sh
source "$(dirname "$0")/../scripts/lab.sh" bench
# shellcheck source=SCRIPTDIR/lab_bench.sh
source "$(dirname "$0")/lab_bench.sh"
lab_keep=${BENCH_KEEP:-}
idle_s=${BENCH_IDLE_SECONDS:-60}
ads=${BENCH_ADS:-250}
flood_total=100000
flood_batch=10000
flood_rate=20000

bench_prepare
rdnssd=$(command -v rdnssd || echo /usr/sbin/rdnssd)
if [[ ! -x $rdnssd ]]; then
  # Debian's rdnssd package (built from the ndisc6 sources). Only the executable is wanted: its
  # service is left disabled.
  lab_install rdnssd || true
  if command -v systemctl >/dev/null; then systemctl disable rdnssd >/dev/null 2>&1 || true; fi
fi
[[ -x $rdnssd ]] || lab_fail "rdnssd is missing and could not be installed (apt-get install rdnssd)"
lab_refuse_running
lab_workdir
chmod 755 "$work"

note() { echo "-- $*" >&2; }

note "namespaces $sta (station) and $rtr (router), joined by a veth"
bench_namespaces

# Both hooks are links to the helper: it stamps the time first, then logs the servers it was given.
ln -s "$tool" "$work/tamrod-hook"
ln -s "$tool" "$work/rdnssd-hook"
: >"$work/tamrod-hook.log"
: >"$work/rdnssd-hook.log"
chmod 666 "$work/tamrod-hook.log" "$work/rdnssd-hook.log"
# rdnssd writes its resolv.conf after dropping to nobody.
mkdir "$work/rdnssd"
chown nobody "$work/rdnssd"

lab_write_state 00:00:00:00:00:00 ""

note "starting tamrod -f -i wlan0 (not associated) and rdnssd -f"
lab_start_daemon "$work/tamrod-hook.log" -x "$work/tamrod-hook"
in_sta "$rdnssd" -f -H "$work/rdnssd-hook" -r "$work/rdnssd/resolv.conf" -p "$work/rdnssd.pid" \
  </dev/null >"$work/rdnssd.log" 2>&1 &
rdnssd_pids() { ip netns pids "$sta" 2>/dev/null | while read -r p; do
  [[ $(cat "/proc/$p/comm" 2>/dev/null) == rdnssd ]] && echo "$p"; done; true; }
sleep 1
mapfile -t peer < <(rdnssd_pids)
((${#peer[@]})) || lab_fail "rdnssd did not start: $(cat "$work/rdnssd.log")"
sleep 1
read -r rss0 pss0 <<<"$("$tool" mem "$daemon_pid")"
read -r prss0 ppss0 <<<"$("$tool" mem "${peer[@]}")"

# Threads in creation order: main; the timer's helper (made by timer_create in mgr_init); then the
# module threads as started: mgr, out, kl, rq sender, rq watcher, wl. They all share one comm.
thread_names=(main timer mgr out kl rq-send rq-watch wl)
# One line per thread: tid, voluntary switches, CPU ns; sorted for join.
snap() { "$tool" threads "$@" | awk '{print $2, $4, $5}' | sort; }
# Prints "<wake-ups> <cpu ms> <threads that woke, with their wake-ups>" between two snapshots of
# tamrod's threads.
tamrod_delta() {
  join "$1" "$2" | sort -n | awk -v names="${thread_names[*]}" '
      BEGIN { split(names, name, " ") }
      { ++i; w = $4 - $2; c = $5 - $3; tw += w; tc += c
        if (w > 0) woke = woke sprintf("%s%s(%d)", woke == "" ? "" : ",", (i in name) ? name[i] : "tid" $1, w) }
      END { printf "%d %.1f %s\n", tw, tc / 1e6, woke == "" ? "-" : woke }'
}
# Prints tamrod's figures, then "<wake-ups> <cpu ms>" of rdnssd, over the given seconds.
idle_phase() {
  snap "$daemon_pid" >"$work/t0"
  snap "${peer[@]}" >"$work/p0"
  sleep "$1"
  snap "$daemon_pid" >"$work/t1"
  snap "${peer[@]}" >"$work/p1"
  tamrod_delta "$work/t0" "$work/t1"
  join "$work/p0" "$work/p1" | awk '{ tw += $4 - $2; tc += $5 - $3 } END { printf "%d %.1f\n", tw, tc / 1e6 }'
}

note "idle, not associated: ${idle_s} s"
{ read -r iw0 ic0 ithr0; read -r piw0 pic0; } <<<"$(idle_phase "$idle_s")"

bssid=02:00:5e:00:53:01
note "associating with BenchNet ($bssid) and announcing four servers"
bench_associate_four

# Fresh addresses with rising lifetimes (from 4001 s), each advertisement withdrawing the one before
# (lifetime 0), so every advertisement changes the set both daemons hold. The lifetime outlasts the
# four held servers' (1000 s) three times over: a new one takes a place only from one much nearer
# its end.
note "latency: $ads advertisements, each changing the server set"
lat=$(in_rtr "$tool" latency rtr0 2001:db8:b:: "$ads" 4000 3000 "$work/tamrod-hook.log" "$work/rdnssd-hook.log")
# The last one withdrawn is still held for two minutes; announced again, nothing is due during the
# idle phase below.
in_rtr "$tool" flood rtr0 1 0 4000 "2001:db8:b::$(printf %x $((ads - 1)))" >/dev/null
read -r _ _ tseen tmed tp99 tmax <<<"$(echo "$lat" | sed -n 1p)"
read -r _ _ pseen pmed pp99 pmax <<<"$(echo "$lat" | sed -n 2p)"

# The floor under both: the same hook executable started by a minimal launcher (fork, exec, nothing
# else), in the namespace and with the environment the daemon gives it.
note "hook start alone: $ads runs from a minimal launcher"
ln -s "$tool" "$work/launcher-hook"
read -r fseen fmed fp99 _ <<<"$(in_stub "$tool" spawn "$ads" "$work/launcher-hook")"

# The servers now held live 1000 s or more: no lifetime timer is due within the idle phase. The
# pause lets the last script run end.
sleep 1
note "idle, associated with servers held: ${idle_s} s"
{ read -r aw ac athr; read -r paw pac; } <<<"$(idle_phase "$idle_s")"

note "flood: $flood_total advertisements (RDNSS, one address, same lifetime) at $flood_rate/s"
overruns0=$(grep -c 'No buffer space' "$work/daemon.log" || true)
truns0=$(lab_lines "$work/tamrod-hook.log")
pruns0=$(lab_lines "$work/rdnssd-hook.log")
snap "$daemon_pid" >"$work/f0"
t0=$("$tool" cpu "$daemon_pid")
p0=$("$tool" cpu "${peer[@]}")
in_rtr "$tool" flood rtr0 "$flood_total" "$flood_rate" 5000 2001:db8:f::1 >/dev/null
# Until both have worked off what they queued (no CPU used for a second), at most 60 s.
for ((i = 0; i < 60; ++i)); do
  t1=$("$tool" cpu "$daemon_pid")
  p1=$("$tool" cpu "${peer[@]}")
  sleep 1
  [[ $("$tool" cpu "$daemon_pid") == "$t1" && $("$tool" cpu "${peer[@]}") == "$p1" ]] && break
done
snap "$daemon_pid" >"$work/f1"
read -r fw _ fthr <<<"$(tamrod_delta "$work/f0" "$work/f1")"
overruns=$(($(grep -c 'No buffer space' "$work/daemon.log" || true) - overruns0))
truns=$(($(lab_lines "$work/tamrod-hook.log") - truns0))
pruns=$(($(lab_lines "$work/rdnssd-hook.log") - pruns0))
per_batch() { awk -v d="$1" -v n=$((flood_total / flood_batch)) 'BEGIN { printf "%.1f", d / n / 1e6 }'; }
tflood=$(per_batch $((t1 - t0)))
pflood=$(per_batch $((p1 - p0)))
# A valid advertisement right behind an unpaced burst: is it learnt within 5 s, or later?
in_rtr "$tool" flood rtr0 "$flood_batch" 0 5000 2001:db8:f::1 >/dev/null
after=$(in_rtr "$tool" latency rtr0 2001:db8:c:: 1 9000 5000 "$work/tamrod-hook.log" "$work/rdnssd-hook.log")
learnt() { awk -v l="$1" '$2 == l { print ($3 == 1 ? "yes, after " int($4 / 1000) " ms" : "not within 5 s") }' <<<"$after"; }
tafter=$(learnt 0)
pafter=$(learnt 1)
sleep 1
read -r rss1 pss1 <<<"$("$tool" mem "$daemon_pid")"
read -r prss1 ppss1 <<<"$("$tool" mem "${peer[@]}")"

note "control: LIST round trips for 2 s, then 200 runs of tamrod -l"
read -r _ lfail lrate <<<"$("$tool" ctl 2)"
read -r cli_wall cli_cpu _ <<<"$("$tool" cli 200 "$bin" -l)"
strip -o "$work/tamrod.stripped" "$bin"
size=$(stat -c %s "$work/tamrod.stripped")
later() { grep -q ' 2001:db8:c::1\b' "$1" && echo "learnt later" || echo "never learnt"; }
[[ $tafter == yes* ]] || tafter="$tafter; $(later "$work/tamrod-hook.log")"
[[ $pafter == yes* ]] || pafter="$pafter; $(later "$work/rdnssd-hook.log")"

for p in "${peer[@]}"; do
  kill -0 "$p" 2>/dev/null || note "rdnssd process $p ended during the run: $(tail -n 3 "$work/rdnssd.log")"
done
kill -0 "$daemon_pid" 2>/dev/null || note "tamrod ended during the run"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
ms() { awk -v u="$1" 'BEGIN { printf "%.2f ms", u / 1000 }'; }
# Median and 99th percentile less the hook's own start.
own() { awk -v m="$1" -v p="$2" -v fm="$fmed" -v fp="$fp99" 'BEGIN { printf "%.2f / %.2f ms", (m - fm) / 1000, (p - fp) / 1000 }'; }
cat <<TABLE

| # | Figure | tamrod | rdnssd (peer) | tamrod/peer |
|---|---|---|---|---|
| 1 | Advertisement to hook start, median ($tseen / $pseen of $ads seen) | $(ms "$tmed") | $(ms "$pmed") | $(ratio "$tmed" "$pmed") |
| 1 | Advertisement to hook start, 99th percentile (max) | $(ms "$tp99") ($(ms "$tmax")) | $(ms "$pp99") ($(ms "$pmax")) | $(ratio "$tp99" "$pp99") |
| 1 | Hook start alone: fork + exec from a minimal launcher, median / 99th percentile ($fseen of $ads seen) | $(ms "$fmed") / $(ms "$fp99") | | |
| 1 | The daemon's own share: advertisement to hook start less hook start alone, median / 99th percentile | $(own "$tmed" "$tp99") | $(own "$pmed" "$pp99") | $(ratio $((tmed - fmed)) $((pmed - fmed))) / $(ratio $((tp99 - fp99)) $((pp99 - fp99))) |
| 2 | Idle ${idle_s} s, not associated: wake-ups / CPU | $iw0 / $ic0 ms (woke: $ithr0) | $piw0 / $pic0 ms | |
| 2 | Idle ${idle_s} s, associated, 4 servers held: wake-ups / CPU | $aw / $ac ms (woke: $athr) | $paw / $pac ms | |
| 3 | RSS / PSS after start | $rss0 / $pss0 kB | $prss0 / $ppss0 kB | |
| 3 | RSS / PSS after $flood_total more advertisements | $rss1 / $pss1 kB | $prss1 / $ppss1 kB | |
| 3 | Stripped binary | $size bytes | | |
| 4 | Flood CPU per $flood_batch advertisements (sent at $flood_rate/s) | $tflood ms | $pflood ms | $(ratio "$tflood" "$pflood") |
| 4 | Flood: hook runs / receive overruns | $truns / $overruns | $pruns / ? | |
| 4 | Flood: tamrod wake-ups per $flood_batch advertisements | $(awk -v w="$fw" -v n=$((flood_total / flood_batch)) 'BEGIN { printf "%.0f", w / n }') (over $flood_total: $fthr) | | |
| 4 | Valid advertisement right after a flood learnt | $tafter | $pafter | |
| 5 | LIST round trips per second (fresh connection each; $lfail failed) | $lrate | | |
| 5 | One \`tamrod -l\`: wall / CPU (average of 200) | $(ms "$cli_wall") / $(ms "$cli_cpu") | | |
TABLE
