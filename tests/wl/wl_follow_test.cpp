// The monitor following its interface: other interfaces' links, removal and return, a removal
// that was none, a rename to the watched name, and overruns of its socket.
#include "wl_monitor_fixture.h"

namespace {

using namespace wm;

TEST_F(WlMonitor, ForeignAndRemovedLinksPostNothing)
{
    start(wifi(kZero, ""));
    // The kernel's own notifications for the interface carry no wireless events.
    const auto up = tt::run({"ip", "link", "set", kIf, "up"});
    ASSERT_EQ(up.status, 0) << up.err;
    const std::string ap = "ap=" + std::string(kA);
    set_state(wifi(kC, "Mine"));
    const auto p = forge_then({{kPeer, ap},         // the other end of the pair
                               {"4242", ap},        // an index nobody has
                               {"-d", kPeer, ap},   // another interface's RTM_DELLINK
                               {kIf, "scan"},       // an event of no interest
                               {kIf, "raw=0000158b", ap}},  // zero event length ends the stream
                              kC);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(record_is(p[0], 1, kC, "Mine"));
}

TEST_F(WlMonitor, FollowsTheInterfaceAwayAndBack)
{
    ASSERT_TRUE(record_is(start(wifi(kA, "Net")), 1, kA, "Net"));
    set_gate(true);
    forge({kIf, "ap=" + std::string(kB)});
    ASSERT_TRUE(monitor_held());
    forge({kIf, "ap=" + std::string(kZero)});
    const auto del = tt::run({"ip", "link", "del", kIf});
    ASSERT_EQ(del.status, 0) << del.err;
    set_state(wifi(kC, "Back"));
    set_gate(false);
    auto p = wait_posts(4);
    ASSERT_EQ(p.size(), 4u);
    EXPECT_TRUE(record_is(p[1], 1, kB, "Net")) << "the post the monitor was held in";
    EXPECT_TRUE(record_is(p[2], 0, kZero, "Net")) << "the disconnect read after the removal";
    EXPECT_TRUE(record_is(p[3], 0, kZero, "Net")) << "the removal itself";

    const auto add = tt::run({"ip", "link", "add", kIf, "type", "veth", "peer", "name", kPeer});
    ASSERT_EQ(add.status, 0) << add.err;
    p = wait_posts(5);
    ASSERT_EQ(p.size(), 5u);
    EXPECT_TRUE(record_is(p[4], 1, kC, "Back")) << "the new interface read from its state";
    // Its events are followed under the new index.
    set_state(wifi(kA, "Next"));
    p = forge_then({}, kA);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(record_is(p[0], 1, kA, "Next"));
}

TEST_F(WlMonitor, RemovalForALiveIndexIsSteppedOver)
{
    ASSERT_TRUE(record_is(start(wifi(kA, "Net")), 1, kA, "Net"));
    set_state(wifi(kC, "Still"));
    const auto p = forge_then({{"-d", kIf}}, kC);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(record_is(p[0], 1, kC, "Still"));
}

TEST_F(WlMonitor, FollowsAnInterfaceRenamedToTheWatchedName)
{
    ASSERT_TRUE(record_is(start(wifi(kA, "Net")), 1, kA, "Net"));
    ASSERT_NO_FATAL_FAILURE(ip({"link", "del", kIf}));
    ASSERT_NO_FATAL_FAILURE(ip({"link", "add", "wltmp0", "type", "veth", "peer", "name", kPeer}));
    ASSERT_TRUE(record_is(wait_posts(2).back(), 0, kZero, "Net"));
    set_state(wifi(kC, "Renamed"));
    ASSERT_NO_FATAL_FAILURE(ip({"link", "set", "wltmp0", "name", kIf}));
    const auto p = wait_posts(3);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_TRUE(record_is(p[2], 1, kC, "Renamed"));
}

TEST_F(WlMonitor, OverrunIsReportedAndTheAssociationReadAgain)
{
    set_gate(true);  // the monitor blocks in its first post and stops reading
    set_state(wifi(kA, "Before"));
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(wl_start(), 0);
    ASSERT_TRUE(monitor_held());

    // An access-point event queued before the overrun, then far more notifications than the
    // socket buffer holds, all without interest; while they pile up the interface roams, and
    // the event saying so is among the lost.
    const std::string x = "02:aa:bb:cc:dd:0f";
    forge({kIf, "ap=" + x});
    forge({"-n", "4000", kIf, "scan"});
    set_state(wifi(kB, "After", 2));
    set_gate(false);

    auto p = wait_posts(3);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_TRUE(record_is(p[0], 1, kA, "Before"));
    EXPECT_EQ(p[1].bssid, mac(x)) << "events queued before the overrun are still handled";
    EXPECT_TRUE(record_is(p[2], 1, kB, "After")) << "the association is read again, after the queued events";
    EXPECT_NE(err_->text().find("recv: No buffer space available\n"), std::string::npos);

    // And the monitor keeps following notifications: the socket is no longer congested.
    set_state(wifi(kC, "Later"));
    auto q = forge_then({}, kC);
    ASSERT_EQ(q.size(), 1u);
    EXPECT_TRUE(record_is(q[0], 1, kC, "Later"));

    // An overrun while the driver does not answer: reported, nothing posted, still running.
    const size_t before = post_count();
    set_gate(true);
    forge({kIf, "ap=" + std::string(kA)});
    ASSERT_TRUE(monitor_held());
    forge({"-n", "4000", kIf, "scan"});
    set_state(wifi(kB, "Gone"), "fail_only=SIOCGIWAP");
    const size_t mark = err_->mark();
    set_gate(false);
    ASSERT_TRUE(tt::eventually([&] { return err_->text(mark).find("ioctl SIOCGIWAP") != std::string::npos; }));
    EXPECT_EQ(err_->text(mark),
              "recv: No buffer space available\nioctl SIOCGIWAP: Operation not supported\n");
    set_state(wifi(kB, "Back"));
    forge_then({}, kB);
    p = wait_posts(before + 2);
    q.assign(p.begin() + static_cast<long>(before), p.end());
    ASSERT_EQ(q.size(), 2u);
    EXPECT_TRUE(record_is(q[0], 1, kA, "Later")) << "the event taken before the overrun";
    EXPECT_TRUE(record_is(q[1], 1, kB, "Back"));
}

TEST_F(WlMonitor, OverrunAcrossARecreationPostsTheLossFirst)
{
    set_gate(true);
    set_state(wifi(kA, "Old"));
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(wl_start(), 0);
    ASSERT_TRUE(monitor_held());
    forge({"-n", "4000", kIf, "scan"});
    ASSERT_NO_FATAL_FAILURE(ip({"link", "del", kIf}));
    ASSERT_NO_FATAL_FAILURE(ip({"link", "add", kIf, "type", "veth", "peer", "name", kPeer}));
    set_state(wifi(kB, "New"));
    set_gate(false);
    const auto p = wait_posts(3);
    ASSERT_EQ(p.size(), 3u) << err_->text();
    EXPECT_TRUE(record_is(p[0], 1, kA, "Old"));
    EXPECT_TRUE(record_is(p[1], 0, kZero, "Old")) << "the old interface's loss";
    EXPECT_TRUE(record_is(p[2], 1, kB, "New"));
    EXPECT_NE(err_->text().find("recv: No buffer space available\n"), std::string::npos);
}

}  // namespace
