// Network namespaces joined by veth pairs, for tests that need a real link with a router on it.
#pragma once

#include "proc.h"

#include <chrono>
#include <string>
#include <vector>

namespace tt {

// Two fresh namespaces, a router side and a host side, joined by `links` veth pairs: host
// interfaces tw0, tw1, ... face router interfaces tr0, tr1, ... The host side accepts
// advertisements (accept_ra=2) and sends no solicitations of its own; the router side forwards.
// Names carry the tag and the pid; the destructor removes both namespaces.
class netns_pair {
public:
    explicit netns_pair(const std::string& tag, int links = 1);
    ~netns_pair();
    netns_pair(const netns_pair&) = delete;
    netns_pair& operator=(const netns_pair&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& router() const { return router_; }
    const std::string& host() const { return host_; }
    static std::string host_if(int i) { return "tw" + std::to_string(i); }
    static std::string router_if(int i) { return "tr" + std::to_string(i); }

    // argv run inside a namespace ("ip netns exec NS ...").
    std::vector<std::string> in(const std::string& ns, std::vector<std::string> argv) const;

    // Until every link-local address on both sides has left `tentative`; false after the time-out.
    bool wait_ready(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Index of an interface inside a namespace; 0 when it has none.
    static unsigned ifindex(const std::string& ns, const std::string& ifname);

private:
    bool sh(const std::vector<std::string>& argv);
    std::string router_;
    std::string host_;
    int links_;
    std::string error_;
};

// Moves the calling thread into a namespace and back when it goes out of scope. Threads and
// sockets created meanwhile stay in that namespace for good.
class netns_enter {
public:
    explicit netns_enter(const std::string& ns);
    ~netns_enter();
    netns_enter(const netns_enter&) = delete;
    netns_enter& operator=(const netns_enter&) = delete;
    bool ok() const { return entered_; }

private:
    int home_ = -1;
    bool entered_ = false;
};

// A raw ICMPv6 socket in a namespace that passes Router Solicitations only; -1 on failure.
int rs_socket(const std::string& ns);
// True when a Router Solicitation reaches such a socket before the time-out.
bool solicitation_seen(int fd, std::chrono::milliseconds timeout);

// radvd settings for one router interface: advertise now and every 300 s at most, as no default
// router, the RDNSS servers (space-separated) for 600 s, then any further option lines.
std::string radvd_conf(const std::string& ifname, const std::string& rdnss, const std::string& more = "");

// radvd in the foreground on the router side of `net`, its files in `dir`.
process radvd(const netns_pair& net, const temp_dir& dir, const std::string& conf);

}  // namespace tt
