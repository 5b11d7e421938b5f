# shellcheck shell=dash
# shellcheck disable=SC2154  # the lab's names come from guest.sh
# Scenarios 9-12, sourced by the virtual machine's init (guest.sh) after the lab is built; each is a
# function that starts from a station without daemon or association and leaves it so:
#   scenario_torn    9  over several associations no hook run shows the router's servers without its
#                       search domains or the reverse; each loss of association is one run clearing both
#   scenario_rename  10 the station interface re-created under a first name and renamed to the watched
#                       one is followed (on nl80211 as on Wireless Extensions)
#   scenario_portal  11 a NAT64 prefix (option 38) and a captive portal (option 37) reach the hook in
#                       TAMROD_PREF64 and TAMROD_PORTAL; a loss of association clears both
#   scenario_sleep   12 suspended to RAM for longer than the servers' lifetime: on waking they leave the
#                       hook within seconds and a solicitation goes out
# Figures are printed as "VM INFO figure: ..." lines, never checked: emulation makes them slow.

figure() { echo "VM INFO figure: $*"; }
# hook_value NAME [LINE]: the text between the brackets of NAME=[...] in LINE (default: the last run).
hook_value() {
    printf ' %s\n' "${2-$(last_hook)}" | sed -n "s/.* $1=\[\([^]]*\)\].*/\1/p"
}
full_state() { v6_has_servers && search_is "$DOMAINS"; }
empty_state() { v6_empty && search_is ""; }
# runs_since N: the hook runs after the first N, one a line.
runs_since() { tail -n +"$(($1 + 1))" /tmp/hook.log; }
# first_run_after N T PATTERN: how long after T (guest clock) the first run after the first N matched
# PATTERN (an extended regular expression), or "never".
first_run_after() {
    runs_since "$1" | RE=$3 awk -v t0="$2" '
        $0 ~ ENVIRON["RE"] { at = $NF; sub(/^at=/, "", at); printf "%.2f s\n", at - t0; found = 1; exit }
        END { if (!found) print "never" }'
}
wpa_gone() { [ ! -e /run/wpa_supplicant.pid ]; }
stop_wpa() {
    [ -e /run/wpa_supplicant.pid ] && kill "$(cat /run/wpa_supplicant.pid)" 2>/dev/null
    wait_for 5 wpa_gone || rm -f /run/wpa_supplicant.pid
}
# reset_station: no daemon, no wpa_supplicant, no association. A daemon that does not end on tamrod -t
# (a failed scenario) is killed, so that the next scenario can start its own.
reset_station() {
    if [ -n "$daemon" ] && ! gone && ! stop_daemon; then
        echo "VM INFO the daemon did not end on tamrod -t: killed"
        kill -KILL "$daemon"
        wait "$daemon"
        daemon=
    fi
    stop_wpa
    not_associated || disconnect
}
# wpa_supplicant for the first access point only (the second, of the same network, may be on).
wpa_start() {
    printf 'ctrl_interface=/run/wpa_supplicant\np2p_disabled=1\nnetwork={\n    ssid="%s"\n    bssid=%s\n    key_mgmt=NONE\n    scan_freq=%s\n}\n' \
        "$SSID" "$bssid" "$FREQ" >/tmp/wpa_supplicant-ap1.conf
    wpa_supplicant -B -i wlan0 -c /tmp/wpa_supplicant-ap1.conf -P /run/wpa_supplicant.pid -f "/tmp/wpa_supplicant-$1.log"
}

