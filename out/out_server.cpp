// The control socket's server side: connections served side by side without blocking, each given
// a time budget; complete requests handed to the output thread, which carries them out.
#include "out_server.h"

#include "ctl_auth.h"
#include "out_request.h"
#include "out_socket.h"
#include "util.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A client gets this long to deliver its whole request; a silent one must not hold a slot.
constexpr auto kConnectionBudget = 1000ms;
// Out of descriptors, accept keeps failing while the listening socket stays readable: listening
// pauses instead of spinning.
constexpr auto kAcceptPause = 100ms;
// Refusal and malformed-request reports: at most this many lines per window, then a count of the
// ones left out.
constexpr int kReportsPerWindow = 5;
constexpr auto kReportWindow = 10s;
// The control group's id is looked up again after this long: a slow name service then costs one
// wait in a while, not one per connection, and a group created later still counts soon.
constexpr auto kGroupCacheTime = 10s;
constexpr std::size_t kWord = sizeof(uint32_t);

// One accepted connection still receiving its request.
struct connection {
    int fd = -1;
    out_clock::time_point deadline;
    ucred peer{};
    std::size_t got = 0;
    std::array<uint8_t, kWord + sizeof(ctl_radio_payload)> request{};
};

int listen_fd = -1;
int lock_fd = -1;  // the start lock, held while listen_fd is ours

// The rest is touched by the output thread alone.
std::array<connection, kOutMaxConnections> conns;
// Where the listening socket went in the last poll set; none while listening pauses.
std::optional<std::size_t> listen_slot;
out_clock::time_point listen_after{};  // accept paused until then
bool accept_failing = false;           // reported once until an accept succeeds again
uid_t own_uid = 0;
std::vector<out_request> ready;
std::size_t ready_taken = 0;

struct report_budget {
    out_clock::time_point window_start{};
    int reported = 0;
    unsigned suppressed = 0;
} reports;

struct group_cache {
    std::optional<gid_t> gid;
    out_clock::time_point until{};
} control_group;

void write_suppressed()
{
    if (reports.suppressed > 0)
        std::fprintf(stderr, "%u more refused or malformed commands not reported\n", reports.suppressed);
    reports.suppressed = 0;
}

// Once a report window has passed, the lines it left out are counted in one line.
void flush_reports(out_clock::time_point now)
{
    if (now - reports.window_start < kReportWindow)
        return;
    write_suppressed();
    reports.window_start = now;
    reports.reported = 0;
}

std::optional<gid_t> control_gid()
{
    const auto now = out_clock::now();
    if (now >= control_group.until) {
        control_group.gid = ctl_control_gid();
        control_group.until = now + kGroupCacheTime;
    }
    return control_group.gid;
}

// Whether the peer may change state, from the credentials the kernel took at connect time, so a
// descriptor passed on keeps its creator's rights. Asked only for a state-changing command: the
// group lookup may be slow and a listing needs none.
bool peer_may_change(int fd, const ucred& peer)
{
    if (ctl_may_change({peer.uid, peer.gid, {}}, own_uid, std::nullopt))
        return true;
    const std::optional<gid_t> group = control_gid();
    if (!group)
        return false;
    std::vector<gid_t> groups(32);
    for (;;) {
        socklen_t len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
            groups.resize(len / sizeof(gid_t));
            return ctl_may_change({peer.uid, peer.gid, groups}, own_uid, group);
        }
        // An older kernel tells no supplementary groups: the primary one still counts, as it
        // does in the client's own check on such a kernel.
        if (errno == ENOPROTOOPT)
            return ctl_may_change({peer.uid, peer.gid, {}}, own_uid, group);
        if (errno != ERANGE || len / sizeof(gid_t) <= groups.size())
            return false;
        groups.resize(len / sizeof(gid_t));
    }
}

void report_refusal(uint32_t command, const ucred& peer)
{
    if (out_report_admit())
        std::fprintf(stderr, "%s refused: uid %u pid %d may not change the daemon's state\n",
                     ctl_command_name(command), static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid));
}

void drop(connection& c) { fd_close(c.fd); }

// The request is whole: it goes to the thread with its connection.
void hand_over(connection& c, uint32_t command, std::size_t length)
{
    out_request r;
    r.fd = c.fd;
    r.command = command;
    r.length = length;
    std::copy_n(c.request.begin() + kWord, length, r.payload.begin());
    ready.push_back(r);
    c.fd = -1;
}

// A cut command word is dropped silently; a cut payload is worth a line.
void read_failed(connection& c, ssize_t n)
{
    if (c.got >= kWord) {
        if (n == 0)
            errno = ENODATA;
        if (out_report_admit())
            perror("read");
    }
    drop(c);
}

