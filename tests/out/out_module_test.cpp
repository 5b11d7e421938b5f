// The output module in this process: its channel, reloads handed to the manager (recorded at the
// link seam), and stopping while a script runs.
#include "mgr_post_double.h"
#include "out.h"
#include "out_request.h"
#include "ctl_wire.h"
#include "out_test_support.h"
#include "policy.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace ot;
using namespace tw;

class OutModule : public ::testing::Test {
protected:
    void start(const char* policy_path = nullptr)
    {
        ASSERT_EQ(out_init(script.path().c_str(), policy_path), 0);
        ASSERT_EQ(out_start(), 0);
        running = true;
        mgr_posts_taken();
    }

    void TearDown() override
    {
        script.hold(false);
        if (running)
            out_stop();
        out_cleanup();
        EXPECT_FALSE(script.overlapped());
        for (const auto& p : mgr_posts_taken())
            policy_free(p.list);
    }

    tt::temp_dir dir;
    script_log script{dir};
    bool running = false;
};

TEST_F(OutModule, EveryWlan6PostRunsTheScriptAndBadCountsChangeNothing)
{
    start();
    const ns6_list servers = v6({"2001:db8::53", "2001:db8::54"});
    out_post(OUT_WLAN6, &servers, sizeof servers);
    ASSERT_TRUE(script.wait_ended(1));
    // The same list again: the manager decides what is worth publishing, so it runs again.
    out_post(OUT_WLAN6, &servers, sizeof servers);
    ASSERT_TRUE(script.wait_ended(2));
    for (const auto& run : script.runs())
        EXPECT_EQ(run.env, (std::vector<std::string>{"TAMROD_V6=2001:db8::53 2001:db8::54", "TAMROD_V4=",
                                                      "TAMROD_R6=", "TAMROD_R4="}));

    ns6_list garbled = v6({"::1"});
    garbled.count = 9;
    out_post(OUT_WLAN6, &garbled, sizeof garbled);
    const ctl_list_reply held = list_lists();
    EXPECT_EQ(ns6_compare(held.v6, servers), 0);
    EXPECT_EQ(held.v4.count, 0);

    // Had the garbled list caused a run, this one would be the fourth.
    const ns6_list next = v6({"fe80::1"});
    out_post(OUT_WLAN6, &next, sizeof next);
    ASSERT_TRUE(script.wait_ended(3));
    const auto runs = script.runs();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[2].env[0], "TAMROD_V6=fe80::1");
}

TEST_F(OutModule, StopDoesNotWaitForARunningScript)
{
    start();
    script.hold(true);
    const ns6_list servers = v6({"::1"});
    out_post(OUT_WLAN6, &servers, sizeof servers);
    ASSERT_TRUE(script.wait_begun(1));
    const auto before = std::chrono::steady_clock::now();
    out_stop();
    running = false;
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_EQ(script.runs()[0].end_ns, -1) << "the script had to be held while the thread stopped";
}

TEST_F(OutModule, ReloadHandsAFreshPolicyToTheManagerOnlyWhenTheFileReads)
{
    const std::string policy = dir.write("policy", "LabNet + -1\n");
    start(policy.c_str());

    EXPECT_EQ(exchange(word(CMD_RELOAD)), "");
    std::vector<recorded_post> posts;
    ASSERT_TRUE(tt::eventually([&] {
        auto more = mgr_posts_taken();
        posts.insert(posts.end(), more.begin(), more.end());
        return !posts.empty();
    }));
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].type, MGR_POLICY);
    // The payload is the list pointer itself, at the platform's pointer width.
    EXPECT_EQ(posts[0].length, sizeof(void*));
    ASSERT_NE(posts[0].list, nullptr);
    EXPECT_STREQ(posts[0].list->ssid.data(), "LabNet");
    EXPECT_EQ(posts[0].list->flags, POLICY_ANY_BSSID | POLICY_DISABLED);
    EXPECT_EQ(posts[0].list->next, nullptr);
    policy_free(posts[0].list);

    // An erroneous file and one without entries yield nothing to hand over.
    for (const char* content : {"LabNet 00:11:zz:33:44:55 1\n", "# nothing here\n"}) {
        dir.write("policy", content);
        testing::internal::CaptureStderr();
        EXPECT_EQ(exchange(word(CMD_RELOAD)), "");
        list_lists();  // served after the reload, so the reload has been handled by now
        const std::string err = testing::internal::GetCapturedStderr();
        if (content[0] == '#')
            EXPECT_EQ(err, "");
        else
            EXPECT_EQ(err, "illegal bssid line 1 of " + policy + "\n");
        EXPECT_TRUE(mgr_posts_taken().empty());
    }
}

TEST_F(OutModule, ReloadWithoutAPolicyFileDoesNothing)
{
    start(nullptr);
    EXPECT_EQ(exchange(word(CMD_RELOAD)), "");
    list_lists();
    EXPECT_TRUE(mgr_posts_taken().empty());
    EXPECT_TRUE(script.runs().empty());
}

}  // namespace
