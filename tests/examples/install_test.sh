#!/usr/bin/env bash
# The installed tree agrees with itself: installed with --prefix given at install time, every path
# the unit runs is a file the install put there, and a /usr install puts the hook where the daemon
# looks by default.
set -euo pipefail
build=${1:?usage: install_test.sh BUILD_DIR}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The daemon's default hook, as its usage text states it.
default_hook=$({ "$build/tamrod" -l -l 2>&1 || true; } | sed -n 's/.*(default: \(\/[^)]*\)).*/\1/p')
[[ -n $default_hook ]] || fail "no default hook path in the usage text"

# Where GNUInstallDirs puts the system configuration for each prefix.
declare -A want_hook=([/usr]=/etc/tamrod.sh [/usr/local]=/usr/local/etc/tamrod.sh [/opt/tamrod]=/etc/opt/tamrod/tamrod.sh)
for prefix in /usr /usr/local /opt/tamrod; do
  root=$scratch/root${prefix//\//_}
  DESTDIR=$root cmake --install "$build" --prefix "$prefix" >/dev/null
  unit=$root$prefix/lib/systemd/system/tamrod@.service
  [[ -f $unit ]] || fail "$prefix: no unit at ${unit#"$root"}"
  [[ -f $root$prefix/share/man/man8/tamrod.8 ]] || fail "$prefix: no manual page"

  # Every path of ours in a command line or the environment of the unit is an installed executable.
  mapfile -t paths < <(grep -E '^(Exec[A-Za-z]*|Environment)=' "$unit" | grep -oE "/[^ '\"]*tamrod[^ '\";]*" || true)
  ((${#paths[@]} >= 3)) || fail "$prefix: too few paths in the unit: ${paths[*]}"
  for p in "${paths[@]}"; do
    [[ -x $root$p && -f $root$p ]] || fail "$prefix: the unit runs $p, which the install did not put there"
  done
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  [[ $exec_start == "$prefix/sbin/tamrod "* ]] || fail "$prefix: ExecStart runs another executable: $exec_start"
  hook=$(sed -n 's/^Environment=.*TAMROD_HOOK=\([^ ]*\).*/\1/p' "$unit")
  [[ $hook == "${want_hook[$prefix]}" ]] || fail "$prefix: the unit's hook is '$hook', not ${want_hook[$prefix]}"
  # shellcheck disable=SC2016 # the unit's own variable syntax
  [[ $exec_start == *' -x ${TAMROD_HOOK} '* ]] || fail "$prefix: ExecStart does not run the unit's hook"

  if [[ $prefix == /usr ]]; then
    [[ $hook == "$default_hook" ]] || fail "/usr: the unit runs $hook, the daemon's default is $default_hook"
    # After the daemon ended (none answers), ExecStopPost runs the hook with every list empty.
    stop_post=$(sed -n 's/^ExecStopPost=//p' "$unit")
    stop_post=${stop_post//\$\$/\$}
    stop_post=${stop_post//$prefix\/sbin\/tamrod/$root$prefix/sbin/tamrod}
    printf '#!/bin/sh\nenv | grep ^TAMROD_ | sort > "%s"\n' "$scratch/cleared" >"$scratch/hook"
    chmod 755 "$scratch/hook"
    eval "TAMROD_HOOK=$scratch/hook TAMROD_V6=x TAMROD_SEARCH=y TAMROD_PORTAL=z $stop_post"
    [[ $(cat "$scratch/cleared") == "TAMROD_HOOK=$scratch/hook"$'\n'"TAMROD_PORTAL="$'\n'"TAMROD_PREF64="$'\n'"TAMROD_R4="$'\n'"TAMROD_R6="$'\n'"TAMROD_SEARCH="$'\n'"TAMROD_V4="$'\n'"TAMROD_V6=" ]] ||
      fail "ExecStopPost did not run the hook with seven empty variables: $(cat "$scratch/cleared" 2>/dev/null)"
  fi
  echo "$prefix: unit runs $exec_start"
done
