// The script's environment strings; no system call in here.
#include "out_env.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <span>

namespace {

// Appends text, cutting it at the end of the buffer; the buffer stays terminated.
void env_append(std::span<char> buf, std::size_t& len, const char* text)
{
    const std::size_t room = buf.size() - 1 - len;
    const std::size_t n = std::min(std::strlen(text), room);
    std::memcpy(buf.data() + len, text, n);
    len += n;
    buf[len] = '\0';
}

template <typename List, int Family, std::size_t TextSize>
std::size_t format_list(env_buffer& buf, const char* prefix, const List& list, const char* zone)
{
    std::size_t len = 0;
    buf[0] = '\0';
    env_append(buf, len, prefix);
    const int count = ns_valid_count(list.count) ? list.count : 0;
    for (int i = 0; i < count; ++i) {
        char text[TextSize];
        if (inet_ntop(Family, &list.addr[i], text, sizeof text) == nullptr)
            continue;
        if (i > 0)
            env_append(buf, len, " ");
        env_append(buf, len, text);
        if constexpr (Family == AF_INET6) {
            // A link-local server is reachable only through the link it was learnt on.
            if (zone != nullptr && IN6_IS_ADDR_LINKLOCAL(&list.addr[i])) {
                env_append(buf, len, "%");
                env_append(buf, len, zone);
            }
        }
    }
    return len;
}

bool search_name_safe(const domain_name& name)
{
    const auto end = std::find(name.begin(), name.end(), '\0');
    if (end == name.begin() || end == name.end())
        return false;
    return std::all_of(name.begin(), end, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    });
}

// Fills buf with prefix and the texts of the first count items, separated by single blanks.
template <std::size_t N, typename Text>
std::size_t format_items(std::array<char, N>& buf, const char* prefix, int count, Text text)
{
    std::size_t len = 0;
    buf[0] = '\0';
    env_append(buf, len, prefix);
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            env_append(buf, len, " ");
        env_append(buf, len, text(i).c_str());
    }
    return len;
}

bool prefix_sound(const nat64_prefix& p)
{
    static constexpr int32_t kLengths[] = {96, 64, 56, 48, 40, 32};
    if (std::find(std::begin(kLengths), std::end(kLengths), p.length) == std::end(kLengths))
        return false;
    for (int32_t bit = p.length; bit < 128; ++bit)
        if (p.prefix.s6_addr[bit / 8] & (0x80u >> (bit % 8)))
            return false;
    return true;
}

}  // namespace

std::size_t out_format_env(env_buffer& buf, const char* prefix, const ns6_list& list, const char* zone)
{
    return format_list<ns6_list, AF_INET6, INET6_ADDRSTRLEN>(buf, prefix, list, zone);
}

std::size_t out_format_env(env_buffer& buf, const char* prefix, const ns4_list& list)
{
    return format_list<ns4_list, AF_INET, INET_ADDRSTRLEN>(buf, prefix, list, nullptr);
}

std::optional<search_list> out_search_checked(const search_list& received)
{
    if (received.count < 0 || received.count > kMaxDomains)
        return std::nullopt;
    search_list kept{};
    for (int i = 0; i < received.count; ++i) {
        const domain_name& name = received.name[i];
        if (search_name_safe(name))
            std::copy(name.begin(), std::find(name.begin(), name.end(), '\0'), kept.name[kept.count++].begin());
    }
    return kept;
}

std::size_t out_format_search(search_buffer& buf, const char* prefix, const search_list& list)
{
    return format_items(buf, prefix, std::clamp(list.count, 0, kMaxDomains),
                        [&](int i) { return std::string(list.name[i].data()); });
}

std::optional<pref64_list> out_pref64_checked(const pref64_list& received)
{
    if (received.count < 0 || received.count > kMaxPref64)
        return std::nullopt;
    pref64_list kept{};
    for (int i = 0; i < received.count; ++i)
        if (prefix_sound(received.prefix[i]))
            kept.prefix[kept.count++] = received.prefix[i];
    return kept;
}

std::size_t out_format_pref64(env_buffer& buf, const char* prefix, const pref64_list& list)
{
    return format_items(buf, prefix, std::clamp(list.count, 0, kMaxPref64), [&](int i) {
        char text[INET6_ADDRSTRLEN];
        const nat64_prefix& p = list.prefix[i];
        return inet_ntop(AF_INET6, &p.prefix, text, sizeof text) ? text + ("/" + std::to_string(p.length)) : "";
    });
}

bool out_portal_checked(const portal_uri& received)
{
    const auto& u = received.uri;
    const auto end = std::find(u.begin(), u.end(), '\0');
    return end != u.end() && std::all_of(u.begin(), end, [](char c) { return c >= 0x21 && c <= 0x7e; }) &&
           std::all_of(end, u.end(), [](char c) { return c == '\0'; });
}

std::size_t out_format_portal(portal_buffer& buf, const char* prefix, const portal_uri& portal)
{
    std::size_t len = 0;
    buf[0] = '\0';
    env_append(buf, len, prefix);
    env_append(buf, len, portal.uri.data());
    return len;
}
