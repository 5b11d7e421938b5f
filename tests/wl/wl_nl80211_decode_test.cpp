// The nl80211 decoder fed annotated messages laid out as the kernel sends them (little-endian
// host; the nl80211 family number is dynamic, 0x22 here).
#include "wl_nl80211_decode.h"
#include "wire.h"

#include <linux/netlink.h>
#include <linux/nl80211.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kFamily = 0x22;
constexpr unsigned kWatched = 3;

using namespace tt;  // the byte builders
using kind = wl_event::kind;

const wl_bssid kAp = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
const wl_bssid kApMld = {0x02, 0x00, 0x00, 0x00, 0x10, 0x00};
const wl_bssid kOther = {0x02, 0x00, 0x00, 0x00, 0x02, 0x00};
const wl_bssid kZero{};

wl_decoded decode_all(const raw& d, unsigned watched = kWatched)
{
    return wl_decode_nl80211(as_bytes_of(d.data(), d.size()), kFamily, {watched, "wlan0"});
}

std::vector<wl_event> decode(const raw& d, unsigned watched = kWatched) { return decode_all(d, watched).events; }

// `iw event`: wlan0 (phy #0): connected to 02:00:00:00:01:00
const raw kConnected = {
    // nlmsghdr: len 56, type 0x22 (nl80211), flags 0, seq 0, pid 0
    0x38, 0x00, 0x00, 0x00, 0x22, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    // genlmsghdr: cmd 46 (NL80211_CMD_CONNECT), version 1
    0x2e, 0x01, 0x00, 0x00,
    // NL80211_ATTR_WIPHY (1): 0; NL80211_ATTR_IFINDEX (3): 3
    0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00,
    // NL80211_ATTR_MAC (6): 02:00:00:00:01:00, 2 bytes padding
    0x0a, 0x00, 0x06, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    // NL80211_ATTR_STATUS_CODE (72): 0 (success), 2 bytes padding
    0x06, 0x00, 0x48, 0x00, 0x00, 0x00, 0x00, 0x00,
};

// `iw event` on a multi-link radio: wlan0 (phy #0): connected to 02:00:00:00:10:00, over link 0
// to 02:00:00:00:01:00. The kernel names the access point MLD in the top-level MAC attribute;
// each link entry carries the link's BSSID and the station's own link address.
const raw kConnectedMlo = {
    // nlmsghdr: len 96, type 0x22
    0x60, 0x00, 0x00, 0x00, 0x22, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    // genlmsghdr: cmd 46 (NL80211_CMD_CONNECT), version 1
    0x2e, 0x01, 0x00, 0x00,
    // NL80211_ATTR_WIPHY: 0; NL80211_ATTR_IFINDEX: 3
    0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00,
    // NL80211_ATTR_MAC: the access point MLD address 02:00:00:00:10:00, padding
    0x0a, 0x00, 0x06, 0x00, 0x02, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,
    // NL80211_ATTR_STATUS_CODE: 0
    0x06, 0x00, 0x48, 0x00, 0x00, 0x00, 0x00, 0x00,
    // NL80211_ATTR_MLO_LINKS (312, nested), entry 1 (nested): NL80211_ATTR_MLO_LINK_ID (313): 0,
    // padding
    0x28, 0x00, 0x38, 0x81, 0x24, 0x00, 0x01, 0x80, 0x05, 0x00, 0x39, 0x01, 0x00, 0x00, 0x00, 0x00,
    // NL80211_ATTR_BSSID (245): the link's BSSID 02:00:00:00:01:00, padding
    0x0a, 0x00, 0xf5, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    // NL80211_ATTR_MAC: the station's address on the link 02:00:00:00:00:00, padding
    0x0a, 0x00, 0x06, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};

// `iw event`: wlan0 (phy #0): disconnected (by AP) reason: 3: Deauthenticated because sending
// station is leaving (or has left) IBSS or ESS
const raw kDisconnected = {
    // nlmsghdr: len 48, type 0x22
    0x30, 0x00, 0x00, 0x00, 0x22, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    // genlmsghdr: cmd 48 (NL80211_CMD_DISCONNECT), version 1
    0x30, 0x01, 0x00, 0x00,
    // NL80211_ATTR_WIPHY: 0; NL80211_ATTR_IFINDEX: 3
    0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00,
    // NL80211_ATTR_REASON_CODE (54): 3, padding; NL80211_ATTR_DISCONNECTED_BY_AP (71): flag
    0x06, 0x00, 0x36, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x47, 0x00,
};

