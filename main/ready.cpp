#include "ready.h"

#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstring>

void ready_notify()
{
    // A lost message leaves the unit starting until its time-out: say why in the journal.
    if (const int r = sd_notify(0, "READY=1"); r < 0)
        std::fprintf(stderr, "sd_notify: %s\n", std::strerror(-r));
}
