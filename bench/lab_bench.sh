# shellcheck shell=bash
# What the benchmark scripts share beyond scripts/lab.sh, sourced after it.

# Progress on standard error, the tables alone on standard output; a failure shows 20 log lines.
# shellcheck disable=SC2034 # read by scripts/lab.sh
lab_say_fd=2
# shellcheck disable=SC2034
lab_log_lines=20

# The two namespaces joined by a veth, without duplicate address detection or the kernel's own
# solicitations, the station accepting advertisements although it may forward.
# shellcheck disable=SC2154 # $sta and $rtr are set by scripts/lab.sh
bench_namespaces() {
  lab_namespaces
  local ns
  for ns in "$sta" "$rtr"; do
    ip netns exec "$ns" sh -c 'echo 0 > /proc/sys/net/ipv6/conf/default/accept_dad &&
      echo 0 > /proc/sys/net/ipv6/conf/default/router_solicitations'
  done
  in_sta sh -c 'echo 2 > /proc/sys/net/ipv6/conf/default/accept_ra'
  lab_veth
  lab_up
}

# Root, a plain build of the daemon, the stand-ins and the measuring tool ($tool), and no other
# daemon serving /dev/tamctl.
# shellcheck disable=SC2154 # $build, $bin, $stub and $forge are set by scripts/lab.sh
bench_prepare() {
  lab_need_root "network namespaces, raw sockets, /dev/tamctl"
  lab_build build tamrod wext_stub forge_link tamrod_bench
  tool=$build/bench/tamrod_bench
  lab_need_built "$bin" "$stub" "$forge" "$tool"
  if grep -Eq '^TAMROD_(ASAN|TSAN):BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    lab_fail "$build is a sanitizer build; use a plain one"
  fi
}

# A fresh daemon ($bin, hook $work/tamrod-hook) holding four servers, as bench_associate_four leaves it.
# shellcheck disable=SC2154 # $work is set by scripts/lab.sh
bench_four_held() {
  lab_write_state 00:00:00:00:00:00 ""
  lab_start_daemon "$work/tamrod-hook.log" -x "$work/tamrod-hook"
  bench_associate_four
}

# Associates the running daemon with $bssid and announces four servers whose lifetimes are far from
# due, so later advertisements change nothing unless they mean to.
# shellcheck disable=SC2154 # $bssid, $forge and $tool are set by the calling script
bench_associate_four() {
  lab_write_state "$bssid" BenchNet
  in_sta "$forge" wlan0 mode=2 "ap=$bssid" || lab_fail "could not send the link notification"
  sleep 0.5
  in_rtr "$tool" flood rtr0 1 0 1000 2001:db8:a::1 2001:db8:a::2 2001:db8:a::3 2001:db8:a::4 >/dev/null
  lab_wait 10 bench_have_four || lab_fail "the four servers were not learnt"
  sleep 1
}

bench_have_four() { [[ $("$bin" -l 2>/dev/null | grep -c ':') -eq 4 ]]; }
