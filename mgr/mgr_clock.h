// The manager's clock. Lifetimes are seconds of real time (RFC 8106) and handsets sleep most of
// the day, so the lifetime timer and every elapsed time run on boot time, which goes on counting
// while the device is suspended; a boot-time timer due during a sleep fires on waking.
#pragma once

#include <time.h>

#include <chrono>

inline constexpr clockid_t kLifetimeClock = CLOCK_BOOTTIME;

// Now on kLifetimeClock. A seam of its own, so tests can make a suspend pass in an instant.
std::chrono::nanoseconds mgr_clock_now();
