#include "mgr_post_double.h"

#include "mgr.h"

#include <cstring>
#include <utility>

namespace {
std::mutex posts_mutex;
std::vector<recorded_post> posts;
}  // namespace

void mgr_post(uint32_t type, const void* payload, uint32_t length)
{
    recorded_post p{type, length, nullptr};
    if (type == MGR_POLICY && length == sizeof(policy_list))
        std::memcpy(&p.list, payload, sizeof p.list);
    std::lock_guard lock(posts_mutex);
    posts.push_back(p);
}

std::vector<recorded_post> mgr_posts_taken()
{
    std::lock_guard lock(posts_mutex);
    return std::exchange(posts, {});
}

bool mgr_try_post(uint32_t type, const void* payload, uint32_t length)
{
    mgr_post(type, payload, length);
    return true;
}
