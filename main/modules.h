// Start-up and shut-down of the five modules in their fixed orders.
#pragma once

#include "records.h"

int modules_init(const char* ifname, int32_t default_burst, policy_list policy,
                 const char* script_path, const char* policy_path);
void modules_cleanup();
int modules_start();
void modules_stop();
