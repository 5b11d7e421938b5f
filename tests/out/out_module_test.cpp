// The output module in this process: its channel, reloads handed to the manager (recorded at the
// link seam), and stopping while a script runs.
#include "mgr_post_double.h"
#include "out.h"
#include "out_request.h"
#include "ctl_wire.h"
#include "out_test_support.h"
#include "policy.h"
#include "search_fixture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <cstring>
#include <fstream>
#include <thread>

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

TEST_F(OutModule, SearchPrefixesAndPortalFollowTheFourAndServiceManagerVariablesStayBehind)
{
    // As a service manager leaves them for the daemon.
    for (const char* name : {"NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES", "WATCHDOG_USEC",
                             "WATCHDOG_PID"})
        setenv(name, "1", 1);
    start();
    for (const char* name : {"NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES", "WATCHDOG_USEC",
                             "WATCHDOG_PID"})
        unsetenv(name);
    const search_list corp = domains({"corp.example", "a;b.example", "lab.example"});
    out_post(OUT_SEARCH, &corp, sizeof corp);
    ASSERT_TRUE(script.wait_ended(1));
    // The same domains again, and a count out of range, are no change.
    out_post(OUT_SEARCH, &corp, sizeof corp);
    search_list garbled = corp;
    garbled.count = 7;
    out_post(OUT_SEARCH, &garbled, sizeof garbled);
    const search_list none{};
    out_post(OUT_SEARCH, &none, sizeof none);
    ASSERT_TRUE(script.wait_ended(2));
    // A prefix with a bit past its length and an unprintable URI never reach the script.
    pref64_list nat64{};
    nat64.count = 2;
    inet_pton(AF_INET6, "64:ff9b::", &nat64.prefix[0].prefix);
    nat64.prefix[0].length = 96;
    inet_pton(AF_INET6, "2001:db8::1", &nat64.prefix[1].prefix);
    nat64.prefix[1].length = 64;
    out_post(OUT_PREF64, &nat64, sizeof nat64);
    portal_uri uri{};
    std::strcpy(uri.uri.data(), "https://portal.example/ x");
    out_post(OUT_PORTAL, &uri, sizeof uri);
    std::strcpy(uri.uri.data(), "https://portal.example/api");
    out_post(OUT_PORTAL, &uri, sizeof uri);
    ASSERT_TRUE(script.wait_ended(3));
    const auto runs = script.settle();
    ASSERT_GE(runs.size(), 3u);  // the prefixes and the portal came apart: one run, or two
    EXPECT_EQ(runs[0].env, (std::vector<std::string>{"TAMROD_V6=", "TAMROD_V4=", "TAMROD_R6=", "TAMROD_R4="}));
    EXPECT_EQ(runs[0].search, "corp.example lab.example");
    for (const auto& run : runs)
        EXPECT_EQ(run.names, "TAMROD_V6 TAMROD_V4 TAMROD_R6 TAMROD_R4 TAMROD_SEARCH TAMROD_PREF64 TAMROD_PORTAL");
    EXPECT_EQ(runs[1].search, "");
    EXPECT_EQ(runs[1].pref64, "");
    EXPECT_EQ(runs.back().pref64, "64:ff9b::/96");
    EXPECT_EQ(runs.back().portal, "https://portal.example/api");
    for (const auto& run : runs)
        EXPECT_EQ(run.portal.find(' '), std::string::npos) << run.portal;
}

// Built with the limits cut to 0.3 s (report), 1.2 s (SIGTERM) and 0.4 s more (SIGKILL).
TEST_F(OutModule, HangingScriptIsReportedThenEndedAndTheNextChangeStillRuns)
{
    // The first run hangs and shrugs off SIGTERM; later runs are the logging script.
    const std::string hook = dir.write("hook",
                                       "#!/bin/sh\n"
                                       "if mkdir '" + dir.file("hung") + "' 2>/dev/null; then\n"
                                       "  trap '' TERM; while :; do sleep 0.05; done\n"
                                       "fi\n"
                                       "exec '" + script.path() + "'\n",
                                       0755);
    testing::internal::CaptureStderr();
    ASSERT_EQ(out_init(hook.c_str(), nullptr), 0);
    ASSERT_EQ(out_start(), 0);
    running = true;
    const auto begin = std::chrono::steady_clock::now();
    const ns6_list first = v6({"2001:db8::1"});
    const ns6_list second = v6({"2001:db8::2"});
    out_post(OUT_WLAN6, &first, sizeof first);
    std::this_thread::sleep_for(100ms);
    out_post(OUT_WLAN6, &second, sizeof second);
    const bool ran = script.wait_ended(1, 10s);
    const auto took = std::chrono::steady_clock::now() - begin;
    out_stop();
    running = false;
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ran) << err;
    EXPECT_GE(took, 1600ms) << "ended before the limit and the grace";
    const auto runs = script.runs();
    ASSERT_EQ(runs.size(), 1u);
    // Passed on by the hook's shell, which reorders its environment.
    EXPECT_NE(std::find(runs[0].env.begin(), runs[0].env.end(), "TAMROD_V6=2001:db8::2"), runs[0].env.end());
    ASSERT_EQ(err.rfind("script pid ", 0), 0u) << err;
    const std::string pid = err.substr(11, err.find(' ', 11) - 11);
    // The run after it may be slow on a loaded machine too, and say so.
    EXPECT_EQ(err.substr(0, err.find("ended\n") + 6), "script pid " + pid + " still running after 0.3 s\nscript pid " +
                                                          pid + " still running after 1.2 s: ending it\nscript pid " +
                                                          pid + " ended\n");
}

