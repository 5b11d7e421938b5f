// Decoding of link notifications into the Wireless Extensions events the monitor follows.
// Pure: bytes in, events out, no socket and no module state, so tests and fuzzers call the
// same code the monitor thread calls.
#pragma once

#include "bytes.h"

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

using wl_bssid = std::array<uint8_t, 6>;

// One event that matters to the monitor; every other event is dropped while decoding.
struct wl_event {
    enum class kind : uint8_t { mode, access_point };
    kind what;
    int32_t mode;    // kind::mode: the IW_MODE_* value the interface switched to
    wl_bssid bssid;  // kind::access_point: the address the driver reported, valid or not
};

// All-zero, all-0x44 and all-0xFF addresses are what drivers report for "no access point".
bool wl_bssid_valid(const wl_bssid& bssid);

// Extensions version from a SIOCGIWRANGE reply (the bytes the kernel said it filled): replies
// shorter than 300 bytes come from kernels before the version field existed, taken as 9.
int wl_range_version(bytes range);

// The events for the watched interface in one received datagram, in order. watched_index is
// asked afresh for every RTM_NEWLINK message (the interface may come and go between them); 0
// stands for "no such interface" and matches nothing. Other message types, other interfaces
// and malformed messages, attributes or events are skipped.
std::vector<wl_event> wl_decode_link(bytes datagram, const std::function<unsigned()>& watched_index,
                                     int we_version);
