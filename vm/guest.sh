#!/bin/busybox sh
# The virtual machine's init: builds the Wi-Fi lab out of mac80211_hwsim's two radios and runs the
# scenarios against the real tamrod. Every check prints one "VM PASS name" or "VM FAIL name" line on the
# console; "VM END" closes the run, after the lab's logs when anything failed. Then the machine stops.
/bin/busybox --install -s /bin
umask 022
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
echo "VM INFO booted after $(cut -d' ' -f1 /proc/uptime)s of guest time"

SSID=TamLab
FREQ=2412
NS1=2001:db8:1::53
NS2=2001:db8:1::54
passed=0
failed=0

check() {
    name=$1
    shift
    if "$@"; then
        echo "VM PASS $name"
        passed=$((passed + 1))
    else
        echo "VM FAIL $name"
        failed=$((failed + 1))
    fi
}

finish() {
    if [ "$failed" -ne 0 ] || [ "$passed" -eq 0 ]; then
        for f in /tmp/*.log /tmp/*.conf; do
            [ -f "$f" ] || continue
            echo "--- $f"
            cat "$f"
        done
        echo "--- station"
        iw dev wlan0 link
        ip -6 addr
    fi
    echo "VM END passed=$passed failed=$failed"
    sync
    reboot -f
    sleep 10
}

fatal() {
    echo "VM FAIL $*"
    failed=$((failed + 1))
    finish
}

# wait_for SECONDS COMMAND...: polls every tenth of a second until the guest's clock passes the limit
# (counting polls would stretch the limit by however long each command takes under emulation).
uptime_s() { read -r up _ </proc/uptime; echo "${up%.*}"; }
wait_for() {
    limit=$(($(uptime_s) + $1))
    shift
    until "$@"; do
        [ "$(uptime_s)" -ge "$limit" ] && return 1
        sleep 0.1
    done
    return 0
}

A() { ip netns exec ap "$@"; }
snmp6() { awk -v k="$1" '$1 == k { print $2 }' /proc/net/snmp6; }
sta_rs_out() { snmp6 Icmp6OutRouterSolicits; }
rtr_rs_in() { A awk '$1 == "Icmp6InRouterSolicits" { print $2 }' /proc/net/snmp6; }

# --- The lab ------------------------------------------------------------------------------------
for m in virtio_ring virtio rfkill cfg80211 libarc4 mac80211; do
    insmod /lib/modules/$m.ko || fatal "lab: insmod $m"
done
insmod /lib/modules/mac80211_hwsim.ko radios=2 || fatal "lab: insmod mac80211_hwsim"
radios() { [ -e /sys/class/net/wlan0 ] && [ -e /sys/class/net/wlan1 ]; }
wait_for 10 radios || fatal "lab: two radios (wlan0, wlan1)"

ap_phy=$(cat /sys/class/net/wlan1/phy80211/name)
ip netns add ap || fatal "lab: ip netns add"
iw phy "$ap_phy" set netns name ap || fatal "lab: moving $ap_phy into the access point's namespace"
A ip link set lo up
A sysctl -qw net.ipv6.conf.all.forwarding=1
bssid=$(A cat /sys/class/net/wlan1/address)
sta_mac=$(cat /sys/class/net/wlan0/address)

mkdir -p /run/hostapd
cat >/tmp/hostapd.conf <<EOF
interface=wlan1
driver=nl80211
ssid=$SSID
hw_mode=g
channel=1
ctrl_interface=/run/hostapd
EOF
A hostapd -B -P /run/hostapd.pid -f /tmp/hostapd.log /tmp/hostapd.conf || fatal "lab: hostapd"
ap_ready() {
    A ip -6 addr show dev wlan1 scope link | grep -q inet6 &&
        ! A ip -6 addr show dev wlan1 tentative | grep -q inet6
}
wait_for 15 ap_ready || fatal "lab: the access point's link-local address"

cat >/tmp/radvd.conf <<EOF
interface wlan1 {
    AdvSendAdvert on;
    MinRtrAdvInterval 200;
    MaxRtrAdvInterval 600;
    prefix 2001:db8:1::/64 { };
    RDNSS $NS1 $NS2 { AdvRDNSSLifetime 900; };
};
EOF
radvd_pid=
start_radvd() {
    # Not through A: $! must be radvd itself (ip netns exec execs it), not a subshell.
    ip netns exec ap radvd -n -C /tmp/radvd.conf -p /run/radvd.pid -m logfile -l /tmp/radvd.log </dev/null >>/tmp/radvd.log 2>&1 &
    radvd_pid=$!
}
radvd_gone() { [ ! -e /proc/$radvd_pid ] || grep -q '^[0-9]* ([^)]*) Z' /proc/$radvd_pid/stat 2>/dev/null; }
stop_radvd() {
    kill "$radvd_pid" && wait_for 5 radvd_gone && wait "$radvd_pid"
    rm -f /run/radvd.pid
    true
}
start_radvd

# The station: only tamrod solicits (the kernel's own solicitations are off).
ip link set lo up
sysctl -qw net.ipv6.conf.wlan0.router_solicitations=0
sysctl -qw net.ipv6.conf.wlan0.accept_ra=1
ip link set wlan0 up || fatal "lab: station up"
echo "VM INFO lab ready after $(cut -d' ' -f1 /proc/uptime)s: access point $bssid, station $sta_mac"

# --- Helpers for the scenarios --------------------------------------------------------------------
cat >/tmp/hook.sh <<'EOF'
#!/bin/sh
echo "V6=[$TAMROD_V6] V4=[$TAMROD_V4] R6=[$TAMROD_R6] R4=[$TAMROD_R4]" >>/tmp/hook.log
EOF
chmod 755 /tmp/hook.sh

hook_runs() { [ -f /tmp/hook.log ] && wc -l </tmp/hook.log || echo 0; }
runs_above() { [ "$(hook_runs)" -gt "$1" ]; }
last_hook() { tail -n 1 /tmp/hook.log; }
last_v6() { last_hook | sed -n 's/^V6=\[\([^]]*\)\].*/\1/p'; }
v6_has_servers() {
    v6=" $(last_v6) "
    case $v6 in *" $NS1 "*) ;; *) return 1 ;; esac
    case $v6 in *" $NS2 "*) ;; *) return 1 ;; esac
}
v6_empty() { [ -z "$(last_v6)" ] && last_hook | grep -q '^V6=\[\]'; }
listed() { tamrod -l 2>/dev/null; }
has_servers() { l=$(listed) && echo "$l" | grep -qx "$NS1" && echo "$l" | grep -qx "$NS2"; }
no_v6() { l=$(listed) && ! echo "$l" | grep -q ':'; }

