// Output thread: holds the four name-server lists, serves the control socket and runs the
// script, one run at a time, with changes that arrive during a run folded into one more run.
#include "out.h"

#include "ctl_auth.h"
#include "mgr.h"
#include "out_env.h"
#include "out_request.h"
#include "policy.h"
#include "util.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace {

using std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often a running script is looked for, and a reloaded policy offered again, while poll
// would otherwise sleep.
constexpr auto kReapInterval = 250ms;
// A client gets this long to deliver its whole request; a silent one must not hold a slot.
constexpr auto kConnectionBudget = 1000ms;
// Connections still sending their request. Our own client sends it with the connect, so a full
// table turns away the stalest, most likely silent, peer of the account that holds the most.
constexpr std::size_t kMaxConnections = 16;
// Out of descriptors, accept keeps failing while the listening socket stays readable: listening
// pauses instead of spinning.
constexpr auto kAcceptPause = 100ms;
// Refusal reports: at most this many lines per window, then a count of the ones left out.
constexpr int kReportsPerWindow = 5;
constexpr auto kReportWindow = 10s;
constexpr int kListenBacklog = 5;

int pipe_read = -1;
int pipe_write = -1;
int listen_fd = -1;
pthread_mutex_t out_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_t thread{};
char* out_script_path = nullptr;
char* out_policy_path = nullptr;
char* out_ifname = nullptr;

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

// One accepted connection still receiving its request.
struct connection {
    int fd = -1;
    steady_clock::time_point deadline;
    ucred peer{};
    std::size_t got = 0;
    std::array<uint8_t, sizeof(uint32_t) + sizeof(ctl_radio_payload)> request{};
};

struct server {
    std::array<connection, kMaxConnections> conns;
    steady_clock::time_point listen_after{};  // accept paused until then
    bool accept_failing = false;              // reported once until an accept succeeds again
    uid_t own_uid = 0;
    // Refusal reports in the current window.
    steady_clock::time_point window_start{};
    int reported = 0;
    unsigned suppressed = 0;
};

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

// Whether the peer may change state, from the credentials the kernel took at connect time, so a
// descriptor passed on keeps its creator's rights. Asked only for a state-changing command: the
// group lookup may be slow and a listing needs none.
bool peer_may_change(int fd, const ucred& peer, uid_t own_uid)
{
    if (ctl_may_change(peer.uid, peer.gid, {}, own_uid, std::nullopt))
        return true;
    const std::optional<gid_t> group = ctl_control_gid();
    if (!group)
        return false;
    std::vector<gid_t> groups(32);
    for (;;) {
        socklen_t len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
            groups.resize(len / sizeof(gid_t));
            return ctl_may_change(peer.uid, peer.gid, groups, own_uid, group);
        }
        if (errno != ERANGE || len / sizeof(gid_t) <= groups.size())
            return false;
        groups.resize(len / sizeof(gid_t));
    }
}

// Once a report window has passed, the refusals it left out are counted in one line.
void flush_refusals(server& s, steady_clock::time_point now)
{
    if (now - s.window_start < kReportWindow)
        return;
    if (s.suppressed > 0)
        std::fprintf(stderr, "%u more refused commands not reported\n", s.suppressed);
    s.window_start = now;
    s.reported = 0;
    s.suppressed = 0;
}

// Refusals are reported, but a flood of them must not fill the log.
void report_refusal(server& s, uint32_t command, const ucred& peer)
{
    flush_refusals(s, steady_clock::now());
    if (s.reported >= kReportsPerWindow) {
        ++s.suppressed;
        return;
    }
    ++s.reported;
    std::fprintf(stderr, "%s refused: uid %u pid %d may not change the daemon's state\n", ctl_command_name(command),
                 static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid));
}

