// Lifetimes across a suspend: the real channel, timer and state machine, with the lifetime clock
// replaced by one whose boot time leaps ahead while monotonic time stands still.
#include "doubles.h"
#include "mgr.h"
#include "mgr_internal.h"
#include "proc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using calls = std::vector<std::string>;

calls after(size_t n)
{
    tt::eventually([&] { return dbl::calls().size() >= n; }, 3s);
    return dbl::calls();
}

// Starts the manager thread, associated, with these servers reported.
void start_with(std::vector<std::pair<int, uint32_t>> servers)
{
    dbl::clear();
    ASSERT_EQ(mgr_init(1, nullptr), 0);
    ASSERT_EQ(mgr_start(), 0);
    assoc_info a{};
    a.associated = 1;
    mgr_post(MGR_ASSOC, &a, sizeof a);
    rdnss_report r{};
    r.count = static_cast<int32_t>(servers.size());
    for (size_t i = 0; i < servers.size(); ++i) {
        r.addr[i] = dbl::addr(servers[i].first);
        r.lifetime[i] = servers[i].second;
    }
    mgr_post(MGR_RDNSS, &r, sizeof r);
}

TEST(Sleep, LifetimeTimerRunsOnBootTimeSoItFiresOnWaking)
{
    ASSERT_EQ(mgr_init(1, nullptr), 0);
    EXPECT_NE(tt::read_file("/proc/self/timers").find("ClockID: 7\n"), std::string::npos)
        << "a timer on the monotonic clock stands still while the device sleeps";
    mgr_cleanup();
}

TEST(Sleep, WakingDropsWhatExpiredAsleepAndStartsTheDueRefreshAtOnce)
{
    start_with({{1, 600}, {2, 7200}});
    ASSERT_EQ(after(4), (calls{"out []", "rq 3000 1", "rq -1 1", "out [2001:db8::1 2001:db8::2]"}));

    // A notification before its time is stale; the same one after two hours asleep is not.
    mgr_timer_fire(sigval{});
    dbl::suspend(7150s);
    mgr_timer_fire(sigval{});  // what the boot-time timer, due during the sleep, does on waking
    // What a pass decided for the output goes out when the pass ends.
    EXPECT_EQ(after(7), (calls{"out []", "rq 3000 1", "rq -1 1", "out [2001:db8::1 2001:db8::2]", "rq -1 1",
                               "rq 3000 1", "out [2001:db8::2]"}));
    EXPECT_EQ(mgr_sm.state, ST_REFRESH);

    dbl::suspend(1h);
    mgr_timer_fire(sigval{});
    EXPECT_EQ(after(10).back(), "out []");
    EXPECT_EQ(dbl::calls()[8], "rq 600000 1");
    mgr_stop();
    mgr_cleanup();
}

TEST(Sleep, ServersThatRanOutAsleepBeforeTheirRefreshAreLookedForAtOnce)
{
    start_with({{1, 120}});
    ASSERT_EQ(after(4).back(), "out [2001:db8::1]");
    dbl::suspend(130s);  // past the refresh a minute before expiry, and past the expiry
    mgr_timer_fire(sigval{});
    // Not the ten minutes of a router without servers: solicit as on association.
    EXPECT_EQ(after(7), (calls{"out []", "rq 3000 1", "rq -1 1", "out [2001:db8::1]", "rq -1 1", "rq 3000 1",
                               "out []"}));
    EXPECT_EQ(mgr_sm.state, ST_SOLICIT);
    mgr_stop();
    mgr_cleanup();
}

}  // namespace
