#include "rq_decode.h"

#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

constexpr int kRequiredHopLimit = 255;  // RFC 4861 6.1.2: anything else was forwarded
// RFC 4861 6.1.2: an advertisement shorter than its fixed part is invalid.
constexpr size_t kMinAdvertLen = sizeof(nd_router_advert);
static_assert(kMinAdvertLen == 16);

// Control messages as the kernel lays them out: cmsg_len covers the header and the data.
constexpr tlv_rule kControlMessages{
    sizeof(cmsghdr), sizeof(cmsghdr), alignof(cmsghdr),
    [](bytes b) -> size_t { return *read_at<decltype(cmsghdr::cmsg_len)>(b, offsetof(cmsghdr, cmsg_len)); }};

// Whether the hop limit the kernel passed along (if any) shows a packet from beyond the link.
// A message without one is not dropped on that account.
bool forwarded(bytes control)
{
    tlv_walker walk(control, kControlMessages);
    while (auto msg = walk.next()) {
        const auto level = read_at<int>(*msg, offsetof(cmsghdr, cmsg_level));
        const auto type = read_at<int>(*msg, offsetof(cmsghdr, cmsg_type));
        if (level != IPPROTO_IPV6 || type != IPV6_HOPLIMIT)
            continue;
        const auto hops = read_at<int>(*msg, CMSG_LEN(0));
        if (hops && *hops != kRequiredHopLimit)
            return true;
    }
    return false;
}

}  // namespace

ra_verdict rq_decode(bytes packet, bytes control, uint32_t source_scope, unsigned watched_ifindex)
{
    if (forwarded(control))
        return ra_verdict::forwarded;
    if (packet.size() < kMinAdvertLen)
        return ra_verdict::too_short;
    if (byte_at(packet, offsetof(icmp6_hdr, icmp6_type)) != ND_ROUTER_ADVERT)
        return ra_verdict::not_advert;
    if (byte_at(packet, offsetof(icmp6_hdr, icmp6_code)) != 0)
        return ra_verdict::bad_code;
    // Only the watched interface's routers count. Index 0 means that interface is gone, and it is
    // also the scope of every source that is not link-local, so it must match nothing.
    if (watched_ifindex == 0 || source_scope != watched_ifindex)
        return ra_verdict::foreign;
    return ra_verdict::accepted;
}