void handle_command(int fd, uint32_t command, std::span<const uint8_t> payload, runner& r)
{
    switch (command) {
    case CMD_LIST: {
        const ctl_list_reply reply{lists.wlan6, lists.wlan4};
        // A fresh connection's buffer always takes the reply; a peer that has gone must not raise
        // SIGPIPE on this thread, nor a line in the log for every such connection.
        const ssize_t n = send(fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n != static_cast<ssize_t>(sizeof reply) && !(n < 0 && (errno == EPIPE || errno == ECONNRESET)))
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
        switch (out_apply_request(command, payload, lists)) {
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

void drop(connection& c) { fd_close(c.fd); }

// Reads what has arrived; once the request is whole it is carried out and the connection closed.
// A state-changing command from a peer without the right is refused on its command word.
void progress(server& s, connection& c, runner& r)
{
    constexpr std::size_t kWord = sizeof(uint32_t);
    for (;;) {
        std::size_t want = kWord;
        if (c.got >= kWord) {
            uint32_t command = 0;
            std::memcpy(&command, c.request.data(), kWord);
            // Asked before any payload is read: a refused command's payload is never looked at.
            if (c.got == kWord && ctl_changes_state(command) && !peer_may_change(c.fd, c.peer, s.own_uid)) {
                report_refusal(s, command, c.peer);
                drop(c);
                return;
            }
            want += out_request_length(command);
            if (c.got == want) {
                handle_command(c.fd, command, std::span(c.request).subspan(kWord, want - kWord), r);
                drop(c);
                return;
            }
        }
        const ssize_t n = read(c.fd, c.request.data() + c.got, want - c.got);
        if (n > 0) {
            c.got += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        // A cut command word is dropped silently; a cut payload is worth a line.
        if (c.got >= kWord) {
            if (n == 0)
                errno = ENODATA;
            perror("read");
        }
        drop(c);
        return;
    }
}

// The connection to let go when room is needed, or nullptr when none is held: the stalest of the
// user holding the most, so that one account's flood of connections only ever displaces its own.
connection* victim(server& s)
{
    const auto held_by = [&s](uid_t uid) {
        return std::count_if(s.conns.begin(), s.conns.end(),
                             [uid](const connection& c) { return c.fd >= 0 && c.peer.uid == uid; });
    };
    connection* found = nullptr;
    long found_count = 0;
    for (auto& c : s.conns) {
        if (c.fd < 0)
            continue;
        const long n = held_by(c.peer.uid);
        if (found == nullptr || n > found_count || (n == found_count && c.deadline < found->deadline)) {
            found = &c;
            found_count = n;
        }
    }
    return found;
}

// Lets a connection go to make room: what it has sent is served first, so that a client whose
// request is already here is never dropped for a newer peer; one that sends later sees the close.
void evict(server& s, connection& c, runner& r)
{
    progress(s, c, r);
    drop(c);
}

connection* free_slot(server& s, runner& r)
{
    auto it = std::find_if(s.conns.begin(), s.conns.end(), [](const connection& c) { return c.fd < 0; });
    if (it != s.conns.end())
        return &*it;
    connection* c = victim(s);
    evict(s, *c, r);
    return c;
}

// Takes every waiting connection; each is given the credentials the kernel recorded at connect.
void accept_all(server& s, runner& r)
{
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM)
                return;
            // Out of descriptors: a held peer makes room; with none to let go, listening
            // pauses, since the waiting connection keeps the socket readable.
            if (connection* c = victim(s)) {
                evict(s, *c, r);
                continue;
            }
            if (!s.accept_failing)
                perror("accept");
            s.accept_failing = true;
            s.listen_after = steady_clock::now() + kAcceptPause;
            return;
        }
        s.accept_failing = false;
        connection& c = *free_slot(s, r);
        c = connection{};
        c.fd = fd;
        c.deadline = steady_clock::now() + kConnectionBudget;
        socklen_t len = sizeof c.peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &c.peer, &len) != 0) {
            perror("getsockopt SO_PEERCRED");
            drop(c);
            continue;
        }
        progress(s, c, r);
    }
}

// Connections whose budget ran out are closed, after a last look at what they sent; the nearest
// deadline left, if any.
std::optional<steady_clock::time_point> expire(server& s, runner& r, steady_clock::time_point now)
{
    std::optional<steady_clock::time_point> nearest;
    for (auto& c : s.conns) {
        if (c.fd >= 0 && c.deadline <= now) {
            progress(s, c, r);
            if (c.fd >= 0 && c.got >= sizeof(uint32_t)) {
                errno = ETIMEDOUT;
                perror("read");
            }
            drop(c);
        }
        if (c.fd >= 0 && (!nearest || c.deadline < *nearest))
            nearest = c.deadline;
    }
    return nearest;
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
        lists.wlan6 = out_normalised(v6);
        r.run_pending = true;
        return true;
    }
    default:
        return true;
    }
}

// Every message already in the channel, before any connection is looked at, so that a list to
// publish or a stop never waits behind clients. False when the thread is to end.
bool drain_channel(runner& r)
{
    for (;;) {
        pollfd pfd{pipe_read, POLLIN, 0};
        if (poll(&pfd, 1, 0) != 1)
            return true;
        if (!handle_message(r))
            return false;
    }
}

