#!/bin/busybox sh
# shellcheck shell=dash
# The virtual machine's init: builds the Wi-Fi lab out of mac80211_hwsim's three radios and runs the
# scenarios against the real tamrod. Every check prints one "VM PASS name" or "VM FAIL name" line on the
# console; "VM END" closes the run, after the lab's logs when anything failed. Then the machine stops.
# /etc/lab.conf (written by run.sh for each kernel) names the kernel, the modules to load before
# mac80211_hwsim, its options, whether the kernel should answer Wireless Extensions on the radios, and
# which scenarios to run. The scenarios live in core.sh (1-8) and more.sh (9-12), sourced from here.
/bin/busybox --install -s /bin
umask 022
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
echo "VM INFO booted after $(cut -d' ' -f1 /proc/uptime)s of guest time"

# shellcheck source=/dev/null
. /etc/lab.conf
SSID=TamLab
FREQ=2412
NS1=2001:db8:1::53
NS2=2001:db8:1::54
NS3=2001:db8:2::53
NS4=2001:db8:2::54
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
        return 1
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
    latency
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
A2() { ip netns exec ap2 "$@"; }
snmp6() { awk -v k="$1" '$1 == k { print $2 }' /proc/net/snmp6; }
sta_rs_out() { snmp6 Icmp6OutRouterSolicits; }
# rs_in NETNS: Router Solicitations received in an access point's namespace.
# shellcheck disable=SC2016  # awk's own fields
rs_in() { ip netns exec "$1" awk '$1 == "Icmp6InRouterSolicits" { print $2 }' /proc/net/snmp6; }
rtr_rs_in() { rs_in ap; }
rtr2_rs_in() { rs_in ap2; }
rtr2_rs_above() { [ "$(rtr2_rs_in)" -gt "$1" ]; }

# latency: time from each connect event (iw event -t, gettimeofday) to the daemon's association report
# for the same BSSID (the preloaded probe, CLOCK_REALTIME: the same clock), the nearest report within
# two seconds either way. Printed, never checked: emulation makes every figure slow.
latency() {
    [ -f /tmp/iw-events.log ] && [ -f /tmp/assoc.log ] || return 0
    awk '
        FNR == NR {
            if ($0 ~ /: connected to /) { t = $1; sub(/:$/, "", t); n++; ct[n] = t; cb[n] = tolower($NF) }
            next
        }
        $2 == "assoc=1" { m++; rt[m] = $1; rb[m] = substr($3, 7) }
        END {
            k = 0
            for (i = 1; i <= n; i++) {
                found = 0
                for (j = 1; j <= m; j++) {
                    if (rb[j] != cb[i]) continue
                    d = (rt[j] - ct[i]) * 1000
                    if (d > 2000 || d < -2000) continue
                    if (!found || (d < 0 ? -d : d) < (best < 0 ? -best : best)) best = d
                    found = 1
                }
                if (found) v[++k] = best
            }
            if (k == 0) { print "VM INFO latency: no connect event matched an association report"; exit }
            for (i = 2; i <= k; i++)
                for (j = i; j > 1 && v[j - 1] > v[j]; j--) { x = v[j]; v[j] = v[j - 1]; v[j - 1] = x }
            med = (k % 2) ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2
            list = ""
            for (i = 1; i <= k; i++) list = list sprintf(" %.1f", v[i])
            printf "VM INFO latency: connect event to MGR_ASSOC, %d association(s): median %.1f ms, min %.1f, max %.1f (all:%s)\n", k, med, v[1], v[k], list
        }' /tmp/iw-events.log /tmp/assoc.log
}

# --- The lab ------------------------------------------------------------------------------------
for m in $MODULES; do
    insmod "/lib/modules/$m.ko" || fatal "lab: insmod $m"
done
# shellcheck disable=SC2086  # the options are separate words
insmod /lib/modules/mac80211_hwsim.ko $HWSIM || fatal "lab: insmod mac80211_hwsim $HWSIM"
radios() { [ -e /sys/class/net/wlan0 ] && [ -e /sys/class/net/wlan1 ] && [ -e /sys/class/net/wlan2 ]; }
wait_for 10 radios || fatal "lab: three radios (wlan0, wlan1, wlan2)"
echo "VM INFO kernel $KERNEL, mac80211_hwsim $HWSIM"

# Which way the daemon can follow the station: the kernel answers Wireless Extensions on every radio,
# or refuses them on every radio (multi-link radios), which leaves nl80211.
wext_all() {
    for i in wlan0 wlan1 wlan2; do
        r=$(wext_probe $i)
        st=$?
        echo "VM INFO $r"
        case $WEXT in
            answered) [ "$st" -eq 0 ] || return 1 ;;
            refused) [ "$st" -eq 1 ] || return 1 ;;
        esac
    done
}
if [ "$WEXT" = answered ]; then
    check "0 the kernel answers Wireless Extensions on every radio" wext_all
    echo "VM INFO wireless path: Wireless Extensions (the kernel answers them on the station's radio)"
