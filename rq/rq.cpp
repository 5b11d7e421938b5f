// Router solicitation sender and advertisement watcher. Two threads share one raw ICMPv6
// socket: only the sender sends on it and only the watcher receives from it.
#include "rq.h"

#include "bytes.h"
#include "followed.h"
#include "mgr.h"
#include "rq_decode.h"
#include "util.h"

#include <net/if.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kFloorMs = 3000;
constexpr int kFailureFloorMs = 6000;
constexpr int32_t kBurstExtra = 25;
constexpr useconds_t kBurstPauseUs = 20000;
constexpr char kAllRouters[] = "ff02::2";
constexpr int kLinkHopLimit = 255;  // RFC 4861 6.1.2: routers drop anything sent with less
// Packets taken per wake of the watcher at most: a flood must not keep it from its stop counter.
constexpr int kMaxDrain = 64;

char* rq_ifname = nullptr;
int32_t rq_interval = -1;     // guarded by rq_mutex
int32_t rq_burst = 0;         // guarded by rq_mutex
int32_t rq_ra_seen = 0;       // guarded by rq_mutex
module_thread rq_send;
module_thread rq_watch;
int rq_sock = -1;
pthread_mutex_t rq_mutex = PTHREAD_MUTEX_INITIALIZER;

std::array<std::byte, 16384> rq_buf;
// Room for the one int-sized control message the socket asks for, on any word size.
alignas(cmsghdr) std::array<std::byte, CMSG_SPACE(sizeof(int))> rq_control;

// A Router Solicitation without options (RFC 4861 4.1); the kernel fills in the checksum.
constexpr std::array<uint8_t, sizeof(nd_router_solicit)> kSolicitation{ND_ROUTER_SOLICIT};
static_assert(kSolicitation.size() == 8);

bool set_int_option(int level, int name, int value, const char* what)
{
    if (setsockopt(rq_sock, level, name, &value, sizeof value) != 0) {
        perror(what);
        return false;
    }
    return true;
}

// Only advertisements are of use to the watcher: the kernel drops every other ICMPv6 type (echo,
// neighbour discovery, multicast listener reports) before it is queued, so they never wake it.
bool pass_adverts_only()
{
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ND_ROUTER_ADVERT, &filter);
    if (setsockopt(rq_sock, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) != 0) {
        perror("setsockopt ICMP6_FILTER");
        return false;
    }
    return true;
}

// The all-routers group on the watched interface, resolved afresh for every cycle.
bool all_routers(sockaddr_in6& dst)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    // Its failures carry their own codes; errno means something only for EAI_SYSTEM.
    if (const int err = getaddrinfo(kAllRouters, nullptr, &hints, &res); err != 0 || res == nullptr) {
        std::fprintf(stderr, "getaddrinfo %s: %s\n", kAllRouters,
                     err == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(err));
        return false;
    }
    dst = {};
    std::memcpy(&dst, res->ai_addr, std::min<size_t>(res->ai_addrlen, sizeof dst));
    freeaddrinfo(res);
    dst.sin6_scope_id = if_nametoindex(rq_ifname);
    if (dst.sin6_scope_id == 0) {
        perror("if_nametoindex");
        return false;
    }
    return true;
}

bool advert_seen()
{
    pthread_mutex_lock(&rq_mutex);
    const bool seen = rq_ra_seen != 0;
    pthread_mutex_unlock(&rq_mutex);
    return seen;
}

// One cycle: a single solicitation, or a burst that ends once an advertisement was seen.
// False when it could not be completed, so the next wait uses the longer failure floor.
bool solicit_cycle()
{
    sockaddr_in6 dst;
    if (!all_routers(dst))
        return false;
    pthread_mutex_lock(&rq_mutex);
    rq_ra_seen = 0;
    int32_t extra = rq_burst;
    pthread_mutex_unlock(&rq_mutex);
    for (;;) {
        const ssize_t sent = sendto(rq_sock, kSolicitation.data(), kSolicitation.size(), 0,
                                    reinterpret_cast<const sockaddr*>(&dst), sizeof dst);
        if (sent != static_cast<ssize_t>(kSolicitation.size())) {
            perror("sendto ND_ROUTER_SOLICIT");
            return false;
        }
        if (extra == 0)
            break;
        --extra;
        usleep(kBurstPauseUs);
        if (advert_seen())
            break;
    }
    mgr_post(MGR_RS_SENT, nullptr, 0);
    return true;
}

void* rq_sender(void*)
{
    block_all_signals();
    for (;;) {
        int floor = kFloorMs;
        for (;;) {
            pthread_mutex_lock(&rq_mutex);
            const int32_t interval = rq_interval;
            pthread_mutex_unlock(&rq_mutex);
            const int wait = interval == -1 ? -1 : std::max(interval, floor);

            pollfd pfd{rq_send.counter, POLLIN, 0};
            const int r = poll(&pfd, 1, wait);
            if (r == 1 && (pfd.revents & POLLIN)) {
                uint64_t value;
                if (!evcount_read(rq_send.counter, value) || value >= EV_STOP)
                    return nullptr;
                break;  // a wake: fresh floor, fresh interval, full new wait
            }
            // Without a time-out only the counter may end the wait; never solicit on a poll error.
            if (wait == -1)
                continue;
            if (solicit_cycle())
                break;
            floor = kFailureFloorMs;
        }
    }
}

