// Decoding of nl80211 messages (events and request replies) into what they mean for the
// association. Pure: bytes in, events out, no socket and no module state, so tests and fuzzers
// call the same code the monitor thread calls.
#pragma once

#include "bytes.h"
#include "wl_decode.h"

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

using wl_essid = std::array<char, 33>;  // NUL-terminated, at most 32 bytes of name

struct wl_nl_event {
    enum class kind : uint8_t {
        // NEW_INTERFACE (also the reply to GET_INTERFACE), SET_INTERFACE, DEL_INTERFACE: the
        // interface's type as the IW_MODE_* value Wireless Extensions would report for it, -1
        // once the interface is gone; the SSID when the message carries one.
        mode,
        // CONNECT, ROAM, DISCONNECT: the access point, for a multi-link connection the access
        // point MLD address; all zero after a failed connection attempt or a disconnection.
        access_point,
        // A scan entry (GET_SCAN dump) the interface is associated with: its BSSID, or the
        // access point MLD address when the entry is one link of a multi-link connection; the
        // SSID of its information elements when they name one.
        current_bss,
    };
    kind what;
    int32_t mode;
    wl_bssid bssid;
    bool has_essid;
    wl_essid essid;
};

// The events for the watched interface in one received datagram, in order. Messages count only
// when their type is the nl80211 family's number and their NL80211_ATTR_IFINDEX equals
// watched_index, asked afresh for every such message (0 stands for "no such interface" and
// matches nothing). Other messages and malformed messages or attributes are skipped.
std::vector<wl_nl_event> wl_decode_nl80211(bytes datagram, uint16_t family,
                                           const std::function<unsigned()>& watched_index);
