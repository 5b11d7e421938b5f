#include "kl_decode.h"

#include "kl_dnssl.h"
#include "kl_netinfo.h"

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

// Whether the notification is one to read; otherwise records why not.
bool accepted(bytes d, unsigned watched_ifindex, kl_decoded& out)
{
    if (d.size() < kOptionsAt) {
        out.drop(kl_drop::short_datagram);
        return false;
    }
    const auto ifindex = read_at<decltype(nduseroptmsg::nduseropt_ifindex)>(d, kIfindexAt);
    if (byte_at(d, kFamilyAt) != AF_INET6)
        out.drop(kl_drop::not_inet6);
    else if (byte_at(d, kIcmpTypeAt) != ND_ROUTER_ADVERT || byte_at(d, kIcmpCodeAt) != 0)
        out.drop(kl_drop::not_advert);
    else if (watched_ifindex == 0 || !ifindex || static_cast<unsigned>(*ifindex) != watched_ifindex)
        out.drop(kl_drop::foreign);
    else
        return true;
    return false;
}

// A router may name such a server, but no resolver here could use it: the unspecified address
// names nobody, a multicast one is no server (RFC 4291 2.7), and loopback would hand this host's
// name resolution to whatever listens locally; so would an IPv4-mapped one (RFC 4291 2.5.5.2),
// which a socket sends over IPv4, ::ffff:127.0.0.1 to this host's own 127.0.0.1. The option's
// other servers still count.
bool never_serves(const in6_addr& a)
{
    return IN6_IS_ADDR_UNSPECIFIED(&a) || IN6_IS_ADDR_LOOPBACK(&a) || IN6_IS_ADDR_MULTICAST(&a) ||
           IN6_IS_ADDR_V4MAPPED(&a);
}

bool held(const rdnss_report& r, const in6_addr& a)
{
    for (int k = 0; k < r.count; ++k)
        if (std::memcmp(&r.addr[k], &a, sizeof a) == 0)
            return true;
    return false;
}

// Takes the first four distinct usable servers of one RDNSS option, in the order it lists them.
rdnss_report extract_rdnss(bytes opt, kl_decoded& out)
{
    rdnss_report r{};
    const uint32_t lifetime = ntohl(*read_at<uint32_t>(opt, offsetof(rdnss_header, lifetime)));
    const size_t addresses = (opt.size() - sizeof(rdnss_header)) / sizeof(in6_addr);
    for (size_t i = 0; i < addresses; ++i) {
        const in6_addr a = *read_at<in6_addr>(opt, sizeof(rdnss_header) + sizeof(in6_addr) * i);
        if (never_serves(a)) {
            out.drop(kl_drop::server_unusable);
        } else if (held(r, a)) {
            out.drop(kl_drop::server_repeated);
        } else if (r.count == kMaxServers) {
            out.drop(kl_drop::server_surplus);
        } else {
            r.addr[r.count] = a;
            r.lifetime[r.count] = lifetime;
            ++r.count;
        }
    }
    return r;
}

void take_rdnss(bytes opt, kl_decoded& out)
{
    // RFC 8106 5.1: an RDNSS option has an odd length of at least 3.
    const size_t units = opt.size() / kNdOptionUnit;
    if (units < 3 || units % 2 == 0) {
        out.drop(kl_drop::rdnss_length);
        return;
    }
    // An option left with no usable server reports nothing rather than an empty list.
    if (const rdnss_report r = extract_rdnss(opt, out); r.count > 0)
        out.rdnss.push_back(r);
}

}  // namespace

kl_decoded kl_decode(bytes d, unsigned watched_ifindex)
{
    kl_decoded out;
    if (!accepted(d, watched_ifindex, out))
        return out;
    // The options end where the header says or where the datagram does, whichever comes first.
    const size_t opts_len = *read_at<decltype(nduseroptmsg::nduseropt_opts_len)>(d, kOptsLenAt);
    bytes opts = d.subspan(kOptionsAt);
    opts = opts.first(std::min(opts.size(), opts_len));
    tlv_walker walk(opts, kNdOptions);
    while (auto opt = walk.next()) {
        const uint8_t type = byte_at(*opt, offsetof(nd_opt_hdr, nd_opt_type));
        if (type == kOptRdnss)
            take_rdnss(*opt, out);
        else if (type == kOptDnssl)
            kl_take_dnssl(*opt, out);
        else if (type == kOptPref64)
            kl_take_pref64(*opt, out);
        else if (type == kOptPortal)
            kl_take_portal(*opt, out);
    }
    if (walk.cut())
        out.drop(kl_drop::walk_cut);
    return out;
}
