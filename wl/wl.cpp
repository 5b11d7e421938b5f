// Wireless association monitor: reads the association when it starts, then follows the
// kernel's events about the watched interface and reports the association to the manager.
// Two ways serve it (wl_way.h): Wireless Extensions, whose events come inside link
// notifications, or, where the kernel refuses them on the interface (multi-link radios, drivers
// without them), nl80211 requests and its connection and interface events. wl_init picks the
// way once; both post the same record at the same moments.
// The monitor follows the interface by the index it had when last read: once that interface is
// removed, the device has left its network whatever the kernel said last, and that loss is
// posted at once. An interface that later appears under the watched name (created so, or
// renamed to it) is followed from its state then; link notifications tell both on either way.
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
#include <cstring>

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

// Follows the interface of this index (0: none) from its state now. The one followed until now
// is gone or no longer of the watched name: its network is left first.
void wl_follow(unsigned index)
{
    if (wl_index != 0 && index != wl_index) {
        wl_index = 0;
        wl_report(wl_bssid{});
    }
    wl_index = index;
    if (index != 0 && wl_read_state())
        wl_report(wl_assoc.bssid);
}

// After an overrun, events may have been dropped, a removal or a new interface among them: ask
// the kernel instead of trusting a record that may be stale.
void wl_resync()
{
    wl_follow(if_nametoindex(wl_ifname));
}

// Whether the index still names the watched interface: a removal announced for it then was not
// the link's own.
bool wl_still_named(unsigned index)
{
    std::array<char, IF_NAMESIZE> name{};
    return if_indextoname(index, name.data()) != nullptr && std::strcmp(name.data(), wl_ifname) == 0;
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
            if (ev.index == wl_index && !wl_still_named(ev.index))
                wl_follow(0);
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
wl_received wl_receive(int sock, int flags, size_t& length)
{
    const ssize_t n = recv(sock, wl_buffer.data(), wl_buffer.size(), flags);
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

// The way's own event socket, and the link notifications where they come apart from it.
struct wl_source {
    int fd = -1;
    bool links_apart = false;
    bool overran = false;
};
using wl_sources = std::array<wl_source, 2>;

// Waits on the counter and the sources; false when the counter is readable (it wins), else
// ready says which sources are.
bool wl_wait(const wl_sources& from, std::array<bool, 2>& ready)
{
    for (;;) {
        std::array<pollfd, 3> fds{{{wl_thread.counter, POLLIN, 0}, {from[0].fd, POLLIN, 0}, {from[1].fd, POLLIN, 0}}};
        if (poll(fds.data(), fds.size(), -1) <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            return false;
        for (size_t i = 0; i < ready.size(); ++i)
            ready[i] = (fds[i + 1].revents & (POLLIN | POLLERR)) != 0;
        if (ready[0] || ready[1])
            return true;
    }
}

// An overrun leaves a socket dropping every notification until its queue is empty, without a
// second error. So the driver is asked only once the queued (older) events are handled and
// the queues that overran have drained: the report then supersedes them all.
void wl_resync_when_drained(wl_sources& from)
{
    bool due = false;
    for (const wl_source& s : from) {
        if (s.overran && !wl_socket_idle(s.fd))
            return;
        due = due || s.overran;
    }
    if (!due)
        return;
    for (wl_source& s : from)
        s.overran = false;
    wl_resync();
}

// One datagram of a source, decoded and applied; false when the socket failed.
bool wl_take(wl_source& s)
{
    size_t n = 0;
    const wl_received got = wl_receive(s.fd, s.links_apart ? 0 : wl_way_now->recv_flags, n);
    if (got == wl_received::lost)
        s.overran = true;
    if (got != wl_received::datagram)
        return got != wl_received::failed;
    const bytes datagram = bytes(wl_buffer).first(n);
    const wl_watch watch{wl_index, wl_ifname};
    wl_apply(s.links_apart ? wl_decode_link(datagram, watch, kWlLinksOnly) : wl_way_now->decode(datagram, watch));
    return true;
}

void* wl_monitor(void*)
{
    block_all_signals();
    wl_post();
    const int own = wl_way_now->events_fd();
    wl_sources from{{{own}, {wl_links_fd() != own ? wl_links_fd() : -1, true}}};
    std::array<bool, 2> ready{};
    for (;;) {
        wl_resync_when_drained(from);
        if (!wl_wait(from, ready)) {
            uint64_t value;
            (void)evcount_read(wl_thread.counter, value);
            return nullptr;
        }
        for (size_t i = 0; i < from.size(); ++i)
            if (ready[i] && !wl_take(from[i]))
                return nullptr;
    }
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
        // Its events come on the nl80211 socket; the link notification socket stays for
        // removals and renames.
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
