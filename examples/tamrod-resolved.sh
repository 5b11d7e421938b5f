#!/bin/sh
# tamrod hook for systemd-resolved: sets the servers and search domains as link settings, through
# resolvectl.
#
# tamrod runs this script with TAMROD_V6, TAMROD_V4, TAMROD_R6, TAMROD_R4 (servers, space-separated,
# each possibly empty), TAMROD_SEARCH (search domains) and, from the version that learns them,
# TAMROD_PREF64 and TAMROD_PORTAL. The WLAN interface is TAMROD_INTERFACE (the unit sets it to its
# instance name; default wlan0). The radio servers go to TAMROD_RADIO_INTERFACE's link when that is set
# (so they stay with resolved while Wi-Fi is off), else to the WLAN's with the rest, in the order WLAN
# before radio, IPv6 before IPv4; a link-local server keeps its zone (fe80::53%wlan0), which resolvectl
# understands. A link whose lists are all empty is reverted, so resolved keeps nothing this hook gave it.
#
# An interface that does not exist cannot take link settings. The hook then hands over what the links
# that do exist can take, keeps the lists in RUNDIR (TAMROD_RUNDIR, default /run/tamrod) and leaves a
# watcher behind ("ip monitor link", no polling) that runs "tamrod-resolved.sh reapply" once the
# interface is back, also when it comes back with a new index and the lists have not changed. Every run
# holds the lock RUNDIR/lock. The NAT64 prefixes and the portal go to RUNDIR/IF.env as PREF64='...'
# and PORTAL='...' lines, as tamrod.sh writes them. TAMROD_RESOLVECTL overrides the resolvectl program.
set -u
LC_ALL=C
export LC_ALL

say() { echo "tamrod-resolved.sh: $*" >&2; }

iface=${TAMROD_INTERFACE:-wlan0}
radio=${TAMROD_RADIO_INTERFACE:-}
rundir=${TAMROD_RUNDIR:-/run/tamrod}
resolvectl=${TAMROD_RESOLVECTL:-resolvectl}
saved=$rundir/$iface.resolved

stmp=
trap 'rm -f -- ${stmp:+"$stmp"}' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

mkdir -p -- "$rundir" || exit 1
exec 9>>"$rundir/lock" || exit 1
flock 9 || { say "cannot lock $rundir/lock"; exit 1; }

# Replaces $2 with standard input (a here document: a pipeline's end would be out of the traps' reach).
replace() {
    stmp=$(mktemp "$1/.tamrod.XXXXXX") || return 1
    cat >"$stmp" && chmod 644 -- "$stmp" && mv -f -- "$stmp" "$2" || return 1
    stmp=
}

if [ "${1:-}" = reapply ]; then
    [ -s "$saved" ] || exit 0
    { read -r TAMROD_V6; read -r TAMROD_V4; read -r TAMROD_R6; read -r TAMROD_R4; read -r TAMROD_SEARCH; } <"$saved"
else
    pref64=${TAMROD_PREF64:-}
    portal=${TAMROD_PORTAL:-}
    case $pref64 in *[!0-9a-fA-F:./\ ]*) say "NAT64 prefixes '$pref64' skipped"; pref64= ;; esac
    case $portal in *[!!-~]* | *"'"*) say "portal URI skipped: not printable or quoted"; portal= ;; esac
    replace "$rundir" "$rundir/$iface.env" <<EOF || say "cannot write $rundir/$iface.env"
PREF64='$pref64'
PORTAL='$portal'
EOF
    replace "$rundir" "$saved" <<EOF || say "cannot write $saved"
${TAMROD_V6:-}
${TAMROD_V4:-}
${TAMROD_R6:-}
${TAMROD_R4:-}
${TAMROD_SEARCH:-}
EOF
fi

# Space-separated words of the lists given, each once, in order.
uniq_words() {
    out=
    for w in "$@"; do
        case " $out " in *" $w "*) ;; *) out="${out:+$out }$w" ;; esac
    done
    echo "$out"
}

# shellcheck disable=SC2086 # one address or domain a word
{
    if [ -n "$radio" ]; then
        wlan=$(uniq_words ${TAMROD_V6:-} ${TAMROD_V4:-})
        radio_servers=$(uniq_words ${TAMROD_R6:-} ${TAMROD_R4:-})
    else
        wlan=$(uniq_words ${TAMROD_V6:-} ${TAMROD_V4:-} ${TAMROD_R6:-} ${TAMROD_R4:-})
    fi
}
search=
for d in ${TAMROD_SEARCH:-}; do
    case $d in
        -* | *[!A-Za-z0-9._-]*) say "search domain '$d' skipped: not a host name" ;;
        *) search="${search:+$search }$d" ;;
    esac
done

present() { ip link show dev "$1" >/dev/null 2>&1; }

# Waits in the background, without the lock, for the interface to come back, then re-applies the
# lists kept. One watcher per interface; resolved may learn of the link a moment after the kernel.
watch_for() {
    (
        exec 9>&- 8>>"$rundir/$1.watch" </dev/null >/dev/null
        flock -n 8 || exit 0
        fifo=$rundir/.$1.monitor
        rm -f -- "$fifo" && mkfifo -- "$fifo" || exit 1
        ip -o monitor link >"$fifo" 2>/dev/null &
        mon=$!
        exec 7<"$fifo"
        rm -f -- "$fifo"
        until present "$1"; do read -r _ <&7 || break; done
        kill "$mon" 2>/dev/null
        exec 7<&- 8>&-
        for _ in 1 2 3 4 5; do "$0" reapply && exit 0; sleep 1; done
        say "$1 is back, but resolved did not take its lists"
    ) &
}

# Sets one link's servers and domains (an empty argument clears that setting), or reverts the link
# when both are empty. "--" ends the options before names and addresses from the network.
apply() {
    link=$1 servers=$2 domains=$3
    if ! present "$link"; then
        [ -z "$servers$domains" ] && return 0
        say "$link is absent; its lists are handed over when it returns"
        watch_for "$link"
        return 0
    fi
    if [ -z "$servers$domains" ]; then
        "$resolvectl" revert -- "$link"
        return
    fi
    # shellcheck disable=SC2086 # one address or domain a word
    "$resolvectl" dns -- "$link" ${servers:-""} && "$resolvectl" domain -- "$link" ${domains:-""}
}

status=0
apply "$iface" "$wlan" "$search" || status=1
if [ -n "$radio" ]; then apply "$radio" "$radio_servers" "" || status=1; fi
exit "$status"
