#include "wl_decode.h"

#include "wl_walk.h"

#include <iwlib.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstddef>

namespace {

// Link notification: the nlmsghdr, then the ifinfomsg, then route attributes.
constexpr size_t kNlHeader = sizeof(nlmsghdr);
constexpr size_t kTypeAt = offsetof(nlmsghdr, nlmsg_type);
constexpr size_t kLinkHeader = kNlHeader + sizeof(ifinfomsg);
constexpr size_t kIfIndexAt = kNlHeader + offsetof(ifinfomsg, ifi_index);
static_assert(kNlHeader == 16 && kTypeAt == 4 && kLinkHeader == 32 && kIfIndexAt == 20);
constexpr size_t kRangeVersionAt = offsetof(iw_range, we_version_compiled);
constexpr size_t kRangeVersionMin = 300;
static_assert(kRangeVersionAt == 280);

// libiw's fix-up for events laid out by a 64-bit kernel reads up to 4 bytes past the end it
// checked; decoding from a copy with zeroed slack keeps such reads inside our own memory.
constexpr size_t kIwOverreadSlack = 16;

wl_event we_event(const iw_event& iwe)
{
    wl_event ev{wl_event::kind::mode, static_cast<int32_t>(iwe.u.mode), {}, false, {}};
    if (iwe.cmd == SIOCGIWAP) {
        ev = {wl_event::kind::access_point, 0, {}, false, {}};
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

void decode_message(bytes msg, unsigned watched, int we_version, wl_decoded& out)
{
    if (read_at<uint16_t>(msg, kTypeAt) != RTM_NEWLINK)
        return out.drops.push_back(wl_drop::other_type);
    if (msg.size() < kLinkHeader)
        return out.drops.push_back(wl_drop::short_message);
    if (watched == 0 || read_at<int32_t>(msg, kIfIndexAt) != static_cast<int32_t>(watched))
        return out.drops.push_back(wl_drop::other_interface);
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

wl_decoded wl_decode_link(bytes datagram, unsigned watched, int we_version)
{
    wl_decoded out;
    if (!wl_walk(datagram, kNetlinkMessages, [&](bytes msg) { decode_message(msg, watched, we_version, out); }))
        out.drops.push_back(wl_drop::cut_message);
    return out;
}
