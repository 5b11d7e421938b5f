// The discovery state machine alone: every outgoing call goes to a recording double, and the
// timer double hands back the elapsed times each case scripts.
#include "machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace machine;

// --- association reports ---

TEST_F(Machine, UsableAssociationStartsDiscoveryAfreshFromEveryStateWithoutServers)
{
    for (auto s : {ST_IDLE, ST_SOLICIT, ST_ROUTER_ONLY, ST_GAVE_UP}) {
        SCOPED_TRACE(s);
        begin(1, nullptr);
        to(s);
        assoc(net("Other", 9));
        EXPECT_EQ(take(), (calls{"rq 3000 1", "arm 60 0"}));
        EXPECT_EQ(mgr_sm.state, ST_SOLICIT);
    }
}

TEST_F(Machine, UnusableAssociationStopsEverythingAndEmptiesTheTable)
{
    policy_entry forbid = entry("LabNet", -1);
    for (bool by_policy : {false, true}) {
        for (auto s : kAllStates) {
            SCOPED_TRACE(testing::Message() << "state " << s << (by_policy ? " disabled entry" : " not associated"));
            begin(1, &forbid);
            to(s, net("Open"));  // reached on a network the policy allows
            assoc(by_policy ? net("LabNet") : net("Open", 1, 0));
            calls want;
            if (s != ST_IDLE)
                want = {"rq -1 1", "arm 0 0"};
            if (s == ST_SERVERS || s == ST_REFRESH)
                want.push_back("out []");
            EXPECT_EQ(take(), want);
            EXPECT_EQ(mgr_sm.state, ST_IDLE);
            EXPECT_EQ(held(), 0);
        }
    }
}

TEST_F(Machine, BurstFlagComesFromTheFirstMatchingEntryElseTheDefault)
{
    policy_entry by_bssid{};  // "+ 02:00:00:00:00:07 1"
    by_bssid.flags = POLICY_ANY_SSID;
    by_bssid.burst = 1;
    by_bssid.bssid = {0x02, 0, 0, 0, 0, 7};
    policy_entry quiet = entry("Quiet", 0, &by_bssid);

    begin(1, &quiet);
    assoc(net("Quiet"));
    EXPECT_EQ(take(), (calls{"rq 3000 0", "arm 60 0"}));
    assoc(net("quiet"));  // case matters
    EXPECT_EQ(take(), (calls{"rq 3000 1", "arm 60 0"}));

    begin(0, &quiet);  // -B: no bursts by default
    assoc(net("Other", 7));
    EXPECT_EQ(take(), (calls{"rq 3000 1", "arm 60 0"}));
    assoc(net("Other", 8));
    EXPECT_EQ(take(), (calls{"rq 3000 0", "arm 60 0"}));

    // A disabled entry that matches first wins over a later one that allows bursts.
    policy_entry allow = entry("Quiet", 1);
    policy_entry forbid = entry("Quiet", -1, &allow);
    begin(1, &forbid);
    assoc(net("Quiet"));
    EXPECT_EQ(take(), calls{});
    EXPECT_EQ(mgr_sm.state, ST_IDLE);
    EXPECT_EQ(mgr_sm.current_burst, 1);
}

TEST_F(Machine, UsableAssociationWhileServersAreHeldOnlyChangesTheBurstFlag)
{
    policy_entry quiet = entry("Quiet", 0);
    for (auto s : {ST_SERVERS, ST_REFRESH}) {
        SCOPED_TRACE(s);
        begin(1, &quiet);
        to(s);
        const auto table = mgr_sm.server_table;
        assoc(net("Quiet", 5));
        EXPECT_EQ(take(), calls{});
        EXPECT_EQ(mgr_sm.state, s);
        EXPECT_EQ(std::memcmp(&table, &mgr_sm.server_table, sizeof table), 0);
        // The next rq_set carries the new flag.
        if (s == ST_SERVERS) {
            timer(940s);
            EXPECT_EQ(take().at(0), "rq -1 0");
        } else {
            rs(10);
            EXPECT_EQ(take(), calls{"rq 6000 0"});
        }
    }
}

