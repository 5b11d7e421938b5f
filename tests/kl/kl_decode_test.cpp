// The ND user option decoder fed annotated datagrams as the kernel lays them out.
#include "nd_wire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace nd;



TEST(KlDecode, TwoOptionsGiveTwoReportsInOrderWithTheirOwnLifetimes)
{
    // ip monitor: nduseropt family 10 ifindex 7 type 134 code 0
    //   RDNSS 2001:db8::1 lifetime 600; RDNSS 2001:db8::2 2001:db8::3 lifetime 30
    const auto reports = decode(notification(cat({rdnss(600, {"2001:db8::1"}),
                                                  rdnss(30, {"2001:db8::2", "2001:db8::3"})})));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(servers(reports[0]), (strings{"2001:db8::1"}));
    EXPECT_EQ(reports[0].lifetime[0], 600u);
    EXPECT_EQ(servers(reports[1]), (strings{"2001:db8::2", "2001:db8::3"}));
    EXPECT_EQ(reports[1].lifetime[0], 30u);
    EXPECT_EQ(reports[1].lifetime[1], 30u);
}

TEST(KlDecode, DuplicatesRemovedWithinOneOptionOnly)
{
    const auto reports = decode(notification(cat({
        rdnss(100, {"2001:db8::a", "2001:db8::b", "2001:db8::a", "2001:db8::b", "2001:db8::c"}),
        rdnss(100, {"2001:db8::a"}),
    })));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(decode_all(notification(rdnss(1, {"2001:db8::a", "2001:db8::a"}))).dropped(kl_drop::server_repeated));
    EXPECT_EQ(reports[0].count, 3);
    EXPECT_EQ(servers(reports[0]), (strings{"2001:db8::a", "2001:db8::b", "2001:db8::c"}));
    EXPECT_EQ(servers(reports[1]), (strings{"2001:db8::a"}));
}

TEST(KlDecode, FirstFourDistinctOfFiveKept)
{
    const auto reports = decode(notification(
        rdnss(5, {"2001:db8::1", "2001:db8::2", "2001:db8::1", "2001:db8::3", "2001:db8::4", "2001:db8::5"})));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(servers(reports[0]), (strings{"2001:db8::1", "2001:db8::2", "2001:db8::3", "2001:db8::4"}));
    EXPECT_TRUE(decode_all(notification(rdnss(5, {"2001:db8::1", "2001:db8::2", "2001:db8::3", "2001:db8::4",
                                                  "2001:db8::5"})))
                    .dropped(kl_drop::server_surplus));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(reports[0].lifetime[i], 5u);
}

TEST(KlDecode, ServersThatCanNeverServeThisHostAreDropped)
{
    // ip monitor: nduseropt family 10 ifindex 7 type 134 code 0
    //   RDNSS :: ::1 ff02::fb 2001:db8::1 2001:db8::2 2001:db8::3 2001:db8::4 lifetime 60
    //   RDNSS ff0e::53 :: lifetime 60
    //   RDNSS fe80::53 lifetime 60
    const auto reports = decode(notification(cat({
        rdnss(60, {"::", "::1", "ff02::fb", "2001:db8::1", "2001:db8::2", "2001:db8::3", "2001:db8::4"}),
        rdnss(60, {"ff0e::53", "::"}),
        rdnss(60, {"fe80::53"}),
    })));
    // The dropped ones take none of the four places, and an option left empty reports nothing.
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(servers(reports[0]), (strings{"2001:db8::1", "2001:db8::2", "2001:db8::3", "2001:db8::4"}));
    EXPECT_EQ(servers(reports[1]), (strings{"fe80::53"}));
    EXPECT_TRUE(dropped_for(notification(rdnss(60, {"::1"})), kl_drop::server_unusable));
    // IPv4-mapped: a socket would send to the host's own 127.0.0.1, or to an IPv4 group.
    EXPECT_TRUE(dropped_for(notification(rdnss(60, {"::ffff:127.0.0.1", "::ffff:224.0.0.1"})),
                            kl_drop::server_unusable));
}

TEST(KlDecode, LifetimesZeroAndAllOnesPassUnchanged)
{
    const auto reports = decode(notification(cat({rdnss(0, {"2001:db8::1"}), rdnss(0xffffffff, {"2001:db8::2"})})));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].lifetime[0], 0u);
    EXPECT_EQ(reports[1].lifetime[0], 0xffffffffu);
}

TEST(KlDecode, EvenLengthRdnssSkippedAndWalkContinues)
{
    // Length 2: lifetime and half an address; length 4: one and a half addresses. Neither is RDNSS.
    raw len2 = rdnss(9, {}, 2);
    len2.resize(16, 0xee);
    raw len4 = rdnss(9, {"2001:db8::dead"}, 4);
    len4.resize(32, 0xee);
    // A DNS search list (type 31) is stepped over, too.
    raw dnssl{31, 2, 0, 0, 0, 0, 0, 60, 3, 'l', 'a', 'n', 0, 0, 0, 0};
    const auto reports = decode(notification(cat({len2, dnssl, len4, rdnss(7, {"2001:db8::7"})})));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(servers(reports[0]), (strings{"2001:db8::7"}));
    EXPECT_TRUE(dropped_for(notification(len2), kl_drop::rdnss_length));
    EXPECT_TRUE(dropped_for(notification(len4), kl_drop::rdnss_length));
}

