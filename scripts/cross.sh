#!/usr/bin/env bash
# Cross builds for arm64 and armhf: installs Debian's cross toolchains, the target libraries by
# multiarch and qemu-user, builds the daemon and its unit tests per architecture with the toolchain
# files in cmake/, runs the unit tests (cmake/unit-tests.regex) under qemu-user and prints a summary:
# build time, tests passed/skipped/failed, stripped size. Tests that need namespaces, raw sockets or the
# daemon's kernel interfaces are left out (counted as skipped). Arguments pick architectures
# (arm64, armhf; default both). Status 1 when a build or a unit test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=SCRIPTDIR/lab.sh
source scripts/lab.sh cross

declare -A triplet=([arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)
declare -A toolchain=([arm64]=cmake/toolchain-aarch64.cmake [armhf]=cmake/toolchain-armhf.cmake)
arches=("$@")
((${#arches[@]})) || arches=(arm64 armhf)

want=(qemu-user-static g++ cmake ninja-build pkg-config)
for a in "${arches[@]}"; do
  [[ -n ${triplet[$a]:-} ]] || { echo "cross: unknown architecture $a (arm64, armhf)" >&2; exit 2; }
  dpkg --print-foreign-architectures | grep -qx "$a" || {
    dpkg --add-architecture "$a"
    apt-get -o DPkg::Lock::Timeout=600 -qq update
  }
  want+=("crossbuild-essential-$a")
  # libstdc++6: the tests run under qemu with the target's own loader and library directories.
  for lib in libiw-dev libnl-3-dev libnl-genl-3-dev libsystemd-dev libgtest-dev libgmock-dev libstdc++6; do want+=("$lib:$a"); done
done
lab_install "${want[@]}"

regex=$(cat cmake/unit-tests.regex)
status=0
summary=()
for a in "${arches[@]}"; do
  dir=build-$a
  echo "=== $a cross build ($dir)"
  start=$(date +%s)
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="${toolchain[$a]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  if ! ninja -C "$dir" -j2 >"$dir.log" 2>&1; then
    tail -40 "$dir.log"; summary+=("$a: build FAILED"); status=1; continue
  fi
  secs=$(($(date +%s) - start))
  total=$(cd "$dir" && ctest -N | sed -n 's/^Total Tests: //p')
  log=$dir/unit-tests.log
  (cd "$dir" && ctest -R "$regex" -j2 --timeout 300 --output-on-failure) >"$log" 2>&1 || status=1
  # Judged by ctest's verdict column, not by test names (some hold "Skipped").
  passed=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec' "$log" || true)
  failed=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*(\*\*\*|  )(Failed|Timeout|Exception|Not Run)' "$log" || true)
  gskipped=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*Skipped' "$log" || true)
  skipped=$((total - passed - failed))
  ((failed == 0)) || grep -E '(\*\*\*|  )(Failed|Timeout|Exception|Not Run)' "$log"
  "${triplet[$a]}-strip" -o "$dir/tamrod.stripped" "$dir/tamrod"
  size=$(stat -c %s "$dir/tamrod.stripped")
  file -b "$dir/tamrod.stripped" | cut -d, -f1-2 || true
  summary+=("$a: built in ${secs} s; unit tests under qemu: $passed passed, $failed failed, $skipped skipped (of $total; $gskipped of them skipped by the test itself); stripped tamrod $size bytes")
done
echo "=== cross summary"
printf '%s\n' "${summary[@]}"
exit "$status"