// --- solicitation cycles and advertisements ---

TEST_F(Machine, TenthCycleSlowsSolicitingOncePerEntryIntoTheState)
{
    to(ST_SOLICIT);
    rs(9);
    EXPECT_EQ(take(), calls{});
    rs();
    EXPECT_EQ(take(), calls{"rq 6000 1"});
    rs(30);
    EXPECT_EQ(take(), calls{});
    assoc(net());  // afresh: the count starts again
    take();
    rs(9);
    EXPECT_EQ(take(), calls{});
    rs();
    EXPECT_EQ(take(), calls{"rq 6000 1"});

    // Entering the refresh starts the count again, whatever was counted while soliciting.
    begin(1, nullptr);
    assoc(net());
    rs(5);
    rdnss({{1, 120}});
    timer(60s);
    ASSERT_EQ(mgr_sm.state, ST_REFRESH);
    take();
    rs(9);
    EXPECT_EQ(take(), calls{});
    rs(5);
    EXPECT_EQ(take(), calls{"rq 6000 1"});
}

TEST_F(Machine, CyclesAndAdvertisementsAreIgnoredWhereTheyMeanNothing)
{
    for (auto s : {ST_IDLE, ST_ROUTER_ONLY, ST_GAVE_UP, ST_SERVERS, ST_REFRESH}) {
        SCOPED_TRACE(s);
        begin(1, nullptr);
        to(s);
        if (s != ST_REFRESH)
            rs(12);
        ra();
        EXPECT_EQ(take(), calls{});
        EXPECT_EQ(mgr_sm.state, s);
    }
}

TEST_F(Machine, AdvertisementWhileSolicitingSlowsToRouterOnly)
{
    to(ST_SOLICIT);
    ra();
    EXPECT_EQ(take(), (calls{"rq 600000 1", "arm 0 0"}));
    EXPECT_EQ(mgr_sm.state, ST_ROUTER_ONLY);
}

// --- timer expiry ---

TEST_F(Machine, NoAnswerWithinAMinuteGivesUpYetALaterReportIsTaken)
{
    to(ST_SOLICIT);
    timer(60s);
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0"}));
    EXPECT_EQ(mgr_sm.state, ST_GAVE_UP);
    rdnss({{1, 1000}});
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out [2001:db8::1]", "arm 940 0"}));
    EXPECT_EQ(mgr_sm.state, ST_SERVERS);
}

TEST_F(Machine, TimerIsIgnoredWhereNothingIsArmed)
{
    for (auto s : {ST_IDLE, ST_ROUTER_ONLY, ST_GAVE_UP}) {
        SCOPED_TRACE(s);
        begin(1, nullptr);
        to(s);
        timer();
        EXPECT_EQ(take(), calls{});
        EXPECT_EQ(mgr_sm.state, s);
    }
}

// --- RDNSS reports, lifetimes and the table ---

TEST_F(Machine, ReportIsDroppedWhenIdleAndTakenInEveryOtherState)
{
    rdnss({{1, 1000}});
    EXPECT_EQ(take(), calls{});
    EXPECT_EQ(held(), 0);
    for (auto s : {ST_SOLICIT, ST_ROUTER_ONLY, ST_GAVE_UP}) {
        SCOPED_TRACE(s);
        begin(1, nullptr);
        to(s);
        rdnss({{1, 1000}, {2, 2000}});
        EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out [2001:db8::1 2001:db8::2]", "arm 940 0"}));
        EXPECT_EQ(mgr_sm.state, ST_SERVERS);
    }
}

