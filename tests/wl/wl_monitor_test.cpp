// The monitor from its start: the first report, the requests that fail it, the events of an
// interface that stays, and the counter that ends it.
#include "wl_monitor_fixture.h"

namespace {

using namespace wm;

TEST_F(WlMonitor, StartsAssociatedInInfrastructureMode)
{
    EXPECT_TRUE(record_is(start(wifi(kA, "LabNet", 2)), 1, kA, "LabNet"));
}

TEST_F(WlMonitor, StartsWithoutAccessPoint)
{
    for (const char* none : {kZero, "44:44:44:44:44:44", "FF:FF:FF:FF:FF:FF"}) {
        SCOPED_TRACE(none);
        const bool fresh = inits_in_process == 0;
        const assoc_info a = start(wifi(none, "Stale", 2));
        EXPECT_EQ(a.associated, 0);
        EXPECT_EQ(a.bssid, mac(none));
        // The name is read only for a valid access point.
        EXPECT_NE(essid_of(a), "Stale");
        if (fresh) {
            EXPECT_TRUE(record_is(a, 0, none, ""));
        }
        wl_stop();
        wl_cleanup();
        std::lock_guard lock(posts_mu);
        posts.clear();
    }
}

TEST_F(WlMonitor, AdHocCellIsNotAnAssociation)
{
    EXPECT_TRUE(record_is(start(wifi(kB, "Cell", 1)), 0, kB, "Cell"));
}

TEST_F(WlMonitor, ExtensionsVersionMustBeNineteenOrLater)
{
    struct row {
        int range_len, version, result;
        const char* message;
    } rows[] = {
        {299, 22, -1, "kernel wireless version too old (9)\n"},
        {568, 18, -1, "kernel wireless version too old (18)\n"},
        {568, 19, 0, ""},
        {300, 22, 0, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "range " << r.range_len << " version " << r.version);
        set_state(range_wifi(kA, r.version, r.range_len));
        const size_t mark = err_->mark();
        EXPECT_EQ(init(), r.result);
        EXPECT_EQ(err_->text(mark), r.message);
        wl_cleanup();
    }
}

TEST_F(WlMonitor, FailedRequestsFailInit)
{
    struct row {
        const char* ifname;
        std::string extra;
        bool fail_all;
        std::string bssid;
        int result;
        const char* message;
    } rows[] = {
        // Interfaces the stand-in does not answer for: the error is the kernel's to choose.
        {"nosuch0", "", false, kA, -1, "ioctl SIOCGIWRANGE: "},
        {kPeer, "", false, kA, -1, "ioctl SIOCGIWRANGE: "},
        {kIf, "", true, kA, -1, "ioctl SIOCGIWRANGE: Operation not supported\n"},
        {kIf, "fail_only=SIOCGIWAP", false, kA, -1, "ioctl SIOCGIWAP: Operation not supported\n"},
        {kIf, "fail_only=SIOCGIWMODE", false, kA, -1, "ioctl SIOCGIWMODE: Operation not supported\n"},
        {kIf, "fail_only=SIOCGIWESSID", false, kA, -1, "ioctl SIOCGIWESSID: Operation not supported\n"},
        // Without an access point the name is never asked for.
        {kIf, "fail_only=SIOCGIWESSID", false, kZero, 0, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.ifname << " " << r.extra);
        set_state(failing_wifi(r.bssid, r.fail_all), r.extra);
        const size_t mark = err_->mark();
        EXPECT_EQ(init(r.ifname), r.result);
        const std::string text = err_->text(mark);
        if (std::string(r.message).ends_with(": ")) {
            EXPECT_TRUE(text.starts_with(r.message) && std::count(text.begin(), text.end(), '\n') == 1) << text;
        } else {
            EXPECT_EQ(text, r.message);
        }
        wl_cleanup();
    }
}

TEST_F(WlMonitor, FollowsAccessPointEvents)
{
    ASSERT_TRUE(record_is(start(wifi(kZero, "")), 0, kZero, ""));

    set_state(wifi(kA, "One"));
    auto p = forge_then({}, kA);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(record_is(p[0], 1, kA, "One"));

    // Nothing changed, and still every event is reported.
    p = forge_then({}, kA);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(record_is(p[0], 1, kA, "One"));

    // Loss of association: the name of the network just left stays in the record.
    set_state(wifi(kZero, "Two"));
    p = forge_then({}, kZero);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(record_is(p[0], 0, kZero, "One"));

    // The BSSID comes from the event, the name from the driver when asked.
    set_state(wifi(kA, "Three"));
    p = forge_then({}, kB);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(record_is(p[0], 1, kB, "Three"));

    // A failed name request still reports the association, with the name cleared.
    set_state(wifi(kC, "Four"), "fail_only=SIOCGIWESSID");
    const size_t mark = err_->mark();
    p = forge_then({}, kC);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(record_is(p[0], 1, kC, ""));
    EXPECT_EQ(err_->text(mark), "ioctl SIOCGIWESSID: Operation not supported\n");
}

TEST_F(WlMonitor, ModeEventsApplyToLaterAccessPointEvents)
{
    ASSERT_TRUE(record_is(start(wifi(kA, "Net", 2)), 1, kA, "Net"));

    // Switching to ad-hoc posts nothing by itself; the next access-point event reports no association.
    auto p = forge_then({{kIf, "mode=1"}}, kB);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(record_is(p[0], 0, kB, "Net"));

    // Mode and access point in one stream, in that order.
    p = forge_then({{kIf, "mode=2", "ap=" + std::string(kA)}}, kA);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_TRUE(record_is(p[0], 1, kA, "Net"));
    EXPECT_TRUE(record_is(p[1], 1, kA, "Net"));

    // Two messages in one datagram: the mode of the first applies to the access point of the second.
    p = forge_then({{"-s", kIf, "scan", "mode=1", "ap=" + std::string(kC)}}, kC);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_TRUE(record_is(p[0], 0, kC, "Net"));
    EXPECT_TRUE(record_is(p[1], 0, kC, "Net"));
}

// The interface removed while the monitor is held in a post: the events it reads afterwards are

// still its own (the name no longer resolves), the removal is a loss, and an interface created

// again under the name is followed from its state.

// A removal the kernel never made: the index still names the interface, so it is stepped over

// and the interface's events are still followed.

// Removed under a first name and renamed to the watched one, as udev names a re-created

// interface: followed from the rename on.

// The stop counter is private; the test process has no other event counter to confuse it with.

int find_eventfd()
{
    int found = -1;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path(), ec).string() == "anon_inode:[eventfd]") {
            if (found >= 0)
                return -2;
            found = std::stoi(e.path().filename().string());
        }
    }
    return found;
}

TEST_F(WlMonitor, AnyCounterValueEndsTheThread)
{
    start(wifi(kZero, ""));
    const int counter = find_eventfd();
    ASSERT_GE(counter, 0) << "expected exactly one event counter";
    const uint64_t stop = EV_STOP;  // not the 1 that wl_stop writes
    ASSERT_EQ(write(counter, &stop, sizeof stop), 8);
    // A monitor that took the value drained the counter; then it must be gone, not waiting.
    ASSERT_TRUE(tt::eventually([&] {
        pollfd pfd{counter, POLLIN, 0};
        return poll(&pfd, 1, 0) == 0;
    }));
    forge({kIf, "ap=" + std::string(kA)});
    usleep(300'000);
    EXPECT_EQ(post_count(), 1u) << "a monitor still running would have posted the event";
}

// The interface removed and created again while the socket overran: the removal is among the

// lost notifications, and the resynchronisation finds another index. The old network is left

// before the new interface's state is posted, even though both read as associated.

}  // namespace
