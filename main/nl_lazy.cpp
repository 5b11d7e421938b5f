// libnl serves only the interfaces that refuse Wireless Extensions; most never need it. These
// stand-ins for the few libnl calls the nl80211 monitor makes load the library on the first of
// them, so a daemon that watches through Wireless Extensions never maps it. Linked into the
// executable only (the tests link libnl itself); with --as-needed the linker then drops libnl.
#include <dlfcn.h>
#include <netlink/genl/ctrl.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/socket.h>

#include <cstdarg>
#include <cstdio>

namespace {

// libnl-genl names libnl itself among its needs, so one handle finds the calls of both.
void* nl_library()
{
    static void* const handle = [] {
        void* h = dlopen(TAMROD_LIBNL_GENL, RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr)
            std::fprintf(stderr, "dlopen %s: %s\n", TAMROD_LIBNL_GENL, dlerror());
        return h;
    }();
    return handle;
}

// The library's own function of the same name and type, or null when it cannot be had.
template <typename F>
F* nl_real(const char* name)
{
    void* h = nl_library();
    return h == nullptr ? nullptr : reinterpret_cast<F*>(dlsym(h, name));
}

// Each stand-in looks its function up once; without the library, the call fails as libnl's own
// failures look (null, or a negative libnl error) and the caller reports it.
#define NL_REAL(name) static auto* const real = nl_real<decltype(name)>(#name)

}  // namespace

extern "C" {

nl_sock* nl_socket_alloc()
{
    NL_REAL(nl_socket_alloc);
    return real ? real() : nullptr;
}

// Freeing nothing is what every start does (the monitor closes what a former start may have
// left): it must not load the library.
void nl_socket_free(nl_sock* sk)
{
    if (sk == nullptr)
        return;
    NL_REAL(nl_socket_free);
    if (real)
        real(sk);
}

int nl_socket_get_fd(const nl_sock* sk)
{
    NL_REAL(nl_socket_get_fd);
    return real ? real(sk) : -1;
}

int nl_socket_set_buffer_size(nl_sock* sk, int rx, int tx)
{
    NL_REAL(nl_socket_set_buffer_size);
    return real ? real(sk, rx, tx) : -NLE_FAILURE;
}

int nl_socket_modify_cb(nl_sock* sk, enum nl_cb_type type, enum nl_cb_kind kind, nl_recvmsg_msg_cb_t func,
                        void* arg)
{
    NL_REAL(nl_socket_modify_cb);
    return real ? real(sk, type, kind, func, arg) : -NLE_FAILURE;
}

int nl_socket_modify_err_cb(nl_sock* sk, enum nl_cb_kind kind, nl_recvmsg_err_cb_t func, void* arg)
{
    NL_REAL(nl_socket_modify_err_cb);
    return real ? real(sk, kind, func, arg) : -NLE_FAILURE;
}

// Variadic, so it cannot be passed on as it is: each group of the zero-ended list is joined alone.
int nl_socket_add_memberships(nl_sock* sk, int group, ...)
{
    NL_REAL(nl_socket_add_membership);
    if (!real)
        return -NLE_FAILURE;
    va_list groups;
    va_start(groups, group);
    int rc = 0;
    for (; group > 0 && rc >= 0; group = va_arg(groups, int))
        rc = real(sk, group);
    va_end(groups);
    return rc;
}

int nl_send_auto(nl_sock* sk, nl_msg* msg)
{
    NL_REAL(nl_send_auto);
    return real ? real(sk, msg) : -NLE_FAILURE;
}

int nl_recvmsgs_default(nl_sock* sk)
{
    NL_REAL(nl_recvmsgs_default);
    return real ? real(sk) : -NLE_FAILURE;
}

const char* nl_geterror(int error)
{
    NL_REAL(nl_geterror);
    return real ? real(error) : "libnl not loaded";
}

nl_msg* nlmsg_alloc()
{
    NL_REAL(nlmsg_alloc);
    return real ? real() : nullptr;
}

void nlmsg_free(nl_msg* msg)
{
    if (msg == nullptr)
        return;
    NL_REAL(nlmsg_free);
    if (real)
        real(msg);
}

nlmsghdr* nlmsg_hdr(nl_msg* msg)
{
    NL_REAL(nlmsg_hdr);
    return real ? real(msg) : nullptr;
}

int nla_put_u32(nl_msg* msg, int type, uint32_t value)
{
    NL_REAL(nla_put_u32);
    return real ? real(msg, type, value) : -NLE_FAILURE;
}

int genl_connect(nl_sock* sk)
{
    NL_REAL(genl_connect);
    return real ? real(sk) : -NLE_FAILURE;
}

void* genlmsg_put(nl_msg* msg, uint32_t port, uint32_t seq, int family, int hdrlen, int flags, uint8_t cmd,
                  uint8_t version)
{
    NL_REAL(genlmsg_put);
    return real ? real(msg, port, seq, family, hdrlen, flags, cmd, version) : nullptr;
}

int genl_ctrl_resolve(nl_sock* sk, const char* name)
{
    NL_REAL(genl_ctrl_resolve);
    return real ? real(sk, name) : -NLE_FAILURE;
}

int genl_ctrl_resolve_grp(nl_sock* sk, const char* family, const char* group)
{
    NL_REAL(genl_ctrl_resolve_grp);
    return real ? real(sk, family, group) : -NLE_FAILURE;
}

}  // extern "C"
