// The network policy file: its reader, which refuses the whole file at its first fault, and the lookup.
#include "policy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kLineBuffer = 1024;  // a line holds at most 1023 characters, its line feed included
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

// What one line gave: an error message to print (with the line number and the path), an entry,
// or neither (blank line, comment).
struct line_result {
    const char* error = nullptr;
    bool entry = false;
    bool last = false;  // "+ +" matches every network: nothing after it could ever be looked up
};

// Checks one line in the fixed order: SSID length, missing tokens, BSSID, burst.
line_result parse_line(char* text, policy_entry& e)
{
    char* save = nullptr;
    const char* ssid = strtok_r(text, kSeparators, &save);
    if (ssid == nullptr || ssid[0] == '#')
        return {};
    if (std::strlen(ssid) > kMaxSsid)
        return {"illegal ssid line %d of %s\n"};
    const char* bssid = strtok_r(nullptr, kSeparators, &save);
    const char* burst = bssid != nullptr ? strtok_r(nullptr, kSeparators, &save) : nullptr;
    if (burst == nullptr)
        return {"syntax error line %d of %s\n"};

    e = {};
    if (std::strcmp(ssid, "+") == 0)
        e.flags |= POLICY_ANY_SSID;
    else
        std::memcpy(e.ssid.data(), ssid, std::strlen(ssid));
    if (std::strcmp(bssid, "+") == 0)
        e.flags |= POLICY_ANY_BSSID;
    else if (!parse_bssid(bssid, e.bssid))
        return {"illegal bssid line %d of %s\n"};
    if (std::strcmp(burst, "1") == 0) {
        e.burst = 1;
    } else if (std::strcmp(burst, "0") == 0) {
        e.burst = 0;
    } else if (std::strcmp(burst, "-1") == 0) {
        e.burst = -1;
        e.flags |= POLICY_DISABLED;
    } else {
        return {"illegal burst line %d of %s\n"};
    }
    return {nullptr, true, (e.flags & POLICY_ANY_SSID) && (e.flags & POLICY_ANY_BSSID)};
}

// Reads one physical line into the line buffer: at most kLineBuffer - 1 bytes, its line feed
// included; the rest of a longer line is read past and reported as overlong. Counting bytes
// ourselves keeps a NUL inside a line from hiding where the line ends. False at the end of the file.
bool next_line(FILE* f, bool& overlong)
{
    std::size_t len = 0;
    int c = EOF;
    overlong = false;
    while ((c = std::getc(f)) != EOF) {
        if (len < kLineBuffer - 1)
            line_buffer[len++] = static_cast<char>(c);
        else
            overlong = true;
        if (c == '\n')
            break;
    }
    line_buffer[len] = '\0';
    return len > 0;
}

// An over-long line: only a comment may be that long, since the rest of the line is never read.
bool overlong_entry(const char* piece)
{
    return piece[std::strspn(piece, kSeparators)] != '#';
}

// Opens the file for reading, refusing anything but a regular file (reported).
FILE* open_regular(const char* path)
{
    // Non-blocking open: a FIFO must be refused here, not wait for a writer with the daemon frozen.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        std::fprintf(stderr, "can't access %s\n", path);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "not a regular file %s\n", path);
        close(fd);
        return nullptr;
    }
    FILE* f = fdopen(fd, "r");
    if (f == nullptr) {
        std::perror("fdopen");
        close(fd);
    }
    return f;
}

// Appends a copy of the entry at the tail; false (after perror "malloc") when memory ran out.
bool append(policy_entry**& tail, const policy_entry& e)
{
    auto* kept = static_cast<policy_entry*>(std::malloc(sizeof(policy_entry)));
    if (kept == nullptr) {
        std::perror("malloc");
        return false;
    }
    *kept = e;
    *tail = kept;
    tail = &kept->next;
    return true;
}

// Reads the file line by line into the list; false after the first error, which is reported.
bool read_entries(FILE* f, const char* path, policy_list& head)
{
    policy_entry** tail = &head;
    bool overlong = false;
    for (int line = 1; next_line(f, overlong); ++line) {
        policy_entry e{};
        const line_result r = overlong && overlong_entry(line_buffer) ? line_result{"overlong line %d of %s\n"}
                                                                      : parse_line(line_buffer, e);
        if (r.error != nullptr) {
            std::fprintf(stderr, r.error, line, path);
            return false;
        }
        if (r.entry && !append(tail, e))
            return false;
        if (r.last)
            break;
    }
    if (std::ferror(f)) {
        std::fprintf(stderr, "can't read %s\n", path);
        return false;
    }
    return true;
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
    FILE* f = open_regular(path);
    if (f == nullptr)
        return nullptr;
    policy_list head = nullptr;
    const bool ok = read_entries(f, path, head);
    std::fclose(f);
    if (!ok) {
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
