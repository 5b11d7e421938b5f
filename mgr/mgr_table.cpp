// The server and search domain tables: lifetimes, the merge of a report, publication to the output module.
#include "mgr_internal.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <utility>

using namespace std::chrono_literals;

namespace {

// Every server is held at least this long, so that the refresh asked for 60 s before its expiry
// always gets a full minute after a minute of quiet: a short announced lifetime is no reason to
// lose a server before a router could answer.
constexpr mgr_ms kMinHold = 120s;
// A day: a router that vanished without a word (lifetime "infinity" included) is forgotten by then.
constexpr mgr_ms kMaxHold = 86400s;

auto& table = mgr_sm.server_table;
auto& domains = mgr_sm.domain_table;

bool same_address(const in6_addr& a, const in6_addr& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
// Names arrive in lower case already; comparing without regard to case costs nothing more.
bool same_name(const domain_name& a, const domain_name& b) { return strncasecmp(a.data(), b.data(), a.size()) == 0; }

mgr_ms hold(uint32_t lifetime) { return std::clamp(mgr_ms{std::chrono::seconds{lifetime}}, kMinHold, kMaxHold); }

// A held entry gives way to a new one only when it has less than a third of the newcomer's hold
// left. What is stored counts, the clamped hold, so an entry just stored for a day is never taken
// for one about to go. A router that keeps announcing refreshes its entries well before that
// (RFC 8106 asks for lifetimes of three advertisement intervals, radvd's default is two), so with
// more candidates than slots the held set stays put instead of following whichever router spoke
// last; an entry whose router has gone makes room once two thirds of its time have passed.
constexpr int64_t kGiveWayBelow = 3;  // the newcomer's hold divided by this

template <typename Slot>
bool outlasts(uint32_t lifetime, const Slot& slot)
{
    return slot.remaining < hold(lifetime) / kGiveWayBelow;
}

template <typename Slot, std::size_t N>
bool age(std::array<Slot, N>& slots, mgr_ms elapsed)
{
    bool expired = false;
    for (auto& slot : slots) {
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

template <typename Slot, std::size_t N>
mgr_ms earliest(const std::array<Slot, N>& slots)
{
    mgr_ms first = kMaxHold;
    for (const auto& slot : slots)
        if (slot.in_use)
            first = std::min(first, slot.remaining);
    return first;
}

// The rules every table follows. `key` names the slot's key; `fresh` runs when a slot takes a new
// key. A lifetime of 0 in `life` marks an entry as taken, so an unknown key announced with 0 is
// never stored; a key repeated within the report counts once.
template <typename Slot, std::size_t N, typename Key, typename Same, typename Fresh, std::size_t M>
void merge(std::array<Slot, N>& slots, Key Slot::*key, const std::array<Key, M>& keys, int n,
           std::array<uint32_t, M> life, Same same, Fresh fresh)
{
    const auto store = [&](Slot& slot, int i) {
        slot.*key = keys[i];
        slot.remaining = hold(life[i]);
        life[i] = 0;
    };
    // Refresh known keys whatever the lifetime: even 0 only brings one down to the minimum hold.
    for (int i = 0; i < n; ++i) {
        auto held = std::find_if(slots.begin(), slots.end(), [&](const Slot& s) { return s.in_use && same(s.*key, keys[i]); });
        if (std::any_of(keys.begin(), keys.begin() + i, [&](const Key& k) { return same(k, keys[i]); }))
            life[i] = 0;
        else if (held != slots.end())
            held->remaining = hold(std::exchange(life[i], 0));
    }
    // A free slot costs no key its place, so new keys fill those before any is replaced.
    for (int i = 0; i < n; ++i) {
        if (life[i] == 0)
            continue;
        auto free_slot = std::find_if(slots.begin(), slots.end(), [](const Slot& s) { return !s.in_use; });
        if (free_slot == slots.end())
            break;
        free_slot->in_use = true;
        fresh(*free_slot);
        store(*free_slot, i);
    }
    // Replace the first key that is really nearer its end than the new one.
    for (int i = 0; i < n; ++i) {
        if (life[i] == 0)
            continue;
        auto shorter = std::find_if(slots.begin(), slots.end(), [&](const Slot& s) { return outlasts(life[i], s); });
        if (shorter != slots.end()) {
            fresh(*shorter);
            store(*shorter, i);
        }
    }
}

}  // namespace

bool domains_well_formed(const dnssl_report& r)
{
    if (r.count < 0 || r.count > kMaxDomains)
        return false;
    return std::all_of(r.name.begin(), r.name.begin() + r.count, [](const domain_name& name) {
        return name[0] != '\0' && std::memchr(name.data(), '\0', name.size()) != nullptr;
    });
}

bool table_age(mgr_ms elapsed) { return age(table, elapsed); }

void table_merge(const rdnss_report& report)
{
    // Never trust a count to stay within the slots, whoever built the report.
    merge(table, &rdnss_entry::address, report.addr, std::clamp(report.count, 0, kMaxServers), report.lifetime,
          same_address, [](rdnss_entry&) {});
}

bool domains_age(mgr_ms elapsed) { return age(domains, elapsed); }

void domains_merge(const dnssl_report& report)
{
    std::array<uint32_t, kMaxDomains> life{};
    life.fill(report.lifetime);
    // A new name goes after those held, in the order announced; a refreshed one keeps its place.
    merge(domains, &domain_entry::name, report.name, report.count, life, same_name,
          [](domain_entry& d) { d.order = mgr_sm.next_order++; });
}

bool domains_empty()
{
    return std::none_of(domains.begin(), domains.end(), [](const domain_entry& d) { return d.in_use; });
}

void domains_clear()
{
    for (auto& d : domains)
        d.in_use = false;
}

mgr_ms domains_earliest() { return earliest(domains); }

void domains_publish()
{
    std::array<const domain_entry*, kMaxDomains> held{};
    search_list list{};
    for (const auto& d : domains) {
        if (!d.in_use)
            continue;
        int32_t j = list.count++;  // into place by order of arrival
        for (; j > 0 && held[j - 1]->order > d.order; --j)
            held[j] = held[j - 1];
        held[j] = &d;
    }
    // The name only: whatever a report carried behind its NUL stays here.
    for (int32_t i = 0; i < list.count; ++i)
        std::memcpy(list.name[i].data(), held[i]->name.data(), std::strlen(held[i]->name.data()));
    auto& pub = mgr_sm.published_search;
    const bool same = list.count == pub.count &&
                      std::equal(list.name.begin(), list.name.begin() + list.count, pub.name.begin(),
                                 [](const domain_name& a, const domain_name& b) { return std::strcmp(a.data(), b.data()) == 0; });
    if (same)
        return;
    pub = list;
    mgr_stage(OUT_SEARCH, &list, sizeof list);
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

mgr_ms table_earliest() { return earliest(table); }

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
    mgr_stage(OUT_WLAN6, &list, sizeof list);
}
