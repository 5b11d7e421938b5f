#!/usr/bin/env bash
# tamrod on a real Wi-Fi stack: boots Debian 12's own kernel under qemu (software emulation) with an
# initramfs built here, where mac80211_hwsim provides two radios joined by simulated air. One radio sits
# in its own network namespace as the access point (hostapd, open network) and router (radvd with RDNSS);
# the real tamrod watches the other through the kernel's own Wireless Extensions. No stand-in anywhere.
#
# The kernel package is fetched with apt-get download and unpacked into a scratch directory; nothing is
# installed into the host's /boot or /lib/modules. All traffic stays inside the virtual machine.
#
# Environment:
#   TAMROD_BUILD_DIR=<dir>  use the tamrod executable built there (default: build it in build-vm)
#   TAMROD_VM_DIR=<dir>     cache for the kernel package and work files (default /var/tmp/tamrod-vm)
#   TAMROD_VM_TIMEOUT=<s>   hard limit for the whole virtual machine (default 240)
# Exit status: 0 when every check passed; 1 when a check failed or the run did not complete (the logs
# stay in the work directory); 2 when this host cannot run it (not root, no qemu, no space).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
here=$src/vm
cache=${TAMROD_VM_DIR:-/var/tmp/tamrod-vm}
limit=${TAMROD_VM_TIMEOUT:-240}

cannot() { echo "vm: cannot run here: $*" >&2; exit 2; }
die() { echo "vm: $*" >&2; exit 1; }

[[ $(id -u) -eq 0 ]] || cannot "needs root (apt-get, building the initramfs)"