// Builders for the variations below, same layout as the captures above.
raw u32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
raw u16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
raw mac(const wl_bssid& m) { return raw(m.begin(), m.end()); }
raw text(const std::string& s) { return raw(s.begin(), s.end()); }

raw message(uint8_t cmd, std::initializer_list<raw> attrs, uint16_t type = kFamily)
{
    const raw body = cat(attrs);
    const uint32_t len = static_cast<uint32_t>(20 + body.size());
    raw m = cat({u32(len), u16(type), u16(0), u32(0), u32(0), {cmd, 1, 0, 0}});
    m.insert(m.end(), body.begin(), body.end());
    return m;
}

raw ifindex(uint32_t i = kWatched) { return attr(NL80211_ATTR_IFINDEX, u32(i)); }

// The reply to GET_INTERFACE (`iw dev wlan0 info`): Interface wlan0, ifindex 3, type managed,
// ssid LabNet. The same message is the event of a new interface.
raw interface_reply(uint32_t iftype, const std::string& ssid, uint32_t index = kWatched,
                    const std::string& name = "wlan0")
{
    return message(NL80211_CMD_NEW_INTERFACE,
                   {ifindex(index), attr(NL80211_ATTR_IFNAME, text(name + '\0')),
                    attr(NL80211_ATTR_WIPHY, u32(0)), attr(NL80211_ATTR_IFTYPE, u32(iftype)),
                    attr(NL80211_ATTR_MAC, mac({0x02, 0x00, 0x00, 0x00, 0x00, 0x00})),
                    ssid.empty() ? raw{} : attr(NL80211_ATTR_SSID, text(ssid))});
}

// One entry of the GET_SCAN dump (`iw dev wlan0 scan dump`): BSS <bssid>(on wlan0) [-- associated],
// freq 2412, for one link of a multi-link connection its link id and the AP MLD address, and
// the information elements: supported rates (id 1), then SSID (id 0), then DS parameter set (id 3).
raw scan_entry(const wl_bssid& bssid, bool associated, const wl_bssid* mld = nullptr, const std::string& ssid = "")
{
    const raw ies = cat({{1, 4, 0x82, 0x84, 0x8b, 0x96}, {0, uint8_t(ssid.size())}, text(ssid), {3, 1, 1}});
    const raw bss = cat({attr(NL80211_BSS_BSSID, mac(bssid)), attr(NL80211_BSS_FREQUENCY, u32(2412)),
                         attr(NL80211_BSS_INFORMATION_ELEMENTS, ies),
                         associated ? attr(NL80211_BSS_STATUS, u32(NL80211_BSS_STATUS_ASSOCIATED)) : raw{},
                         mld ? attr(NL80211_BSS_MLO_LINK_ID, {0}) : raw{},
                         mld ? attr(NL80211_BSS_MLD_ADDR, mac(*mld)) : raw{}});
    return message(NL80211_CMD_NEW_SCAN_RESULTS,
                   {attr(NL80211_ATTR_GENERATION, u32(7)), ifindex(), attr(NL80211_ATTR_BSS | NLA_F_NESTED, bss)});
}

bool is_ap(const wl_event& e, const wl_bssid& bssid) { return e.what == kind::access_point && e.bssid == bssid; }

TEST(WlNl80211Decode, ConnectionEventsGiveTheAccessPoint)
{
    auto e = decode(kConnected);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_TRUE(is_ap(e[0], kAp));

    // Multi-link: the access point MLD address, never a link's BSSID or address.
    e = decode(kConnectedMlo);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_TRUE(is_ap(e[0], kApMld));

    e = decode(kDisconnected);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_TRUE(is_ap(e[0], kZero));

    // A failed attempt names the access point it tried (status 1: unspecified failure): no connection.
    e = decode(message(NL80211_CMD_CONNECT,
                       {ifindex(), attr(NL80211_ATTR_MAC, mac(kAp)), attr(NL80211_ATTR_STATUS_CODE, u16(1))}));
    ASSERT_EQ(e.size(), 1u);
    EXPECT_TRUE(is_ap(e[0], kZero));

    // `iw event`: wlan0 (phy #0): roamed to 02:00:00:00:02:00; several messages keep their order.
    e = decode(cat({kConnected, message(NL80211_CMD_ROAM, {ifindex(), attr(NL80211_ATTR_MAC, mac(kOther))}),
                    kDisconnected}));
    ASSERT_EQ(e.size(), 3u);
    EXPECT_TRUE(is_ap(e[0], kAp));
    EXPECT_TRUE(is_ap(e[1], kOther));
    EXPECT_TRUE(is_ap(e[2], kZero));
}

