// The watcher's advertisement check fed ICMPv6 messages and control data as the kernel hands
// them to a raw socket.
#include "rq_decode.h"
#include "wire.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr unsigned kWatched = 7;

using tt::raw;

// A Router Advertisement's fixed part (RFC 4861 4.2): type 134, code 0, checksum, hop limit,
// flags, router lifetime 1800, reachable time, retransmission timer.
const raw kAdvert{134, 0, 0x12, 0x34, 64, 0, 0x07, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};

// The control data of IPV6_RECVHOPLIMIT: one cmsghdr (level IPPROTO_IPV6, type IPV6_HOPLIMIT)
// with an int, laid out by the platform's own macros.
raw hop_limit(int hops, int level = IPPROTO_IPV6)
{
    raw c(CMSG_SPACE(sizeof(int)), 0);
    cmsghdr h{};
    h.cmsg_len = CMSG_LEN(sizeof(int));
    h.cmsg_level = level;
    h.cmsg_type = IPV6_HOPLIMIT;
    std::memcpy(c.data(), &h, sizeof h);
    std::memcpy(c.data() + CMSG_LEN(0), &hops, sizeof hops);
    return c;
}

ra_verdict check(const raw& packet, const raw& control = hop_limit(255), uint32_t scope = kWatched,
                 unsigned watched = kWatched)
{
    return rq_decode(as_bytes_of(packet.data(), packet.size()), as_bytes_of(control.data(), control.size()),
                     scope, watched);
}

TEST(RqDecode, AdvertisementFromTheLinkAccepted)
{
    EXPECT_EQ(check(kAdvert), ra_verdict::accepted);
    // Without a hop limit in the control data it is not dropped on that account.
    EXPECT_EQ(check(kAdvert, {}), ra_verdict::accepted);
    // A hop limit of another level is not the one the rule reads.
    EXPECT_EQ(check(kAdvert, hop_limit(64, SOL_SOCKET)), ra_verdict::accepted);
    // Options after the fixed part are not examined.
    raw with_options = kAdvert;
    with_options.insert(with_options.end(), {25, 3, 0, 0, 0xff, 0xff, 0xff, 0xff});
    EXPECT_EQ(check(with_options), ra_verdict::accepted);
}

TEST(RqDecode, EachRuleDropsWhatItNames)
{
    // RFC 4861 6.1.2: an advertisement that crossed a router arrives with less than 255.
    EXPECT_EQ(check(kAdvert, hop_limit(64)), ra_verdict::forwarded);
    // 15 bytes: one short of the fixed part.
    EXPECT_EQ(check(raw(kAdvert.begin(), kAdvert.end() - 1)), ra_verdict::too_short);
    // An echo request (type 128) of the same length.
    raw echo = kAdvert;
    echo[0] = 128;
    EXPECT_EQ(check(echo), ra_verdict::not_advert);
    raw code1 = kAdvert;
    code1[1] = 1;
    EXPECT_EQ(check(code1), ra_verdict::bad_code);
    // Another interface's link-local source; a global source (scope 0) while the interface is gone.
    EXPECT_EQ(check(kAdvert, hop_limit(255), kWatched + 1), ra_verdict::foreign);
    EXPECT_EQ(check(kAdvert, hop_limit(255), 0, 0), ra_verdict::foreign);
}

TEST(RqDecode, ControlDataCutShortReadsNoHopLimit)
{
    // The header claims more data than came back: the walk ends and no hop limit is read.
    raw cut = hop_limit(64);
    cut.resize(sizeof(cmsghdr) + 2);
    EXPECT_EQ(check(kAdvert, cut), ra_verdict::accepted);
}

}  // namespace
