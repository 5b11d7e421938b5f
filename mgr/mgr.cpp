// Manager channel, lifetime timer and manager thread.
#include "mgr.h"

#include "mgr_clock.h"
#include "mgr_internal.h"
#include "out.h"
#include "policy.h"
#include "rq.h"
#include "util.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int chan_read = -1;
int chan_write = -1;
pthread_mutex_t chan_mutex = PTHREAD_MUTEX_INITIALIZER;
// Not guarded by chan_mutex: a poster can hold that mutex while it waits for room in the pipe,
// and only the manager thread, which reads the generation, makes room.
std::atomic<uint32_t> timer_generation{0};

timer_t timer{};
bool timer_exists = false;
pid_t timer_owner = 0;  // timers do not survive fork(): the process that created this one
bool timer_armed = false;  // stays set after the timer ran out, until the next mgr_timer_arm
mgr_ms armed_for{0};        // the duration of the last mgr_timer_arm call; zero after a disarm
std::chrono::nanoseconds armed_at{0};  // when it was armed, on the lifetime clock

pthread_t thread{};
policy_list start_list = nullptr;

// What the present pass decided for the output module, sent when the pass ends: the reports of
// one advertisement, or a loss of association, reach one script run. A later decision on the same
// list replaces an earlier one. Touched only by the manager thread.
struct staged_message {
    uint32_t type;
    uint32_t length;
    std::array<std::byte, sizeof(search_list)> payload;
};
constexpr std::size_t kStagedTypes = 4;  // servers, search domains, NAT64 prefixes, portal
static_assert(kStagedTypes * sizeof(uint32_t) + sizeof(ns6_list) + sizeof(search_list) + sizeof(pref64_list) +
                      sizeof(portal_uri) <=
                  PIPE_BUF,
              "a pass's messages must go out in one write");
std::array<staged_message, kStagedTypes> outbox;
std::size_t outbox_count = 0;
chan_batch outbox_batch;

void flush_outbox()
{
    if (outbox_count == 0)
        return;
    chan_batch_clear(outbox_batch);
    for (std::size_t i = 0; i < outbox_count; ++i)
        chan_batch_add(outbox_batch, outbox[i].type, outbox[i].payload.data(), outbox[i].length);
    outbox_count = 0;
    out_post_batch(outbox_batch);
}

// True when the channel holds more: the pass goes on.
bool more_queued()
{
    pollfd pfd{chan_read, POLLIN, 0};
    return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN);
}

bool create_timer()
{
    sigevent ev{};
    ev.sigev_notify = SIGEV_THREAD;
    ev.sigev_notify_function = mgr_timer_fire;
    ev.sigev_value.sival_int = 0;
    ev.sigev_notify_attributes = nullptr;
    if (timer_create(kLifetimeClock, &ev, &timer) != 0) {
        perror("timer_create");
        return false;
    }
    timer_exists = true;
    timer_owner = getpid();
    return true;
}

// True when the present arm has run out (manager thread only, like timer_armed itself). The
// timer runs on the same clock and was set after armed_at was read, so it never runs out sooner.
bool timer_ran_out()
{
    return timer_armed && mgr_clock_now() - armed_at >= armed_for;
}

void release_policy(policy_list list)
{
    // The start list belongs to the main flow; only lists received on the channel are ours.
    if (list != start_list)
        policy_free(list);
}

// Reads a record payload and hands it to the state machine; false when the channel broke.
template <typename Record>
bool feed(uint32_t type)
{
    Record record{};
    if (!chan_read_exact(chan_read, &record, sizeof record))
        return false;
    mgr_event(type, &record);
    return true;
}

// A reloaded policy replaces the one in force; false when the channel broke.
bool take_policy()
{
    policy_list received = nullptr;
    if (!chan_read_exact(chan_read, &received, sizeof received))
        return false;
    release_policy(mgr_sm.current_policy);
    mgr_sm.current_policy = received;
    return true;
}

// Reads one message's payload and feeds it to the state machine; false when the thread is to end.
bool dispatch(uint32_t type)
{
    switch (type) {
    case MGR_STOP:
        return false;
    case MGR_ASSOC:
        return feed<assoc_info>(MGR_ASSOC);
    case MGR_RS_SENT:
    case MGR_RA_SEEN:
        mgr_event(type, nullptr);
        return true;
    case MGR_RDNSS:
        return feed<rdnss_report>(MGR_RDNSS);
    case MGR_DNSSL:
        return feed<dnssl_report>(MGR_DNSSL);
    case MGR_PREF64:
        return feed<pref64_report>(MGR_PREF64);
    case MGR_PORTAL:
        return feed<portal_uri>(MGR_PORTAL);
    case MGR_TIMER: {
        uint32_t gen = 0;
        if (!chan_read_exact(chan_read, &gen, sizeof gen))
            return false;
        // A stale expiry was already counted by the mgr_timer_arm call that raised the
        // generation. The notification reads the generation when it runs, not when the timer
        // ran out, so one that runs late, after a re-arm, carries the new generation: only an
        // arm that has really run out can be behind a current expiry.
        if (gen == timer_generation.load() && timer_ran_out())
            mgr_event(MGR_TIMER, nullptr);
        return true;
    }
    case MGR_POLICY:
        return take_policy();
    default:
        return true;
    }
}

