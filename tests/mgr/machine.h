// The state machine alone, as the manager thread drives it: every outgoing call goes to a recording
// double, and the timer double hands back the elapsed times each case scripts.
#pragma once

#include "doubles.h"
#include "mgr_internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace machine {

using namespace std::chrono_literals;
using calls = std::vector<std::string>;
using servers = std::vector<std::pair<int, uint32_t>>;  // (address number, announced lifetime)

inline constexpr mgr_state_id kAllStates[] = {ST_IDLE, ST_SOLICIT, ST_ROUTER_ONLY, ST_GAVE_UP, ST_SERVERS, ST_REFRESH};

inline assoc_info net(const char* essid = "LabNet", uint8_t last = 1, int32_t associated = 1)
{
    assoc_info a{};
    a.associated = associated;
    a.bssid = {0x02, 0, 0, 0, 0, last};
    std::strncpy(a.essid.data(), essid, 32);
    return a;
}

inline policy_entry entry(const char* ssid, int32_t burst, policy_entry* next = nullptr)
{
    policy_entry e{};
    e.next = next;
    e.flags = POLICY_ANY_BSSID | (burst < 0 ? POLICY_DISABLED : 0);
    e.burst = burst;
    std::strncpy(e.ssid.data(), ssid, 32);
    return e;
}

class Machine : public ::testing::Test {
protected:
    void SetUp() override { begin(1, nullptr); }
    void TearDown() override { EXPECT_TRUE(dbl::script_used_up()) << "a scripted elapsed time was never asked for"; }

    // As the manager thread starts: starting values, then the forced empty publication.
    void begin(int32_t default_burst, policy_list policy)
    {
        mgr_sm.default_burst = default_burst;
        mgr_sm.current_policy = policy;
        mgr_sm_reset();
        mgr_publish(1);
        dbl::clear();
    }

    void assoc(assoc_info a) { mgr_event(MGR_ASSOC, &a); }
    void rs(int times = 1)
    {
        for (int i = 0; i < times; ++i)
            mgr_event(MGR_RS_SENT, nullptr);
    }
    void ra() { mgr_event(MGR_RA_SEEN, nullptr); }
    void timer() { mgr_event(MGR_TIMER, nullptr); }
    void timer(mgr_ms elapsed)
    {
        dbl::elapse(elapsed);
        timer();
    }
    void rdnss(const servers& s, mgr_ms elapsed = 0ms)
    {
        rdnss_report r{};
        r.count = static_cast<int32_t>(s.size());
        for (size_t i = 0; i < s.size(); ++i) {
            r.addr[i] = dbl::addr(s[i].first);
            r.lifetime[i] = s[i].second;
        }
        if (mgr_sm.state != ST_IDLE)
            dbl::elapse(elapsed);
        mgr_event(MGR_RDNSS, &r);
    }

    // A search list from the listener: one lifetime for every name.
    void dnssl(const std::vector<const char*>& names, uint32_t lifetime, mgr_ms elapsed = 0ms)
    {
        dnssl_report r{};
        r.count = static_cast<int32_t>(names.size());
        r.lifetime = lifetime;
        for (size_t i = 0; i < names.size(); ++i)
            std::strncpy(r.name[i].data(), names[i], kDomainSize - 1);
        if (mgr_sm.state != ST_IDLE)
            dbl::elapse(elapsed);
        mgr_event(MGR_DNSSL, &r);
    }

    static calls take()
    {
        calls c = dbl::calls();
        dbl::clear();
        return c;
    }

    // Reaches a state the way the daemon does, then forgets the calls made on the way.
    void to(mgr_state_id s, assoc_info a = net())
    {
        if (s != ST_IDLE)
            assoc(a);
        if (s == ST_ROUTER_ONLY)
            ra();
        if (s == ST_GAVE_UP)
            timer(60s);
        if (s == ST_SERVERS)
            rdnss({{1, 1000}}, 2s);
        if (s == ST_REFRESH) {
            rdnss({{1, 120}}, 2s);  // armed for 60 s
            timer(60s);             // 60 s left: refresh
        }
        ASSERT_EQ(mgr_sm.state, s);
        take();
    }

    static int held()
    {
        int n = 0;
        for (const auto& slot : mgr_sm.server_table)
            n += slot.in_use ? 1 : 0;
        return n;
    }
    static std::string slot(int i)
    {
        const auto& e = mgr_sm.server_table[i];
        return e.in_use ? dbl::text(e.address) : "-";
    }
};

}  // namespace machine
