// Decoding of one ND user option notification: bytes in, reports out. The listener thread, the
// unit tests and the fuzzers all call this, so what they check is what runs.
#pragma once

#include "bytes.h"
#include "records.h"

#include <cstdint>
#include <vector>

// Why something in a notification was left out.
enum class kl_drop : uint8_t {
    short_datagram,   // shorter than the netlink and ND user option headers
    not_inet6,        // a family other than AF_INET6
    not_advert,       // options of another ICMPv6 message than a Router Advertisement, code 0
    foreign,          // another interface, or the watched one does not exist
    walk_cut,         // an option of length 0, or longer than what is left: the walk ended there
    rdnss_length,     // an RDNSS option of even length or shorter than 3 units
    server_unusable,  // an address that can never serve this host
    server_repeated,  // an address already taken from the same option
    server_surplus,   // a distinct address beyond the first four of an option
    dnssl_length,       // a DNSSL option shorter than 2 units
    name_compressed,    // a compression pointer: the option yields no name
    label_too_long,     // a label over 63 bytes: the option yields no name
    name_too_long,      // a name over 255 bytes: the option yields no name
    name_unterminated,  // a name without its final zero label: the option yields no name
    dnssl_padding,      // a non-zero byte after the last name: the option yields no name
    name_unsafe,        // a label byte other than a letter, digit, hyphen or underscore, or a label that
                        // starts or ends with a hyphen: that name only
    name_repeated,      // a name already taken from the same option, in any case
    name_surplus,       // a distinct name beyond the first six of an option
    pref64_length,      // a PREF64 option of other than 2 units
    pref64_code,        // a PREF64 prefix length code other than 0 to 5
    portal_length,      // a captive portal URI that is empty or over 255 bytes
    portal_unsafe,      // a URI byte outside printable ASCII, or a non-zero byte in its padding
    none,               // no rule fired
};

struct kl_decoded {
    std::vector<rdnss_report> rdnss;  // one per RDNSS option with a usable server, in option order
    // One per DNSSL option with an acceptable name, in option order. Names are lower case without
    // the final dot; a lifetime of 0 comes with its names, so the manager can drop them.
    std::vector<dnssl_report> dnssl;
    std::vector<pref64_report> pref64;  // one per usable PREF64 option, host bits zero
    std::vector<portal_uri> portal;      // one per usable captive portal option
    uint32_t drops = 0;               // one bit for each kl_drop that fired

    void drop(kl_drop why) { drops |= 1u << static_cast<unsigned>(why); }
    static_assert(static_cast<unsigned>(kl_drop::none) < 32);
    bool dropped(kl_drop why) const { return (drops >> static_cast<unsigned>(why)) & 1u; }
};

// What a datagram as received carries for the interface with index watched_ifindex; nothing for
// anything foreign or malformed. An index of 0 (the watched interface does not exist) matches
// nothing.
kl_decoded kl_decode(bytes datagram, unsigned watched_ifindex);