# --- 9: one advertisement, one run ----------------------------------------------------------------
# radvd answers each solicitation with servers and search domains in one advertisement; the kernel
# passes the two options up one after the other. A torn run shows one without the other.
TORN_CYCLES=5
# torn_count: "RUNS TORN" over the whole hook log (the start-up run, empty, included).
torn_count() {
    awk -v ns1="$NS1" -v ns2="$NS2" -v doms="$DOMAINS" '
        function val(name,   s) {
            if (!match($0, "(^| )" name "=\\[[^]]*\\]")) return ""
            s = substr($0, RSTART, RLENGTH); sub(/^ /, "", s)
            return substr(s, length(name) + 3, length(s) - length(name) - 3)
        }
        {
            v6 = " " val("V6") " "; s = val("S"); n++
            servers = index(v6, " " ns1 " ") && index(v6, " " ns2 " ")
            if (!((servers && s == doms) || (v6 == "  " && s == ""))) torn++
        }
        END { printf "%d %d\n", n, torn }' /tmp/hook.log
}
scenario_torn() {
    reset_station
    : >/tmp/hook.log
    check "9 daemon started" start_daemon s9
    started_or_end 9
    cycles=0 per_assoc="" per_loss="" loss_ok=1
    while [ "$cycles" -lt "$TORN_CYCLES" ]; do
        r0=$(hook_runs)
        if ! connect || ! wait_for 20 full_state; then break; fi
        r1=$(hook_runs)
        if ! disconnect || ! wait_for 10 empty_state; then break; fi
        r2=$(hook_runs)
        per_assoc="$per_assoc $((r1 - r0))" per_loss="$per_loss $((r2 - r1))"
        [ $((r2 - r1)) -eq 1 ] || loss_ok=0
        cycles=$((cycles + 1))
    done
    counts=$(torn_count)
    nruns=${counts% *} ntorn=${counts#* }
    figure "torn runs: $ntorn of $nruns hook runs over $cycles association(s); runs per association:$per_assoc; per loss:$per_loss"
    check "9 $TORN_CYCLES associations, each reaching the hook with the servers and the domains" [ "$cycles" -eq "$TORN_CYCLES" ]
    check "9 no torn run: servers and search domains always together" [ "$ntorn" -eq 0 ]
    check "9 each loss of association is one run that clears both" [ "$loss_ok" -eq 1 ]
    check "9 daemon stopped" stop_daemon
}

# iw_events_between FROM TO WHAT: prints the lines FROM+1 to TO of iw event's log.
iw_events_between() {
    if [ "$2" -gt "$1" ]; then
        sed -n "$(($1 + 1)),$2p" /tmp/iw-events.log | while read -r line; do
            echo "VM INFO nl80211 event during $3: $line"
        done
    else
        echo "VM INFO nl80211 event during $3: none (iw event printed nothing)"
    fi
}

# --- 10: an interface that comes under another name and is renamed to the watched one ------------
# As a driver re-creating its interface does, with udev renaming it to the predictable name.
scenario_rename() {
    reset_station
    sysctl -qw net.ipv6.conf.default.router_solicitations=0
    sta_phy=$(cat /sys/class/net/wlan0/phy80211/name)
    : >/tmp/hook.log
    check "10 daemon started" start_daemon s10
    started_or_end 10
    check "10 associated" connect
    check "10 servers learnt" wait_for 20 v6_has_servers
    check "10 station interface deleted" iw dev wlan0 del
    check "10 hook after the deletion: TAMROD_V6 empty" wait_for 10 v6_empty
    ev_add=$(wc -l </tmp/iw-events.log)
    check "10 interface added as wltmp0" iw phy "$sta_phy" interface add wltmp0 type managed
    sleep 1
    ev_ren=$(wc -l </tmp/iw-events.log)
    runs=$(hook_runs)
    t_ren=$(now)
    check "10 wltmp0 renamed to wlan0" ip link set wltmp0 name wlan0
    sleep 1
    # What nl80211 says of the addition and of the rename (iw event, listening since the lab started).
    iw_events_between "$ev_add" "$ev_ren" "the addition"
    iw_events_between "$ev_ren" "$(wc -l </tmp/iw-events.log)" "the rename"
    sysctl -qw net.ipv6.conf.wlan0.router_solicitations=0
    sysctl -qw net.ipv6.conf.wlan0.accept_ra=1
    ip link set wlan0 up
    check "10 wpa_supplicant started on the renamed interface" wpa_start rename
    check "10 associated on the renamed interface" wait_for 15 associated
    check "10 hook got the lab's servers after the rename" wait_for 20 v6_has_servers
    figure "rename to the hook run with the lab's servers: $(first_run_after "$runs" "$t_ren" "^V6=\[[^]]*$NS1")"
    stop_wpa
    check "10 station lost the association when wpa_supplicant ended" wait_for 10 not_associated
    check "10 daemon stopped" stop_daemon
}

# --- 11: NAT64 prefix and captive portal ------------------------------------------------------------
# radvd 2.19 announces neither option: the project's sender (send_ra) does, from the first access point,
# beside the same servers radvd announces. Leave it out of $SCENARIOS ("portal") on a daemon without
# the two variables.
PREF64=64:ff9b::/96
PORTAL=https://portal.lab.example/capport
portal_state() { [ "$(hook_value P64)" = "$PREF64" ] && [ "$(hook_value CP)" = "$PORTAL" ] && v6_has_servers; }
all_clear() {
    empty_state && last_hook | grep -q ' P64=\[\] CP=\[\] '
}
scenario_portal() {
    reset_station
    : >/tmp/hook.log
    check "11 daemon started" start_daemon s11
    started_or_end 11
    check "11 associated" connect
    check "11 servers and domains learnt from radvd" wait_for 20 full_state
    runs=$(hook_runs)
    t0=$(now)
    check "11 advertisement with a NAT64 prefix and a portal sent" A send_ra -L 900 -6 "$PREF64" -p "$PORTAL" wlan1 "$NS1" "$NS2"
    if ! check "11 hook got TAMROD_PREF64 and TAMROD_PORTAL" wait_for 8 portal_state; then
        echo "VM INFO 11 last hook run: $(last_hook)"
    fi
    figure "advertisement with options 37 and 38 to the hook run with both: $(first_run_after "$runs" "$t0" " P64=\[$PREF64\] CP=\[$PORTAL\] ")"
    check "11 the servers and domains stayed" full_state
    runs=$(hook_runs)
    check "11 disassociated" disconnect
    if ! check "11 loss of association cleared everything" wait_for 10 all_clear; then
        echo "VM INFO 11 last hook run: $(last_hook)"
    fi
    check "11 loss of association is one run" [ "$(($(hook_runs) - runs))" -eq 1 ]
    check "11 daemon stopped" stop_daemon
}

# --- 12: sleep longer than the servers' lifetime --------------------------------------------------
# mac80211_hwsim has no WoWLAN, and without it cfg80211 ends every link when the machine suspends: over
# the air the loss of association, not the lifetime, would clear the servers. So the daemon watches a
# veth here, its association reported by the Wireless Extensions stand-in, with radvd on the other
# end announcing a lifetime of 120 s (the least the daemon holds a server). radvd is killed, so that it
# sends no final advertisement; then the guest suspends to RAM for SLEEP_S seconds (RTC wake alarm).
SHORT_LIFETIME=120
SLEEP_S=130
# mono_ms: the kernel's monotonic clock (which stands still in suspend) in milliseconds.
mono_ms() { awk '/^now at [0-9]+ nsecs/ { printf "%d\n", $3 / 1000000; exit }' /proc/timer_list; }
boot_ms() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }
slp_rs_above() { [ "$(rs_in slp)" -gt "$1" ]; }
# sleep_lab: namespace slp with rtr0, joined by a veth to sl0 here, radvd on rtr0.
sleep_lab() {
    ip netns add slp && ip link add sl0 type veth peer name rtr0 netns slp || return 1
    ip netns exec slp ip link set lo up
    ip netns exec slp sysctl -qw net.ipv6.conf.all.forwarding=1
    sysctl -qw net.ipv6.conf.sl0.router_solicitations=0
    sysctl -qw net.ipv6.conf.sl0.accept_ra=1
    ip netns exec slp ip link set rtr0 up && ip link set sl0 up || return 1
    wait_for 10 ll_ready slp rtr0 || return 1
    printf 'interface rtr0 {\n    AdvSendAdvert on;\n    UnicastOnly on;\n    MaxRtrAdvInterval 60;\n' >/tmp/radvd-slp.conf
    printf '    prefix 2001:db8:1::/64 { };\n    RDNSS %s %s { AdvRDNSSLifetime %s; };\n' "$NS1" "$NS2" "$SHORT_LIFETIME" >>/tmp/radvd-slp.conf
    printf '    DNSSL %s { AdvDNSSLLifetime %s; };\n};\n' "$DOMAINS" "$SHORT_LIFETIME" >>/tmp/radvd-slp.conf
    ip netns exec slp radvd -n -C /tmp/radvd-slp.conf -p /run/radvd-slp.pid -m logfile -l /tmp/radvd-slp.log </dev/null >>/tmp/radvd-out.log 2>&1 &
    slp_radvd=$!
}
slp_radvd_gone() { [ ! -e "/proc/$slp_radvd" ] || grep -q '^[0-9]* ([^)]*) Z' "/proc/$slp_radvd/stat" 2>/dev/null; }
# kill_slp_radvd: SIGKILL, so no final advertisement withdraws the servers.
kill_slp_radvd() { kill -KILL "$slp_radvd" && wait_for 5 slp_radvd_gone && wait "$slp_radvd"; true; }
start_sleep_daemon() {
    printf 'bssid=02:00:00:00:5a:01\nmode=2\nessid=%s\n' "$SSID" >/tmp/wext-slp.state
    log=/tmp/tamrod-s12.log
    runs=$(hook_runs)
    LD_PRELOAD=/usr/lib/tamrod-vm/wext_stub.so TAMROD_WEXT_IFNAME=sl0 TAMROD_WEXT_STATE=/tmp/wext-slp.state \
        tamrod -f -i sl0 -x /tmp/hook.sh 2>>"$log" &
    daemon=$!
    wait_for 10 started && ! gone
}
suspend_for() {
    echo 0 >/sys/class/rtc/rtc0/wakealarm && echo "+$1" >/sys/class/rtc/rtc0/wakealarm &&
        echo mem >/sys/power/state
}
scenario_sleep() {
    reset_station
    : >/tmp/hook.log
    check "12 veth with a router announcing a ${SHORT_LIFETIME} s lifetime" sleep_lab
    check "12 daemon started on the veth" start_sleep_daemon
    started_or_end 12
    check "12 servers and domains learnt" wait_for 20 full_state
    check "12 router killed (no final advertisement)" kill_slp_radvd
    # The Wi-Fi station associated across the same sleep, for the record.
    if iw phy "$(cat /sys/class/net/wlan0/phy80211/name)" wowlan enable any >/dev/null 2>&1; then wow=accepted; else wow=refused; fi
    connect
    runs=$(hook_runs) in0=$(rs_in slp)
    b0=$(boot_ms) m0=$(mono_ms)
    check "12 suspended to RAM for ${SLEEP_S} s and woke" suspend_for "$SLEEP_S"
    t_wake=$(now)
    b1=$(boot_ms) m1=$(mono_ms)
    slept=$(((b1 - b0) - (m1 - m0)))
    figure "sleep: boot-time clock advanced $((b1 - b0)) ms, monotonic $((m1 - m0)) ms: slept $slept ms; lifetime ${SHORT_LIFETIME} s"
    if associated; then wifi=kept; else wifi=lost; fi
    echo "VM INFO over the air: WoWLAN $wow by mac80211_hwsim; the station's association $wifi across the sleep"
    check "12 slept longer than the lifetime" [ "$slept" -gt $((SHORT_LIFETIME * 1000)) ]
    check "12 servers and domains left the hook after waking" wait_for 10 empty_state
    # The daemon may run before this shell does after the thaw: a figure below 0 means just that.
    figure "waking (this shell resumed) to the hook run without the servers: $(first_run_after "$runs" "$t_wake" '^V6=\[\] ')"
    # Counted where the router receives it, radvd or not.
    if check "12 a solicitation reached the router within 10 s of waking" wait_for 10 slp_rs_above "$in0"; then
        figure "waking (this shell resumed) to the first solicitation received: $(elapsed_since "$t_wake") s"
    else
        figure "waking to the first solicitation: none within 10 s"
    fi
    check "12 daemon stopped" stop_daemon
    ip netns del slp
    not_associated || disconnect
}
