#!/bin/sh
# tamrod hook: hands the current name servers and search domains to the system resolver.
#
# tamrod runs this script with TAMROD_V6 (IPv6 servers learnt on the WLAN), TAMROD_V4 (the WLAN's IPv4
# servers), TAMROD_R6 and TAMROD_R4 (the radio link's servers), each a space-separated list that may be
# empty, and TAMROD_SEARCH (search domains learnt on the WLAN, space-separated, may be empty). Servers
# go to the resolver in that order: WLAN before radio, IPv6 before IPv4 on each link.
#
# With resolvconf installed the servers and domains become its record "IF.tamrod" (IF: TAMROD_INTERFACE,
# default wlan0): Debian's resolvconf takes any record name and orders it with the interface's own
# records, and systemd-resolved's resolvconf shim drops the ".tamrod" suffix as a protocol name and
# needs IF to be an existing interface. Otherwise they are kept as a marked block at the top of
# resolv.conf (the resolver uses only the first few servers), the rest of the file is left as it was,
# and the file is replaced atomically (written beside it, then renamed). When all five lists are empty
# the record or block is removed. Anything unusual (a marker without its partner, two blocks, a file
# that cannot be written) is said on standard error; lines that are not the hook's own always stay.
#
# TAMROD_RESOLV_CONF overrides the file (default /etc/resolv.conf); TAMROD_RESOLVCONF overrides the
# resolvconf program ("none" forces the plain-file way).
set -u

say() { echo "tamrod.sh: $*" >&2; }

conf=${TAMROD_RESOLV_CONF:-/etc/resolv.conf}
record=${TAMROD_INTERFACE:-wlan0}.tamrod
resolvconf=${TAMROD_RESOLVCONF:-$(command -v resolvconf 2>/dev/null || true)}
[ "$resolvconf" = none ] && resolvconf=

servers=
for a in ${TAMROD_V6:-} ${TAMROD_V4:-} ${TAMROD_R6:-} ${TAMROD_R4:-}; do
    case " $servers " in
        *" $a "*) ;;                      # the same server from two lists counts once
        *) servers="${servers:+$servers }$a" ;;
    esac
done
search=
for d in ${TAMROD_SEARCH:-}; do
    case $d in
        *[!A-Za-z0-9._-]*) say "search domain '$d' skipped: not a host name" ;;
        *) search="${search:+$search }$d" ;;
    esac
done

# The lines that make up the hook's own entries, in resolv.conf syntax.
entries() {
    for a in $servers; do echo "nameserver $a"; done
    if [ -n "$search" ]; then echo "search $search"; fi
}

if [ -n "$resolvconf" ]; then
    if [ -z "$servers$search" ]; then
        exec "$resolvconf" -d "$record" -f
    fi
    # The last command of a pipeline runs in a subshell: exit with its status explicitly.
    entries | "$resolvconf" -a "$record"
    exit $?
fi

begin='# BEGIN tamrod'
end='# END tamrod'
# A resolv.conf that is a link (to a resolver's own file) stays a link: write where it points.
target=$(readlink -m "$conf")
dir=$(dirname "$target")
if [ ! -d "$dir" ]; then
    say "$conf leads to $target, whose directory does not exist; nothing written"
    exit 1
fi
if [ -e "$target" ] && [ ! -w "$target" ]; then
    say "$target is read-only; left as it was"
    exit 1
fi
tmp=$(mktemp "$dir/.resolv.conf.tamrod.XXXXXX" 2>/dev/null) || {
    say "cannot write in $dir; $target left as it was"
    exit 1
}
trap 'rm -f "$tmp"' EXIT

# Everything but the hook's own earlier entries. Only lines between a BEGIN and the next END are its
# own; a marker without its partner is dropped alone, so a damaged file never loses a foreign line.
keep_foreign() {
    awk -v b="$begin" -v e="$end" -v f="$target" '
        function tell(m) { print "tamrod.sh: " f ": " m | "cat 1>&2" }
        NR == FNR {
            if ($0 == b) { if (open) stray[open] = 1; open = FNR }
            else if ($0 == e) {
                if (open) { for (i = open; i <= FNR; i++) mine[i] = 1; blocks++; open = 0 }
                else stray[FNR] = 1
            }
            next
        }
        FNR == 1 {
            if (open) stray[open] = 1
            if (blocks > 1) tell("removed " blocks " blocks of its own")
        }
        FNR in stray { tell("removed the unpaired line " FNR " \"" $0 "\", kept the lines around it"); next }
        !(FNR in mine)
    ' "$target" "$target"
}

{
    if [ -n "$servers$search" ]; then
        echo "$begin"
        entries
        echo "$end"
    fi
    if [ -f "$target" ]; then keep_foreign; fi
} > "$tmp" || exit 1

chmod 644 "$tmp"
mv -f "$tmp" "$target" || { say "cannot replace $target; left as it was"; exit 1; }
trap - EXIT
