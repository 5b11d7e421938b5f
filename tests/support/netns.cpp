#include "netns.h"

#include "proc.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <netinet/icmp6.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace tt {

namespace {

constexpr char kPrefix[] = "tamrod-";

// Namespaces left behind by test processes that died without their destructors.
void remove_stale()
{
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/run/netns", ec)) {
        const std::string name = e.path().filename();
        if (name.rfind(kPrefix, 0) != 0)
            continue;
        // tamrod-<tag>-<pid>-<side>
        const auto side = name.rfind('-');
        const auto pid_at = name.rfind('-', side - 1);
        if (side == std::string::npos || pid_at == std::string::npos)
            continue;
        const pid_t pid = std::atoi(name.substr(pid_at + 1, side - pid_at - 1).c_str());
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
            run({"ip", "netns", "del", name});
    }
}

}  // namespace

netns_pair::netns_pair(const std::string& tag, int links) : links_(links)
{
    remove_stale();
    const std::string base = kPrefix + tag + "-" + std::to_string(getpid());
    router_ = base + "-r";
    host_ = base + "-h";
    if (!sh({"ip", "netns", "add", router_}) || !sh({"ip", "netns", "add", host_}))
        return;
    // Defaults first, so the veth ends are born with them: no duplicate address detection (the
    // link-local address is usable at once) and no kernel solicitations mixed into captures.
    // Written through /proc by a shell in the namespace: procps' sysctl is not always installed.
    const std::string common = "echo 0 > /proc/sys/net/ipv6/conf/default/accept_dad && "
                               "echo 0 > /proc/sys/net/ipv6/conf/default/router_solicitations";
    const std::string router_conf = common + " && echo 1 > /proc/sys/net/ipv6/conf/all/forwarding";
    const std::string host_conf = common + " && echo 2 > /proc/sys/net/ipv6/conf/default/accept_ra";
    if (!sh(in(router_, {"sh", "-c", router_conf})) || !sh(in(host_, {"sh", "-c", host_conf})))
        return;
    for (int i = 0; i < links_; ++i) {
        if (!sh({"ip", "link", "add", router_if(i), "netns", router_, "type", "veth", "peer", "name", host_if(i),
                 "netns", host_}) ||
            !sh({"ip", "-n", router_, "link", "set", router_if(i), "up"}) ||
            !sh({"ip", "-n", host_, "link", "set", host_if(i), "up"}))
            return;
    }
    sh({"ip", "-n", router_, "link", "set", "lo", "up"});
    sh({"ip", "-n", host_, "link", "set", "lo", "up"});
}

netns_pair::~netns_pair()
{
    // Deleting a namespace takes its veth ends (and so the pairs) with it.
    run({"ip", "netns", "del", host_});
    run({"ip", "netns", "del", router_});
}

bool netns_pair::sh(const std::vector<std::string>& argv)
{
    if (!error_.empty())
        return false;
    const result r = run(argv);
    if (r.status == 0)
        return true;
    error_ = argv[0];
    for (size_t i = 1; i < argv.size(); ++i)
        error_ += " " + argv[i];
    error_ += ": status " + std::to_string(r.status) + ": " + r.err;
    return false;
}

std::vector<std::string> netns_pair::in(const std::string& ns, std::vector<std::string> argv) const
{
    argv.insert(argv.begin(), {"ip", "netns", "exec", ns});
    return argv;
}

bool netns_pair::wait_ready(std::chrono::milliseconds timeout) const
{
    auto ready = [&](const std::string& ns, const std::string& ifname) {
        const result r = run({"ip", "-n", ns, "-6", "addr", "show", "dev", ifname, "scope", "link"});
        return r.status == 0 && r.out.find("fe80::") != std::string::npos &&
               r.out.find("tentative") == std::string::npos;
    };
    return eventually(
        [&] {
            for (int i = 0; i < links_; ++i)
                if (!ready(router_, router_if(i)) || !ready(host_, host_if(i)))
                    return false;
            return true;
        },
        timeout);
}

unsigned netns_pair::ifindex(const std::string& ns, const std::string& ifname)
{
    netns_enter in(ns);
    return in.ok() ? if_nametoindex(ifname.c_str()) : 0;
}

netns_enter::netns_enter(const std::string& ns)
{
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (home_ >= 0 && target >= 0)
        entered_ = setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        close(target);
}

netns_enter::~netns_enter()
{
    if (entered_)
        setns(home_, CLONE_NEWNET);
    if (home_ >= 0)
        close(home_);
}

int rs_socket(const std::string& ns)
{
    netns_enter in(ns);
    if (!in.ok())
        return -1;
    const int fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ND_ROUTER_SOLICIT, &filter);
    if (fd >= 0 && setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool solicitation_seen(int fd, std::chrono::milliseconds timeout)
{
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    unsigned char buf[1500];
    return recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0 && buf[0] == ND_ROUTER_SOLICIT;
}

std::string radvd_conf(const std::string& ifname, const std::string& rdnss, const std::string& more)
{
    return "interface " + ifname + " {\n  AdvSendAdvert on;\n  MaxRtrAdvInterval 300;\n  AdvDefaultLifetime 0;\n"
           "  RDNSS " + rdnss + " { AdvRDNSSLifetime 600; };\n" + more + "};\n";
}

process radvd(const netns_pair& net, const temp_dir& dir, const std::string& conf)
{
    return process(net.in(net.router(), {"radvd", "-n", "-m", "stderr", "-C", dir.write("radvd.conf", conf), "-p",
                                         dir.file("radvd.pid")}));
}

}  // namespace tt
