#!/usr/bin/env bash
# From a clone: the README's install (cmake --install --prefix /usr) into a scratch root, then the
# installed daemon started with the installed unit's command line (its ExecStart for instance wlan0,
# as systemd would expand it with no environment file, installed paths taken from the scratch root)
# in the demo's namespaces, with the installed hook writing a scratch resolv.conf. Passes when a
# server announced by radvd is learnt and reaches that file; prints how long each step took.
#
# Environment: TAMROD_BUILD_DIR=<dir> uses an existing build instead of installing and building first.
set -euo pipefail

# shellcheck source=SCRIPTDIR/lab.sh
source "$(dirname "$0")/lab.sh" install-check
lab_need_root "network namespaces, raw sockets, /dev/tamctl"
start=$(date +%s%N)
ms_since() { echo "$((($(date +%s%N) - $1) / 1000000)) ms"; }

lab_build build tamrod wext_stub forge_link
lab_need_built "$bin" "$stub" "$forge"
lab_refuse_running
lab_workdir
built=$(ms_since "$start")

root=$work/root
t=$(date +%s%N)
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
unit=$root/usr/lib/systemd/system/tamrod@.service
[[ -f $unit ]] || lab_fail "no unit installed at /usr/lib/systemd/system/tamrod@.service"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
hook=$(sed -n 's/^Environment=.*TAMROD_HOOK=\([^ ]*\).*/\1/p' "$unit")
[[ -n $exec_start && -n $hook ]] || lab_fail "the unit has no ExecStart or no TAMROD_HOOK"
# systemd's expansion for tamrod@wlan0 without an environment file.
# shellcheck disable=SC2016 # the unit's own variable syntax, replaced literally
cmdline=${exec_start//%I/wlan0}
# shellcheck disable=SC2016
cmdline=${cmdline//'${TAMROD_HOOK}'/$hook}
# shellcheck disable=SC2016
cmdline=${cmdline//'$TAMROD_OPTS'/}
read -ra argv <<<"$cmdline"
for i in "${!argv[@]}"; do
  if [[ ${argv[i]} == /* ]]; then
    [[ -e $root${argv[i]} ]] || lab_fail "the unit runs ${argv[i]}, which the install did not put there"
    argv[i]=$root${argv[i]}
  fi
done
installed=$(ms_since "$t")
echo "== Installed into $root; the unit runs: $cmdline"

lab_link
lab_radvd
lab_write_state 00:00:00:00:00:00 ""

t=$(date +%s%N)
resolv=$work/resolv.conf
# The environment the unit gives the hook, with the resolver file moved into the scratch directory.
ip netns exec "$sta" env LD_PRELOAD="$stub" TAMROD_WEXT_IFNAME=wlan0 TAMROD_WEXT_STATE="$lab_state" \
  TAMROD_INTERFACE=wlan0 TAMROD_RESOLV_CONF="$resolv" TAMROD_RESOLVCONF=none TAMROD_RUNDIR="$work/run" \
  "${argv[@]}" 2>"$work/daemon.log" &
daemon_pid=$!
started() { ! kill -0 "$daemon_pid" 2>/dev/null || [[ -e $resolv ]]; }
lab_wait 10 started || true
kill -0 "$daemon_pid" 2>/dev/null || lab_fail "the installed daemon ended at start-up"
[[ -e $resolv ]] || lab_fail "the installed hook did not run at start-up"

lab_write_state 02:00:5e:00:53:01 DemoNet
in_sta "$forge" wlan0 mode=2 ap=02:00:5e:00:53:01 || lab_fail "could not send the link notification"
learnt() { grep -qx 'nameserver 2001:db8:1::53' "$resolv" && "$root/usr/sbin/tamrod" -l 2>/dev/null | grep -qx 2001:db8:1::53; }
lab_wait 30 learnt || lab_fail "no server learnt within 30 s"
echo "== Learnt; the installed hook's resolv.conf reads:"
sed 's/^/  /' "$resolv"
echo "== install-check PASS: build ${built}, install ${installed}, start to server in resolv.conf $(ms_since "$t"), total $(ms_since "$start")"
