// The RDNSS listener on a real link: radvd (or send_ra) advertises over a veth pair between
// two fresh namespaces and the kernel passes the options up; forge_nduseropt multicasts the
// notifications no kernel would send. The manager is a recording double of mgr_post.
#include "followed.h"
#include "kl.h"
#include "netns.h"
#include "proc.h"
#include "records.h"
#include "util.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::mutex posts_mutex;
std::condition_variable posts_cv;
std::vector<rdnss_report> reports;
std::vector<std::pair<std::string, uint32_t>> domains;  // each DNSSL report's first name and lifetime
bool hold_posts = false;  // a blocked manager: the listener stops reading while it is set

struct server {
    std::string addr;
    uint32_t lifetime;
    bool operator==(const server&) const = default;
};

std::string text(const in6_addr& a)
{
    char buf[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, &a, buf, sizeof buf);
}

std::vector<server> servers(const rdnss_report& r)
{
    std::vector<server> out;
    for (int i = 0; i < r.count && i < kMaxServers; ++i)
        out.push_back({text(r.addr[i]), r.lifetime[i]});
    return out;
}

std::vector<rdnss_report> snapshot()
{
    std::lock_guard lock(posts_mutex);
    return reports;
}

// Whether some report carries exactly these servers.
bool reported(const std::vector<server>& want)
{
    for (const rdnss_report& r : snapshot())
        if (servers(r) == want)
            return true;
    return false;
}

bool mentions(const std::string& addr)
{
    for (const rdnss_report& r : snapshot())
        for (const server& s : servers(r))
            if (s.addr == addr)
                return true;
    return false;
}

void hold(bool on)
{
    std::lock_guard lock(posts_mutex);
    hold_posts = on;
    posts_cv.notify_all();
}

bool domain_reported(const std::string& name, uint32_t lifetime)
{
    std::lock_guard lock(posts_mutex);
    return std::find(domains.begin(), domains.end(), std::pair{name, lifetime}) != domains.end();
}

}  // namespace

void mgr_post(uint32_t type, const void* payload, uint32_t length)
{
    if (type == MGR_DNSSL) {
        ASSERT_EQ(length, sizeof(dnssl_report));
        dnssl_report r;
        std::memcpy(&r, payload, sizeof r);
        std::lock_guard lock(posts_mutex);
        domains.emplace_back(r.name[0].data(), r.lifetime);
        return;
    }
    EXPECT_EQ(type, MGR_RDNSS);
    EXPECT_EQ(length, sizeof(rdnss_report));
    rdnss_report r;
    std::memcpy(&r, payload, sizeof r);
    std::unique_lock lock(posts_mutex);
    reports.push_back(r);
    posts_cv.notify_all();
    posts_cv.wait_for(lock, 20s, [] { return !hold_posts; });
}

// The reports of one batch, in order, as the manager would read them in one pass.
std::vector<std::vector<uint32_t>> batches;

void mgr_post_batch(const chan_batch& batch)
{
    std::vector<uint32_t> types;
    for (uint32_t i = 0; i < batch.count; ++i) {
        const auto& e = batch.entries[i];
        types.push_back(e.type);
        mgr_post(e.type, batch.data.data() + e.offset, e.length);
    }
    std::lock_guard lock(posts_mutex);
    batches.push_back(types);
}

namespace {

class KlLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        TT_REQUIRE_ROOT();
        {
            std::lock_guard lock(posts_mutex);
            reports.clear();
            domains.clear();
            batches.clear();
            hold_posts = false;
        }
        net_ = std::make_unique<tt::netns_pair>("kl", 2);
        ASSERT_TRUE(net_->ok()) << net_->error();
        ASSERT_TRUE(net_->wait_ready()) << "link-local addresses stayed tentative";
        // The listener thread is created on this thread and so lives in the host namespace.
        host_ = std::make_unique<tt::netns_enter>(net_->host());
        ASSERT_TRUE(host_->ok());
        ASSERT_EQ(kl_init("tw0"), 0);
        followed_ifindex = if_nametoindex("tw0");  // the wireless monitor's part, absent here
        ASSERT_EQ(kl_start(), 0);
        started_ = true;
    }

    void TearDown() override
    {
        hold(false);
        if (started_)
            kl_stop();
        kl_cleanup();
        host_.reset();
        net_.reset();
    }

    void forge(std::vector<std::string> args)
    {
        args.insert(args.begin(), FORGE_NDUSEROPT_BIN);
        const tt::result r = tt::run(net_->in(net_->host(), args), 20s);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    std::unique_ptr<tt::netns_pair> net_;
    std::unique_ptr<tt::netns_enter> host_;
    bool started_ = false;
};

