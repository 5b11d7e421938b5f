// End to end: tamrod -f runs in the host namespace of a veth pair, believes tw0 is associated
// (the Wireless Extensions stand-in), and learns radvd's RDNSS servers from the router
// namespace; the script and tamrod -l see them, and a lost association takes them away.
#include "daemon.h"
#include "netns.h"
#include "proc.h"
#include "records.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr char kIf[] = "tw0";

// One line per script run: the four variables, separated by "|".
std::vector<std::string> runs(const std::string& log)
{
    std::vector<std::string> lines;
    std::istringstream in(tt::read_file(log));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

tt::wifi_state associated()
{
    tt::wifi_state s;
    s.bssid = "02:00:5e:10:00:01";
    s.essid = "LabNet";
    s.mode = 2;
    return s;
}

class Discovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        TT_REQUIRE_ROOT();
        net_ = std::make_unique<tt::netns_pair>("e2e", 1);
        ASSERT_TRUE(net_->ok()) << net_->error();
        ASSERT_TRUE(net_->wait_ready()) << "link-local addresses stayed tentative";
        script_ = dir_.write("hook",
                             "#!/bin/sh\n"
                             "echo \"$TAMROD_V6|$TAMROD_V4|$TAMROD_R6|$TAMROD_R4\" >> " + log_ + "\n"
                             "echo \"${TAMROD_SEARCH-unset}\" >> " + search_log_ + "\n",
                             0755);
    }

    void TearDown() override
    {
        if (daemon_.running()) {
            daemon_.signal(SIGTERM);
            EXPECT_EQ(daemon_.wait(10s), 1);
        }
        if (radvd_.running()) {
            radvd_.signal(SIGTERM);
            radvd_.wait(5s);
        }
    }

    void start_daemon(const std::vector<std::string>& extra = {})
    {
        tt::spawn_options opt;
        opt.env = tt::wifi_stub_env(kIf, state_);
        std::vector<std::string> argv{tt::tamrod_bin(), "-f", "-i", kIf, "-x", script_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        // Forked from a thread inside the host namespace, so the daemon lives there.
        tt::netns_enter host(net_->host());
        ASSERT_TRUE(host.ok());
        daemon_ = tt::process(argv, opt);
    }

    // Router Solicitations the router side's kernel has received so far.
    int solicitations_received() const
    {
        const tt::result r = tt::run(net_->in(net_->router(), {"cat", "/proc/net/snmp6"}));
        std::istringstream in(r.out);
        std::string name;
        for (long value = 0; in >> name >> value;)
            if (name == "Icmp6InRouterSolicits")
                return static_cast<int>(value);
        return -1;
    }

    void start_radvd(const std::string& rdnss, const std::string& more = "")
    {
        radvd_ = tt::radvd(*net_, dir_, tt::radvd_conf("tr0", rdnss, more));
    }

    bool last_run_is(const std::string& line, std::chrono::milliseconds timeout = 15s)
    {
        return tt::eventually([&] { auto r = runs(log_); return !r.empty() && r.back() == line; }, timeout);
    }

    // The script's last run saw these four lists and this search list.
    bool last_run_with(const std::string& lists, const std::string& search)
    {
        return tt::eventually(
            [&] {
                const auto r = runs(log_);
                const auto d = runs(search_log_);
                return !r.empty() && r.back() == lists && !d.empty() && d.back() == search;
            },
            15s);
    }

    // Forges one server notification again and again until the script's last run is `line`.
    bool repeat_until_learnt(const std::string& server, const std::string& line, std::chrono::milliseconds timeout)
    {
        return tt::eventually(
            [&] {
                tt::run(net_->in(net_->host(), {FORGE_NDUSEROPT, kIf, server}), 5s);
                return last_run_is(line, 500ms);
            },
            timeout);
    }

    std::unique_ptr<tt::netns_pair> net_;
    tt::temp_dir dir_;
    std::string log_ = dir_.file("runs");
    std::string search_log_ = dir_.file("search");
    std::string state_ = dir_.file("wifi");
    std::string script_;
    tt::process daemon_;
    tt::process radvd_;
};

TEST_F(Discovery, RouterServersReachScriptAndListingAndLeaveWithTheAssociation)
{
    tt::write_wifi_state(state_, associated());
    start_daemon();
    ASSERT_TRUE(last_run_is("|||", 10s)) << "no run at start-up\n" << daemon_.err();

    start_radvd("2001:db8::53 2001:db8::54");
    ASSERT_TRUE(last_run_is("2001:db8::53 2001:db8::54|||")) << daemon_.err() << radvd_.err();
    const tt::result listing = tt::run({tt::tamrod_bin(), "-l"});
    EXPECT_EQ(listing.status, 0) << listing.err;
    EXPECT_EQ(listing.out, "2001:db8::53\n2001:db8::54\n");

    // The access point goes away: the stand-in now answers with a zero BSSID, and the kernel
    // would say so in an access-point event.
    tt::wifi_state gone = associated();
    gone.bssid = "00:00:00:00:00:00";
    gone.essid = "";
    tt::write_wifi_state(state_, gone);
    const tt::result forged = tt::run(net_->in(net_->host(), {FORGE_LINK, kIf, "ap=00:00:00:00:00:00"}));
    ASSERT_EQ(forged.status, 0) << forged.err;
    EXPECT_TRUE(last_run_is("|||")) << daemon_.err();
    const tt::result empty = tt::run({tt::tamrod_bin(), "-l"});
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(runs(log_).size(), 3u) << "one run at start, one per change";
    EXPECT_EQ(daemon_.err(), "");
}