TEST_F(Machine, ShortLifetimeIsHeldTwoMinutesThenRefreshedOrDropped)
{
    to(ST_SOLICIT);
    rdnss({{1, 30}});
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out [2001:db8::1]", "arm 60 0"}));
    timer(60s);  // 60 s left, not above 60: ask for a refresh, armed for the full rest
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "rq 3000 1", "arm 60 0"}));
    EXPECT_EQ(mgr_sm.state, ST_REFRESH);

    rdnss({{1, 30}}, 25300ms);  // refreshed in time: held 120 s again, nothing to publish
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "arm 60 0"}));
    EXPECT_EQ(mgr_sm.state, ST_SERVERS);

    timer(60s);
    take();
    timer(60s);  // nobody refreshed it: it expires at exactly zero
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out []", "rq 600000 1"}));
    EXPECT_EQ(mgr_sm.state, ST_ROUTER_ONLY);
    EXPECT_EQ(held(), 0);
}

TEST_F(Machine, ReportCountBeyondTheFourSlotsIsNeverFollowed)
{
    to(ST_SOLICIT);
    rdnss_report r{};
    for (int i = 0; i < kMaxServers; ++i) {
        r.addr[i] = dbl::addr(i + 1);
        r.lifetime[i] = 1000;
    }
    r.count = 9;
    dbl::elapse(0s);
    mgr_event(MGR_RDNSS, &r);
    EXPECT_EQ(held(), 4);
    r.count = -3;
    dbl::elapse(0s);
    mgr_event(MGR_RDNSS, &r);
    EXPECT_EQ(held(), 4);
    EXPECT_EQ(take().back(), "arm 940 0");
}

TEST_F(Machine, LifetimesAreClampedToADay)
{
    to(ST_SOLICIT);
    rdnss({{1, 0xffffffffu}, {2, 100000}});
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out [2001:db8::1 2001:db8::2]", "arm 86340 0"}));
    EXPECT_EQ(mgr_sm.server_table[0].remaining, 86400s);
    EXPECT_EQ(mgr_sm.server_table[1].remaining, 86400s);
}

TEST_F(Machine, ZeroLifetimeKeepsAKnownServerTwoMinutesAndNeverStoresANewOne)
{
    to(ST_SOLICIT);
    rdnss({{1, 3000}});
    take();
    rdnss({{1, 0}, {2, 0}}, 100s);
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "arm 60 0"}));  // 120 s left, no new server
    EXPECT_EQ(held(), 1);
    EXPECT_EQ(mgr_sm.server_table[0].remaining, 120s);

    // Only an unknown address with lifetime 0: an empty table, armed 60 s short of a day.
    begin(1, nullptr);
    to(ST_SOLICIT);
    rdnss({{2, 0}}, 3s);
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "arm 86340 0"}));
    EXPECT_EQ(mgr_sm.state, ST_SERVERS);
    EXPECT_EQ(held(), 0);
    timer(86340s);
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "rq 600000 1"}));
    EXPECT_EQ(mgr_sm.state, ST_ROUTER_ONLY);
}

class FullTable : public Machine {
protected:
    // Four servers, then aged so that 50, 300, 10 and 20 s (and 500 ms each) are left.
    void SetUp() override
    {
        Machine::SetUp();
        to(ST_SOLICIT);
        rdnss({{1, 160}, {2, 410}, {3, 120}, {4, 130}});
        timer(60s);  // 100, 350, 60, 70 left: refresh
        ASSERT_EQ(mgr_sm.state, ST_REFRESH);
        take();
    }
};

TEST_F(FullTable, FifthServerReplacesTheFirstSlotWithLessTimeLeftNotTheLeast)
{
    rdnss({{5, 200}}, 49500ms);
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out [2001:db8::5 2001:db8::2 2001:db8::3 2001:db8::4]",
                             "rq 3000 1", "arm 10 500"}));
    EXPECT_EQ(mgr_sm.state, ST_REFRESH);
}

TEST_F(Machine, FifthServerThatOutlastsNoSlotIsDropped)
{
    to(ST_SOLICIT);
    rdnss({{1, 160}, {2, 410}, {3, 120}, {4, 130}});
    take();
    // Held for 300 s, a third of which none of the four falls below: nothing changes.
    rdnss({{5, 300}});
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "arm 60 0"}));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(slot(i), dbl::text(dbl::addr(i + 1)));
}

