#!/usr/bin/env bash
# tamrod end to end on a machine without Wi-Fi: two throwaway network namespaces joined by a veth
# pair, Debian's radvd as the router announcing a prefix and two DNS servers, the Wi-Fi association
# simulated by the test stand-in (Wireless Extensions answers plus forged link notifications), and
# the real daemon with the example hook. Everything it creates is removed at the end, also on
# Ctrl-C or failure; the host's own interfaces are never touched.
#
# Environment: TAMROD_BUILD_DIR=<dir> uses an existing build there instead of installing and
# building first (the test suite runs the demo this way).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
if [[ $(id -u) -ne 0 ]]; then
  echo "demo: needs root (network namespaces, raw sockets, /dev/tamctl)" >&2
  exit 1
fi

if [[ -z ${TAMROD_BUILD_DIR:-} ]]; then
  echo "== Installing what is missing and building (first run takes a while)"
  bash "$src/scripts/setup.sh"
  cmake -S "$src" -B "$src/build" -G Ninja >/dev/null
  ninja -C "$src/build" tamrod wext_stub forge_link >/dev/null
  TAMROD_BUILD_DIR=$src/build
fi
build=$(cd "$TAMROD_BUILD_DIR" && pwd)
bin=$build/tamrod
stub=$build/tests/platform/libtamrod_wext_stub.so
forge=$build/tests/platform/forge_link
for f in "$bin" "$stub" "$forge"; do
  [[ -x $f || -f $f ]] || { echo "demo: $f is missing; build first" >&2; exit 1; }
done

if "$bin" -l >/dev/null 2>&1; then
  echo "demo: another tamrod already serves /dev/tamctl; stop it first (tamrod -t)" >&2
  exit 1
fi

sta=tamrod-demo-sta-$$
rtr=tamrod-demo-rtr-$$
work=$(mktemp -d /tmp/tamrod-demo.XXXXXX)
daemon_pid=
radvd_pid=

