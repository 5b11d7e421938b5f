// The lifetime clock as the kernel keeps boot time: monotonic time plus every suspend, which a
// test adds in an instant.
#include "doubles.h"
#include "mgr_clock.h"

#include <atomic>

namespace dbl {
namespace {
std::atomic<int64_t> slept_ns{0};
}

void suspend(std::chrono::nanoseconds length) { slept_ns += length.count(); }
}  // namespace dbl

std::chrono::nanoseconds mgr_clock_now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::chrono::seconds{ts.tv_sec} + std::chrono::nanoseconds{ts.tv_nsec} +
           std::chrono::nanoseconds{dbl::slept_ns.load()};
}
