#include "kl_netinfo.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

namespace {

// RFC 8781 4: type, length 2, then 13 bits of lifetime in units of 8 s and 3 bits of prefix
// length code, then the prefix's first 96 bits.
constexpr size_t kPref64Size = 16;
constexpr size_t kScaledAt = 2;
constexpr size_t kPrefixAt = 4;
constexpr unsigned kLifetimeUnit = 8;
constexpr std::array<int32_t, 6> kPrefixLengths = {96, 64, 56, 48, 40, 32};  // by code

// RFC 8910 2.3: the URI follows type and length, padded with zeros to whole units.
constexpr size_t kUriAt = 2;

// Clears every bit past the first `length`: whatever a router put there is not the prefix.
in6_addr masked(in6_addr a, int32_t length)
{
    for (int32_t bit = length; bit < 128; ++bit)
        a.s6_addr[bit / 8] &= static_cast<uint8_t>(~(0x80u >> (bit % 8)));
    return a;
}

bool printable(std::byte b) { return b >= std::byte{0x21} && b <= std::byte{0x7e}; }

}  // namespace

void kl_take_pref64(bytes opt, kl_decoded& out)
{
    if (opt.size() != kPref64Size) {
        out.drop(kl_drop::pref64_length);
        return;
    }
    const uint16_t word = ntohs(*read_at<uint16_t>(opt, kScaledAt));
    const unsigned code = word & 0x7u;
    if (code >= kPrefixLengths.size()) {
        out.drop(kl_drop::pref64_code);
        return;
    }
    pref64_report r{};
    std::copy_n(opt.begin() + kPrefixAt, kPref64Size - kPrefixAt, reinterpret_cast<std::byte*>(r.prefix.prefix.s6_addr));
    r.prefix.length = kPrefixLengths[code];
    r.prefix.prefix = masked(r.prefix.prefix, r.prefix.length);
    r.lifetime = (word >> 3) * kLifetimeUnit;
    out.pref64.push_back(r);
}

// The URI ends at the first zero; only zeros may follow it. A URI that is empty, too long or
// holds a byte outside printable ASCII (a blank or a line break would reach the hook's
// environment and whatever reads it) drops the option.
void kl_take_portal(bytes opt, kl_decoded& out)
{
    const bytes rest = opt.subspan(std::min(opt.size(), kUriAt));
    const auto end = std::find(rest.begin(), rest.end(), std::byte{0});
    const auto uri = rest.first(static_cast<size_t>(end - rest.begin()));
    portal_uri r{};
    if (uri.empty() || uri.size() >= r.uri.size()) {
        out.drop(kl_drop::portal_length);
        return;
    }
    if (!std::all_of(uri.begin(), uri.end(), printable) ||
        !std::all_of(end, rest.end(), [](std::byte b) { return b == std::byte{0}; })) {
        out.drop(kl_drop::portal_unsafe);
        return;
    }
    std::transform(uri.begin(), uri.end(), r.uri.begin(), [](std::byte b) { return static_cast<char>(b); });
    out.portal.push_back(r);
}
