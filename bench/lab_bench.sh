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
