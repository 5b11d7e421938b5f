// Output thread: holds the four name-server lists and the search domains, carries out the control
// requests the server hands over and runs the script, one run at a time, with changes that
// arrive during a run folded into one more run.
#include "out.h"

#include "mgr.h"
#include "out_env.h"
#include "out_request.h"
#include "out_run.h"
#include "out_server.h"
#include "policy.h"
#include "util.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

namespace {

using namespace std::chrono_literals;

// How often a running script is looked for, and a reloaded policy offered again, while poll
// would otherwise sleep.
constexpr auto kReapInterval = 250ms;

int pipe_read = -1;
int pipe_write = -1;
pthread_mutex_t out_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_t thread{};
char* out_policy_path = nullptr;
char* out_ifname = nullptr;

// Touched only by the output thread.
out_lists lists{};
search_list search{};
out_runner runner;
// A reloaded policy the manager's channel had no room for yet. The manager may be waiting to
// write into our own full pipe, so we must not wait on its: keep the list, keep draining our
// pipe, and offer it again on every pass until it goes through.
policy_list policy_due = nullptr;

void offer_policy()
{
    if (policy_due != nullptr && mgr_try_post(MGR_POLICY, &policy_due, sizeof policy_due))
        policy_due = nullptr;  // the manager's now
}

void reload_policy()
{
    if (out_policy_path == nullptr)
        return;
    // The reader reports its own errors; on none the manager keeps the policy it has.
    policy_list list = policy_read(out_policy_path);
    if (list == nullptr)
        return;
    // A list still waiting is older than the file as it is now.
    policy_free(policy_due);
    policy_due = list;
    offer_policy();
}

void send_listing(int fd)
{
    const ctl_list_reply reply{lists.wlan6, lists.wlan4};
    // A fresh connection's buffer always takes the reply; a peer that has gone must not raise
    // SIGPIPE on this thread, nor a line in the log for every such connection.
    const ssize_t n = send(fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n != static_cast<ssize_t>(sizeof reply) && !(n < 0 && (errno == EPIPE || errno == ECONNRESET)))
        perror("writev");
}

void carry_out(const out_request& req)
{
    switch (req.command) {
    case CMD_LIST:
        return send_listing(req.fd);
    case CMD_TERMINATE:
        // The main thread's wait takes it and runs the orderly shut-down, which stops us.
        kill(getpid(), SIGTERM);
        return;
    case CMD_RELOAD:
        return reload_policy();
    default:
        switch (out_apply_request(req.command, std::span(req.payload).first(req.length), lists)) {
        case out_outcome::changed:
            runner.pending = true;
            break;
        case out_outcome::refused:
            if (out_report_admit())
                std::fprintf(stderr, "command %u: list count out of range, command refused\n", req.command);
            break;
        default:
            break;
        }
        return;
    }
}

// The payload of one message, read whole; false when the thread is to end.
template <typename Record>
bool read_record(Record& record)
{
    return chan_read_exact(pipe_read, &record, sizeof record);
}

bool on_wlan6()
{
    ns6_list v6;
    if (!read_record(v6))
        return false;
    if (!ns_valid_count(v6.count)) {
        std::fprintf(stderr, "wlan6: list count %d out of range, message dropped\n", v6.count);
        return true;
    }
    // No comparison: the manager decides when a list is worth a run.
    lists.wlan6 = out_normalised(v6);
    runner.pending = true;
    return true;
}

bool on_search()
{
    search_list received;
    if (!read_record(received))
        return false;
    const std::optional<search_list> checked = out_search_checked(received);
    if (!checked) {
        std::fprintf(stderr, "search: domain count %d out of range, message dropped\n", received.count);
        return true;
    }
    if (std::memcmp(&*checked, &search, sizeof search) != 0) {
        search = *checked;
        runner.pending = true;
    }
    return true;
}

// One message from the channel; false when the thread is to end.
bool handle_message()
{
    uint32_t type = 0;
    if (!chan_read_exact(pipe_read, &type, sizeof type))
        return false;
    switch (type) {
    case OUT_STOP:
        return false;
    case OUT_WLAN6:
        return on_wlan6();
    case OUT_SEARCH:
        return on_search();
    default:
        return true;
    }
}

// Every message already in the channel, before any connection is looked at, so that a list to
// publish or a stop never waits behind clients. False when the thread is to end.
bool drain_channel()
{
    for (;;) {
        pollfd pfd{pipe_read, POLLIN, 0};
        if (poll(&pfd, 1, 0) != 1)
            return true;
        if (!handle_message())
            return false;
    }
}

void carry_out_requests()
{
    out_request req;
    while (out_server_take(req)) {
        carry_out(req);
        out_request_done(req);
    }
}

int poll_timeout(out_clock::time_point now, std::optional<out_clock::time_point> until)
{
    if (runner.child != 0 || runner.pending || policy_due != nullptr)
        until = std::min(until.value_or(now + kReapInterval), now + kReapInterval);
    if (!until)
        return -1;
    // Rounded up, so that a deadline is past when poll returns; never negative, which would wait
    // for ever.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*until - now).count();
    return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, std::numeric_limits<int>::max()));
}

