// The server table: lifetimes, the merge of a report, and publication to the output module.
#include "mgr_internal.h"
#include "out.h"

#include <algorithm>
#include <cstring>

using namespace std::chrono_literals;

namespace {

// Every server is held at least this long, so that the refresh asked for 60 s before its expiry
// always gets a full minute after a minute of quiet: a short announced lifetime is no reason to
// lose a server before a router could answer.
constexpr mgr_ms kMinHold = 120s;
// A day: a router that vanished without a word (lifetime "infinity" included) is forgotten by then.
constexpr mgr_ms kMaxHold = 86400s;

auto& table = mgr_sm.server_table;

bool same_address(const in6_addr& a, const in6_addr& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void store(rdnss_entry& slot, const in6_addr& addr, uint32_t lifetime)
{
    slot.address = addr;
    slot.remaining = std::clamp(mgr_ms{std::chrono::seconds{lifetime}}, kMinHold, kMaxHold);
}

// Only whole seconds left count against an announced lifetime, which is in whole seconds.
bool outlasts(uint32_t lifetime, const rdnss_entry& slot)
{
    return std::chrono::floor<std::chrono::seconds>(slot.remaining).count() < static_cast<int64_t>(lifetime);
}

}  // namespace

bool table_age(mgr_ms elapsed)
{
    bool expired = false;
    for (auto& slot : table) {
        if (!slot.in_use)
            continue;
        if (elapsed >= slot.remaining) {
            slot.in_use = false;
            expired = true;
        } else {
            slot.remaining -= elapsed;
        }
    }
    return expired;
}

void table_merge(const rdnss_report& report)
{
    // Never trust a count to stay within the slots, whoever built the report. A lifetime of 0
    // below marks an entry as taken, so an unknown server announced with 0 is never stored.
    const int n = std::clamp(report.count, 0, kMaxServers);
    auto life = report.lifetime;

    // Refresh known servers whatever the lifetime: even 0 only brings one down to the minimum hold.
    for (int i = 0; i < n; ++i) {
        auto held = std::find_if(table.begin(), table.end(), [&](const rdnss_entry& s) {
            return s.in_use && same_address(s.address, report.addr[i]);
        });
        if (held != table.end()) {
            store(*held, report.addr[i], life[i]);
            life[i] = 0;
        }
    }
    // A free slot costs no server its place, so new servers fill those before any is replaced.
    for (int i = 0; i < n; ++i) {
        if (life[i] == 0)
            continue;
        auto free_slot = std::find_if(table.begin(), table.end(), [](const rdnss_entry& s) { return !s.in_use; });
        if (free_slot == table.end())
            break;
        store(*free_slot, report.addr[i], life[i]);
        free_slot->in_use = true;
        life[i] = 0;
    }
    // Replace the first server with fewer whole seconds left than the new one announces.
    for (int i = 0; i < n; ++i) {
        auto shorter = std::find_if(table.begin(), table.end(), [&](const rdnss_entry& s) { return outlasts(life[i], s); });
        if (life[i] != 0 && shorter != table.end())
            store(*shorter, report.addr[i], life[i]);
    }
}

bool table_empty()
{
    return std::none_of(table.begin(), table.end(), [](const rdnss_entry& s) { return s.in_use; });
}

void table_clear()
{
    for (auto& slot : table)
        slot.in_use = false;
}

mgr_ms table_earliest()
{
    mgr_ms earliest = kMaxHold;
    for (const auto& slot : table)
        if (slot.in_use)
            earliest = std::min(earliest, slot.remaining);
    return earliest;
}

void mgr_publish(int force)
{
    auto& pub = mgr_sm.published_list;
    const auto k = std::count_if(table.begin(), table.end(), [](const rdnss_entry& s) { return s.in_use; });

    if (k == pub.count) {
        std::fill_n(pub.matched.begin(), k, false);
        for (const auto& slot : table)
            for (int32_t j = 0; slot.in_use && j < pub.count; ++j)
                pub.matched[j] = pub.matched[j] || same_address(slot.address, pub.addr[j]);
        const bool unchanged = std::all_of(pub.matched.begin(), pub.matched.begin() + pub.count, [](bool f) { return f; });
        if (unchanged && !force)
            return;
    }

    pub.count = 0;
    for (const auto& slot : table)
        if (slot.in_use)
            pub.addr[pub.count++] = slot.address;

    ns6_list list{};
    list.count = pub.count;
    std::copy_n(pub.addr.begin(), pub.count, list.addr.begin());
    out_post(OUT_WLAN6, &list, sizeof list);
}
