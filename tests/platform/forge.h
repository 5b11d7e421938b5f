// What the forging tools share: naming an interface, the RDNSS option, the netlink multicast.
#pragma once

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// Prints the usage line; the exit status of a usage error.
inline int forge_usage(const char* line)
{
    std::fprintf(stderr, "usage: %s\n", line);
    return 2;
}

// An interface by name, or a decimal index taken as is so a test can name one that does not
// exist; false, with a message, for an unknown name.
inline bool forge_ifindex(const char* tool, const char* iface, long& index)
{
    char* end = nullptr;
    index = std::strtol(iface, &end, 10);
    if (*end == '\0' && *iface != '\0')
        return true;
    index = if_nametoindex(iface);
    if (index == 0)
        std::fprintf(stderr, "%s: no interface %s\n", tool, iface);
    return index != 0;
}

// Appends an RDNSS option (RFC 8106: type 25, length 1 + 2 per address, reserved, lifetime,
// addresses) for the addresses given as text; false on one that is not IPv6.
inline bool forge_rdnss(std::vector<uint8_t>& out, unsigned long lifetime, char** first, char** last)
{
    const uint32_t lt = htonl(static_cast<uint32_t>(lifetime));
    out.insert(out.end(), {25, static_cast<uint8_t>(1 + 2 * (last - first)), 0, 0});
    out.insert(out.end(), reinterpret_cast<const uint8_t*>(&lt), reinterpret_cast<const uint8_t*>(&lt) + 4);
    for (; first != last; ++first) {
        in6_addr a{};
        if (inet_pton(AF_INET6, *first, &a) != 1)
            return false;
        out.insert(out.end(), a.s6_addr, a.s6_addr + 16);
    }
    return true;
}

// Multicasts one datagram `count` times to rtnetlink groups; 0 when all were sent, else 1.
inline int forge_multicast(const std::vector<uint8_t>& dgram, uint32_t groups, long count)
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        perror("socket AF_NETLINK");
        return 1;
    }
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_groups = groups;
    for (long i = 0; i < count; ++i) {
        if (sendto(fd, dgram.data(), dgram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
            perror("sendto");
            close(fd);
            return 1;
        }
    }
    close(fd);
    return 0;
}

// Pads an option started at `at` with zeros to whole units of 8 bytes and sets its length byte.
inline void forge_close_option(std::vector<uint8_t>& out, size_t at)
{
    out.resize(at + (out.size() - at + 7) / 8 * 8, 0);
    out[at + 1] = static_cast<uint8_t>((out.size() - at) / 8);
}

// Appends a DNSSL option (RFC 8106: type 31, reserved, lifetime, one name in wire format).
inline bool forge_dnssl(std::vector<uint8_t>& out, unsigned long lifetime, const char* name)
{
    const size_t at = out.size();
    const uint32_t lt = static_cast<uint32_t>(lifetime);
    out.insert(out.end(), {31, 0, 0, 0, uint8_t(lt >> 24), uint8_t(lt >> 16), uint8_t(lt >> 8), uint8_t(lt)});
    for (const char* label = name; *label != '\0';) {
        const char* dot = label;
        while (*dot != '\0' && *dot != '.')
            ++dot;
        if (dot == label || dot - label > 63)
            return false;
        out.push_back(static_cast<uint8_t>(dot - label));
        out.insert(out.end(), label, dot);
        label = *dot == '.' ? dot + 1 : dot;
    }
    out.push_back(0);
    forge_close_option(out, at);
    return true;
}

// Appends a PREF64 option (RFC 8781: type 38, length 2, scaled lifetime and prefix length code,
// the prefix's first 96 bits) for "PREFIX/LEN"; code, when not negative, replaces the one LEN
// gives. False on a prefix that is not IPv6 or a length without a code.
inline bool forge_pref64(std::vector<uint8_t>& out, unsigned long lifetime, const char* text, int code)
{
    char addr[INET6_ADDRSTRLEN] = {};
    unsigned len = 96;
    if (std::sscanf(text, "%45[0-9a-fA-F:.]/%u", addr, &len) < 1)
        return false;
    in6_addr prefix{};
    if (inet_pton(AF_INET6, addr, &prefix) != 1)
        return false;
    static constexpr unsigned kLengths[] = {96, 64, 56, 48, 40, 32};
    for (int c = 0; code < 0 && c < 6; ++c)
        if (kLengths[c] == len)
            code = c;
    if (code < 0)
        return false;
    const unsigned scaled = std::min(lifetime / 8, 0x1fffUL);
    const uint16_t word = static_cast<uint16_t>(scaled << 3 | (static_cast<unsigned>(code) & 7));
    out.insert(out.end(), {38, 2, uint8_t(word >> 8), uint8_t(word)});
    out.insert(out.end(), prefix.s6_addr, prefix.s6_addr + 12);
    return true;
}

// Appends a captive portal option (RFC 8910: type 37, the URI, zero-padded).
inline void forge_portal(std::vector<uint8_t>& out, const char* uri)
{
    const size_t at = out.size();
    out.insert(out.end(), {37, 0});
    out.insert(out.end(), uri, uri + std::strlen(uri));
    forge_close_option(out, at);
}
