#include "modules.h"

#include "kl.h"
#include "mgr.h"
#include "out.h"
#include "rq.h"
#include "wl.h"

#include <array>
#include <cstdio>

namespace {

// What the modules are initialised with; kept from modules_init for the init calls alone.
struct module_args {
    const char* ifname;
    int32_t default_burst;
    policy_list policy;
    const char* script_path;
    const char* policy_path;
};

struct module {
    int (*init)(const module_args&);
    const char* init_failure;
    int (*start)();
    const char* start_failure;
    void (*stop)();
    void (*cleanup)();
};

enum module_id : std::size_t { MGR, RQ, KL, WL, OUT, MODULE_COUNT };

constexpr std::array<module, MODULE_COUNT> kModules{{
    {[](const module_args& a) { return mgr_init(a.default_burst, a.policy); }, "mgr_init failure\n",
     mgr_start, "mgr_start failure\n", mgr_stop, mgr_cleanup},
    {[](const module_args& a) { return rq_init(a.ifname); }, "rq_init failure\n",
     rq_start, "rq_start failure\n", rq_stop, rq_cleanup},
    {[](const module_args& a) { return kl_init(a.ifname); }, "kl_init failure\n",
     kl_start, "kl_start failure\n", kl_stop, kl_cleanup},
    {[](const module_args& a) { return wl_init(a.ifname); }, "wl_init failure\n",
     wl_start, "wl_start failure\n", wl_stop, wl_cleanup},
    {[](const module_args& a) { return out_init(a.script_path, a.policy_path, a.ifname); }, "out_init failure\n",
     out_start, "out_start failure\n", out_stop, out_cleanup},
}};

// Initialised, and cleaned up, in this order: every cleanup stands alone, so it need not be the
// reverse.
constexpr std::array<module_id, MODULE_COUNT> kInitOrder{MGR, RQ, KL, WL, OUT};

// Started in this order and stopped in its reverse: the manager first and last, so that no
// reporter ever posts into a manager that has gone, and the output thread before the reporters
// whose news it carries.
constexpr std::array<module_id, MODULE_COUNT> kStartOrder{MGR, OUT, KL, RQ, WL};

void stop_from(std::size_t started)
{
    while (started > 0)
        kModules[kStartOrder[--started]].stop();
}

}  // namespace

int modules_init(const char* ifname, int32_t default_burst, policy_list policy,
                 const char* script_path, const char* policy_path)
{
    const module_args args{ifname, default_burst, policy, script_path, policy_path};
    for (const module_id id : kInitOrder) {
        if (kModules[id].init(args) != 0) {
            std::fputs(kModules[id].init_failure, stderr);
            modules_cleanup();
            return -1;
        }
    }
    return 0;
}

void modules_cleanup()
{
    for (const module_id id : kInitOrder)
        kModules[id].cleanup();
}

int modules_start()
{
    for (std::size_t i = 0; i < kStartOrder.size(); ++i) {
        if (kModules[kStartOrder[i]].start() != 0) {
            std::fputs(kModules[kStartOrder[i]].start_failure, stderr);
            stop_from(i);
            return -1;
        }
    }
    return 0;
}

void modules_stop() { stop_from(kStartOrder.size()); }
