// List comparison and the script's environment strings, without threads or sockets.
#include "ctl_wire.h"
#include "out_request.h"
#include "out_env.h"
#include "search_fixture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace tw;

TEST(NsCompare, SameAddressesInAnyOrderWithDuplicatesCounted)
{
    struct c4 {
        ns4_list a, b;
        int want;
    };
    const c4 cases4[] = {
        {v4({}), v4({}), 0},
        {v4({"1.1.1.1", "2.2.2.2"}), v4({"2.2.2.2", "1.1.1.1"}), 0},
        {v4({"1.1.1.1", "2.2.2.2", "3.3.3.3", "4.4.4.4"}), v4({"4.4.4.4", "3.3.3.3", "1.1.1.1", "2.2.2.2"}), 0},
        {v4({"1.1.1.1", "1.1.1.1"}), v4({"1.1.1.1", "2.2.2.2"}), 1},
        {v4({"1.1.1.1", "2.2.2.2"}), v4({"1.1.1.1", "1.1.1.1"}), 1},
        {v4({"1.1.1.1", "1.1.1.1", "2.2.2.2"}), v4({"1.1.1.1", "2.2.2.2", "1.1.1.1"}), 0},
        {v4({"1.1.1.1"}), v4({"1.1.1.1", "2.2.2.2"}), 1},
        {v4({"1.1.1.1", "2.2.2.2"}), v4({"1.1.1.1", "2.2.2.3"}), 1},
    };
    for (const auto& c : cases4) {
        EXPECT_EQ(ns4_compare(c.a, c.b), c.want);
        EXPECT_EQ(ns4_compare(c.b, c.a), c.want);
    }

    // Slots beyond the count carry no meaning.
    ns4_list a = v4({"1.1.1.1"}), b = v4({"1.1.1.1"});
    inet_pton(AF_INET, "9.9.9.9", &b.addr[1]);
    EXPECT_EQ(ns4_compare(a, b), 0);

    EXPECT_EQ(ns6_compare(v6({"2001:db8::1", "fe80::1"}), v6({"fe80::1", "2001:db8::1"})), 0);
    EXPECT_EQ(ns6_compare(v6({"::1", "::1"}), v6({"::1", "::2"})), 1);
    EXPECT_EQ(ns6_compare(v6({"::1"}), v6({"::1", "::1"})), 1);
    // Differs in the last byte only: the whole 16 bytes are compared.
    EXPECT_EQ(ns6_compare(v6({"2001:db8::1"}), v6({"2001:db8::2"})), 1);
    EXPECT_EQ(ns6_compare(v6({}), v6({})), 0);
}

TEST(NsCompare, CountsOutsideTheSlotsNeverCompareEqual)
{
    for (int32_t bad : {-1, 5, 1 << 30}) {
        ns4_list a = v4({}), b = v4({});
        a.count = b.count = bad;
        EXPECT_EQ(ns4_compare(a, b), 1) << bad;
        ns6_list c = v6({}), d = v6({});
        c.count = d.count = bad;
        EXPECT_EQ(ns6_compare(c, d), 1) << bad;
        EXPECT_EQ(ns6_compare(c, v6({})), 1) << bad;
    }
}

TEST(OutEnv, AddressesSeparatedBySingleBlanks)
{
    env_buffer buf;
    buf.fill('x');
    EXPECT_EQ(out_format_env(buf, "TAMROD_V4=", v4({})), 10u);
    EXPECT_STREQ(buf.data(), "TAMROD_V4=");

    out_format_env(buf, "TAMROD_R4=", v4({"10.0.0.1", "192.168.100.200"}));
    EXPECT_STREQ(buf.data(), "TAMROD_R4=10.0.0.1 192.168.100.200");

    out_format_env(buf, "TAMROD_V6=", v6({"2001:db8::53", "::ffff:1.2.3.4", "fe80::1"}));
    EXPECT_STREQ(buf.data(), "TAMROD_V6=2001:db8::53 ::ffff:1.2.3.4 fe80::1");

    // Learnt link-local servers carry the interface as their zone; others do not.
    out_format_env(buf, "TAMROD_V6=", v6({"fe80::53", "2001:db8::53", "febf::1", "fec0::1"}), "wlan0");
    EXPECT_STREQ(buf.data(), "TAMROD_V6=fe80::53%wlan0 2001:db8::53 febf::1%wlan0 fec0::1");
    // Four of the widest link-local addresses with the longest interface name still fit whole.
    const char* ll = "fe80:ffff:eeee:dddd:cccc:bbbb:aaaa:9999";
    const std::string zone(15, 'w');
    const std::size_t len = out_format_env(buf, "TAMROD_V6=", v6({ll, ll, ll, ll}), zone.c_str());
    EXPECT_EQ(len, 10 + 4 * (39 + 1 + 15) + 3);
}

