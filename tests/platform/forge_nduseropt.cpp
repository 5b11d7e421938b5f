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

namespace {

int usage()
{
    std::fputs("usage: forge_nduseropt [-f FAMILY] [-t TYPE] [-c CODE] [-L LIFETIME] [-n COUNT] IFACE [ADDR...]\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
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
    const char* iface = argv[optind++];
    char* end = nullptr;
    long ifindex = std::strtol(iface, &end, 10);
    if (*end != '\0')
        ifindex = if_nametoindex(iface);
    if (ifindex == 0 && std::strcmp(iface, "0") != 0) {
        std::fprintf(stderr, "forge_nduseropt: no interface %s\n", iface);
        return 1;
    }

    // RDNSS option (RFC 8106): type 25, length 1 + 2 per address, reserved, lifetime, addresses.
    std::vector<uint8_t> opts;
    const int addresses = argc - optind;
    if (addresses > 0) {
        opts = {25, static_cast<uint8_t>(1 + 2 * addresses), 0, 0};
        const uint32_t lt = htonl(static_cast<uint32_t>(lifetime));
        opts.insert(opts.end(), reinterpret_cast<const uint8_t*>(&lt), reinterpret_cast<const uint8_t*>(&lt) + 4);
        for (int i = optind; i < argc; ++i) {
            in6_addr a{};
            if (inet_pton(AF_INET6, argv[i], &a) != 1)
                return usage();
            opts.insert(opts.end(), a.s6_addr, a.s6_addr + 16);
        }
    }

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

    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        perror("socket");
        return 1;
    }
    sockaddr_nl dst{};
    dst.nl_family = AF_NETLINK;
    dst.nl_groups = 1u << (RTNLGRP_ND_USEROPT - 1);
    for (unsigned long i = 0; i < count; ++i) {
        if (sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst) < 0) {
            perror("sendto");
            return 1;
        }
    }
    close(fd);
    return 0;
}
