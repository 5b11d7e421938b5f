#include "ctl_auth.h"

#include "records.h"

#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

bool ctl_changes_state(uint32_t command)
{
    switch (command) {
    case CMD_SET_WLAN4:
    case CMD_SET_RADIO:
    case CMD_RELOAD:
    case CMD_TERMINATE:
        return true;
    default:
        return false;
    }
}

bool ctl_may_change(const ctl_peer& peer, uid_t daemon_uid, std::optional<gid_t> control_gid)
{
    if (peer.uid == 0 || peer.uid == daemon_uid)
        return true;
    if (!control_gid)
        return false;
    return peer.gid == *control_gid ||
           std::find(peer.groups.begin(), peer.groups.end(), *control_gid) != peer.groups.end();
}

bool ctl_peer_groups_known()
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return true;  // cannot tell: assume the kernel the daemon most likely runs on
    gid_t one[1];
    socklen_t len = sizeof one;
    const bool known = getsockopt(pair[0], SOL_SOCKET, SO_PEERGROUPS, one, &len) == 0 || errno != ENOPROTOOPT;
    close(pair[0]);
    close(pair[1]);
    return known;
}

const char* ctl_control_group() { return TAMROD_CONTROL_GROUP; }

std::optional<gid_t> ctl_control_gid()
{
    const long hint = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
    for (;;) {
        group entry;
        group* found = nullptr;
        const int err = getgrnam_r(TAMROD_CONTROL_GROUP, &entry, buf.data(), buf.size(), &found);
        // A group with many members needs more room than the system's hint.
        if (err == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (err != 0 || found == nullptr)
            return std::nullopt;
        return found->gr_gid;
    }
}

const char* ctl_command_name(uint32_t command)
{
    switch (command) {
    case CMD_SET_WLAN4: return "CMD_SET_WLAN4";
    case CMD_LIST: return "CMD_LIST";
    case CMD_TERMINATE: return "CMD_TERMINATE";
    case CMD_RELOAD: return "CMD_RELOAD";
    case CMD_SET_RADIO: return "CMD_SET_RADIO";
    default: return "unknown";
    }
}
