// The manager: every report reaches it over one channel; it makes every decision.
#pragma once

#include "records.h"

int mgr_init(int32_t default_burst, policy_list start_list);
int mgr_start();
void mgr_stop();
void mgr_cleanup();

// Posts one message (type and fixed-size payload) into the manager's channel; any thread.
void mgr_post(uint32_t type, const void* payload, uint32_t length);

// Posts messages that belong together (the reports of one advertisement) in one write, so the
// manager reads them in one pass.
struct chan_batch;
void mgr_post_batch(const chan_batch& batch);

// Like mgr_post, but never waits: false, with nothing written, while another poster holds the
// channel or the pipe has no room. For a thread the manager may itself be waiting on.
bool mgr_try_post(uint32_t type, const void* payload, uint32_t length);
