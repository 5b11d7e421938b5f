// The client's listing of a LIST reply: one line per counted slot, each parsing back to it.
#include "ctl_reply.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < sizeof(ctl_list_reply))
        return 0;
    ctl_list_reply reply;
    std::memcpy(&reply, data, sizeof reply);
    std::vector<std::string> lines{"stale"};
    const bool ok = ctl_reply_lines(reply, lines);
    if (ok != (ns_valid_count(reply.v6.count) && ns_valid_count(reply.v4.count)))
        std::abort();
    if (!ok) {
        if (!lines.empty())
            std::abort();
        return 0;
    }
    if (lines.size() != static_cast<size_t>(reply.v6.count + reply.v4.count))
        std::abort();
    for (size_t i = 0; i < lines.size(); ++i) {
        const bool v6 = i < static_cast<size_t>(reply.v6.count);
        std::array<uint8_t, 16> back{};
        if (inet_pton(v6 ? AF_INET6 : AF_INET, lines[i].c_str(), back.data()) != 1)
            std::abort();
        const void* slot = v6 ? static_cast<const void*>(&reply.v6.addr[i])
                              : static_cast<const void*>(&reply.v4.addr[i - reply.v6.count]);
        if (std::memcmp(back.data(), slot, v6 ? 16 : 4) != 0)
            std::abort();
    }
    return 0;
}
