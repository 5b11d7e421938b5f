// forge_nduseropt: multicasts forged ND user option notifications (RTM_NEWNDUSEROPT) on
// rtnetlink group 20, as the kernel sends them for the options of a received Router
// Advertisement, so the RDNSS listener can be driven with notifications no router would cause.
// Needs root (CAP_NET_ADMIN) in the network namespace it runs in.
//
// Usage: forge_nduseropt [-f FAMILY] [-t TYPE] [-c CODE] [-L LIFETIME] [-n COUNT] IFACE [ADDR...]
//   IFACE        interface name (resolved in the current namespace) or a decimal index (used as is)
//   ADDR         IPv6 addresses of one RDNSS option; none: an empty option list
//   -f FAMILY    nduseropt_family (default 10, AF_INET6)
//   -t TYPE      ICMPv6 type the options came from (default 134, Router Advertisement)
//   -c CODE      ICMPv6 code (default 0)
//   -L LIFETIME  RDNSS lifetime in seconds (default 600)
//   -n COUNT     send the datagram COUNT times, as fast as possible (flooding; default 1)
// Exit status 0 when every datagram was sent, 1 on a failure, 2 on a usage error.
// Example: ip netns exec lab forge_nduseropt -L 0 wlan0 2001:db8::53
#include "forge.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    const auto usage = [] {
        return forge_usage("forge_nduseropt [-f FAMILY] [-t TYPE] [-c CODE] "
                           "[-L LIFETIME] [-n COUNT] IFACE [ADDR...]");
    };
    int family = AF_INET6, type = 134, code = 0;
    unsigned long lifetime = 600, count = 1;
    for (int opt; (opt = getopt(argc, argv, "f:t:c:L:n:")) != -1;) {
        switch (opt) {
        case 'f': family = std::atoi(optarg); break;
        case 't': type = std::atoi(optarg); break;
        case 'c': code = std::atoi(optarg); break;
        case 'L': lifetime = std::strtoul(optarg, nullptr, 0); break;
        case 'n': count = std::strtoul(optarg, nullptr, 0); break;
        default: return usage();
        }
    }
    if (optind >= argc)
        return usage();
    long ifindex = 0;
    if (!forge_ifindex("forge_nduseropt", argv[optind++], ifindex))
        return 1;

    std::vector<uint8_t> opts;
    if (optind < argc && !forge_rdnss(opts, lifetime, argv + optind, argv + argc))
        return usage();

    std::vector<uint8_t> msg(NLMSG_SPACE(sizeof(nduseroptmsg)) + opts.size(), 0);
    auto* nlh = reinterpret_cast<nlmsghdr*>(msg.data());
    nlh->nlmsg_len = msg.size();
    nlh->nlmsg_type = RTM_NEWNDUSEROPT;
    auto* nd = static_cast<nduseroptmsg*>(NLMSG_DATA(nlh));
    nd->nduseropt_family = static_cast<unsigned char>(family);
    nd->nduseropt_opts_len = static_cast<uint16_t>(opts.size());
    nd->nduseropt_ifindex = static_cast<int>(ifindex);
    nd->nduseropt_icmp_type = static_cast<uint8_t>(type);
    nd->nduseropt_icmp_code = static_cast<uint8_t>(code);
    std::copy(opts.begin(), opts.end(), msg.begin() + NLMSG_SPACE(sizeof(nduseroptmsg)));

    return forge_multicast(msg, 1u << (RTNLGRP_ND_USEROPT - 1), static_cast<long>(count));
}