TEST(KlDecode, ZeroLengthOrOverlongOptionEndsTheWalk)
{
    raw zero{1, 0, 0, 0, 0, 0, 0, 0};  // source link-layer option with length 0
    EXPECT_TRUE(dropped_for(notification(cat({zero, rdnss(7, {"2001:db8::7"})})), kl_drop::walk_cut));

    // The first option claims 5 units (40 bytes) but only 24 option bytes remain.
    raw overlong = rdnss(7, {"2001:db8::1"}, 5);
    EXPECT_TRUE(dropped_for(notification(overlong), kl_drop::walk_cut));

    // Options announced as 24 bytes: the second option lies beyond the announced length.
    header h;
    h.opts_len = 24;
    const auto reports = decode(notification(cat({rdnss(1, {"2001:db8::1"}), rdnss(2, {"2001:db8::2"})}), h));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(servers(reports[0]), (strings{"2001:db8::1"}));
}

TEST(KlDecode, WalkNeverPassesTheReceivedBytes)
{
    // The header announces 48 option bytes, but the datagram ends within the first option.
    header h;
    h.opts_len = 48;
    raw d = notification(cat({rdnss(1, {"2001:db8::1"}), rdnss(2, {"2001:db8::2"})}), h);
    d.resize(32 + 24 + 10);
    const auto reports = decode(d);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(servers(reports[0]), (strings{"2001:db8::1"}));

    // Cut inside the first option: nothing at all.
    d.resize(32 + 20);
    EXPECT_TRUE(dropped_for(d, kl_drop::walk_cut));
}

TEST(KlDecode, ForeignOrShortNotificationsIgnored)
{
    const raw opts = rdnss(60, {"2001:db8::1"});
    ASSERT_EQ(decode(notification(opts)).size(), 1u);  // the baseline that each case below changes

    raw short31 = notification(opts);
    short31.resize(31);
    EXPECT_TRUE(dropped_for(short31, kl_drop::short_datagram));

    header inet;
    inet.family = 2;  // AF_INET
    EXPECT_TRUE(dropped_for(notification(opts, inet), kl_drop::not_inet6));

    header redirect;
    redirect.type = 137;
    EXPECT_TRUE(dropped_for(notification(opts, redirect), kl_drop::not_advert));

    header code1;
    code1.code = 1;
    EXPECT_TRUE(dropped_for(notification(opts, code1), kl_drop::not_advert));

    header other_if;
    other_if.ifindex = kWatched + 1;
    EXPECT_TRUE(dropped_for(notification(opts, other_if), kl_drop::foreign));

    // The watched interface does not exist: even an index-0 notification does not match it.
    header zero_if;
    zero_if.ifindex = 0;
    EXPECT_TRUE(dropped_for(notification(opts, zero_if), kl_drop::foreign, 0));
    EXPECT_TRUE(dropped_for(notification(opts), kl_drop::foreign, 0));
}

TEST(KlDecode, BareHeaderAndOneStrayByteGiveNothing)
{
    EXPECT_TRUE(decode(notification({})).empty());
    raw stray{25};
    EXPECT_TRUE(decode(notification(stray)).empty());
}

TEST(KlDecode, RandomOptionsKeepTheReportInvariants)
{
    // Mostly RDNSS-typed options of random lengths over a small address pool, so duplicates,
    // short options and lengths past the end all occur; run under ASan this also proves the walk
    // stays inside the datagram, which is cut at a random point.
    std::mt19937 rng(20261207);
    for (int round = 0; round < 20000; ++round) {
        raw opts;
        const int n = rng() % 6;
        for (int i = 0; i < n; ++i) {
            const uint8_t len = rng() % 12;
            opts.push_back(rng() % 4 == 0 ? 31 : 25);
            opts.push_back(len);
            for (int k = 2; k < 8 * std::max<int>(len, 1); ++k)
                opts.push_back(k >= 8 ? rng() % 3 : rng() % 256);
        }
        header h;
        h.opts_len = rng() % 2 ? -1 : static_cast<int>(rng() % 400);
        raw d = notification(opts, h);
        d.resize(std::min<size_t>(d.size(), rng() % (d.size() + 16)));
        // An allocation of exactly the datagram's size, so ASan sees any read past its end.
        const auto exact = std::make_unique<uint8_t[]>(d.size());
        std::copy(d.begin(), d.end(), exact.get());
        const auto reports = kl_decode(as_bytes_of(exact.get(), d.size()), kWatched).rdnss;
        size_t rdnss_bytes = 0;
        for (const rdnss_report& r : reports) {
            ASSERT_GE(r.count, 1);
            ASSERT_LE(r.count, kMaxServers);
            for (int a = 0; a < r.count; ++a) {
                EXPECT_EQ(r.lifetime[a], r.lifetime[0]);
                for (int b = 0; b < a; ++b)
                    EXPECT_NE(std::memcmp(&r.addr[a], &r.addr[b], 16), 0);
            }
            rdnss_bytes += 24;
        }
        EXPECT_LE(rdnss_bytes, d.size() > 32 ? d.size() - 32 : 0);
    }
}

}  // namespace
