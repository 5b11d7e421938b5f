// nl80211: the event socket subscribed to the connection ("mlme") and interface ("config")
// groups, and one-off requests about the watched interface, each on a socket of its own.
#include "util.h"
#include "wl_nl80211_decode.h"
#include "wl_way.h"

#include <fcntl.h>
#include <iwlib.h>
#include <linux/nl80211.h>
#include <netlink/genl/ctrl.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/socket.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <sys/socket.h>

namespace {

// The event socket's receive buffer, as the kernel grants it (capped at net.core.rmem_max).
constexpr int kEventBuffer = 262144;

nl_sock* wl_nl_events = nullptr;
int wl_nl_family_id = -1;

uint16_t nl_family()
{
    return wl_nl_family_id < 0 ? 0 : static_cast<uint16_t>(wl_nl_family_id);
}

struct sock_free {
    void operator()(nl_sock* s) const { nl_socket_free(s); }
};
struct msg_free {
    void operator()(nl_msg* m) const { nlmsg_free(m); }
};
using sock_ptr = std::unique_ptr<nl_sock, sock_free>;
using msg_ptr = std::unique_ptr<nl_msg, msg_free>;

// libnl opens its descriptors close-on-exec where the C library can; this makes sure of it, so
// that no script inherits a netlink socket.
sock_ptr connect_socket()
{
    sock_ptr s(nl_socket_alloc());
    if (!s) {
        errno = ENOMEM;
        return nullptr;
    }
    if (genl_connect(s.get()) < 0) {
        errno = EIO;
        return nullptr;
    }
    const int fd = nl_socket_get_fd(s.get());
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0)
        return nullptr;
    return s;
}

// A dump the kernel flags as interrupted (the BSS list changed while it was being sent, so the
// associated entry may be missing) is asked again, up to this many times in all.
constexpr int kDumpAttempts = 3;

struct request_state {
    wl_decoded* out;
    unsigned ifindex;
    int error;  // positive while waiting, 0 when done, else the kernel's negative errno
    bool interrupted;
};

int on_valid(nl_msg* msg, void* arg)
{
    auto* st = static_cast<request_state*>(arg);
    const nlmsghdr* h = nlmsg_hdr(msg);
    const wl_decoded d = wl_decode_nl80211(as_bytes_of(h, h->nlmsg_len), nl_family(), {st->ifindex, {}});
    st->out->events.insert(st->out->events.end(), d.events.begin(), d.events.end());
    return NL_OK;
}

int on_done(nl_msg*, void* arg)
{
    static_cast<request_state*>(arg)->error = 0;
    return NL_STOP;
}

int on_error(sockaddr_nl*, nlmsgerr* err, void* arg)
{
    static_cast<request_state*>(arg)->error = err->error < 0 ? err->error : -EIO;
    return NL_STOP;
}

// Called for each message flagged NLM_F_DUMP_INTR; the message itself is still decoded, the
// whole dump is discarded once it ends.
int on_dump_interrupted(nl_msg*, void* arg)
{
    static_cast<request_state*>(arg)->interrupted = true;
    return NL_OK;
}

// One attempt at the request. False with errno set when it failed; interrupted is set (and
// true returned) when the kernel flagged the dump as inconsistent.
bool request_once(int family, uint8_t cmd, bool dump, unsigned ifindex, wl_decoded& out, bool& interrupted)
{
    sock_ptr s = connect_socket();
    msg_ptr m(nlmsg_alloc());
    if (!s || !m) {
        if (!m)
            errno = ENOMEM;
        return false;
    }
    if (genlmsg_put(m.get(), NL_AUTO_PORT, NL_AUTO_SEQ, family, 0, dump ? NLM_F_DUMP : 0, cmd, 0) == nullptr ||
        nla_put_u32(m.get(), NL80211_ATTR_IFINDEX, ifindex) < 0) {
        errno = ENOMEM;
        return false;
    }
    request_state st{&out, ifindex, 1, false};
    nl_socket_modify_cb(s.get(), NL_CB_VALID, NL_CB_CUSTOM, on_valid, &st);
    nl_socket_modify_cb(s.get(), NL_CB_FINISH, NL_CB_CUSTOM, on_done, &st);
    nl_socket_modify_cb(s.get(), NL_CB_ACK, NL_CB_CUSTOM, on_done, &st);
    nl_socket_modify_cb(s.get(), NL_CB_DUMP_INTR, NL_CB_CUSTOM, on_dump_interrupted, &st);
    nl_socket_modify_err_cb(s.get(), NL_CB_CUSTOM, on_error, &st);
    if (nl_send_auto(s.get(), m.get()) < 0) {
        errno = EIO;
        return false;
    }
    while (st.error > 0) {
        // libnl reports an interrupted dump after the end of the dump has already been seen.
        const int rc = nl_recvmsgs_default(s.get());
        if (rc == -NLE_DUMP_INTR)
            st.interrupted = true;
        else if (rc < 0 && st.error > 0)
            st.error = -EIO;
    }
    if (st.error != 0) {
        errno = -st.error;
        return false;
    }
    interrupted = st.interrupted;
    return true;
}

