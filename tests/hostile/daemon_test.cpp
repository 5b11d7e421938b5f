// The real daemon under hostile control clients and a misbehaving hook script.
#include "ctl_wire.h"
#include "daemon.h"
#include "out_test_support.h"
#include "proc.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace tw;

class HostileDaemon : public ot::daemon_fixture {
protected:
    static int set_wlan4(const char* addr) { return client({"-4", addr}).status; }
};

TEST_F(HostileDaemon, ThousandsOfGarbageConnectionsChangeNothingAndServingGoesOn)
{
    start();
    ASSERT_TRUE(script.wait_ended(1));
    ASSERT_EQ(set_wlan4("192.0.2.1"), 0);
    ASSERT_TRUE(script.wait_ended(2));
    const std::string held = bytes_of(ctl_list_reply{v6({}), v4({"192.0.2.1"})});

    std::mt19937 rng(4711);
    auto noise = [&](size_t n) {
        std::string s(n, '\0');
        for (auto& c : s)
            c = static_cast<char>(rng());
        return s;
    };
    ns4_list bad = v4({"6.6.6.6"});
    ctl_radio_payload bad_radio{v4({"7.7.7.7"}), v6({"::7"})};
    for (int i = 0; i < 3000; ++i) {
        std::string request;
        switch (i % 6) {
        case 0:  // unknown command word with trailing noise
            request = word(7 + rng() % 1000) + noise(rng() % 100);
            break;
        case 1:  // a command word cut short
            request = word(CMD_SET_WLAN4).substr(0, 1 + rng() % 3);
            break;
        case 2:  // a list payload cut short
            request = word(i % 12 == 2 ? CMD_SET_WLAN4 : CMD_SET_RADIO) + noise(rng() % 20);
            break;
        case 3:  // counts no client of ours sends
            bad.count = static_cast<int32_t>(rng()) | 8;
            bad_radio.v4.count = static_cast<int32_t>(rng() % 2 ? 5 : -3);
            request = i % 12 == 3 ? word(CMD_SET_WLAN4) + bytes_of(bad) : word(CMD_SET_RADIO) + bytes_of(bad_radio);
            break;
        case 4:  // asks for the listing and leaves before the reply
            request = word(CMD_LIST);
            break;
        default:  // nothing at all
            break;
        }
        const int fd = ctl_connect();
        ASSERT_GE(fd, 0) << "connection " << i << " refused";
        if (!request.empty()) {
            ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
        }
        close(fd);
    }
    EXPECT_EQ(exchange(word(CMD_LIST)), held);
    EXPECT_EQ(script.settle().size(), 2u) << "a garbage request caused a script run";
    EXPECT_TRUE(daemon.running());
    // Peers that leave before their listing are no reason for a line each.
    EXPECT_EQ(daemon.err().find("writev"), std::string::npos) << daemon.err().substr(0, 400);
}

TEST_F(HostileDaemon, BrokenScriptIsReportedAndRunsAgainOnceItIsBack)
{
    const std::string hook = dir.file("hook");
    ASSERT_EQ(symlink(script.path().c_str(), hook.c_str()), 0);
    daemon = spawn({}, hook);
    ASSERT_TRUE(script.wait_ended(1));

    struct breakage {
        const char* addr;
        std::function<void()> apply;
        const char* report;
    };
    const std::string failing = dir.write("failing", "#!/bin/sh\nexit 3\n", 0755);
    const breakage cases[] = {
        {"192.0.2.1", [&] { chmod(script.path().c_str(), 0644); }, "execl: Permission denied"},
        {"192.0.2.2", [&] { unlink(hook.c_str()); }, "execl: No such file or directory"},
        {"192.0.2.3", [&] { EXPECT_EQ(symlink(failing.c_str(), hook.c_str()), 0); }, nullptr},
    };
    for (const auto& c : cases) {
        c.apply();
        ASSERT_EQ(set_wlan4(c.addr), 0);
        if (c.report != nullptr)
            EXPECT_TRUE(tt::eventually([&] { return daemon.err().find(c.report) != std::string::npos; }))
                << c.addr << ": " << daemon.err();
        else
            std::this_thread::sleep_for(500ms);
        EXPECT_EQ(list_lists().v4.addr[0].s_addr, v4({c.addr}).addr[0].s_addr);
        EXPECT_EQ(script.runs().size(), 1u) << c.addr;
    }
    // Back in place: the next change runs it with the latest lists.
    unlink(hook.c_str());
    chmod(script.path().c_str(), 0755);
    ASSERT_EQ(symlink(script.path().c_str(), hook.c_str()), 0);
    ASSERT_EQ(set_wlan4("192.0.2.9"), 0);
    ASSERT_TRUE(script.wait_ended(2)) << daemon.err();
    EXPECT_EQ(script.runs()[1].env[1], "TAMROD_V4=192.0.2.9");
    EXPECT_TRUE(daemon.running());
}

