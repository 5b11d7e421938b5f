// Received ICMPv6 messages with their control data: an accepted one is always a Router
// Advertisement of at least its fixed size from the watched interface, and never arrived with a
// hop limit other than 255.
#include "rq_decode.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Byte 0: watched index and source scope (0 to 3 each); byte 1: control data length.
    if (size < 2)
        return 0;
    const unsigned watched = data[0] & 3;
    const uint32_t scope = (data[0] >> 2) & 3;
    const size_t control_len = std::min<size_t>(data[1], size - 2);
    // Aligned for a cmsghdr, as the watcher's own buffer is.
    auto control = std::make_unique<cmsghdr[]>(control_len / sizeof(cmsghdr) + 1);
    std::memcpy(control.get(), data + 2, control_len);
    const bytes packet = as_bytes_of(data + 2 + control_len, size - 2 - control_len);
    const ra_verdict v = rq_decode(packet, as_bytes_of(control.get(), control_len), scope, watched);
    if (v != ra_verdict::accepted)
        return 0;
    if (packet.size() < 16 || static_cast<uint8_t>(packet[0]) != 134 || packet[1] != std::byte{0})
        std::abort();
    if (watched == 0 || scope != watched)
        std::abort();
    // Every complete hop-limit message in the control data says 255.
    for (size_t at = 0; at + CMSG_LEN(sizeof(int)) <= control_len;) {
        cmsghdr h;
        std::memcpy(&h, reinterpret_cast<const uint8_t*>(control.get()) + at, sizeof h);
        if (h.cmsg_len < sizeof h || h.cmsg_len > control_len - at)
            break;
        int hops = 255;
        if (h.cmsg_level == IPPROTO_IPV6 && h.cmsg_type == IPV6_HOPLIMIT && h.cmsg_len >= CMSG_LEN(sizeof(int)))
            std::memcpy(&hops, reinterpret_cast<const uint8_t*>(control.get()) + at + CMSG_LEN(0), sizeof hops);
        if (hops != 255)
            std::abort();
        at += CMSG_ALIGN(h.cmsg_len);
    }
    return 0;
}
