// Link notifications with Wireless Extensions events, decoded through libiw: events come out
// only for the watched interface, of the two kinds the monitor follows.
#include "wl_decode.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const unsigned watched = data[0] % 4;
    const int we_version = data[1] % 32;  // old and new event layouts both
    const bytes datagram = as_bytes_of(data + 2, size - 2);
    const wl_decoded out = wl_decode_link(datagram, {watched, "wlan0"}, we_version);
    // A datagram too short for one message says nothing and breaks no rule.
    if (datagram.size() < 16 && !(out.events.empty() && out.drops.empty()))
        std::abort();
    for (const wl_event& e : out.events) {
        // Only a new interface of the name comes out while none is followed; removal is the
        // followed one's, a return is under another index.
        if (watched == 0 && e.what != wl_event::kind::appeared)
            std::abort();
        if ((e.what == wl_event::kind::gone && e.index != watched) ||
            (e.what == wl_event::kind::appeared && (e.index == watched || e.index == 0)) ||
            e.what == wl_event::kind::current_bss)
            std::abort();
        if (e.what == wl_event::kind::access_point &&
            memmem(datagram.data(), datagram.size(), e.bssid.data(), e.bssid.size()) == nullptr)
            std::abort();
    }
    return 0;
}
