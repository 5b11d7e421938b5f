// The two ways the monitor learns the association, behind one table chosen once by wl_init:
// Wireless Extensions (ioctls, and events inside link notifications) where the kernel serves
// them on the interface, else nl80211 (requests, and its connection and interface events).
#pragma once

#include "wl_decode.h"

#include <span>

// The watched interface, by name and by the index being followed.
struct wl_target {
    const char* name;
    unsigned index;
};

struct wl_way {
    // Access point and mode as the driver has them now; false after naming the failed request.
    bool (*read_state)(const wl_target& t, wl_bssid& bssid, int32_t& mode);
    // The network's name; false after naming the failed request, the field then cleared.
    bool (*read_essid)(const wl_target& t, wl_essid& essid);
    // The socket the events come on, and how one datagram of it decodes.
    int (*events_fd)();
    wl_decoded (*decode)(bytes datagram, const wl_watch& watch);
    // MSG_TRUNC where a datagram can outgrow the buffer, so that its loss is noticed.
    int recv_flags;
};

// How a way's start went: refused means this kernel does not serve it here, nothing printed.
enum class wl_probe : uint8_t { ok, refused, failed };

// Wireless Extensions (wl_wext.cpp): the link notification socket (kept open when already
// open), and the range query that says whether the kernel serves them on the interface and
// learns the extensions version.
extern const wl_way wl_wext_way;
bool wl_wext_open();
void wl_wext_close();
wl_probe wl_wext_probe(const char* name, std::span<std::byte> buffer);
bool wl_wext_version_ok();
// The link notification socket: on the nl80211 way too, where it tells removals and renames
// (nl80211 names an interface only as it was created, and has no event for a rename).
int wl_links_fd();

// nl80211 (wl_nl80211.cpp): its event socket; refused, silently, when the kernel has no nl80211.
extern const wl_way wl_nl80211_way;
wl_probe wl_nl_probe();
void wl_nl_close();
