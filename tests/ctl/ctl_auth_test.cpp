// The rule that decides who may change the daemon's state, shared by the client and the daemon.
#include "ctl_auth.h"
#include "records.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uid_t kDaemon = 120;
constexpr gid_t kControl = 108;

TEST(CtlAuth, RootTheDaemonsUserAndControlGroupMembersOnly)
{
    const std::vector<gid_t> none;
    const std::vector<gid_t> member{100, kControl};
    const std::vector<gid_t> other{100, 65534};

    EXPECT_TRUE(ctl_may_change({0, 0, none}, kDaemon, kControl));
    EXPECT_TRUE(ctl_may_change({kDaemon, 65534, none}, kDaemon, kControl));
    EXPECT_TRUE(ctl_may_change({1000, 1000, member}, kDaemon, kControl)) << "by a supplementary group";
    EXPECT_TRUE(ctl_may_change({1000, kControl, none}, kDaemon, kControl)) << "by the primary group";

    EXPECT_FALSE(ctl_may_change({1000, 1000, other}, kDaemon, kControl));
    EXPECT_FALSE(ctl_may_change({65534, 65534, none}, kDaemon, kControl));
    // A control group that does not exist grants nothing, whatever groups the peer has.
    EXPECT_FALSE(ctl_may_change({1000, kControl, member}, kDaemon, std::nullopt));
    EXPECT_TRUE(ctl_may_change({kDaemon, 1000, none}, kDaemon, std::nullopt));

    for (uint32_t cmd : {CMD_SET_WLAN4, CMD_SET_RADIO, CMD_RELOAD, CMD_TERMINATE})
        EXPECT_TRUE(ctl_changes_state(cmd)) << ctl_command_name(cmd);
    for (uint32_t cmd : {uint32_t{CMD_LIST}, 0u, 1u, 7u, 0xffffffffu})
        EXPECT_FALSE(ctl_changes_state(cmd)) << cmd;
}

}  // namespace
