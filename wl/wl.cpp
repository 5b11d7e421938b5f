// Wireless association monitor: reads the association with Wireless Extensions requests at
// start, then follows the access-point events that the kernel sends in link notifications.
// Where the kernel refuses Wireless Extensions on the interface (multi-link radios, drivers
// without them), the same facts come from nl80211: requests at start, then its connection and
// interface events. Both ways post the same record at the same moments.
#include "wl.h"

#include "mgr.h"
#include "util.h"
#include "wl_decode.h"
#include "wl_nl80211.h"

#include <iwlib.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

constexpr size_t kBufferSize = 8192;
constexpr int32_t kModeUnknown = -1;

assoc_info wl_assoc{};
int32_t wl_mode = kModeUnknown;
int32_t wl_version = -1;
char* wl_ifname = nullptr;
int wl_counter = -1;
int wl_sock = -1;
pthread_t wl_thread;
bool wl_thread_running = false;
// Set when wl_init found the interface served by nl80211 instead of Wireless Extensions.
bool wl_nl = false;
// Serves the range query in wl_init first, the monitor's receives afterwards.
alignas(8) std::array<std::byte, kBufferSize> wl_buffer;

iwreq wl_request()
{
    iwreq r;
    std::memset(&r, 0, sizeof r);
    if (wl_ifname != nullptr)
        std::memcpy(r.ifr_name, wl_ifname, std::min(std::strlen(wl_ifname), sizeof r.ifr_name));
    return r;
}

int wl_request_socket()
{
    const int s = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        perror("socket");
    return s;
}

// The network's name over nl80211: the SSID element of the access point the interface is
// associated with (where Wireless Extensions take it from too), else the SSID the interface
// itself holds (a hidden network). On failure the field stays cleared.
int wl_nl_read_essid()
{
    wl_assoc.essid.fill('\0');
    const unsigned index = if_nametoindex(wl_ifname);
    for (const auto& [cmd, dump, name, from] :
         {std::tuple{NL80211_CMD_GET_SCAN, true, "nl80211 GET_SCAN", wl_nl_event::kind::current_bss},
          std::tuple{NL80211_CMD_GET_INTERFACE, false, "nl80211 GET_INTERFACE", wl_nl_event::kind::mode}}) {
        std::vector<wl_nl_event> replies;
        if (!wl_nl_request(cmd, dump, index, replies)) {
            perror(name);
            return -1;
        }
        for (const wl_nl_event& ev : replies)
            if (ev.what == from && ev.has_essid) {
                wl_assoc.essid = ev.essid;
                wl_assoc.essid.back() = '\0';
                return 0;
            }
    }
    return 0;
}

// Reads the ESSID into the record; on failure the field stays cleared.
int wl_read_essid()
{
    if (wl_nl)
        return wl_nl_read_essid();
    int s = wl_request_socket();
    if (s < 0)
        return -1;
    wl_assoc.essid.fill('\0');
    iwreq r = wl_request();
    r.u.essid.pointer = wl_assoc.essid.data();
    r.u.essid.length = static_cast<uint16_t>(wl_assoc.essid.size());
    r.u.essid.flags = 0;
    const int rc = ioctl(s, SIOCGIWESSID, &r);
    if (rc < 0)
        perror("ioctl SIOCGIWESSID");
    fd_close(s);
    // The record promises NUL-terminated text whatever the driver wrote.
    wl_assoc.essid.back() = '\0';
    return rc < 0 ? -1 : 0;
}

void wl_set_bssid(const wl_bssid& bssid)
{
    wl_assoc.bssid = bssid;
    wl_assoc.associated = wl_bssid_valid(bssid) ? 1 : 0;
}

// Access point and mode from the driver; false after reporting the request that failed.
bool wl_read_ap_mode(int s)
{
    iwreq ap = wl_request();
    if (ioctl(s, SIOCGIWAP, &ap) < 0) {
        perror("ioctl SIOCGIWAP");
        return false;
    }
    wl_bssid bssid;
    std::memcpy(bssid.data(), ap.u.ap_addr.sa_data, bssid.size());
    wl_set_bssid(bssid);

    iwreq mode = wl_request();
    if (ioctl(s, SIOCGIWMODE, &mode) < 0) {
        perror("ioctl SIOCGIWMODE");
        return false;
    }
    wl_mode = static_cast<int32_t>(mode.u.mode);
    return true;
}

