#include "wl_nl80211_decode.h"

#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <linux/wireless.h>
#include <netlink/attr.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

// Generic netlink: the nlmsghdr, then the genlmsghdr (nl80211 has no family header of its own),
// then the attributes.
constexpr size_t kNlHeader = NLMSG_HDRLEN;
constexpr size_t kTypeAt = offsetof(nlmsghdr, nlmsg_type);
constexpr size_t kCmdAt = kNlHeader + offsetof(genlmsghdr, cmd);
constexpr size_t kAttrsAt = kNlHeader + GENL_HDRLEN;
static_assert(kNlHeader == 16 && kTypeAt == 4 && kCmdAt == 16 && kAttrsAt == 20);

constexpr uint16_t kMacLen = 6;
constexpr uint16_t kSsidMax = 32;
static_assert(sizeof(wl_essid) == kSsidMax + 1);

// Lengths are checked here, by nla_parse, before any attribute is read: an attribute of a type
// below whose length is off makes the whole message malformed.
const nla_policy* attr_policy()
{
    static const auto policy = [] {
        std::array<nla_policy, NL80211_ATTR_MAX + 1> p{};
        p[NL80211_ATTR_IFINDEX] = {NLA_U32, 0, 0};
        p[NL80211_ATTR_IFTYPE] = {NLA_U32, 0, 0};
        p[NL80211_ATTR_SSID] = {NLA_UNSPEC, 0, kSsidMax};
        p[NL80211_ATTR_MAC] = {NLA_UNSPEC, kMacLen, kMacLen};
        p[NL80211_ATTR_MLD_ADDR] = {NLA_UNSPEC, kMacLen, kMacLen};
        p[NL80211_ATTR_STATUS_CODE] = {NLA_U16, 0, 0};
        p[NL80211_ATTR_BSS] = {NLA_NESTED, 0, 0};
        return p;
    }();
    return policy.data();
}

const nla_policy* bss_policy()
{
    static const auto policy = [] {
        std::array<nla_policy, NL80211_BSS_MAX + 1> p{};
        p[NL80211_BSS_BSSID] = {NLA_UNSPEC, kMacLen, kMacLen};
        p[NL80211_BSS_STATUS] = {NLA_U32, 0, 0};
        p[NL80211_BSS_MLD_ADDR] = {NLA_UNSPEC, kMacLen, kMacLen};
        p[NL80211_BSS_INFORMATION_ELEMENTS] = {NLA_UNSPEC, 0, 0};
        p[NL80211_BSS_BEACON_IES] = {NLA_UNSPEC, 0, 0};
        return p;
    }();
    return policy.data();
}

// nla_parse with the policy, and the attributes must fill the span: libnl stops quietly at one
// that overruns it, which makes the whole message malformed here.
bool parse_all(nlattr** tb, int maxtype, nlattr* head, int len, const nla_policy* policy)
{
    int rem = len;
    for (const nlattr* a = head; nla_ok(a, rem); a = nla_next(a, &rem)) {
    }
    return rem <= 0 && nla_parse(tb, maxtype, head, len, policy) == 0;
}

wl_bssid mac_of(const nlattr* a)
{
    wl_bssid m{};
    std::memcpy(m.data(), nla_data(a), m.size());
    return m;
}

// Information elements (IEEE 802.11 9.4.2): one byte id, one byte length, then the data.
constexpr tlv_rule kElements{2, 2, 1, [](bytes b) -> size_t { return 2 + size_t{byte_at(b, 1)}; }};
constexpr uint8_t kSsidElement = 0;

// The SSID element of a BSS's information elements, as Wireless Extensions name the network of
// the access point. False when there is none or it is empty (a hidden network's beacon).
bool ssid_of(const nlattr* ies, wl_essid& out)
{
    tlv_walker elements(as_bytes_of(nla_data(ies), static_cast<size_t>(nla_len(ies))), kElements);
    while (auto e = elements.next()) {
        if (byte_at(*e, 0) != kSsidElement)
            continue;
        const bytes name = e->subspan(2);
        if (name.empty() || name.size() > kSsidMax)
            return false;
        out.fill('\0');
        std::memcpy(out.data(), name.data(), name.size());
        return true;
    }
    return false;
}

// The IW_MODE_* value cfg80211 reports for an interface type over Wireless Extensions.
int32_t iw_mode_of(uint32_t iftype)
{
    switch (iftype) {
    case NL80211_IFTYPE_STATION:
        return IW_MODE_INFRA;
    case NL80211_IFTYPE_ADHOC:
        return IW_MODE_ADHOC;
    case NL80211_IFTYPE_AP:
        return IW_MODE_MASTER;
    case NL80211_IFTYPE_WDS:
        return IW_MODE_REPEAT;
    case NL80211_IFTYPE_AP_VLAN:
        return IW_MODE_SECOND;
    case NL80211_IFTYPE_MONITOR:
        return IW_MODE_MONITOR;
    case NL80211_IFTYPE_MESH_POINT:
        return IW_MODE_MESH;
    default:
        return IW_MODE_AUTO;
    }
}

