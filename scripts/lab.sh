# shellcheck shell=bash
# The lab the scripts share, sourced (never run) as `source scripts/lab.sh NAME`: NAME starts every
# message, and $src is set to the repository. Nothing here runs on sourcing; a script calls what it needs.
#
#   lab_say TEXT...              prints TEXT to fd $lab_say_fd (1; a script whose result is its stdout sets 2)
#   lab_fail TEXT...             prints "NAME: TEXT" to stderr, then the daemon's standard error (its last
#                                $lab_log_lines, all by default) if there is any; exits 1
#   lab_need_root WHY [STATUS]   exits STATUS (default 1) with "NAME: needs root (WHY)" unless run as root
#   lab_missing PACKAGE...       prints those of the Debian packages that are not installed, one a line
#   lab_install PACKAGE...       installs those missing with apt-get, keeping their services from starting
#   lab_build DIR TARGET...      unless $TAMROD_BUILD_DIR names a build, runs setup.sh and builds TARGETs in
#                                $src/DIR; sets $build (absolute), $bin, $stub (the Wireless Extensions
#                                stand-in) and $forge (the link notification forger)
#   lab_need_built FILE...       fails ("build first") unless every FILE exists
#   lab_refuse_running           fails when another tamrod already serves /dev/tamctl
#   lab_workdir                  makes $work (/tmp/tamrod-NAME.XXXXXX); lab_cleanup runs on exit, Ctrl-C or TERM
#   lab_namespaces               adds the station and router namespaces, named in $sta and $rtr (NAME, PID)
#   lab_veth                     joins them with a veth pair: wlan0 in $sta, rtr0 in $rtr
#   lab_up                       brings lo and both veth ends up, waits until no address is tentative
#   lab_link                     all three: the station accepting advertisements, the router forwarding
#   in_sta CMD... / in_rtr CMD...  runs CMD in the station / the router namespace
#   in_stub CMD...               runs CMD in $sta with the environment the daemon has there (stand-in preloaded)
#   lab_wait SECONDS CMD...      runs CMD every 0.1 s until it succeeds (status 1 after SECONDS); a dot per
#                                second waited when $lab_dots is set
#   lab_lines FILE               prints the number of lines in FILE (0 when it does not exist)
#   lab_radvd                    starts radvd in $rtr on rtr0: prefix 2001:db8:1::/64, RDNSS 2001:db8:1::53 and
#                                ::54, DNSSL demo.example and lab.demo.example (lifetimes 900 s)
#   lab_write_state BSSID ESSID  sets what the Wireless Extensions stand-in reports (file $lab_state)
#   lab_start_daemon LOG ARG...  starts tamrod -f -i wlan0 ARG... in $sta on the stand-in as $daemon_pid (the
#                                daemon itself) and waits for its first hook run: the first line in LOG
#   lab_cleanup                  ends the daemon and whatever runs in the namespaces, deletes them and $work
#                                (kept when $lab_keep is set)

lab=${1:?usage: source lab.sh NAME}
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
lab_say_fd=1
lab_log_lines=+1
lab_dots=
lab_keep=
sta=tamrod-$lab-sta-$$
rtr=tamrod-$lab-rtr-$$
daemon_pid=
work=

lab_say() { echo "$*" >&"$lab_say_fd"; }

lab_fail() {
  echo "$lab: $*" >&2
  if [[ -n $work && -s $work/daemon.log ]]; then
    echo "--- daemon's standard error:" >&2
    tail -n "$lab_log_lines" "$work/daemon.log" >&2
  fi
  exit 1
}

lab_need_root() {
  [[ $(id -u) -eq 0 ]] && return
  echo "$lab: needs root ($1)" >&2
  exit "${2:-1}"
}

lab_missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

