// The ND user option decoder fed annotated datagrams as the kernel lays them out.
#include "kl_decode.h"
#include "wire.h"

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

constexpr unsigned kWatched = 7;

using tt::raw;
using tt::cat;

void append(raw& d, std::initializer_list<uint8_t> b) { d.insert(d.end(), b); }

void append_addr(raw& d, const char* text)
{
    in6_addr a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, &a), 1) << text;
    d.insert(d.end(), a.s6_addr, a.s6_addr + 16);
}

// An RDNSS option (RFC 8106): type 25, length in 8-octet units, reserved, lifetime, addresses.
raw rdnss(uint32_t lifetime, std::initializer_list<const char*> servers, int units = -1)
{
    raw o;
    const int len = units >= 0 ? units : 1 + 2 * static_cast<int>(servers.size());
    append(o, {25, static_cast<uint8_t>(len), 0, 0});
    append(o, {uint8_t(lifetime >> 24), uint8_t(lifetime >> 16), uint8_t(lifetime >> 8), uint8_t(lifetime)});
    for (const char* s : servers)
        append_addr(o, s);
    return o;
}

struct header {
    uint8_t family = 10;  // AF_INET6
    int32_t ifindex = kWatched;
    uint8_t type = 134;   // Router Advertisement
    uint8_t code = 0;
    int opts_len = -1;    // -1: the length of the options given
};

// nlmsghdr (16) + nduseroptmsg (16) + options, integers in host order as the kernel sends them.
raw notification(const raw& options, header h = {})
{
    raw d(32, 0);
    const uint32_t total = 32 + options.size();
    std::memcpy(&d[0], &total, 4);
    const uint16_t nl_type = 68;  // RTM_NEWNDUSEROPT
    std::memcpy(&d[4], &nl_type, 2);
    d[16] = h.family;
    const uint16_t opts_len = h.opts_len >= 0 ? h.opts_len : options.size();
    std::memcpy(&d[18], &opts_len, 2);
    std::memcpy(&d[20], &h.ifindex, 4);
    d[24] = h.type;
    d[25] = h.code;
    d.insert(d.end(), options.begin(), options.end());
    return d;
}

kl_decoded decode_all(const raw& d, unsigned watched = kWatched)
{
    return kl_decode(as_bytes_of(d.data(), d.size()), watched);
}

std::vector<rdnss_report> decode(const raw& d, unsigned watched = kWatched) { return decode_all(d, watched).rdnss; }

// Nothing came out, and for the one reason given.
::testing::AssertionResult dropped_for(const raw& d, kl_drop why, unsigned watched = kWatched)
{
    const kl_decoded r = decode_all(d, watched);
    if (!r.rdnss.empty())
        return ::testing::AssertionFailure() << r.rdnss.size() << " reports";
    if (r.drops != 1u << static_cast<unsigned>(why))
        return ::testing::AssertionFailure() << "drops 0x" << std::hex << r.drops;
    return ::testing::AssertionSuccess();
}

std::string text(const in6_addr& a)
{
    char buf[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, &a, buf, sizeof buf);
}

std::vector<std::string> servers(const rdnss_report& r)
{
    std::vector<std::string> out;
    for (int i = 0; i < r.count && i < kMaxServers; ++i)
        out.push_back(text(r.addr[i]));
    return out;
}

using strings = std::vector<std::string>;

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

// A DNSSL option (RFC 8106 5.2): type 31, length in 8-octet units, reserved, lifetime, then
// names in DNS wire format, zero-padded to the option's end (or to the units given).
raw dnssl(uint32_t lifetime, const raw& names, int units = -1)
{
    raw o{31, 0, 0, 0, uint8_t(lifetime >> 24), uint8_t(lifetime >> 16), uint8_t(lifetime >> 8), uint8_t(lifetime)};
    o.insert(o.end(), names.begin(), names.end());
    o.resize(units >= 0 ? 8 * units : (o.size() + 7) / 8 * 8, 0);
    o[1] = static_cast<uint8_t>(o.size() / 8);
    return o;
}

// One name in wire format from its dotted text.
raw wire(const std::string& name)
{
    raw w;
    for (size_t at = 0; at <= name.size();) {
        const size_t dot = std::min(name.find('.', at), name.size());
        w.push_back(static_cast<uint8_t>(dot - at));
        w.insert(w.end(), name.begin() + at, name.begin() + dot);
        at = dot + 1;
    }
    w.push_back(0);
    return w;
}

strings names(const kl_decoded& d, size_t i = 0)
{
    strings out;
    for (int k = 0; i < d.dnssl.size() && k < d.dnssl[i].count; ++k)
        out.push_back(d.dnssl[i].name[k].data());
    return out;
}