// Takes what the socket holds, up to a bound so the stop counter is looked at now and then; true
// when a valid advertisement was among it. The manager needs one report however many came: each
// one after the first would change nothing.
bool drain_advertisements()
{
    bool seen = false;
    for (int i = 0; i < kMaxDrain; ++i) {
        sockaddr_in6 src{};
        iovec iov{rq_buf.data(), rq_buf.size()};
        msghdr msg{};
        msg.msg_name = &src;
        msg.msg_namelen = sizeof src;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = rq_control.data();
        msg.msg_controllen = rq_control.size();
        const ssize_t n = recvmsg(rq_sock, &msg, MSG_DONTWAIT);
        if (n < 0)
            return seen;
        const bytes control = bytes(rq_control).first(std::min(msg.msg_controllen, rq_control.size()));
        // The index the wireless monitor keeps current: asking the kernel would cost a socket, an
        // ioctl and a close for every packet.
        const unsigned watched = followed_ifindex.load(std::memory_order_relaxed);
        seen = rq_decode(bytes(rq_buf).first(static_cast<size_t>(n)), control, src.sin6_scope_id, watched) ==
                   ra_verdict::accepted ||
               seen;
    }
    return seen;
}

void* rq_watcher(void*)
{
    block_all_signals();
    for (;;) {
        if (wait_counter_or_socket(rq_watch.counter, rq_sock)) {
            uint64_t value;
            evcount_read(rq_watch.counter, value);
            return nullptr;
        }
        if (!drain_advertisements())
            continue;
        pthread_mutex_lock(&rq_mutex);
        rq_ra_seen = 1;
        pthread_mutex_unlock(&rq_mutex);
        mgr_post(MGR_RA_SEEN, nullptr, 0);
    }
}

}  // namespace

int rq_init(const char* ifname)
{
    if (!str_store(rq_ifname, ifname) || !module_thread_open(rq_send) || !module_thread_open(rq_watch)) {
        rq_cleanup();
        return -1;
    }
    if (rq_sock >= 0)
        return 0;
    rq_sock = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (rq_sock < 0) {
        perror("socket SOCK_RAW");
        rq_cleanup();
        return -1;
    }
    if (!set_int_option(SOL_SOCKET, SO_DONTROUTE, 1, "setsockopt SO_DONTROUTE") ||
        !set_int_option(IPPROTO_IPV6, IPV6_MULTICAST_HOPS, kLinkHopLimit, "setsockopt IPV6_MULTICAST_HOPS") ||
        !set_int_option(IPPROTO_IPV6, IPV6_UNICAST_HOPS, kLinkHopLimit, "setsockopt IPV6_UNICAST_HOPS") ||
        !set_int_option(IPPROTO_IPV6, IPV6_RECVHOPLIMIT, 1, "setsockopt IPV6_RECVHOPLIMIT") ||
        !pass_adverts_only()) {
        rq_cleanup();
        return -1;
    }
    return 0;
}

int rq_start()
{
    if (!module_thread_start(rq_send, rq_sender))
        return -1;
    if (!module_thread_start(rq_watch, rq_watcher)) {
        pthread_mutex_lock(&rq_mutex);
        evcount_write(rq_send.counter, EV_STOP);
        pthread_mutex_unlock(&rq_mutex);
        module_thread_join(rq_send);
        return -1;
    }
    return 0;
}

void rq_set(int32_t interval_ms, bool burst)
{
    pthread_mutex_lock(&rq_mutex);
    // Off stays off: the sender already waits without a time-out and reads the burst flag only
    // when a cycle starts, so a wake would find nothing to do (the manager repeats "off" on every
    // RDNSS report).
    const bool stays_off = rq_interval == -1 && interval_ms == -1;
    rq_interval = interval_ms;
    rq_burst = burst ? kBurstExtra : 0;
    pthread_mutex_unlock(&rq_mutex);
    if (!stays_off)
        evcount_write(rq_send.counter, EV_WAKE);
}

void rq_stop()
{
    pthread_mutex_lock(&rq_mutex);
    evcount_write(rq_send.counter, EV_STOP);
    evcount_write(rq_watch.counter, EV_STOP);
    pthread_mutex_unlock(&rq_mutex);
    module_thread_join(rq_send);
    module_thread_join(rq_watch);
}

void rq_cleanup()
{
    module_thread_close(rq_send);
    module_thread_close(rq_watch);
    fd_close(rq_sock);
    str_free(rq_ifname);
    rq_interval = -1;
    rq_burst = 0;
}