[[noreturn]] void run_script_child()
{
    static constexpr const char* kPrefixes[] = {"TAMROD_V6=", "TAMROD_V4=", "TAMROD_R6=", "TAMROD_R4="};
    out_format_env(env_buffers[0], kPrefixes[0], lists.wlan6, out_ifname);
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

int poll_timeout(const runner& r, const server& s, steady_clock::time_point now,
                 std::optional<steady_clock::time_point> until)
{
    if (r.child_pid != 0 || r.run_pending || r.policy_due != nullptr)
        until = std::min(until.value_or(now + kReapInterval), now + kReapInterval);
    if (s.listen_after > now)
        until = std::min(until.value_or(s.listen_after), s.listen_after);
    if (!until)
        return -1;
    // Rounded up, so that a deadline is past when poll returns; never negative, which would wait
    // for ever.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*until - now).count();
    return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, std::numeric_limits<int>::max()));
}

void* out_worker(void*)
{
    block_all_signals();
    lists = {};
    runner r;
    server s;
    s.own_uid = geteuid();
    while (drain_channel(r)) {
        reap(r);
        start_run(r);
        offer_policy(r);
        const auto now = steady_clock::now();
        flush_refusals(s, now);
        const auto nearest = expire(s, r, now);
        // Only open descriptors go into the set: poll refuses a set larger than the descriptor
        // limit, and a refusal at every pass would be a spin.
        std::array<pollfd, 2 + kMaxConnections> fds{};
        std::array<connection*, 2 + kMaxConnections> owner{};
        nfds_t n = 0;
        fds[n++] = {pipe_read, POLLIN, 0};
        if (now >= s.listen_after)
            fds[n++] = {listen_fd, POLLIN, 0};
        for (auto& c : s.conns) {
            if (c.fd >= 0) {
                owner[n] = &c;
                fds[n++] = {c.fd, POLLIN, 0};
            }
        }
        const int timeout = poll_timeout(r, s, now, nearest);
        const int ready = poll(fds.data(), n, timeout);
        if (ready < 0 && errno != EINTR)
            poll(nullptr, 0, timeout < 0 ? kReapInterval.count() : timeout);  // no set at all: just wait
        if (ready <= 0)
            continue;
        if (fds[0].revents != 0 && !drain_channel(r))
            break;
        // Connections that have sent something are served before newcomers may displace them.
        for (nfds_t i = 1; i < n; ++i) {
            if (owner[i] != nullptr && owner[i]->fd >= 0 && fds[i].revents != 0)
                progress(s, *owner[i], r);
        }
        if (fds[1].fd == listen_fd && (fds[1].revents & POLLIN))
            accept_all(s, r);
    }
    for (auto& c : s.conns)
        drop(c);
    if (s.suppressed > 0)
        std::fprintf(stderr, "%u more refused commands not reported\n", s.suppressed);
    policy_free(r.policy_due);
    return nullptr;
}

// Replaces a socket file left by a daemon that died; refuses when another daemon answers on it.
bool probe_control_path(const sockaddr_un& addr)
{
    if (access(kControlPath, W_OK) != 0)
        return true;
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        perror("socket");
        return false;
    }
    const bool answered = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    fd_close(probe);
    if (answered) {
        std::fputs("already running\n", stderr);
        return false;
    }
    unlink(kControlPath);
    return true;
}

// The listening control socket; false (reported) when it cannot be had. On false nothing of ours
// is at the path, so the cleanup leaves another daemon's file alone.
bool open_control_socket()
{
    const sockaddr_un addr = control_address();
    if (!probe_control_path(addr))
        return false;
    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd < 0) {
        perror("socket");
        return false;
    }
    // Every local process may connect to list the servers; who may change them is decided per
    // connection from its credentials.
    const mode_t previous = umask(0);
    const int bound = bind(listen_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    umask(previous);
    if (bound != 0) {
        perror("bind");
        // Someone else's file (or nothing) is at the path: it must not be unlinked for us.
        fd_close(listen_fd);
        return false;
    }
    if (listen(listen_fd, kListenBacklog) != 0) {
        perror("listen");
        return false;
    }
    return true;
}

}  // namespace

void out_post(uint32_t type, const void* payload, uint32_t length)
{
    pthread_mutex_lock(&out_mutex);
    chan_write_message(pipe_write, type, payload, length);
    pthread_mutex_unlock(&out_mutex);
}

int out_init(const char* script_path, const char* policy_path, const char* ifname)
{
    if (!str_store(out_script_path, script_path) || !str_store(out_policy_path, policy_path) ||
        !str_store(out_ifname, ifname) || !chan_open(pipe_read, pipe_write) ||
        (listen_fd < 0 && !open_control_socket())) {
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
    if (listen_fd >= 0) {
        fd_close(listen_fd);
        unlink(kControlPath);
    }
    str_free(out_script_path);
    str_free(out_policy_path);
    str_free(out_ifname);
}