void* mgr_thread(void*)
{
    block_all_signals();
    mgr_sm_reset();
    armed_for = mgr_ms{0};
    outbox_count = 0;
    mgr_publish(1);
    flush_outbox();

    for (;;) {
        pollfd pfd{chan_read, POLLIN, 0};
        if (poll(&pfd, 1, -1) != 1 || !(pfd.revents & POLLIN))
            continue;
        uint32_t type = 0;
        if (!chan_read_exact(chan_read, &type, sizeof type) || !dispatch(type))
            break;
        // One publication per pass, as an event loop publishes once per turn. With nothing to
        // publish there is no pass to end: no look at the channel either.
        if (outbox_count != 0 && !more_queued())
            flush_outbox();
    }

    mgr_timer_arm(mgr_ms{0});
    rq_set(-1, mgr_sm.current_burst != 0);
    return nullptr;
}

}  // namespace

int mgr_init(int32_t default_burst, policy_list list)
{
    mgr_sm.default_burst = default_burst;
    start_list = list;
    mgr_sm.current_policy = list;
    if (!chan_open(chan_read, chan_write) || (!timer_exists && !create_timer())) {
        mgr_cleanup();
        return -1;
    }
    return 0;
}

void mgr_cleanup()
{
    fd_close(chan_read);
    pthread_mutex_lock(&chan_mutex);
    fd_close(chan_write);
    pthread_mutex_unlock(&chan_mutex);
    if (timer_exists && timer_owner == getpid())
        timer_delete(timer);
    timer_exists = false;
    // A list received on a reload is the manager's; dropping it unfreed would leak it.
    release_policy(mgr_sm.current_policy);
    mgr_sm.current_policy = nullptr;
    start_list = nullptr;
    timer_armed = false;
    timer_generation = 0;
}

int mgr_start()
{
    // After daemon() the timer created by mgr_init belongs to the parent that has gone: the
    // kernel does not copy POSIX timers into a child. Make a fresh one in this process.
    if (timer_exists && timer_owner != getpid()) {
        timer_exists = false;
        if (!create_timer())
            return -1;
    }
    return thread_start(thread, mgr_thread) ? 0 : -1;
}

void mgr_stop()
{
    mgr_post(MGR_STOP, nullptr, 0);
    pthread_join(thread, nullptr);
}

void mgr_post(uint32_t type, const void* payload, uint32_t length)
{
    pthread_mutex_lock(&chan_mutex);
    // A timer notification that ran late may post after the channel was closed at shut-down.
    if (chan_write >= 0)
        chan_write_message(chan_write, type, payload, length);
    pthread_mutex_unlock(&chan_mutex);
}

void mgr_stage(uint32_t type, const void* payload, uint32_t length)
{
    auto* slot = std::find_if(outbox.begin(), outbox.begin() + outbox_count,
                              [type](const staged_message& m) { return m.type == type; });
    if (slot == outbox.end() || length > slot->payload.size()) {
        out_post(type, payload, length);  // never staged: nothing of a pass is lost
        return;
    }
    if (slot == outbox.begin() + outbox_count)
        ++outbox_count;
    slot->type = type;
    slot->length = length;
    std::memcpy(slot->payload.data(), payload, length);
}

void mgr_post_batch(const chan_batch& batch)
{
    pthread_mutex_lock(&chan_mutex);
    if (chan_write >= 0)
        chan_write_batch(chan_write, batch);
    pthread_mutex_unlock(&chan_mutex);
}

bool mgr_try_post(uint32_t type, const void* payload, uint32_t length)
{
    if (pthread_mutex_trylock(&chan_mutex) != 0)
        return false;
    // With the mutex held nobody else writes, and a pipe that polls writable has a free buffer,
    // which takes a message this small whole: the write below cannot block.
    pollfd pfd{chan_write, POLLOUT, 0};
    bool sent = false;
    if (chan_write >= 0 && poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLOUT))
        sent = chan_write_message(chan_write, type, payload, length);
    pthread_mutex_unlock(&chan_mutex);
    return sent;
}

void mgr_timer_fire(sigval)
{
    // Some C libraries start notification threads with signals unblocked; a stop signal taken
    // here would never reach the main thread's wait.
    block_all_signals();
    const uint32_t gen = timer_generation.load();
    mgr_post(MGR_TIMER, &gen, sizeof gen);
}

mgr_ms mgr_timer_arm(mgr_ms duration)
{
    itimerspec off{}, left{};
    if (timer_settime(timer, 0, &off, &left) != 0) {
        perror("timer_settime");
        left = {};
    }
    if (timer_armed && left.it_value.tv_sec == 0 && left.it_value.tv_nsec == 0) {
        // It ran out: its MGR_TIMER is queued or about to be; make that message stale.
        ++timer_generation;
    }
    timer_armed = false;
    // The time that really passed, also beyond the armed duration: whatever ran out while the
    // device slept, or while this thread was busy, has to be seen as gone.
    const auto now = mgr_clock_now();
    const mgr_ms elapsed = armed_for != mgr_ms{0} ? std::chrono::floor<mgr_ms>(now - armed_at) : mgr_ms{0};
    armed_for = duration;
    armed_at = now;
    if (duration == mgr_ms{0})
        return elapsed;
    timer_armed = true;
    const auto ns = std::chrono::nanoseconds{duration};
    itimerspec on{};
    on.it_value.tv_sec = std::chrono::floor<std::chrono::seconds>(ns).count();
    on.it_value.tv_nsec = (ns % std::chrono::seconds{1}).count();
    if (timer_settime(timer, 0, &on, nullptr) != 0)
        perror("timer_settime");
    return elapsed;
}