// One wait on the channel and the connections; false when the thread is to end.
bool serve_once()
{
    const auto now = out_clock::now();
    const auto nearest = out_server_expire(now);
    carry_out_requests();
    // Only open descriptors go into the set: poll refuses a set larger than the descriptor
    // limit, and a refusal at every pass would be a spin.
    std::array<pollfd, 2 + kOutMaxConnections> fds{};
    fds[0] = {pipe_read, POLLIN, 0};
    const std::size_t n = 1 + out_server_poll_set(std::span(fds).subspan(1), now);
    const int timeout = poll_timeout(now, nearest);
    const int ready = poll(fds.data(), n, timeout);
    if (ready < 0 && errno != EINTR)
        poll(nullptr, 0, timeout < 0 ? kReapInterval.count() : timeout);  // no set at all: just wait
    if (ready <= 0)
        return true;
    if (fds[0].revents != 0 && !drain_channel())
        return false;
    out_server_serve(std::span(fds).subspan(1, n - 1));
    carry_out_requests();
    return true;
}

void* out_worker(void*)
{
    block_all_signals();
    lists = {};
    search = {};
    runner = {};
    out_server_begin();
    while (drain_channel()) {
        out_run_reap(runner);
        out_run_watch(runner, out_clock::now());
        out_run_start(runner, {lists, search, out_ifname});
        offer_policy();
        if (!serve_once())
            break;
    }
    out_server_end();
    policy_free(policy_due);
    policy_due = nullptr;
    return nullptr;
}

}  // namespace

void out_post(uint32_t type, const void* payload, uint32_t length)
{
    pthread_mutex_lock(&out_mutex);
    chan_write_message(pipe_write, type, payload, length);
    pthread_mutex_unlock(&out_mutex);
}

void out_post_batch(const chan_batch& batch)
{
    pthread_mutex_lock(&out_mutex);
    chan_write_batch(pipe_write, batch);
    pthread_mutex_unlock(&out_mutex);
}

int out_init(const char* script_path, const char* policy_path, const char* ifname)
{
    if (!out_run_prepare(script_path) || !str_store(out_policy_path, policy_path) ||
        !str_store(out_ifname, ifname) || !chan_open(pipe_read, pipe_write) || !out_server_open()) {
        out_cleanup();
        return -1;
    }
    return 0;
}

int out_start() { return thread_start(thread, out_worker) ? 0 : -1; }

void out_stop()
{
    out_post(OUT_STOP, nullptr, 0);
    pthread_join(thread, nullptr);
}

void out_cleanup()
{
    fd_close(pipe_read);
    fd_close(pipe_write);
    out_server_close();
    out_run_release();
    str_free(out_policy_path);
    str_free(out_ifname);
}
