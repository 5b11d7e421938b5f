// Starting and watching the script. posix_spawn does not copy the daemon's address space, so the
// cost of a run does not grow with the daemon; everything the child needs is prepared here first.
#include "out_run.h"

#include "out_env.h"
#include "util.h"

#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

using std::chrono::milliseconds;

// A script is expected to be done in moments (it rewrites a resolver's configuration). One still
// running after the first limit is worth a line; one still running after the second blocks every
// later change from reaching the resolver, so it is ended. A test build may shorten them.
#ifndef TAMROD_SCRIPT_SLOW_MS
#define TAMROD_SCRIPT_SLOW_MS 30000
#endif
#ifndef TAMROD_SCRIPT_LIMIT_MS
#define TAMROD_SCRIPT_LIMIT_MS 120000
#endif
#ifndef TAMROD_SCRIPT_GRACE_MS
#define TAMROD_SCRIPT_GRACE_MS 2000
#endif
constexpr milliseconds kSlowRun{TAMROD_SCRIPT_SLOW_MS};
constexpr milliseconds kRunLimit{TAMROD_SCRIPT_LIMIT_MS};
// Time to tidy up after SIGTERM before SIGKILL.
constexpr milliseconds kKillGrace{TAMROD_SCRIPT_GRACE_MS};

// Variables the script must not inherit: ours are set afresh for every run, and the service
// manager's were meant for the daemon alone (a script notifying readiness would speak for it).
constexpr std::array<std::string_view, 13> kNotInherited = {
    "TAMROD_V6=",     "TAMROD_V4=",    "TAMROD_R6=",     "TAMROD_R4=",      "TAMROD_SEARCH=",
    "TAMROD_PREF64=", "TAMROD_PORTAL=", "NOTIFY_SOCKET=", "LISTEN_FDS=",     "LISTEN_PID=",
    "LISTEN_FDNAMES=", "WATCHDOG_USEC=", "WATCHDOG_PID=",
};

char* script_path = nullptr;
posix_spawnattr_t attr;
posix_spawn_file_actions_t actions;
bool prepared = false;
std::array<env_buffer, 4> env_buffers{};
search_buffer search_env{};
env_buffer pref64_env{};
portal_buffer portal_env{};
std::vector<char*> env;

bool inherited(const char* entry)
{
    const std::string_view e(entry);
    return std::none_of(kNotInherited.begin(), kNotInherited.end(),
                        [e](std::string_view name) { return e.substr(0, name.size()) == name; });
}

// The daemon's own environment less what is not inherited, then the seven variables.
void build_environment(const out_run_input& in)
{
    static constexpr const char* kPrefixes[] = {"TAMROD_V6=", "TAMROD_V4=", "TAMROD_R6=", "TAMROD_R4="};
    out_format_env(env_buffers[0], kPrefixes[0], in.lists.wlan6, in.zone);
    out_format_env(env_buffers[1], kPrefixes[1], in.lists.wlan4);
    out_format_env(env_buffers[2], kPrefixes[2], in.lists.radio6);
    out_format_env(env_buffers[3], kPrefixes[3], in.lists.radio4);
    out_format_search(search_env, "TAMROD_SEARCH=", in.search);
    out_format_pref64(pref64_env, "TAMROD_PREF64=", in.pref64);
    out_format_portal(portal_env, "TAMROD_PORTAL=", in.portal);
    env.clear();
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (inherited(*e))
            env.push_back(*e);
    }
    for (auto& buf : env_buffers)
        env.push_back(buf.data());
    env.push_back(search_env.data());
    env.push_back(pref64_env.data());
    env.push_back(portal_env.data());
    env.push_back(nullptr);
}

bool set_up_attributes()
{
    // The daemon's threads keep every signal blocked; the script is an ordinary program and must
    // be reachable by signals like any other. Handlers end at exec anyway, ignored signals do not:
    // a service manager may have left SIGPIPE ignored, and pipelines in the script rely on it.
    // Every bit set, not sigfillset, which leaves out the C library's own signals.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    std::memset(&all, 0xff, sizeof all);
    // A group of its own, so that a hung run is ended with every process it started.
    return posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP) ==
               0 &&
           posix_spawnattr_setsigmask(&attr, &none) == 0 && posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
           posix_spawnattr_setpgroup(&attr, 0) == 0 &&
           // Standard input, output and error only: nothing of the daemon's leaks to the script.
           posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0;
}

double seconds(milliseconds span) { return static_cast<double>(span.count()) / 1000.0; }

