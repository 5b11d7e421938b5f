// Client side of the control socket: one command per connection, then the exit status.
#include "ctl.h"
#include "ctl_auth.h"
#include "ctl_reply.h"

#include "records.h"
#include "util.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using std::chrono::steady_clock;

// A daemon that accepts and never answers, or whose backlog stays full, must not hold a caller
// (often a boot script or a connection manager) for ever: connect, send and reply each get this long.
constexpr auto kClientTimeout = std::chrono::seconds(5);

// The daemon would refuse the command from us: say why here, since it sends no answer. Its user
// owns the socket file it made; without the file, connect reports the missing daemon instead.
bool refused_to_us(uint32_t command)
{
    struct stat st;
    if (!ctl_changes_state(command) || stat(kControlPath, &st) != 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    // What the daemon cannot learn of us must not count here either.
    groups.resize(ctl_peer_groups_known() ? static_cast<size_t>(std::max(n, 0)) : 0);
    if (ctl_may_change({geteuid(), getegid(), groups}, st.st_uid, ctl_control_gid()))
        return false;
    std::fprintf(stderr,
                 "permission denied: only root, the daemon's user and members of group %s may set servers, "
                 "reload or stop the daemon\n",
                 ctl_control_group());
    return true;
}

// Reads exactly n bytes before the deadline, waiting with poll so that a blocking or a
// non-blocking descriptor behaves alike. False at end of stream (errno ENODATA), when the time is
// up (ETIMEDOUT) or on an error (errno as the call left it).
bool read_exact(int fd, void* buf, std::size_t n, std::chrono::steady_clock::time_point deadline)
{
    auto* p = static_cast<char*>(buf);
    std::size_t got = 0;
    while (got < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            if (ready == 0)
                errno = ETIMEDOUT;
            return false;
        }
        const ssize_t r = read(fd, p + got, n - got);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (r <= 0) {
            if (r == 0)
                errno = ENODATA;
            return false;
        }
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// Sends a request that has no reply and reports the exit status.
int ctl_send_only(uint32_t command, const void* payload, uint32_t length)
{
    if (refused_to_us(command))
        return 1;
    int fd = ctl_request(command, payload, length);
    if (fd < 0)
        return 1;
    fd_close(fd);
    return 0;
}

}  // namespace

int ctl_request(uint32_t command, const void* payload, uint32_t length)
{
    const sockaddr_un addr = control_address();
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    // On a Unix socket the send time-out also bounds a connect that waits for backlog room.
    const timeval limit{std::chrono::seconds(kClientTimeout).count(), 0};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
        perror("setsockopt SO_SNDTIMEO");
        fd_close(fd);
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno == EAGAIN)
            errno = ETIMEDOUT;
        perror("connect");
        fd_close(fd);
        return -1;
    }
    iovec iov[2] = {{&command, sizeof command}, {const_cast<void*>(payload), length}};
    const ssize_t want = static_cast<ssize_t>(sizeof command + length);
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = length == 0 ? 1 : 2;
    // A daemon that goes away before reading must give an error here, not a SIGPIPE death.
    if (sendmsg(fd, &msg, MSG_NOSIGNAL) != want) {
        if (errno == EAGAIN)
            errno = ETIMEDOUT;
        perror("writev");
        fd_close(fd);
        return -1;
    }
    return fd;
}

int ctl_set_wlan4(int argc, char** argv)
{
    ns4_list list{};
    int taken = 0;
    // Only the first four operands count; whatever follows is neither parsed nor sent.
    for (; taken < kMaxServers && taken < argc; ++taken) {
        if (inet_pton(AF_INET, argv[taken], &list.addr[taken]) != 1) {
            std::fprintf(stderr, "illegal address %s\n", argv[taken]);
            return 1;
        }
    }
    list.count = taken;
    return ctl_send_only(CMD_SET_WLAN4, &list, sizeof list);
}

int ctl_set_radio(int argc, char** argv)
{
    ctl_radio_payload req{};
    // Every operand is examined: the first four of each family are kept, surplus ones dropped,
    // and any operand that is no address fails the whole command.
    for (int i = 0; i < argc; ++i) {
        in_addr a4;
        in6_addr a6;
        if (inet_pton(AF_INET, argv[i], &a4) == 1) {
            if (req.v4.count < kMaxServers)
                req.v4.addr[req.v4.count++] = a4;
        } else if (inet_pton(AF_INET6, argv[i], &a6) == 1) {
            if (req.v6.count < kMaxServers)
                req.v6.addr[req.v6.count++] = a6;
        } else {
            std::fprintf(stderr, "illegal address %s\n", argv[i]);
            return 1;
        }
    }
    return ctl_send_only(CMD_SET_RADIO, &req, sizeof req);
}

int ctl_list()
{
    int fd = ctl_request(CMD_LIST, nullptr, 0);
    if (fd < 0)
        return 1;
    ctl_list_reply reply{};
    const auto deadline = steady_clock::now() + kClientTimeout;
    if (!read_exact(fd, &reply, sizeof reply, deadline)) {
        perror("read");
        fd_close(fd);
        return 1;
    }
    fd_close(fd);
    std::vector<std::string> lines;
    if (!ctl_reply_lines(reply, lines)) {
        std::fprintf(stderr, "malformed reply (counts %d, %d)\n", reply.v6.count, reply.v4.count);
        return 1;
    }
    for (const auto& line : lines)
        std::puts(line.c_str());
    return 0;
}

bool ctl_reply_lines(const ctl_list_reply& reply, std::vector<std::string>& lines)
{
    lines.clear();
    // Our daemon never sends such counts.
    if (!ns_valid_count(reply.v6.count) || !ns_valid_count(reply.v4.count))
        return false;
    for (int i = 0; i < reply.v6.count; ++i) {
        char text[INET6_ADDRSTRLEN];
        if (inet_ntop(AF_INET6, &reply.v6.addr[i], text, sizeof text) != nullptr)
            lines.emplace_back(text);
    }
    for (int i = 0; i < reply.v4.count; ++i) {
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &reply.v4.addr[i], text, sizeof text) != nullptr)
            lines.emplace_back(text);
    }
    return true;
}

int ctl_reload() { return ctl_send_only(CMD_RELOAD, nullptr, 0); }

int ctl_terminate() { return ctl_send_only(CMD_TERMINATE, nullptr, 0); }
