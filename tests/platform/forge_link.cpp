// forge_link: multicasts forged link notifications carrying Wireless Extensions events, as the
// kernel sends them when a Wi-Fi interface associates, so the wireless monitor can be driven on
// a machine without Wi-Fi. Needs root (CAP_NET_ADMIN) in the network namespace it runs in;
// listeners of rtnetlink group 1 (RTMGRP_LINK) in that namespace receive the messages.
//
// Usage: forge_link [-d] [-s] [-n COUNT] IFACE [EVENT...]
//   IFACE  interface name (resolved in the current namespace) or a decimal index (used as is,
//          need not exist: any index stands for "another interface")
//   EVENT  ap=XX:XX:XX:XX:XX:XX  SIOCGIWAP event with that BSSID (association, or loss with zeros)
//          mode=N                SIOCSIWMODE event with IW_MODE_* value N (2 managed, 1 ad-hoc)
//          scan                  SIOCGIWSCAN event without payload (ignored by the monitor)
//          raw=HEX               these bytes appended to the event stream verbatim (malformed input)
//   -d        RTM_DELLINK instead of RTM_NEWLINK
//   -s        one message per event, all in one datagram (default: every event in the one
//             IFLA_WIRELESS attribute of a single message)
//   -n COUNT  send the datagram COUNT times, as fast as possible (flooding; default 1)
// Events are laid out as a 64-bit kernel lays them out (struct iw_event header padded to 8
// bytes). Exit status 0 when every datagram was sent, 1 on a failure, 2 on a usage error.
// Example: ip netns exec lab forge_link wlan0 mode=2 ap=00:11:22:33:44:55
#include "forge.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using buffer = std::vector<uint8_t>;

constexpr uint16_t kSiocsiwmode = 0x8B06;
constexpr uint16_t kSiocgiwap = 0x8B15;
constexpr uint16_t kSiocgiwscan = 0x8B19;
constexpr uint16_t kIflaWireless = 11;
// A 64-bit kernel pads the 4-byte len/cmd header of struct iw_event to 8 bytes.
constexpr size_t kEventHeader = 8;

template <typename T>
void put(buffer& b, T v)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    b.insert(b.end(), p, p + sizeof v);
}

void put_event(buffer& b, uint16_t cmd, const buffer& body)
{
    put<uint16_t>(b, static_cast<uint16_t>(kEventHeader + body.size()));
    put<uint16_t>(b, cmd);
    put<uint32_t>(b, 0);
    b.insert(b.end(), body.begin(), body.end());
}

bool parse_hex(const std::string& s, buffer& out)
{
    if (s.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = s.substr(i, 2);
        const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0')
            return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

// One event as the kernel would put it into the IFLA_WIRELESS stream; false if not understood.
bool encode_event(const std::string& arg, buffer& stream)
{
    if (arg.rfind("ap=", 0) == 0) {
        unsigned m[6];
        char tail;
        if (std::sscanf(arg.c_str() + 3, "%x:%x:%x:%x:%x:%x%c", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5],
                        &tail) != 6)
            return false;
        buffer sa;
        put<uint16_t>(sa, ARPHRD_ETHER);  // struct sockaddr: family, then 14 data bytes
        for (unsigned v : m)
            sa.push_back(static_cast<uint8_t>(v));
        sa.resize(16, 0);
        put_event(stream, kSiocgiwap, sa);
        return true;
    }
    if (arg.rfind("mode=", 0) == 0) {
        char* end = nullptr;
        const long mode = std::strtol(arg.c_str() + 5, &end, 0);
        if (*end != '\0' || end == arg.c_str() + 5)
            return false;
        buffer v;
        put<uint32_t>(v, static_cast<uint32_t>(mode));
        put_event(stream, kSiocsiwmode, v);
        return true;
    }
    if (arg == "scan") {
        buffer point(8, 0);  // struct iw_point without its pointer: length 0, flags 0, padding
        put_event(stream, kSiocgiwscan, point);
        return true;
    }
    if (arg.rfind("raw=", 0) == 0)
        return parse_hex(arg.substr(4), stream);
    return false;
}

void put_message(buffer& dgram, uint16_t type, int32_t index, const buffer& stream)
{
    const size_t attr_len = 4 + stream.size();
    const size_t msg_len = 16 + 16 + ((attr_len + 3) & ~size_t{3});
    put<uint32_t>(dgram, static_cast<uint32_t>(msg_len));
    put<uint16_t>(dgram, type);
    put<uint16_t>(dgram, 0);  // flags: no NLM_F_REQUEST, so the kernel's own rtnetlink ignores it
    put<uint32_t>(dgram, 0);  // sequence
    put<uint32_t>(dgram, 0);  // port id
    ifinfomsg ifi{};
    ifi.ifi_family = AF_UNSPEC;
    ifi.ifi_type = ARPHRD_ETHER;
    ifi.ifi_index = index;
    ifi.ifi_flags = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST;
    put(dgram, ifi);
    put<uint16_t>(dgram, static_cast<uint16_t>(attr_len));
    put<uint16_t>(dgram, kIflaWireless);
    dgram.insert(dgram.end(), stream.begin(), stream.end());
    dgram.resize((dgram.size() + 3) & ~size_t{3}, 0);
}

[[noreturn]] void usage()
{
    std::exit(forge_usage("forge_link [-d] [-s] [-n COUNT] IFACE [ap=XX:XX:XX:XX:XX:XX | mode=N | scan | raw=HEX]..."));
}

}  // namespace

int main(int argc, char** argv)
{
    uint16_t type = RTM_NEWLINK;
    bool split = false;
    long count = 1;
    int opt;
    while ((opt = getopt(argc, argv, "dsn:")) != -1) {
        switch (opt) {
        case 'd':
            type = RTM_DELLINK;
            break;
        case 's':
            split = true;
            break;
        case 'n': {
            char* end = nullptr;
            count = std::strtol(optarg, &end, 10);
            if (*end != '\0' || count < 1)
                usage();
            break;
        }
        default:
            usage();
        }
    }
    if (optind >= argc)
        usage();

    long index = 0;
    if (!forge_ifindex("forge_link", argv[optind++], index))
        return 1;

    buffer dgram;
    buffer stream;
    for (int i = optind; i < argc; ++i) {
        buffer one;
        if (!encode_event(argv[i], one)) {
            std::fprintf(stderr, "forge_link: bad event %s\n", argv[i]);
            usage();
        }
        if (split)
            put_message(dgram, type, static_cast<int32_t>(index), one);
        else
            stream.insert(stream.end(), one.begin(), one.end());
    }
    if (!split || dgram.empty())
        put_message(dgram, type, static_cast<int32_t>(index), stream);

    return forge_multicast(dgram, RTMGRP_LINK, count);
}