associated() { iw dev wlan0 link | grep -q "^Connected to $bssid"; }
not_associated() { ! iw dev wlan0 link | grep -q '^Connected'; }
connect() {
    iw dev wlan0 connect "$SSID" "$FREQ" "$bssid" && wait_for 10 associated
}
disconnect() { iw dev wlan0 disconnect && wait_for 5 not_associated; }

daemon=
# start_daemon LOGNAME [OPTIONS...]: the daemon in the foreground of a background job.
start_daemon() {
    log=/tmp/tamrod-$1.log
    shift
    runs=$(hook_runs)
    tamrod -f -i wlan0 "$@" -x /tmp/hook.sh 2>>"$log" &
    daemon=$!
    wait_for 10 runs_above "$runs"
}
gone() { [ ! -e /proc/$daemon ] || grep -q '^[0-9]* ([^)]*) Z' /proc/$daemon/stat 2>/dev/null; }
# stop_daemon: tamrod -t, then the daemon must end within five seconds with status 1.
stop_daemon() {
    tamrod -t || return 1
    wait_for 5 gone || return 1
    wait "$daemon"
    st=$?
    daemon=
    [ "$st" -eq 1 ]
}
elapsed_since() { awk -v t0="$1" '{ printf "%.1f", $1 - t0 }' /proc/uptime; }
now() { cut -d' ' -f1 /proc/uptime; }

# --- 1: started before association ---------------------------------------------------------------
: >/tmp/hook.log
check "1 daemon started, hook ran with four empty lists" start_daemon s1
check "1 first hook run is empty" sh -c '[ "$(head -n 1 /tmp/hook.log)" = "V6=[] V4=[] R6=[] R4=[]" ]'
sleep 2
out_before=$(sta_rs_out)
in_before=$(rtr_rs_in)
none_yet() { [ "$out_before" = 0 ] && [ "$in_before" = 0 ]; }
check "1 nothing solicited before association" none_yet
t0=$(now)
check "1 associated with iw connect" connect
check "1 radvd's servers listed by tamrod -l" wait_for 20 has_servers
echo "VM INFO servers learnt $(elapsed_since "$t0")s after association; $(rtr_rs_in) solicitation(s) reached the router"
check "1 solicitations reached the router" [ "$(rtr_rs_in)" -gt 0 ]
check "1 hook got radvd's servers in TAMROD_V6" wait_for 5 v6_has_servers

# --- 5: -4 and -r while associated; -t ends the daemon ---------------------------------------------
runs=$(hook_runs)
check "5 tamrod -4 accepted" tamrod -4 192.0.2.53
check "5 hook ran after -4" wait_for 5 runs_above "$runs"
runs=$(hook_runs)
check "5 tamrod -r accepted" tamrod -r 198.51.100.53 2001:db8:ff::53
check "5 hook ran after -r" wait_for 5 runs_above "$runs"
all_four() {
    v6_has_servers && last_hook | grep -q ' V4=\[192.0.2.53\] R6=\[2001:db8:ff::53\] R4=\[198.51.100.53\]$'
}
check "5 hook saw all four lists" wait_for 5 all_four
check "5 tamrod -t ends the daemon with status 1" stop_daemon
check "5 nobody answers on /dev/tamctl afterwards" sh -c '! tamrod -l >/dev/null 2>&1'

