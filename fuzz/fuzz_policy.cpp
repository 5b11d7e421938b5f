// Policy file reader on arbitrary file contents: what it keeps must be well formed.
#include "policy.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = [] {
        const int f = memfd_create("policy", 0);
        if (f < 0)
            std::abort();
        return f;
    }();
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();

    policy_list list = policy_read(path.c_str());
    for (const policy_entry* e = list; e != nullptr; e = e->next) {
        if (e->flags & ~(POLICY_ANY_SSID | POLICY_ANY_BSSID | POLICY_DISABLED))
            std::abort();
        if (e->burst < -1 || e->burst > 1 || ((e->flags & POLICY_DISABLED) != 0) != (e->burst == -1))
            std::abort();
        const size_t len = strnlen(e->ssid.data(), e->ssid.size());
        if (len > 32 || ((e->flags & POLICY_ANY_SSID) && len != 0))
            std::abort();
        // Every kept name appeared in the file as given.
        if (len > 0 && memmem(data, size, e->ssid.data(), len) == nullptr)
            std::abort();
    }
    policy_free(list);
    return 0;
}
