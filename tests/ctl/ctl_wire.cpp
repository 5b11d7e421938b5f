#include "ctl_wire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace tw {

ns4_list v4(std::initializer_list<const char*> addrs)
{
    ns4_list l{};
    for (const char* a : addrs)
        inet_pton(AF_INET, a, &l.addr[l.count++]);
    return l;
}

ns6_list v6(std::initializer_list<const char*> addrs)
{
    ns6_list l{};
    for (const char* a : addrs)
        inet_pton(AF_INET6, a, &l.addr[l.count++]);
    return l;
}

namespace {
sockaddr_un control_addr()
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, kControlPath);
    return a;
}
}  // namespace

int ctl_listen()
{
    unlink(kControlPath);
    const sockaddr_un a = control_addr();
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(fd, 5) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

int ctl_connect()
{
    const sockaddr_un a = control_addr();
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read_to_end(int fd, std::chrono::milliseconds timeout)
{
    std::string got;
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
            return got + "<timeout>";
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return got;
        got.append(buf, static_cast<size_t>(n));
    }
}

std::string exchange(const std::string& request)
{
    int fd = ctl_connect();
    if (fd < 0)
        return "<no connection>";
    std::string got = "<write failed>";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size()))
        got = read_to_end(fd);
    close(fd);
    return got;
}

ctl_list_reply list_lists()
{
    ctl_list_reply reply{};
    const std::string got = exchange(word(CMD_LIST));
    EXPECT_EQ(got.size(), sizeof reply) << got;
    if (got.size() == sizeof reply)
        std::memcpy(&reply, got.data(), sizeof reply);
    return reply;
}

}  // namespace tw
