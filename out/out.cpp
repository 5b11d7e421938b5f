// Output thread: holds the four name-server lists, serves the control socket and runs the
// script, one run at a time, with changes that arrive during a run folded into one more run.
#include "out.h"

#include "mgr.h"
#include "out_env.h"
#include "out_request.h"
#include "policy.h"
#include "util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

using std::chrono::steady_clock;

// How often a running script is looked for, and a reloaded policy offered again, while poll
// would otherwise sleep.
constexpr int kReapIntervalMs = 250;
// A client gets this long to deliver its whole request; a silent one must not hold the thread.
constexpr auto kConnectionBudget = std::chrono::milliseconds(1000);
constexpr int kListenBacklog = 5;

int pipe_read = -1;
int pipe_write = -1;
int listen_fd = -1;
pthread_mutex_t out_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_t thread{};
char* out_script_path = nullptr;
char* out_policy_path = nullptr;

// Touched only by the output thread (and, copied, by its script child).
out_lists lists{};
std::array<env_buffer, 4> env_buffers{};

struct runner {
    bool run_pending = false;
    pid_t child_pid = 0;
    // A reloaded policy the manager's channel had no room for yet. The manager may be waiting
    // to write into our own full pipe, so we must not wait on its: keep the list, keep draining
    // our pipe, and offer it again on every pass until it goes through.
    policy_list policy_due = nullptr;
};

// Appends text, cutting it at the end of the buffer; the buffer stays terminated.
void env_append(env_buffer& buf, std::size_t& len, const char* text)
{
    const std::size_t room = buf.size() - 1 - len;
    const std::size_t n = std::min(std::strlen(text), room);
    std::memcpy(buf.data() + len, text, n);
    len += n;
    buf[len] = '\0';
}

template <typename List, int Family, std::size_t TextSize>
std::size_t format_list(env_buffer& buf, const char* prefix, const List& list)
{
    std::size_t len = 0;
    buf[0] = '\0';
    env_append(buf, len, prefix);
    const int count = ns_valid_count(list.count) ? list.count : 0;
    for (int i = 0; i < count; ++i) {
        char text[TextSize];
        if (inet_ntop(Family, &list.addr[i], text, sizeof text) == nullptr)
            continue;
        if (i > 0)
            env_append(buf, len, " ");
        env_append(buf, len, text);
    }
    return len;
}

void offer_policy(runner& r)
{
    if (r.policy_due != nullptr && mgr_try_post(MGR_POLICY, &r.policy_due, sizeof r.policy_due))
        r.policy_due = nullptr;  // the manager's now
}

void reload_policy(runner& r)
{
    if (out_policy_path == nullptr)
        return;
    // The reader reports its own errors; on none the manager keeps the policy it has.
    policy_list list = policy_read(out_policy_path);
    if (list == nullptr)
        return;
    // A list still waiting is older than the file as it is now.
    policy_free(r.policy_due);
    r.policy_due = list;
    offer_policy(r);
}

void handle_command(int conn, uint32_t command, steady_clock::time_point deadline, runner& r)
{
    std::array<uint8_t, sizeof(ctl_radio_payload)> payload{};
    const std::size_t want = out_request_length(command);
    if (want > 0 && !read_exact(conn, payload.data(), want, deadline)) {
        perror("read");
        return;
    }
    switch (command) {
    case CMD_LIST: {
        ctl_list_reply reply{lists.wlan6, lists.wlan4};
        iovec iov{&reply, sizeof reply};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        // A peer that has gone must not raise SIGPIPE on this thread.
        if (sendmsg(conn, &msg, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof reply))
            perror("writev");
        return;
    }
    case CMD_TERMINATE:
        // The main thread's wait takes it and runs the orderly shut-down, which stops us.
        kill(getpid(), SIGTERM);
        return;
    case CMD_RELOAD:
        reload_policy(r);
        return;
    default:
        switch (out_apply_request(command, std::span(payload).first(want), lists)) {
        case out_outcome::changed:
            r.run_pending = true;
            break;
        case out_outcome::refused:
            std::fprintf(stderr, "command %u: list count out of range, command refused\n", command);
            break;
        default:
            break;
        }
        return;
    }
}

// One connection, served to completion but never for longer than the connection budget.
void serve_connection(runner& r)
{
    int conn = accept(listen_fd, nullptr, nullptr);
    if (conn < 0)
        return;
    if (fcntl(conn, F_SETFD, FD_CLOEXEC) != 0) {
        perror("fcntl");
        fd_close(conn);
        return;
    }
    int blocking = 0;
    if (ioctl(conn, FIONBIO, &blocking) != 0) {
        perror("ioctl");
        fd_close(conn);
        return;
    }
    // The reply fits the socket buffer; the limit only guards against a peer that stalls it.
    timeval send_limit{1, 0};
    setsockopt(conn, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);

    const auto deadline = steady_clock::now() + kConnectionBudget;
    uint32_t command = 0;
    if (read_exact(conn, &command, sizeof command, deadline))
        handle_command(conn, command, deadline, r);
    fd_close(conn);
}

