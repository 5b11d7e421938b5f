#include "policy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kLineBuffer = 1024;  // fgets takes at most 1023 characters at a time
constexpr size_t kMaxSsid = 32;
constexpr char kSeparators[] = " \t\r\n";

// Process-wide on purpose: the reader only ever runs in one thread at a time.
char line_buffer[kLineBuffer];

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "xx:xx:xx:xx:xx:xx", two hex digits per octet, nothing before or after.
bool parse_bssid(const char* token, std::array<uint8_t, 6>& out)
{
    const char* p = token;
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = hex_value(p[0]);
        if (hi < 0)
            return false;
        int lo = hex_value(p[1]);
        if (lo < 0)
            return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
        p += 2;
        if (i + 1 < out.size()) {
            if (*p != ':')
                return false;
            ++p;
        }
    }
    return *p == '\0';
}

}  // namespace

void policy_free(policy_list list)
{
    while (list != nullptr) {
        policy_entry* next = list->next;
        std::free(list);
        list = next;
    }
}

policy_list policy_read(const char* path)
{
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        std::fprintf(stderr, "can't access %s\n", path);
        return nullptr;
    }

    policy_list head = nullptr;
    policy_entry** tail = &head;
    const char* error = nullptr;
    bool failed = false;

    for (int line = 1; std::fgets(line_buffer, sizeof line_buffer, f) != nullptr; ++line) {
        char* save = nullptr;
        const char* ssid = strtok_r(line_buffer, kSeparators, &save);
        if (ssid == nullptr || ssid[0] == '#')
            continue;

        uint32_t flags = 0;
        if (std::strcmp(ssid, "+") == 0)
            flags |= POLICY_ANY_SSID;
        if (std::strlen(ssid) > kMaxSsid) {
            error = "illegal ssid line %d of %s\n";
        } else {
            const char* bssid_token = strtok_r(nullptr, kSeparators, &save);
            const char* burst_token = bssid_token ? strtok_r(nullptr, kSeparators, &save) : nullptr;
            std::array<uint8_t, 6> bssid{};
            int32_t burst = 0;
            if (burst_token == nullptr) {
                error = "syntax error line %d of %s\n";
            } else if (std::strcmp(bssid_token, "+") == 0) {
                flags |= POLICY_ANY_BSSID;
            } else if (!parse_bssid(bssid_token, bssid)) {
                error = "illegal bssid line %d of %s\n";
            }
            if (error == nullptr) {
                if (std::strcmp(burst_token, "1") == 0) {
                    burst = 1;
                } else if (std::strcmp(burst_token, "0") == 0) {
                    burst = 0;
                } else if (std::strcmp(burst_token, "-1") == 0) {
                    burst = -1;
                    flags |= POLICY_DISABLED;
                } else {
                    error = "illegal burst line %d of %s\n";
                }
            }
            if (error == nullptr) {
                auto* entry = static_cast<policy_entry*>(std::calloc(1, sizeof(policy_entry)));
                if (entry == nullptr) {
                    std::perror("malloc");
                    failed = true;
                    break;
                }
                entry->flags = flags;
                entry->burst = burst;
                entry->bssid = bssid;
                if (!(flags & POLICY_ANY_SSID))
                    std::memcpy(entry->ssid.data(), ssid, std::strlen(ssid));
                *tail = entry;
                tail = &entry->next;
                // "+ +" matches every network, so nothing after it could ever be looked up.
                if ((flags & POLICY_ANY_SSID) && (flags & POLICY_ANY_BSSID))
                    break;
                continue;
            }
        }
        std::fprintf(stderr, error, line, path);
        failed = true;
        break;
    }

    std::fclose(f);
    if (failed) {
        policy_free(head);
        return nullptr;
    }
    return head;
}

const policy_entry* policy_lookup(const assoc_info& assoc, const policy_entry* list)
{
    for (const policy_entry* e = list; e != nullptr; e = e->next) {
        if (!(e->flags & POLICY_ANY_SSID) && std::strncmp(e->ssid.data(), assoc.essid.data(), assoc.essid.size()) != 0)
            continue;
        if (!(e->flags & POLICY_ANY_BSSID) && e->bssid != assoc.bssid)
            continue;
        return e;
    }
    return nullptr;
}
