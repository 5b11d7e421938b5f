// Router solicitation sender and advertisement watcher. Two threads share one raw ICMPv6
// socket: only the sender sends on it and only the watcher receives from it.
#include "rq.h"

#include "bytes.h"
#include "mgr.h"
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
constexpr int kRequiredHopLimit = 255;  // RFC 4861 6.1.2: anything else was forwarded
// RFC 4861 6.1.2: an advertisement shorter than its fixed part is invalid.
constexpr size_t kMinAdvertLen = sizeof(nd_router_advert);
static_assert(kMinAdvertLen == 16);

char* rq_ifname = nullptr;
int32_t rq_interval = -1;     // guarded by rq_mutex
int32_t rq_burst = 0;         // guarded by rq_mutex
int32_t rq_ra_seen = 0;       // guarded by rq_mutex
int rq_sender_counter = -1;
int rq_watcher_counter = -1;
int rq_sock = -1;
pthread_mutex_t rq_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_t rq_sender_thread{};
pthread_t rq_watcher_thread{};
bool rq_threads_running = false;

std::array<std::byte, 16384> rq_buf;
// Room for the one int-sized control message the socket asks for, on any word size.
alignas(cmsghdr) std::array<std::byte, CMSG_SPACE(sizeof(int))> rq_control;

// Control messages as the kernel lays them out: cmsg_len covers the header and the data.
constexpr tlv_rule kControlMessages{
    sizeof(cmsghdr), sizeof(cmsghdr), alignof(cmsghdr),
    [](bytes b) -> size_t { return *read_at<decltype(cmsghdr::cmsg_len)>(b, offsetof(cmsghdr, cmsg_len)); }};

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

// One cycle: a single solicitation, or a burst that ends once an advertisement was seen.
// False when it could not be completed, so the next wait uses the longer failure floor.
bool solicit_cycle()
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
    sockaddr_in6 dst{};
    std::memcpy(&dst, res->ai_addr, std::min<size_t>(res->ai_addrlen, sizeof dst));
    freeaddrinfo(res);

    const unsigned ifindex = if_nametoindex(rq_ifname);
    if (ifindex == 0) {
        perror("if_nametoindex");
        return false;
    }
    dst.sin6_scope_id = ifindex;

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
        pthread_mutex_lock(&rq_mutex);
        const bool seen = rq_ra_seen != 0;
        pthread_mutex_unlock(&rq_mutex);
        if (seen)
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

            pollfd pfd{rq_sender_counter, POLLIN, 0};
            const int r = poll(&pfd, 1, wait);
            if (r == 1 && (pfd.revents & POLLIN)) {
                uint64_t value;
                if (!evcount_read(rq_sender_counter, value) || value >= EV_STOP)
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

// Whether the hop limit the kernel passed along (if any) shows a packet from beyond the link.
bool hop_limit_rejects(bytes control)
{
    tlv_walker walk(control, kControlMessages);
    while (auto msg = walk.next()) {
        const auto level = read_at<int>(*msg, offsetof(cmsghdr, cmsg_level));
        const auto type = read_at<int>(*msg, offsetof(cmsghdr, cmsg_type));
        if (level != IPPROTO_IPV6 || type != IPV6_HOPLIMIT)
            continue;
        const auto hops = read_at<int>(*msg, CMSG_LEN(0));
        if (hops && *hops != kRequiredHopLimit)
            return true;
    }
    return false;
}

bool is_advertisement(bytes packet, const sockaddr_in6& src)
{
    if (packet.size() < kMinAdvertLen || byte_at(packet, offsetof(icmp6_hdr, icmp6_type)) != ND_ROUTER_ADVERT ||
        byte_at(packet, offsetof(icmp6_hdr, icmp6_code)) != 0)
        return false;
    // Only the watched interface's routers count. Index 0 means that interface is gone, and it is
    // also the scope of every source that is not link-local, so it must match nothing.
    const unsigned ifindex = if_nametoindex(rq_ifname);
    return ifindex != 0 && src.sin6_scope_id == ifindex;
}

void* rq_watcher(void*)
{
    block_all_signals();
    for (;;) {
        if (wait_counter_or_socket(rq_watcher_counter, rq_sock)) {
            uint64_t value;
            evcount_read(rq_watcher_counter, value);
            return nullptr;
        }
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
            continue;
        const bytes control = bytes(rq_control).first(std::min(msg.msg_controllen, rq_control.size()));
        if (hop_limit_rejects(control))
            continue;
        if (!is_advertisement(bytes(rq_buf).first(static_cast<size_t>(n)), src))
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
    if (!str_store(rq_ifname, ifname) || !evcount_open(rq_sender_counter) || !evcount_open(rq_watcher_counter)) {
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
        !set_int_option(IPPROTO_IPV6, IPV6_MULTICAST_HOPS, kRequiredHopLimit, "setsockopt IPV6_MULTICAST_HOPS") ||
        !set_int_option(IPPROTO_IPV6, IPV6_UNICAST_HOPS, kRequiredHopLimit, "setsockopt IPV6_UNICAST_HOPS") ||
        !set_int_option(IPPROTO_IPV6, IPV6_RECVHOPLIMIT, 1, "setsockopt IPV6_RECVHOPLIMIT")) {
        rq_cleanup();
        return -1;
    }
    return 0;
}

int rq_start()
{
    if (!thread_start(rq_sender_thread, rq_sender))
        return -1;
    if (!thread_start(rq_watcher_thread, rq_watcher)) {
        pthread_mutex_lock(&rq_mutex);
        evcount_write(rq_sender_counter, EV_STOP);
        pthread_mutex_unlock(&rq_mutex);
        pthread_join(rq_sender_thread, nullptr);
        return -1;
    }
    rq_threads_running = true;
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
        evcount_write(rq_sender_counter, EV_WAKE);
}

void rq_stop()
{
    pthread_mutex_lock(&rq_mutex);
    evcount_write(rq_sender_counter, EV_STOP);
    evcount_write(rq_watcher_counter, EV_STOP);
    pthread_mutex_unlock(&rq_mutex);
    if (rq_threads_running) {
        pthread_join(rq_sender_thread, nullptr);
        pthread_join(rq_watcher_thread, nullptr);
        rq_threads_running = false;
    }
}

void rq_cleanup()
{
    fd_close(rq_sender_counter);
    fd_close(rq_watcher_counter);
    fd_close(rq_sock);
    str_free(rq_ifname);
    rq_interval = -1;
    rq_burst = 0;
}
