// RDNSS option listener: learns what routers announce (servers, search domains, NAT64 prefixes,
// captive portal) from the kernel's ND user option notifications and reports each option to the
// manager.
#include "kl.h"

#include "followed.h"
#include "kl_decode.h"
#include "mgr.h"
#include "util.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
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

// One datagram. The decoder is handed the bytes received and nothing beyond, so what an earlier
// datagram left behind is never read and nothing needs clearing.
std::array<std::byte, 65544> kl_buf;

// The reports of what the socket held, posted as one batch.
chan_batch kl_batch;

// A notification at a time could never keep up with a flood on its own, yet the stop counter
// must be looked at now and then: at most this many datagrams go into one batch.
constexpr int kMaxDrain = 64;

template <typename Report>
void add_report(uint32_t type, const Report& r)
{
    if (chan_batch_add(kl_batch, type, &r, sizeof r))
        return;
    mgr_post_batch(kl_batch);
    chan_batch_clear(kl_batch);
    chan_batch_add(kl_batch, type, &r, sizeof r);
}

// Takes everything the socket holds: the kernel passes each option of an advertisement up in a
// notification of its own, one right after the other, and the manager publishes once per batch
// it reads, so servers and search domains of one advertisement reach one script run. False when
// the thread is to end.
bool drain()
{
    chan_batch_clear(kl_batch);
    bool go_on = true;
    for (int i = 0; i < kMaxDrain; ++i) {
        const ssize_t n = recv(kl_sock, kl_buf.data(), kl_buf.size(), 0);
        if (n < 0) {
            const int err = errno;  // perror may change errno
            if (err == EAGAIN)
                break;
            perror("recv AF_NETLINK");
            // An overrun only means notifications were lost; later advertisements still count.
            go_on = err == ENOBUFS;
            if (!go_on)
                break;
            continue;
        }
        const kl_decoded found = kl_decode(bytes(kl_buf).first(static_cast<size_t>(n)), followed_ifindex.load());
        for (const rdnss_report& r : found.rdnss)
            add_report(MGR_RDNSS, r);
        for (const dnssl_report& r : found.dnssl)
            add_report(MGR_DNSSL, r);
        for (const pref64_report& r : found.pref64)
            add_report(MGR_PREF64, r);
        for (const portal_uri& r : found.portal)
            add_report(MGR_PORTAL, r);
    }
    if (kl_batch.count != 0)
        mgr_post_batch(kl_batch);
    return go_on;
}

void* kl_listener(void*)
{
    block_all_signals();
    for (;;) {
        if (wait_counter_or_socket(kl_thread.counter, kl_sock)) {
            uint64_t value;
            evcount_read(kl_thread.counter, value);
            return nullptr;
        }
        if (!drain())
            return nullptr;
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
