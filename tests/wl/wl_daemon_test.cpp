// The whole daemon after its link-notification socket overran: stopped with SIGSTOP while
// notifications are flooded at it, it must report the overrun and still act on a later
// association, which shows as Router Solicitations arriving at the router end of the link.
// And the whole daemon where the kernel refuses Wireless Extensions and has no nl80211 either.
#include "daemon.h"
#include "netns.h"
#include "proc.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

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

}  // namespace
