#include "wl_nl80211.h"

#include <fcntl.h>
#include <linux/nl80211.h>
#include <netlink/genl/ctrl.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/socket.h>

#include <cerrno>
#include <memory>

namespace {

// The event socket's receive buffer, as the kernel grants it (capped at net.core.rmem_max).
constexpr int kEventBuffer = 262144;

nl_sock* wl_nl_events = nullptr;
int wl_nl_family_id = -1;

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
    std::vector<wl_nl_event>* out;
    unsigned ifindex;
    int error;  // positive while waiting, 0 when done, else the kernel's negative errno
    bool interrupted;
};

int on_valid(nl_msg* msg, void* arg)
{
    auto* st = static_cast<request_state*>(arg);
    const nlmsghdr* h = nlmsg_hdr(msg);
    const auto events = wl_decode_nl80211(as_bytes_of(h, h->nlmsg_len), wl_nl_family(),
                                          [st] { return st->ifindex; });
    st->out->insert(st->out->end(), events.begin(), events.end());
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
bool request_once(int family, uint8_t cmd, bool dump, unsigned ifindex, std::vector<wl_nl_event>& out,
                  bool& interrupted)
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

}  // namespace

bool wl_nl_open()
{
    sock_ptr s = connect_socket();
    if (!s)
        return false;
    // Every lookup is made before the socket joins a group: once it has, an event can arrive
    // in the middle of a lookup's reply and make it fail. Nothing is sent on it afterwards.
    const int family = genl_ctrl_resolve(s.get(), "nl80211");
    if (family < 0)
        return false;
    const int mlme = genl_ctrl_resolve_grp(s.get(), "nl80211", "mlme");
    const int config = genl_ctrl_resolve_grp(s.get(), "nl80211", "config");
    if (mlme < 0 || config < 0 || nl_socket_add_memberships(s.get(), mlme, config, 0) < 0)
        return false;
    // Connection events carry information elements: room for a burst of them, so that an
    // overrun stays rare.
    (void)nl_socket_set_buffer_size(s.get(), kEventBuffer, 0);
    wl_nl_close();
    wl_nl_events = s.release();
    wl_nl_family_id = family;
    return true;
}

void wl_nl_close()
{
    nl_socket_free(wl_nl_events);
    wl_nl_events = nullptr;
    wl_nl_family_id = -1;
}

int wl_nl_fd()
{
    return wl_nl_events != nullptr ? nl_socket_get_fd(wl_nl_events) : -1;
}

uint16_t wl_nl_family()
{
    return wl_nl_family_id < 0 ? 0 : static_cast<uint16_t>(wl_nl_family_id);
}

bool wl_nl_request(uint8_t cmd, bool dump, unsigned ifindex, std::vector<wl_nl_event>& out)
{
    if (wl_nl_family_id < 0) {
        errno = ENOENT;
        return false;
    }
    const size_t kept = out.size();
    for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
        bool interrupted = false;
        if (!request_once(wl_nl_family_id, cmd, dump, ifindex, out, interrupted))
            return false;
        if (!interrupted)
            return true;
        out.resize(kept);
    }
    errno = EAGAIN;
    return false;
}
