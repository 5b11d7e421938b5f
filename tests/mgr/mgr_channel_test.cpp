// The manager's channel, its real timer and its thread, observed through recording doubles of
// rq_set and out_post (the state machine is the real one).
#include "doubles.h"
#include "mgr.h"
#include "mgr_internal.h"
#include "policy.h"
#include "proc.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

// glibc runs SIGEV_THREAD notifications from a helper thread it creates internally, unseen by
// ThreadSanitizer, whose allocator then crashes in that thread at the first expiry.
#if defined(__SANITIZE_THREAD__)
#define SKIP_IF_EXPIRY_UNDER_TSAN() GTEST_SKIP() << "timer expiry crashes glibc's helper thread under TSan"
#else
#define SKIP_IF_EXPIRY_UNDER_TSAN() static_cast<void>(0)
#endif

using namespace std::chrono_literals;
using calls = std::vector<std::string>;

void post_assoc(const char* essid, int32_t associated = 1)
{
    assoc_info a{};
    a.associated = associated;
    a.bssid = {0x02, 0, 0, 0, 0, 1};
    std::strncpy(a.essid.data(), essid, 32);
    mgr_post(MGR_ASSOC, &a, sizeof a);
}

void post(uint32_t type, int times = 1)
{
    for (int i = 0; i < times; ++i)
        mgr_post(type, nullptr, 0);
}

// Waits until the doubles have seen n calls.
calls after(size_t n, std::chrono::milliseconds timeout = 3s)
{
    tt::eventually([&] { return dbl::calls().size() >= n; }, timeout);
    return dbl::calls();
}

// The test arms a short timer from inside the manager thread when the state machine slows
// soliciting (the tenth cycle), so that an expiry arrives within milliseconds.
void short_timer_on_slowdown(std::chrono::milliseconds busy_after = 0ms)
{
    dbl::on_rq_set([busy_after](int32_t interval, bool) {
        if (interval != 6000)
            return;
        mgr_timer_arm(50ms);
        std::this_thread::sleep_for(busy_after);  // the expiry queues behind what is already posted
    });
}

class Channel : public ::testing::Test {
protected:
    void SetUp() override
    {
        dbl::clear();
        dbl::on_rq_set(nullptr);
    }
    void TearDown() override
    {
        dbl::on_rq_set(nullptr);
        mgr_cleanup();
    }
};

TEST_F(Channel, TimerHandsBackTheTimeThatPassed)
{
    SKIP_IF_EXPIRY_UNDER_TSAN();
    ASSERT_EQ(mgr_init(1, nullptr), 0);
    const auto armed = std::chrono::steady_clock::now();
    mgr_timer_arm(10200ms);
    std::this_thread::sleep_for(3500ms);
    mgr_ms elapsed = mgr_timer_arm(0ms);
    const auto passed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - armed);
    EXPECT_GE(elapsed, 3500ms);  // 3.5 s and a few milliseconds
    EXPECT_LE(elapsed, passed + 2ms);
    EXPECT_EQ(mgr_timer_arm(0ms), 0ms);  // disarmed twice: nothing passed

    // Ran out long ago: the time that really passed, not only the armed duration, so that
    // lifetimes that ran out meanwhile are seen as gone.
    const auto late = std::chrono::steady_clock::now();
    mgr_timer_arm(120ms);
    std::this_thread::sleep_for(600ms);
    elapsed = mgr_timer_arm(1005ms);
    EXPECT_GE(elapsed, 600ms);
    EXPECT_LE(elapsed, std::chrono::steady_clock::now() - late + 2ms);
    elapsed = mgr_timer_arm(0ms);
    EXPECT_GE(elapsed, 0ms);
    EXPECT_LE(elapsed, 50ms);
}

// The channel's ends are found as the two pipes mgr_init opens.
struct chan_ends {
    int rd = -1, wr = -1;
};

std::set<int> open_fds()
{
    std::set<int> fds;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' && std::atoi(e->d_name) != dirfd(d))
            fds.insert(std::atoi(e->d_name));
    closedir(d);
    return fds;
}

int pending(int fd)
{
    int n = -1;
    ioctl(fd, FIONREAD, &n);
    return n;
}

