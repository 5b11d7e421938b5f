// The recording manager channel of the wireless monitor's tests.
#include "wl_monitor_fixture.h"

using namespace wm;

// Recording double of the manager channel. A closed gate holds the poster inside the post, as
// a full channel would, so a test can keep the monitor from reading its socket.
void mgr_post(uint32_t type, const void* payload, uint32_t length)
{
    std::unique_lock lock(posts_mu);
    ++held_posters;
    posts_cv.notify_all();
    posts_cv.wait(lock, [] { return !gate_closed; });
    --held_posters;
    if (type == MGR_ASSOC && length == sizeof(assoc_info) && payload != nullptr) {
        assoc_info a;
        std::memcpy(&a, payload, sizeof a);
        posts.push_back(a);
    } else {
        ++foreign_posts;
    }
    posts_cv.notify_all();
}
