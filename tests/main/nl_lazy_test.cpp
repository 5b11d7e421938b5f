// The executable's libnl stand-ins: nothing of libnl is mapped until the first call, and then the
// calls the nl80211 monitor makes reach the library, the variadic group join included. Asks the
// generic netlink controller, which every kernel with generic netlink has.
#include <netlink/genl/ctrl.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>
#include <netlink/socket.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

bool libnl_mapped()
{
    std::ifstream maps("/proc/self/maps");
    std::stringstream all;
    all << maps.rdbuf();
    return all.str().find("libnl-") != std::string::npos;
}

int count_reply(nl_msg* msg, void* arg)
{
    *static_cast<int*>(arg) += nlmsg_hdr(msg) != nullptr;
    return NL_OK;
}

TEST(NlLazy, LoadsOnFirstCallAndForwards)
{
    nl_socket_free(nullptr);  // as every start of the monitor does
    EXPECT_FALSE(libnl_mapped()) << "libnl loaded before it was needed";
    nl_sock* sk = nl_socket_alloc();
    ASSERT_NE(sk, nullptr);
    EXPECT_TRUE(libnl_mapped());
    ASSERT_EQ(genl_connect(sk), 0);
    EXPECT_GE(nl_socket_get_fd(sk), 0);
    const int family = genl_ctrl_resolve(sk, "nlctrl");
    ASSERT_GT(family, 0) << nl_geterror(family);
    const int notify = genl_ctrl_resolve_grp(sk, "nlctrl", "notify");
    ASSERT_GT(notify, 0) << nl_geterror(notify);
    EXPECT_EQ(nl_socket_add_memberships(sk, notify, 0), 0);
    EXPECT_LT(nl_socket_add_memberships(sk, notify, 4096, 0), 0) << "a bad group after a good one";

    int replies = 0;
    nl_msg* msg = nlmsg_alloc();
    ASSERT_NE(genlmsg_put(msg, NL_AUTO_PORT, NL_AUTO_SEQ, family, 0, 0, CTRL_CMD_GETFAMILY, 1), nullptr);
    EXPECT_EQ(nla_put_u32(msg, CTRL_ATTR_FAMILY_ID, static_cast<uint32_t>(family)), 0);
    nl_socket_modify_cb(sk, NL_CB_VALID, NL_CB_CUSTOM, count_reply, &replies);
    ASSERT_GE(nl_send_auto(sk, msg), 0);
    EXPECT_EQ(nl_recvmsgs_default(sk), 0);
    EXPECT_EQ(replies, 1) << "the controller describes itself";
    nlmsg_free(msg);
    nl_socket_free(sk);
}

}  // namespace
