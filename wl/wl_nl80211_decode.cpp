#include "wl_nl80211_decode.h"

#include "wl_walk.h"

#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <linux/wireless.h>

#include <algorithm>
#include <cstddef>
#include <limits>

namespace {

// Generic netlink: the nlmsghdr, then the genlmsghdr (nl80211 has no family header of its own),
// then the attributes.
constexpr size_t kNlHeader = NLMSG_HDRLEN;
constexpr size_t kTypeAt = offsetof(nlmsghdr, nlmsg_type);
constexpr size_t kCmdAt = kNlHeader + offsetof(genlmsghdr, cmd);
constexpr size_t kAttrsAt = kNlHeader + GENL_HDRLEN;
static_assert(kNlHeader == 16 && kTypeAt == 4 && kCmdAt == 16 && kAttrsAt == 20);

constexpr size_t kMacLen = 6;
constexpr size_t kSsidMax = 32;
constexpr size_t kAny = std::numeric_limits<size_t>::max();
static_assert(sizeof(wl_essid) == kSsidMax + 1);

// An attribute kept, and the payload sizes that make it well-formed.
struct attr_rule {
    uint16_t type;
    size_t min, max;
};

enum top_attr : size_t { a_ifindex, a_iftype, a_ssid, a_mac, a_mld, a_status, a_bss, a_ifname, kTopAttrs };
constexpr std::array<attr_rule, kTopAttrs> kTopRules{{
    {NL80211_ATTR_IFINDEX, 4, kAny},
    {NL80211_ATTR_IFTYPE, 4, kAny},
    {NL80211_ATTR_SSID, 0, kSsidMax},
    {NL80211_ATTR_MAC, kMacLen, kMacLen},
    {NL80211_ATTR_MLD_ADDR, kMacLen, kMacLen},
    {NL80211_ATTR_STATUS_CODE, 2, kAny},
    {NL80211_ATTR_BSS, 0, kAny},
    {NL80211_ATTR_IFNAME, 0, kAny},
}};

enum bss_attr : size_t { b_bssid, b_status, b_mld, b_ies, b_beacon_ies, kBssAttrs };
constexpr std::array<attr_rule, kBssAttrs> kBssRules{{
    {NL80211_BSS_BSSID, kMacLen, kMacLen},
    {NL80211_BSS_STATUS, 4, kAny},
    {NL80211_BSS_MLD_ADDR, kMacLen, kMacLen},
    {NL80211_BSS_INFORMATION_ELEMENTS, 0, kAny},
    {NL80211_BSS_BEACON_IES, 0, kAny},
}};

template <size_t N>
using attr_table = std::array<std::optional<bytes>, N>;

// The payloads of the kept attributes (the last of a repeated type). False when the walk ended
// early or a kept attribute has the wrong size: the whole message is malformed then.
template <size_t N>
bool parse(bytes area, const std::array<attr_rule, N>& rules, attr_table<N>& out)
{
    bool sized = true;
    const bool whole = wl_walk(area, kRouteAttributes, [&](bytes attr) {
        const bytes payload = wl_attr_payload(attr);
        for (size_t i = 0; i < N; ++i) {
            if (rules[i].type != wl_attr_type(attr))
                continue;
            sized = sized && payload.size() >= rules[i].min && payload.size() <= rules[i].max;
            out[i] = payload;
        }
    });
    return whole && sized;
}

uint32_t u32_of(bytes b) { return read_at<uint32_t>(b, 0).value_or(0); }
uint16_t u16_of(bytes b) { return read_at<uint16_t>(b, 0).value_or(0); }

wl_bssid mac_of(bytes b)
{
    wl_bssid m{};
    std::transform(b.begin(), b.begin() + kMacLen, m.begin(), [](std::byte x) { return static_cast<uint8_t>(x); });
    return m;
}

void set_essid(bytes name, wl_event& ev)
{
    ev.has_essid = true;
    ev.essid.fill('\0');
    std::transform(name.begin(), name.end(), ev.essid.begin(), [](std::byte x) { return static_cast<char>(x); });
}

// Information elements (IEEE 802.11 9.4.2): one byte id, one byte length, then the data.
constexpr tlv_rule kElements{2, 2, 1, [](bytes b) -> size_t { return 2 + size_t{byte_at(b, 1)}; }};
constexpr uint8_t kSsidElement = 0;

// The SSID element of a BSS's information elements, as Wireless Extensions name the network of
// the access point. Nothing when there is none or it is empty (a hidden network's beacon).
void ssid_of(bytes ies, wl_event& ev)
{
    tlv_walker elements(ies, kElements);
    while (auto e = elements.next()) {
        if (byte_at(*e, 0) != kSsidElement)
            continue;
        const bytes name = e->subspan(2);
        if (!name.empty() && name.size() <= kSsidMax)
            set_essid(name, ev);
        return;
    }
}

// The connected address: the access point MLD's on a multi-link connection, else the BSSID.
bool mld_else_bssid(const std::optional<bytes>& mld, const std::optional<bytes>& bssid, wl_bssid& out)
{
    const std::optional<bytes>& a = mld ? mld : bssid;
    if (a)
        out = mac_of(*a);
    return a.has_value();
}

// The IW_MODE_* value cfg80211 reports for an interface type over Wireless Extensions.
int32_t iw_mode_of(uint32_t iftype)
{
    switch (iftype) {
    case NL80211_IFTYPE_STATION: return IW_MODE_INFRA;
    case NL80211_IFTYPE_ADHOC: return IW_MODE_ADHOC;
    case NL80211_IFTYPE_AP: return IW_MODE_MASTER;
    case NL80211_IFTYPE_WDS: return IW_MODE_REPEAT;
    case NL80211_IFTYPE_AP_VLAN: return IW_MODE_SECOND;
    case NL80211_IFTYPE_MONITOR: return IW_MODE_MONITOR;
    case NL80211_IFTYPE_MESH_POINT: return IW_MODE_MESH;
    default: return IW_MODE_AUTO;
    }
}

// What decided a message: nothing when it gave an event, else why it was dropped.
using verdict = std::optional<wl_drop>;
constexpr verdict kKept = std::nullopt;

// One entry of a scan dump: only the access point the interface is associated with counts.
verdict decode_bss(const std::optional<bytes>& nest, wl_event& ev)
{
    attr_table<kBssAttrs> bss{};
    if (!nest)
        return wl_drop::incomplete;
    if (!parse(*nest, kBssRules, bss))
        return wl_drop::bad_attributes;
    if (!bss[b_status] || u32_of(*bss[b_status]) != NL80211_BSS_STATUS_ASSOCIATED)
        return wl_drop::not_associated;
    ev.what = wl_event::kind::current_bss;
    if (!mld_else_bssid(bss[b_mld], bss[b_bssid], ev.bssid))
        return wl_drop::incomplete;
    for (const size_t ies : {b_ies, b_beacon_ies})
        if (bss[ies] && !ev.has_essid)
            ssid_of(*bss[ies], ev);
    return kKept;
}

verdict decode_interface(const attr_table<kTopAttrs>& tb, wl_event& ev)
{
    if (!tb[a_iftype])
        return wl_drop::incomplete;
    ev.mode = iw_mode_of(u32_of(*tb[a_iftype]));
    if (tb[a_ssid])
        set_essid(*tb[a_ssid], ev);
    return kKept;
}

verdict decode_command(uint8_t cmd, const attr_table<kTopAttrs>& tb, wl_event& ev)
{
    ev = {wl_event::kind::mode, -1, {}, false, {}, 0};
    switch (cmd) {
    case NL80211_CMD_NEW_INTERFACE:
    case NL80211_CMD_SET_INTERFACE:
        return decode_interface(tb, ev);
    case NL80211_CMD_DEL_INTERFACE:
        ev.what = wl_event::kind::gone;
        ev.index = u32_of(*tb[a_ifindex]);
        return kKept;
    case NL80211_CMD_CONNECT:
        ev.what = wl_event::kind::access_point;
        // A failed attempt reports the address it tried: not connected all the same.
        if (tb[a_status] && u16_of(*tb[a_status]) != 0)
            return kKept;
        return mld_else_bssid(tb[a_mld], tb[a_mac], ev.bssid) ? kKept : wl_drop::incomplete;
    case NL80211_CMD_ROAM:
        ev.what = wl_event::kind::access_point;
        return mld_else_bssid(tb[a_mld], tb[a_mac], ev.bssid) ? kKept : wl_drop::incomplete;
    case NL80211_CMD_DISCONNECT:
        ev.what = wl_event::kind::access_point;
        return kKept;
    case NL80211_CMD_NEW_SCAN_RESULTS:
        return decode_bss(tb[a_bss], ev);
    default:
        return wl_drop::other_event;
    }
}

// Another interface's message: an interface of the watched name appeared when it names it.
verdict decode_other(uint8_t cmd, const attr_table<kTopAttrs>& tb, unsigned index, std::string_view name,
                     wl_event& ev)
{
    if (cmd != NL80211_CMD_NEW_INTERFACE || index == 0 || !tb[a_ifname] || !wl_names(*tb[a_ifname], name))
        return wl_drop::other_interface;
    ev = {wl_event::kind::appeared, 0, {}, false, {}, index};
    return kKept;
}

verdict decode_message(bytes msg, uint16_t family, const wl_watch& watch, wl_event& ev)
{
    if (read_at<uint16_t>(msg, kTypeAt) != family)
        return wl_drop::other_type;
    if (msg.size() < kAttrsAt)
        return wl_drop::short_message;
    attr_table<kTopAttrs> tb{};
    if (!parse(msg.subspan(kAttrsAt), kTopRules, tb))
        return wl_drop::bad_attributes;
    if (!tb[a_ifindex])
        return wl_drop::no_index;
    const uint32_t index = u32_of(*tb[a_ifindex]);
    if (watch.index == 0 || index != watch.index)
        return decode_other(byte_at(msg, kCmdAt), tb, index, watch.name, ev);
    return decode_command(byte_at(msg, kCmdAt), tb, ev);
}

}  // namespace

wl_decoded wl_decode_nl80211(bytes datagram, uint16_t family, const wl_watch& watch)
{
    wl_decoded out;
    const bool whole = wl_walk(datagram, kNetlinkMessages, [&](bytes msg) {
        wl_event ev{};
        if (const verdict v = decode_message(msg, family, watch, ev))
            out.drops.push_back(*v);
        else
            out.events.push_back(ev);
    });
    if (!whole)
        out.drops.push_back(wl_drop::cut_message);
    return out;
}

std::optional<wl_essid> wl_nl_essid(const wl_decoded* scan, const wl_decoded& iface)
{
    using kind = wl_event::kind;
    for (const auto& [from, what] : {std::pair{scan, kind::current_bss}, std::pair{&iface, kind::mode}}) {
        if (from == nullptr)
            continue;
        for (const wl_event& ev : from->events)
            if (ev.what == what && ev.has_essid)
                return ev.essid;
    }
    return std::nullopt;
}
