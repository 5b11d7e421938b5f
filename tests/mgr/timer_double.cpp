// mgr_timer_arm double for the state machine alone: records the duration asked for and hands back
// a scripted elapsed time.
#include "doubles.h"
#include "mgr_internal.h"

#include <deque>
#include <utility>

namespace dbl {
namespace {
std::deque<std::pair<int32_t, int32_t>> script;
}

void elapse(int32_t sec, int32_t ms) { script.emplace_back(sec, ms); }
bool script_used_up() { return script.empty(); }
}  // namespace dbl

void mgr_timer_arm(int32_t& sec, int32_t& ms)
{
    dbl::record("arm " + std::to_string(sec) + " " + std::to_string(ms));
    sec = ms = 0;
    if (!dbl::script.empty()) {
        std::tie(sec, ms) = dbl::script.front();
        dbl::script.pop_front();
    }
}
