#include "wl_decode.h"

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
constexpr size_t kRtaHeader = sizeof(rtattr);
constexpr size_t kRtaTypeAt = offsetof(rtattr, rta_type);
static_assert(kNlHeader == 16 && kTypeAt == 4 && kLinkHeader == 32 && kIfIndexAt == 20);
static_assert(kRtaHeader == 4 && kRtaTypeAt == 2);
constexpr size_t kRangeVersionAt = offsetof(iw_range, we_version_compiled);
constexpr size_t kRangeVersionMin = 300;
static_assert(kRangeVersionAt == 280);

// libiw's fix-up for events laid out by a 64-bit kernel reads up to 4 bytes past the end it
// checked; decoding from a copy with zeroed slack keeps such reads inside our own memory.
constexpr size_t kIwOverreadSlack = 16;

void wl_decode_stream(bytes payload, int we_version, std::vector<wl_event>& out)
{
    std::vector<char> copy(payload.size() + kIwOverreadSlack, '\0');
    std::transform(payload.begin(), payload.end(), copy.begin(),
                   [](std::byte b) { return static_cast<char>(b); });

    stream_descr stream{};
    iw_init_event_stream(&stream, copy.data(), static_cast<int>(payload.size()));
    iw_event iwe{};
    while (iw_extract_event_stream(&stream, &iwe, we_version) > 0) {
        if (iwe.cmd == SIOCSIWMODE) {
            out.push_back({wl_event::kind::mode, static_cast<int32_t>(iwe.u.mode), {}});
        } else if (iwe.cmd == SIOCGIWAP) {
            wl_event ev{wl_event::kind::access_point, 0, {}};
            std::copy_n(reinterpret_cast<const uint8_t*>(iwe.u.ap_addr.sa_data), ev.bssid.size(),
                        ev.bssid.begin());
            out.push_back(ev);
        }
    }
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

std::vector<wl_event> wl_decode_link(bytes datagram, const std::function<unsigned()>& watched_index,
                                     int we_version)
{
    std::vector<wl_event> out;
    tlv_walker messages(datagram, kNetlinkMessages);
    while (auto msg = messages.next()) {
        if (read_at<uint16_t>(*msg, kTypeAt) != RTM_NEWLINK || msg->size() < kLinkHeader)
            continue;
        const unsigned index = watched_index();
        if (index == 0 || read_at<int32_t>(*msg, kIfIndexAt) != static_cast<int32_t>(index))
            continue;
        tlv_walker attrs(msg->subspan(kLinkHeader), kRouteAttributes);
        while (auto attr = attrs.next())
            if (read_at<uint16_t>(*attr, kRtaTypeAt) == IFLA_WIRELESS)
                wl_decode_stream(attr->subspan(kRtaHeader), we_version, out);
    }
    return out;
}