TEST(WlNl80211Decode, InterfaceMessagesGiveModeAndSsid)
{
    auto e = decode(interface_reply(NL80211_IFTYPE_STATION, "LabNet"));
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].what, kind::mode);
    EXPECT_EQ(e[0].mode, 2);  // IW_MODE_INFRA
    ASSERT_TRUE(e[0].has_essid);
    EXPECT_STREQ(e[0].essid.data(), "LabNet");

    // A full 32-byte SSID stays NUL-terminated; no SSID while not connected.
    const std::string longest(32, 'x');
    e = decode(cat({interface_reply(NL80211_IFTYPE_STATION, longest), interface_reply(NL80211_IFTYPE_STATION, "")}));
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(std::string(e[0].essid.data()), longest);
    EXPECT_FALSE(e[1].has_essid);

    // `iw event`: set interface type to AP / ad-hoc / P2P client, then the interface deleted.
    e = decode(cat({message(NL80211_CMD_SET_INTERFACE, {ifindex(), attr(NL80211_ATTR_IFTYPE, u32(NL80211_IFTYPE_AP))}),
                    message(NL80211_CMD_SET_INTERFACE, {ifindex(), attr(NL80211_ATTR_IFTYPE, u32(NL80211_IFTYPE_ADHOC))}),
                    message(NL80211_CMD_SET_INTERFACE,
                            {ifindex(), attr(NL80211_ATTR_IFTYPE, u32(NL80211_IFTYPE_P2P_CLIENT))}),
                    message(NL80211_CMD_DEL_INTERFACE, {ifindex()})}));
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].mode, 3);  // IW_MODE_MASTER
    EXPECT_EQ(e[1].mode, 1);  // IW_MODE_ADHOC
    EXPECT_EQ(e[2].mode, 0);  // IW_MODE_AUTO: not a managed station as Wireless Extensions see it
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(e[i].what, kind::mode);
    EXPECT_EQ(e[3].what, kind::gone);
    EXPECT_EQ(e[3].index, kWatched);

    // `iw event`: wlan0 (phy #0): new interface, under a new index; another name is another's.
    e = decode(cat({interface_reply(NL80211_IFTYPE_STATION, "", 9), interface_reply(NL80211_IFTYPE_STATION, "", 9, "wlan1")}));
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].what, kind::appeared);
    EXPECT_EQ(e[0].index, 9u);
}

TEST(WlNl80211Decode, ScanDumpGivesOnlyTheAssociatedEntry)
{
    auto e = decode(cat({scan_entry(kOther, false, nullptr, "Else"), scan_entry(kAp, true, nullptr, "LabNet")}));
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].what, kind::current_bss);
    EXPECT_EQ(e[0].bssid, kAp);
    ASSERT_TRUE(e[0].has_essid);
    EXPECT_STREQ(e[0].essid.data(), "LabNet");

    // One link of a multi-link connection: the access point MLD address. A hidden network's
    // empty SSID element names nothing.
    e = decode(scan_entry(kAp, true, &kApMld));
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].bssid, kApMld);
    EXPECT_FALSE(e[0].has_essid);

    // An SSID element longer than its information elements, or than 32 bytes, names nothing.
    for (const raw& ies : {raw{0, 8, 'L', 'a', 'b'}, cat({{0, 33}, raw(33, 'x')})}) {
        e = decode(message(NL80211_CMD_NEW_SCAN_RESULTS,
                           {ifindex(), attr(NL80211_ATTR_BSS, cat({attr(NL80211_BSS_BSSID, mac(kAp)),
                                                                   attr(NL80211_BSS_STATUS, u32(1)),
                                                                   attr(NL80211_BSS_INFORMATION_ELEMENTS, ies)}))}));
        ASSERT_EQ(e.size(), 1u);
        EXPECT_FALSE(e[0].has_essid);
        EXPECT_EQ(e[0].essid[0], '\0');
    }
}

