#include "wl_decode.h"

#include "wl_walk.h"

#include <iwlib.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>

namespace {

// Link notification: the nlmsghdr, then the ifinfomsg, then route attributes.
constexpr size_t kNlHeader = sizeof(nlmsghdr);
constexpr size_t kTypeAt = offsetof(nlmsghdr, nlmsg_type);
constexpr size_t kLinkHeader = kNlHeader + sizeof(ifinfomsg);
constexpr size_t kFamilyAt = kNlHeader + offsetof(ifinfomsg, ifi_family);
constexpr size_t kIfIndexAt = kNlHeader + offsetof(ifinfomsg, ifi_index);
static_assert(kNlHeader == 16 && kTypeAt == 4 && kLinkHeader == 32 && kFamilyAt == 16 && kIfIndexAt == 20);
constexpr size_t kRangeVersionAt = offsetof(iw_range, we_version_compiled);
constexpr size_t kRangeVersionMin = 300;
static_assert(kRangeVersionAt == 280);

// libiw's fix-up for events laid out by a 64-bit kernel reads up to 4 bytes past the end it
// checked; decoding from a copy with zeroed slack keeps such reads inside our own memory.
constexpr size_t kIwOverreadSlack = 16;

wl_event we_event(const iw_event& iwe)
{
    wl_event ev{wl_event::kind::mode, static_cast<int32_t>(iwe.u.mode), {}, false, {}, 0};
    if (iwe.cmd == SIOCGIWAP) {
        ev = {wl_event::kind::access_point, 0, {}, false, {}, 0};
        std::copy_n(reinterpret_cast<const uint8_t*>(iwe.u.ap_addr.sa_data), ev.bssid.size(), ev.bssid.begin());
    }
    return ev;
}

void decode_stream(bytes payload, int we_version, wl_decoded& out)
{
    std::vector<char> copy(payload.size() + kIwOverreadSlack, '\0');
    std::transform(payload.begin(), payload.end(), copy.begin(),
                   [](std::byte b) { return static_cast<char>(b); });

    stream_descr stream{};
    iw_init_event_stream(&stream, copy.data(), static_cast<int>(payload.size()));
    iw_event iwe{};
    int rc;
    while ((rc = iw_extract_event_stream(&stream, &iwe, we_version)) > 0) {
        if (iwe.cmd == SIOCSIWMODE || iwe.cmd == SIOCGIWAP)
            out.events.push_back(we_event(iwe));
        else
            out.drops.push_back(wl_drop::other_event);
    }
    if (rc < 0)
        out.drops.push_back(wl_drop::bad_event);
}

// Another interface's link message: an interface of the watched name appeared when it names it.
void decode_other(bytes msg, unsigned index, std::string_view name, wl_decoded& out)
{
    bool named = false;
    const bool whole = wl_walk(msg.subspan(kLinkHeader), kRouteAttributes, [&](bytes attr) {
        named = named || (wl_attr_type(attr) == IFLA_IFNAME && wl_names(wl_attr_payload(attr), name));
    });
    if (!whole)
        out.drops.push_back(wl_drop::bad_attributes);
    else if (named && index != 0)
        out.events.push_back({wl_event::kind::appeared, 0, {}, false, {}, index});
    else
        out.drops.push_back(wl_drop::other_interface);
}

void decode_message(bytes msg, const wl_watch& watch, int we_version, wl_decoded& out)
{
    const auto type = read_at<uint16_t>(msg, kTypeAt);
    if (type != RTM_NEWLINK && type != RTM_DELLINK)
        return out.drops.push_back(wl_drop::other_type);
    if (msg.size() < kLinkHeader)
        return out.drops.push_back(wl_drop::short_message);
    const auto index = static_cast<unsigned>(read_at<int32_t>(msg, kIfIndexAt).value_or(0));
    if (watch.index == 0 || index != watch.index)
        return type == RTM_NEWLINK ? decode_other(msg, index, watch.name, out)
                                   : out.drops.push_back(wl_drop::other_interface);
    // Only the link's own removal has no family: a bridge releasing the interface sends one of
    // AF_BRIDGE while the interface stays.
    if (type == RTM_DELLINK)
        return byte_at(msg, kFamilyAt) == AF_UNSPEC
                   ? out.events.push_back({wl_event::kind::gone, 0, {}, false, {}, index})
                   : out.drops.push_back(wl_drop::other_family);
    if (we_version == kWlLinksOnly)
        return;
    // Events of attributes before a malformed one stand: the kernel sent them as they are.
    const bool whole = wl_walk(msg.subspan(kLinkHeader), kRouteAttributes, [&](bytes attr) {
        if (wl_attr_type(attr) == IFLA_WIRELESS)
            decode_stream(wl_attr_payload(attr), we_version, out);
    });
    if (!whole)
        out.drops.push_back(wl_drop::bad_attributes);
}

}  // namespace

bool wl_bssid_valid(const wl_bssid& bssid)
{
    for (uint8_t none : {0x00, 0x44, 0xFF})
        if (std::all_of(bssid.begin(), bssid.end(), [none](uint8_t b) { return b == none; }))
            return false;
    return true;
}

int wl_range_version(bytes range)
{
    if (range.size() < kRangeVersionMin)
        return 9;
    return byte_at(range, kRangeVersionAt);
}

bool wl_names(bytes ifname, std::string_view name)
{
    if (name.empty() || ifname.size() < name.size() + 1 || byte_at(ifname, name.size()) != 0)
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (byte_at(ifname, i) != static_cast<uint8_t>(name[i]))
            return false;
    return true;
}

wl_decoded wl_decode_link(bytes datagram, const wl_watch& watch, int we_version)
{
    wl_decoded out;
    if (!wl_walk(datagram, kNetlinkMessages, [&](bytes msg) { decode_message(msg, watch, we_version, out); }))
        out.drops.push_back(wl_drop::cut_message);
    return out;
}
