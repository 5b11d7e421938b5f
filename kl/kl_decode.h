// Decoding of one ND user option notification: bytes in, RDNSS reports out. The listener
// thread, the unit tests and the fuzzers all call this, so what they check is what runs.
#pragma once

#include "bytes.h"
#include "records.h"

#include <vector>

// The reports (one per RDNSS option, in option order) that a datagram as received carries for
// the interface with index watched_ifindex; empty for anything foreign or malformed.
// An index of 0 (the watched interface does not exist) matches nothing.
std::vector<rdnss_report> kl_decode(bytes datagram, unsigned watched_ifindex);