TEST_F(Discovery, RouterSearchDomainsReachTheScriptBesideTheServersAndLeaveWithTheAssociation)
{
    tt::write_wifi_state(state_, associated());
    start_daemon();
    ASSERT_TRUE(last_run_is("|||", 10s)) << "no run at start-up\n" << daemon_.err();

    start_radvd("2001:db8::53", "  DNSSL Lab.Example corp.example { AdvDNSSLLifetime 600; };\n");
    // Servers and domains are separate reports, each change a run of its own: wait for the last.
    ASSERT_TRUE(last_run_with("2001:db8::53|||", "lab.example corp.example")) << daemon_.err() << tt::read_file(search_log_);
    EXPECT_EQ(runs(search_log_).front(), "") << "set, and empty, from the first run on";

    tt::wifi_state gone = associated();
    gone.bssid = "00:00:00:00:00:00";
    tt::write_wifi_state(state_, gone);
    ASSERT_EQ(tt::run(net_->in(net_->host(), {FORGE_LINK, kIf, "ap=00:00:00:00:00:00"})).status, 0);
    EXPECT_TRUE(last_run_with("|||", "")) << daemon_.err() << tt::read_file(search_log_);
    EXPECT_EQ(daemon_.err(), "");
}

TEST_F(Discovery, ServersStillLearntAfterTheNotificationSocketOverran)
{
    tt::write_wifi_state(state_, associated());
    start_daemon();
    ASSERT_TRUE(last_run_is("|||", 10s)) << "no run at start-up\n" << daemon_.err();
    // The start-up run comes before the association is known; servers reported before it are
    // rightly ignored. A learnt marker shows the association arrived before the flood does.
    ASSERT_TRUE(repeat_until_learnt("2001:db8::a", "2001:db8::a|||", 15s)) << daemon_.err() << tt::read_file(log_);

    // A stopped daemon cannot read: the notifications pile up until the socket overruns.
    daemon_.signal(SIGSTOP);
    const tt::result flood =
        tt::run(net_->in(net_->host(), {FORGE_NDUSEROPT, "-n", "5000", kIf, "2001:db8::b"}), 20s);
    daemon_.signal(SIGCONT);
    ASSERT_EQ(flood.status, 0) << flood.err;
    ASSERT_TRUE(last_run_is("2001:db8::a 2001:db8::b|||")) << daemon_.err() << tt::read_file(log_);

    // While the backlog drains (slowly in sanitizer builds) the kernel still drops what arrives:
    // repeat a marker until it is learnt, so the router's first advertisement finds room.
    ASSERT_TRUE(repeat_until_learnt("2001:db8::c", "2001:db8::a 2001:db8::b 2001:db8::c|||", 30s))
        << daemon_.err() << tt::read_file(log_);

    start_radvd("2001:db8::53");
    EXPECT_TRUE(last_run_is("2001:db8::a 2001:db8::b 2001:db8::c 2001:db8::53|||")) << daemon_.err();
    EXPECT_NE(daemon_.err().find("recv AF_NETLINK: No buffer space available"), std::string::npos)
        << daemon_.err();
}

TEST_F(Discovery, NothingLearntWhileNotAssociated)
{
    tt::wifi_state idle = associated();
    idle.bssid = "00:00:00:00:00:00";
    tt::write_wifi_state(state_, idle);
    start_daemon();
    ASSERT_TRUE(last_run_is("|||", 10s)) << "no run at start-up\n" << daemon_.err();

    // radvd advertises at once; without an association the daemon drops what it hears.
    start_radvd("2001:db8::53");
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(runs(log_).size(), 1u);
    EXPECT_EQ(tt::run({tt::tamrod_bin(), "-l"}).out, "");
}

// One line per run, "servers|domains": 2001:db8::N and dN.example come from advertisement N. A
// run is torn when its two lists name different advertisements.
bool torn(const std::string& run)
{
    const auto numbers = [](const std::string& list, bool domains) {
        std::string out;
        std::istringstream in(list);
        for (std::string item; in >> item;)
            out += domains ? item.substr(1, 1) : item.substr(item.rfind(':') + 1);
        std::sort(out.begin(), out.end());
        return out;
    };
    const size_t bar = run.find('|');
    return numbers(run.substr(0, bar), false) != numbers(run.substr(bar + 1), true);
}

