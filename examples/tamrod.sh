#!/bin/sh
# tamrod hook: hands the current name servers and search domains to the system resolver.
#
# tamrod runs this script with TAMROD_V6 (IPv6 servers learnt on the WLAN), TAMROD_V4 (the WLAN's IPv4
# servers), TAMROD_R6 and TAMROD_R4 (the radio link's servers), each a space-separated list that may be
# empty, TAMROD_SEARCH (search domains learnt on the WLAN), and, from the version that learns them,
# TAMROD_PREF64 (NAT64 prefixes, 64:ff9b::/96) and TAMROD_PORTAL (captive-portal URI). Servers go to
# the resolver in that order: WLAN before radio, IPv6 before IPv4 on each link.
#
# With resolvconf installed the servers and domains become its record "IF.tamrod" (IF: TAMROD_INTERFACE,
# default wlan0): Debian's resolvconf takes any record name and orders it with the interface's own
# records, and systemd-resolved's resolvconf shim drops the ".tamrod" suffix as a protocol name and
# needs IF to be an existing interface. Otherwise they are kept as a marked block at the top of
# resolv.conf (the resolver uses only the first few servers), the rest of the file is left as it was,
# and the file is read once and replaced atomically (written beside it, then renamed). When all five
# lists are empty the record or block is removed. Anything unusual (a marker without its partner, two
# blocks, a file that cannot be written) is said on standard error; lines that are not the hook's own
# always stay.
#
# Every run holds an exclusive lock on RUNDIR/lock (RUNDIR: TAMROD_RUNDIR, default /run/tamrod), so
# two runs, and the DHCP glue, never read and rename the file at once. The block last written is kept
# in RUNDIR/resolv.block; "tamrod.sh reapply" (run by the dhclient glue after dhclient-script rewrote
# resolv.conf) puts it back without asking the daemon. The NAT64 prefixes and the portal go to
# RUNDIR/IF.env as PREF64='...' and PORTAL='...' lines, for other components to read.
#
# TAMROD_RESOLV_CONF overrides the file (default /etc/resolv.conf); TAMROD_RESOLVCONF overrides the
# resolvconf program ("none" forces the plain-file way).
set -u
LC_ALL=C
export LC_ALL

say() { echo "tamrod.sh: $*" >&2; }

conf=${TAMROD_RESOLV_CONF:-/etc/resolv.conf}
iface=${TAMROD_INTERFACE:-wlan0}
rundir=${TAMROD_RUNDIR:-/run/tamrod}
saved=$rundir/resolv.block
record=$iface.tamrod
resolvconf=${TAMROD_RESOLVCONF:-$(command -v resolvconf 2>/dev/null || true)}
[ "$resolvconf" = none ] && resolvconf=

# Temporary files go on every way out: dash runs the EXIT trap on exit, not when a signal kills it.
tmp=
stmp=
trap 'rm -f -- ${tmp:+"$tmp"} ${stmp:+"$stmp"}' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

mkdir -p -- "$rundir" || exit 1
exec 9>>"$rundir/lock" || exit 1
flock 9 || { say "cannot lock $rundir/lock"; exit 1; }

# Replaces $2 with the content of standard input, unless it is the same already. Called with a here
# document, never at the end of a pipeline: there it would run in a subshell, out of the traps' reach.
replace() {
    stmp=$(mktemp "$1/.tamrod.XXXXXX") || return 1
    cat >"$stmp" && chmod 644 -- "$stmp" || return 1
    if cmp -s -- "$stmp" "$2"; then rm -f -- "$stmp"; else mv -f -- "$stmp" "$2" || return 1; fi
    stmp=
}

# NAT64 prefixes and the portal, single-quoted so that a shell may source the file.
write_state() {
    pref64=${TAMROD_PREF64:-}
    portal=${TAMROD_PORTAL:-}
    case $pref64 in *[!0-9a-fA-F:./\ ]*) say "NAT64 prefixes '$pref64' skipped"; pref64= ;; esac
    case $portal in *[!!-~]* | *"'"*) say "portal URI skipped: not printable or quoted"; portal= ;; esac
    replace "$rundir" "$rundir/$iface.env" <<EOF || say "cannot write $rundir/$iface.env"
PREF64='$pref64'
PORTAL='$portal'
EOF
}

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
        -* | *[!A-Za-z0-9._-]*) say "search domain '$d' skipped: not a host name" ;;
        *) search="${search:+$search }$d" ;;
    esac
done

begin='# BEGIN tamrod'
end='# END tamrod'
if [ "${1:-}" = reapply ]; then
    # Line 1: the file the block belongs in; the rest: the block.
    [ -s "$saved" ] || exit 0
    target=$(head -n 1 -- "$saved")
    block=$(tail -n +2 -- "$saved")
else
    write_state
    if [ -n "$resolvconf" ]; then
        rm -f -- "$saved"
        if [ -z "$servers$search" ]; then
            exec "$resolvconf" -d "$record" -f
        fi
        # Debian's resolvconf takes no "--", and refuses a record name that starts with "-" itself.
        {
            for a in $servers; do echo "nameserver $a"; done
            if [ -n "$search" ]; then echo "search $search"; fi
        } | "$resolvconf" -a "$record"
        exit $?
    fi
    # A resolv.conf that is a link (to a resolver's own file) stays a link: write where it points.
    target=$(readlink -m -- "$conf")
    block=
    if [ -n "$servers$search" ]; then
        block=$({
            echo "$begin"
            for a in $servers; do echo "nameserver $a"; done
            if [ -n "$search" ]; then echo "search $search"; fi
            echo "$end"
        })
    fi
    replace "$rundir" "$saved" <<EOF || say "cannot write $saved"
$target
$block
EOF
fi

dir=$(dirname -- "$target")
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

# Everything but the hook's own earlier entries, from one read of the file. Only lines between a
# BEGIN and the next END are its own; a marker without its partner is dropped alone, so a damaged file
# never loses a foreign line.
keep_foreign() {
    awk -v b="$begin" -v e="$end" -v f="$target" '
        function tell(m) { print "tamrod.sh: " f ": " m | "cat 1>&2" }
        {
            line[NR] = $0
            if ($0 == b) { if (open) stray[open] = 1; open = NR }
            else if ($0 == e) {
                if (open) { for (i = open; i <= NR; i++) mine[i] = 1; blocks++; open = 0 }
                else stray[NR] = 1
            }
        }
        END {
            if (open) stray[open] = 1
            if (blocks > 1) tell("removed " blocks " blocks of its own")
            for (i = 1; i <= NR; i++) {
                if (i in stray) tell("removed the unpaired line " i " \"" line[i] "\", kept the lines around it")
                else if (!(i in mine)) print line[i]
            }
        }
    ' "$target"
}

{
    if [ -n "$block" ]; then printf '%s\n' "$block"; fi
    if [ -f "$target" ]; then keep_foreign; fi
} >"$tmp" || exit 1

chmod 644 -- "$tmp"
if [ -f "$target" ] && cmp -s -- "$tmp" "$target"; then exit 0; fi
mv -f -- "$tmp" "$target" || { say "cannot replace $target; left as it was"; exit 1; }
tmp=
