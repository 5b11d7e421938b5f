// The whole daemon after its link-notification socket overran: stopped with SIGSTOP while
// notifications are flooded at it, it must report the overrun and still act on a later
// association, which shows as Router Solicitations arriving at the router end of the link.
// And the whole daemon where the kernel refuses Wireless Extensions and has no nl80211 either,
// and one whose interface is removed while servers are held, then created again.
#include "daemon.h"
#include "netns.h"
#include "proc.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

TEST(WlDaemon, FollowsAssociationAfterItsSocketOverran)
{
    TT_REQUIRE_ROOT();
    tt::netns_pair net("wl");
    ASSERT_TRUE(net.ok()) << net.error();
    ASSERT_TRUE(net.wait_ready());
    const std::string ifname = tt::netns_pair::host_if(0);

    const int rs = tt::rs_socket(net.router());
    ASSERT_GE(rs, 0);

    tt::temp_dir dir;
    const std::string state = dir.file("wifi");
    tt::write_wifi_state(state, {});  // not associated
    const std::string ran = dir.file("ran");
    const std::string script = dir.write("hook", "#!/bin/sh\necho run >> " + ran + "\n", 0755);
    tt::spawn_options opt;
    opt.env = tt::wifi_stub_env(ifname, state);
    tt::process daemon(net.in(net.host(), {tt::tamrod_bin(), "-f", "-i", ifname, "-x", script}), opt);
    ASSERT_TRUE(tt::eventually([&] { return !tt::read_file(ran).empty(); })) << daemon.err();

    auto forge = [&](std::vector<std::string> args) {
        args.insert(args.begin(), FORGE_LINK);
        const auto r = tt::run(net.in(net.host(), args));
        EXPECT_EQ(r.status, 0) << r.err;
    };

    // Stopped, the daemon reads nothing while far more notifications arrive than its socket holds.
    daemon.signal(SIGSTOP);
    forge({"-n", "4000", ifname, "scan"});
    daemon.signal(SIGCONT);
    ASSERT_TRUE(tt::eventually([&] { return daemon.err().find("recv: No buffer space available\n") != std::string::npos; }))
        << daemon.err();
    EXPECT_FALSE(tt::solicitation_seen(rs, 500ms)) << "soliciting without an association";

    // A later association must still reach the manager, which then starts soliciting.
    tt::wifi_state associated;
    associated.bssid = "00:11:22:33:44:55";
    associated.essid = "LabNet";
    tt::write_wifi_state(state, associated);
    forge({ifname, "mode=2", "ap=00:11:22:33:44:55"});
    EXPECT_TRUE(tt::solicitation_seen(rs, 8s)) << daemon.err();

    ASSERT_TRUE(daemon.running());
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(10s), 1);
    close(rs);
}

