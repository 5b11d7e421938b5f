// The monitor thread and its Wireless Extensions requests, each test in a private network
// namespace: the preloaded stand-in answers the requests for a veth interface, forge_link
// multicasts link notifications as the kernel would, and a recording mgr_post stands in for the
// manager channel, so the posts are what the test observes.
//
// The association record outlives wl_cleanup by design (a daemon starts once), so a check of
// the very first record assumes a fresh process, as ctest gives every case.
#include "daemon.h"
#include "mgr.h"
#include "proc.h"
#include "util.h"
#include "wl.h"

#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

std::mutex posts_mu;
std::condition_variable posts_cv;
std::vector<assoc_info> posts;
int foreign_posts = 0;
bool gate_closed = false;
int held_posters = 0;
int inits_in_process = 0;

}  // namespace

// Recording double of the manager channel. A closed gate holds the poster inside the post, as
// a full channel would, so a test can keep the monitor from reading its socket.
void mgr_post(uint32_t type, const void* payload, uint32_t length)
{
    std::unique_lock lock(posts_mu);
    ++held_posters;
    posts_cv.notify_all();
    posts_cv.wait(lock, [] { return !gate_closed; });
    --held_posters;
    if (type == MGR_ASSOC && length == sizeof(assoc_info) && payload != nullptr) {
        assoc_info a;
        std::memcpy(&a, payload, sizeof a);
        posts.push_back(a);
    } else {
        ++foreign_posts;
    }
    posts_cv.notify_all();
}

namespace {

constexpr char kIf[] = "wlt0";
constexpr char kPeer[] = "wlp0";
constexpr char kA[] = "00:11:22:33:44:55";
constexpr char kB[] = "02:aa:bb:cc:dd:01";
constexpr char kC[] = "02:aa:bb:cc:dd:02";
constexpr char kZero[] = "00:00:00:00:00:00";

std::array<uint8_t, 6> mac(const std::string& text)
{
    std::array<unsigned, 6> v{};
    std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    std::array<uint8_t, 6> m{};
    for (size_t i = 0; i < 6; ++i)
        m[i] = static_cast<uint8_t>(v[i]);
    return m;
}

std::string essid_of(const assoc_info& a) { return std::string(a.essid.data()); }

::testing::AssertionResult record_is(const assoc_info& a, int flag, const std::string& bssid,
                                     const std::string& essid)
{
    if (a.associated != flag || a.bssid != mac(bssid) || essid_of(a) != essid || a.reserved != 0)
        return ::testing::AssertionFailure()
               << "got flag " << a.associated << " essid '" << essid_of(a) << "', wanted flag " << flag
               << " bssid " << bssid << " essid '" << essid << "'";
    // Everything behind the name is zero: the manager compares the field as it stands.
    for (size_t i = essid.size(); i < a.essid.size(); ++i)
        if (a.essid[i] != '\0')
            return ::testing::AssertionFailure() << "ESSID byte " << i << " not zero";
    return ::testing::AssertionSuccess();
}

tt::wifi_state wifi(const std::string& bssid, const std::string& essid, int mode = 2)
{
    tt::wifi_state s;
    s.bssid = bssid;
    s.essid = essid;
    s.mode = mode;
    return s;
}

tt::wifi_state range_wifi(const std::string& bssid, int version, int range_len)
{
    tt::wifi_state s = wifi(bssid, "LabNet");
    s.version = version;
    s.range_len = range_len;
    return s;
}

tt::wifi_state failing_wifi(const std::string& bssid, bool fail)
{
    tt::wifi_state s = wifi(bssid, "LabNet");
    s.fail = fail;
    return s;
}

size_t post_count()
{
    std::lock_guard lock(posts_mu);
    return posts.size();
}

// The posts so far, once there are at least n of them (or after the time-out).
std::vector<assoc_info> wait_posts(size_t n)
{
    std::unique_lock lock(posts_mu);
    posts_cv.wait_for(lock, std::chrono::seconds(5), [n] { return posts.size() >= n; });
    return posts;
}

// Waits until the monitor is held inside a post by the closed gate.
bool monitor_held()
{
    std::unique_lock lock(posts_mu);
    return posts_cv.wait_for(lock, std::chrono::seconds(5), [] { return held_posters > 0; });
}

void set_gate(bool closed)
{
    std::lock_guard lock(posts_mu);
    gate_closed = closed;
    posts_cv.notify_all();
}

class WlMonitor : public ::testing::Test {
protected:
    void SetUp() override
    {
        TT_REQUIRE_ROOT();
        // Only this thread (and what it starts) moves; the namespace goes when the process ends.
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        const auto r = tt::run({"ip", "link", "add", kIf, "type", "veth", "peer", "name", kPeer});
        ASSERT_EQ(r.status, 0) << r.err;
        state_path_ = dir_.file("wext");
        err_.emplace(dir_.file("stderr"));
        setenv("TAMROD_WEXT_IFNAME", kIf, 1);
        setenv("TAMROD_WEXT_STATE", state_path_.c_str(), 1);
        std::lock_guard lock(posts_mu);
        posts.clear();
        foreign_posts = 0;
        gate_closed = false;
    }

