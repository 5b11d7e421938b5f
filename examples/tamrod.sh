#!/bin/sh
# tamrod hook: hands the current name servers to the system resolver.
#
# tamrod runs this script with TAMROD_V6 (IPv6 servers learnt on the WLAN), TAMROD_V4 (the WLAN's IPv4
# servers), TAMROD_R6 and TAMROD_R4 (the radio link's servers) set, each a space-separated list that may
# be empty. Servers go to the resolver in that order: WLAN before radio, IPv6 before IPv4 on each link.
#
# With resolvconf installed the servers become its "tamrod" record. Otherwise they are kept as a marked
# block at the top of resolv.conf (the resolver uses only the first few servers), the rest of the file
# is left as it was, and the file is replaced atomically (written beside it, then renamed). When all
# four lists are empty the record or block is removed.
#
# TAMROD_RESOLV_CONF overrides the file (default /etc/resolv.conf); TAMROD_RESOLVCONF overrides the
# resolvconf program ("none" forces the plain-file way).
set -u

conf=${TAMROD_RESOLV_CONF:-/etc/resolv.conf}
# A resolv.conf that is a link (to a resolver's own file) stays a link: write where it points.
conf=$(readlink -f "$conf")
resolvconf=${TAMROD_RESOLVCONF:-$(command -v resolvconf 2>/dev/null || true)}
[ "$resolvconf" = none ] && resolvconf=

servers=
for a in ${TAMROD_V6:-} ${TAMROD_V4:-} ${TAMROD_R6:-} ${TAMROD_R4:-}; do
    case " $servers " in
        *" $a "*) ;;                      # the same server from two lists counts once
        *) servers="${servers:+$servers }$a" ;;
    esac
done

if [ -n "$resolvconf" ]; then
    if [ -z "$servers" ]; then
        exec "$resolvconf" -d tamrod -f
    fi
    # The last command of a pipeline runs in a subshell: exit with its status explicitly.
    for a in $servers; do printf 'nameserver %s\n' "$a"; done | "$resolvconf" -a tamrod
    exit $?
fi

begin='# BEGIN tamrod'
end='# END tamrod'
dir=$(dirname "$conf")
tmp=$(mktemp "$dir/.resolv.conf.tamrod.XXXXXX") || exit 1
trap 'rm -f "$tmp"' EXIT

{
    if [ -n "$servers" ]; then
        echo "$begin"
        for a in $servers; do echo "nameserver $a"; done
        echo "$end"
    fi
    if [ -f "$conf" ]; then
        # Everything but our own earlier block.
        awk -v b="$begin" -v e="$end" '$0 == b { skip = 1; next } $0 == e { skip = 0; next } !skip' "$conf"
    fi
} > "$tmp" || exit 1

chmod 644 "$tmp"
mv -f "$tmp" "$conf" || exit 1
trap - EXIT
