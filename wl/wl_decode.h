// Decoders of what the kernel says about the watched interface, both into one event type: link
// notifications carrying Wireless Extensions events (here) and nl80211 messages
// (wl_nl80211_decode.h). Pure: bytes in, events out, no socket and no module state, so tests
// and fuzzers call the same code the monitor thread calls.
#pragma once

#include "bytes.h"

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

using wl_bssid = std::array<uint8_t, 6>;
using wl_essid = std::array<char, 33>;  // NUL-terminated, at most 32 bytes of name

// One fact about the watched interface; everything else is dropped while decoding.
struct wl_event {
    enum class kind : uint8_t {
        // The interface's operating mode as the IW_MODE_* value Wireless Extensions report:
        // a mode event, or an nl80211 interface message (with the SSID when it carries one).
        mode,
        // The access point now (an access-point event, nl80211 connect, roam or disconnect):
        // for a multi-link connection the access point MLD address; all zero when none.
        access_point,
        // A scan dump entry the interface is associated with: its address as above, and the
        // SSID of its information elements when they name one. Only requests answer these.
        current_bss,
        // The kernel says the followed interface was removed (RTM_DELLINK of the link itself,
        // nl80211 DEL_INTERFACE); the monitor believes it once the index no longer names it.
        gone,
        // An interface of the watched name with another index: index is the one to follow.
        appeared,
    };
    kind what;
    int32_t mode;
    wl_bssid bssid;
    bool has_essid;
    wl_essid essid;
    unsigned index;
};

// What the monitor follows: the index of the interface (0: none, matches nothing) and the
// name under which an interface may appear again.
struct wl_watch {
    unsigned index;
    std::string_view name;
};

// Why a decoder dropped a message or an event, so tests can assert the rule that fired.
enum class wl_drop : uint8_t {
    cut_message,      // a message length below its header or past the datagram: the rest is lost
    other_type,       // a message type the monitor does not follow (or another netlink family)
    other_family,     // a link removal of an address family (a bridge letting go of its port)
    short_message,    // too short for its fixed headers
    bad_attributes,   // the attribute walk ended early, or an attribute has the wrong size
    no_index,         // an nl80211 message that names no interface
    other_interface,  // another interface's, or no interface is watched
    bad_event,        // an event libiw cannot decode: the rest of its stream is lost with it
    other_event,      // an event or command of no interest
    incomplete,       // lacks the attribute that carries its meaning (a roam without address)
    not_associated,   // a scan entry of an access point the interface is not associated with
};

struct wl_decoded {
    std::vector<wl_event> events;  // in the order the kernel sent them
    std::vector<wl_drop> drops;    // one per message or event dropped
};

// All-zero, all-0x44 and all-0xFF addresses are what drivers report for "no access point".
bool wl_bssid_valid(const wl_bssid& bssid);

// Extensions version from a SIOCGIWRANGE reply (the bytes the kernel said it filled): replies
// shorter than 300 bytes come from kernels before the version field existed, taken as 9.
int wl_range_version(bytes range);

// The events for the watched interface in one received datagram: the Wireless Extensions
// events of its RTM_NEWLINK messages, its RTM_DELLINK, and an RTM_NEWLINK that names it under
// a new index. With kWlLinksOnly as the version the Wireless Extensions events are left out
// (where nl80211 reports the association, link notifications tell removals and renames only).
inline constexpr int kWlLinksOnly = 0;
wl_decoded wl_decode_link(bytes datagram, const wl_watch& watch, int we_version);

// Whether an IFLA_IFNAME / NL80211_ATTR_IFNAME payload (NUL-terminated) names the interface.
bool wl_names(bytes ifname, std::string_view name);
