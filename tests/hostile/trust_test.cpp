// Who may act on the control socket, and what silent or slow peers can do to the daemon.
#include "ctl_wire.h"
#include "out_test_support.h"

#include <grp.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace tw;
using steady = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;

// In a forked child: becomes uid nobody with only the given groups, or ends the child.
void become_nobody(const std::vector<gid_t>& groups)
{
    if (setgroups(groups.size(), groups.data()) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
        _exit(99);
}

// Runs body in a child that has dropped to uid nobody with only the given groups; its result
// becomes the child's exit status.
int as_nobody(std::vector<gid_t> groups, const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        become_nobody(groups);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

gid_t netdev_gid()
{
    if (group* g = getgrnam("netdev"))
        return g->gr_gid;
    EXPECT_EQ(tt::run({"groupadd", "-r", "netdev"}).status, 0);
    group* g = getgrnam("netdev");
    return g != nullptr ? g->gr_gid : 0;
}

double ms_since(steady::time_point t0)
{
    return std::chrono::duration<double, std::milli>(steady::now() - t0).count();
}

class Trust : public ot::daemon_fixture {};

TEST_F(Trust, OtherUsersMayListButNotChangeReloadOrStop)
{
    start({"-c", dir.write("policy", "+ + 1\n")});
    const std::string set4 = word(CMD_SET_WLAN4) + bytes_of(v4({"6.6.6.6"}));
    const std::string radio = word(CMD_SET_RADIO) + bytes_of(ctl_radio_payload{v4({"6.6.6.7"}), v6({})});
    const int listed = as_nobody({kNobody}, [&] {
        for (const auto& request : {set4, radio, word(CMD_RELOAD), word(CMD_TERMINATE)})
            exchange(request);
        return exchange(word(CMD_LIST)).size() == sizeof(ctl_list_reply) ? 0 : 1;
    });
    EXPECT_EQ(listed, 0) << "the listing is open to every local process";
    EXPECT_EQ(exchange(word(CMD_LIST)), bytes_of(ctl_list_reply{}));
    EXPECT_EQ(script.settle().size(), 1u) << "a refused command ran the script";
    ASSERT_TRUE(daemon.running());
    EXPECT_NE(daemon.err().find("CMD_SET_WLAN4 refused: uid 65534"), std::string::npos) << daemon.err();
    EXPECT_NE(daemon.err().find("CMD_TERMINATE refused: uid 65534"), std::string::npos) << daemon.err();

    // A member of the control group may, through a supplementary group.
    EXPECT_EQ(as_nobody({kNobody, netdev_gid()}, [&] { return exchange(set4).empty() ? 0 : 1; }), 0);
    ASSERT_TRUE(script.wait_ended(2)) << daemon.err();
    EXPECT_EQ(script.runs()[1].env[1], "TAMROD_V4=6.6.6.6");
}

TEST_F(Trust, AFloodOfRefusalsIsReportedInAFewLines)
{
    start();
    as_nobody({kNobody}, [] {
        for (int i = 0; i < 200; ++i)
            exchange(word(CMD_RELOAD));
        return 0;
    });
    // The count of suppressed lines comes with the next report, at the latest at shut-down.
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(10s), 1);
    const std::string err = daemon.err();
    size_t lines = 0;
    for (size_t at = 0; (at = err.find(" refused: ", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_LE(lines, 10u) << err;
    EXPECT_NE(err.find("more refused or malformed commands not reported"), std::string::npos) << err;
}

// Another account's peers that connect and never send, each reconnected as soon as the daemon
// drops it.
class silent_peers {
public:
    explicit silent_peers(size_t n)
    {
        pid_ = fork();
        if (pid_ != 0)
            return;
        become_nobody({kNobody});
        std::vector<int> fds(n, -1);
        for (;;) {
            for (int& fd : fds) {
                pollfd p{fd, POLLIN, 0};
                if (fd >= 0 && poll(&p, 1, 0) == 0)
                    continue;
                if (fd >= 0)
                    close(fd);
                fd = ctl_connect();
            }
            usleep(5000);
        }
    }
    ~silent_peers()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
};

class Stall : public ot::daemon_fixture, public ::testing::WithParamInterface<size_t> {};

TEST_P(Stall, SilentConnectionsHoldUpNeitherClientsNorRunsNorTheStop)
{
    start();
    silent_peers peers(GetParam());
    std::this_thread::sleep_for(1500ms);  // past one connection budget: the table is full and turning over

    auto t0 = steady::now();
    const tt::result listing = client({"-l"});
    const double list_ms = ms_since(t0);
    EXPECT_EQ(listing.status, 0) << listing.err;

    t0 = steady::now();
    ASSERT_EQ(client({"-4", "192.0.2.7"}).status, 0);
    ASSERT_TRUE(script.wait_begun(2, 5s));
    const double run_ms = ms_since(t0);

    t0 = steady::now();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(5s), 1);
    const double stop_ms = ms_since(t0);
    std::printf("%zu silent connections: -l %.1f ms, change to script run %.1f ms, SIGTERM to exit %.1f ms\n",
                GetParam(), list_ms, run_ms, stop_ms);
    // Bounds far above what this takes, far below what one stalled connection after another costs.
    EXPECT_LT(list_ms, 3000);
    EXPECT_LT(run_ms, 3000);
    EXPECT_LT(stop_ms, 3000);
}

INSTANTIATE_TEST_SUITE_P(Connections, Stall, ::testing::Values(10, 500));

// Clock ticks of CPU the process has used, user and system.
long cpu_ticks(pid_t pid)
{
    const std::string stat = tt::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

TEST_F(Trust, OutOfDescriptorsTheDaemonNeitherSpinsNorStopsServingOnceTheyAreBack)
{
    start();
    // The first run is reaped, so its end descriptor no longer counts among those in use.
    const std::string fds = "/proc/" + std::to_string(daemon.pid()) + "/fd";
    ASSERT_TRUE(tt::eventually([&] {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(fds))
            if (std::filesystem::read_symlink(e.path(), ec).string() == "anon_inode:[pidfd]")
                return false;
        return true;
    }));
    // No descriptor left for a connection: the limit drops to the highest one in use.
    int highest = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(daemon.pid()) + "/fd"))
        highest = std::max(highest, std::stoi(e.path().filename()) < 64 ? std::stoi(e.path().filename()) : 0);
    const std::string pid = std::to_string(daemon.pid());
    ASSERT_EQ(tt::run({"prlimit", "--pid", pid, "--nofile=" + std::to_string(highest + 1) + ":"}).status, 0);
    const int waiting = ctl_connect();  // stays in the backlog: accept cannot take it
    ASSERT_GE(waiting, 0);
    std::this_thread::sleep_for(300ms);
    const long before = cpu_ticks(daemon.pid());
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpu_ticks(daemon.pid()) - before, sysconf(_SC_CLK_TCK) / 4) << "the daemon spun on accept";
    close(waiting);

    ASSERT_EQ(tt::run({"prlimit", "--pid", pid, "--nofile=1024:"}).status, 0);
    const tt::result listing = client({"-l"});
    EXPECT_EQ(listing.status, 0) << listing.err;
    EXPECT_NE(daemon.err().find("accept: Too many open files"), std::string::npos) << daemon.err();
}

}  // namespace
