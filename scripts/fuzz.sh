#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (seconds, default 20)
# from its seed corpus (kept unchanged; the target's own error lines are silenced); any crash, leak or failed invariant fails the run.
# Usage: scripts/fuzz.sh [seconds-per-target] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
shift || true
targets=("${@:-policy kl rq wl nl80211 request list_reply}")
read -r -a targets <<<"${targets[*]}"

cc=$(command -v clang-14 || command -v clang)
cxx=$(command -v clang++-14 || command -v clang++)
dir=${FUZZ_BUILD_DIR:-build-fuzz}
CC=$cc CXX=$cxx cmake -S . -B "$dir" -G Ninja -DTAMROD_FUZZ=ON >/dev/null
ninja -C "$dir"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  echo "=== fuzz_$t for ${secs}s"
  # New inputs go to the scratch directory; the seeds in the repository stay as they are.
  if ! "$dir/fuzz/fuzz_$t" -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$work/" \
      -close_fd_mask=2 \
      "$work/$t" "fuzz/corpus/$t" >"$work/$t.log" 2>&1; then
    tail -n 40 "$work/$t.log"
    mkdir -p fuzz-findings
    cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* fuzz-findings/ 2>/dev/null || true
    echo "fuzz_$t: finding (inputs kept in fuzz-findings/)" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units' "$work/$t.log" | sed "s/^/fuzz_$t /"
done
echo "fuzz: ${#targets[@]} passed, 0 failed"
