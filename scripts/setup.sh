#!/usr/bin/env bash
# Installs what building, testing and the demo need on a fresh Debian 12 machine (as root).
set -euo pipefail
# shellcheck source=SCRIPTDIR/lab.sh
source "$(dirname "$0")/lab.sh" setup

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  libiw-dev            # wireless-tools' event stream decoder
  iproute2 procps      # namespaces, veth pairs and sysctl for the tests and the demo
  radvd                # the router on the far end of the veth
  ndisc6
  clang libclang-rt-14-dev
  shellcheck           # keeps every script clean (the Shellcheck test)
)

lab_install "${packages[@]}"
