// The output and manager threads each write into the other's pipe. With both pipes full,
// neither may end up waiting on the other: the real modules, with only rq_set left out.
#include "ctl_wire.h"
#include "mgr.h"
#include "mgr_internal.h"
#include "out.h"
#include "proc.h"
#include "rq.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

void rq_set(int32_t, bool) {}

namespace {

using namespace std::chrono_literals;
using namespace tw;

// Threads stuck in a deadlock cannot be joined or cleaned up: end the process with the verdict.
void give_up_if(bool stuck, const char* what)
{
    if (!stuck)
        return;
    std::fprintf(stderr, "deadlock: %s\n", what);
    std::fflush(nullptr);
    _exit(1);
}

TEST(HostileChannels, BothPipesFullDoNotDeadlockAndTheReloadedPolicyArrives)
{
    TT_REQUIRE_ROOT();
    tt::temp_dir dir;
    const auto script = dir.write("hook", "#!/bin/sh\nexit 0\n", 0755);
    const auto policy = dir.write("policy", "Home + 1\n");
    ASSERT_EQ(mgr_init(0, nullptr), 0);
    ASSERT_EQ(out_init(script.c_str(), policy.c_str()), 0);
    ASSERT_EQ(out_start(), 0);

    // The manager is not reading yet: stale expiries fill its pipe until the poster waits.
    constexpr int kReports = 20000;
    std::atomic<int> posted{0};
    std::thread reporter([&] {
        const uint32_t stale = 0xdead;
        for (int i = 0; i < kReports; ++i, ++posted)
            mgr_post(MGR_TIMER, &stale, sizeof stale);
    });
    int last = -1;
    ASSERT_TRUE(tt::eventually([&] { return std::exchange(last, posted.load()) == last && last > 0; }, 5s));
    ASSERT_LT(posted.load(), kReports);

    // A reload now meets the manager's full pipe; meanwhile the manager's side floods ours.
    EXPECT_EQ(exchange(word(CMD_RELOAD)), "");
    std::atomic<bool> published{false};
    std::thread publisher([&] {
        const ns6_list servers = v6({"2001:db8::1"});
        for (int i = 0; i < 5000; ++i)
            out_post(OUT_WLAN6, &servers, sizeof servers);
        published = true;
    });
    const bool drained = tt::eventually([&] { return published.load(); }, 10s);
    give_up_if(!drained, "the output thread waits on the manager's pipe and no longer drains its own");
    EXPECT_EQ(list_lists().v6.count, 1) << "the output thread no longer serves clients";

    // Once the manager reads, the policy goes through with the next offer.
    ASSERT_EQ(mgr_start(), 0);
    give_up_if(!tt::eventually([&] { return posted.load() == kReports; }, 10s), "reports never drained");
    reporter.join();
    publisher.join();
    std::this_thread::sleep_for(1s);  // four offers' worth
    out_stop();
    mgr_stop();
    ASSERT_NE(mgr_sm.current_policy, nullptr) << "the reloaded policy was lost";
    EXPECT_STREQ(mgr_sm.current_policy->ssid.data(), "Home");
    EXPECT_EQ(mgr_sm.current_policy->burst, 1);
    out_cleanup();
    mgr_cleanup();
}

}  // namespace
