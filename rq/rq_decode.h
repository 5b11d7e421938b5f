// The watcher's check of one received ICMPv6 message: bytes in, verdict out. The watcher thread,
// the unit tests and the fuzzer all call this, so what they check is what runs.
#pragma once

#include "bytes.h"

#include <cstdint>

// Why a message was not taken for a Router Advertisement from the watched link (or that it was).
enum class ra_verdict : uint8_t {
    accepted,
    forwarded,   // a hop limit other than 255 came with it
    too_short,   // shorter than an advertisement's fixed part
    not_advert,  // another ICMPv6 type
    bad_code,    // an advertisement's type with a code other than 0
    foreign,     // from another interface, or the watched one does not exist
};

// packet: the ICMPv6 message as received; control: the control data that came with it;
// source_scope: the source address's scope id; watched_ifindex: the watched interface's index
// now, 0 when it does not exist.
ra_verdict rq_decode(bytes packet, bytes control, uint32_t source_scope, unsigned watched_ifindex);