// A process that has ended or is only waiting to be reaped by whoever inherited it.
bool process_gone(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    const auto close = line.rfind(')');
    return close != std::string::npos && line.compare(close, 4, ") Z ") == 0;
}

// The hook's shell waits on a child that shrugs off SIGTERM, as a hung resolver tool might: the
// shell dies at SIGTERM, the child only at SIGKILL to the whole group, and no run follows while
// the child could still write.
TEST_F(OutModule, HungChildOfTheHookIsEndedWithItsGroupBeforeTheNextRun)
{
    const std::string hook = dir.write("hook",
                                       "#!/bin/sh\n"
                                       "if mkdir '" + dir.file("hung") + "' 2>/dev/null; then\n"
                                       "  sh -c \"trap '' TERM; echo \\$\\$ > '" + dir.file("child") + "'; exec sleep 1000\" &\n"
                                       "  wait\n"
                                       "fi\n"
                                       "exec '" + script.path() + "'\n",
                                       0755);
    testing::internal::CaptureStderr();
    ASSERT_EQ(out_init(hook.c_str(), nullptr), 0);
    ASSERT_EQ(out_start(), 0);
    running = true;
    const ns6_list first = v6({"2001:db8::1"});
    const ns6_list second = v6({"2001:db8::2"});
    out_post(OUT_WLAN6, &first, sizeof first);
    ASSERT_TRUE(tt::eventually([&] { return !tt::read_file(dir.file("child")).empty(); }));
    const pid_t child = std::stoi(tt::read_file(dir.file("child")));
    out_post(OUT_WLAN6, &second, sizeof second);
    const bool ran = script.wait_ended(1, 10s);
    const bool gone = process_gone(child);
    out_stop();
    running = false;
    const std::string err = testing::internal::GetCapturedStderr();
    if (!gone)
        kill(child, SIGKILL);
    ASSERT_TRUE(ran) << err;
    EXPECT_TRUE(gone) << "the next run started while the hook's child still ran";
    EXPECT_NE(err.find("still running after 1.2 s: ending it\n"), std::string::npos) << err;
}

// A service manager may start the daemon with signals ignored; the script must not inherit that.
TEST_F(OutModule, ScriptStartsWithEverySignalAtItsDefault)
{
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    struct sigaction pipe_before{};
    struct sigaction usr1_before{};
    // A shell keeps the signals it was started with ignored, so its own status shows what it got.
    const std::string hook = dir.write(
        "hook", "#!/bin/sh\ngrep ^SigIgn: /proc/$$/status > '" + dir.file("ignored") + ".new'\nmv '" +
                    dir.file("ignored") + ".new' '" + dir.file("ignored") + "'\n", 0755);
    ASSERT_EQ(out_init(hook.c_str(), nullptr), 0);
    ASSERT_EQ(out_start(), 0);
    running = true;
    const ns6_list servers = v6({"::1"});
    sigaction(SIGPIPE, &ignore, &pipe_before);
    sigaction(SIGUSR1, &ignore, &usr1_before);
    out_post(OUT_WLAN6, &servers, sizeof servers);
    const bool ran = tt::eventually([&] { return !tt::read_file(dir.file("ignored")).empty(); });
    sigaction(SIGPIPE, &pipe_before, nullptr);
    sigaction(SIGUSR1, &usr1_before, nullptr);
    ASSERT_TRUE(ran);
    EXPECT_EQ(tt::read_file(dir.file("ignored")), "SigIgn:\t0000000000000000\n");
}

}  // namespace
