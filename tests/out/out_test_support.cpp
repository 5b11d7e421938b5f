#include "out_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ot {

script_log::script_log(const tt::temp_dir& dir) : dir_(dir.path()), log_(dir.file("log"))
{
    const std::string body = "#!/bin/sh\n"
                             "D='" + dir_ + "'\n"
                             "mkdir \"$D/busy\" 2>/dev/null || echo overlap >> \"$D/overlaps\"\n"
                             "{ echo \"begin $(date +%s%N)\"\n"
                             "  tr '\\0' '\\n' < /proc/$$/environ | grep '^TAMROD_[VR][46]='\n"
                             "  echo ready; } >> \"$D/log\"\n"
                             "n=0\n"
                             "while [ -e \"$D/hold\" ] && [ $n -lt 250 ]; do sleep 0.02; n=$((n+1)); done\n"
                             "rmdir \"$D/busy\"\n"
                             "echo \"end $(date +%s%N)\" >> \"$D/log\"\n";
    script_ = dir.write("script.sh", body, 0755);
}

std::vector<script_run> script_log::runs() const
{
    std::vector<script_run> out;
    std::istringstream in(tt::read_file(log_));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("begin ", 0) == 0) {
            out.push_back({});
            out.back().begin_ns = std::stoll(line.substr(6));
        } else if (out.empty()) {
            continue;
        } else if (line.rfind("end ", 0) == 0) {
            out.back().end_ns = std::stoll(line.substr(4));
        } else if (line == "ready") {
            out.back().ready = true;
        } else {
            out.back().env.push_back(line);
        }
    }
    return out;
}

bool script_log::overlapped() const { return std::filesystem::exists(dir_ + "/overlaps"); }

void script_log::hold(bool on) const
{
    if (on)
        std::ofstream(dir_ + "/hold").put('\n');
    else
        std::filesystem::remove(dir_ + "/hold");
}

bool script_log::wait_ended(size_t n, std::chrono::milliseconds timeout) const
{
    return tt::eventually(
        [&] {
            auto r = runs();
            return r.size() >= n && r[n - 1].end_ns != -1;
        },
        timeout);
}

bool script_log::wait_begun(size_t n, std::chrono::milliseconds timeout) const
{
    return tt::eventually(
        [&] {
            auto r = runs();
            return r.size() >= n && r[n - 1].ready;
        },
        timeout);
}

std::vector<script_run> script_log::settle(std::chrono::milliseconds quiet) const
{
    std::string last = tt::read_file(log_);
    auto still_since = std::chrono::steady_clock::now();
    tt::eventually(
        [&] {
            std::string now = tt::read_file(log_);
            if (now != last) {
                last = now;
                still_since = std::chrono::steady_clock::now();
            }
            return std::chrono::steady_clock::now() - still_since >= quiet;
        },
        10s);
    return runs();
}

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

int ctl_connect()
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, kControlPath);
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
    std::string got;
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size()))
        got = read_to_end(fd);
    else
        got = "<write failed>";
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

}  // namespace ot
