// Building blocks for decoder tests that write messages out byte by byte, in host order as the
// kernel sends them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tt {

using raw = std::vector<uint8_t>;

// A netlink attribute: length (the one given, else header and payload), type, payload, padding
// to four bytes.
inline raw attr(uint16_t type, const raw& payload, int len = -1)
{
    const uint16_t l = len >= 0 ? static_cast<uint16_t>(len) : static_cast<uint16_t>(4 + payload.size());
    raw a = {uint8_t(l), uint8_t(l >> 8), uint8_t(type), uint8_t(type >> 8)};
    a.insert(a.end(), payload.begin(), payload.end());
    a.resize((a.size() + 3) & ~size_t{3}, 0);
    return a;
}

inline raw cat(std::initializer_list<raw> parts)
{
    raw r;
    for (const raw& p : parts)
        r.insert(r.end(), p.begin(), p.end());
    return r;
}

}  // namespace tt
