// Wireless association monitor: reads the association when it starts, then follows the
// kernel's events about the watched interface and reports the association to the manager.
// Two ways serve it (wl_way.h): Wireless Extensions, whose events come inside link
// notifications, or, where the kernel refuses them on the interface (multi-link radios, drivers
// without them), nl80211 requests and its connection and interface events. wl_init picks the
// way once; both post the same record at the same moments.
// The monitor follows the interface by the index it had when last read: once that interface is
// removed, the device has left its network whatever the kernel said last, and that loss is
// posted at once. An interface that later appears under the watched name is followed from its
// state then.
#include "wl.h"

#include "followed.h"
#include "mgr.h"
#include "util.h"
#include "wl_way.h"

#include <iwlib.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdio>

namespace {

constexpr size_t kBufferSize = 8192;
constexpr int32_t kModeUnknown = -1;
// Any value ends the monitor; this is the one wl_stop writes.
constexpr uint64_t kStopValue = 1;

assoc_info wl_assoc{};
int32_t wl_mode = kModeUnknown;
char* wl_ifname = nullptr;
// The index of the interface followed; 0 while none of the watched name exists. Shared: the other
// reporters take it from here.
std::atomic<unsigned>& wl_index = followed_ifindex;
module_thread wl_thread;
const wl_way* wl_way_now = nullptr;
// Serves the range query in wl_init first, the monitor's receives afterwards.
alignas(8) std::array<std::byte, kBufferSize> wl_buffer;

wl_target wl_watched()
{
    return {wl_ifname, wl_index};
}

void wl_set_bssid(const wl_bssid& bssid)
{
    wl_assoc.bssid = bssid;
    wl_assoc.associated = wl_bssid_valid(bssid) ? 1 : 0;
}

// Access point and mode from the driver into the record; false after the failed request's line.
bool wl_read_state()
{
    wl_bssid bssid;
    int32_t mode;
    if (!wl_way_now->read_state(wl_watched(), bssid, mode))
        return false;
    wl_set_bssid(bssid);
    wl_mode = mode;
    return true;
}

// After the access point has been stored: associated, so name the network; not a managed
// station, so not associated. False when the name could not be read.
bool wl_settle()
{
    const bool named = !wl_assoc.associated || wl_way_now->read_essid(wl_watched(), wl_assoc.essid);
    if (wl_mode != IW_MODE_INFRA)
        wl_assoc.associated = 0;
    return named;
}

void wl_post()
{
    mgr_post(MGR_ASSOC, &wl_assoc, sizeof wl_assoc);
}

// An access point reported by the kernel: every one is posted, changed or not.
void wl_report(const wl_bssid& bssid)
{
    wl_set_bssid(bssid);
    (void)wl_settle();
    wl_post();
}

// Follows the interface of this index (0: none) from its state now.
void wl_follow(unsigned index)
{
    wl_index = index;
    if (index != 0 && wl_read_state())
        wl_report(wl_assoc.bssid);
}

// After an overrun, events may have been dropped, a removal or a new interface among them: ask
// the kernel instead of trusting a record that may be stale.
void wl_resync()
{
    const unsigned index = if_nametoindex(wl_ifname);
    if (index == 0 && wl_index != 0)
        wl_report(wl_bssid{});
    wl_follow(index);
}

// A mode event sets the mode, an access-point event is reported, the followed interface's
// removal is a loss of association, and a new interface of the watched name is followed. A
// scan entry changes nothing: only requests are answered with them.
void wl_apply(const wl_decoded& decoded)
{
    for (const wl_event& ev : decoded.events) {
        switch (ev.what) {
        case wl_event::kind::mode:
            wl_mode = ev.mode;
            break;
        case wl_event::kind::access_point:
            wl_report(ev.bssid);
            break;
        case wl_event::kind::gone:
            wl_index = 0;
            wl_report(wl_bssid{});
            break;
        case wl_event::kind::appeared:
            wl_follow(ev.index);
            break;
        case wl_event::kind::current_bss:
            break;
        }
    }
}

bool wl_socket_idle(int sock)
{
    pollfd pfd{sock, POLLIN, 0};
    return poll(&pfd, 1, 0) == 0;
}

enum class wl_received : uint8_t { datagram, lost, failed };

// One datagram into the buffer; lost when the kernel dropped notifications or cut this one.
wl_received wl_receive(int sock, size_t& length)
{
    const ssize_t n = recv(sock, wl_buffer.data(), wl_buffer.size(), wl_way_now->recv_flags);
    if (n < 0) {
        const int err = errno;
        perror("recv");
        // ENOBUFS only says notifications were lost; the socket itself still works.
        return err == ENOBUFS ? wl_received::lost : wl_received::failed;
    }
    if (static_cast<size_t>(n) > wl_buffer.size()) {
        std::fprintf(stderr, "nl80211 event of %zd bytes cut; reading the state again\n", n);
        return wl_received::lost;
    }
    length = static_cast<size_t>(n);
    return wl_received::datagram;
}

void* wl_monitor(void*)
{
    block_all_signals();
    wl_post();
    const int sock = wl_way_now->events_fd();
    bool resync_due = false;
    for (;;) {
        // An overrun leaves the socket dropping every notification until its queue is empty,
        // without a second error. So the driver is asked only once the queued (older) events
        // are handled and the queue has drained: the report then supersedes them all.
        if (resync_due && wl_socket_idle(sock)) {
            resync_due = false;
            wl_resync();
        }
        if (wait_counter_or_socket(wl_thread.counter, sock)) {
            uint64_t value;
            (void)evcount_read(wl_thread.counter, value);
            break;
        }
        size_t n = 0;
        const wl_received got = wl_receive(sock, n);
        if (got == wl_received::failed)
            break;
        if (got == wl_received::lost)
            resync_due = true;
        else
            wl_apply(wl_way_now->decode(bytes(wl_buffer).first(n), {wl_index, wl_ifname}));
    }
    return nullptr;
}

int wl_fail()
{
    wl_cleanup();
    return -1;
}

// Wireless Extensions where the kernel serves them on the interface, else nl80211; nullptr
// after the failure has been reported.
const wl_way* wl_choose_way()
{
    switch (wl_wext_probe(wl_ifname, wl_buffer)) {
    case wl_probe::ok:
        return &wl_wext_way;
    case wl_probe::failed:
        return nullptr;
    case wl_probe::refused:
        break;
    }
    const int refusal = errno;
    switch (wl_nl_probe()) {
    case wl_probe::ok:
        // Its events come on the nl80211 socket; link notifications are of no use here.
        wl_wext_close();
        return &wl_nl80211_way;
    case wl_probe::failed:
        return nullptr;
    case wl_probe::refused:
        break;
    }
    errno = refusal;
    perror("ioctl SIOCGIWRANGE");
    return nullptr;
}

}  // namespace

int wl_init(const char* ifname)
{
    // A former init may have left the interface on nl80211: this one decides afresh.
    wl_nl_close();
    wl_way_now = nullptr;
    if (!str_store(wl_ifname, ifname) || !module_thread_open(wl_thread) || !wl_wext_open())
        return wl_fail();
    wl_index = if_nametoindex(wl_ifname);
    wl_way_now = wl_choose_way();
    if (wl_way_now == nullptr || !wl_read_state() || !wl_settle())
        return wl_fail();
    if (wl_way_now == &wl_wext_way && !wl_wext_version_ok())
        return wl_fail();
    return 0;
}

int wl_start()
{
    return module_thread_start(wl_thread, wl_monitor) ? 0 : -1;
}

void wl_stop()
{
    module_thread_stop(wl_thread, kStopValue);
}

void wl_cleanup()
{
    module_thread_close(wl_thread);
    wl_wext_close();
    wl_nl_close();
    wl_way_now = nullptr;
    str_free(wl_ifname);
    wl_index = 0;
    wl_mode = kModeUnknown;
}
