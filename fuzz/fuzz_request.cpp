// A sequence of control requests applied to the held lists: counts stay within 0 to 4, slots
// beyond the count stay zero, and a request that is refused, short or equal changes nothing.
// The same bytes, read as a search list from the channel, never put an unsafe byte, an empty
// name or a doubled blank into the script's environment.
#include "out_env.h"
#include "out_request.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

template <typename List>
void check_kept(const List& l)
{
    if (!ns_valid_count(l.count))
        std::abort();
    for (int i = l.count; i < kMaxServers; ++i) {
        static constexpr decltype(l.addr[0]) zero{};
        if (std::memcmp(&l.addr[i], &zero, sizeof zero) != 0)
            std::abort();
    }
}

void check_search(const uint8_t* data, size_t size)
{
    search_list received{};
    std::memcpy(&received, data, std::min(size, sizeof received));
    const auto kept = out_search_checked(received);
    if (!kept)
        return;
    search_buffer buf;
    const size_t len = out_format_search(buf, "S=", *kept);
    const std::string_view text(buf.data() + 2, len - 2);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool name_char = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        const bool blank_between = c == ' ' && i > 0 && i + 1 < text.size() && text[i + 1] != ' ';
        if (!name_char && !blank_between)
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    out_lists held{};
    size_t at = 0;
    while (size - at >= 4) {
        uint32_t command;
        std::memcpy(&command, data + at, 4);
        command = CMD_SET_WLAN4 + command % 6;  // mostly real command words, some unknown ones
        at += 4;
        const size_t len = std::min(out_request_length(command), size - at);
        const std::span<const uint8_t> payload(data + at, len);
        at += len;

        const out_lists before = held;
        const out_outcome what = out_apply_request(command, payload, held);
        const bool same = std::memcmp(&before, &held, sizeof held) == 0;
        if ((what == out_outcome::changed) == same)
            std::abort();
        if (what == out_outcome::changed && command == CMD_SET_WLAN4) {
            ns4_list sent;
            std::memcpy(&sent, payload.data(), sizeof sent);
            if (ns4_compare(sent, held.wlan4) != 0 || ns4_compare(held.wlan4, sent) != 0)
                std::abort();
        }
        if (what == out_outcome::changed && command == CMD_SET_RADIO) {
            ctl_radio_payload sent;
            std::memcpy(&sent, payload.data(), sizeof sent);
            if (ns4_compare(sent.v4, held.radio4) != 0 || ns6_compare(sent.v6, held.radio6) != 0)
                std::abort();
        }
        check_kept(held.wlan6);
        check_kept(held.wlan4);
        check_kept(held.radio6);
        check_kept(held.radio4);
    }
    check_search(data, size);
    return 0;
}
