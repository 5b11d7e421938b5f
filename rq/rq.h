// Router solicitation sender and advertisement watcher.
#pragma once

#include <cstdint>

int rq_init(const char* ifname);
int rq_start();
// Interval in milliseconds between solicitation cycles, -1 for none; burst allows fast bursts.
void rq_set(int32_t interval_ms, bool burst);
void rq_stop();
void rq_cleanup();
