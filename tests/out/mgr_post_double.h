// Records what the output module posts into the manager, in place of the real channel.
#pragma once

#include "records.h"

#include <cstdint>
#include <mutex>
#include <vector>

struct recorded_post {
    uint32_t type;
    uint32_t length;
    policy_list list;  // the received pointer, for MGR_POLICY of pointer width
};

std::vector<recorded_post> mgr_posts_taken();
