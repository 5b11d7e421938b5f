#!/usr/bin/env bash
# The daemon's own share of a hook run, before and after a change, in one run: the tree of a given
# commit (default: the one before the hook was started with posix_spawn) and this tree, each run in
# turn on the same namespaces and the same hook, twice over (before, after, before, after), and
# the hook's start alone from a minimal launcher, by fork and by posix_spawn. Runs without the peer
# (bench/run.sh has it). Prints one table; asserts nothing.
#
# Environment: TAMROD_BUILD_DIR as in run.sh; BENCH_BEFORE=<commit> (default 9a345c0), or
# BENCH_BEFORE_BIN=<tamrod built from it>;
# BENCH_ADS (default 250) advertisements per daemon and round.
set -euo pipefail

# shellcheck source=SCRIPTDIR/../scripts/lab.sh
source "$(dirname "$0")/../scripts/lab.sh" share
# shellcheck source=SCRIPTDIR/lab_bench.sh
source "$(dirname "$0")/lab_bench.sh"
ads=${BENCH_ADS:-250}
before_commit=${BENCH_BEFORE:-9a345c0}

bench_prepare
lab_refuse_running
lab_workdir
chmod 755 "$work"
after_bin=$bin

before_bin=${BENCH_BEFORE_BIN:-}
if [[ -z $before_bin ]]; then
  echo "-- building tamrod at $before_commit" >&2
  mkdir "$work/before"
  git -C "$src" archive "$before_commit" | tar -x -C "$work/before"
  cmake -S "$work/before" -B "$work/before/build" -G Ninja >/dev/null
  ninja -C "$work/before/build" tamrod >/dev/null
  before_bin=$work/before/build/tamrod
fi

bench_namespaces
ln -s "$tool" "$work/tamrod-hook"
: >"$work/tamrod-hook.log"
chmod 666 "$work/tamrod-hook.log"

bssid=02:00:5e:00:53:01
# Prints "<seen> <median us> <p99 us>" of advertisement to hook start for the daemon in $bin.
measure() {
  local prefix=$1
  bench_four_held
  in_rtr "$tool" latency rtr0 "$prefix" "$ads" 2000 3000 "$work/tamrod-hook.log" | awk '{ print $3, $4, $5 }'
  kill "$daemon_pid"
  wait "$daemon_pid" 2>/dev/null || true
  daemon_pid=
}

declare -A seen med p99
for round in 1 2; do
  for which in before after; do
    if [[ $which == before ]]; then bin=$before_bin; else bin=$after_bin; fi
    echo "-- round $round: $which, $ads advertisements" >&2
    read -r s m p <<<"$(measure "2001:db8:$round$([[ $which == before ]] && echo b || echo c)::")"
    seen[$which$round]=$s med[$which$round]=$m p99[$which$round]=$p
  done
done

ln -s "$tool" "$work/launcher-hook"
echo "-- hook start alone, $ads runs each by fork and by posix_spawn" >&2
read -r ffseen ffmed ffp99 _ <<<"$(in_stub "$tool" spawn "$ads" "$work/launcher-hook")"
read -r fsseen fsmed fsp99 _ <<<"$(in_stub "$tool" spawn "$ads" "$work/launcher-hook" posix_spawn)"

ms() { awk -v u="$1" 'BEGIN { printf "%.2f ms", u / 1000 }'; }
own() { awk -v m="$1" -v p="$2" -v fm="$ffmed" -v fp="$ffp99" 'BEGIN { printf "%.2f / %.2f ms", (m - fm) / 1000, (p - fp) / 1000 }'; }
row() {
  local k=$1$2 tree=$before_commit
  [[ $1 == before ]] || tree="$before_commit + this tree"
  echo "| $1 ($tree), round $2 (${seen[$k]} of $ads seen) |" \
    "$(ms "${med[$k]}") / $(ms "${p99[$k]}") | $(own "${med[$k]}" "${p99[$k]}") |"
}
cat <<TABLE

| Daemon | Advertisement to hook start, median / 99th percentile | Own share (less the fork floor), median / 99th |
|---|---|---|
$(row before 1)
$(row after 1)
$(row before 2)
$(row after 2)
| Hook start alone from a minimal launcher: fork + exec ($ffseen seen) | $(ms "$ffmed") / $(ms "$ffp99") | |
| Hook start alone from a minimal launcher: posix_spawn ($fsseen seen) | $(ms "$fsmed") / $(ms "$fsp99") | |
TABLE