TEST_F(Channel, MessagesAreWrittenWholeWithTheirFixedLengths)
{
    const auto before = open_fds();
    ASSERT_EQ(mgr_init(1, nullptr), 0);
    chan_ends c;
    for (int fd : open_fds()) {
        if (before.count(fd))
            continue;
        struct stat st{};
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "a script would inherit the channel";
        ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY ? c.wr : c.rd) = fd;
    }
    ASSERT_GE(c.rd, 0);
    ASSERT_GE(c.wr, 0);

    post(MGR_RS_SENT);
    EXPECT_EQ(pending(c.rd), 4);
    uint32_t type = 0;
    ASSERT_EQ(read(c.rd, &type, 4), 4);
    EXPECT_EQ(type, MGR_RS_SENT);

    rdnss_report r{};
    r.count = 2;
    r.addr[1] = dbl::addr(7);
    r.lifetime[1] = 0xdeadbeef;
    mgr_post(MGR_RDNSS, &r, sizeof r);
    EXPECT_EQ(pending(c.rd), 88);
    struct {
        uint32_t type;
        rdnss_report r;
    } got{};
    ASSERT_EQ(read(c.rd, &got, 88), 88);
    EXPECT_EQ(got.type, MGR_RDNSS);
    EXPECT_EQ(std::memcmp(&got.r, &r, sizeof r), 0);

    SKIP_IF_EXPIRY_UNDER_TSAN();
    // The notification posts the generation; a call that finds the timer run out raises it.
    mgr_timer_arm(30ms);
    ASSERT_TRUE(tt::eventually([&] { return pending(c.rd) == 8; }, 2s)) << "the timer never fired";
    uint32_t msg[2] = {};
    ASSERT_EQ(read(c.rd, msg, 8), 8);
    EXPECT_EQ(msg[0], MGR_TIMER);
    EXPECT_EQ(msg[1], 0u);
    mgr_timer_arm(0ms);
    mgr_timer_fire(sigval{});
    ASSERT_EQ(read(c.rd, msg, 8), 8);
    EXPECT_EQ(msg[1], 1u);
    // Re-arming a timer that has not run out leaves the generation alone.
    mgr_timer_arm(5s);
    mgr_timer_arm(0ms);
    mgr_timer_fire(sigval{});
    ASSERT_EQ(read(c.rd, msg, 8), 8);
    EXPECT_EQ(msg[1], 1u);
    EXPECT_EQ(pending(c.rd), 0);
}

int timers()
{
    const std::string t = "\n" + tt::read_file("/proc/self/timers");
    int n = 0;
    for (size_t at = 0; (at = t.find("\nID:", at)) != std::string::npos; ++at)
        ++n;
    return n;
}

TEST_F(Channel, InitTwiceCreatesNothingAndCleanupReleasesEverything)
{
    const auto fds = open_fds();
    const int before = timers();
    ASSERT_EQ(mgr_init(1, nullptr), 0);
    const auto opened = open_fds();
    EXPECT_EQ(opened.size(), fds.size() + 2);
    EXPECT_EQ(timers(), before + 1);
    ASSERT_EQ(mgr_init(0, nullptr), 0);
    EXPECT_EQ(open_fds(), opened);
    EXPECT_EQ(timers(), before + 1);
    mgr_cleanup();
    EXPECT_EQ(open_fds(), fds);
    EXPECT_EQ(timers(), before);
    mgr_cleanup();
    EXPECT_EQ(open_fds(), fds);
}

TEST_F(Channel, ThreadPublishesOnceForcedThenTakesQueuedMessagesAndStopsCleanly)
{
    char ssid[] = "LabNet";
    policy_entry quiet{};
    quiet.flags = POLICY_ANY_BSSID;
    std::memcpy(quiet.ssid.data(), ssid, sizeof ssid);
    ASSERT_EQ(mgr_init(1, &quiet), 0);
    post_assoc("LabNet");  // waits in the pipe until the thread reads it
    post(99);              // unknown type: nothing is read for it
    post(MGR_RA_SEEN);
    ASSERT_EQ(mgr_start(), 0);
    EXPECT_EQ(after(3), (calls{"out []", "rq 3000 0", "rq 600000 0"}));
    ASSERT_EQ(dbl::published().size(), 1u);
    EXPECT_EQ(dbl::published()[0].count, 0);

    post_assoc("LabNet");  // soliciting again, timer armed for 60 s
    after(4);
    std::this_thread::sleep_for(50ms);
    mgr_stop();
    EXPECT_EQ(dbl::calls(), (calls{"out []", "rq 3000 0", "rq 600000 0", "rq 3000 0", "rq -1 0"}));
    // The thread disarmed on its way out: nothing is left running.
    EXPECT_EQ(mgr_timer_arm(0ms), 0ms);
}