else
    check "0 the kernel refuses Wireless Extensions on every radio" wext_all
    echo "VM INFO wireless path: nl80211 (the kernel refuses Wireless Extensions on the station's radio)"
fi

ap_phy=$(cat /sys/class/net/wlan1/phy80211/name)
ap2_phy=$(cat /sys/class/net/wlan2/phy80211/name)
ip netns add ap || fatal "lab: ip netns add ap"
ip netns add ap2 || fatal "lab: ip netns add ap2"
iw phy "$ap_phy" set netns name ap || fatal "lab: moving $ap_phy into the first access point's namespace"
iw phy "$ap2_phy" set netns name ap2 || fatal "lab: moving $ap2_phy into the second access point's namespace"
for ns in ap ap2; do
    ip netns exec $ns ip link set lo up
    ip netns exec $ns sysctl -qw net.ipv6.conf.all.forwarding=1
done
bssid=$(A cat /sys/class/net/wlan1/address)
bssid2=$(A2 cat /sys/class/net/wlan2/address)
sta_mac=$(cat /sys/class/net/wlan0/address)

# ap_conf IFACE CONTROL-DIR: hostapd's configuration for one access point of the lab's network.
ap_conf() {
    printf 'interface=%s\ndriver=nl80211\nssid=%s\nhw_mode=g\nchannel=1\nctrl_interface=%s\n' "$1" "$SSID" "$2"
}
# ll_ready NETNS IFACE: the interface's link-local address has passed duplicate address detection.
ll_ready() {
    ip netns exec "$1" ip -6 addr show dev "$2" scope link | grep -q inet6 &&
        ! ip netns exec "$1" ip -6 addr show dev "$2" tentative | grep -q inet6
}
mkdir -p /run/hostapd /run/hostapd2
ap_conf wlan1 /run/hostapd >/tmp/hostapd.conf
A hostapd -B -P /run/hostapd.pid -f /tmp/hostapd.log /tmp/hostapd.conf || fatal "lab: hostapd"
wait_for 15 ll_ready ap wlan1 || fatal "lab: the access point's link-local address"

# radvd_conf IFACE PREFIX SERVER SERVER [DOMAIN...]: each router announces its own prefix and servers
# (and the first its search domains), only when solicited (UnicastOnly): an unsolicited advertisement
# arriving at a random moment would teach the servers without a solicitation and blur what the checks
# count.
radvd_conf() {
    printf 'interface %s {\n    AdvSendAdvert on;\n    UnicastOnly on;\n' "$1"
    printf '    prefix %s { };\n    RDNSS %s %s { AdvRDNSSLifetime 900; };\n' "$2" "$3" "$4"
    shift 4
    [ $# -eq 0 ] || printf '    DNSSL %s { AdvDNSSLLifetime 600; };\n' "$*"
    printf '};\n'
}
# radvd writes the names as given; the daemon hands them on in lower case.
DOMAINS="lab.example corp.example"
radvd_conf wlan1 2001:db8:1::/64 "$NS1" "$NS2" Lab.Example corp.example >/tmp/radvd.conf
radvd_conf wlan2 2001:db8:2::/64 "$NS3" "$NS4" >/tmp/radvd2.conf
radvd_pid=
start_radvd() {
    # Not through A: $! must be radvd itself (ip netns exec execs it), not a subshell.
    ip netns exec ap radvd -n -C /tmp/radvd.conf -p /run/radvd.pid -m logfile -l /tmp/radvd.log </dev/null >>/tmp/radvd-out.log 2>&1 &
    radvd_pid=$!
}
radvd_gone() { [ ! -e "/proc/$radvd_pid" ] || grep -q '^[0-9]* ([^)]*) Z' "/proc/$radvd_pid/stat" 2>/dev/null; }
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
# The kernel's connect events with the time they arrived, for the latency figure.
iw event -t >/tmp/iw-events.log 2>&1 &
echo "VM INFO lab ready after $(cut -d' ' -f1 /proc/uptime)s: access points $bssid and $bssid2, station $sta_mac"

# --- Helpers for the scenarios --------------------------------------------------------------------
# One line per run: the five lists, the NAT64 prefixes and the portal ("<unset>" when the daemon did
# not set the variable), then the guest's clock when the hook ran (for the figures).
cat >/tmp/hook.sh <<'EOF'
#!/bin/sh
read -r up _ </proc/uptime
p64=${TAMROD_PREF64-<unset>} cp=${TAMROD_PORTAL-<unset>}
echo "V6=[$TAMROD_V6] V4=[$TAMROD_V4] R6=[$TAMROD_R6] R4=[$TAMROD_R4] S=[$TAMROD_SEARCH] P64=[$p64] CP=[$cp] at=$up" >>/tmp/hook.log
EOF
chmod 755 /tmp/hook.sh

hook_runs() { if [ -f /tmp/hook.log ]; then wc -l </tmp/hook.log; else echo 0; fi; }
runs_above() { [ "$(hook_runs)" -gt "$1" ]; }
last_hook() { tail -n 1 /tmp/hook.log; }
last_v6() { last_hook | sed -n 's/^V6=\[\([^]]*\)\].*/\1/p'; }
# v6_has A B: the last hook run's TAMROD_V6 holds both addresses.
v6_has() {
    v6=" $(last_v6) "
    case $v6 in *" $1 "*) ;; *) return 1 ;; esac
    case $v6 in *" $2 "*) ;; *) return 1 ;; esac
}
v6_has_servers() { v6_has "$NS1" "$NS2"; }
v6_empty() { [ -z "$(last_v6)" ] && last_hook | grep -q '^V6=\[\]'; }
# search_is DOMAINS: the last hook run's TAMROD_SEARCH is exactly DOMAINS.
search_is() { case $(last_hook) in *" S=[$1] P64="*) ;; *) return 1 ;; esac; }
listed() { tamrod -l 2>/dev/null; }
# lists A B: tamrod -l lists both addresses.
lists() { l=$(listed) && echo "$l" | grep -qx "$1" && echo "$l" | grep -qx "$2"; }
has_servers() { lists "$NS1" "$NS2"; }
lists_neither() { l=$(listed) && ! echo "$l" | grep -qx -e "$1" -e "$2"; }
no_v6() { l=$(listed) && ! echo "$l" | grep -q ':'; }
# reported BSSID: the daemon's last association report says associated with that access point;
# reported_essid: and names the lab's network.
reported() { [ -f /tmp/assoc.log ] && tail -n 1 /tmp/assoc.log | grep -q " assoc=1 bssid=$1 "; }
reported_essid() { tail -n 1 /tmp/assoc.log | grep -q " essid=$SSID\$"; }

