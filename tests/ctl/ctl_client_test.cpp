// The one-shot client commands of the real executable against a small server bound to the
// control socket path: the exact request bytes, replies, messages and exit statuses.
#include "ctl_auth.h"
#include "ctl_wire.h"
#include "proc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace tw;

// Stands where the daemon would: listens on the control path for the life of the test.
class fake_daemon {
public:
    fake_daemon() : fd_(ctl_listen()) { EXPECT_GE(fd_, 0) << strerror(errno); }
    ~fake_daemon()
    {
        close(fd_);
        unlink(kControlPath);
    }

    // Next connection, or -1 when none arrives in time.
    int accept_one(std::chrono::milliseconds timeout = 5s)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return -1;
        return accept(fd_, nullptr, nullptr);
    }

    // Everything a connection sent until the client closed it.
    std::string take_request(std::chrono::milliseconds timeout = 5s)
    {
        int c = accept_one(timeout);
        if (c < 0)
            return "<no connection>";
        std::string got = read_to_end(c, 2s);
        close(c);
        return got;
    }

private:
    int fd_ = -1;
};

tt::result client(std::vector<std::string> args)
{
    args.insert(args.begin(), tt::tamrod_bin());
    return tt::run(args, 10s);
}

TEST(CtlNoDaemon, EveryCommandReportsOnlyConnectAndFails)
{
    TT_REQUIRE_ROOT();
    // Neither a socket file nor a stale one with nobody listening may get further than connect.
    for (bool stale : {false, true}) {
        unlink(kControlPath);
        if (stale) {
            int s = ctl_listen();
            ASSERT_GE(s, 0);
            close(s);
        }
        for (auto args : std::vector<std::vector<std::string>>{
                 {"-4", "1.2.3.4"}, {"-r", "::1"}, {"-l"}, {"-u"}, {"-t"}}) {
            auto r = client(args);
            SCOPED_TRACE(args[0] + (stale ? " stale" : " absent"));
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind("connect: ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
        unlink(kControlPath);
    }
}

TEST(CtlNoDaemon, AStalledDaemonIsGivenUpOnWithTheReason)
{
    TT_REQUIRE_ROOT();
    fake_daemon stalled;  // listens, never accepts, never answers
    const auto t0 = std::chrono::steady_clock::now();
    auto r = client({"-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "read: Connection timed out\n");

    // With the backlog full, connect itself has to give up.
    std::vector<int> queued;
    for (int fd; (fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0)) >= 0;) {
        const sockaddr_un a = control_address();
        if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            break;
        }
        queued.push_back(fd);
    }
    r = client({"-u"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "connect: Connection timed out\n");
    for (int fd : queued)
        close(fd);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 12s);
}

struct request_case {
    std::vector<std::string> args;
    std::string expected;  // request bytes; empty when nothing may be sent
    int status;
    std::string err;
};

TEST(CtlRequests, BytesSentStatusesAndMessages)
{
    TT_REQUIRE_ROOT();
    const std::vector<request_case> cases = {
        {{"-4"}, word(CMD_SET_WLAN4) + bytes_of(v4({})), 0, ""},
        {{"-4", "10.0.0.1", "192.168.1.254"}, word(CMD_SET_WLAN4) + bytes_of(v4({"10.0.0.1", "192.168.1.254"})), 0,
         ""},
        // Only the first four operands are looked at, so a fifth that is no address does no harm.
        {{"-4", "1.1.1.1", "2.2.2.2", "3.3.3.3", "4.4.4.4", "bogus"},
         word(CMD_SET_WLAN4) + bytes_of(v4({"1.1.1.1", "2.2.2.2", "3.3.3.3", "4.4.4.4"})), 0, ""},
        {{"-4", "1.1.1.1", "::1"}, "", 1, "illegal address ::1\n"},
        {{"-r", "1.1.1.1", "2.2.2.2", "3.3.3.3", "4.4.4.4", "5.5.5.5", "6.6.6.6"},
         word(CMD_SET_RADIO) + bytes_of(v4({"1.1.1.1", "2.2.2.2", "3.3.3.3", "4.4.4.4"})) + bytes_of(v6({})), 0,
         ""},
        {{"-r", "1.1.1.1", "2001:db8::1", "2.2.2.2", "3.3.3.3", "2001:db8::2", "4.4.4.4", "fe80::1"},
         word(CMD_SET_RADIO) + bytes_of(v4({"1.1.1.1", "2.2.2.2", "3.3.3.3", "4.4.4.4"})) +
             bytes_of(v6({"2001:db8::1", "2001:db8::2", "fe80::1"})),
         0, ""},
        {{"-r", "::ffff:10.1.2.3"}, word(CMD_SET_RADIO) + bytes_of(v4({})) + bytes_of(v6({"::ffff:10.1.2.3"})), 0,
         ""},
        {{"-r", "::1", "::2", "::3", "::4", "::5"},
         word(CMD_SET_RADIO) + bytes_of(v4({})) + bytes_of(v6({"::1", "::2", "::3", "::4"})), 0, ""},
        // Unlike -4, -r examines every operand: an illegal one fails the command wherever it stands.
        {{"-r", "1.1.1.1", "2.2.2.2", "3.3.3.3", "4.4.4.4", "::1", "1.2.3"}, "", 1, "illegal address 1.2.3\n"},
        {{"-u"}, word(CMD_RELOAD), 0, ""},
        {{"-t", "ignored"}, word(CMD_TERMINATE), 0, ""},
    };
    fake_daemon server;
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        auto r = client(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        if (c.expected.empty())
            EXPECT_EQ(server.accept_one(0ms), -1) << "a refused command connected";
        else
            EXPECT_EQ(server.take_request(), c.expected);
    }
}

// Runs -l against the fake daemon, which answers with the given bytes and then closes.
tt::result list_against(fake_daemon& server, const std::string& reply, const tt::spawn_options& opt = {},
                        const std::vector<std::string>& argv = {})
{
    tt::process p(argv.empty() ? std::vector<std::string>{tt::tamrod_bin(), "-l"} : argv, opt);
    int c = server.accept_one();
    EXPECT_GE(c, 0);
    char cmd[8];
    pollfd pfd{c, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 5000), 1);
    EXPECT_EQ(read(c, cmd, sizeof cmd), 4);
    EXPECT_EQ(std::string(cmd, 4), word(CMD_LIST));
    EXPECT_EQ(write(c, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    close(c);
    tt::result r;
    r.status = p.wait(10s);
    r.out = opt.stdout_file.empty() ? p.out() : tt::read_file(opt.stdout_file);
    r.err = p.err();
    return r;
}

TEST(CtlList, PrintsIpv6LinesThenIpv4LinesWhereverStdoutGoes)
{
    TT_REQUIRE_ROOT();
    fake_daemon server;
    ctl_list_reply reply{v6({"2001:db8::53", "fe80::1"}), v4({"192.0.2.1", "198.51.100.7"})};
    // Slots beyond the counts are not listed, whatever they hold.
    inet_pton(AF_INET6, "2001:db8::dead", &reply.v6.addr[2]);
    inet_pton(AF_INET, "203.0.113.9", &reply.v4.addr[3]);
    const std::string expected = "2001:db8::53\nfe80::1\n192.0.2.1\n198.51.100.7\n";

    auto r = list_against(server, bytes_of(reply));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");

    tt::temp_dir dir;
    tt::spawn_options to_file;
    to_file.stdout_file = dir.file("listing");
    r = list_against(server, bytes_of(reply), to_file);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);

    // Through a pipe, with surplus operands that -l ignores.
    const std::string cmd = std::string(tt::tamrod_bin()) + " -l extra words | cat > " + dir.file("piped");
    r = list_against(server, bytes_of(reply), {}, {"/bin/sh", "-c", cmd});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(tt::read_file(dir.file("piped")), expected);

    r = list_against(server, bytes_of(ctl_list_reply{}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    // A listing that cannot be written is a failure, not a silent success.
    r = list_against(server, bytes_of(reply), {}, {"/bin/sh", "-c", std::string(tt::tamrod_bin()) + " -l > /dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "stdout: No space left on device\n");
}

TEST(CtlList, ShortOrMalformedRepliesPrintNothing)
{
    TT_REQUIRE_ROOT();
    fake_daemon server;
    const ctl_list_reply good{v6({"::1"}), v4({"10.0.0.1"})};
    const std::string whole = bytes_of(good);

    for (size_t cut : {size_t{0}, size_t{40}, size_t{68}, size_t{80}}) {
        SCOPED_TRACE(cut);
        auto r = list_against(server, whole.substr(0, cut));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("read: ", 0), 0u) << r.err;
    }

    // Counts no daemon of ours sends: never a line, and never a slot beyond the fourth.
    for (auto [c6, c4] : {std::pair{5, 1}, std::pair{1, -1}, std::pair{1000000, 0}}) {
        SCOPED_TRACE(std::to_string(c6) + "," + std::to_string(c4));
        ctl_list_reply bad = good;
        bad.v6.count = c6;
        bad.v4.count = c4;
        auto r = list_against(server, bytes_of(bad));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
}

// The client run as user nobody (group nogroup), with the given supplementary groups.
std::vector<std::string> as_nobody(const std::string& groups, std::vector<std::string> args)
{
    args.insert(args.begin(), {"setpriv", "--reuid=65534", "--regid=65534",
                               groups.empty() ? "--clear-groups" : "--groups=" + groups, tt::tamrod_bin()});
    return args;
}

TEST(CtlCredentials, OthersMayOnlyListMembersOfTheControlGroupMayChange)
{
    TT_REQUIRE_ROOT();
    if (system("command -v setpriv >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "setpriv is not installed";
    // Debian creates the group on most systems, but not on a minimal one.
    if (!ctl_control_gid()) {
        ASSERT_EQ(tt::run({"groupadd", "--system", ctl_control_group()}).status, 0);
    }
    const std::string control_gid = std::to_string(*ctl_control_gid());

    fake_daemon server;
    ASSERT_EQ(chmod(kControlPath, 0777), 0);  // as the daemon leaves it: anyone may connect
    const std::string refusal = std::string("permission denied: only root, the daemon's user and members of group ") +
                                ctl_control_group() + " may set servers, reload or stop the daemon\n";
    for (auto args : std::vector<std::vector<std::string>>{{"-4", "6.6.6.6"}, {"-r", "6.6.6.7"}, {"-u"}, {"-t"}}) {
        SCOPED_TRACE(args[0]);
        auto r = tt::run(as_nobody("", args));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, refusal);
        EXPECT_EQ(server.accept_one(0ms), -1) << "a refused command connected";
    }

    auto listed = list_against(server, bytes_of(ctl_list_reply{v6({"2001:db8::53"}), v4({})}), {},
                               as_nobody("", {"-l"}));
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, "2001:db8::53\n");

    auto member = tt::run(as_nobody("100," + control_gid, {"-u"}));
    EXPECT_EQ(member.status, 0) << member.err;
    EXPECT_EQ(server.take_request(), word(CMD_RELOAD));

    // A daemon running as nobody takes its own user's commands.
    ASSERT_EQ(chown(kControlPath, 65534, 65534), 0);
    auto own = tt::run(as_nobody("", {"-t"}));
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(server.take_request(), word(CMD_TERMINATE));
}

}  // namespace