// The connected address: the access point MLD's for a multi-link connection, else the BSSID.
bool ap_address(nlattr* const* tb, wl_bssid& out)
{
    if (tb[NL80211_ATTR_MLD_ADDR] != nullptr)
        out = mac_of(tb[NL80211_ATTR_MLD_ADDR]);
    else if (tb[NL80211_ATTR_MAC] != nullptr)
        out = mac_of(tb[NL80211_ATTR_MAC]);
    else
        return false;
    return true;
}

// One entry of a scan dump: only the access point the interface is associated with counts, as
// its MLD address on a multi-link connection, with the network's name from its SSID element.
bool decode_bss(nlattr* nest, wl_nl_event& ev)
{
    nlattr* bss[NL80211_BSS_MAX + 1];
    if (nest == nullptr ||
        !parse_all(bss, NL80211_BSS_MAX, static_cast<nlattr*>(nla_data(nest)), nla_len(nest), bss_policy()))
        return false;
    if (bss[NL80211_BSS_STATUS] == nullptr || nla_get_u32(bss[NL80211_BSS_STATUS]) != NL80211_BSS_STATUS_ASSOCIATED)
        return false;
    ev.what = wl_nl_event::kind::current_bss;
    if (bss[NL80211_BSS_MLD_ADDR] != nullptr)
        ev.bssid = mac_of(bss[NL80211_BSS_MLD_ADDR]);
    else if (bss[NL80211_BSS_BSSID] != nullptr)
        ev.bssid = mac_of(bss[NL80211_BSS_BSSID]);
    else
        return false;
    for (const int which : {NL80211_BSS_INFORMATION_ELEMENTS, NL80211_BSS_BEACON_IES}) {
        if (bss[which] != nullptr && ssid_of(bss[which], ev.essid)) {
            ev.has_essid = true;
            break;
        }
    }
    return true;
}

bool decode_message(uint8_t cmd, nlattr** tb, wl_nl_event& ev)
{
    ev = {wl_nl_event::kind::mode, -1, {}, false, {}};
    switch (cmd) {
    case NL80211_CMD_NEW_INTERFACE:
    case NL80211_CMD_SET_INTERFACE:
        if (tb[NL80211_ATTR_IFTYPE] == nullptr)
            return false;
        ev.mode = iw_mode_of(nla_get_u32(tb[NL80211_ATTR_IFTYPE]));
        if (nlattr* ssid = tb[NL80211_ATTR_SSID]) {
            ev.has_essid = true;
            std::memcpy(ev.essid.data(), nla_data(ssid), static_cast<size_t>(nla_len(ssid)));
        }
        return true;
    case NL80211_CMD_DEL_INTERFACE:
        return true;
    case NL80211_CMD_CONNECT:
        ev.what = wl_nl_event::kind::access_point;
        // A failed attempt reports the address it tried: not connected all the same.
        if (tb[NL80211_ATTR_STATUS_CODE] != nullptr && nla_get_u16(tb[NL80211_ATTR_STATUS_CODE]) != 0)
            return true;
        return ap_address(tb, ev.bssid);
    case NL80211_CMD_ROAM:
        ev.what = wl_nl_event::kind::access_point;
        return ap_address(tb, ev.bssid);
    case NL80211_CMD_DISCONNECT:
        ev.what = wl_nl_event::kind::access_point;
        return true;
    case NL80211_CMD_NEW_SCAN_RESULTS:
        return decode_bss(tb[NL80211_ATTR_BSS], ev);
    default:
        return false;
    }
}

}  // namespace

std::vector<wl_nl_event> wl_decode_nl80211(bytes datagram, uint16_t family,
                                           const std::function<unsigned()>& watched_index)
{
    std::vector<wl_nl_event> out;
    // The walker has checked each message's length against the datagram before libnl sees it.
    tlv_walker messages(datagram, kNetlinkMessages);
    while (auto msg = messages.next()) {
        if (read_at<uint16_t>(*msg, kTypeAt) != family || msg->size() < kAttrsAt)
            continue;
        // libnl reads attribute headers in place: give it a copy aligned for them.
        std::vector<uint32_t> copy((msg->size() + 3) / 4, 0);
        std::memcpy(copy.data(), msg->data(), msg->size());
        auto* base = reinterpret_cast<unsigned char*>(copy.data());
        nlattr* tb[NL80211_ATTR_MAX + 1];
        if (!parse_all(tb, NL80211_ATTR_MAX, reinterpret_cast<nlattr*>(base + kAttrsAt),
                       static_cast<int>(msg->size() - kAttrsAt), attr_policy()))
            continue;
        if (tb[NL80211_ATTR_IFINDEX] == nullptr)
            continue;
        const unsigned index = watched_index();
        if (index == 0 || nla_get_u32(tb[NL80211_ATTR_IFINDEX]) != index)
            continue;
        wl_nl_event ev;
        if (decode_message(base[kCmdAt], tb, ev))
            out.push_back(ev);
    }
    return out;
}