# --- 2: started while already associated ----------------------------------------------------------
: >/tmp/hook.log
in_before=$(rtr_rs_in)
t0=$(now)
check "2 daemon started while associated" start_daemon s2
check "2 servers learnt without a new association" wait_for 15 has_servers
echo "VM INFO servers learnt $(elapsed_since "$t0")s after start-up"
check "2 solicited at once" [ "$(rtr_rs_in)" -gt "$in_before" ]
check "2 hook got the servers" wait_for 5 v6_has_servers

# --- 3: disassociation and deauthentication empty the list ----------------------------------------
check "3 disassociated (iw disconnect)" disconnect
check "3 disassociation empties tamrod -l" wait_for 10 no_v6
check "3 hook saw the empty TAMROD_V6" wait_for 5 v6_empty
check "3 associated again" connect
check "3 servers learnt again" wait_for 20 has_servers
check "3 hook got the servers again" wait_for 5 v6_has_servers
check "3 access point deauthenticates the station" A hostapd_cli -p /run/hostapd deauthenticate "$sta_mac"
check "3 station lost the association" wait_for 10 not_associated
check "3 deauthentication empties tamrod -l" wait_for 10 no_v6
check "3 hook saw the empty TAMROD_V6 after deauthentication" wait_for 5 v6_empty
check "3 associated once more" connect
check "3 servers learnt once more" wait_for 20 has_servers

# The same through wpa_supplicant, which deauthenticates when it ends.
printf 'network={\n    ssid="%s"\n    key_mgmt=NONE\n}\n' "$SSID" >/tmp/wpa_supplicant.conf
check "3 disassociated before wpa_supplicant" disconnect
check "3 list empty before wpa_supplicant" wait_for 10 no_v6
check "3 wpa_supplicant started" wpa_supplicant -B -i wlan0 -c /tmp/wpa_supplicant.conf -P /run/wpa_supplicant.pid -f /tmp/wpa_supplicant.log
check "3 associated by wpa_supplicant" wait_for 15 associated
check "3 servers learnt after wpa_supplicant's association" wait_for 20 has_servers
check "3 wpa_supplicant ended" kill "$(cat /run/wpa_supplicant.pid)"
check "3 station lost the association when wpa_supplicant ended" wait_for 10 not_associated
check "3 list empty after wpa_supplicant ended" wait_for 10 no_v6
check "3 associated by iw again" connect
check "3 servers learnt after iw's association" wait_for 20 has_servers
check "3 daemon stopped" stop_daemon

# --- 4: policy file: SSID with burst -1, then BSSID with burst 0 ----------------------------------
printf '%s + -1\n+ + 1\n' "$SSID" >/tmp/policy.conf
: >/tmp/hook.log
in_before=$(rtr_rs_in)
check "4 daemon started while associated with a -1 policy" start_daemon s4 -c /tmp/policy.conf
sleep 5
silent_while_associated() { associated && [ "$(rtr_rs_in)" = "$in_before" ]; }
check "4 burst -1: associated, no solicitation at start-up" silent_while_associated
check "4 disassociated" disconnect
check "4 associated again" connect
sleep 4
check "4 burst -1: no solicitation after a new association" silent_while_associated

# Bursts and single solicitations differ most while nobody answers: a burst goes on until an
# advertisement is seen, a single solicitation is one per cycle (every three seconds).
check "4 router stopped" stop_radvd
# rs_after_association LABEL: associates again and counts what reaches the access point in 7 s.
rs_after_association() {
    disconnect && wait_for 10 no_v6 || return 1
    before=$(rtr_rs_in)
    connect || return 1
    sleep 7
    rs_count=$(($(rtr_rs_in) - before))
    echo "VM INFO $1: $rs_count solicitation(s) in 7 s after association, nobody answering"
}
printf '+ + 1\n' >/tmp/policy.conf
check "4 policy reloaded (tamrod -u): bursts everywhere" tamrod -u
check "4 burst 1: counted" rs_after_association "burst 1"
check "4 burst 1: a burst of solicitations" [ "$rs_count" -gt 3 ]

printf '%s + -1\n+ %s 0\n+ + 1\n' "Other$SSID" "$bssid" >/tmp/policy.conf
check "4 policy reloaded (tamrod -u): burst 0 for the lab's BSSID" tamrod -u
check "4 burst 0: counted" rs_after_association "burst 0"
single() { [ "$rs_count" -ge 1 ] && [ "$rs_count" -le 3 ]; }
check "4 burst 0: single solicitations" single
start_radvd
check "4 burst 0: servers learnt once the router is back" wait_for 20 has_servers
check "4 daemon stopped" stop_daemon

finish
