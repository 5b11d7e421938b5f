// Output thread: holds the four name-server lists, serves the control socket, runs the script.
#pragma once

#include "records.h"

// policy_path may be nullptr (no -c given): reload then does nothing.
int out_init(const char* script_path, const char* policy_path);
int out_start();
void out_stop();
void out_cleanup();

// Posts one message into the output channel (OUT_WLAN6 from the manager, OUT_STOP at shut-down).
void out_post(uint32_t type, const void* payload, uint32_t length);

// 0 when both lists hold the same addresses in any order (duplicates counted), else 1.
int ns4_compare(const ns4_list& a, const ns4_list& b);
int ns6_compare(const ns6_list& a, const ns6_list& b);
