// The held tables under real routers' habits (renumbering, several routers, refreshes in two
// reports), and the NAT64 prefixes and captive portal beside the servers.
#include "machine.h"

#include <arpa/inet.h>

namespace {

using namespace std::chrono_literals;
using namespace machine;

TEST_F(Machine, RenumberingWithAnInfiniteLifetimeKeepsEveryNewServer)
{
    to(ST_SOLICIT);
    rdnss({{1, 1800}, {2, 1800}, {3, 1800}, {4, 1800}});
    take();
    // Each new one is stored for a day, so none of them is taken for a slot about to go.
    rdnss({{5, 0xffffffffu}, {6, 0xffffffffu}, {7, 0xffffffffu}, {8, 0xffffffffu}}, 10s);
    EXPECT_EQ(take().at(2), "out [2001:db8::5 2001:db8::6 2001:db8::7 2001:db8::8]");
}

TEST_F(Machine, TwoRoutersWithSixServersLeaveTheHeldSetAlone)
{
    to(ST_SOLICIT);
    rdnss({{1, 1800}, {2, 1800}, {3, 1800}});
    rdnss({{4, 1800}, {5, 1800}, {6, 1800}}, 1s);
    take();
    for (int round = 0; round < 20; ++round) {
        rdnss({{1, 1800}, {2, 1800}, {3, 1800}}, 300s);
        rdnss({{4, 1800}, {5, 1800}, {6, 1800}}, 300s);
    }
    for (const std::string& call : take())
        EXPECT_EQ(call.rfind("out", 0), std::string::npos) << call;
    EXPECT_EQ(slot(3), "2001:db8::4");
}

TEST_F(Machine, RefreshInTwoReportsEndsWithTheSecond)
{
    to(ST_SOLICIT);
    rdnss({{1, 200}});
    dnssl({"lab.example"}, 200);
    timer(140s);
    ASSERT_EQ(mgr_sm.state, ST_REFRESH);
    rdnss({{1, 200}}, 5s);  // the domain still has 55 s: the refresh goes on
    ASSERT_EQ(mgr_sm.state, ST_REFRESH);
    take();
    dnssl({"lab.example"}, 200);
    EXPECT_EQ(take(), (calls{"arm 0 0", "rq -1 1", "arm 140 0"}));
    EXPECT_EQ(mgr_sm.state, ST_SERVERS);
}

TEST_F(Machine, DomainRunningOutWhileSolicitingIsDroppedOnTime)
{
    to(ST_ROUTER_ONLY);
    dnssl({"lab.example"}, 120);
    take();
    dbl::elapse(100s);
    assoc(net("Other", 2));  // afresh: the give-up is a minute away, the domain 20 s
    EXPECT_EQ(take(), (calls{"arm 0 0", "rq 3000 1", "arm 20 0"}));
    timer(20s);
    EXPECT_EQ(take(), (calls{"arm 0 0", "search []", "arm 40 0"}));
    timer(40s);
    EXPECT_EQ(mgr_sm.state, ST_GAVE_UP);
}

// --- NAT64 prefixes and the captive portal ---

class NetInfo : public Machine {
protected:
    void pref64(const char* text, int32_t length, uint32_t lifetime, mgr_ms elapsed = 0ms)
    {
        pref64_report r{};
        inet_pton(AF_INET6, text, &r.prefix.prefix);
        r.prefix.length = length;
        r.lifetime = lifetime;
        dbl::elapse(elapsed);
        mgr_event(MGR_PREF64, &r);
    }
    void portal(const char* uri)
    {
        portal_uri r{};
        std::strncpy(r.uri.data(), uri, r.uri.size() - 1);
        mgr_event(MGR_PORTAL, &r);
    }
};

TEST_F(NetInfo, PrefixKeptForItsLifetimeWithdrawnByZeroAndTimedWithTheServers)
{
    to(ST_SERVERS);  // a server with 1000 s left
    pref64("64:ff9b::", 96, 600);
    EXPECT_EQ(take(), (calls{"arm 0 0", "pref64 [64:ff9b::/96]", "arm 540 0"}));
    pref64("2001:db8:64::", 64, 30);  // held two minutes, like a server
    EXPECT_EQ(take(), (calls{"arm 0 0", "pref64 [64:ff9b::/96 2001:db8:64::/64]", "arm 60 0"}));
    pref64("64:ff9b::", 96, 0, 10s);  // withdrawn at once, not kept two minutes
    EXPECT_EQ(take(), (calls{"arm 0 0", "pref64 [2001:db8:64::/64]", "arm 50 0"}));
    timer(50s);  // a minute left: the refresh asks for the prefix as for a server
    EXPECT_EQ(mgr_sm.state, ST_REFRESH);
    take();
    timer(60s);
    EXPECT_EQ(take().at(2), "pref64 []");
}

TEST_F(NetInfo, LatestPortalWinsAndALossClearsEverythingInOnePass)
{
    portal("https://early.example");  // not associated: dropped
    EXPECT_EQ(take(), calls{});
    to(ST_SERVERS);
    portal("https://portal.example/api");
    portal("https://portal.example/api");  // the same again: nothing to publish
    portal("urn:ietf:params:capport:unrestricted");
    pref64("64:ff9b::", 96, 600);
    take();
    assoc(net("Open", 1, 0));
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out []", "pref64 []", "portal []"}));
}

}  // namespace
