#!/bin/sh
# tamrod hook for systemd-resolved: sets the servers and search domains as the watched interface's
# own link settings, through resolvectl.
#
# tamrod runs this script with TAMROD_V6, TAMROD_V4, TAMROD_R6, TAMROD_R4 (servers, space-separated,
# each possibly empty) and TAMROD_SEARCH (search domains). The interface is TAMROD_INTERFACE (the unit
# sets it to its instance name; default wlan0). All servers go to that one link, in the order WLAN
# before radio, IPv6 before IPv4; a link-local server keeps its zone (fe80::53%wlan0), which resolvectl
# understands. When all five lists are empty the link's settings are reverted, so resolved keeps
# nothing this hook gave it. TAMROD_RESOLVECTL overrides the resolvectl program.
set -u

iface=${TAMROD_INTERFACE:-wlan0}
resolvectl=${TAMROD_RESOLVECTL:-resolvectl}

servers=
for a in ${TAMROD_V6:-} ${TAMROD_V4:-} ${TAMROD_R6:-} ${TAMROD_R4:-}; do
    case " $servers " in
        *" $a "*) ;;
        *) servers="${servers:+$servers }$a" ;;
    esac
done
search=
for d in ${TAMROD_SEARCH:-}; do
    case $d in
        *[!A-Za-z0-9._-]*) echo "tamrod-resolved.sh: search domain '$d' skipped: not a host name" >&2 ;;
        *) search="${search:+$search }$d" ;;
    esac
done

if [ -z "$servers$search" ]; then
    exec "$resolvectl" revert "$iface"
fi
# An empty argument clears that setting: servers without domains (or the reverse) leave none behind.
# shellcheck disable=SC2086 # one address or domain a word
"$resolvectl" dns "$iface" ${servers:-""} || exit 1
# shellcheck disable=SC2086
exec "$resolvectl" domain "$iface" ${search:-""}
