// Inside the manager: the state machine's variables and the calls between channel, timer and
// state machine. Tests link the state machine alone against recording doubles of these calls.
#pragma once

#include "records.h"

#include <signal.h>

#include <chrono>

// Every duration the manager handles: one 64-bit count of milliseconds.
using mgr_ms = std::chrono::duration<int64_t, std::milli>;
static_assert(sizeof(mgr_ms) == 8);

enum mgr_state_id : int32_t {
    ST_IDLE = 0,
    ST_SOLICIT = 1,
    ST_ROUTER_ONLY = 2,
    ST_GAVE_UP = 3,
    ST_SERVERS = 4,
    ST_REFRESH = 5,
};

struct rdnss_entry {
    in6_addr address;
    mgr_ms remaining;  // lifetime left as of the last ageing
    bool in_use;
};

// One held search domain; `order` keeps the order of arrival, which publication follows.
struct domain_entry {
    domain_name name;
    mgr_ms remaining;
    bool in_use;
    uint64_t order;
};

struct prefix_entry {
    nat64_prefix prefix;
    mgr_ms remaining;
    bool in_use;
};

struct published_servers {
    std::array<in6_addr, kMaxServers> addr;
    std::array<bool, kMaxServers> matched;
    int32_t count;
};

// Touched only by the manager thread while it runs; by the main thread before and after.
struct mgr_machine {
    mgr_state_id state;
    int32_t current_burst;
    int32_t default_burst;
    policy_list current_policy;
    int32_t rs_cycles;
    bool timer_running;  // armed by the machine and not disarmed since (it may have run out)
    mgr_ms give_up_left;  // of the give-up time, while soliciting
    std::array<rdnss_entry, kMaxServers> server_table;
    published_servers published_list;
    std::array<domain_entry, kMaxDomains> domain_table;
    uint64_t next_order;
    search_list published_search;
    std::array<prefix_entry, kMaxPref64> pref64_table;
    pref64_list published_pref64;
    portal_uri portal;  // the latest advertisement's; empty when none
    portal_uri published_portal;
};
extern mgr_machine mgr_sm;

// Starting values of the state machine when the manager thread starts.
void mgr_sm_reset();

// The server table (mgr_table.cpp). Ageing returns true when a server expired; the earliest
// expiry of an empty table is the longest hold.
bool table_age(mgr_ms elapsed);
void table_merge(const rdnss_report& report);
bool table_empty();
void table_clear();
mgr_ms table_earliest();

// The search domain table (mgr_table.cpp), by the same rules as the servers. Ageing returns true
// when a domain expired. A report the listener could not have built (a count outside 0 to 6, a
// name empty or not ended within its slot) is not well formed and not trusted at all.
bool domains_well_formed(const dnssl_report& report);
bool domains_age(mgr_ms elapsed);
void domains_merge(const dnssl_report& report);
bool domains_empty();
void domains_clear();
mgr_ms domains_earliest();
// Sends the held domains to the output module when they changed.
void domains_publish();

// Queues a message for the output module; the manager thread sends what one pass over its channel
// queued in one write when the pass ends.
void mgr_stage(uint32_t type, const void* payload, uint32_t length);

// What the manager holds beside the servers (mgr_netinfo.cpp): search domains and NAT64 prefixes,
// which expire, and the captive portal, which the next advertisement replaces. A report alone
// changes no solicitation; their expiries are timed with the servers'. Ageing publishes what
// expired and returns true when something did.
bool side_age(mgr_ms elapsed);
bool side_empty();
mgr_ms side_earliest();
void side_clear();
void side_publish();
// A prefix report the listener could not have built (a length not of the six) is not trusted.
bool pref64_well_formed(const pref64_report& report);
// Lifetime 0 withdraws a held prefix; otherwise as the server table.
void pref64_merge(const pref64_report& report);
// A URI not ended within its record is not trusted.
bool portal_well_formed(const portal_uri& report);
void portal_take(const portal_uri& report);

// One message from the channel; payload is the thread's private copy (or nullptr).
void mgr_event(uint32_t type, void* payload);
// Sends the held servers to the output module when their set changed, or always when forced.
void mgr_publish(int force);

// Re-arms the one-shot timer for the duration, or only disarms for zero; returns the time elapsed
// since it was last armed.
mgr_ms mgr_timer_arm(mgr_ms duration);
void mgr_timer_fire(sigval);
