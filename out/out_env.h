// The script's environment strings, formatted without any system call so the forked child
// and the tests run the same code.
#pragma once

#include "records.h"

#include <array>
#include <cstddef>

// Room for a prefix and four IPv6 addresses, each with a zone of an interface name.
inline constexpr std::size_t kEnvSize = 256;
using env_buffer = std::array<char, kEnvSize>;

// Fills buf with prefix followed by the list's addresses separated by single blanks. Only the
// first count slots are read (none for a count outside 0 to 4); the text is always cut to fit
// and terminated. With a zone, link-local IPv6 addresses carry it ("fe80::1%wlan0"), as resolvers
// expect. Returns the length of the text.
std::size_t out_format_env(env_buffer& buf, const char* prefix, const ns6_list& list, const char* zone = nullptr);
std::size_t out_format_env(env_buffer& buf, const char* prefix, const ns4_list& list);
