// Inside the manager: the state machine's variables and the calls between channel, timer and
// state machine. Tests link the state machine alone against recording doubles of these calls.
#pragma once

#include "records.h"

#include <signal.h>

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
    int32_t remaining_sec;
    int32_t remaining_ms;
    int32_t in_use;
};

struct published_servers {
    std::array<in6_addr, kMaxServers> addr;
    std::array<int32_t, kMaxServers> matched;
    int32_t count;
};

// Touched only by the manager thread while it runs; by the main thread before and after.
struct mgr_machine {
    int32_t state;
    int32_t current_burst;
    int32_t default_burst;
    policy_list current_policy;
    int32_t rs_cycles;
    std::array<rdnss_entry, kMaxServers> server_table;
    published_servers published_list;
};
extern mgr_machine mgr_sm;

// Starting values of the state machine when the manager thread starts.
void mgr_sm_reset();

// One message from the channel; payload is the thread's private copy (or nullptr).
void mgr_event(uint32_t type, void* payload);
// Sends the held servers to the output module when their set changed, or always when forced.
void mgr_publish(int force);

// Re-arms the one-shot timer for (sec, ms), or only disarms for (0, 0); hands back, in the same
// two variables, the time elapsed since it was last armed.
void mgr_timer_arm(int32_t& sec, int32_t& ms);
void mgr_timer_fire(sigval);
