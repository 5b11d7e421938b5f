// Discovery state machine: which state each report leads to, and what entering a state does.
#include "mgr_internal.h"
#include "policy.h"
#include "rq.h"

using namespace std::chrono_literals;

mgr_machine mgr_sm{};

namespace {

// Looking for a router: fast enough to find one within seconds of association.
constexpr mgr_ms kEagerInterval = 3s;
// After ten unanswered cycles, half as often: the link may simply have no router yet.
constexpr mgr_ms kPatientInterval = 6s;
constexpr int32_t kEagerCycles = 10;
// A router answered without servers: ask rarely, in case one appears.
constexpr mgr_ms kRouterOnlyInterval = 600s;
// No router within a minute of association: stop disturbing the link.
constexpr mgr_ms kGiveUp = 60s;
// Ask for a refresh this long before a server or domain expires: enough for several cycles.
constexpr mgr_ms kRefreshLead = 60s;

auto& m = mgr_sm;

void stop_soliciting() { rq_set(-1, m.current_burst != 0); }
void solicit_every(mgr_ms interval) { rq_set(static_cast<int32_t>(interval.count()), m.current_burst != 0); }

// Every elapsed time the timer hands back ages every table, so no time that passed is lost; true
// when a server expired. A domain or prefix that expired is published at once.
bool absorb(mgr_ms elapsed)
{
    if (m.state == ST_SOLICIT)
        m.give_up_left -= elapsed;
    side_age(elapsed);
    return table_age(elapsed);
}

void arm(mgr_ms duration)
{
    absorb(mgr_timer_arm(duration));
    m.timer_running = true;
}

// Disarms and ages the tables by the time elapsed since the timer was last armed; true when a
// server expired.
bool disarm()
{
    m.timer_running = false;
    return absorb(mgr_timer_arm(mgr_ms{0}));
}

// The earliest expiry of every table: the refresh before it covers servers, domains and prefixes.
mgr_ms held_earliest() { return std::min(table_earliest(), side_earliest()); }

// Without servers nothing is solicited for, but held domains and prefixes still expire on time.
void arm_for_side()
{
    if (!side_empty())
        arm(side_earliest());
}

// The one place a state is entered: sets it, runs its entry actions and makes its one timer
// decision. Servers and refresh are entered only after the event stopped soliciting and the timer.
void enter(mgr_state_id s)
{
    m.state = s;
    switch (s) {
    case ST_IDLE:
        stop_soliciting();
        disarm();
        table_clear();
        side_clear();
        mgr_publish(0);
        side_publish();
        return;
    case ST_SOLICIT:
    case ST_REFRESH:
        // Held domains and prefixes run out on time while soliciting: aged first, then timed
        // against the give-up.
        if (s == ST_SOLICIT && m.timer_running && !side_empty())
            disarm();
        m.rs_cycles = 0;
        solicit_every(kEagerInterval);
        arm(s == ST_SOLICIT ? std::min(kGiveUp, side_earliest()) : held_earliest());
        m.give_up_left = kGiveUp;  // read while soliciting; set after the arm, which took the time before
        return;
    case ST_ROUTER_ONLY:
        solicit_every(kRouterOnlyInterval);
        if (m.timer_running)
            disarm();
        arm_for_side();
        return;
    case ST_GAVE_UP:
        stop_soliciting();
        disarm();
        arm_for_side();
        return;
    case ST_SERVERS:
        arm(held_earliest() - kRefreshLead);
        return;
    }
}

// Stops soliciting and the timer and ages the tables by the time that passed; true when a server
// expired.
bool pause_and_age()
{
    stop_soliciting();
    return disarm();
}

// Where the earliest expiry leads: a quiet wait, or a refresh when it is a minute away or less.
mgr_state_id by_earliest_expiry()
{
    return std::chrono::floor<std::chrono::seconds>(held_earliest()) > kRefreshLead ? ST_SERVERS : ST_REFRESH;
}

// After a search list changed the tables but not the state: the timer again for what the state
// waits on. A refresh that has come due starts.
void rearm()
{
    const mgr_ms first = held_earliest();
    switch (m.state) {
    case ST_IDLE:
        return;
    case ST_SOLICIT:
        arm(std::min(std::max(m.give_up_left, mgr_ms{1}), side_earliest()));
        return;
    case ST_ROUTER_ONLY:
    case ST_GAVE_UP:
        arm_for_side();
        return;
    case ST_SERVERS:
        enter(by_earliest_expiry());
        return;
    case ST_REFRESH:
        // Servers and domains may be refreshed by separate reports: once both are fresh, the
        // refresh is over.
        if (by_earliest_expiry() == ST_SERVERS) {
            stop_soliciting();
            enter(ST_SERVERS);
        } else {
            arm(first);
        }
        return;
    }
}

void on_assoc(const assoc_info& assoc)
{
    const policy_entry* entry = policy_lookup(assoc, m.current_policy);
    const bool usable = assoc.associated != 0 && !(entry != nullptr && (entry->flags & POLICY_DISABLED));
    const int32_t burst = entry != nullptr ? entry->burst : m.default_burst;

    switch (m.state) {
    case ST_IDLE:
    case ST_SOLICIT:
    case ST_ROUTER_ONLY:
    case ST_GAVE_UP:
        if (usable) {
            m.current_burst = burst;
            enter(ST_SOLICIT);
        } else if (m.state != ST_IDLE) {
            enter(ST_IDLE);
        }
        return;
    case ST_SERVERS:
    case ST_REFRESH:
        // Servers already held stay; only the next rq_set carries the new burst flag.
        if (usable)
            m.current_burst = burst;
        else
            enter(ST_IDLE);
        return;
    }
}

void on_rs_sent()
{
    if (m.state != ST_SOLICIT && m.state != ST_REFRESH)
        return;
    if (m.rs_cycles <= kEagerCycles)
        ++m.rs_cycles;
    if (m.rs_cycles == kEagerCycles)
        solicit_every(kPatientInterval);
}

void on_ra_seen()
{
    if (m.state == ST_SOLICIT)
        enter(ST_ROUTER_ONLY);
}

void on_rdnss(const rdnss_report& report)
{
    if (m.state == ST_IDLE)
        return;
    pause_and_age();
    table_merge(report);
    mgr_publish(0);
    enter(by_earliest_expiry());
}

// A search list or a prefix alone changes no solicitation; only an expiry of the last server found
// on the way leads elsewhere, as it would at the timer.
template <typename Apply>
void on_side_report(Apply apply)
{
    const bool expired = disarm();
    if (expired)
        mgr_publish(0);
    apply();
    if (expired && table_empty())
        enter(ST_ROUTER_ONLY);
    else
        rearm();
}

void on_dnssl(const dnssl_report& report)
{
    if (m.state == ST_IDLE || !domains_well_formed(report))
        return;
    on_side_report([&] {
        domains_merge(report);
        domains_publish();
    });
}

void on_pref64(const pref64_report& report)
{
    if (m.state != ST_IDLE && pref64_well_formed(report))
        on_side_report([&] { pref64_merge(report); });
}

// A portal has no lifetime: the next advertisement's replaces it, a loss clears it.
void on_portal(const portal_uri& report)
{
    if (m.state != ST_IDLE && portal_well_formed(report))
        portal_take(report);
}

void on_timer()
{
    switch (m.state) {
    case ST_SOLICIT:
        // Armed for the give-up, or for a held domain that runs out before it.
        if (side_earliest() < m.give_up_left) {
            disarm();
            arm(std::max(std::min(m.give_up_left, side_earliest()), mgr_ms{1}));
        } else {
            enter(ST_GAVE_UP);
        }
        return;
    case ST_SERVERS:
    case ST_REFRESH:
        if (pause_and_age())
            mgr_publish(0);
        enter(table_empty() ? ST_ROUTER_ONLY : by_earliest_expiry());
        return;
    case ST_ROUTER_ONLY:
    case ST_GAVE_UP:
        // Armed here only for held domains and prefixes.
        if (m.timer_running) {
            disarm();
            arm_for_side();
        }
        return;
    case ST_IDLE:
        return;
    }
}

}  // namespace

void mgr_sm_reset()
{
    m.current_burst = m.default_burst;
    m.state = ST_IDLE;
    m.rs_cycles = 0;
    m.timer_running = false;
    m.give_up_left = mgr_ms{0};
    m.server_table = {};
    m.published_list = {};
    m.domain_table = {};
    m.next_order = 0;
    m.published_search = {};
    m.pref64_table = {};
    m.published_pref64 = {};
    m.portal = {};
    m.published_portal = {};
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
        on_rdnss(*static_cast<const rdnss_report*>(payload));
        return;
    case MGR_TIMER:
        on_timer();
        return;
    case MGR_DNSSL:
        on_dnssl(*static_cast<const dnssl_report*>(payload));
        return;
    case MGR_PREF64:
        on_pref64(*static_cast<const pref64_report*>(payload));
        return;
    case MGR_PORTAL:
        on_portal(*static_cast<const portal_uri*>(payload));
        return;
    default:
        return;
    }
}