// Mode (GET_INTERFACE) and access point (the associated entry of the GET_SCAN dump, none when
// no entry is) over nl80211. False with errno set and the failed request named.
bool wl_nl_read_ap_mode(const char*& failed)
{
    const unsigned index = if_nametoindex(wl_ifname);
    std::vector<wl_nl_event> replies;
    failed = "nl80211 GET_INTERFACE";
    if (index == 0 || !wl_nl_request(NL80211_CMD_GET_INTERFACE, false, index, replies)) {
        if (index == 0)
            errno = ENODEV;
        return false;
    }
    const auto iface = std::find_if(replies.begin(), replies.end(),
                                    [](const wl_nl_event& ev) { return ev.what == wl_nl_event::kind::mode; });
    if (iface == replies.end()) {
        errno = ENODEV;
        return false;
    }
    const int32_t mode = iface->mode;
    replies.clear();
    failed = "nl80211 GET_SCAN";
    if (!wl_nl_request(NL80211_CMD_GET_SCAN, true, index, replies))
        return false;
    wl_bssid bssid{};
    for (const wl_nl_event& ev : replies)
        if (ev.what == wl_nl_event::kind::current_bss) {
            bssid = ev.bssid;
            break;
        }
    wl_set_bssid(bssid);
    wl_mode = mode;
    return true;
}

// After the BSSID has been stored: name the network, apply the mode, tell the manager.
void wl_report_access_point()
{
    if (wl_assoc.associated)
        (void)wl_read_essid();
    if (wl_mode != IW_MODE_INFRA)
        wl_assoc.associated = 0;
    mgr_post(MGR_ASSOC, &wl_assoc, sizeof wl_assoc);
}

// After an overrun, access-point events may have been dropped: ask the driver instead of
// trusting a record that may be stale.
void wl_resync()
{
    if (wl_nl) {
        const char* failed = nullptr;
        if (wl_nl_read_ap_mode(failed))
            wl_report_access_point();
        else
            perror(failed);
        return;
    }
    int s = wl_request_socket();
    if (s < 0)
        return;
    const bool ok = wl_read_ap_mode(s);
    fd_close(s);
    if (ok)
        wl_report_access_point();
}

bool wl_socket_idle(int sock)
{
    pollfd pfd{sock, POLLIN, 0};
    return poll(&pfd, 1, 0) == 0;
}

// A mode event sets the mode; an access-point event records and reports the new access point.
// Other kinds (a scan entry) change nothing. Both decoders' events name these kinds alike.
template <typename Event>
void wl_apply(const std::vector<Event>& events)
{
    for (const Event& ev : events) {
        if (ev.what == Event::kind::mode) {
            wl_mode = ev.mode;
        } else if (ev.what == Event::kind::access_point) {
            wl_set_bssid(ev.bssid);
            wl_report_access_point();
        }
    }
}

void wl_handle_link(bytes datagram)
{
    wl_apply(wl_decode_link(datagram, [] { return if_nametoindex(wl_ifname); }, wl_version));
}

// Interface changes update the mode, like a mode event; connection events are access-point
// events. Scan entries are never multicast on the groups the socket joined.
void wl_handle_nl80211(bytes datagram)
{
    wl_apply(wl_decode_nl80211(datagram, wl_nl_family(), [] { return if_nametoindex(wl_ifname); }));
}

void* wl_monitor(void*)
{
    block_all_signals();
    mgr_post(MGR_ASSOC, &wl_assoc, sizeof wl_assoc);
    const int sock = wl_nl ? wl_nl_fd() : wl_sock;
    bool resync_due = false;
    for (;;) {
        // An overrun leaves the socket dropping every notification until its queue is empty,
        // without a second error. So the driver is asked only once the queued (older) events
        // are handled and the queue has drained: the report then supersedes them all.
        if (resync_due && wl_socket_idle(sock)) {
            resync_due = false;
            wl_resync();
        }
        if (wait_counter_or_socket(wl_counter, sock)) {
            uint64_t value;
            (void)evcount_read(wl_counter, value);
            break;
        }
        // nl80211 connection events carry information elements and can outgrow the buffer:
        // MSG_TRUNC gives such a datagram's full length, so that its loss is noticed.
        const ssize_t n = recv(sock, wl_buffer.data(), wl_buffer.size(), wl_nl ? MSG_TRUNC : 0);
        if (n < 0) {
            const int err = errno;
            perror("recv");
            // ENOBUFS only says notifications were lost; the socket itself still works.
            if (err != ENOBUFS)
                break;
            resync_due = true;
            continue;
        }
        if (static_cast<size_t>(n) > wl_buffer.size()) {
            std::fprintf(stderr, "nl80211 event of %zd bytes cut; reading the state again\n", n);
            resync_due = true;
            continue;
        }
        const bytes datagram(wl_buffer.data(), static_cast<size_t>(n));
        if (wl_nl)
            wl_handle_nl80211(datagram);
        else
            wl_handle_link(datagram);
    }
    return nullptr;
}

