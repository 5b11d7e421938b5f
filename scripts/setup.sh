#!/usr/bin/env bash
# Installs what building, testing and the demo need on a fresh Debian 12 machine (as root).
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  libiw-dev            # wireless-tools' event stream decoder
  libnl-3-dev libnl-genl-3-dev  # nl80211, where the kernel refuses Wireless Extensions
  iproute2 procps      # namespaces, veth pairs and sysctl for the tests and the demo
  radvd                # the router on the far end of the veth
  ndisc6
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
