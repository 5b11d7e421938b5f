// Wireless Extensions: the requests that read the association, and the link notification
// socket whose messages carry the access-point and mode events.
#include "util.h"
#include "wl_way.h"

#include <iwlib.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kOldestVersion = 19;

int wl_sock = -1;
int wl_version = -1;

iwreq wext_request(const char* name)
{
    iwreq r;
    std::memset(&r, 0, sizeof r);
    if (name != nullptr)
        std::memcpy(r.ifr_name, name, std::min(std::strlen(name), sizeof r.ifr_name));
    return r;
}

int request_socket()
{
    const int s = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        perror("socket");
    return s;
}

// One request on a socket of its own; false after perror with the literal given.
bool wext_ioctl(unsigned long req, iwreq& r, const char* what)
{
    int s = request_socket();
    if (s < 0)
        return false;
    const int rc = ioctl(s, req, &r);
    if (rc < 0)
        perror(what);
    fd_close(s);
    return rc == 0;
}

bool wext_read_state(const wl_target& t, wl_bssid& bssid, int32_t& mode)
{
    iwreq ap = wext_request(t.name);
    if (!wext_ioctl(SIOCGIWAP, ap, "ioctl SIOCGIWAP"))
        return false;
    iwreq m = wext_request(t.name);
    if (!wext_ioctl(SIOCGIWMODE, m, "ioctl SIOCGIWMODE"))
        return false;
    std::memcpy(bssid.data(), ap.u.ap_addr.sa_data, bssid.size());
    mode = static_cast<int32_t>(m.u.mode);
    return true;
}

bool wext_read_essid(const wl_target& t, wl_essid& essid)
{
    int s = request_socket();
    if (s < 0)
        return false;
    essid.fill('\0');
    iwreq r = wext_request(t.name);
    r.u.essid.pointer = essid.data();
    r.u.essid.length = static_cast<uint16_t>(essid.size());
    r.u.essid.flags = 0;
    const int rc = ioctl(s, SIOCGIWESSID, &r);
    if (rc < 0)
        perror("ioctl SIOCGIWESSID");
    fd_close(s);
    // The record promises NUL-terminated text whatever the driver wrote.
    essid.back() = '\0';
    return rc == 0;
}

int wext_events_fd() { return wl_sock; }

wl_decoded wext_decode(bytes datagram, const wl_watch& watch)
{
    return wl_decode_link(datagram, watch, wl_version);
}

}  // namespace

const wl_way wl_wext_way{wext_read_state, wext_read_essid, wext_events_fd, wext_decode, 0};

bool wl_wext_open()
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

void wl_wext_close() { fd_close(wl_sock); }

int wl_links_fd() { return wl_sock; }

wl_probe wl_wext_probe(const char* name, std::span<std::byte> buffer)
{
    int s = request_socket();
    if (s < 0)
        return wl_probe::failed;
    iwreq range = wext_request(name);
    range.u.data.pointer = buffer.data();
    range.u.data.length = static_cast<uint16_t>(buffer.size());
    range.u.data.flags = 0;
    const int rc = ioctl(s, SIOCGIWRANGE, &range);
    const int err = errno;
    fd_close(s);
    if (rc < 0) {
        errno = err;
        // EOPNOTSUPP: refused on this interface (a multi-link radio, a driver without them, a
        // kernel without cfg80211's extensions); ENOTTY: a kernel without Wireless Extensions.
        if (err == EOPNOTSUPP || err == ENOTTY)
            return wl_probe::refused;
        perror("ioctl SIOCGIWRANGE");
        return wl_probe::failed;
    }
    wl_version = wl_range_version(bytes(buffer).first(std::min<size_t>(range.u.data.length, buffer.size())));
    return wl_probe::ok;
}

bool wl_wext_version_ok()
{
    if (wl_version >= kOldestVersion)
        return true;
    std::fprintf(stderr, "kernel wireless version too old (%d)\n", wl_version);
    return false;
}
