// Entry point: option scanning, client commands, and the daemon's start-up and shut-down.
#include "ctl.h"
#include "modules.h"
#include "policy.h"
#include "ready.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

// glibc exports the BSD-semantics signal() under this name but only declares it for old X/Open.
extern "C" __sighandler_t bsd_signal(int sig, __sighandler_t handler) noexcept;

namespace {

constexpr char kOptions[] = "i:Bc:x:4rlftu";

constexpr char kUsage[] =
    "Usage: tamrod [-f] [-i device] [-B] [-c configfile] [-x script]\n"
    "       tamrod -q [-i device]\n"
    "       tamrod -4 ipv4-ns-address [...]\n"
    "       tamrod -l\n"
    "       tamrod -u\n"
    "       tamrod -t\n"
    "-f             don't daemonize, stay in foreground\n"
    "-i device      wlan device (default: wlan0)\n"
    "-B             set no burst mode as default\n"
    "-c configfile  optional configuration file\n"
    "-x script      script to execute (default: /etc/tamrod.sh)\n"
    "-4             set wlan ipv4 name servers\n"
    "-r             set radio name servers\n"
    "-l             ouput current list of name servers\n"
    "-u             reload optional configuration file\n"
    "-t             terminate tamrod daemon\n";

struct settings {
    const char* ifname = nullptr;
    int32_t default_burst = 1;
    policy_list policy = nullptr;
    const char* policy_path = nullptr;
    const char* script_path = nullptr;
    bool foreground = false;
    int set_wlan4 = 0, set_radio = 0, list = 0, reload = 0, terminate = 0;
};

settings g;

[[noreturn]] void finish(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
#if defined(__SANITIZE_ADDRESS__)
    // _exit skips the leak checker's exit hook; run it here so daemon runs are checked too, and
    // end with the sanitizer's own status on a leak so that no test mistakes it for success.
    if (__lsan_do_recoverable_leak_check() != 0)
        _exit(23);
#endif
    _exit(status);
}

// Every daemon-mode ending, the orderly one included, comes through here.
[[noreturn]] void daemon_exit()
{
    modules_cleanup();
    policy_free(g.policy);
    g.policy = nullptr;
    finish(1);
}

[[noreturn]] void usage_exit()
{
    std::fputs(kUsage, stderr);
    daemon_exit();
}

void wake_only(int) {}

void scan_options(int argc, char** argv)
{
    std::array<bool, 256> seen{};
    int c;
    while ((c = getopt(argc, argv, kOptions)) != -1) {
        auto& once = seen[static_cast<unsigned char>(c)];
        if (c != '?' && c != ':') {
            if (once)
                usage_exit();
            once = true;
        }
        switch (c) {
        case 'i': g.ifname = optarg; break;
        case 'B': g.default_burst = 0; break;
        case 'c':
            g.policy = policy_read(optarg);
            if (g.policy == nullptr)
                daemon_exit();
            g.policy_path = optarg;
            break;
        case 'x': g.script_path = optarg; break;
        case 'f': g.foreground = true; break;
        case '4': g.set_wlan4 = 1; break;
        case 'r': g.set_radio = 1; break;
        case 'l': g.list = 1; break;
        case 'u': g.reload = 1; break;
        case 't': g.terminate = 1; break;
        default:
            std::puts("\n");
            usage_exit();
        }
    }
}

[[noreturn]] void run_client(int argc, char** argv)
{
    if (g.policy != nullptr || g.script_path != nullptr || g.default_burst == 0 || g.foreground ||
        g.ifname != nullptr)
        usage_exit();
    std::fflush(stdout);
    std::fflush(stderr);
    int status;
    if (g.set_wlan4)
        status = ctl_set_wlan4(argc, argv);
    else if (g.set_radio)
        status = ctl_set_radio(argc, argv);
    else if (g.list)
        status = ctl_list();
    else if (g.reload)
        status = ctl_reload();
    else
        status = ctl_terminate();
    // A listing that never reached its file or pipe (full disk, closed pipe) is no success.
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == 0) {
        std::perror("stdout");
        status = 1;
    }
    finish(status);
}

// A daemon started with 0, 1 or 2 closed would hand those numbers to its own pipes and sockets,
// which daemon() then replaces with /dev/null.
void hold_standard_descriptors()
{
    for (;;) {
        const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return;
        if (fd > 2) {
            close(fd);
            return;
        }
        // Standard descriptors must survive into the script.
        fcntl(fd, F_SETFD, 0);
    }
}

// daemon() changes to "/": a relative -x or -c path must name the same file afterwards. In the
// foreground the caller's directory stays, so the hook (argument 0 included) and the messages get
// the paths as the caller wrote them.
const char* anchored(const char* path, std::string& store)
{
    if (g.foreground || path == nullptr || path[0] == '/')
        return path;
    std::array<char, PATH_MAX> cwd{};
    if (getcwd(cwd.data(), cwd.size()) == nullptr)
        return path;
    store = std::string(cwd.data()) + "/" + path;
    return store.c_str();
}

[[noreturn]] void run_daemon()
{
    if (g.ifname == nullptr)
        g.ifname = "wlan0";
    if (g.script_path == nullptr)
        g.script_path = "/etc/tamrod.sh";
    if (access(g.script_path, X_OK) != 0)
        usage_exit();
    hold_standard_descriptors();
    std::string script_store, policy_store;
    const char* script = anchored(g.script_path, script_store);
    const char* policy_path = anchored(g.policy_path, policy_store);

    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    for (int sig : {SIGINT, SIGHUP, SIGQUIT, SIGTERM})
        bsd_signal(sig, wake_only);

    if (modules_init(g.ifname, g.default_burst, g.policy, script, policy_path) != 0)
        daemon_exit();
    if (!g.foreground) {
        // On failure the daemon simply goes on in the foreground.
        int r = daemon(0, 0);
        (void)r;
    }
    if (modules_start() != 0)
        daemon_exit();
    // The control socket has listened since out_init and its thread now serves it: units ordered
    // after ours may hand us their servers at once.
    ready_notify();

    sigset_t wait_mask;
    sigfillset(&wait_mask);
    for (int sig : {SIGINT, SIGHUP, SIGQUIT, SIGTERM})
        sigdelset(&wait_mask, sig);
    sigsuspend(&wait_mask);

    modules_stop();
    daemon_exit();
}

}  // namespace

int main(int argc, char** argv)
{
    scan_options(argc, argv);
    const int selectors = g.set_wlan4 + g.set_radio + g.list + g.reload + g.terminate;
    if (selectors > 1)
        usage_exit();
    if (selectors == 1)
        run_client(argc - std::min(optind, argc), argv + std::min(optind, argc));
    run_daemon();
}