TEST_F(Discovery, EachAdvertisementReachesTheScriptWholeInOneRun)
{
    script_ = dir_.write("hook", "#!/bin/sh\necho \"$TAMROD_V6|$TAMROD_SEARCH\" >> " + log_ + "\n", 0755);
    tt::write_wifi_state(state_, associated());
    start_daemon();
    ASSERT_TRUE(last_run_is("|", 10s)) << daemon_.err();
    const auto advertise = [&](int n) {
        const std::string i = std::to_string(n);
        tt::run(net_->in(net_->router(), {SEND_RA, "-s", "d" + i + ".example", "tr0", "2001:db8::" + i}), 5s);
    };
    const std::string all = "2001:db8::1 2001:db8::2 2001:db8::3 2001:db8::4|d1.example d2.example d3.example d4.example";
    for (int cycle = 0; cycle < 25; ++cycle) {  // four advertisements a cycle, 100 in all
        // Until the association has reached the manager, what it hears is rightly dropped.
        ASSERT_TRUE(tt::eventually([&] { advertise(1); return last_run_is("2001:db8::1|d1.example", 300ms); }, 10s))
            << tt::read_file(log_);
        for (int n = 2; n <= 4; ++n)
            advertise(n);
        ASSERT_TRUE(last_run_is(all)) << tt::read_file(log_);
        for (const char* ap : {"00:00:00:00:00:00", "02:00:5e:10:00:01"}) {
            tt::wifi_state s = associated();
            s.bssid = ap;
            tt::write_wifi_state(state_, s);
            ASSERT_EQ(tt::run(net_->in(net_->host(), {FORGE_LINK, kIf, std::string("ap=") + ap})).status, 0);
            if (ap[0] == '0' && ap[1] == '0') {
                ASSERT_TRUE(last_run_is("|")) << "the loss clears both in one run\n" << tt::read_file(log_);
            }
        }
    }
    int torn_runs = 0;
    for (const std::string& run : runs(log_))
        torn_runs += torn(run) ? 1 : 0;
    EXPECT_EQ(torn_runs, 0) << tt::read_file(log_);
}

// A daemon detached from a shell that closed some of its standard descriptors, started with a
// relative script path, still learns servers; a link-local one reaches the script with its zone.
class Detached : public Discovery, public ::testing::WithParamInterface<const char*> {
protected:
    void TearDown() override
    {
        tt::run({tt::tamrod_bin(), "-t"});
        EXPECT_TRUE(tt::eventually([] { return access(kControlPath, F_OK) != 0; })) << "detached daemon left running";
        Discovery::TearDown();
    }
};

TEST_P(Detached, LearnsServersWithDescriptorsClosedAndARelativeScriptPath)
{
    tt::write_wifi_state(state_, associated());
    tt::spawn_options opt;
    opt.env = tt::wifi_stub_env(kIf, state_);
    opt.cwd = dir_.path();
    {
        tt::netns_enter host(net_->host());
        ASSERT_TRUE(host.ok());
        const std::string line = std::string("exec \"$0\" -i tw0 -x ./hook ") + GetParam();
        const tt::result started = tt::run({"sh", "-c", line, tt::tamrod_bin()}, 10s, opt);
        ASSERT_EQ(started.status, 0) << started.err;
    }
    ASSERT_TRUE(last_run_is("|||", 10s)) << "no run at start-up";
    start_radvd("fe80::53 2001:db8::53");
    EXPECT_TRUE(last_run_is("fe80::53%tw0 2001:db8::53|||")) << tt::read_file(log_) << radvd_.err();
}

INSTANTIATE_TEST_SUITE_P(Discovery, Detached, ::testing::Values("0<&-", "0<&- 1>&- 2>&-"),
                         [](const auto& info) { return info.index == 0 ? std::string("StdinClosed")
                                                                       : std::string("AllThreeClosed"); });

}  // namespace

namespace {

// With no router answering, the first cycle starts 3 s after association and runs whole: a
// burst of 26 solicitations about 0.5 s long, or a single one; the next cycle comes 3 s after
// that. Counted at 4.8 s, each setting shows its own number.
struct burst_case {
    const char* name;
    std::vector<std::string> options;
    const char* policy;  // nullptr: no -c
    int solicitations;
};

class BurstSetting : public Discovery, public ::testing::WithParamInterface<burst_case> {};

TEST_P(BurstSetting, DecidesHowManySolicitationsTheFirstCycleSends)
{
    const burst_case& c = GetParam();
    tt::write_wifi_state(state_, associated());
    std::vector<std::string> options = c.options;
    if (c.policy != nullptr) {
        options.push_back("-c");
        options.push_back(dir_.write("policy", c.policy));
    }
    const int before = solicitations_received();
    ASSERT_GE(before, 0);
    const auto started = std::chrono::steady_clock::now();
    start_daemon(options);
    ASSERT_TRUE(last_run_is("|||", 3s)) << daemon_.err();
    std::this_thread::sleep_until(started + 4800ms);
    EXPECT_EQ(solicitations_received() - before, c.solicitations) << daemon_.err();
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, BurstSetting,
    ::testing::Values(burst_case{"BurstsByDefault", {}, nullptr, 26},
                      burst_case{"SingleWithB", {"-B"}, nullptr, 1},
                      burst_case{"NoneWhereThePolicySaysMinusOne", {}, "LabNet + -1\n", 0},
                      burst_case{"PolicyBurstOverridesB", {"-B"}, "+ 02:00:5e:10:00:01 1\n", 26}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