// The network's name: the associated scan entry's SSID element, else the interface's SSID
// (a hidden network, or a scan dump that failed), else none.
TEST(WlNl80211Decode, NameFromScanElseFromInterface)
{
    const wl_decoded iface = decode_all(interface_reply(NL80211_IFTYPE_STATION, "Hidden"));
    const wl_decoded named = decode_all(scan_entry(kAp, true, nullptr, "LabNet"));
    const wl_decoded hidden = decode_all(scan_entry(kAp, true));
    const auto text = [](const std::optional<wl_essid>& e) { return e ? std::string(e->data()) : "(none)"; };
    EXPECT_EQ(text(wl_nl_essid(&named, iface)), "LabNet");
    EXPECT_EQ(text(wl_nl_essid(&hidden, iface)), "Hidden");
    EXPECT_EQ(text(wl_nl_essid(nullptr, iface)), "Hidden") << "a failed scan dump must not lose the name";
    EXPECT_EQ(text(wl_nl_essid(nullptr, decode_all(interface_reply(NL80211_IFTYPE_STATION, "")))), "(none)");
}

TEST(WlNl80211Decode, ForeignAndHostileMessagesAreSkipped)
{
    const raw mac_attr = attr(NL80211_ATTR_MAC, mac(kAp));
    using enum wl_drop;
    struct row {
        const char* what;
        raw datagram;
        wl_drop why;
    } rows[] = {
        {"another interface", message(NL80211_CMD_CONNECT, {ifindex(4), mac_attr}), other_interface},
        {"no interface index", message(NL80211_CMD_CONNECT, {mac_attr}), no_index},
        {"another family", message(NL80211_CMD_CONNECT, {ifindex(), mac_attr}, kFamily + 1), other_type},
        {"an error message", message(NL80211_CMD_CONNECT, {ifindex(), mac_attr}, NLMSG_ERROR), other_type},
        {"another command", message(NL80211_CMD_NEW_STATION, {ifindex(), mac_attr}), other_event},
        {"a 5-byte address", message(NL80211_CMD_CONNECT, {ifindex(), attr(NL80211_ATTR_MAC, {1, 2, 3, 4, 5})}),
         bad_attributes},
        {"a 7-byte MLD address",
         message(NL80211_CMD_CONNECT, {ifindex(), attr(NL80211_ATTR_MLD_ADDR, {1, 2, 3, 4, 5, 6, 7})}), bad_attributes},
        {"a 33-byte SSID",
         message(NL80211_CMD_NEW_INTERFACE,
                 {ifindex(), attr(NL80211_ATTR_IFTYPE, u32(2)), attr(NL80211_ATTR_SSID, raw(33, 'x'))}),
         bad_attributes},
        {"a 2-byte interface index", message(NL80211_CMD_DISCONNECT, {attr(NL80211_ATTR_IFINDEX, {3, 0})}),
         bad_attributes},
        {"an attribute longer than the message", message(NL80211_CMD_DISCONNECT, {ifindex(), attr(71, {}, 64)}),
         bad_attributes},
        // The flags in the type are masked: a nested-flagged 2-byte index is still the index.
        {"a flagged 2-byte interface index",
         message(NL80211_CMD_DISCONNECT, {attr(NL80211_ATTR_IFINDEX | NLA_F_NESTED, {3, 0})}), bad_attributes},
        {"a roam without an address", message(NL80211_CMD_ROAM, {ifindex()}), incomplete},
        {"an interface message without a type", message(NL80211_CMD_SET_INTERFACE, {ifindex()}), incomplete},
        {"a scan entry with a short BSSID",
         message(NL80211_CMD_NEW_SCAN_RESULTS,
                 {ifindex(), attr(NL80211_ATTR_BSS, cat({attr(NL80211_BSS_BSSID, {1, 2, 3}),
                                                         attr(NL80211_BSS_STATUS, u32(1))}))}),
         bad_attributes},
        {"a scan entry not associated", scan_entry(kOther, false), not_associated},
        {"a message longer than the datagram", raw(kConnected.begin(), kConnected.end() - 4), cut_message},
        {"no room for the generic header", cat({u32(18), u16(kFamily), u16(0), u32(0), u32(0), {46, 1, 0, 0}}),
         short_message},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const wl_decoded d = decode_all(r.datagram);
        EXPECT_TRUE(d.events.empty());
        EXPECT_EQ(d.drops, std::vector<wl_drop>{r.why});
    }

    // A malformed message costs only itself: the next one in the datagram still counts.
    const auto e = decode(cat({rows[5].datagram, kDisconnected}));
    ASSERT_EQ(e.size(), 1u);
    EXPECT_TRUE(is_ap(e[0], kZero));

    // No such interface matches nothing.
    EXPECT_EQ(decode_all(cat({kConnected, kDisconnected}), 0).drops,
              (std::vector<wl_drop>{wl_drop::other_interface, wl_drop::other_interface}));
}

}  // namespace
