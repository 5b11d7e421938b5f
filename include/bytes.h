// One bounds-checked way to read received bytes: netlink messages, attributes, ND options.
// Nothing else in the daemon does pointer arithmetic on kernel data.
#pragma once

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/icmp6.h>

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
            cut_ = true;
            return std::nullopt;
        }
        bytes elem = rest_.first(len);
        const size_t step = (len + rule_.align - 1) / rule_.align * rule_.align;
        rest_ = step >= rest_.size() ? bytes{} : rest_.subspan(step);
        return elem;
    }

    // Whether the walk ended on a malformed element rather than at the end of the bytes.
    bool cut() const { return cut_; }

private:
    bytes rest_;
    tlv_rule rule_;
    bool cut_ = false;
};

// Netlink messages in a datagram: the header's 32-bit length first, aligned to NLMSG_ALIGNTO.
inline constexpr tlv_rule kNetlinkMessages{
    NLMSG_HDRLEN, NLMSG_HDRLEN, NLMSG_ALIGNTO, [](bytes b) -> size_t {
        return *read_at<decltype(nlmsghdr::nlmsg_len)>(b, offsetof(nlmsghdr, nlmsg_len));
    }};
static_assert(NLMSG_HDRLEN == 16 && NLMSG_ALIGNTO == 4);

// Route attributes: the header's 16-bit length first, aligned to RTA_ALIGNTO.
inline constexpr tlv_rule kRouteAttributes{
    RTA_LENGTH(0), RTA_LENGTH(0), RTA_ALIGNTO,
    [](bytes b) -> size_t { return *read_at<decltype(rtattr::rta_len)>(b, offsetof(rtattr, rta_len)); }};
static_assert(RTA_LENGTH(0) == 4 && RTA_ALIGNTO == 4);

// ND options (RFC 4861 4.6): the length byte counts units of 8 octets; zero is invalid.
inline constexpr size_t kNdOptionUnit = 8;
inline constexpr tlv_rule kNdOptions{
    sizeof(nd_opt_hdr), kNdOptionUnit, 1,
    [](bytes b) -> size_t { return size_t{byte_at(b, offsetof(nd_opt_hdr, nd_opt_len))} * kNdOptionUnit; }};
static_assert(sizeof(nd_opt_hdr) == 2 && offsetof(nd_opt_hdr, nd_opt_len) == 1);