lab_install() {
  local missing guard='' status=0
  mapfile -t missing < <(lab_missing "$@")
  ((${#missing[@]})) || return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "$lab: missing packages (${missing[*]}); run as root to install them" >&2
    return 1
  fi
  lab_say "$lab: installing ${missing[*]}"
  # Packages wanted for their programs only: the host's own services stay as they were.
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d && guard=1
  fi
  local apt=(apt-get -o DPkg::Lock::Timeout=600 -y -qq --no-install-recommends)
  # The package lists are fetched only when what they know no longer installs.
  DEBIAN_FRONTEND=noninteractive "${apt[@]}" install "${missing[@]}" >/dev/null 2>&1 ||
    { "${apt[@]}" update && DEBIAN_FRONTEND=noninteractive "${apt[@]}" install "${missing[@]}" >/dev/null; } ||
    status=1
  [[ -z $guard ]] || rm -f /usr/sbin/policy-rc.d
  return "$status"
}

# shellcheck disable=SC2034 # $forge is for the scripts
lab_build() {
  local dir=$1
  shift
  if [[ -z ${TAMROD_BUILD_DIR:-} ]]; then
    lab_say "== Installing what is missing and building (first run takes a while)"
    bash "$src/scripts/setup.sh"
    cmake -S "$src" -B "$src/$dir" -G Ninja >/dev/null
    ninja -C "$src/$dir" "$@" >/dev/null
    TAMROD_BUILD_DIR=$src/$dir
  fi
  build=$(cd "$TAMROD_BUILD_DIR" && pwd)
  bin=$build/tamrod
  stub=$build/tests/platform/libtamrod_wext_stub.so
  forge=$build/tests/platform/forge_link
}

lab_need_built() {
  local f
  for f in "$@"; do
    [[ -f $f ]] || lab_fail "$f is missing; build first"
  done
}

lab_refuse_running() {
  if "$bin" -l >/dev/null 2>&1; then
    lab_fail "another tamrod already serves /dev/tamctl; stop it first (tamrod -t)"
  fi
}

lab_workdir() {
  work=$(mktemp -d "/tmp/tamrod-$lab.XXXXXX")
  lab_state=$work/wifi.state
  trap lab_cleanup EXIT
  trap 'echo; echo "$lab: interrupted" >&"$lab_say_fd"; exit 130' INT TERM
}

lab_namespaces() {
  ip netns add "$sta"
  ip netns add "$rtr"
}

lab_veth() { ip link add wlan0 netns "$sta" type veth peer name rtr0 netns "$rtr"; }

lab_link() {
  lab_namespaces
  lab_veth
  in_sta sysctl -qw net.ipv6.conf.wlan0.accept_ra=2 net.ipv6.conf.wlan0.router_solicitations=0
  in_rtr sysctl -qw net.ipv6.conf.all.forwarding=1
  lab_up
}

in_sta() { ip netns exec "$sta" "$@"; }
in_rtr() { ip netns exec "$rtr" "$@"; }
in_stub() { in_sta env LD_PRELOAD="$stub" TAMROD_WEXT_IFNAME=wlan0 TAMROD_WEXT_STATE="$lab_state" "$@"; }

# ip also complains about the veth peer in the other namespace: only its answer counts.
lab_settled() { [[ -z $(in_sta ip -6 addr show dev wlan0 tentative 2>/dev/null) && -z $(in_rtr ip -6 addr show dev rtr0 tentative 2>/dev/null) ]]; }

lab_up() {
  ip -n "$sta" link set lo up
  ip -n "$rtr" link set lo up
  ip -n "$sta" link set wlan0 up
  ip -n "$rtr" link set rtr0 up
  lab_wait 10 lab_settled || lab_fail "link-local addresses stayed tentative"
}

lab_wait() {
  local limit=$1 waited=0
  shift
  until "$@"; do
    if ((waited >= limit * 10)); then
      [[ -z $lab_dots ]] || echo
      return 1
    fi
    sleep 0.1
    ((++waited % 10 == 0)) && [[ -n $lab_dots ]] && printf '.'
  done
  ((waited >= 10)) && [[ -n $lab_dots ]] && echo
  return 0
}

lab_lines() { if [[ -f $1 ]]; then wc -l <"$1"; else echo 0; fi; }

lab_radvd() {
  cat >"$work/radvd.conf" <<'CONF'
interface rtr0 {
    AdvSendAdvert on;
    MinRtrAdvInterval 200;
    MaxRtrAdvInterval 600;
    prefix 2001:db8:1::/64 { };
    RDNSS 2001:db8:1::53 2001:db8:1::54 { AdvRDNSSLifetime 900; };
    DNSSL demo.example lab.demo.example { AdvDNSSLLifetime 900; };
};
CONF
  # shellcheck disable=SC2094 # radvd appends its log to the file its own output goes to
  ip netns exec "$rtr" radvd -n -C "$work/radvd.conf" -p "$work/radvd.pid" -m logfile -l "$work/radvd.log" \
    </dev/null >>"$work/radvd.log" 2>&1 &
}

lab_write_state() { printf 'bssid=%s\nmode=2\nessid=%s\n' "$1" "$2" >"$lab_state.new" && mv "$lab_state.new" "$lab_state"; }

lab_start_daemon() {
  local log=$1
  shift
  # Started directly, not through a shell function, so that $! is the daemon itself.
  ip netns exec "$sta" env LD_PRELOAD="$stub" TAMROD_WEXT_IFNAME=wlan0 TAMROD_WEXT_STATE="$lab_state" \
    "$bin" -f -i wlan0 "$@" 2>"$work/daemon.log" &
  daemon_pid=$!
  lab_hook_log=$log
  lab_wait 10 lab_started || true
  kill -0 "$daemon_pid" 2>/dev/null || lab_fail "the daemon ended at start-up"
  [[ $(lab_lines "$log") -ge 1 ]] || lab_fail "the hook did not run at start-up"
}
lab_started() { ! kill -0 "$daemon_pid" 2>/dev/null || [[ $(lab_lines "$lab_hook_log") -ge 1 ]]; }

lab_cleanup() {
  set +e
  [[ -n $daemon_pid ]] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  # Whatever still runs in the namespaces (radvd forks a helper of its own) ends with them; what
  # does not end within 2 s is killed.
  local signal ns
  for signal in TERM KILL; do
    # shellcheck disable=SC2046 # one PID a word
    kill -"$signal" $(lab_ns_pids) 2>/dev/null
    lab_dots='' lab_wait 2 lab_gone && break
  done
  for ns in "$sta" "$rtr"; do ip netns del "$ns" 2>/dev/null; done
  [[ -n $lab_keep || -z $work ]] || rm -rf "$work"
}
lab_ns_pids() { ip netns pids "$sta" 2>/dev/null; ip netns pids "$rtr" 2>/dev/null; }
lab_gone() { [[ -z $(lab_ns_pids) ]]; }
