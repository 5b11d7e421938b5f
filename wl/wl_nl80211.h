// The wireless monitor's nl80211 side: the event socket subscribed to the connection and
// interface groups, and one-off requests about the watched interface. Used where the kernel
// refuses Wireless Extensions on the interface (multi-link radios, drivers without them).
#pragma once

#include "wl_nl80211_decode.h"

#include <cstdint>
#include <vector>

// Resolves the nl80211 family and subscribes a close-on-exec socket to its "mlme" (connect,
// roam, disconnect) and "config" (interface changes) groups. False, silently, when the kernel
// has no nl80211 or the socket cannot be set up; nothing stays open then.
bool wl_nl_open();
void wl_nl_close();
int wl_nl_fd();
uint16_t wl_nl_family();

// Sends one request about the interface (a dump when asked) on a socket of its own and decodes
// every reply. False with errno set when the request could not be made or the kernel refused it;
// a dump the kernel flags as interrupted is asked again, EAGAIN when it stays so.
bool wl_nl_request(uint8_t cmd, bool dump, unsigned ifindex, std::vector<wl_nl_event>& out);
