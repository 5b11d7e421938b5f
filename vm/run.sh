#!/usr/bin/env bash
# tamrod on a real Wi-Fi stack, under two kernels: boots Debian 12's and Debian 13's own kernels under
# qemu (software emulation) with an initramfs built here, where mac80211_hwsim provides three radios
# joined by simulated air. Two radios sit in network namespaces of their own as access points of one
# network (hostapd, open) and routers (radvd, each announcing its own RDNSS servers, the first also
# search domains; the first also serves DHCPv4 with busybox udhcpd); the real tamrod watches the third,
# whose busybox udhcpc runs the repository's examples/udhcpc.script. Debian 12's kernel answers Wireless Extensions; on Debian 13's, mac80211_hwsim is
# loaded with mlo=1, so every radio supports multi-link operation (Wi-Fi 7) and the kernel refuses
# Wireless Extensions on it: there the daemon has to follow the station over nl80211. A veth with a
# third router serves the sleep scenario, where the radios could not keep their links (no WoWLAN); the
# project's send_ra announces what radvd cannot (NAT64 prefix, captive portal).
#
# Debian 12's kernel package comes from the host's own apt lists; Debian 13's from the trixie suite of
# the same archive, through a private apt configuration in the cache directory (the host's sources and
# lists stay untouched). Both are fetched with apt-get download and unpacked into a scratch directory;
# nothing is installed into the host's /boot or /lib/modules. All traffic stays inside the virtual
# machines, which run one after the other.
#
# Environment:
#   TAMROD_BUILD_DIR=<dir>  use the tamrod executable built there (default: build it in build-vm)
#   TAMROD_VM_DIR=<dir>     cache for the kernel packages and work files (default /var/tmp/tamrod-vm)
#   TAMROD_VM_TIMEOUT=<s>   hard limit for each virtual machine (default 600: a whole run took 400 s on
#                           a busy host, 130 s of them suspended)
#   TAMROD_VM_KERNELS=...   which kernels to boot, of "12 13" (default both); "13-wext" is Debian 13's
#                           kernel without mlo=1, on the Wireless Extensions path
#   TAMROD_VM_SCENARIOS=... which groups of scenarios to run (default all, in this order: "core torn
#                           rename portal sleep"; see vm/guest.sh)
# Exit status: 0 when every check passed on every kernel; 1 when a check failed or a run did not
# complete (the logs stay in the work directory); 2 when this host cannot run it (not root, no qemu, no
# space, a kernel package that cannot be fetched).
set -euo pipefail

# shellcheck source=scripts/lab.sh
source "$(dirname "$0")/../scripts/lab.sh" vm
here=$src/vm
cache=${TAMROD_VM_DIR:-/var/tmp/tamrod-vm}
limit=${TAMROD_VM_TIMEOUT:-600}
scenarios=${TAMROD_VM_SCENARIOS:-core torn rename portal sleep}
read -r -a kernels <<<"${TAMROD_VM_KERNELS:-12 13}"

cannot() { echo "vm: cannot run here: $*" >&2; exit 2; }

lab_need_root "apt-get, building the initramfs" 2
tools=(qemu-system-x86_64 busybox iw hostapd hostapd_cli wpa_supplicant wpa_cli radvd rdisc6 ip cpio timeout xz g++)
packages=(qemu-system-x86 busybox iw hostapd wpasupplicant wireless-regdb radvd ndisc6 iproute2 cpio coreutils xz-utils g++)
lab_install "${packages[@]}" || cannot "could not install $(lab_missing "${packages[@]}" | xargs)"
# busybox-static replaces the dynamic busybox and always runs its own ip applet (no ip netns).
dpkg-query -W -f='${Status}' busybox 2>/dev/null | grep -q 'install ok installed' ||
  cannot "the dynamic busybox package is needed (busybox-static cannot run ip netns)"
for t in "${tools[@]}"; do
  command -v "$t" >/dev/null || cannot "$t is missing"
done
[[ -f /lib/firmware/regulatory.db ]] || cannot "regulatory.db (wireless-regdb) is missing"

mkdir -p "$cache"
avail_kb=$(df -Pk "$cache" | awk 'NR == 2 { print $4 }')
((avail_kb > 1000 * 1024)) || cannot "less than 1000 MB free in $cache"

# kernel_package [APT-OPTION...]: the kernel image package linux-image-amd64 depends on.
kernel_package() {
  apt-cache "$@" depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9][^ ]*-amd64$/ { print $2; exit }'
}

