// What one control request does to the four lists, without any socket: the connection handler
// and the fuzzers run this same code on the bytes a client sent.
#pragma once

#include "records.h"

#include <cstddef>
#include <cstdint>
#include <span>

struct out_lists {
    ns6_list wlan6;
    ns4_list wlan4;
    ns6_list radio6;
    ns4_list radio4;
};

enum class out_outcome : uint8_t {
    unchanged,  // held lists already equal, or a command without a list payload
    changed,    // at least one list replaced: a script run is due
    refused,    // a count outside 0 to 4: nothing touched
    short_read, // fewer payload bytes than the command needs: nothing touched
};

// 0 when both lists hold the same addresses in any order (duplicates counted), else 1.
int ns4_compare(const ns4_list& a, const ns4_list& b);
int ns6_compare(const ns6_list& a, const ns6_list& b);

// A copy with zero bytes beyond the count, so that a listing never repeats stale slots. The
// count must lie within 0 to 4.
ns4_list out_normalised(const ns4_list& in);
ns6_list out_normalised(const ns6_list& in);

// Payload bytes that follow the command word (0 for commands that carry none).
std::size_t out_request_length(uint32_t command);

// Applies the payload of CMD_SET_WLAN4 or CMD_SET_RADIO; other commands change nothing here.
// Stored lists keep zero bytes beyond their count.
out_outcome out_apply_request(uint32_t command, std::span<const uint8_t> payload, out_lists& lists);
