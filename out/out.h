// Output thread: holds the four name-server lists and the search domains, serves the control
// socket, runs the script.
#pragma once

#include "records.h"

// policy_path may be nullptr (no -c given): reload then does nothing. ifname, when given, is the
// zone of link-local servers in TAMROD_V6.
int out_init(const char* script_path, const char* policy_path, const char* ifname = nullptr);
int out_start();
void out_stop();
void out_cleanup();

// Posts one message into the output channel (OUT_WLAN6 and OUT_SEARCH from the manager, OUT_STOP
// at shut-down).
void out_post(uint32_t type, const void* payload, uint32_t length);
// Posts what the manager decided in one pass in one write, so that one run shows all of it.
struct chan_batch;
void out_post_batch(const chan_batch& batch);
