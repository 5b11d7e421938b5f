// The decoder on the options beside RDNSS: search lists, NAT64 prefixes and captive portals.
#include "nd_wire.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace nd;

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

// RFC 8781 4: type 38, length 2, scaled lifetime (13 bits, units of 8 s) and prefix length code
// (3 bits), then the prefix's first 96 bits.
raw pref64(uint16_t scaled, uint8_t code, const char* prefix)
{
    raw o{38, 2};
    const uint16_t word = static_cast<uint16_t>(scaled << 3 | code);
    append(o, {uint8_t(word >> 8), uint8_t(word)});
    append_addr(o, prefix);
    o.resize(16);
    return o;
}

std::string cidr(const pref64_report& r) { return text(r.prefix.prefix) + "/" + std::to_string(r.prefix.length); }

TEST(KlPref64, PrefixLengthCodesLifetimeAndHostBits)
{
    // 64:ff9b::/96 for 600 s: 26 02 | 02 58 | 0064 ff9b 0000 0000 0000 0000.
    const raw well_known = {38, 2, 0x02, 0x58, 0x00, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
    const kl_decoded d = decode_all(notification(cat({well_known, rdnss(600, {"2001:db8::1"})})));
    ASSERT_EQ(d.pref64.size(), 1u);
    EXPECT_EQ(cidr(d.pref64[0]), "64:ff9b::/96");
    EXPECT_EQ(d.pref64[0].lifetime, 600u);
    EXPECT_EQ(d.rdnss.size(), 1u);
    // Every code has its length; what a router put past the prefix is cleared.
    const strings expected = {"2001:db8:1:2:3:4::/96", "2001:db8:1:2::/64", "2001:db8:1::/56",
                              "2001:db8:1::/48", "2001:db8::/40", "2001:db8::/32"};
    for (uint8_t code = 0; code < 6; ++code) {
        const kl_decoded c = decode_all(notification(pref64(0x1fff, code, "2001:db8:1:2:3:4:5:6")));
        ASSERT_EQ(c.pref64.size(), 1u) << int(code);
        EXPECT_EQ(cidr(c.pref64[0]), expected[code]);
        EXPECT_EQ(c.pref64[0].lifetime, 0x1fffu * 8);
    }
    // Lifetime 0 comes with its prefix, so the manager can withdraw it.
    EXPECT_EQ(decode_all(notification(pref64(0, 1, "64:ff9b::"))).pref64.at(0).lifetime, 0u);
}

TEST(KlPref64, UnknownCodeOrLengthDropsTheOption)
{
    EXPECT_TRUE(dropped_for(notification(pref64(75, 6, "64:ff9b::")), kl_drop::pref64_code));
    EXPECT_TRUE(dropped_for(notification(pref64(75, 7, "64:ff9b::")), kl_drop::pref64_code));
    raw three_units = pref64(75, 0, "64:ff9b::");
    three_units.resize(24, 0);
    three_units[1] = 3;
    EXPECT_TRUE(dropped_for(notification(three_units), kl_drop::pref64_length));
    EXPECT_TRUE(dropped_for(notification(raw{38, 1, 0x02, 0x58, 0, 0x64, 0xff, 0x9b}), kl_drop::pref64_length));
}

// RFC 8910 2.3: type 37, length, the URI zero-padded to whole units (or to the units given).
raw portal(const std::string& uri, int units = -1)
{
    raw o{37, 0};
    o.insert(o.end(), uri.begin(), uri.end());
    o.resize(units >= 0 ? 8 * units : (o.size() + 7) / 8 * 8, 0);
    o[1] = static_cast<uint8_t>(o.size() / 8);
    return o;
}

TEST(KlPortal, UriWithoutItsPaddingAndTheUnrestrictedValuePassed)
{
    for (const std::string& uri : strings{"https://portal.example/api", "urn:ietf:params:capport:unrestricted",
                                         std::string(255, 'x')}) {
        const kl_decoded d = decode_all(notification(portal(uri)));
        ASSERT_EQ(d.portal.size(), 1u) << uri;
        EXPECT_EQ(std::string(d.portal[0].uri.data()), uri);
        EXPECT_EQ(d.drops, 0u);
    }
}

TEST(KlPortal, UnsafeEmptyOrOverlongUriDropsTheOption)
{
    for (const std::string& uri : strings{"https://a b", "https://a\nb", "https://\x7f", "https://\xc3\xa9"})
        EXPECT_TRUE(dropped_for(notification(portal(uri)), kl_drop::portal_unsafe)) << uri;
    // Something hidden behind the URI's end is no padding.
    EXPECT_TRUE(dropped_for(notification(portal(std::string("https://a\0x", 11))), kl_drop::portal_unsafe));
    EXPECT_TRUE(dropped_for(notification(portal("", 1)), kl_drop::portal_length));
    EXPECT_TRUE(dropped_for(notification(portal(std::string(256, 'x'))), kl_drop::portal_length));
}

}  // namespace