associated_with() { iw dev wlan0 link | grep -q "^Connected to $1"; }
associated() { associated_with "$bssid"; }
not_associated() { ! iw dev wlan0 link | grep -q '^Connected'; }
# connect: iw connect to the first access point. Under emulation on a busy host an authentication or
# association attempt now and then times out, and the kernel gives up: up to three attempts.
connect() {
    for attempt in 1 2 3; do
        iw dev wlan0 connect "$SSID" "$FREQ" "$bssid" && wait_for 8 associated && return 0
        iw dev wlan0 disconnect 2>/dev/null
        echo "VM INFO association attempt $attempt did not complete"
    done
    return 1
}
disconnect() { iw dev wlan0 disconnect && wait_for 5 not_associated; }

daemon=
log=
runs=0
gone() { [ ! -e "/proc/$daemon" ] || grep -q '^[0-9]* ([^)]*) Z' "/proc/$daemon/stat" 2>/dev/null; }
started() { runs_above "$runs" || gone; }
# start_daemon LOGNAME [OPTIONS...]: the daemon in the foreground of a background job, with the
# association probe preloaded; done once it has run the hook and still runs.
start_daemon() {
    log=/tmp/tamrod-$1.log
    shift
    runs=$(hook_runs)
    LD_PRELOAD=/usr/lib/tamrod-vm/assoc_probe.so TAMROD_ASSOC_LOG=/tmp/assoc.log \
        tamrod -f -i wlan0 "$@" -x /tmp/hook.sh 2>>"$log" &
    daemon=$!
    wait_for 10 started && ! gone
}
# started_or_end SCENARIO: a daemon that ended at start leaves nothing to check; its messages end the run.
started_or_end() {
    [ -n "$daemon" ] && ! gone && return 0
    while read -r line; do echo "VM INFO tamrod: $line"; done <"$log"
    fatal "$1 the daemon ended at start"
}
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

# --- The scenarios ---------------------------------------------------------------------------------
# $SCENARIOS (lab.conf) names the groups to run, in this order: "core" (1-8, core.sh), then those of
# more.sh: "torn" (9), "rename" (10), "portal" (11), "sleep" (12).
want() { case " $SCENARIOS " in *" $1 "*) ;; *) return 1 ;; esac; }
if want core; then
    # shellcheck source=SCRIPTDIR/core.sh
    . /usr/share/tamrod-vm/core.sh
fi
# shellcheck source=SCRIPTDIR/more.sh
. /usr/share/tamrod-vm/more.sh
want torn && scenario_torn
want rename && scenario_rename
want portal && scenario_portal
want sleep && scenario_sleep

latency
finish