TEST_F(Channel, CurrentExpiryReachesTheStateMachine)
{
    SKIP_IF_EXPIRY_UNDER_TSAN();
    ASSERT_EQ(mgr_init(1, nullptr), 0);
    short_timer_on_slowdown();
    ASSERT_EQ(mgr_start(), 0);
    post_assoc("LabNet");
    post(MGR_RS_SENT, 10);
    EXPECT_EQ(after(4), (calls{"out []", "rq 3000 1", "rq 6000 1", "rq -1 1"}));  // gave up
    mgr_stop();
}

TEST_F(Channel, ExpiryQueuedBehindARearmIsDropped)
{
    SKIP_IF_EXPIRY_UNDER_TSAN();
    ASSERT_EQ(mgr_init(1, nullptr), 0);
    short_timer_on_slowdown(800ms);
    ASSERT_EQ(mgr_start(), 0);
    post_assoc("LabNet");
    post(MGR_RS_SENT, 10);
    post_assoc("LabNet");  // read after the timer ran out, before its MGR_TIMER: re-arms for 60 s
    after(4);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(dbl::calls(), (calls{"out []", "rq 3000 1", "rq 6000 1", "rq 3000 1"}));
    mgr_stop();
}

// The notification reads the generation when it runs. One that runs late, after the manager
// re-armed for a new association, carries the current generation, yet the new arm has not run out.
TEST_F(Channel, LateNotificationForAnEarlierArmIsDropped)
{
    ASSERT_EQ(mgr_init(1, nullptr), 0);
    ASSERT_EQ(mgr_start(), 0);
    post_assoc("LabNet");  // soliciting, with the 60 s give-up timer armed
    after(2);
    mgr_timer_fire(sigval{});  // what a delayed notification does: read the generation now, post
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(dbl::calls(), (calls{"out []", "rq 3000 1"}));  // no give-up
    mgr_stop();
}

