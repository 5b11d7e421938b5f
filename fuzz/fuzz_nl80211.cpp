// nl80211 messages (events and request replies), walked with the shared bounds-checked reader:
// events come out only for the watched interface, and every address or name they carry was
// in the input.
#include "wl_nl80211_decode.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t kFamily = 0x22;  // the number the seeds use

bool in_input(bytes input, const void* p, size_t n)
{
    return memmem(input.data(), input.size(), p, n) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned watched = data[0] % 4;
    const bytes datagram = as_bytes_of(data + 1, size - 1);
    const wl_decoded out = wl_decode_nl80211(datagram, kFamily, {watched, "wlan0"});
    // One event or one reason per message (at least 16 bytes each), one more for a cut walk.
    if (out.events.size() + out.drops.size() > datagram.size() / 16 + 1)
        std::abort();
    if (datagram.size() >= 16 && out.events.empty() && out.drops.empty())
        std::abort();
    const wl_bssid zero{};
    for (const wl_event& e : out.events) {
        if (watched == 0 && e.what != wl_event::kind::appeared)
            std::abort();
        switch (e.what) {
        case wl_event::kind::gone:
            if (e.index != watched || e.bssid != zero || e.has_essid)
                std::abort();
            break;
        case wl_event::kind::appeared:
            if (e.index == watched || e.index == 0 || e.bssid != zero || e.has_essid)
                std::abort();
            break;
        case wl_event::kind::mode:
            if (e.mode < -1 || e.mode > 7 || e.bssid != zero)
                std::abort();
            break;
        case wl_event::kind::access_point:
            if (e.has_essid)
                std::abort();
            [[fallthrough]];
        case wl_event::kind::current_bss:
            if (e.bssid != zero && !in_input(datagram, e.bssid.data(), e.bssid.size()))
                std::abort();
            break;
        default:
            std::abort();
        }
        // A name is terminated, present only when the message carried one, and taken from it.
        const size_t len = strnlen(e.essid.data(), e.essid.size());
        if (len == e.essid.size() || (!e.has_essid && len != 0))
            std::abort();
        if (len != 0 && !in_input(datagram, e.essid.data(), len))
            std::abort();
    }
    return 0;
}