TEST(KlDnssl, RadvdSearchListDecoded)
{
    // radvd 2.19, `DNSSL example.com corp.example.net { AdvDNSSLLifetime 1200; };`:
    // 1f 05 0000 000004b0 | 07 "example" 03 "com" 00 | 04 "corp" 07 "example" 03 "net" 00 | 00
    const raw opt = {0x1f, 0x05, 0, 0, 0x00, 0x00, 0x04, 0xb0,
                     7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0,
                     4, 'c', 'o', 'r', 'p', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'n', 'e', 't', 0, 0};
    const kl_decoded d = decode_all(notification(cat({opt, rdnss(600, {"2001:db8::1"})})));
    ASSERT_EQ(d.dnssl.size(), 1u);
    EXPECT_EQ(names(d), (strings{"example.com", "corp.example.net"}));
    EXPECT_EQ(d.dnssl[0].lifetime, 1200u);
    EXPECT_EQ(d.rdnss.size(), 1u);
    EXPECT_EQ(d.drops, 0u);
    // Lifetime 0 withdraws: the names come with it so the manager knows which to drop.
    EXPECT_EQ(names(decode_all(notification(dnssl(0, wire("example.com"))))), (strings{"example.com"}));
}

TEST(KlDnssl, CaseFoldedRepeatsRemovedFirstSixKept)
{
    const kl_decoded d = decode_all(notification(dnssl(60, cat({wire("Corp.EXAMPLE"), wire("corp.example"),
        wire("a"), wire("b_1"), wire("c-2"), wire("d"), wire("e"), wire("f")}))));
    EXPECT_EQ(names(d), (strings{"corp.example", "a", "b_1", "c-2", "d", "e"}));
    EXPECT_TRUE(d.dropped(kl_drop::name_repeated));
    EXPECT_TRUE(d.dropped(kl_drop::name_surplus));
}

TEST(KlDnssl, HostileCharactersDropThatNameOnly)
{
    // Each would let a name add a line or a word of its own to resolv.conf.
    for (const uint8_t bad : raw{' ', '\n', '\r', '\t', 0x01, 0x7f, '#', ';', '"', '\'', '\\', '.', '/', 0x80, 0xc3}) {
        raw hostile = wire("evil.example");
        hostile[3] = bad;
        const kl_decoded d = decode_all(notification(dnssl(60, cat({hostile, wire("good.example")}))));
        EXPECT_EQ(names(d), (strings{"good.example"})) << int(bad);
        EXPECT_EQ(d.drops, 1u << unsigned(kl_drop::name_unsafe)) << int(bad);
    }
}

TEST(KlDnssl, HyphenAtALabelsEdgeDropsThatName)
{
    // A tool given "-h" or "--help.example" as a domain reads an option; inner hyphens are fine.
    const kl_decoded d = decode_all(notification(dnssl(60, cat({wire("-h"), wire("--help.example"),
        wire("lab.corp-"), wire("a.b-.c"), wire("my-lab.example")}))));
    EXPECT_EQ(names(d), (strings{"my-lab.example"}));
    EXPECT_EQ(d.drops, 1u << unsigned(kl_drop::name_unsafe));
}

TEST(KlDnssl, MalformedOptionYieldsNoName)
{
    const raw good = wire("good.example");
    // 03 "lan" c0 0c: a compression pointer after a label.
    EXPECT_TRUE(dropped_for(notification(dnssl(9, cat({good, {3, 'l', 'a', 'n', 0xc0, 0x0c}}))), kl_drop::name_compressed));
    // A label of 64 bytes; its neighbour of 63 alone passes.
    EXPECT_TRUE(dropped_for(notification(dnssl(9, cat({good, wire(std::string(64, 'x'))}))), kl_drop::label_too_long));
    ASSERT_EQ(names(decode_all(notification(dnssl(9, wire(std::string(63, 'x')))))).size(), 1u);
    // Labels of 63, 63, 63 and 62: 256 bytes in wire format. One byte less fits in 255 (253 characters).
    const std::string l63(63, 'x');
    const std::string three = l63 + "." + l63 + "." + l63 + ".";
    EXPECT_TRUE(dropped_for(notification(dnssl(9, cat({good, wire(three + l63.substr(1))}))), kl_drop::name_too_long));
    const strings longest = names(decode_all(notification(dnssl(9, wire(three + l63.substr(2))))));
    ASSERT_EQ(longest.size(), 1u);
    EXPECT_EQ(longest[0].size(), 253u);
    // The names fill the option and the last lacks its final zero (2 units: 8 bytes of names).
    EXPECT_TRUE(dropped_for(notification(dnssl(9, {3, 'l', 'a', 'n', 3, 'c', 'o', 'm'}, 2)), kl_drop::name_unterminated));
    // A label that runs past the option's end.
    EXPECT_TRUE(dropped_for(notification(dnssl(9, {3, 'l', 'a', 'n', 9, 'c', 'o', 'm'}, 2)), kl_drop::name_unterminated));
    // RFC 8106 5.2: the padding is zeros; a name hidden after a zero is not read.
    EXPECT_TRUE(dropped_for(notification(dnssl(9, cat({good, {0}, wire("hidden.example")}))), kl_drop::dnssl_padding));
    // Length 1: no room for a name at all.
    EXPECT_TRUE(dropped_for(notification(raw{31, 1, 0, 0, 0, 0, 0, 9}), kl_drop::dnssl_length));
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