// A libnl failure, named the way perror names a failed call.
void nl_fail(const char* what, int nlerr)
{
    std::fprintf(stderr, "%s: %s\n", what, nl_geterror(nlerr));
}

// Resolves the family and subscribes a socket to its connection and interface groups.
// Refused, silently, when the kernel has no nl80211; nothing stays open unless ok.
wl_probe nl_open()
{
    sock_ptr s = connect_socket();
    if (!s) {
        perror("socket NETLINK_GENERIC");
        return wl_probe::failed;
    }
    // Every lookup is made before the socket joins a group: once it has, an event can arrive
    // in the middle of a lookup's reply and make it fail. Nothing is sent on it afterwards.
    const int family = genl_ctrl_resolve(s.get(), "nl80211");
    if (family < 0)
        return wl_probe::refused;
    const int mlme = genl_ctrl_resolve_grp(s.get(), "nl80211", "mlme");
    const int config = genl_ctrl_resolve_grp(s.get(), "nl80211", "config");
    const int rc = mlme < 0 ? mlme : config < 0 ? config : nl_socket_add_memberships(s.get(), mlme, config, 0);
    if (rc < 0) {
        nl_fail("nl80211 mlme config groups", rc);
        return wl_probe::failed;
    }
    // Connection events carry information elements: room for a burst of them, so that an
    // overrun stays rare.
    (void)nl_socket_set_buffer_size(s.get(), kEventBuffer, 0);
    wl_nl_close();
    wl_nl_events = s.release();
    wl_nl_family_id = family;
    return wl_probe::ok;
}

// Sends one request about the interface (a dump when asked) and decodes every reply. False
// after perror with the literal given; a dump the kernel flags as interrupted is asked again,
// EAGAIN when it stays so.
bool nl_request(uint8_t cmd, bool dump, unsigned ifindex, wl_decoded& out, const char* what)
{
    errno = ENODEV;
    for (int attempt = 0; ifindex != 0 && attempt < kDumpAttempts; ++attempt) {
        bool interrupted = false;
        if (!request_once(wl_nl_family_id, cmd, dump, ifindex, out, interrupted))
            break;
        if (!interrupted)
            return true;
        out.events.clear();
        errno = EAGAIN;
    }
    perror(what);
    return false;
}

template <wl_event::kind what>
const wl_event* first_of(const wl_decoded& d)
{
    for (const wl_event& ev : d.events)
        if (ev.what == what)
            return &ev;
    return nullptr;
}

constexpr char kGetInterface[] = "nl80211 GET_INTERFACE";
constexpr char kGetScan[] = "nl80211 GET_SCAN";

// Mode from the interface request, access point from the associated entry of the scan dump
// (none when no entry is).
bool nl_read_state(const wl_target& t, wl_bssid& bssid, int32_t& mode)
{
    wl_decoded iface;
    if (!nl_request(NL80211_CMD_GET_INTERFACE, false, t.index, iface, kGetInterface))
        return false;
    const wl_event* info = first_of<wl_event::kind::mode>(iface);
    wl_decoded scan;
    if (info == nullptr) {
        errno = ENODEV;
        perror(kGetInterface);
        return false;
    }
    if (!nl_request(NL80211_CMD_GET_SCAN, true, t.index, scan, kGetScan))
        return false;
    const wl_event* bss = first_of<wl_event::kind::current_bss>(scan);
    bssid = bss != nullptr ? bss->bssid : wl_bssid{};
    mode = info->mode;
    return true;
}

// The SSID element of the access point the interface is associated with (where Wireless
// Extensions take it from too), else the SSID the interface itself holds: a hidden network, or
// a scan dump that failed (the interface request still names the network it is connected to).
bool nl_read_essid(const wl_target& t, wl_essid& essid)
{
    essid.fill('\0');
    wl_decoded scan;
    wl_decoded iface;
    const bool scanned = nl_request(NL80211_CMD_GET_SCAN, true, t.index, scan, kGetScan);
    const bool asked = nl_request(NL80211_CMD_GET_INTERFACE, false, t.index, iface, kGetInterface);
    if (const auto name = wl_nl_essid(scanned ? &scan : nullptr, iface)) {
        essid = *name;
        essid.back() = '\0';
        return true;
    }
    return scanned && asked;
}

int nl_events_fd()
{
    return wl_nl_events != nullptr ? nl_socket_get_fd(wl_nl_events) : -1;
}

wl_decoded nl_decode(bytes datagram, const wl_watch& watch)
{
    return wl_decode_nl80211(datagram, nl_family(), watch);
}

}  // namespace

// nl80211 connection events carry information elements and can outgrow the buffer.
const wl_way wl_nl80211_way{nl_read_state, nl_read_essid, nl_events_fd, nl_decode, MSG_TRUNC};

wl_probe wl_nl_probe()
{
    return nl_open();
}

void wl_nl_close()
{
    nl_socket_free(wl_nl_events);
    wl_nl_events = nullptr;
    wl_nl_family_id = -1;
}
