// ND user option datagrams: every report holds 1 to 4 distinct servers taken from the datagram,
// none of them unspecified, loopback or multicast.
#include "kl_decode.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The watched index comes from the input too, so both matching and foreign datagrams occur.
    if (size < 1)
        return 0;
    const unsigned watched = data[0] % 4;
    const bytes datagram = as_bytes_of(data + 1, size - 1);
    for (const rdnss_report& r : kl_decode(datagram, watched).rdnss) {
        if (r.count < 1 || r.count > kMaxServers)
            std::abort();
        for (int i = 0; i < r.count; ++i) {
            const in6_addr& a = r.addr[i];
            if (IN6_IS_ADDR_UNSPECIFIED(&a) || IN6_IS_ADDR_LOOPBACK(&a) || IN6_IS_ADDR_MULTICAST(&a))
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
