// The rules every held table follows (servers, search domains, NAT64 prefixes): how long an entry
// is held, how it ages, and how a report is merged into a table that may be full.
#pragma once

#include "mgr_internal.h"

#include <algorithm>
#include <array>
#include <utility>

namespace mgr_rules {

using namespace std::chrono_literals;

// Every server is held at least this long, so that the refresh asked for 60 s before its expiry
// always gets a full minute after a minute of quiet: a short announced lifetime is no reason to
// lose a server before a router could answer.
inline constexpr mgr_ms kMinHold = 120s;
// A day: a router that vanished without a word (lifetime "infinity" included) is forgotten by then.
inline constexpr mgr_ms kMaxHold = 86400s;

inline mgr_ms hold(uint32_t lifetime) { return std::clamp(mgr_ms{std::chrono::seconds{lifetime}}, kMinHold, kMaxHold); }

// A held entry gives way to a new one only when it has less than a third of the newcomer's hold
// left. What is stored counts, the clamped hold, so an entry just stored for a day is never taken
// for one about to go. A router that keeps announcing refreshes its entries well before that
// (RFC 8106 asks for lifetimes of three advertisement intervals, radvd's default is two), so with
// more candidates than slots the held set stays put instead of following whichever router spoke
// last; an entry whose router has gone makes room once two thirds of its time have passed.
inline constexpr int64_t kGiveWayBelow = 3;  // the newcomer's hold divided by this

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

}  // namespace mgr_rules
