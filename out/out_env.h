// The script's environment strings, formatted without any system call so the forked child
// and the tests run the same code.
#pragma once

#include "records.h"

#include <array>
#include <cstddef>
#include <optional>

// Room for a prefix and four IPv6 addresses, each with a zone of an interface name.
inline constexpr std::size_t kEnvSize = 256;
using env_buffer = std::array<char, kEnvSize>;

// Fills buf with prefix followed by the list's addresses separated by single blanks. Only the
// first count slots are read (none for a count outside 0 to 4); the text is always cut to fit
// and terminated. With a zone, link-local IPv6 addresses carry it ("fe80::1%wlan0"), as resolvers
// expect. Returns the length of the text.
std::size_t out_format_env(env_buffer& buf, const char* prefix, const ns6_list& list, const char* zone = nullptr);
std::size_t out_format_env(env_buffer& buf, const char* prefix, const ns4_list& list);

// Room for the prefix and six names of up to 253 characters, each after a blank.
inline constexpr std::size_t kSearchEnvSize = 1560;
using search_buffer = std::array<char, kSearchEnvSize>;

// The search list as received, reduced to what may reach the script's environment: nothing for
// a count outside 0 to 6; otherwise only names terminated within their slot, not empty, and made
// of lower-case letters, digits, '.', '_' and '-' (whatever else a name holds could add lines of
// its own to a resolver's configuration). The names kept stay in order, with zero bytes beyond.
std::optional<search_list> out_search_checked(const search_list& received);

// Fills buf with prefix followed by the names separated by single blanks.
std::size_t out_format_search(search_buffer& buf, const char* prefix, const search_list& list);

// The NAT64 prefixes as received, reduced to what may reach the script: nothing for a count
// outside 0 to 3; otherwise only prefixes of one of the six lengths with no bit set past it.
std::optional<pref64_list> out_pref64_checked(const pref64_list& received);
// Fills buf with prefix followed by the prefixes in CIDR text ("64:ff9b::/96") separated by
// single blanks.
std::size_t out_format_pref64(env_buffer& buf, const char* prefix, const pref64_list& list);

// Whether a portal URI may reach the script: ended within its record, printable ASCII without
// blanks, zero bytes behind it.
bool out_portal_checked(const portal_uri& received);
// Room for the prefix and a URI of 255 bytes.
inline constexpr std::size_t kPortalEnvSize = 272;
using portal_buffer = std::array<char, kPortalEnvSize>;
std::size_t out_format_portal(portal_buffer& buf, const char* prefix, const portal_uri& portal);
