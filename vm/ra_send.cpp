// Sends one Router Advertisement to all nodes with an RDNSS option and, when asked, the options
// radvd of this Debian release cannot announce: a captive-portal URI (RFC 8910, type 37) and a
// NAT64 prefix (RFC 8781, type 38). Run in the access point's namespace (raw socket: root).
//
// Usage: ra_send [-L LIFETIME] [-u URI] [-p PREFIX/LEN] IFACE ADDR...
//   -L LIFETIME  lifetime of the servers and the NAT64 prefix in seconds (default 900)
//   -u URI       captive-portal option carrying URI
//   -p PREFIX    NAT64 prefix, LEN one of 96, 64, 56, 48, 40, 32
// Exit status 0 when sent, 1 on a failure, 2 on a usage error.
#include "forge.h"

#include <netinet/icmp6.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// Option 37: the URI, zero-padded to a whole number of 8-byte units.
void add_portal(std::vector<uint8_t>& out, const std::string& uri)
{
    const size_t units = (2 + uri.size() + 7) / 8;
    out.push_back(37);
    out.push_back(static_cast<uint8_t>(units));
    out.insert(out.end(), uri.begin(), uri.end());
    out.resize(out.size() + units * 8 - 2 - uri.size(), 0);
}

// Option 38: 13-bit lifetime in 8-second units, 3-bit prefix length code, the prefix's first 96 bits.
bool add_pref64(std::vector<uint8_t>& out, const std::string& text, unsigned long lifetime)
{
    const size_t slash = text.find('/');
    static const int lengths[] = {96, 64, 56, 48, 40, 32};
    const int len = slash == std::string::npos ? -1 : std::atoi(text.c_str() + slash + 1);
    int code = 0;
    while (code < 6 && lengths[code] != len)
        ++code;
    in6_addr a{};
    if (code == 6 || inet_pton(AF_INET6, text.substr(0, slash).c_str(), &a) != 1)
        return false;
    const unsigned long units = std::min(lifetime / 8, 0x1fffUL);
    const uint16_t field = htons(static_cast<uint16_t>(units << 3 | static_cast<unsigned>(code)));
    out.insert(out.end(), {38, 2});
    out.insert(out.end(), reinterpret_cast<const uint8_t*>(&field), reinterpret_cast<const uint8_t*>(&field) + 2);
    out.insert(out.end(), a.s6_addr, a.s6_addr + 12);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const auto usage = [] { return forge_usage("ra_send [-L LIFETIME] [-u URI] [-p PREFIX/LEN] IFACE ADDR..."); };
    unsigned long lifetime = 900;
    const char* uri = nullptr;
    const char* pref64 = nullptr;
    for (int opt; (opt = getopt(argc, argv, "L:u:p:")) != -1;) {
        switch (opt) {
        case 'L': lifetime = std::strtoul(optarg, nullptr, 0); break;
        case 'u': uri = optarg; break;
        case 'p': pref64 = optarg; break;
        default: return usage();
        }
    }
    long ifindex = 0;
    if (argc - optind < 2)
        return usage();
    if (!forge_ifindex("ra_send", argv[optind], ifindex))
        return 1;
    // Hop limit 64, no flags, router lifetime 0 (no default route), reachable time and retransmission
    // timer unspecified.
    std::vector<uint8_t> msg{ND_ROUTER_ADVERT, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (!forge_rdnss(msg, lifetime, argv + optind + 1, argv + argc))
        return usage();
    if (uri != nullptr)
        add_portal(msg, uri);
    if (pref64 != nullptr && !add_pref64(msg, pref64, lifetime))
        return usage();

    sockaddr_in6 dst{};
    dst.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "ff02::1", &dst.sin6_addr);
    dst.sin6_scope_id = static_cast<uint32_t>(ifindex);
    const int fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    const int hops = 255;
    if (fd < 0 || setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops) != 0 ||
        sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst) !=
            static_cast<ssize_t>(msg.size())) {
        perror("ra_send");
        return 1;
    }
    close(fd);
    return 0;
}
