#include "modules.h"

#include "kl.h"
#include "mgr.h"
#include "out.h"
#include "rq.h"
#include "wl.h"

#include <array>
#include <cstdio>

namespace {

struct module_thread {
    const char* start_failure;
    int (*start)();
    void (*stop)();
};

// Started front to back, stopped back to front: the manager first and last, so that no reporter
// ever posts into a manager that has gone.
constexpr std::array<module_thread, 5> kThreads{{
    {"mgr_start failure\n", mgr_start, mgr_stop},
    {"out_start failure\n", out_start, out_stop},
    {"kl_start failure\n", kl_start, kl_stop},
    {"rq_start failure\n", rq_start, rq_stop},
    {"wl_start failure\n", wl_start, wl_stop},
}};

void stop_from(std::size_t started)
{
    while (started > 0)
        kThreads[--started].stop();
}

}  // namespace

int modules_init(const char* ifname, int32_t default_burst, policy_list policy,
                 const char* script_path, const char* policy_path)
{
    const char* failure = nullptr;
    if (mgr_init(default_burst, policy) != 0)
        failure = "mgr_init failure\n";
    else if (rq_init(ifname) != 0)
        failure = "rq_init failure\n";
    else if (kl_init(ifname) != 0)
        failure = "kl_init failure\n";
    else if (wl_init(ifname) != 0)
        failure = "wl_init failure\n";
    else if (out_init(script_path, policy_path, ifname) != 0)
        failure = "out_init failure\n";
    if (failure == nullptr)
        return 0;
    std::fputs(failure, stderr);
    modules_cleanup();
    return -1;
}

// The order of initialisation, not its reverse: every cleanup stands alone.
void modules_cleanup()
{
    mgr_cleanup();
    rq_cleanup();
    kl_cleanup();
    wl_cleanup();
    out_cleanup();
}

int modules_start()
{
    for (std::size_t i = 0; i < kThreads.size(); ++i) {
        if (kThreads[i].start() != 0) {
            std::fputs(kThreads[i].start_failure, stderr);
            stop_from(i);
            return -1;
        }
    }
    return 0;
}

void modules_stop() { stop_from(kThreads.size()); }
