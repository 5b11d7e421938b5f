#include "ctl_auth.h"

#include "records.h"

#include <grp.h>
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

bool ctl_may_change(uid_t uid, gid_t gid, std::span<const gid_t> groups, uid_t daemon_uid,
                    std::optional<gid_t> control_gid)
{
    if (uid == 0 || uid == daemon_uid)
        return true;
    if (!control_gid)
        return false;
    return gid == *control_gid || std::find(groups.begin(), groups.end(), *control_gid) != groups.end();
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
