// The real lifetime clock.
#include "mgr_clock.h"

std::chrono::nanoseconds mgr_clock_now()
{
    timespec ts{};
    clock_gettime(kLifetimeClock, &ts);
    return std::chrono::seconds{ts.tv_sec} + std::chrono::nanoseconds{ts.tv_nsec};
}