cleanup() {
  set +e
  [[ -n $daemon_pid ]] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  # Whatever still runs in the namespaces (radvd forks a helper of its own) ends with them.
  for ns in "$sta" "$rtr"; do
    pids=$(ip netns pids "$ns" 2>/dev/null)
    [[ -n $pids ]] && kill $pids 2>/dev/null
  done
  [[ -n $radvd_pid ]] && wait "$radvd_pid" 2>/dev/null
  ip netns del "$sta" 2>/dev/null
  ip netns del "$rtr" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted"; exit 130' INT TERM

fail() {
  echo "demo: $*" >&2
  if [[ -s $work/daemon.log ]]; then
    echo "--- daemon's standard error:" >&2
    cat "$work/daemon.log" >&2
  fi
  exit 1
}

in_sta() { ip netns exec "$sta" "$@"; }
in_rtr() { ip netns exec "$rtr" "$@"; }

# Waits up to $1 seconds for the command after it to succeed, showing a dot per second.
wait_for() {
  local limit=$1 waited=0
  shift
  until "$@"; do
    ((waited >= limit * 10)) && { echo; return 1; }
    sleep 0.1
    ((++waited % 10 == 0)) && printf '.'
  done
  ((waited >= 10)) && echo
  return 0
}

shown=0
# Prints the hook runs logged since the last call.
show_hook_runs() {
  local lines
  lines=$(wc -l <"$work/hook.log")
  if ((lines > shown)); then
    tail -n +"$((shown + 1))" "$work/hook.log" | head -n "$((lines - shown))"
    shown=$lines
  fi
}
hook_runs() { wc -l <"$work/hook.log"; }
runs_at_least() { [[ $(hook_runs) -ge $1 ]]; }

echo "== Setting up: namespaces $sta (the phone) and $rtr (the router), joined by a veth"
ip netns add "$sta"
ip netns add "$rtr"
ip link add wlan0 netns "$sta" type veth peer name rtr0 netns "$rtr"
in_sta sysctl -qw net.ipv6.conf.wlan0.accept_ra=2 net.ipv6.conf.wlan0.router_solicitations=0
in_rtr sysctl -qw net.ipv6.conf.all.forwarding=1
in_sta ip link set lo up
in_rtr ip link set lo up
in_sta ip link set wlan0 up
in_rtr ip link set rtr0 up
tentative() { [[ -z $(in_sta ip -6 addr show dev wlan0 tentative) && -z $(in_rtr ip -6 addr show dev rtr0 tentative) ]]; }
wait_for 10 tentative || fail "link-local addresses stayed tentative"

cat >"$work/radvd.conf" <<'CONF'
interface rtr0 {
    AdvSendAdvert on;
    MinRtrAdvInterval 200;
    MaxRtrAdvInterval 600;
    prefix 2001:db8:1::/64 { };
    RDNSS 2001:db8:1::53 2001:db8:1::54 { AdvRDNSSLifetime 900; };
};
CONF
echo "== Starting radvd on the router side: prefix 2001:db8:1::/64, DNS 2001:db8:1::53 and ::54"
ip netns exec "$rtr" radvd -n -C "$work/radvd.conf" -p "$work/radvd.pid" -m logfile -l "$work/radvd.log" \
  </dev/null >>"$work/radvd.log" 2>&1 &
radvd_pid=$!

# The example hook does the real job (here on a scratch resolv.conf); this wrapper also logs each
# run with its four variables so the demo can show them.
cat >"$work/hook.sh" <<HOOK
#!/bin/sh
echo "  hook run: TAMROD_V6='\$TAMROD_V6' TAMROD_V4='\$TAMROD_V4' TAMROD_R6='\$TAMROD_R6' TAMROD_R4='\$TAMROD_R4'" >> "$work/hook.log"
TAMROD_RESOLV_CONF="$work/resolv.conf" TAMROD_RESOLVCONF=none exec "$src/examples/tamrod.sh"
HOOK
chmod 755 "$work/hook.sh"
: >"$work/hook.log"
printf 'DemoNet  +  1\n' >"$work/policy.conf"

state=$work/wifi.state
write_state() { printf 'bssid=%s\nmode=2\nessid=%s\n' "$1" "$2" >"$state.new" && mv "$state.new" "$state"; }
write_state 00:00:00:00:00:00 ""

echo "== Starting tamrod -f -i wlan0 -c policy.conf -x hook.sh (not associated yet)"
# Started directly, not through a shell function, so that $! is the daemon itself.
ip netns exec "$sta" env LD_PRELOAD="$stub" TAMROD_WEXT_IFNAME=wlan0 TAMROD_WEXT_STATE="$state" \
  "$bin" -f -i wlan0 -c "$work/policy.conf" -x "$work/hook.sh" 2>"$work/daemon.log" &
daemon_pid=$!
started() { ! kill -0 "$daemon_pid" 2>/dev/null || [[ $(hook_runs) -ge 1 ]]; }
wait_for 10 started || true
kill -0 "$daemon_pid" 2>/dev/null || fail "the daemon ended at start-up"
[[ $(hook_runs) -ge 1 ]] || fail "the hook did not run at start-up"
show_hook_runs

solicits() { in_rtr awk '$1 == "Icmp6InRouterSolicits" { print $2 }' /proc/net/snmp6; }
rs_before=$(solicits)

bssid=02:00:5e:00:53:01
echo "== Associating with 'DemoNet' ($bssid): the kernel would announce it in a link notification"
write_state "$bssid" DemoNet
in_sta "$forge" wlan0 mode=2 "ap=$bssid" || fail "could not send the link notification"

printf 'Waiting for the router to answer and the servers to arrive'
have_servers() { [[ -n $("$bin" -l 2>/dev/null) ]]; }
wait_for 30 have_servers || fail "no servers learnt"
echo
echo "== Router saw $(( $(solicits) - rs_before )) solicitation(s) from tamrod; servers learnt:"
"$bin" -l | sed 's/^/  /'
wait_for 5 runs_at_least 2 || fail "the hook did not run for the new servers"
show_hook_runs

echo "== tamrod -4 192.0.2.53          (WLAN IPv4 server from the DHCP client)"
"$bin" -4 192.0.2.53
wait_for 5 runs_at_least 3 || fail "no hook run after -4"
show_hook_runs
echo "== tamrod -r 198.51.100.53 2001:db8:ff::53   (radio link servers)"
"$bin" -r 198.51.100.53 2001:db8:ff::53
wait_for 5 runs_at_least 4 || fail "no hook run after -r"
show_hook_runs
echo "== tamrod -l"
"$bin" -l | sed 's/^/  /'
echo "== tamrod -u                     (policy file read again)"
"$bin" -u
echo "== The hook's resolv.conf now reads:"
sed 's/^/  /' "$work/resolv.conf"

echo "== Losing the association (access-point event with a zero BSSID)"
write_state 00:00:00:00:00:00 ""
in_sta "$forge" wlan0 ap=00:00:00:00:00:00 || fail "could not send the link notification"
no_v6() { ! "$bin" -l 2>/dev/null | grep -q ':'; }
wait_for 10 no_v6 || fail "the IPv6 servers were not dropped"
wait_for 5 runs_at_least 5 || fail "no hook run after the loss of association"
show_hook_runs
echo "== tamrod -l"
"$bin" -l | sed 's/^/  /'

echo "== tamrod -t"
"$bin" -t
status=0
wait "$daemon_pid" || status=$?
daemon_pid=
echo "== tamrod ended with status $status (the daemon always ends with 1)"
[[ -s $work/daemon.log ]] && { echo "--- daemon's standard error:"; cat "$work/daemon.log"; }
echo "== Demo complete; cleaning up"