TEST_F(KlLink, RadvdOptionsReportedOneByOneAndWithdrawnOnStop)
{
    tt::temp_dir dir;
    tt::process router = tt::radvd(*net_, dir,
                                   tt::radvd_conf("tr0", "2001:db8::53 2001:db8::54",
                                                  "  DNSSL Lan.Example { AdvDNSSLLifetime 600; };\n"
                                                  "  RDNSS 2001:db8::55 { AdvRDNSSLifetime 450; };\n"));
    ASSERT_TRUE(tt::eventually([] { return snapshot().size() >= 2; }, 10s)) << router.err();
    EXPECT_TRUE(reported({{"2001:db8::53", 600}, {"2001:db8::54", 600}}));
    EXPECT_TRUE(reported({{"2001:db8::55", 450}}));
    EXPECT_TRUE(tt::eventually([] { return domain_reported("lan.example", 600); }));

    // On its way out radvd advertises once more with lifetime 0: the servers are withdrawn.
    router.signal(SIGTERM);
    EXPECT_NE(router.wait(5s), -1);
    EXPECT_TRUE(tt::eventually([] {
        return reported({{"2001:db8::53", 0}, {"2001:db8::54", 0}}) && reported({{"2001:db8::55", 0}});
    }));
    EXPECT_TRUE(tt::eventually([] { return domain_reported("lan.example", 0); }));
}

TEST_F(KlLink, AdvertisementOnAnotherInterfaceIgnored)
{
    tt::temp_dir dir;
    tt::process router =
        tt::radvd(*net_, dir, tt::radvd_conf("tr1", "2001:db8::99") + tt::radvd_conf("tr0", "2001:db8::53"));
    ASSERT_TRUE(tt::eventually([] { return mentions("2001:db8::53"); }, 10s)) << router.err();
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(mentions("2001:db8::99"));
}

TEST_F(KlLink, ForgedForeignNotificationsIgnored)
{
    forge({"tw1", "2001:db8::1"});              // another interface
    forge({"-t", "137", "tw0", "2001:db8::2"}); // a redirect's options
    forge({"-c", "1", "tw0", "2001:db8::3"});   // an unknown code
    forge({"-f", "2", "tw0", "2001:db8::4"});   // AF_INET
    forge({"0", "2001:db8::5"});                 // no interface at all
    forge({"tw0"});                              // no options
    forge({"-L", "4294967295", "tw0", "2001:db8::6"});
    ASSERT_TRUE(tt::eventually([] { return !snapshot().empty(); }));
    std::this_thread::sleep_for(200ms);
    const auto all = snapshot();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(servers(all[0]), (std::vector<server>{{"2001:db8::6", 0xffffffffu}}));
}

TEST_F(KlLink, OverrunReportedAndListeningGoesOn)
{
    // The manager stalls on the first report, so the socket fills up behind it and overruns.
    hold(true);
    forge({"tw0", "2001:db8::a"});
    ASSERT_TRUE(tt::eventually([] { return !snapshot().empty(); }));
    tt::temp_dir dir;
    auto err_file = std::make_unique<tt::stderr_capture>(dir.file("stderr"));
    forge({"-n", "5000", "tw0", "2001:db8::b"});
    hold(false);
    std::this_thread::sleep_for(300ms);

    // The kernel still passes up what a real router advertises after the overrun.
    const tt::result r = tt::run(net_->in(net_->router(), {SEND_RA_BIN, "-L", "90", "tr0", "2001:db8::c"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const bool learnt = tt::eventually([] { return reported({{"2001:db8::c", 90}}); }, 10s);
    err_file.reset();
    const std::string err = tt::read_file(dir.file("stderr"));
    EXPECT_TRUE(learnt) << "the listener stopped after the overrun";
    EXPECT_TRUE(mentions("2001:db8::b")) << "what was queued before the overrun was lost";
    EXPECT_NE(err.find("recv AF_NETLINK: No buffer space available"), std::string::npos) << err;
    EXPECT_LT(snapshot().size(), 5000u) << "the socket never overran";
}

}  // namespace
