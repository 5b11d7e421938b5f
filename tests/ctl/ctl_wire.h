// Building and exchanging control-socket records in tests, byte for byte.
#pragma once

#include "records.h"

#include <chrono>
#include <initializer_list>
#include <string>

namespace tw {

using namespace std::chrono_literals;

ns4_list v4(std::initializer_list<const char*> addrs);
ns6_list v6(std::initializer_list<const char*> addrs);

template <typename T>
std::string bytes_of(const T& v)
{
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}
inline std::string word(uint32_t w) { return bytes_of(w); }

// Binds a listening socket to the control path, or connects to it; -1 on failure.
int ctl_listen();
int ctl_connect();
// Reads until the peer closes (bounded); "<timeout>" appended when it did not.
std::string read_to_end(int fd, std::chrono::milliseconds timeout = 5s);
// Sends the bytes on a fresh connection and returns everything answered until the close.
std::string exchange(const std::string& request);
// The daemon's CMD_LIST reply, decoded; fails the test on a reply that is not 88 bytes.
ctl_list_reply list_lists();

}  // namespace tw
