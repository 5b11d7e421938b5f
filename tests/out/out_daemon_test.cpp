// The real daemon with a script that logs its environment, driven over the control socket.
#include "daemon.h"
#include "ctl_wire.h"
#include "out_test_support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>


namespace {

using namespace ot;
using namespace tw;
using env = std::vector<std::string>;

env expect_env(const std::string& v6, const std::string& v4, const std::string& r6, const std::string& r4)
{
    return {"TAMROD_V6=" + v6, "TAMROD_V4=" + v4, "TAMROD_R6=" + r6, "TAMROD_R4=" + r4};
}

mode_t control_mode()
{
    struct stat st{};
    if (stat(kControlPath, &st) != 0)
        return 0;
    return st.st_mode;
}

class OutDaemon : public daemon_fixture {
protected:
    // Runs a client command that must change a list and waits for the one run it causes.
    void expect_run(const std::vector<std::string>& args, const env& want)
    {
        const size_t n = script.runs().size() + 1;
        auto r = client(args);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_TRUE(script.wait_ended(n)) << args[0];
        EXPECT_EQ(script.runs()[n - 1].env, want) << args[0];
    }
};

TEST_F(OutDaemon, StartsWithOneEmptyRunAndServesTheListsOnAnOpenSocket)
{
    start();
    const auto first = script.runs();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].env, expect_env("", "", "", ""));

    EXPECT_TRUE(S_ISSOCK(control_mode()));
    EXPECT_EQ(control_mode() & 0777, 0777u);
    EXPECT_EQ(exchange(word(CMD_LIST)), bytes_of(ctl_list_reply{}));

    expect_run({"-4", "192.0.2.1", "192.0.2.2"}, expect_env("", "192.0.2.1 192.0.2.2", "", ""));
    expect_run({"-r", "198.51.100.1", "2001:db8::1"},
               expect_env("", "192.0.2.1 192.0.2.2", "2001:db8::1", "198.51.100.1"));

    // The reply carries the WLAN lists only, zero beyond the counts; radio lists never leave.
    EXPECT_EQ(exchange(word(CMD_LIST)), bytes_of(ctl_list_reply{v6({}), v4({"192.0.2.1", "192.0.2.2"})}));
    auto listing = client({"-l"});
    EXPECT_EQ(listing.status, 0);
    EXPECT_EQ(listing.out, "192.0.2.1\n192.0.2.2\n");
    EXPECT_EQ(daemon.err(), "");
}

TEST_F(OutDaemon, ScriptStartsWithNoSignalBlocked)
{
    // The shell clears its own mask, so the probe is a program that keeps what exec gave it.
    const std::string probe = dir.write("probe", "#!/usr/bin/env -S grep -h ^SigBlk: /proc/self/status\n", 0755);
    daemon = spawn({}, probe);
    EXPECT_TRUE(tt::eventually([&] { return !daemon.out().empty(); })) << daemon.err();
    EXPECT_EQ(daemon.out(), "SigBlk:\t0000000000000000\n");
}

TEST_F(OutDaemon, RunsOnlyWhenAListHoldsOtherAddresses)
{
    start();
    struct step {
        std::vector<std::vector<std::string>> unchanged;  // must cause no run
        std::vector<std::string> change;
        env want;
    };
    const std::vector<step> steps = {
        {{{"-4"}, {"-r"}}, {"-4", "1.1.1.1", "2.2.2.2"}, expect_env("", "1.1.1.1 2.2.2.2", "", "")},
        {{{"-4", "2.2.2.2", "1.1.1.1"}}, {"-4", "2.2.2.2", "3.3.3.3"}, expect_env("", "2.2.2.2 3.3.3.3", "", "")},
        {{}, {"-4", "3.3.3.3", "3.3.3.3"}, expect_env("", "3.3.3.3 3.3.3.3", "", "")},
        {{{"-4", "3.3.3.3", "3.3.3.3"}}, {"-4", "3.3.3.3", "2.2.2.2"}, expect_env("", "3.3.3.3 2.2.2.2", "", "")},
        {{}, {"-4", "3.3.3.3"}, expect_env("", "3.3.3.3", "", "")},
        {{}, {"-4"}, expect_env("", "", "", "")},
        {{}, {"-r", "2001:db8::1"}, expect_env("", "", "2001:db8::1", "")},
        {{{"-r", "2001:db8::1"}}, {"-r", "9.9.9.9", "2001:db8::2"}, expect_env("", "", "2001:db8::2", "9.9.9.9")},
        {{{"-r", "2001:db8::2", "9.9.9.9"}}, {"-r"}, expect_env("", "", "", "")},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        for (const auto& args : steps[i].unchanged)
            ASSERT_EQ(client(args).status, 0);
        // A run caused by the unchanged commands would start at once and take this run's place.
        expect_run(steps[i].change, steps[i].want);
    }
    EXPECT_EQ(script.settle().size(), 1 + steps.size());
}

