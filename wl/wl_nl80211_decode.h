// Decoding of nl80211 messages (events and request replies) into the monitor's events: an
// interface message gives the mode (and the SSID it carries), connect, roam and disconnect the
// access point, a scan dump entry the access point the interface is associated with.
#pragma once

#include "wl_decode.h"

#include <optional>

// The events for the watched interface in one datagram, and a NEW_INTERFACE that names it under
// a new index. Messages count only when their type is the nl80211 family's number; one whose
// attributes are malformed is dropped whole.
wl_decoded wl_decode_nl80211(bytes datagram, uint16_t family, const wl_watch& watch);

// The network's name from a scan dump's associated entry, else from the interface request's SSID
// (a hidden network, or a dump that failed: scan is null then); nullopt when neither names one.
std::optional<wl_essid> wl_nl_essid(const wl_decoded* scan, const wl_decoded& iface);
