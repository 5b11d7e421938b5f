// The network policy file: per network, bursts, single solicitations or none.
#pragma once

#include "records.h"

// Reads and validates the file; nullptr when it cannot be opened, has an error (reported on
// standard error), or holds no entry. The caller owns the returned list.
policy_list policy_read(const char* path);

// First entry matching the association's ESSID and BSSID, or nullptr.
const policy_entry* policy_lookup(const assoc_info& assoc, const policy_entry* list);

// Frees a list returned by policy_read, entry by entry.
void policy_free(policy_list list);
