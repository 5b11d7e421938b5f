// Records and message numbers shared by the modules, the control socket and the tests.
// Every record that crosses a pipe or a socket is a plain struct whose size and offsets
// are fixed here once; receivers check lengths against these sizes.
#pragma once

#include <netinet/in.h>
#include <sys/un.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr int kMaxServers = 4;

// Name-server lists: a count (0..4) and four slots; only the first `count` slots mean anything.
struct ns6_list {
    int32_t count;
    std::array<in6_addr, kMaxServers> addr;
};
static_assert(sizeof(ns6_list) == 68);
static_assert(offsetof(ns6_list, addr) == 4);

struct ns4_list {
    int32_t count;
    std::array<in_addr, kMaxServers> addr;
};
static_assert(sizeof(ns4_list) == 20);
static_assert(offsetof(ns4_list, addr) == 4);

// A received list may carry any count: only one within the four slots may be used at all.
constexpr bool ns_valid_count(int32_t count) { return count >= 0 && count <= kMaxServers; }

// Association state as the wireless monitor reports it to the manager.
struct assoc_info {
    int32_t associated;
    std::array<uint8_t, 6> bssid;
    std::array<char, 33> essid;  // NUL-terminated, at most 32 bytes of name
    uint8_t reserved;
};
static_assert(sizeof(assoc_info) == 44);
static_assert(offsetof(assoc_info, bssid) == 4);
static_assert(offsetof(assoc_info, essid) == 10);
static_assert(offsetof(assoc_info, reserved) == 43);

// One RDNSS option as the listener reports it to the manager.
struct rdnss_report {
    std::array<in6_addr, kMaxServers> addr;
    std::array<uint32_t, kMaxServers> lifetime;  // seconds, host byte order
    int32_t count;
};
static_assert(sizeof(rdnss_report) == 84);
static_assert(offsetof(rdnss_report, lifetime) == 64);
static_assert(offsetof(rdnss_report, count) == 80);

// Search domains (DNSSL): at most six are kept, the traditional resolv.conf limit. A name is at
// most 253 characters of text (255 bytes in wire format), lower case, without the final dot.
inline constexpr int kMaxDomains = 6;
inline constexpr std::size_t kDomainSize = 256;
using domain_name = std::array<char, kDomainSize>;  // NUL-terminated

// One DNSSL option as the listener reports it to the manager: its first six acceptable names.
struct dnssl_report {
    std::array<domain_name, kMaxDomains> name;
    uint32_t lifetime;  // seconds, host byte order
    int32_t count;
};
static_assert(sizeof(dnssl_report) == 1544);
static_assert(offsetof(dnssl_report, lifetime) == 1536);
static_assert(offsetof(dnssl_report, count) == 1540);

// The held search domains as the manager hands them to the output module.
struct search_list {
    int32_t count;
    std::array<domain_name, kMaxDomains> name;
};
static_assert(sizeof(search_list) == 1540);
static_assert(offsetof(search_list, name) == 4);

// NAT64 prefixes (PREF64, RFC 8781): a handful are kept, for the rare link with more than one
// translator; a router is expected to announce one.
inline constexpr int kMaxPref64 = 3;

// One NAT64 prefix: its first `length` bits, zero beyond; length is 96, 64, 56, 48, 40 or 32.
struct nat64_prefix {
    in6_addr prefix;
    int32_t length;
};
static_assert(sizeof(nat64_prefix) == 20);
static_assert(offsetof(nat64_prefix, length) == 16);

// One PREF64 option as the listener reports it to the manager.
struct pref64_report {
    nat64_prefix prefix;
    uint32_t lifetime;  // seconds, host byte order; 0 withdraws the prefix
};
static_assert(sizeof(pref64_report) == 24);
static_assert(offsetof(pref64_report, lifetime) == 20);

// The held NAT64 prefixes as the manager hands them to the output module.
struct pref64_list {
    int32_t count;
    std::array<nat64_prefix, kMaxPref64> prefix;
};
static_assert(sizeof(pref64_list) == 64);
static_assert(offsetof(pref64_list, prefix) == 4);

// The captive portal's URI (RFC 8910): at most 255 bytes of printable ASCII without blanks,
// NUL-terminated; empty when there is none. The same record goes from the listener to the
// manager and from the manager to the output module.
inline constexpr std::size_t kPortalSize = 256;
struct portal_uri {
    std::array<char, kPortalSize> uri;
};
static_assert(sizeof(portal_uri) == 256);

// One accepted line of the network policy file.
inline constexpr uint32_t POLICY_ANY_SSID = 1u << 0;
inline constexpr uint32_t POLICY_ANY_BSSID = 1u << 1;
inline constexpr uint32_t POLICY_DISABLED = 1u << 2;

struct policy_entry {
    policy_entry* next;
    uint32_t flags;
    int32_t burst;
    std::array<uint8_t, 6> bssid;
    std::array<char, 34> ssid;  // NUL-terminated, at most 32 bytes of name
};
using policy_list = policy_entry*;

// Manager channel message types.
enum mgr_msg : uint32_t {
    MGR_STOP = 0,
    MGR_ASSOC = 1,
    MGR_RS_SENT = 2,
    MGR_RA_SEEN = 3,
    MGR_RDNSS = 4,
    MGR_TIMER = 5,
    MGR_POLICY = 6,
    MGR_DNSSL = 7,
    MGR_PREF64 = 8,
    MGR_PORTAL = 9,
};

// Output channel message types.
enum out_msg : uint32_t {
    OUT_STOP = 0,
    OUT_WLAN6 = 1,
    OUT_SEARCH = 2,
    OUT_PREF64 = 3,
    OUT_PORTAL = 4,
};

// Control socket command words.
enum ctl_cmd : uint32_t {
    CMD_SET_WLAN4 = 2,
    CMD_LIST = 3,
    CMD_TERMINATE = 4,
    CMD_RELOAD = 5,
    CMD_SET_RADIO = 6,
};

inline constexpr char kControlPath[] = "/dev/tamctl";

// The control socket's address record: zero-filled, then family and path. Its full size, not the
// path's length, is what bind and connect are given.
inline sockaddr_un control_address()
{
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kControlPath, sizeof addr.sun_path - 1);
    return addr;
}

// Requests and reply on the control socket, as laid out on the wire.
struct ctl_radio_payload {
    ns4_list v4;
    ns6_list v6;
};
static_assert(sizeof(ctl_radio_payload) == 88);
static_assert(offsetof(ctl_radio_payload, v6) == 20);

struct ctl_list_reply {
    ns6_list v6;
    ns4_list v4;
};
static_assert(sizeof(ctl_list_reply) == 88);
static_assert(offsetof(ctl_list_reply, v4) == 68);
