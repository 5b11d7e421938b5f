// Recording doubles for the manager's outgoing calls (rq_set, out_post and, for the state machine
// alone, mgr_timer_arm). Tests read what was called, in order, as short text lines.
#pragma once

#include "records.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dbl {

// Every recorded call in call order: "rq 3000 1", "arm 60 0", "out [2001:db8::1 2001:db8::2]",
// "search [lab.example corp.example]".
std::vector<std::string> calls();
std::vector<ns6_list> published();
void clear();
void record(std::string line);

// Runs inside rq_set, in the caller's thread, after the call is recorded.
void on_rq_set(std::function<void(int32_t, bool)> hook);

// The next mgr_timer_arm call hands back this elapsed time; without a script it hands back zero.
void elapse(std::chrono::milliseconds elapsed);
bool script_used_up();

// The lifetime clock double: boot time jumps ahead while monotonic time does not.
void suspend(std::chrono::nanoseconds length);

std::string text(const in6_addr& a);
in6_addr addr(int n);  // 2001:db8::n

}  // namespace dbl
