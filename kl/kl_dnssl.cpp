// The names of a search list reach the hook and from there resolv.conf, so nothing but host name
// characters may come out: a line feed or a space in a name would add lines or words of its own.
#include "kl_dnssl.h"

#include <arpa/inet.h>

#include <cstring>
#include <optional>

namespace {

// RFC 8106 5.2: type, length, reserved, lifetime, then the names; at least two units long.
constexpr size_t kLifetimeAt = 4;
constexpr size_t kNamesAt = 8;
constexpr size_t kMinUnits = 2;
// RFC 1035 2.3.4 and 4.1.4: labels of up to 63 bytes, names of up to 255 bytes with their length
// bytes and the final zero; the top two bits set make a compression pointer, which RFC 8106 5.2
// rules out.
constexpr uint8_t kMaxLabel = 63;
constexpr size_t kMaxNameWire = 255;
constexpr uint8_t kPointerBits = 0xc0;

bool safe_char(uint8_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

char lower(uint8_t c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); }

// Why the label whose length byte stands at `at` cannot be read (none when it can); counts it
// into the name's length in wire format.
kl_drop label_fault(bytes names, size_t at, size_t& wire)
{
    const uint8_t label = byte_at(names, at);
    if ((label & kPointerBits) == kPointerBits)
        return kl_drop::name_compressed;
    if (label > kMaxLabel)
        return kl_drop::label_too_long;
    wire += 1 + label;
    if (wire > kMaxNameWire)
        return kl_drop::name_too_long;
    if (at + 1 + label > names.size())
        return kl_drop::name_unterminated;  // the option ends inside the label
    return kl_drop::none;
}

// Reads the name that starts at `at` into text (lower case, labels joined by dots, no final
// dot), noting a character that may not pass. Returns the offset after its final zero, or
// nullopt after recording why the option is malformed.
std::optional<size_t> read_name(bytes names, size_t at, domain_name& text, bool& unsafe, kl_decoded& out)
{
    size_t len = 0;
    size_t wire = 1;  // the final zero
    for (;;) {
        if (at >= names.size()) {
            out.drop(kl_drop::name_unterminated);
            return std::nullopt;
        }
        const uint8_t label = byte_at(names, at);
        if (label == 0) {
            text[len] = '\0';
            return at + 1;
        }
        const kl_drop bad = label_fault(names, at, wire);
        if (bad != kl_drop::none) {
            out.drop(bad);
            return std::nullopt;
        }
        if (len > 0)
            text[len++] = '.';
        // RFC 1123 2.1: a label starts and ends with a letter or digit. One led by a hyphen would
        // reach a hook's tools as an option ("resolvectl domain IF -h").
        unsafe = unsafe || byte_at(names, at + 1) == '-' || byte_at(names, at + label) == '-';
        for (size_t i = 1; i <= label; ++i) {
            unsafe = unsafe || !safe_char(byte_at(names, at + i));
            text[len++] = lower(byte_at(names, at + i));
        }
        at += 1 + label;
    }
}

// Names compare without regard to case; they are all lower case by now.
void add_name(dnssl_report& r, const domain_name& text, kl_decoded& out)
{
    for (int k = 0; k < r.count; ++k) {
        if (std::strcmp(r.name[k].data(), text.data()) == 0) {
            out.drop(kl_drop::name_repeated);
            return;
        }
    }
    if (r.count == kMaxDomains) {
        out.drop(kl_drop::name_surplus);
        return;
    }
    r.name[r.count++] = text;
}

bool zeros_from(bytes b, size_t at)
{
    for (; at < b.size(); ++at)
        if (byte_at(b, at) != 0)
            return false;
    return true;
}

}  // namespace

// A lifetime of 0 is reported with its names like any other: it tells the manager to drop them.
void kl_take_dnssl(bytes opt, kl_decoded& out)
{
    if (opt.size() / kNdOptionUnit < kMinUnits) {
        out.drop(kl_drop::dnssl_length);
        return;
    }
    dnssl_report r{};
    r.lifetime = ntohl(*read_at<uint32_t>(opt, kLifetimeAt));
    const bytes names = opt.subspan(kNamesAt);
    size_t at = 0;
    // RFC 8106 5.2: the names end at the first zero where a name would begin (a root name cannot
    // be told from the padding), and the padding "MUST" be zeros: anything else there is a
    // malformed option, not a name to guess at.
    while (at < names.size() && byte_at(names, at) != 0) {
        domain_name text{};
        bool unsafe = false;
        const auto next = read_name(names, at, text, unsafe, out);
        if (!next)
            return;
        at = *next;
        if (unsafe)
            out.drop(kl_drop::name_unsafe);
        else
            add_name(r, text, out);
    }
    if (!zeros_from(names, at)) {
        out.drop(kl_drop::dnssl_padding);
        return;
    }
    if (r.count > 0)
        out.dnssl.push_back(r);
}
