#include "kl_decode.h"

#include <arpa/inet.h>
#include <netinet/icmp6.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

// Layout of the datagram: a 16-byte netlink header, then struct nduseroptmsg, then options.
constexpr size_t kFamilyAt = 16;
constexpr size_t kOptsLenAt = 18;
constexpr size_t kIfindexAt = 20;
constexpr size_t kIcmpTypeAt = 24;
constexpr size_t kIcmpCodeAt = 25;
constexpr size_t kOptionsAt = 32;

constexpr uint8_t kOptRdnss = 25;  // RFC 8106
constexpr size_t kRdnssLifetimeAt = 4;
constexpr size_t kRdnssAddrAt = 8;

bool accepted(bytes d, unsigned watched_ifindex)
{
    if (d.size() < kOptionsAt || watched_ifindex == 0)
        return false;
    const auto ifindex = read_at<int32_t>(d, kIfindexAt);
    return byte_at(d, kFamilyAt) == AF_INET6 && byte_at(d, kIcmpTypeAt) == ND_ROUTER_ADVERT &&
           byte_at(d, kIcmpCodeAt) == 0 && ifindex && static_cast<unsigned>(*ifindex) == watched_ifindex;
}

// Takes the first four distinct servers of one RDNSS option, in the order it lists them.
rdnss_report extract(bytes opt)
{
    rdnss_report r{};
    const uint32_t lifetime = ntohl(*read_at<uint32_t>(opt, kRdnssLifetimeAt));
    const size_t addresses = (opt.size() / 8 - 1) / 2;
    for (size_t i = 0; i < addresses && r.count < kMaxServers; ++i) {
        const auto a = read_at<in6_addr>(opt, kRdnssAddrAt + 16 * i);
        if (!a)
            break;
        bool seen = false;
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
    const size_t opts_len = *read_at<uint16_t>(d, kOptsLenAt);
    bytes opts = d.subspan(kOptionsAt);
    opts = opts.first(std::min(opts.size(), opts_len));
    tlv_walker walk(opts, kNdOptions);
    while (auto opt = walk.next()) {
        const size_t units = opt->size() / 8;
        // RFC 8106 5.1: an RDNSS option has an odd length of at least 3.
        if (byte_at(*opt, 0) == kOptRdnss && units >= 3 && units % 2 == 1)
            out.push_back(extract(*opt));
    }
    return out;
}
