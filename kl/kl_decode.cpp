#include "kl_decode.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/icmp6.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

// The kernel sends one notification per datagram: its netlink header, struct nduseroptmsg, then
// the ND options it passed up.
constexpr size_t field_at(size_t member) { return NLMSG_HDRLEN + member; }
constexpr size_t kFamilyAt = field_at(offsetof(nduseroptmsg, nduseropt_family));
constexpr size_t kOptsLenAt = field_at(offsetof(nduseroptmsg, nduseropt_opts_len));
constexpr size_t kIfindexAt = field_at(offsetof(nduseroptmsg, nduseropt_ifindex));
constexpr size_t kIcmpTypeAt = field_at(offsetof(nduseroptmsg, nduseropt_icmp_type));
constexpr size_t kIcmpCodeAt = field_at(offsetof(nduseroptmsg, nduseropt_icmp_code));
constexpr size_t kOptionsAt = field_at(sizeof(nduseroptmsg));
static_assert(kFamilyAt == 16 && kOptsLenAt == 18 && kIfindexAt == 20);
static_assert(kIcmpTypeAt == 24 && kIcmpCodeAt == 25 && kOptionsAt == 32);

// RFC 8106 5.1: the RDNSS option's fixed part; the server addresses follow it.
constexpr uint8_t kOptRdnss = 25;
struct rdnss_header {
    uint8_t type;
    uint8_t length;
    uint16_t reserved;
    uint32_t lifetime;  // network byte order
};
static_assert(sizeof(rdnss_header) == 8 && offsetof(rdnss_header, lifetime) == 4);

bool accepted(bytes d, unsigned watched_ifindex)
{
    if (d.size() < kOptionsAt || watched_ifindex == 0)
        return false;
    const auto ifindex = read_at<decltype(nduseroptmsg::nduseropt_ifindex)>(d, kIfindexAt);
    return byte_at(d, kFamilyAt) == AF_INET6 && byte_at(d, kIcmpTypeAt) == ND_ROUTER_ADVERT &&
           byte_at(d, kIcmpCodeAt) == 0 && ifindex && static_cast<unsigned>(*ifindex) == watched_ifindex;
}

// A router may name such a server, but no resolver here could use it: the unspecified address
// names nobody, a multicast one is no server (RFC 4291 2.7), and loopback would hand this host's
// name resolution to whatever listens locally. The option's other servers still count.
bool never_serves(const in6_addr& a)
{
    return IN6_IS_ADDR_UNSPECIFIED(&a) || IN6_IS_ADDR_LOOPBACK(&a) || IN6_IS_ADDR_MULTICAST(&a);
}

// Takes the first four distinct usable servers of one RDNSS option, in the order it lists them.
rdnss_report extract(bytes opt)
{
    rdnss_report r{};
    const uint32_t lifetime = ntohl(*read_at<uint32_t>(opt, offsetof(rdnss_header, lifetime)));
    const size_t addresses = (opt.size() - sizeof(rdnss_header)) / sizeof(in6_addr);
    for (size_t i = 0; i < addresses && r.count < kMaxServers; ++i) {
        const auto a = read_at<in6_addr>(opt, sizeof(rdnss_header) + sizeof(in6_addr) * i);
        if (!a)
            break;
        bool seen = never_serves(*a);
        for (int k = 0; k < r.count; ++k)
            seen = seen || std::memcmp(&r.addr[k], &*a, sizeof *a) == 0;
        if (seen)
            continue;
        r.addr[r.count] = *a;
        r.lifetime[r.count] = lifetime;
        ++r.count;
    }
    return r;
}

}  // namespace

std::vector<rdnss_report> kl_decode(bytes d, unsigned watched_ifindex)
{
    std::vector<rdnss_report> out;
    if (!accepted(d, watched_ifindex))
        return out;
    // The options end where the header says or where the datagram does, whichever comes first.
    const size_t opts_len = *read_at<decltype(nduseroptmsg::nduseropt_opts_len)>(d, kOptsLenAt);
    bytes opts = d.subspan(kOptionsAt);
    opts = opts.first(std::min(opts.size(), opts_len));
    tlv_walker walk(opts, kNdOptions);
    while (auto opt = walk.next()) {
        const size_t units = opt->size() / kNdOptionUnit;
        // RFC 8106 5.1: an RDNSS option has an odd length of at least 3.
        if (byte_at(*opt, offsetof(rdnss_header, type)) != kOptRdnss || units < 3 || units % 2 == 0)
            continue;
        // An option left with no usable server reports nothing rather than an empty list.
        if (const rdnss_report r = extract(*opt); r.count > 0)
            out.push_back(r);
    }
    return out;
}