tools=(qemu-system-x86_64 busybox iw hostapd hostapd_cli wpa_supplicant radvd ip cpio timeout)
packages=(qemu-system-x86 busybox iw hostapd wpasupplicant wireless-regdb radvd iproute2 cpio coreutils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "vm: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; } ||
    cannot "could not install ${missing[*]}"
fi
# busybox-static replaces the dynamic busybox and always runs its own ip applet (no ip netns).
dpkg-query -W -f='${Status}' busybox 2>/dev/null | grep -q 'install ok installed' ||
  cannot "the dynamic busybox package is needed (busybox-static cannot run ip netns)"
for t in "${tools[@]}"; do
  command -v "$t" >/dev/null || cannot "$t is missing"
done
[[ -f /lib/firmware/regulatory.db ]] || cannot "regulatory.db (wireless-regdb) is missing"

mkdir -p "$cache"
avail_kb=$(df -Pk "$cache" | awk 'NR == 2 { print $4 }')
((avail_kb > 600 * 1024)) || cannot "less than 600 MB free in $cache"

# The kernel: whatever linux-image-amd64 currently points at, fetched once into the cache.
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-6\.1\.0-[0-9]+-amd64$/ { print $2; exit }')
[[ -n $kpkg ]] || kpkg=$(apt-cache pkgnames linux-image-6.1.0- | grep -E '^linux-image-6\.1\.0-[0-9]+-amd64$' | sort -V | tail -1)
[[ -n $kpkg ]] || cannot "no linux-image-6.1.0-*-amd64 package known to apt"
deb=$(ls "$cache/${kpkg}_"*.deb 2>/dev/null | tail -1 || true)
if [[ -z $deb ]]; then
  echo "vm: fetching $kpkg"
  (cd "$cache" && apt-get download "$kpkg" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
  deb=$(ls "$cache/${kpkg}_"*.deb 2>/dev/null | tail -1 || true)
  [[ -n $deb ]] || cannot "apt-get download $kpkg failed"
fi
kver=${kpkg#linux-image-}

# tamrod itself.
if [[ -z ${TAMROD_BUILD_DIR:-} ]]; then
  bash "$src/scripts/setup.sh"
  cmake -S "$src" -B "$src/build-vm" -G Ninja >/dev/null
  ninja -C "$src/build-vm" tamrod >/dev/null
  TAMROD_BUILD_DIR=$src/build-vm
fi
bin=$(cd "$TAMROD_BUILD_DIR" && pwd)/tamrod
[[ -x $bin ]] || die "$bin is missing; build first"

work=$(mktemp -d "$cache/run.XXXXXX")
root=$work/root
kept=0
finish() {
  ((kept)) || rm -rf "$work"
}
trap finish EXIT

# Kernel image and the Wi-Fi modules, straight out of the package.
mods=(virtio_ring virtio rfkill cfg80211 libarc4 mac80211 mac80211_hwsim)
mkdir -p "$work/kernel" "$root/lib/modules"
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/kernel" --wildcards "./boot/vmlinuz-$kver" \
  $(printf " ./lib/modules/$kver/kernel/*/%s.ko*" "${mods[@]}") 2>/dev/null ||
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/kernel" --wildcards "./boot/vmlinuz-$kver" "./lib/modules/$kver/*.ko*"
kernel=$work/kernel/boot/vmlinuz-$kver
[[ -f $kernel ]] || die "no vmlinuz-$kver in $deb"
for m in "${mods[@]}"; do
  f=$(find "$work/kernel/lib/modules" -name "$m.ko*" | head -1)
  [[ -n $f ]] || die "module $m not found in $deb"
  case $f in
    *.xz) xz -dc "$f" >"$root/lib/modules/$m.ko" ;;
    *.zst) zstd -qdc "$f" >"$root/lib/modules/$m.ko" ;;
    *) cp "$f" "$root/lib/modules/$m.ko" ;;
  esac
done

# Executables with every shared library they load, at the same paths as on the host.
add() {
  local f=$1 lib
  mkdir -p "$root$(dirname "$f")"
  cp -L "$f" "$root$f"
  for lib in $(ldd "$f" 2>/dev/null | awk '/=> \// { print $3 } /^\t\/[^ ]+ \(/ { print $1 }'); do
    [[ -e $root$lib ]] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
add "$(command -v busybox)"
mkdir -p "$root/bin"
ln -sf "$(command -v busybox)" "$root/bin/busybox" 2>/dev/null || true
[[ -e $root/bin/busybox ]] || cp -L "$(command -v busybox)" "$root/bin/busybox"
for t in ip iw hostapd hostapd_cli wpa_supplicant radvd; do add "$(command -v "$t")"; done
add "$bin"
mkdir -p "$root/usr/sbin"
[[ $bin == /usr/sbin/tamrod ]] || cp -L "$bin" "$root/usr/sbin/tamrod"
mkdir -p "$root/lib/firmware"
cp -L /lib/firmware/regulatory.db "$root/lib/firmware/"
[[ -e /lib/firmware/regulatory.db.p7s ]] && cp -L /lib/firmware/regulatory.db.p7s "$root/lib/firmware/"
mkdir -p "$root"/{proc,sys,dev,run,tmp,etc,var}
ln -s ../run "$root/var/run"
# radvd looks up the owner of its configuration file.
echo 'root:x:0:0:root:/root:/bin/sh' >"$root/etc/passwd"
echo 'root:x:0:' >"$root/etc/group"
install -m 755 "$here/guest.sh" "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initrd.cpio"

echo "vm: booting $kpkg with $(du -sh "$work/initrd.cpio" | cut -f1) initramfs (limit ${limit}s)"
start=$(date +%s)
set +e
timeout --foreground -k 5 "$limit" qemu-system-x86_64 -nographic -no-reboot -nic none -smp 2 -m 768 \
  -kernel "$kernel" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3 ${TAMROD_VM_APPEND:-}" </dev/null 2>&1 |
  tr -d '\r' | tee "$work/console.log" | grep --line-buffered -E '^VM '
status=${PIPESTATUS[0]}
set -e
elapsed=$(($(date +%s) - start))

passed=$(grep -c '^VM PASS ' "$work/console.log" || true)
failed=$(grep -c '^VM FAIL ' "$work/console.log" || true)
complete=0
grep -q '^VM END' "$work/console.log" && complete=1
echo "vm: ${elapsed}s in the virtual machine; $passed passed, $failed failed"
if ((status == 124 || status == 137)); then
  kept=1
  die "the virtual machine did not finish within ${limit}s; logs in $work (console.log)"
fi
if ((!complete)); then
  kept=1
  die "the run inside the virtual machine did not complete (qemu status $status); logs in $work (console.log)"
fi
if ((failed > 0 || passed == 0)); then
  kept=1
  die "checks failed; logs in $work (console.log holds the guest's logs after the checks)"
fi
echo "vm: $passed passed, 0 failed"
