# shellcheck shell=bash
# What the benchmark scripts share beyond scripts/lab.sh, sourced after it.

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
