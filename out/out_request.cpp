// List comparison and the list changes a control request makes; no system call in here.
#include "out_request.h"

#include <algorithm>
#include <cstring>

namespace {

template <typename List>
List normalised(const List& in)
{
    List out{};
    out.count = in.count;
    std::copy_n(in.addr.begin(), in.count, out.addr.begin());
    return out;
}

template <typename List>
int compare_lists(const List& a, const List& b)
{
    if (a.count != b.count || !ns_valid_count(a.count))
        return 1;
    std::array<bool, kMaxServers> matched{};
    for (int i = 0; i < a.count; ++i) {
        for (int j = 0; j < b.count; ++j) {
            if (!matched[j] && std::memcmp(&a.addr[i], &b.addr[j], sizeof a.addr[i]) == 0) {
                matched[j] = true;
                break;
            }
        }
    }
    return std::all_of(matched.begin(), matched.begin() + b.count, [](bool m) { return m; }) ? 0 : 1;
}

}  // namespace

std::size_t out_request_length(uint32_t command)
{
    switch (command) {
    case CMD_SET_WLAN4:
        return sizeof(ns4_list);
    case CMD_SET_RADIO:
        return sizeof(ctl_radio_payload);
    default:
        return 0;
    }
}

out_outcome out_apply_request(uint32_t command, std::span<const uint8_t> payload, out_lists& held)
{
    if (payload.size() < out_request_length(command))
        return out_outcome::short_read;
    switch (command) {
    case CMD_SET_WLAN4: {
        ns4_list v4;
        std::memcpy(&v4, payload.data(), sizeof v4);
        // A count outside 0 to 4 never comes from our own client; such a record is refused
        // whole rather than clamped, so a garbled request cannot change anything.
        if (!ns_valid_count(v4.count))
            return out_outcome::refused;
        if (ns4_compare(v4, held.wlan4) == 0)
            return out_outcome::unchanged;
        held.wlan4 = normalised(v4);
        return out_outcome::changed;
    }
    case CMD_SET_RADIO: {
        ctl_radio_payload radio;
        std::memcpy(&radio, payload.data(), sizeof radio);
        if (!ns_valid_count(radio.v4.count) || !ns_valid_count(radio.v6.count))
            return out_outcome::refused;
        bool changed = false;
        if (ns4_compare(radio.v4, held.radio4) != 0) {
            held.radio4 = normalised(radio.v4);
            changed = true;
        }
        if (ns6_compare(radio.v6, held.radio6) != 0) {
            held.radio6 = normalised(radio.v6);
            changed = true;
        }
        return changed ? out_outcome::changed : out_outcome::unchanged;
    }
    default:
        return out_outcome::unchanged;
    }
}

int ns4_compare(const ns4_list& a, const ns4_list& b) { return compare_lists(a, b); }

int ns6_compare(const ns6_list& a, const ns6_list& b) { return compare_lists(a, b); }

ns4_list out_normalised(const ns4_list& in) { return normalised(in); }

ns6_list out_normalised(const ns6_list& in) { return normalised(in); }
