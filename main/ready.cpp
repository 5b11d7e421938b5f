#include "ready.h"

#include <dlfcn.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

void ready_notify()
{
    // Only a service manager sets this; without one the library is never loaded.
    if (std::getenv("NOTIFY_SOCKET") == nullptr)
        return;
    // Loaded for this one call and let go again: it brings compression and crypto libraries that
    // neither the client nor the running daemon needs, and a handset pays for every page.
    void* lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return;
    }
    const auto notify = reinterpret_cast<decltype(&sd_notify)>(dlsym(lib, "sd_notify"));
    // A lost message leaves the unit starting until its time-out: say why in the journal.
    if (notify == nullptr)
        std::fprintf(stderr, "dlsym sd_notify: %s\n", dlerror());
    else if (const int r = notify(0, "READY=1"); r < 0)
        std::fprintf(stderr, "sd_notify: %s\n", std::strerror(-r));
    dlclose(lib);
}