// Posters may block on a full pipe while holding the channel mutex; only the manager thread can
// drain the pipe, so it must never need that mutex itself (here: to check an expiry's generation).
TEST_F(Channel, ManagerKeepsDrainingWhilePostersWaitOnAFullPipe)
{
    const auto fds = open_fds();
    ASSERT_EQ(mgr_init(1, nullptr), 0);
    int rd = -1;
    for (int fd : open_fds())
        if (!fds.count(fd) && (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
            rd = fd;
    ASSERT_GE(rd, 0);

    std::atomic<bool> slept{false};
    dbl::on_rq_set([&](int32_t interval, bool) {
        if (interval == 3000 && !slept.exchange(true))
            std::this_thread::sleep_for(300ms);  // a slow moment of the manager thread
    });
    ASSERT_EQ(mgr_start(), 0);
    post_assoc("LabNet");
    // An expiry message for the give-up timer, checked while posters wait on the full pipe.
    // The timer itself has not run out, so the manager drops it once it has looked.
    const uint32_t generation = 0;
    mgr_post(MGR_TIMER, &generation, sizeof generation);
    std::atomic<bool> flooded{false};
    std::thread flood([&] {
        post(MGR_RA_SEEN, 40000);  // 160 KB: more than the pipe holds
        flooded = true;
    });
    const bool drained = tt::eventually([&] { return flooded.load(); }, 5s);
    if (!drained) {
        // Deadlocked: drain the pipe ourselves (whole 4-byte messages) so that everything can end.
        char buf[4096];
        while (!flooded) {
            pollfd pfd{rd, POLLIN, 0};
            if (poll(&pfd, 1, 10) == 1 && read(rd, buf, sizeof buf) < 0)
                break;
        }
    }
    flood.join();
    EXPECT_TRUE(drained) << "the manager thread and a poster waited on each other";
    mgr_stop();
    const auto c = dbl::calls();
    ASSERT_GE(c.size(), 3u);
    EXPECT_EQ(c[2], "rq 600000 1") << "an expiry was taken although the timer had not run out";
}

TEST_F(Channel, StartListIsOnlyLentAndReloadedListsAreFreedWhenReplaced)
{
    tt::temp_dir dir;
    policy_list start = policy_read(dir.write("start", "LabNet + 0\n").c_str());
    policy_list first = policy_read(dir.write("first", "LabNet + 1\n").c_str());
    policy_list second = policy_read(dir.write("second", "LabNet + -1\n").c_str());
    ASSERT_TRUE(start && first && second);

    ASSERT_EQ(mgr_init(1, start), 0);
    ASSERT_EQ(mgr_start(), 0);
    post_assoc("LabNet");
    EXPECT_EQ(after(2).back(), "rq 3000 0");
    mgr_post(MGR_POLICY, &first, sizeof first);
    post_assoc("LabNet");
    EXPECT_EQ(after(3).back(), "rq 3000 1");
    mgr_post(MGR_POLICY, &second, sizeof second);
    post_assoc("LabNet");  // disabled now
    EXPECT_EQ(after(4).back(), "rq -1 1");
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_TRUE(__asan_address_is_poisoned(first)) << "the replaced reloaded list was not freed";
#endif
    mgr_stop();
    mgr_cleanup();
    // The start list is still ours, intact, and freed once, here.
    EXPECT_EQ(start->burst, 0);
    policy_free(start);
}

// A POSIX timer does not pass to a forked child. The daemon's detach step forks after mgr_init, so
// the manager has to have a working timer in the process that runs its thread.
class Detached : public Channel {
protected:
    // Runs body in a grandchild whose parent, like the caller of daemon(), ran prepare first and
    // ended at once. The body's verdict comes back over a pipe.
    static char verdict(void (*prepare)(), char (*body)())
    {
        int p[2];
        if (pipe(p) != 0)
            return 'p';
        pid_t child = fork();
        if (child == 0) {
            close(p[0]);
            prepare();
            pid_t grandchild = fork();
            if (grandchild != 0)
                _exit(grandchild < 0);
            char v = body();
            ssize_t n = write(p[1], &v, 1);
            _exit(n == 1 ? 0 : 1);
        }
        close(p[1]);
        int st = 0;
        waitpid(child, &st, 0);
        pollfd pfd{p[0], POLLIN, 0};
        char v = 't';
        if (poll(&pfd, 1, 10000) == 1 && read(p[0], &v, 1) != 1)
            v = 'e';
        close(p[0]);
        return v;
    }
};

void forked_fire(sigval v) { *static_cast<volatile int*>(v.sival_ptr) = 1; }
timer_t plain_timer;
volatile int plain_fired = 0;

TEST_F(Detached, ManagerTimerFiresInTheProcessThatRunsTheThread)
{
    SKIP_IF_EXPIRY_UNDER_TSAN();
    const char v = verdict([] { mgr_init(1, nullptr); },
                           [] {
                               short_timer_on_slowdown();
                               if (mgr_start() != 0)
                                   return 's';
                               post_assoc("LabNet");
                               post(MGR_RS_SENT, 10);
                               const bool gave_up = tt::eventually(
                                   [] { return dbl::calls().size() >= 4 && dbl::calls()[3] == "rq -1 1"; }, 3s);
                               mgr_stop();
                               mgr_cleanup();
                               return gave_up ? 'y' : 'n';
                           });
    EXPECT_EQ(v, 'y') << "no expiry reached the state machine in the forked process";
}

TEST_F(Detached, TimerCreatedBeforeTheForkIsGoneInTheChild)
{
    const char v = verdict(
        [] {
            sigevent ev{};
            ev.sigev_notify = SIGEV_THREAD;
            ev.sigev_notify_function = forked_fire;
            ev.sigev_value.sival_ptr = const_cast<int*>(&plain_fired);
            if (timer_create(CLOCK_MONOTONIC, &ev, &plain_timer) != 0)
                _exit(1);
        },
        [] {
            itimerspec on{};
            on.it_value.tv_nsec = 20'000'000;
            if (timer_settime(plain_timer, 0, &on, nullptr) != 0)
                return 'g';  // gone
            std::this_thread::sleep_for(300ms);
            return plain_fired ? 'f' : 'g';
        });
    EXPECT_EQ(v, 'g');
}

}  // namespace
