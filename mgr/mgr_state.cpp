// Discovery state machine and server table.
#include "mgr_internal.h"
#include "out.h"
#include "policy.h"
#include "rq.h"

#include <algorithm>
#include <cstring>

mgr_machine mgr_sm{};

namespace {

constexpr int32_t kSolicitMs = 3000;
constexpr int32_t kSlowSolicitMs = 6000;
constexpr int32_t kRouterOnlyMs = 600000;
constexpr int32_t kGiveUpSec = 60;
constexpr int32_t kRefreshAheadSec = 60;
constexpr int32_t kSlowAfterCycles = 10;
constexpr uint32_t kMinLifetime = 120;
constexpr uint32_t kMaxLifetime = 86400;

auto& m = mgr_sm;

void set_state(mgr_state_id s) { m.state = s; }

void stop_soliciting() { rq_set(-1, m.current_burst != 0); }
void solicit_every(int32_t ms) { rq_set(ms, m.current_burst != 0); }

void arm(int32_t sec, int32_t ms) { mgr_timer_arm(sec, ms); }

// Disarms and returns the time elapsed since the timer was last armed.
std::pair<int32_t, int32_t> disarm()
{
    int32_t sec = 0, ms = 0;
    mgr_timer_arm(sec, ms);
    return {sec, ms};
}

bool same_address(const in6_addr& a, const in6_addr& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void start_soliciting(int32_t burst)
{
    m.current_burst = burst;
    set_state(ST_SOLICIT);
    m.rs_cycles = 0;
    solicit_every(kSolicitMs);
    arm(kGiveUpSec, 0);
}

// Returns true when at least one server expired.
bool age_table(int32_t es, int32_t ems)
{
    bool expired = false;
    for (auto& slot : m.server_table) {
        if (!slot.in_use)
            continue;
        const int32_t sec = slot.remaining_sec, ms = slot.remaining_ms;
        if (es > sec || (es == sec && ems >= ms)) {
            slot.in_use = 0;
            expired = true;
            continue;
        }
        slot.remaining_sec = sec - es;
        if (ems > ms) {
            slot.remaining_sec -= 1;
            slot.remaining_ms = ms + 1000 - ems;
        } else {
            slot.remaining_ms = ms - ems;
        }
    }
    return expired;
}

void store(rdnss_entry& slot, const in6_addr& addr, uint32_t lifetime)
{
    slot.address = addr;
    slot.remaining_sec = static_cast<int32_t>(std::clamp(lifetime, kMinLifetime, kMaxLifetime));
    slot.remaining_ms = 0;
}

void merge_report(rdnss_report& r)
{
    // Never trust a count to stay within the slots, whoever built the report.
    const int n = std::clamp(r.count, 0, kMaxServers);
    auto& life = r.lifetime;

    // Refresh known servers whatever the lifetime: even 0 only brings one down to the minimum hold.
    for (int i = 0; i < n; ++i) {
        for (auto& slot : m.server_table) {
            if (slot.in_use && same_address(slot.address, r.addr[i])) {
                store(slot, r.addr[i], life[i]);
                life[i] = 0;
                break;
            }
        }
    }
    // A free slot costs no server its place, so new servers fill those before any is replaced.
    for (int i = 0; i < n; ++i) {
        if (life[i] == 0)
            continue;
        auto free_slot = std::find_if(m.server_table.begin(), m.server_table.end(),
                                      [](const rdnss_entry& s) { return !s.in_use; });
        if (free_slot == m.server_table.end())
            break;
        store(*free_slot, r.addr[i], life[i]);
        free_slot->in_use = 1;
        life[i] = 0;
    }
    // Replace the first server with fewer whole seconds left than the new one announces.
    for (int i = 0; i < n; ++i) {
        if (life[i] == 0)
            continue;
        for (auto& slot : m.server_table) {
            if (static_cast<uint32_t>(slot.remaining_sec) < life[i]) {
                store(slot, r.addr[i], life[i]);
                break;
            }
        }
    }
}

void schedule()
{
    int32_t m_s = static_cast<int32_t>(kMaxLifetime), m_ms = 0;
    for (const auto& slot : m.server_table) {
        if (!slot.in_use)
            continue;
        if (slot.remaining_sec < m_s) {
            m_s = slot.remaining_sec;
            m_ms = slot.remaining_ms;
        } else if (slot.remaining_sec == m_s && slot.remaining_ms < m_ms) {
            m_ms = slot.remaining_ms;
        }
    }
    if (m_s > kRefreshAheadSec) {
        arm(m_s - kRefreshAheadSec, m_ms);
        return;
    }
    set_state(ST_REFRESH);
    m.rs_cycles = 0;
    solicit_every(kSolicitMs);
    arm(m_s, m_ms);
}

bool table_empty()
{
    return std::none_of(m.server_table.begin(), m.server_table.end(),
                        [](const rdnss_entry& s) { return s.in_use != 0; });
}

void on_assoc(const assoc_info& assoc)
{
    const policy_entry* entry = policy_lookup(assoc, m.current_policy);
    const bool usable = assoc.associated != 0 && !(entry != nullptr && (entry->flags & POLICY_DISABLED));
    const int32_t burst = entry != nullptr ? entry->burst : m.default_burst;

    switch (static_cast<mgr_state_id>(m.state)) {
    case ST_IDLE:
        if (usable)
            start_soliciting(burst);
        return;
    case ST_SOLICIT:
    case ST_ROUTER_ONLY:
    case ST_GAVE_UP:
        if (usable) {
            start_soliciting(burst);
        } else {
            stop_soliciting();
            disarm();
            set_state(ST_IDLE);
        }
        return;
    case ST_SERVERS:
    case ST_REFRESH:
        if (usable) {
            // Servers already held stay; only the next rq_set carries the new burst flag.
            m.current_burst = burst;
        } else {
            stop_soliciting();
            disarm();
            for (auto& slot : m.server_table)
                slot.in_use = 0;
            mgr_publish(0);
            set_state(ST_IDLE);
        }
        return;
    }
}

void on_rs_sent()
{
    if (m.state != ST_SOLICIT && m.state != ST_REFRESH)
        return;
    if (m.rs_cycles <= kSlowAfterCycles)
        ++m.rs_cycles;
    if (m.rs_cycles == kSlowAfterCycles)
        solicit_every(kSlowSolicitMs);
}

void on_ra_seen()
{
    if (m.state != ST_SOLICIT)
        return;
    solicit_every(kRouterOnlyMs);
    disarm();
    set_state(ST_ROUTER_ONLY);
}

void on_rdnss(rdnss_report& report)
{
    if (m.state == ST_IDLE)
        return;
    stop_soliciting();
    auto [es, ems] = disarm();
    set_state(ST_SERVERS);
    age_table(es, ems);
    merge_report(report);
    mgr_publish(0);
    schedule();
}

void on_timer()
{
    switch (static_cast<mgr_state_id>(m.state)) {
    case ST_SOLICIT:
        set_state(ST_GAVE_UP);
        stop_soliciting();
        disarm();
        return;
    case ST_SERVERS:
    case ST_REFRESH: {
        stop_soliciting();
        auto [es, ems] = disarm();
        set_state(ST_SERVERS);
        if (age_table(es, ems))
            mgr_publish(0);
        if (table_empty()) {
            solicit_every(kRouterOnlyMs);
            set_state(ST_ROUTER_ONLY);
        } else {
            schedule();
        }
        return;
    }
    case ST_IDLE:
    case ST_ROUTER_ONLY:
    case ST_GAVE_UP:
        return;
    }
}

}  // namespace

void mgr_sm_reset()
{
    m.current_burst = m.default_burst;
    set_state(ST_IDLE);
    m.rs_cycles = 0;
    m.server_table = {};
    m.published_list = {};
}

void mgr_event(uint32_t type, void* payload)
{
    switch (type) {
    case MGR_ASSOC:
        on_assoc(*static_cast<const assoc_info*>(payload));
        return;
    case MGR_RS_SENT:
        on_rs_sent();
        return;
    case MGR_RA_SEEN:
        on_ra_seen();
        return;
    case MGR_RDNSS:
        on_rdnss(*static_cast<rdnss_report*>(payload));
        return;
    case MGR_TIMER:
        on_timer();
        return;
    default:
        return;
    }
}

void mgr_publish(int force)
{
    auto& pub = m.published_list;
    int32_t k = 0;
    for (const auto& slot : m.server_table)
        k += slot.in_use ? 1 : 0;

    if (k == pub.count) {
        std::fill_n(pub.matched.begin(), k, 0);
        for (const auto& slot : m.server_table) {
            if (!slot.in_use)
                continue;
            for (int32_t j = 0; j < pub.count; ++j)
                if (same_address(slot.address, pub.addr[j]))
                    pub.matched[j] = 1;
        }
        const bool unchanged = std::all_of(pub.matched.begin(), pub.matched.begin() + pub.count,
                                           [](int32_t f) { return f != 0; });
        if (unchanged && !force)
            return;
    }

    pub.count = 0;
    for (const auto& slot : m.server_table)
        if (slot.in_use)
            pub.addr[pub.count++] = slot.address;

    ns6_list list{};
    list.count = pub.count;
    std::copy_n(pub.addr.begin(), pub.count, list.addr.begin());
    out_post(OUT_WLAN6, &list, sizeof list);
}