TEST_F(HostileDaemon, TerminationDuringAScriptRunDoesNotWaitForTheScript)
{
    start();
    ASSERT_TRUE(script.wait_ended(1));
    script.hold(true);
    ASSERT_EQ(set_wlan4("192.0.2.1"), 0);
    ASSERT_TRUE(script.wait_begun(2));
    const auto before = std::chrono::steady_clock::now();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(3s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_NE(access(kControlPath, F_OK), 0) << "socket file left behind";
    EXPECT_EQ(script.runs().back().end_ns, -1) << "the script had ended before the daemon";
    script.hold(false);
}

// Many daemons started at one instant (released together through a FIFO): exactly one serves, the
// socket file is its own, and the others end with "already running" without touching it.
TEST_F(HostileDaemon, SimultaneousStartsLeaveExactlyOneDaemonServingItsOwnSocket)
{
    constexpr int kRounds = 5;
    constexpr int kStarts = 8;
    const std::string gate = dir.file("gate");
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
        // Held open for writing, so no start blocks in opening it, however late it comes.
        const int gate_fd = open(gate.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(gate_fd, 0);
        std::vector<tt::process> starts;
        tt::spawn_options opt;
        opt.env = tt::wifi_stub_env("lo", state);
        opt.env["LD_PRELOAD"] += ":" SLOW_LISTEN;
        for (int i = 0; i < kStarts; ++i)
            starts.emplace_back(std::vector<std::string>{"/bin/sh", "-c", "read x < \"$0\"; exec \"$@\"", gate,
                                                         tt::tamrod_bin(), "-f", "-x", script.path(), "-i", "lo"},
                                opt);
        std::this_thread::sleep_for(200ms);  // all waiting at the gate
        // One line each, in one write: the shells, reading a byte at a time, go on together.
        ASSERT_EQ(write(gate_fd, std::string(kStarts, '\n').data(), kStarts), kStarts);
        close(gate_fd);
        unlink(gate.c_str());
        const auto alive = [&] {
            return std::count_if(starts.begin(), starts.end(), [](tt::process& p) { return p.running(); });
        };
        EXPECT_TRUE(tt::eventually([&] { return alive() <= 1; }, 10s)) << "round " << round;
        std::this_thread::sleep_for(300ms);
        ASSERT_EQ(alive(), 1) << "round " << round;
        auto survivor = std::find_if(starts.begin(), starts.end(), [](tt::process& p) { return p.running(); });
        for (auto& p : starts) {
            if (&p != &*survivor) {
                EXPECT_EQ(p.wait(1s), 1);
                EXPECT_NE(p.err().find("already running\n"), std::string::npos) << p.err();
            }
        }
        const int fd = ctl_connect();
        ASSERT_GE(fd, 0) << "round " << round;
        ucred peer{};
        socklen_t len = sizeof peer;
        ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len), 0);
        close(fd);
        EXPECT_EQ(peer.pid, survivor->pid()) << "round " << round << ": the socket is not the survivor's";
        ASSERT_TRUE(script.wait_ended(static_cast<size_t>(round) + 1)) << survivor->err();
        survivor->signal(SIGTERM);
        EXPECT_EQ(survivor->wait(5s), 1);
        EXPECT_NE(access(kControlPath, F_OK), 0) << "socket file left behind";
        EXPECT_NE(access("/dev/tamctl.lock", F_OK), 0) << "lock file left behind";
    }
}

}  // namespace
