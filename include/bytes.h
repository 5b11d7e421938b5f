// One bounds-checked way to read received bytes: netlink messages, attributes, ND options.
// Nothing else in the daemon does pointer arithmetic on kernel data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

using bytes = std::span<const std::byte>;

inline bytes as_bytes_of(const void* p, size_t n)
{
    return {static_cast<const std::byte*>(p), n};
}

// Copies a fixed-size value out of a span at an offset; nullopt when it does not fit.
template <typename T>
std::optional<T> read_at(bytes b, size_t offset)
{
    if (offset > b.size() || b.size() - offset < sizeof(T))
        return std::nullopt;
    T v;
    std::memcpy(&v, b.data() + offset, sizeof(T));
    return v;
}

inline uint8_t byte_at(bytes b, size_t offset)
{
    return offset < b.size() ? static_cast<uint8_t>(b[offset]) : 0;
}

// Rules of one type-length-value format.
struct tlv_rule {
    size_t header;                 // bytes needed to read an element's length
    size_t min_len;                // a shorter element ends the walk (catches zero lengths)
    size_t align;                  // the next element starts at the length rounded up to this
    size_t (*length)(bytes elem);  // total length of the element, header included
};

// Walks elements front to back. A length below the minimum or beyond the bytes left ends the
// walk for good, so a malformed element can never make a reader step outside the span.
class tlv_walker {
public:
    tlv_walker(bytes b, const tlv_rule& rule) : rest_(b), rule_(rule) {}

    std::optional<bytes> next()
    {
        if (rest_.size() < rule_.header)
            return std::nullopt;
        const size_t len = rule_.length(rest_);
        if (len < rule_.min_len || len > rest_.size()) {
            rest_ = {};
            return std::nullopt;
        }
        bytes elem = rest_.first(len);
        const size_t step = (len + rule_.align - 1) / rule_.align * rule_.align;
        rest_ = step >= rest_.size() ? bytes{} : rest_.subspan(step);
        return elem;
    }

private:
    bytes rest_;
    tlv_rule rule_;
};

// Netlink messages in a datagram: 16-byte header, 32-bit length first, 4-byte alignment.
inline constexpr tlv_rule kNetlinkMessages{
    16, 16, 4, [](bytes b) -> size_t { return *read_at<uint32_t>(b, 0); }};

// Route attributes: 4-byte header, 16-bit length first, 4-byte alignment.
inline constexpr tlv_rule kRouteAttributes{
    4, 4, 4, [](bytes b) -> size_t { return *read_at<uint16_t>(b, 0); }};

// ND options (RFC 4861 4.6): length byte in units of 8 octets; zero is invalid.
inline constexpr tlv_rule kNdOptions{
    2, 8, 1, [](bytes b) -> size_t { return size_t{byte_at(b, 1)} * 8; }};