TEST_F(FullTable, NewServerTakesAFreedSlotBeforeReplacingAny)
{
    // Slot 2 expires in this ageing: the first new server takes it, the second replaces slot 0.
    rdnss({{5, 150}, {6, 400}}, 60s);
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out [2001:db8::6 2001:db8::2 2001:db8::5 2001:db8::4]",
                             "rq 3000 1", "arm 10 0"}));
}

TEST_F(Machine, EqualWholeSecondsAreOrderedByTheirMilliseconds)
{
    to(ST_SOLICIT);
    rdnss({{1, 201}});
    rdnss({{2, 200}}, 900ms);   // 200.100 and 200.000 left
    take();
    rdnss({{3, 1000}}, 99800ms);  // 100.300 and 100.200 left
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out [2001:db8::1 2001:db8::2 2001:db8::3]", "arm 40 200"}));
}

TEST_F(Machine, ExactlySixtySecondsLeftAsksForARefresh)
{
    to(ST_SOLICIT);
    rdnss({{1, 120}});
    EXPECT_EQ(take().back(), "arm 60 0");
    EXPECT_EQ(mgr_sm.state, ST_SERVERS);  // 120 s is above 60
    rdnss({{2, 1000}}, 60s);
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out [2001:db8::1 2001:db8::2]", "rq 3000 1", "arm 60 0"}));
    EXPECT_EQ(mgr_sm.state, ST_REFRESH);
    EXPECT_EQ(mgr_sm.rs_cycles, 0);
}

TEST_F(Machine, ExpiryOfSomeServersPublishesTheRestAndReschedules)
{
    to(ST_SOLICIT);
    rdnss({{1, 500}, {2, 120}, {3, 400}});
    take();
    timer(60s);  // server 2 has 60 s left
    take();
    timer(60s);
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out [2001:db8::1 2001:db8::3]", "arm 220 0"}));
    EXPECT_EQ(mgr_sm.state, ST_SERVERS);
}

// --- publication ---

TEST_F(Machine, PublicationFollowsTheSetNotTheSlotOrder)
{
    to(ST_SOLICIT);
    rdnss({{1, 120}, {2, 120}});
    timer(60s);
    take();
    // Both expire in this ageing and come back in the other order: the same set, nothing published.
    rdnss({{2, 500}, {1, 500}}, 60s);
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "arm 440 0"}));
    EXPECT_EQ(dbl::text(mgr_sm.published_list.addr[0]), "2001:db8::1");
    // The next change publishes in slot order.
    rdnss({{3, 500}}, 10s);
    EXPECT_EQ(take().at(2), "out [2001:db8::2 2001:db8::1 2001:db8::3]");

    // Unchanged and not forced: nothing; forced: the same list again.
    mgr_publish(0);
    EXPECT_EQ(take(), calls{});
    mgr_publish(1);
    EXPECT_EQ(take(), calls{"out [2001:db8::2 2001:db8::1 2001:db8::3]"});
}

TEST_F(Machine, SameCountDifferentSetIsAChange)
{
    to(ST_SOLICIT);
    rdnss({{1, 1000}, {2, 130}});
    timer(70s);  // server 2 has 60 s left
    take();
    rdnss({{3, 1000}}, 60s);  // server 2 expires, server 3 comes: two before, two after
    EXPECT_EQ(take().at(2), "out [2001:db8::1 2001:db8::3]");
}

// --- search domains ---

TEST_F(Machine, DomainsKeepTheAnnouncedOrderNewOnesAfterTheHeldRefreshedOnesInPlace)
{
    to(ST_SERVERS);  // a server with 1000 s left
    dnssl({"b.example", "a.example"}, 600);
    EXPECT_EQ(take(), (calls{"arm 0 0", "search [b.example a.example]", "arm 540 0"}));  // no rq: nothing solicited
    dnssl({"c.example", "A.EXAMPLE", "c.example"}, 600, 10s);  // case does not matter; a repeat counts once
    EXPECT_EQ(take(), (calls{"arm 0 0", "search [b.example a.example c.example]", "arm 530 0"}));
    EXPECT_EQ(mgr_sm.state, ST_SERVERS);
}

