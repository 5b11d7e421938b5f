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

# shellcheck source=SCRIPTDIR/lab.sh
source "$(dirname "$0")/lab.sh" demo
lab_dots=1
lab_need_root "network namespaces, raw sockets, /dev/tamctl"
lab_build build tamrod wext_stub forge_link
lab_need_built "$bin" "$stub" "$forge"
lab_refuse_running
lab_workdir

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
hook_runs() { lab_lines "$work/hook.log"; }
runs_at_least() { [[ $(hook_runs) -ge $1 ]]; }

echo "== Setting up: namespaces $sta (the phone) and $rtr (the router), joined by a veth"
lab_link

echo "== Starting radvd on the router side: prefix 2001:db8:1::/64, DNS 2001:db8:1::53 and ::54,"
echo "   search domains demo.example and lab.demo.example"
lab_radvd

# The example hook does the real job (here on a scratch resolv.conf); this wrapper also logs each
# run with the variables it received so the demo can show them.
cat >"$work/hook.sh" <<HOOK
#!/bin/sh
echo "  hook run: TAMROD_V6='\$TAMROD_V6' TAMROD_V4='\$TAMROD_V4' TAMROD_R6='\$TAMROD_R6' TAMROD_R4='\$TAMROD_R4' TAMROD_SEARCH='\${TAMROD_SEARCH-(not set)}'" >> "$work/hook.log"
TAMROD_RESOLV_CONF="$work/resolv.conf" TAMROD_RESOLVCONF=none TAMROD_RUNDIR="$work/run" exec "$src/examples/tamrod.sh"
HOOK
chmod 755 "$work/hook.sh"
: >"$work/hook.log"
printf 'DemoNet  +  1\n' >"$work/policy.conf"

lab_write_state 00:00:00:00:00:00 ""

echo "== Starting tamrod -f -i wlan0 -c policy.conf -x hook.sh (not associated yet)"
lab_start_daemon "$work/hook.log" -c "$work/policy.conf" -x "$work/hook.sh"
show_hook_runs

# shellcheck disable=SC2016 # an awk program
solicits() { in_rtr awk '$1 == "Icmp6InRouterSolicits" { print $2 }' /proc/net/snmp6; }
rs_before=$(solicits)

bssid=02:00:5e:00:53:01
echo "== Associating with 'DemoNet' ($bssid): the kernel would announce it in a link notification"
lab_write_state "$bssid" DemoNet
in_sta "$forge" wlan0 mode=2 "ap=$bssid" || lab_fail "could not send the link notification"

printf 'Waiting for the router to answer and the servers to arrive'
have_servers() { [[ -n $("$bin" -l 2>/dev/null) ]]; }
lab_wait 30 have_servers || lab_fail "no servers learnt"
echo
echo "== Router saw $(( $(solicits) - rs_before )) solicitation(s) from tamrod; servers learnt:"
"$bin" -l | sed 's/^/  /'
lab_wait 5 runs_at_least 2 || lab_fail "the hook did not run for the new servers"
show_hook_runs

echo "== tamrod -4 192.0.2.53          (WLAN IPv4 server from the DHCP client)"
"$bin" -4 192.0.2.53
lab_wait 5 runs_at_least 3 || lab_fail "no hook run after -4"
show_hook_runs
echo "== tamrod -r 198.51.100.53 2001:db8:ff::53   (radio link servers)"
"$bin" -r 198.51.100.53 2001:db8:ff::53
lab_wait 5 runs_at_least 4 || lab_fail "no hook run after -r"
show_hook_runs
echo "== tamrod -l"
"$bin" -l | sed 's/^/  /'
echo "== tamrod -u                     (policy file read again)"
"$bin" -u
echo "== The hook's resolv.conf now reads:"
sed 's/^/  /' "$work/resolv.conf"

echo "== Losing the association (access-point event with a zero BSSID)"
lab_write_state 00:00:00:00:00:00 ""
in_sta "$forge" wlan0 ap=00:00:00:00:00:00 || lab_fail "could not send the link notification"
no_v6() { ! "$bin" -l 2>/dev/null | grep -q ':'; }
lab_wait 10 no_v6 || lab_fail "the IPv6 servers were not dropped"
lab_wait 5 runs_at_least 5 || lab_fail "no hook run after the loss of association"
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
