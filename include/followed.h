// The index of the watched interface as the wireless monitor follows it through removal, return
// and renaming: 0 while no interface of the watched name exists. The monitor alone writes it; the
// listener and the advertisement watcher read it for every packet instead of asking the kernel.
#pragma once

#include <atomic>

inline std::atomic<unsigned> followed_ifindex{0};
