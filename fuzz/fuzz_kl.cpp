// ND user option datagrams: every server report holds 1 to 4 distinct servers taken from the
// datagram, none of them unspecified, loopback, multicast or IPv4-mapped; every search list report
// holds 1 to 6 distinct names of at most 253 characters, NUL-terminated, of nothing but
// [a-z0-9._-], with no empty label and no label that starts or ends with a hyphen; every NAT64
// prefix has one of the six lengths and no bit set past it; every portal URI is 1 to 255 bytes of
// printable ASCII without blanks, zeros behind it.
#include "kl_decode.h"

#include <cstdlib>
#include <cstring>

namespace {

void check_name(const domain_name& n)
{
    const size_t len = strnlen(n.data(), n.size());
    if (len == 0 || len > 253 || n[0] == '.' || n[len - 1] == '.' || std::strstr(n.data(), "..") != nullptr)
        std::abort();
    for (size_t i = 0; i < len; ++i) {
        const char c = n[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-'))
            std::abort();
        const bool label_edge = i == 0 || i + 1 == len || n[i - 1] == '.' || n[i + 1] == '.';
        if (c == '-' && label_edge)
            std::abort();
    }
}

void check_names(const dnssl_report& r)
{
    if (r.count < 1 || r.count > kMaxDomains)
        std::abort();
    for (int i = 0; i < r.count; ++i) {
        check_name(r.name[i]);
        for (int k = 0; k < i; ++k)
            if (std::strcmp(r.name[i].data(), r.name[k].data()) == 0)
                std::abort();
    }
    static constexpr domain_name empty{};
    for (int i = r.count; i < kMaxDomains; ++i)
        if (r.name[i] != empty)
            std::abort();
}

void check_pref64(const pref64_report& r)
{
    const int32_t len = r.prefix.length;
    if (len != 96 && len != 64 && len != 56 && len != 48 && len != 40 && len != 32)
        std::abort();
    for (int32_t bit = len; bit < 128; ++bit)
        if (r.prefix.prefix.s6_addr[bit / 8] & (0x80u >> (bit % 8)))
            std::abort();
}

void check_portal(const portal_uri& r)
{
    const size_t len = strnlen(r.uri.data(), r.uri.size());
    if (len == 0 || len >= r.uri.size())
        std::abort();
    for (size_t i = 0; i < r.uri.size(); ++i) {
        const auto c = static_cast<unsigned char>(r.uri[i]);
        if (i < len ? (c < 0x21 || c > 0x7e) : c != 0)
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The watched index comes from the input too, so both matching and foreign datagrams occur.
    if (size < 1)
        return 0;
    const unsigned watched = data[0] % 4;
    const bytes datagram = as_bytes_of(data + 1, size - 1);
    const kl_decoded d = kl_decode(datagram, watched);
    for (const dnssl_report& r : d.dnssl)
        check_names(r);
    for (const pref64_report& r : d.pref64)
        check_pref64(r);
    for (const portal_uri& r : d.portal)
        check_portal(r);
    for (const rdnss_report& r : d.rdnss) {
        if (r.count < 1 || r.count > kMaxServers)
            std::abort();
        for (int i = 0; i < r.count; ++i) {
            const in6_addr& a = r.addr[i];
            if (IN6_IS_ADDR_UNSPECIFIED(&a) || IN6_IS_ADDR_LOOPBACK(&a) || IN6_IS_ADDR_MULTICAST(&a) ||
                IN6_IS_ADDR_V4MAPPED(&a))
                std::abort();
            if (r.lifetime[i] != r.lifetime[0] || memmem(datagram.data(), datagram.size(), &r.addr[i], 16) == nullptr)
                std::abort();
            for (int k = 0; k < i; ++k)
                if (std::memcmp(&r.addr[i], &r.addr[k], 16) == 0)
                    std::abort();
        }
        for (int i = r.count; i < kMaxServers; ++i) {
            static constexpr in6_addr zero{};
            if (r.lifetime[i] != 0 || std::memcmp(&r.addr[i], &zero, sizeof zero) != 0)
                std::abort();
        }
    }
    return 0;
}