// Reads what has arrived; a whole request is handed over. A state-changing command from a peer
// without the right is refused on its command word, its payload never looked at.
void progress(connection& c)
{
    for (;;) {
        std::size_t want = kWord;
        if (c.got >= kWord) {
            uint32_t command = 0;
            std::memcpy(&command, c.request.data(), kWord);
            if (c.got == kWord && ctl_changes_state(command) && !peer_may_change(c.fd, c.peer)) {
                report_refusal(command, c.peer);
                drop(c);
                return;
            }
            want += out_request_length(command);
            if (c.got == want)
                return hand_over(c, command, want - kWord);
        }
        const ssize_t n = read(c.fd, c.request.data() + c.got, want - c.got);
        if (n > 0) {
            c.got += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        return read_failed(c, n);
    }
}

// The connection to let go when room is needed, or nullptr when none is held: the stalest of the
// user holding the most, so that one account's flood of connections only ever displaces its own.
connection* victim()
{
    const auto held_by = [](uid_t uid) {
        return std::count_if(conns.begin(), conns.end(),
                             [uid](const connection& c) { return c.fd >= 0 && c.peer.uid == uid; });
    };
    connection* found = nullptr;
    long found_count = 0;
    for (auto& c : conns) {
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
void evict(connection& c)
{
    progress(c);
    drop(c);
}

connection& free_slot()
{
    auto it = std::find_if(conns.begin(), conns.end(), [](const connection& c) { return c.fd < 0; });
    if (it != conns.end())
        return *it;
    connection* c = victim();
    evict(*c);
    return *c;
}

// Out of descriptors: a held peer makes room (true); with none to let go, listening pauses,
// since the waiting connection keeps the socket readable.
bool make_room()
{
    if (connection* c = victim()) {
        evict(*c);
        return true;
    }
    if (!accept_failing)
        perror("accept");
    accept_failing = true;
    listen_after = out_clock::now() + kAcceptPause;
    return false;
}

// Takes the new connection with the credentials the kernel recorded at connect.
void admit(int fd)
{
    connection& c = free_slot();
    c = connection{};
    c.fd = fd;
    c.deadline = out_clock::now() + kConnectionBudget;
    socklen_t len = sizeof c.peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &c.peer, &len) != 0) {
        perror("getsockopt SO_PEERCRED");
        drop(c);
        return;
    }
    progress(c);
}

void accept_all()
{
    for (std::size_t i = 0; i < kOutMaxConnections; ++i) {
        const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            accept_failing = false;
            admit(fd);
            continue;
        }
        const bool exhausted = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
        if (!exhausted || !make_room())
            return;
    }
}

}  // namespace

bool out_server_open() { return listen_fd >= 0 || out_socket_open(listen_fd, lock_fd); }

void out_server_close() { out_socket_close(listen_fd, lock_fd); }

bool out_report_admit()
{
    flush_reports(out_clock::now());
    if (reports.reported >= kReportsPerWindow) {
        ++reports.suppressed;
        return false;
    }
    ++reports.reported;
    return true;
}

void out_server_begin()
{
    own_uid = geteuid();
    listen_after = {};
    accept_failing = false;
    ready.reserve(2 * kOutMaxConnections);
    reports = {};
    control_group = {};
}

void out_server_end()
{
    for (auto& c : conns)
        drop(c);
    out_request r;
    while (out_server_take(r))
        out_request_done(r);
    write_suppressed();
}

std::size_t out_server_poll_set(std::span<pollfd> fds, out_clock::time_point now)
{
    std::size_t n = 0;
    listen_slot.reset();
    if (now >= listen_after) {
        listen_slot = n;
        fds[n++] = {listen_fd, POLLIN, 0};
    }
    for (auto& c : conns) {
        if (c.fd >= 0)
            fds[n++] = {c.fd, POLLIN, 0};
    }
    return n;
}

void out_server_serve(std::span<const pollfd> fds)
{
    // Connections that have sent something are served before newcomers may displace them. The
    // held connections follow the listening slot in the order out_server_poll_set put them.
    std::size_t i = listen_slot ? *listen_slot + 1 : 0;
    for (auto& c : conns) {
        if (c.fd < 0 || i >= fds.size())
            continue;
        if (fds[i].fd == c.fd && fds[i].revents != 0)
            progress(c);
        ++i;
    }
    if (listen_slot && (fds[*listen_slot].revents & POLLIN))
        accept_all();
}

std::optional<out_clock::time_point> out_server_expire(out_clock::time_point now)
{
    flush_reports(now);
    std::optional<out_clock::time_point> nearest;
    if (listen_after > now)
        nearest = listen_after;
    for (auto& c : conns) {
        if (c.fd >= 0 && c.deadline <= now) {
            progress(c);  // a last look at what it sent
            if (c.fd >= 0 && c.got >= kWord) {
                errno = ETIMEDOUT;
                if (out_report_admit())
                    perror("read");
            }
            drop(c);
        }
        if (c.fd >= 0 && (!nearest || c.deadline < *nearest))
            nearest = c.deadline;
    }
    return nearest;
}

bool out_server_take(out_request& request)
{
    if (ready_taken == ready.size()) {
        ready.clear();
        ready_taken = 0;
        return false;
    }
    request = ready[ready_taken++];
    return true;
}

void out_request_done(out_request& request) { fd_close(request.fd); }
