// send_ra: sends one ICMPv6 message shaped as a Router Advertisement out of an interface, with
// the variations a router would never send (another hop limit, code or type, a short body).
// Needs root (raw socket) in the network namespace it runs in.
//
// Usage: send_ra [-h HOPLIMIT] [-t TYPE] [-c CODE] [-l LENGTH] [-L LIFETIME] [-d DST] IFACE [ADDR...]
//   IFACE        outgoing interface
//   ADDR         IPv6 addresses of one RDNSS option appended to the advertisement
//   -h HOPLIMIT  IPv6 hop limit (default 255, as RFC 4861 requires)
//   -t TYPE      ICMPv6 type (default 134, Router Advertisement)
//   -c CODE      ICMPv6 code (default 0)
//   -l LENGTH    cut or zero-pad the ICMPv6 message to LENGTH bytes (default: as built)
//   -L LIFETIME  RDNSS lifetime in seconds (default 600)
//   -d DST       destination (default ff02::1, all nodes)
//   -s DOMAIN    a DNSSL option with this one name, after the RDNSS option, with its lifetime
//   -6 PREFIX    a PREF64 option (NAT64 prefix, e.g. 64:ff9b::/96) with the lifetime, rounded
//                down to units of 8 s; -P CODE overrides the prefix length code
//   -p URI       a captive portal option carrying URI, zero-padded
// The advertisement carries router lifetime 0, so it never installs a default route.
// Exit status 0 when sent, 1 on a failure, 2 on a usage error.
// Example: ip netns exec router send_ra -h 64 eth0
#include "forge.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    const auto usage = [] {
        return forge_usage("send_ra [-h HOPLIMIT] [-t TYPE] [-c CODE] "
                           "[-l LENGTH] [-L LIFETIME] [-d DST] [-s DOMAIN] [-6 PREFIX [-P CODE]] [-p URI] IFACE [ADDR...]");
    };
    int hops = 255, type = ND_ROUTER_ADVERT, code = 0;
    long length = -1;
    unsigned long lifetime = 600;
    const char* dst_text = "ff02::1";
    const char* domain = nullptr;
    const char* pref64 = nullptr;
    const char* portal = nullptr;
    int plc = -1;
    for (int opt; (opt = getopt(argc, argv, "h:t:c:l:L:d:s:6:P:p:")) != -1;) {
        switch (opt) {
        case 'h': hops = std::atoi(optarg); break;
        case 't': type = std::atoi(optarg); break;
        case 'c': code = std::atoi(optarg); break;
        case 'l': length = std::atol(optarg); break;
        case 'L': lifetime = std::strtoul(optarg, nullptr, 0); break;
        case 'd': dst_text = optarg; break;
        case 's': domain = optarg; break;
        case '6': pref64 = optarg; break;
        case 'P': plc = std::atoi(optarg); break;
        case 'p': portal = optarg; break;
        default: return usage();
        }
    }
    if (optind >= argc)
        return usage();
    const char* iface = argv[optind++];
    const unsigned ifindex = if_nametoindex(iface);
    if (ifindex == 0) {
        std::fprintf(stderr, "send_ra: no interface %s\n", iface);
        return 1;
    }

    // RFC 4861 4.2: type, code, checksum (the kernel fills it in), current hop limit, flags,
    // router lifetime, reachable time, retransmission timer.
    std::vector<uint8_t> msg{static_cast<uint8_t>(type), static_cast<uint8_t>(code), 0, 0, 64, 0, 0, 0,
                             0, 0, 0, 0, 0, 0, 0, 0};
    if (optind < argc && !forge_rdnss(msg, lifetime, argv + optind, argv + argc))
        return usage();
    if ((domain != nullptr && !forge_dnssl(msg, lifetime, domain)) ||
        (pref64 != nullptr && !forge_pref64(msg, lifetime, pref64, plc)))
        return usage();
    if (portal != nullptr)
        forge_portal(msg, portal);
    if (length >= 0)
        msg.resize(static_cast<size_t>(length), 0);

    sockaddr_in6 dst{};
    dst.sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, dst_text, &dst.sin6_addr) != 1)
        return usage();
    dst.sin6_scope_id = ifindex;

    const int fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (fd < 0) {
        perror("socket");
        return 1;
    }
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops) != 0 ||
        setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &hops, sizeof hops) != 0 ||
        setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &ifindex, sizeof ifindex) != 0) {
        perror("setsockopt");
        return 1;
    }
    if (sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst) !=
        static_cast<ssize_t>(msg.size())) {
        perror("sendto");
        return 1;
    }
    close(fd);
    return 0;
}
