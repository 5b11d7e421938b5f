// ND user option notifications as the kernel lays them out, and the decoder's view of them, for
// the decoder's tests.
#pragma once

#include "kl_decode.h"
#include "wire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace nd {

using tt::raw;
using tt::cat;

inline constexpr unsigned kWatched = 7;

inline void append(raw& d, std::initializer_list<uint8_t> b) { d.insert(d.end(), b); }

inline void append_addr(raw& d, const char* text)
{
    in6_addr a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, &a), 1) << text;
    d.insert(d.end(), a.s6_addr, a.s6_addr + 16);
}

// An RDNSS option (RFC 8106): type 25, length in 8-octet units, reserved, lifetime, addresses.
inline raw rdnss(uint32_t lifetime, std::initializer_list<const char*> servers, int units = -1)
{
    raw o;
    const int len = units >= 0 ? units : 1 + 2 * static_cast<int>(servers.size());
    append(o, {25, static_cast<uint8_t>(len), 0, 0});
    append(o, {uint8_t(lifetime >> 24), uint8_t(lifetime >> 16), uint8_t(lifetime >> 8), uint8_t(lifetime)});
    for (const char* s : servers)
        append_addr(o, s);
    return o;
}

struct header {
    uint8_t family = 10;  // AF_INET6
    int32_t ifindex = kWatched;
    uint8_t type = 134;   // Router Advertisement
    uint8_t code = 0;
    int opts_len = -1;    // -1: the length of the options given
};

// nlmsghdr (16) + nduseroptmsg (16) + options, integers in host order as the kernel sends them.
inline raw notification(const raw& options, header h = {})
{
    raw d(32, 0);
    const uint32_t total = 32 + options.size();
    std::memcpy(&d[0], &total, 4);
    const uint16_t nl_type = 68;  // RTM_NEWNDUSEROPT
    std::memcpy(&d[4], &nl_type, 2);
    d[16] = h.family;
    const uint16_t opts_len = h.opts_len >= 0 ? h.opts_len : options.size();
    std::memcpy(&d[18], &opts_len, 2);
    std::memcpy(&d[20], &h.ifindex, 4);
    d[24] = h.type;
    d[25] = h.code;
    d.insert(d.end(), options.begin(), options.end());
    return d;
}

inline kl_decoded decode_all(const raw& d, unsigned watched = kWatched)
{
    return kl_decode(as_bytes_of(d.data(), d.size()), watched);
}

inline std::vector<rdnss_report> decode(const raw& d, unsigned watched = kWatched) { return decode_all(d, watched).rdnss; }

// Nothing came out, and for the one reason given.
inline ::testing::AssertionResult dropped_for(const raw& d, kl_drop why, unsigned watched = kWatched)
{
    const kl_decoded r = decode_all(d, watched);
    if (!r.rdnss.empty() || !r.dnssl.empty() || !r.pref64.empty() || !r.portal.empty())
        return ::testing::AssertionFailure() << "reports came out";
    if (r.drops != 1u << static_cast<unsigned>(why))
        return ::testing::AssertionFailure() << "drops 0x" << std::hex << r.drops;
    return ::testing::AssertionSuccess();
}

inline std::string text(const in6_addr& a)
{
    char buf[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, &a, buf, sizeof buf);
}

inline std::vector<std::string> servers(const rdnss_report& r)
{
    std::vector<std::string> out;
    for (int i = 0; i < r.count && i < kMaxServers; ++i)
        out.push_back(text(r.addr[i]));
    return out;
}

using strings = std::vector<std::string>;

}  // namespace nd
