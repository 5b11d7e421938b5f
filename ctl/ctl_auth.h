// Who may change the daemon's state over the control socket. The daemon applies this rule to the
// credentials the socket reports for each peer, and the client to its own before it connects, so
// that both ends always agree.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>

// Whether the command changes state (servers, policy, the daemon's life). CMD_LIST and
// unknown command words do not: the listing is open to every local process.
bool ctl_changes_state(uint32_t command);

// Who is asking: the account and the groups it acts with.
struct ctl_peer {
    uid_t uid;
    gid_t gid;                       // primary group
    std::span<const gid_t> groups;   // supplementary groups, as far as they can be learnt
};

// Whether a peer may send a state-changing command: root, the daemon's own user, or a member of
// the control group through its primary group or one of its supplementary groups. Without a
// control group (it does not exist) membership grants nothing.
bool ctl_may_change(const ctl_peer& peer, uid_t daemon_uid, std::optional<gid_t> control_gid);

// Whether the kernel tells a server its peer's supplementary groups (SO_PEERGROUPS, Linux 4.13).
// Without it the daemon judges a peer by its primary group alone, and so must the client.
bool ctl_peer_groups_known();

// The control group's name, fixed when the program is built.
const char* ctl_control_group();

// The control group's id, looked up at each call so a group created later counts;
// nothing when there is no such group.
std::optional<gid_t> ctl_control_gid();

// The command's name for messages ("CMD_SET_RADIO"), or "unknown".
const char* ctl_command_name(uint32_t command);
