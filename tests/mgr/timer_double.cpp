// mgr_timer_arm double for the state machine alone: records the duration asked for and hands back
// a scripted elapsed time. What the machine queues for the output module is recorded at once.
#include "doubles.h"
#include "mgr_internal.h"

#include "out.h"

#include <deque>

namespace dbl {
namespace {
std::deque<mgr_ms> script;
}

void elapse(std::chrono::milliseconds elapsed) { script.push_back(elapsed); }
bool script_used_up() { return script.empty(); }
}  // namespace dbl

// Recorded as whole seconds and milliseconds, the way the durations read in the cases.
mgr_ms mgr_timer_arm(mgr_ms duration)
{
    dbl::record("arm " + std::to_string(duration.count() / 1000) + " " + std::to_string(duration.count() % 1000));
    mgr_ms elapsed{0};
    if (!dbl::script.empty()) {
        elapsed = dbl::script.front();
        dbl::script.pop_front();
    }
    return elapsed;
}

void mgr_stage(uint32_t type, const void* payload, uint32_t length) { out_post(type, payload, length); }