# fetch_kernel DIR [APT-OPTION...]: downloads, once, the kernel image package that linux-image-amd64
# depends on, as apt with those options sees it; prints the package file's path.
fetch_kernel() {
  local dir=$1 pkg deb
  shift
  pkg=$(kernel_package "$@")
  # A host whose apt lists were never fetched (or were cleaned) knows no kernel package yet.
  if [[ -z $pkg && $# -eq 0 ]]; then
    apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null 2>&1 || true
    pkg=$(kernel_package)
  fi
  [[ -n $pkg ]] || return 1
  deb=$(find "$dir" -maxdepth 1 -name "${pkg}_*.deb" | sort -V | tail -1)
  if [[ -z $deb ]]; then
    echo "vm: fetching $pkg" >&2
    (cd "$dir" && apt-get "$@" download "$pkg" 2>&1 | { grep -v '^W: Download is performed unsandboxed' || true; } >&2)
    deb=$(find "$dir" -maxdepth 1 -name "${pkg}_*.deb" | sort -V | tail -1)
  fi
  [[ -n $deb ]] && echo "$deb"
}

# Debian 13 through a private apt configuration naming the host's own Debian archive with the suite
# trixie. The host's Debian archive keyring holds trixie's keys (debian-archive-keyring 2023.3+deb12u2
# and later); apt refuses the lists if it does not.
trixie_apt() {
  local adir=$cache/apt-trixie codename uri
  mkdir -p "$adir/lists/partial" "$adir/cache/archives/partial"
  codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
  uri=$(apt-cache policy 2>/dev/null | awk -v s="${codename:-bookworm}/main" '$3 == s && $2 ~ /^https?:/ { print $2; exit }')
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${uri:-http://deb.debian.org/debian} trixie main" \
    >"$adir/sources.list"
  trixie_opts=(-o "Dir::Etc::sourcelist=$adir/sources.list" -o Dir::Etc::sourceparts=/dev/null
    -o "Dir::State::Lists=$adir/lists" -o "Dir::Cache=$adir/cache" -o Acquire::Languages=none)
  # The lists are refreshed at most every six hours.
  if [[ -z $(find "$adir/lists" -maxdepth 1 -name '*trixie*Packages*' -mmin -360 2>/dev/null) ]]; then
    apt-get "${trixie_opts[@]}" update -qq >"$adir/update.log" 2>&1 || {
      cat "$adir/update.log" >&2
      return 1
    }
  fi
}

# tamrod itself, and the two probes the lab uses.
lab_build build-vm tamrod
lab_need_built "$bin"

work=$(mktemp -d "$cache/run.XXXXXX")
kept=0
# shellcheck disable=SC2317  # run by the EXIT trap
finish() {
  ((kept)) || rm -rf "$work"
}
trap finish EXIT

g++ -std=c++20 -O2 -Wall -Wextra -Werror -shared -fPIC -I"$src/include" -o "$work/assoc_probe.so" \
  "$here/assoc_probe.cpp" || lab_fail "could not build the association probe"
g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$work/wext_probe" "$here/wext_probe.cpp" ||
  lab_fail "could not build the Wireless Extensions probe"
g++ -std=c++20 -O2 -Wall -Wextra -Werror -I"$src/tests/platform" -o "$work/send_ra" "$src/tests/platform/send_ra.cpp" ||
  lab_fail "could not build the advertisement sender"
gcc -O2 -Wall -Wextra -Werror -shared -fPIC -o "$work/wext_stub.so" "$src/tests/platform/wext_stub.c" -ldl ||
  lab_fail "could not build the Wireless Extensions stand-in"

# The part of the initramfs both kernels share: executables with every shared library they load, at
# the same paths as on the host (libnl's libraries come with iw, hostapd, wpa_supplicant and tamrod).
root=$work/root
# add FILE [PATH]: FILE at PATH in the initramfs (default: its own path), with its shared libraries.
add() {
  local f=$1 to=${2:-$1} lib
  mkdir -p "$root$(dirname "$to")"
  cp -L "$f" "$root$to"
  for lib in $(ldd "$f" 2>/dev/null | awk '/=> \// { print $3 } /^\t\/[^ ]+ \(/ { print $1 }'); do
    [[ -e $root$lib ]] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
busybox=$(command -v busybox)
add "$busybox" /bin/busybox
for t in ip iw hostapd hostapd_cli wpa_supplicant wpa_cli radvd rdisc6; do add "$(command -v "$t")"; done
add "$bin" /usr/sbin/tamrod
add "$work/wext_probe" /usr/sbin/wext_probe
add "$work/send_ra" /usr/sbin/send_ra
add "$work/assoc_probe.so" /usr/lib/tamrod-vm/assoc_probe.so
add "$work/wext_stub.so" /usr/lib/tamrod-vm/wext_stub.so
# The station's DHCP client runs the udhcpc script this repository ships (the guest's check fails
# when there is none).
if [[ -f $src/examples/udhcpc.script ]]; then
  install -D -m 755 "$src/examples/udhcpc.script" "$root/usr/share/tamrod/udhcpc.script"
fi
mkdir -p "$root/lib/firmware"
cp -L /lib/firmware/regulatory.db "$root/lib/firmware/"
[[ -e /lib/firmware/regulatory.db.p7s ]] && cp -L /lib/firmware/regulatory.db.p7s "$root/lib/firmware/"
mkdir -p "$root"/{proc,sys,dev,run,tmp,etc,var}
ln -s ../run "$root/var/run"
# radvd looks up the owner of its configuration file.
echo 'root:x:0:0:root:/root:/bin/sh' >"$root/etc/passwd"
echo 'root:x:0:' >"$root/etc/group"
install -m 755 "$here/guest.sh" "$root/init"
install -D -m 644 -t "$root/usr/share/tamrod-vm" "$here/core.sh" "$here/more.sh"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/common.cpio"

# modinfo_depends FILE: the modules a module file names as its dependencies (its .modinfo section).
modinfo_depends() {
  tr '\0' '\n' <"$1" | sed -n 's/^depends=//p' | tr ',' ' '
}

# prepare_kernel NAME DEB HWSIM-OPTIONS WEXT: unpacks the kernel image and mac80211_hwsim with the
# modules it needs, in load order, into a second initramfs archive that the kernel unpacks over the
# common one, with the lab's settings for that kernel in /etc/lab.conf.
prepare_kernel() {
  local name=$1 deb=$2 hwsim=$3 wext=$4 kver m f dep
  local kdir=$work/$name
  local -a order=() pending=(mac80211_hwsim veth)
  mkdir -p "$kdir/pkg" "$kdir/root/lib/modules" "$kdir/root/etc"
  kver=$(dpkg-deb -f "$deb" Package)
  kver=${kver#linux-image-}
  # Only the trees where Wi-Fi modules and their dependencies live (one pass over the archive).
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kdir/pkg" --wildcards \
    "./boot/vmlinuz-$kver" "./*lib/modules/$kver/kernel/net/*" "./*lib/modules/$kver/kernel/lib/*" \
    "./*lib/modules/$kver/kernel/drivers/net/wireless/*" "./*lib/modules/$kver/kernel/drivers/virtio/*" \
    "./*lib/modules/$kver/kernel/drivers/net/veth.ko*" \
    "./*lib/modules/$kver/kernel/crypto/*" 2>/dev/null || true
  [[ -f $kdir/pkg/boot/vmlinuz-$kver ]] || lab_fail "no vmlinuz-$kver in $deb"
  cp "$kdir/pkg/boot/vmlinuz-$kver" "$kdir/vmlinuz"
  # Depth first from mac80211_hwsim and veth (the sleep scenario's link): every module after the
  # modules it depends on.
  while ((${#pending[@]})); do
    m=${pending[-1]}
    if [[ -e $kdir/root/lib/modules/$m.ko ]]; then
      unset 'pending[-1]'
      [[ " ${order[*]} " == *" $m "* ]] || order+=("$m")
      continue
    fi
    f=$(find "$kdir/pkg" \( -name "$m.ko" -o -name "$m.ko.*" -o -name "${m//_/-}.ko" -o -name "${m//_/-}.ko.*" \) | head -1)
    [[ -n $f ]] || lab_fail "module $m not found in $deb"
    case $f in
      *.xz) xz -dc "$f" >"$kdir/root/lib/modules/$m.ko" ;;
      *.zst) zstd -qdc "$f" >"$kdir/root/lib/modules/$m.ko" ;;
      *) cp "$f" "$kdir/root/lib/modules/$m.ko" ;;
    esac
    for dep in $(modinfo_depends "$kdir/root/lib/modules/$m.ko"); do
      dep=${dep//-/_}
      [[ -e $kdir/root/lib/modules/$dep.ko ]] || pending+=("$dep")
    done
  done
  rm -rf "$kdir/pkg"
  local -a others=()
  for m in "${order[@]}"; do [[ $m == mac80211_hwsim ]] || others+=("$m"); done
  cat >"$kdir/root/etc/lab.conf" <<EOF
KERNEL='$kver'
MODULES='${others[*]}'
HWSIM='$hwsim'
WEXT='$wext'
SCENARIOS='$scenarios'
EOF
  (cd "$kdir/root" && find . | cpio -o -H newc --quiet) >"$kdir/extra.cpio"
  cat "$work/common.cpio" "$kdir/extra.cpio" >"$kdir/initrd.cpio"
}

# run_kernel NAME: boots the prepared kernel and prints its VM lines; result[NAME] says how it went.
declare -A result summary
run_kernel() {
  local name=$1 kdir=$work/$1 status elapsed start passed failed
  echo "vm: booting $name ($(sed -n "s/^KERNEL='\(.*\)'/\1/p" "$kdir/root/etc/lab.conf"), $(du -sh "$kdir/initrd.cpio" | cut -f1) initramfs, limit ${limit}s)"
  start=$(date +%s)
  set +e
  timeout --foreground -k 5 "$limit" qemu-system-x86_64 -nographic -no-reboot -nic none -smp 2 -m 768 \
    -kernel "$kdir/vmlinuz" -initrd "$kdir/initrd.cpio" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 ${TAMROD_VM_APPEND:-}" </dev/null 2>&1 |
    tr -d '\r' | tee "$kdir/console.log" | grep --line-buffered -E '^VM '
  status=${PIPESTATUS[0]}
  set -e
  elapsed=$(($(date +%s) - start))
  passed=$(grep -c '^VM PASS ' "$kdir/console.log" || true)
  failed=$(grep -c '^VM FAIL ' "$kdir/console.log" || true)
  summary[$name]="${elapsed}s, $passed passed, $failed failed"
  if ((status == 124 || status == 137)); then
    result[$name]=fail
    summary[$name]+="; did not finish within ${limit}s"
  elif ! grep -q '^VM END' "$kdir/console.log"; then
    result[$name]=fail
    summary[$name]+="; did not complete (qemu status $status)"
  elif ((failed > 0 || passed == 0)); then
    result[$name]=fail
  else
    result[$name]=pass
  fi
  echo "vm: $name: ${summary[$name]}"
}

for k in "${kernels[@]}"; do
  case $k in
    12)
      name=debian12
      if deb=$(fetch_kernel "$cache"); then
        prepare_kernel "$name" "$deb" "radios=3" answered
        run_kernel "$name"
      else
        result[$name]=cannot
        summary[$name]="Debian 12's kernel package could not be fetched"
      fi
      ;;
    13 | 13-wext)
      # 13-wext: the same kernel without mlo=1, on the Wireless Extensions path (to tell a lab fault
      # from a fault of the nl80211 path).
      name=debian$k
      hwsim="radios=3 mlo=1" wext=refused
      [[ $k == 13 ]] || hwsim="radios=3" wext=answered
      if trixie_apt && deb=$(fetch_kernel "$cache" "${trixie_opts[@]}"); then
        prepare_kernel "$name" "$deb" "$hwsim" "$wext"
        run_kernel "$name"
      else
        result[$name]=cannot
        summary[$name]="Debian 13's kernel package could not be fetched (trixie from the host's archive)"
      fi
      ;;
    *) cannot "unknown kernel '$k' in TAMROD_VM_KERNELS (12, 13, 13-wext)" ;;
  esac
done

status=0
echo "vm: summary"
for k in "${kernels[@]}"; do
  name=debian$k
  echo "vm:   $name: ${result[$name]}: ${summary[$name]}"
  grep -h '^VM INFO \(wireless path\|latency\|figure\)' "$work/$name/console.log" 2>/dev/null | sed "s/^VM INFO /vm:     /" || true
  case ${result[$name]} in
    fail) status=1 ;;
    cannot) ((status == 1)) || status=2 ;;
  esac
done
if ((status != 0)); then
  kept=1
  echo "vm: logs in $work (each kernel's console.log holds the guest's logs after a failed check)" >&2
fi
exit "$status"