TEST_F(Machine, DomainLifetimesFollowTheServerRules)
{
    to(ST_SERVERS);
    dnssl({"a.example"}, 30);  // held two minutes like a server
    EXPECT_EQ(take(), (calls{"arm 0 0", "search [a.example]", "arm 60 0"}));
    dnssl({"a.example", "z.example"}, 0, 50s);  // held: back to two minutes; not held: never stored
    EXPECT_EQ(take(), (calls{"arm 0 0", "arm 60 0"}));
    dnssl({"b.example", "c.example", "d.example", "e.example", "f.example"}, 300);
    take();
    // Full: the first domain with less than a third of the new one's hold left makes room; the new
    // one goes last. One that outlasts none is dropped.
    dnssl({"g.example"}, 300, 30s);
    EXPECT_EQ(take(), (calls{"arm 0 0", "search [b.example c.example d.example e.example f.example g.example]",
                             "arm 210 0"}));
    dnssl({"h.example"}, 300);
    EXPECT_EQ(take(), (calls{"arm 0 0", "arm 210 0"}));
}

TEST_F(Machine, SearchListAloneSolicitsNothingYetItsDomainsExpireOnTime)
{
    to(ST_SOLICIT);
    dnssl({"lab.example"}, 600, 20s);  // the give-up keeps its time: 40 s to go
    EXPECT_EQ(take(), (calls{"arm 0 0", "search [lab.example]", "arm 40 0"}));
    EXPECT_EQ(mgr_sm.state, ST_SOLICIT);
    dbl::elapse(10s);
    ra();  // no servers, yet the domain's expiry stays timed
    EXPECT_EQ(take(), (calls{"rq 600000 1", "arm 0 0", "arm 590 0"}));
    timer(590s);
    EXPECT_EQ(take(), (calls{"arm 0 0", "search []"}));
    EXPECT_EQ(mgr_sm.state, ST_ROUTER_ONLY);
}

TEST_F(Machine, RefreshBeforeExpiryAndExpiryCoverTheDomains)
{
    to(ST_SERVERS);  // 1000 s
    dnssl({"lab.example"}, 200);
    take();
    timer(140s);  // the domain has a minute left: ask for a refresh
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "rq 3000 1", "arm 60 0"}));
    EXPECT_EQ(mgr_sm.state, ST_REFRESH);
    timer(60s);  // nobody refreshed it: gone, the server stays
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "search []", "arm 740 0"}));
    EXPECT_EQ(mgr_sm.state, ST_SERVERS);
}

TEST_F(Machine, DomainsComeOnlyWhileAssociatedAndGoWithTheAssociation)
{
    dnssl({"lab.example"}, 600);
    EXPECT_EQ(take(), calls{});
    to(ST_SERVERS);
    dnssl({"lab.example"}, 600);
    take();
    assoc(net("Open", 1, 0));
    EXPECT_EQ(take(), (calls{"rq -1 1", "arm 0 0", "out []", "search []"}));
}

TEST_F(Machine, MalformedSearchListIsNotTrustedAtAll)
{
    to(ST_SERVERS);
    dnssl_report r{};
    r.lifetime = 600;
    for (auto& name : r.name)
        std::strcpy(name.data(), "lab.example");
    for (int32_t count : {kMaxDomains + 1, -1}) {
        r.count = count;
        mgr_event(MGR_DNSSL, &r);
    }
    r.count = 2;
    r.name[1].fill('a');  // not ended within its slot
    mgr_event(MGR_DNSSL, &r);
    r.name[1].fill('\0');  // empty
    mgr_event(MGR_DNSSL, &r);
    EXPECT_EQ(take(), calls{});
}

}  // namespace