int wl_fail()
{
    wl_cleanup();
    return -1;
}

// Wireless Extensions were refused: follow the interface over nl80211 if the kernel serves it
// there. Silent when it does not, so that the caller reports the refusal as it always has.
bool wl_nl_init()
{
    if (!wl_nl_open())
        return false;
    const char* failed = nullptr;
    if (!wl_nl_read_ap_mode(failed)) {
        wl_nl_close();
        return false;
    }
    // Its events come on the nl80211 socket; link notifications are of no use here.
    fd_close(wl_sock);
    wl_nl = true;
    return true;
}

// The link notification socket, bound to the link group; false after its diagnostic.
bool wl_open_link_socket()
{
    if (wl_sock >= 0)
        return true;
    wl_sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (wl_sock < 0) {
        perror("socket PF_NETLINK NETLINK_ROUTE");
        return false;
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = 0;
    addr.nl_groups = RTMGRP_LINK;
    if (bind(wl_sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        perror("bind PF_NETLINK");
        return false;
    }
    return true;
}

}  // namespace

int wl_init(const char* ifname)
{
    // A former init may have left the interface on nl80211: this one decides afresh.
    wl_nl_close();
    wl_nl = false;
    if (!str_store(wl_ifname, ifname))
        return wl_fail();
    if (!evcount_open(wl_counter))
        return wl_fail();
    if (!wl_open_link_socket())
        return wl_fail();

    int s = wl_request_socket();
    if (s < 0)
        return wl_fail();
    iwreq range = wl_request();
    range.u.data.pointer = wl_buffer.data();
    range.u.data.length = static_cast<uint16_t>(wl_buffer.size());
    range.u.data.flags = 0;
    if (ioctl(s, SIOCGIWRANGE, &range) < 0) {
        const int err = errno;
        fd_close(s);
        // EOPNOTSUPP: refused on this interface (a multi-link radio, a driver without them, a
        // kernel without cfg80211's extensions); ENOTTY: a kernel without Wireless Extensions.
        if ((err == EOPNOTSUPP || err == ENOTTY) && wl_nl_init()) {
            if (wl_assoc.associated && wl_read_essid() != 0)
                return wl_fail();
            if (wl_mode != IW_MODE_INFRA)
                wl_assoc.associated = 0;
            return 0;
        }
        errno = err;
        perror("ioctl SIOCGIWRANGE");
        return wl_fail();
    }
    wl_version = wl_range_version(bytes(wl_buffer).first(std::min<size_t>(range.u.data.length, kBufferSize)));
    const bool ok = wl_read_ap_mode(s);
    fd_close(s);
    if (!ok)
        return wl_fail();

    if (wl_assoc.associated && wl_read_essid() != 0)
        return wl_fail();
    if (wl_version <= 18) {
        std::fprintf(stderr, "kernel wireless version too old (%d)\n", wl_version);
        return wl_fail();
    }
    if (wl_mode != IW_MODE_INFRA)
        wl_assoc.associated = 0;
    return 0;
}

int wl_start()
{
    if (!thread_start(wl_thread, wl_monitor))
        return -1;
    wl_thread_running = true;
    return 0;
}

void wl_stop()
{
    evcount_write(wl_counter, 1);
    if (wl_thread_running) {
        pthread_join(wl_thread, nullptr);
        wl_thread_running = false;
    }
}

void wl_cleanup()
{
    fd_close(wl_counter);
    fd_close(wl_sock);
    wl_nl_close();
    wl_nl = false;
    str_free(wl_ifname);
    wl_mode = kModeUnknown;
}