// A refused range request sends the monitor to nl80211; this machine's kernel has none, so the
// daemon must end as it always has, with no word about the attempt.
TEST(WlDaemon, RefusedExtensionsWithoutNl80211FailAsBefore)
{
    TT_REQUIRE_ROOT();
    tt::temp_dir dir;
    const std::string state = dir.file("wifi");
    tt::write_wifi_state(state, {});
    {
        std::ofstream f(state, std::ios::app);
        f << "fail_only=SIOCGIWRANGE\n";
    }
    const std::string script = dir.write("hook", "#!/bin/sh\n", 0755);
    tt::spawn_options opt;
    opt.env = tt::wifi_stub_env("lo", state);
    const auto r = tt::run({tt::tamrod_bin(), "-f", "-i", "lo", "-x", script}, 10s, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ioctl SIOCGIWRANGE: Operation not supported\nwl_init failure\n");
}

// The removal of the interface, with the daemon running and with it held stopped across the
// removal: the hook runs without the WLAN IPv6 server, the WLAN IPv4 list stays, the daemon keeps
// running, and once the interface is back and associated a server is learnt again. Prints the
// time from the removal (from the resumption when held stopped) to that hook run.
class WlDaemonRemoval : public ::testing::Test {
protected:
    void SetUp() override
    {
        TT_REQUIRE_ROOT();
        net_ = std::make_unique<tt::netns_pair>("wlrm");
        ASSERT_TRUE(net_->ok()) << net_->error();
        tt::wifi_state s;
        s.bssid = "02:00:5e:10:00:01";
        s.essid = "LabNet";
        tt::write_wifi_state(state_, s);
        const std::string script =
            dir_.write("hook", "#!/bin/sh\necho \"$TAMROD_V6|$TAMROD_V4|$TAMROD_R6|$TAMROD_R4\" >> " + log_ + "\n", 0755);
        tt::spawn_options opt;
        opt.env = tt::wifi_stub_env(kIf, state_);
        daemon_ = tt::process(net_->in(net_->host(), {tt::tamrod_bin(), "-f", "-i", kIf, "-x", script}), opt);
        ASSERT_TRUE(last_run_is("|||", 10s)) << daemon_.err();
    }

    void TearDown() override
    {
        if (daemon_.running()) {
            daemon_.signal(SIGCONT);
            daemon_.signal(SIGTERM);
            EXPECT_EQ(daemon_.wait(10s), 1);
        }
    }

    std::vector<std::string> runs() const
    {
        std::vector<std::string> lines;
        std::istringstream in(tt::read_file(log_));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    bool last_run_is(const std::string& line, std::chrono::milliseconds timeout = 10s) const
    {
        return tt::eventually([&] { auto r = runs(); return !r.empty() && r.back() == line; }, timeout);
    }

    // Forges the server's notification until the hook has it: the association reaches the
    // manager on its own time, and a server reported before it is rightly ignored.
    bool learn(const std::string& server)
    {
        return tt::eventually(
            [&] {
                tt::run(net_->in(net_->host(), {FORGE_NDUSEROPT, kIf, server}), 5s);
                return last_run_is(server + "|" + kV4 + "||", 300ms);
            },
            15s);
    }

    bool ip(std::vector<std::string> args)
    {
        args.insert(args.begin(), "ip");
        const tt::result r = tt::run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.status == 0;
    }

    bool recreate()
    {
        return ip({"link", "add", "tr0", "netns", net_->router(), "type", "veth", "peer", "name", kIf, "netns",
                   net_->host()}) &&
               ip({"-n", net_->router(), "link", "set", "tr0", "up"}) && ip({"-n", net_->host(), "link", "set", kIf, "up"});
    }

    // Waits for the hook run without the WLAN IPv6 server; the milliseconds since `from`, or -1.
    double loss_after(std::chrono::steady_clock::time_point from)
    {
        if (!last_run_is(std::string("|") + kV4 + "||"))
            return -1;
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from).count();
    }

    static constexpr char kIf[] = "tw0";
    static constexpr char kV4[] = "192.0.2.1";
    std::unique_ptr<tt::netns_pair> net_;
    tt::temp_dir dir_;
    std::string log_ = dir_.file("runs");
    std::string state_ = dir_.file("wifi");
    tt::process daemon_;
};

TEST_F(WlDaemonRemoval, RemovedInterfaceDropsItsServersAndIsFollowedBack)
{
    const tt::result v4 = tt::run({tt::tamrod_bin(), "-4", kV4});
    ASSERT_EQ(v4.status, 0) << v4.err;
    ASSERT_TRUE(learn("2001:db8::a")) << daemon_.err() << tt::read_file(log_);

    size_t before = runs().size();
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(ip({"-n", net_->host(), "link", "del", kIf}));
    const double running_ms = loss_after(t0);
    ASSERT_GE(running_ms, 0) << daemon_.err() << tt::read_file(log_);
    EXPECT_EQ(runs().size(), before + 1) << tt::read_file(log_);

    ASSERT_TRUE(recreate());
    EXPECT_TRUE(learn("2001:db8::b")) << daemon_.err() << tt::read_file(log_);

    // Held stopped, the daemon reads the removal only when it resumes.
    before = runs().size();
    daemon_.signal(SIGSTOP);
    ASSERT_TRUE(ip({"-n", net_->host(), "link", "del", kIf}));
    std::this_thread::sleep_for(1s);
    t0 = std::chrono::steady_clock::now();
    daemon_.signal(SIGCONT);
    const double resumed_ms = loss_after(t0);
    ASSERT_GE(resumed_ms, 0) << daemon_.err() << tt::read_file(log_);
    EXPECT_EQ(runs().size(), before + 1) << tt::read_file(log_);

    ASSERT_TRUE(recreate());
    EXPECT_TRUE(learn("2001:db8::c")) << daemon_.err() << tt::read_file(log_);
    EXPECT_TRUE(daemon_.running()) << daemon_.err();
    std::printf("removal to hook run without the server: %.1f ms running, %.1f ms from resumption\n", running_ms,
                resumed_ms);
    RecordProperty("removal_ms", std::to_string(running_ms));
    RecordProperty("resumed_ms", std::to_string(resumed_ms));
}

// Tethering bridges the Wi-Fi interface; letting it go again makes the kernel send RTM_DELLINK
// of family AF_BRIDGE for it. The device never left its network: the server stays in the hook.
TEST_F(WlDaemonRemoval, BridgeReleasingTheInterfaceKeepsItsServers)
{
    const tt::result v4 = tt::run({tt::tamrod_bin(), "-4", kV4});
    ASSERT_EQ(v4.status, 0) << v4.err;
    ASSERT_TRUE(learn("2001:db8::a")) << daemon_.err() << tt::read_file(log_);
    const size_t before = runs().size();
    ASSERT_TRUE(ip({"-n", net_->host(), "link", "add", "br0", "type", "bridge"}));
    ASSERT_TRUE(ip({"-n", net_->host(), "link", "set", kIf, "master", "br0"}));
    ASSERT_TRUE(ip({"-n", net_->host(), "link", "set", kIf, "nomaster"}));
    std::this_thread::sleep_for(300ms);
    // A run of our own after the release: a run that cleared the server would come before it or
    // after it, and either way show.
    const tt::result other = tt::run({tt::tamrod_bin(), "-4", "192.0.2.9"});
    ASSERT_EQ(other.status, 0) << other.err;
    EXPECT_TRUE(last_run_is("2001:db8::a|192.0.2.9||")) << tt::read_file(log_);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(runs().size(), before + 1) << tt::read_file(log_);
    EXPECT_TRUE(daemon_.running()) << daemon_.err();
}

}  // namespace