void end_run(out_runner& r)
{
    fd_close(r.pidfd);
    const bool pending = r.pending;
    r = out_runner{};
    r.pending = pending;
}

// Whether the script has ended, leaving it unreaped.
bool has_ended(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

bool out_run_prepare(const char* path)
{
    out_run_release();
    if (!str_store(script_path, path))
        return false;
    if (posix_spawnattr_init(&attr) != 0 || posix_spawn_file_actions_init(&actions) != 0) {
        perror("posix_spawnattr_init");
        return false;
    }
    prepared = true;
    if (!set_up_attributes()) {
        perror("posix_spawnattr");
        return false;
    }
    env.reserve(64);
    return true;
}

void out_run_release()
{
    if (prepared) {
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        prepared = false;
    }
    str_free(script_path);
}

// A run ended at the time limit is over once SIGKILL has gone to its whole group and the script
// is reaped; the next run may start then, while processes of the old group may still be on their
// way out. Waiting until the whole group is gone is not done: no event tells when processes that
// are not our children end (they pass to init), and a process stuck in uninterruptible sleep, or
// a zombie that a container's init never reaps, would then hold back every later run, which the
// limit exists to prevent. After SIGKILL no process of the group runs another instruction of its
// own, so none can start a write that lands after the next run's (one already under way in the
// kernel may still complete). Until SIGKILL has gone out the
// script is left unreaped even if it ended: its zombie keeps the group's id from being reused,
// so the signal cannot reach another group.
void out_run_reap(out_runner& r)
{
    if (r.child == 0)
        return;
    if (r.terminated && !r.killed) {
        r.ended_early = r.ended_early || has_ended(r.child);
        return;
    }
    const pid_t done = waitpid(r.child, nullptr, WNOHANG);
    // ECHILD: the child is gone without us; waiting on it forever would stop all later runs.
    if (done == r.child || (done < 0 && errno == ECHILD)) {
        if (r.terminated)
            std::fprintf(stderr, "script pid %d ended\n", static_cast<int>(r.child));
        end_run(r);
    }
}

void out_run_start(out_runner& r, const out_run_input& in)
{
    if (r.child != 0 || !r.pending)
        return;
    build_environment(in);
    pid_t pid = 0;
    char* const argv[] = {script_path, nullptr};
    const int err = posix_spawn(&pid, script_path, &actions, &attr, argv, env.data());
    errno = err;
    if (err == EAGAIN || err == ENOMEM) {
        perror("fork");  // no process to be had: still pending, the next pass tries again
        return;
    }
    r.pending = false;
    if (err != 0) {
        perror("execl");  // the script itself cannot run: this run is over
        return;
    }
    r.child = pid;
    r.started = std::chrono::steady_clock::now();
    // Refused by kernels before 5.3 (and when out of descriptors): the end is looked for then.
    // The system call itself: glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.
    r.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0U));
}

void out_run_watch(out_runner& r, std::chrono::steady_clock::time_point now)
{
    if (r.child == 0)
        return;
    const auto pid = static_cast<int>(r.child);
    if (!r.slow_reported && now - r.started >= kSlowRun) {
        std::fprintf(stderr, "script pid %d still running after %g s\n", pid, seconds(kSlowRun));
        r.slow_reported = true;
    }
    if (!r.terminated && now - r.started >= kRunLimit) {
        std::fprintf(stderr, "script pid %d still running after %g s: ending it\n", pid, seconds(kRunLimit));
        kill(-r.child, SIGTERM);
        r.terminated = now;
    } else if (r.terminated && !r.killed && now - *r.terminated >= kKillGrace) {
        // Also when the script itself is gone: a child of it may shrug off SIGTERM.
        kill(-r.child, SIGKILL);
        r.killed = true;  // reaped, and reported, on a later pass
    }
}

std::optional<std::chrono::steady_clock::time_point> out_run_deadline(const out_runner& r)
{
    if (r.child == 0 || r.killed)
        return std::nullopt;
    if (r.terminated)
        return *r.terminated + kKillGrace;
    return r.started + (r.slow_reported ? kRunLimit : std::min(kSlowRun, kRunLimit));
}

int out_run_wait_fd(const out_runner& r)
{
    // Once ended, the descriptor stays readable: while the script waits for SIGKILL, it would
    // wake the thread at once on every pass.
    return r.child != 0 && (!r.ended_early || r.killed) ? r.pidfd : -1;
}

bool out_run_needs_looking(const out_runner& r) { return r.child != 0 && r.pidfd < 0; }

void out_run_forget(out_runner& r)
{
    fd_close(r.pidfd);
    r = {};
}