    void TearDown() override
    {
        set_gate(false);
        wl_stop();
        wl_cleanup();
        EXPECT_EQ(foreign_posts, 0) << "only MGR_ASSOC with a whole record may be posted";
        if (err_) {
            const std::string text = err_->text();
            err_.reset();
            if (HasFailure())
                std::printf("standard error of the module:\n%s", text.c_str());
        }
    }

    void set_state(const tt::wifi_state& s, const std::string& extra = "")
    {
        tt::write_wifi_state(state_path_, s);
        if (!extra.empty())
            std::ofstream(state_path_, std::ios::app) << extra << "\n";
    }

    int init(const char* ifname = kIf)
    {
        ++inits_in_process;
        return wl_init(ifname);
    }

    // Starts the monitor from the given state and returns its first post.
    assoc_info start(const tt::wifi_state& s)
    {
        set_state(s);
        EXPECT_EQ(init(), 0);
        EXPECT_EQ(wl_start(), 0);
        const auto p = wait_posts(1);
        EXPECT_EQ(p.size(), 1u);
        return p.empty() ? assoc_info{} : p[0];
    }

    static void ip(std::vector<std::string> args)
    {
        args.insert(args.begin(), "ip");
        const auto r = tt::run(args);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    void forge(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{FORGE_LINK};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = tt::run(argv);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // Sends notifications and the access-point event `after` for the watched interface, and
    // returns the posts they caused: the posts come in notification order, so once `after` has
    // been posted everything sent before it has been handled.
    std::vector<assoc_info> forge_then(const std::vector<std::vector<std::string>>& sends,
                                       const std::string& after)
    {
        const size_t before = post_count();
        for (const auto& s : sends)
            forge(s);
        forge({kIf, "ap=" + after});
        auto all = wait_posts(before + 1);
        EXPECT_TRUE(!all.empty() && all.back().bssid == mac(after)) << "the closing event was not posted";
        return {all.begin() + static_cast<long>(before), all.end()};
    }

    tt::temp_dir dir_;
    std::string state_path_;
    std::optional<tt::stderr_capture> err_;
};

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

// The interface removed while the monitor is held in a post: the events it reads afterwards are
// still its own (the name no longer resolves), the removal is a loss, and an interface created
// again under the name is followed from its state.
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

// A removal the kernel never made: the index still names the interface, so it is stepped over
// and the interface's events are still followed.
TEST_F(WlMonitor, RemovalForALiveIndexIsSteppedOver)
{
    ASSERT_TRUE(record_is(start(wifi(kA, "Net")), 1, kA, "Net"));
    set_state(wifi(kC, "Still"));
    const auto p = forge_then({{"-d", kIf}}, kC);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(record_is(p[0], 1, kC, "Still"));
}

// Removed under a first name and renamed to the watched one, as udev names a re-created
// interface: followed from the rename on.
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

// The interface removed and created again while the socket overran: the removal is among the
// lost notifications, and the resynchronisation finds another index. The old network is left
// before the new interface's state is posted, even though both read as associated.
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
