// What the forging tools share: naming an interface, the RDNSS option, the netlink multicast.
#pragma once

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