TEST(OutEnv, NeverWritesPastTheBuffer)
{
    env_buffer buf;
    const char* wide = "ffff:eeee:dddd:cccc:bbbb:aaaa:9999:8888";
    const std::string four = std::string("TAMROD_R6=") + wide + " " + wide + " " + wide + " " + wide;
    EXPECT_EQ(out_format_env(buf, "TAMROD_R6=", v6({wide, wide, wide, wide})), four.size());
    EXPECT_EQ(std::string(buf.data()), four);

    // A count beyond the slots formats no address at all rather than reading past them.
    ns6_list bad = v6({wide});
    bad.count = 9;
    out_format_env(buf, "TAMROD_V6=", bad);
    EXPECT_STREQ(buf.data(), "TAMROD_V6=");
    ns4_list neg = v4({"1.1.1.1"});
    neg.count = -3;
    out_format_env(buf, "TAMROD_V4=", neg);
    EXPECT_STREQ(buf.data(), "TAMROD_V4=");

    // Text longer than the buffer is cut and still terminated.
    const std::string prefix(300, 'P');
    EXPECT_EQ(out_format_env(buf, prefix.c_str(), v4({"1.1.1.1"})), kEnvSize - 1);
    EXPECT_EQ(std::string(buf.data()), prefix.substr(0, kEnvSize - 1));
}

TEST(OutSearch, OnlyHostNameCharactersReachTheEnvironment)
{
    search_list hostile = domains({"corp.example", "a b.example", "evil.example\nnameserver 6.6.6.6", "",
                                   "Upper.example", "lab_1-x.example"});
    // A name filling its slot with no terminator.
    hostile.name[3].fill('a');
    const auto kept = out_search_checked(hostile);
    ASSERT_TRUE(kept);
    search_buffer buf;
    out_format_search(buf, "TAMROD_SEARCH=", *kept);
    EXPECT_STREQ(buf.data(), "TAMROD_SEARCH=corp.example lab_1-x.example");
    const search_list want = domains({"corp.example", "lab_1-x.example"});
    EXPECT_EQ(std::memcmp(&*kept, &want, sizeof want), 0)
        << "kept names in order, zero bytes beyond";

    for (int32_t count : {-1, kMaxDomains + 1}) {
        search_list bad = domains({"corp.example"});
        bad.count = count;
        EXPECT_FALSE(out_search_checked(bad)) << count;
    }
    out_format_search(buf, "TAMROD_SEARCH=", search_list{});
    EXPECT_STREQ(buf.data(), "TAMROD_SEARCH=");
    // Six names of 253 characters fit whole.
    search_list longest{};
    longest.count = kMaxDomains;
    for (auto& n : longest.name)
        std::fill_n(n.begin(), 253, 'a');
    EXPECT_EQ(out_format_search(buf, "TAMROD_SEARCH=", longest), 14u + 6 * 253 + 5);
}

TEST(OutNetInfo, OnlySoundPrefixesAndPrintablePortalsReachTheEnvironment)
{
    pref64_list p{};
    p.count = 3;
    inet_pton(AF_INET6, "64:ff9b::", &p.prefix[0].prefix);
    p.prefix[0].length = 96;
    inet_pton(AF_INET6, "2001:db8:64::1", &p.prefix[1].prefix);  // a bit past /64
    p.prefix[1].length = 64;
    inet_pton(AF_INET6, "2001:db8::", &p.prefix[2].prefix);
    p.prefix[2].length = 33;  // no such code
    const auto kept = out_pref64_checked(p);
    ASSERT_TRUE(kept);
    env_buffer buf;
    out_format_pref64(buf, "TAMROD_PREF64=", *kept);
    EXPECT_STREQ(buf.data(), "TAMROD_PREF64=64:ff9b::/96");
    p.count = kMaxPref64 + 1;
    EXPECT_FALSE(out_pref64_checked(p));

    portal_uri u{};
    std::strcpy(u.uri.data(), "urn:ietf:params:capport:unrestricted");
    EXPECT_TRUE(out_portal_checked(u));
    portal_buffer pb;
    out_format_portal(pb, "TAMROD_PORTAL=", u);
    EXPECT_STREQ(pb.data(), "TAMROD_PORTAL=urn:ietf:params:capport:unrestricted");
    u.uri[40] = 'x';  // behind the end
    EXPECT_FALSE(out_portal_checked(u));
    u.uri.fill('x');  // never ended
    EXPECT_FALSE(out_portal_checked(u));
}

}  // namespace
