// The script runner of the output thread: one run at a time, started without copying the
// daemon's address space, watched for runs that hang. Not for other modules.
#pragma once

#include "out_request.h"

#include <sys/types.h>

#include <chrono>
#include <optional>

struct out_runner {
    bool pending = false;
    pid_t child = 0;
    std::chrono::steady_clock::time_point started{};
    bool slow_reported = false;
    std::optional<std::chrono::steady_clock::time_point> terminated;  // when SIGTERM went out
};

// What every run is given besides the daemon's own environment.
struct out_run_input {
    const out_lists& lists;
    const search_list& search;
    const pref64_list& pref64;
    const portal_uri& portal;
    const char* zone;  // interface of link-local servers, or nullptr
};

// Prepares what every run shares (the spawn attributes, the descriptors the script keeps);
// false (reported) on failure.
bool out_run_prepare(const char* script_path);
void out_run_release();

// Notes the end of a finished run.
void out_run_reap(out_runner& r);
// Starts the pending run when none is going on.
void out_run_start(out_runner& r, const out_run_input& in);
// Reports a run that takes long and ends one that hangs, so later changes still get through.
void out_run_watch(out_runner& r, std::chrono::steady_clock::time_point now);