TEST_F(OutDaemon, ChangesDuringARunGiveExactlyOneMoreRunWithTheLatestLists)
{
    start();
    script.hold(true);
    ASSERT_EQ(client({"-4", "1.1.1.1"}).status, 0);
    ASSERT_TRUE(script.wait_begun(2));
    ASSERT_EQ(client({"-4", "2.2.2.2"}).status, 0);
    ASSERT_EQ(client({"-r", "9.9.9.9"}).status, 0);
    ASSERT_EQ(client({"-4", "3.3.3.3"}).status, 0);
    // -l is served after the three, so they have all reached the daemon while the script holds.
    EXPECT_EQ(client({"-l"}).out, "3.3.3.3\n");
    EXPECT_EQ(script.runs().size(), 2u);
    script.hold(false);

    ASSERT_TRUE(script.wait_ended(3));
    const auto runs = script.settle();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[1].env, expect_env("", "1.1.1.1", "", ""));
    EXPECT_EQ(runs[2].env, expect_env("", "3.3.3.3", "", "9.9.9.9"));
    // The end of a run is noticed within the reap interval; shell start-up and load get slack.
    EXPECT_LT(runs[2].begin_ns - runs[1].end_ns, 750'000'000) << "next run started late";

    // A burst of changes without holding: never two runs at once, and the last lists win.
    for (const char* a : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"})
        ASSERT_EQ(client({"-4", a}).status, 0);
    const auto after = script.settle();
    ASSERT_GT(after.size(), 3u);
    EXPECT_EQ(after.back().env, expect_env("", "10.0.0.5", "", "9.9.9.9"));
}

TEST_F(OutDaemon, SecondDaemonIsRefusedAndTheFirstKeepsServing)
{
    start();
    auto second = spawn();
    EXPECT_EQ(second.wait(10s), 1);
    EXPECT_NE(second.err().find("already running\n"), std::string::npos) << second.err();
    EXPECT_TRUE(S_ISSOCK(control_mode()));
    expect_run({"-4", "1.1.1.1"}, expect_env("", "1.1.1.1", "", ""));
}

TEST_F(OutDaemon, StaleSocketFileIsReplaced)
{
    int s = ctl_listen();
    ASSERT_GE(s, 0);
    close(s);
    chmod(kControlPath, 0600);

    start();
    EXPECT_EQ(control_mode() & 0777, 0777u);
    expect_run({"-4", "1.1.1.1"}, expect_env("", "1.1.1.1", "", ""));
    EXPECT_EQ(daemon.err(), "");
}

TEST_F(OutDaemon, TerminateEndsTheDaemonWithStatusOneAndRemovesTheSocket)
{
    start();
    auto r = client({"-t"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(daemon.wait(10s), 1);
    EXPECT_EQ(control_mode(), 0u);
}

TEST_F(OutDaemon, ReloadWithoutPolicyFileChangesNothing)
{
    start();
    EXPECT_EQ(client({"-u"}).status, 0);
    EXPECT_EQ(client({"-l"}).status, 0);
    EXPECT_TRUE(daemon.running());
    EXPECT_EQ(daemon.err(), "");
    EXPECT_EQ(script.runs().size(), 1u);
}

TEST_F(OutDaemon, ReloadOfAnErroneousPolicyIsReportedAndTheDaemonGoesOn)
{
    const std::string policy = dir.write("policy", "LabNet + 1\n");
    start({"-c", policy});
    dir.write("policy", "LabNet + 1\nOther 00:11:22:33:44 0\n");
    EXPECT_EQ(client({"-u"}).status, 0);
    const std::string message = "illegal bssid line 2 of " + policy + "\n";
    EXPECT_TRUE(tt::eventually([&] { return daemon.err() == message; })) << daemon.err();

    dir.write("policy", "Other + 0\n");
    EXPECT_EQ(client({"-u"}).status, 0);
    expect_run({"-4", "1.1.1.1"}, expect_env("", "1.1.1.1", "", ""));
    EXPECT_EQ(daemon.err(), message);
}

TEST_F(OutDaemon, GarbledCountsAndStalledClientsAreRefusedWithoutHarm)
{
    start();
    expect_run({"-4", "1.1.1.1"}, expect_env("", "1.1.1.1", "", ""));

    for (int32_t bad : {5, -1, 1 << 30}) {
        ns4_list wlan4 = v4({"6.6.6.6"});
        wlan4.count = bad;
        EXPECT_EQ(exchange(word(CMD_SET_WLAN4) + bytes_of(wlan4)), "") << bad;
        ctl_radio_payload radio{v4({"7.7.7.7"}), v6({"::7"})};
        radio.v6.count = bad;
        EXPECT_EQ(exchange(word(CMD_SET_RADIO) + bytes_of(radio)), "") << bad;
    }
    EXPECT_EQ(exchange(word(CMD_LIST)), bytes_of(ctl_list_reply{v6({}), v4({"1.1.1.1"})}));
    EXPECT_NE(daemon.err().find("out of range"), std::string::npos) << daemon.err();

    // One client says nothing, another stops half-way through its list; a proper one waits behind.
    int silent = ctl_connect();
    int half = ctl_connect();
    ASSERT_GE(silent, 0);
    ASSERT_GE(half, 0);
    const std::string partial = word(CMD_SET_WLAN4) + bytes_of(v4({"8.8.8.8"})).substr(0, 10);
    ASSERT_EQ(write(half, partial.data(), partial.size()), static_cast<ssize_t>(partial.size()));
    const auto before = std::chrono::steady_clock::now();
    expect_run({"-4", "2.2.2.2"}, expect_env("", "2.2.2.2", "", ""));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_EQ(read_to_end(silent, 1s), "") << "the silent connection was left open";
    EXPECT_EQ(read_to_end(half, 1s), "") << "the half request's connection was left open";
    close(silent);
    close(half);
    EXPECT_EQ(script.settle().size(), 3u);
    EXPECT_EQ(client({"-l"}).out, "2.2.2.2\n");
}

}  // namespace
