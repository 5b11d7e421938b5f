#!/usr/bin/env bash
# Whole test suite: installs what it needs, then builds and runs every test in three builds
# (plain, AddressSanitizer+UBSan, ThreadSanitizer) and runs the fuzzers for a bounded time.
# Then boots a virtual machine with a real Wi-Fi stack and runs the daemon there (vm/run.sh).
# Any failure fails the run. Arguments pick parts: any of plain, asan, tsan, fuzz, vm, cross. The
# cross builds (arm64 and armhf, unit tests under qemu-user: scripts/cross.sh) run only when asked.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

builds=("plain:" "asan:-DTAMROD_ASAN=ON" "tsan:-DTAMROD_TSAN=ON")
fuzz=1
vm=1
cross=0
if [[ $# -gt 0 ]]; then
  [[ " $* " == *" cross "* ]] && cross=1
  [[ " $* " == *" fuzz "* ]] || fuzz=0
  [[ " $* " == *" vm "* ]] || vm=0
  wanted=("$@")
  sel=()
  for b in "${builds[@]}"; do
    for w in "${wanted[@]}"; do [[ ${b%%:*} == "$w" ]] && sel+=("$b"); done
  done
  builds=("${sel[@]}")
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:verify_asan_link_order=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

for b in "${builds[@]}"; do
  name=${b%%:*}
  flags=${b#*:}
  dir=build-$name
  echo "=== $name build"
  cmake -S . -B "$dir" -G Ninja ${flags:+"$flags"} >/dev/null
  ninja -C "$dir"
  (cd "$dir" && ctest --output-on-failure -j2 --timeout 300)
done

if ((vm)); then
  echo "=== vm (real Wi-Fi stack under qemu)"
  if [[ -x build-plain/tamrod ]]; then
    TAMROD_BUILD_DIR=build-plain bash vm/run.sh
  else
    bash vm/run.sh
  fi
fi

if ((cross)); then
  echo "=== cross builds (arm64, armhf; unit tests under qemu-user)"
  bash scripts/cross.sh
fi

if ((fuzz)); then
  echo "=== fuzzers"
  bash scripts/fuzz.sh
fi