// One message from the channel; false when the thread is to end.
bool handle_message(runner& r)
{
    uint32_t type = 0;
    if (read(pipe_read, &type, sizeof type) != static_cast<ssize_t>(sizeof type)) {
        perror("read");
        return false;
    }
    switch (type) {
    case OUT_STOP:
        return false;
    case OUT_WLAN6: {
        ns6_list v6;
        if (read(pipe_read, &v6, sizeof v6) != static_cast<ssize_t>(sizeof v6)) {
            perror("read");
            return false;
        }
        if (!ns_valid_count(v6.count)) {
            std::fprintf(stderr, "wlan6: list count %d out of range, message dropped\n", v6.count);
            return true;
        }
        // No comparison: the manager decides when a list is worth a run.
        // Zero bytes beyond the count, so a listing never repeats stale slots.
        lists.wlan6 = {};
        lists.wlan6.count = v6.count;
        std::copy_n(v6.addr.begin(), v6.count, lists.wlan6.addr.begin());
        r.run_pending = true;
        return true;
    }
    default:
        return true;
    }
}

[[noreturn]] void run_script_child()
{
    static constexpr const char* kPrefixes[] = {"TAMROD_V6=", "TAMROD_V4=", "TAMROD_R6=", "TAMROD_R4="};
    out_format_env(env_buffers[0], kPrefixes[0], lists.wlan6);
    out_format_env(env_buffers[1], kPrefixes[1], lists.wlan4);
    out_format_env(env_buffers[2], kPrefixes[2], lists.radio6);
    out_format_env(env_buffers[3], kPrefixes[3], lists.radio4);
    for (auto& buf : env_buffers) {
        if (putenv(buf.data()) != 0) {
            perror("putenv");
            _exit(255);
        }
    }
    // The daemon's threads keep every signal blocked; the script is an ordinary program and
    // must be reachable by signals like any other.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    execl(out_script_path, out_script_path, static_cast<char*>(nullptr));
    perror("execl");
    _exit(255);
}

void reap(runner& r)
{
    if (r.child_pid == 0)
        return;
    const pid_t done = waitpid(r.child_pid, nullptr, WNOHANG);
    // ECHILD: the child is gone without us; waiting on it forever would stop all later runs.
    if (done == r.child_pid || (done < 0 && errno == ECHILD))
        r.child_pid = 0;
}

void start_run(runner& r)
{
    if (r.child_pid != 0 || !r.run_pending)
        return;
    const pid_t pid = fork();
    if (pid < 0) {
        perror("fork");  // still pending: the next pass tries again
        return;
    }
    if (pid == 0)
        run_script_child();
    r.child_pid = pid;
    r.run_pending = false;
}

void* out_worker(void*)
{
    block_all_signals();
    lists = {};
    runner r;
    for (;;) {
        reap(r);
        start_run(r);
        offer_policy(r);
        pollfd fds[2] = {{listen_fd, POLLIN, 0}, {pipe_read, POLLIN, 0}};
        const bool busy = r.child_pid != 0 || r.run_pending || r.policy_due != nullptr;
        if (poll(fds, 2, busy ? kReapIntervalMs : -1) <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            serve_connection(r);
        if ((fds[1].revents & (POLLIN | POLLHUP)) && !handle_message(r))
            break;
    }
    policy_free(r.policy_due);
    return nullptr;
}

}  // namespace

std::size_t out_format_env(env_buffer& buf, const char* prefix, const ns6_list& list)
{
    return format_list<ns6_list, AF_INET6, INET6_ADDRSTRLEN>(buf, prefix, list);
}

std::size_t out_format_env(env_buffer& buf, const char* prefix, const ns4_list& list)
{
    return format_list<ns4_list, AF_INET, INET_ADDRSTRLEN>(buf, prefix, list);
}

void out_post(uint32_t type, const void* payload, uint32_t length)
{
    pthread_mutex_lock(&out_mutex);
    chan_write_message(pipe_write, type, payload, length);
    pthread_mutex_unlock(&out_mutex);
}

int out_init(const char* script_path, const char* policy_path)
{
    if (!str_store(out_script_path, script_path) || !str_store(out_policy_path, policy_path)) {
        out_cleanup();
        return -1;
    }
    if (!chan_open(pipe_read, pipe_write)) {
        out_cleanup();
        return -1;
    }
    if (listen_fd >= 0)
        return 0;

    const sockaddr_un addr = control_address();
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    if (access(kControlPath, W_OK) == 0) {
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) {
            perror("socket");
            out_cleanup();
            return -1;
        }
        const bool answered = connect(probe, sa, sizeof addr) == 0;
        fd_close(probe);
        if (answered) {
            // No listening socket is ours yet, so the cleanup leaves the other daemon's file alone.
            std::fputs("already running\n", stderr);
            out_cleanup();
            return -1;
        }
        unlink(kControlPath);  // left behind by a daemon that died
    }

    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd < 0) {
        perror("socket");
        out_cleanup();
        return -1;
    }
    // Any local process may hand us its servers: the file is created with every permission bit.
    const mode_t previous = umask(0);
    const int bound = bind(listen_fd, sa, sizeof addr);
    umask(previous);
    if (bound != 0) {
        perror("bind");
        // Someone else's file (or nothing) is at the path: ours must not be unlinked for it.
        close(listen_fd);
        listen_fd = -1;
        out_cleanup();
        return -1;
    }
    if (listen(listen_fd, kListenBacklog) != 0) {
        perror("listen");
        out_cleanup();
        return -1;
    }
    return 0;
}

int out_start()
{
    return thread_start(thread, out_worker) ? 0 : -1;
}

void out_stop()
{
    out_post(OUT_STOP, nullptr, 0);
    pthread_join(thread, nullptr);
}

void out_cleanup()
{
    fd_close(pipe_read);
    fd_close(pipe_write);
    if (listen_fd >= 0) {
        fd_close(listen_fd);
        unlink(kControlPath);
    }
    str_free(out_script_path);
    str_free(out_policy_path);
}
