// RDNSS option listener: learns the servers routers announce from the kernel's ND user
// option notifications and reports each RDNSS option to the manager.
#include "kl.h"

#include "kl_decode.h"
#include "mgr.h"
#include "util.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdio>

namespace {

// Group-mask bit of RTNLGRP_ND_USEROPT (group 20).
constexpr uint32_t kNdUseroptGroupMask = 1u << (RTNLGRP_ND_USEROPT - 1);
static_assert(kNdUseroptGroupMask == 0x80000);

// The listener ends on any readable counter; its stop writes this value.
constexpr uint64_t kListenerStop = 1;

char* kl_ifname = nullptr;
module_thread kl_thread;
int kl_sock = -1;

// One datagram; cleared before every receive so no byte of an earlier one is ever read again.
std::array<std::byte, 65544> kl_buf;

void* kl_listener(void*)
{
    block_all_signals();
    for (;;) {
        if (wait_counter_or_socket(kl_thread.counter, kl_sock)) {
            uint64_t value;
            evcount_read(kl_thread.counter, value);
            return nullptr;
        }
        kl_buf.fill(std::byte{0});
        const ssize_t n = recv(kl_sock, kl_buf.data(), kl_buf.size(), 0);
        if (n < 0) {
            const int err = errno;  // perror may change errno
            if (err == EAGAIN)
                continue;
            perror("recv AF_NETLINK");
            // An overrun only means notifications were lost; later advertisements still count.
            if (err == ENOBUFS)
                continue;
            return nullptr;
        }
        const unsigned ifindex = if_nametoindex(kl_ifname);
        const kl_decoded found = kl_decode(bytes(kl_buf).first(static_cast<size_t>(n)), ifindex);
        for (const rdnss_report& r : found.rdnss)
            mgr_post(MGR_RDNSS, &r, sizeof r);
        for (const dnssl_report& r : found.dnssl)
            mgr_post(MGR_DNSSL, &r, sizeof r);
    }
}

}  // namespace

int kl_init(const char* ifname)
{
    if (!str_store(kl_ifname, ifname) || !module_thread_open(kl_thread)) {
        kl_cleanup();
        return -1;
    }
    if (kl_sock >= 0)
        return 0;
    kl_sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (kl_sock < 0) {
        perror("socket AF_NETLINK NETLINK_ROUTE");
        kl_cleanup();
        return -1;
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = 0;
    addr.nl_groups = kNdUseroptGroupMask;
    if (bind(kl_sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        perror("bind AF_NETLINK");
        kl_cleanup();
        return -1;
    }
    return 0;
}

int kl_start() { return module_thread_start(kl_thread, kl_listener) ? 0 : -1; }

void kl_stop() { module_thread_stop(kl_thread, kListenerStop); }

void kl_cleanup()
{
    module_thread_close(kl_thread);
    fd_close(kl_sock);
    str_free(kl_ifname);
}
