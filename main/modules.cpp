#include "modules.h"

#include "kl.h"
#include "mgr.h"
#include "out.h"
#include "rq.h"
#include "wl.h"

#include <cstdio>

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
    else if (out_init(script_path, policy_path) != 0)
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
    if (mgr_start() != 0) {
        std::fputs("mgr_start failure\n", stderr);
        return -1;
    }
    if (out_start() != 0) {
        std::fputs("out_start failure\n", stderr);
        mgr_stop();
        return -1;
    }
    if (kl_start() != 0) {
        std::fputs("kl_start failure\n", stderr);
        out_stop();
        mgr_stop();
        return -1;
    }
    if (rq_start() != 0) {
        std::fputs("rq_start failure\n", stderr);
        kl_stop();
        out_stop();
        mgr_stop();
        return -1;
    }
    if (wl_start() != 0) {
        std::fputs("wl_start failure\n", stderr);
        rq_stop();
        kl_stop();
        out_stop();
        mgr_stop();
        return -1;
    }
    return 0;
}

// Reporters first, so nothing posts into a manager that has gone; the manager last.
void modules_stop()
{
    wl_stop();
    rq_stop();
    kl_stop();
    out_stop();
    mgr_stop();
}
