// The sender and watcher on a real link: a veth pair between two fresh namespaces, solicitations
// captured on the router side, advertisements from radvd or from send_ra. The manager is a
// recording double of mgr_post, joined in at link time.
#include "followed.h"
#include "netns.h"
#include "proc.h"
#include "records.h"
#include "rq.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <sys/socket.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using wall = std::chrono::system_clock;

namespace {

std::mutex posts_mutex;
std::vector<std::pair<uint32_t, wall::time_point>> posts;

int posted(uint32_t type)
{
    std::lock_guard lock(posts_mutex);
    int n = 0;
    for (const auto& p : posts)
        n += p.first == type;
    return n;
}

std::vector<wall::time_point> posted_at(uint32_t type)
{
    std::lock_guard lock(posts_mutex);
    std::vector<wall::time_point> at;
    for (const auto& p : posts)
        if (p.first == type)
            at.push_back(p.second);
    return at;
}

}  // namespace

void mgr_post(uint32_t type, const void*, uint32_t length)
{
    EXPECT_EQ(length, 0u);
    std::lock_guard lock(posts_mutex);
    posts.emplace_back(type, wall::now());
}

namespace {

double ms(wall::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct solicitation {
    wall::time_point at;  // kernel receive time
    int hops = -1;
    std::string dst;
    size_t length = 0;
};

// Router Solicitations as they arrive at the router end of the link.
class rs_capture {
public:
    explicit rs_capture(const std::string& ns)
    {
        fd_ = tt::rs_socket(ns);
        EXPECT_GE(fd_, 0);
        const int on = 1;
        EXPECT_EQ(setsockopt(fd_, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on), 0);
        EXPECT_EQ(setsockopt(fd_, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on), 0);
        EXPECT_EQ(setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on), 0);
    }
    ~rs_capture() { close(fd_); }

    // The next solicitation, or nothing once the deadline has passed.
    std::optional<solicitation> next(wall::time_point deadline)
    {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - wall::now());
            pollfd pfd{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
                return std::nullopt;
            std::array<uint8_t, 1500> buf;
            alignas(cmsghdr) std::array<uint8_t, 256> control;
            sockaddr_in6 src{};
            iovec iov{buf.data(), buf.size()};
            msghdr msg{};
            msg.msg_name = &src;
            msg.msg_namelen = sizeof src;
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control.data();
            msg.msg_controllen = control.size();
            const ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
            if (n < 0)
                continue;
            solicitation s;
            s.at = wall::now();
            s.length = static_cast<size_t>(n);
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT) {
                    std::memcpy(&s.hops, CMSG_DATA(c), sizeof s.hops);
                } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                    in6_pktinfo info;
                    std::memcpy(&info, CMSG_DATA(c), sizeof info);
                    char text[INET6_ADDRSTRLEN];
                    s.dst = inet_ntop(AF_INET6, &info.ipi6_addr, text, sizeof text);
                } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts;
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    s.at = wall::time_point(std::chrono::duration_cast<wall::duration>(
                        std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
                }
            }
            return s;
        }
    }

    // Every solicitation until the deadline.
    std::vector<solicitation> until(wall::time_point deadline)
    {
        std::vector<solicitation> all;
        while (auto s = next(deadline))
            all.push_back(*s);
        return all;
    }

private:
    int fd_ = -1;
};

class RqLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        TT_REQUIRE_ROOT();
        {
            std::lock_guard lock(posts_mutex);
            posts.clear();
        }
        net_ = std::make_unique<tt::netns_pair>("rq", 2);
        ASSERT_TRUE(net_->ok()) << net_->error();
        ASSERT_TRUE(net_->wait_ready()) << "link-local addresses stayed tentative";
        capture_ = std::make_unique<rs_capture>(net_->router());
        // The module's threads are created on this thread and so live in the host namespace.
        host_ = std::make_unique<tt::netns_enter>(net_->host());
        ASSERT_TRUE(host_->ok());
    }

    void TearDown() override
    {
        if (started_)
            rq_stop();
        rq_cleanup();
        host_.reset();
        capture_.reset();
        net_.reset();
    }

    void start(const char* ifname = "tw0")
    {
        // The wireless monitor keeps this current in the daemon; here the test stands in for it.
        followed_ifindex = if_nametoindex(ifname);
        ASSERT_EQ(rq_init(ifname), 0);
        ASSERT_EQ(rq_start(), 0);
        started_ = true;
    }

    // send_ra in the router namespace; the last argument is the outgoing interface.
    void send_ra(std::vector<std::string> args)
    {
        args.insert(args.begin(), SEND_RA_BIN);
        const tt::result r = tt::run(net_->in(net_->router(), args));
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // Sends count ICMPv6 messages of this type from the router end to all nodes, with the link's
    // hop limit, as a neighbour or a pinging host would.
    void send_icmp(uint8_t type, int count)
    {
        tt::netns_enter in(net_->router());
        ASSERT_TRUE(in.ok());
        const int fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
        ASSERT_GE(fd, 0);
        const int hops = 255;
        EXPECT_EQ(setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops), 0);
        sockaddr_in6 dst{};
        dst.sin6_family = AF_INET6;
        inet_pton(AF_INET6, "ff02::1", &dst.sin6_addr);
        dst.sin6_scope_id = if_nametoindex("tr0");
        std::array<uint8_t, 24> msg{type};
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst),
                      static_cast<ssize_t>(msg.size()));
        close(fd);
    }

    std::unique_ptr<tt::netns_pair> net_;
    std::unique_ptr<rs_capture> capture_;
    std::unique_ptr<tt::netns_enter> host_;
    bool started_ = false;
};

TEST_F(RqLink, NothingSentBeforeAskedOrAfterStopped)
{
    start();
    EXPECT_TRUE(capture_->until(wall::now() + 3500ms).empty()) << "solicited before any rq_set";

    const auto asked = wall::now();
    rq_set(3000, false);
    const auto first = capture_->next(asked + 5s);
    ASSERT_TRUE(first);
    EXPECT_GE(ms(first->at - asked), 2800) << "the first solicitation waits a full interval";
    ASSERT_TRUE(tt::eventually([] { return posted(MGR_RS_SENT) == 1; }));

    rq_set(-1, false);
    EXPECT_TRUE(capture_->until(wall::now() + 4s).empty()) << "solicited after rq_set(-1)";
    EXPECT_EQ(posted(MGR_RS_SENT), 1);
    EXPECT_EQ(posted(MGR_RA_SEEN), 0);
}

TEST_F(RqLink, IntervalsBelowTheFloorGiveThreeSeconds)
{
    start();
    const auto asked = wall::now();
    rq_set(0, false);
    const auto all = capture_->until(asked + 6900ms);
    ASSERT_EQ(all.size(), 2u) << "one solicitation per cycle, cycles about 3000 ms apart";
    EXPECT_GE(ms(all[0].at - asked), 2800);
    EXPECT_GE(ms(all[1].at - all[0].at), 2800);
    EXPECT_LE(ms(all[1].at - all[0].at), 4500);
    EXPECT_TRUE(tt::eventually([] { return posted(MGR_RS_SENT) == 2; }));

    // An interval above the floor is kept as it is.
    const auto slower = wall::now();
    rq_set(4500, false);
    const auto next = capture_->next(slower + 6s);
    ASSERT_TRUE(next);
    EXPECT_GE(ms(next->at - slower), 4300);
}

TEST_F(RqLink, BurstSendsTwentySixUndisturbedByEarlierAdvertOrRqSet)
{
    start();
    const auto asked = wall::now();
    rq_set(3000, true);
    // An advertisement before the cycle starts must not shorten it.
    std::this_thread::sleep_for(500ms);
    send_ra({"tr0"});
    ASSERT_TRUE(tt::eventually([] { return posted(MGR_RA_SEEN) == 1; }));

    std::vector<solicitation> burst;
    auto first = capture_->next(asked + 5s);
    ASSERT_TRUE(first);
    burst.push_back(*first);
    while (burst.size() < 3)
        if (auto s = capture_->next(first->at + 1s))
            burst.push_back(*s);
        else
            break;
    rq_set(3000, true);  // during the burst: it goes on, then a full new wait
    while (auto s = capture_->next(first->at + 1500ms))
        burst.push_back(*s);

    ASSERT_EQ(burst.size(), 26u);
    for (const solicitation& s : burst) {
        EXPECT_EQ(s.hops, 255);
        EXPECT_EQ(s.dst, "ff02::2");
        EXPECT_EQ(s.length, 8u);
    }
    const double span = ms(burst.back().at - burst.front().at);
    EXPECT_GE(span, 490) << "25 pauses of 20 ms";
    EXPECT_LE(span, 1400);
    ASSERT_TRUE(tt::eventually([] { return posted(MGR_RS_SENT) == 1; }));

    const auto next = capture_->next(burst.back().at + 5s);
    ASSERT_TRUE(next);
    EXPECT_GE(ms(next->at - burst.back().at), 2800) << "the wait restarts after the burst";
}

TEST_F(RqLink, BurstEndsOnceAnAdvertisementArrives)
{
    start();
    const auto asked = wall::now();
    rq_set(3000, true);
    auto first = capture_->next(asked + 5s);
    ASSERT_TRUE(first);
    ASSERT_TRUE(capture_->next(first->at + 500ms));
    ASSERT_TRUE(capture_->next(first->at + 500ms));
    send_ra({"tr0"});
    const auto rest = capture_->until(first->at + 1500ms);
    const size_t total = 3 + rest.size();
    EXPECT_LT(total, 26u) << "the burst did not stop after the advertisement";
    ASSERT_TRUE(tt::eventually([] { return posted(MGR_RS_SENT) == 1; }));
    EXPECT_EQ(posted(MGR_RA_SEEN), 1);
    // The burst ends at the first pause after the advertisement was accepted.
    EXPECT_GE(posted_at(MGR_RS_SENT)[0], posted_at(MGR_RA_SEEN)[0]);
}

TEST_F(RqLink, StopDuringABurstReturnsOnceTheBurstIsDone)
{
    start();
    rq_set(3000, true);
    auto first = capture_->next(wall::now() + 5s);
    ASSERT_TRUE(first);
    const auto stopping = wall::now();
    rq_stop();
    started_ = false;
    EXPECT_LE(ms(wall::now() - stopping), 1500);
    const auto rest = capture_->until(wall::now() + 300ms);
    EXPECT_EQ(1 + rest.size(), 26u);
    EXPECT_EQ(posted(MGR_RS_SENT), 1);
}

TEST_F(RqLink, WatcherReportsOnlyValidAdvertisementsOnItsInterface)
{
    start();
    send_ra({"-h", "64", "tr0"});      // forwarded from beyond the link (RFC 4861 6.1.2)
    send_ra({"-c", "1", "tr0"});       // unknown code
    send_ra({"-l", "15", "tr0"});      // shorter than an advertisement
    send_ra({"-t", "128", "tr0"});     // echo request
    send_ra({"tr1"});                  // valid, but on another interface
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(posted(MGR_RA_SEEN), 0);

    // What the socket holds at once is one report: each waits for the one before.
    send_ra({"tr0"});
    EXPECT_TRUE(tt::eventually([] { return posted(MGR_RA_SEEN) == 1; }));
    send_ra({"-l", "16", "tr0"});      // the shortest valid one
    EXPECT_TRUE(tt::eventually([] { return posted(MGR_RA_SEEN) == 2; }));
    send_ra({"tr0", "2001:db8::53"});  // with options, solicited or not
    EXPECT_TRUE(tt::eventually([] { return posted(MGR_RA_SEEN) == 3; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(posted(MGR_RA_SEEN), 3);
    EXPECT_EQ(posted(MGR_RS_SENT), 0);
}

// The threads of this process, by id.
std::set<std::string> threads_now()
{
    std::set<std::string> ids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ids.insert(e->d_name);
        closedir(d);
    }
    return ids;
}

// How often these threads have gone to sleep: a thread the socket wakes sleeps again after.
long sleeps(const std::set<std::string>& ids)
{
    long total = 0;
    for (const std::string& id : ids) {
        std::ifstream status("/proc/self/task/" + id + "/status");
        for (std::string key; status >> key;)
            if (key == "voluntary_ctxt_switches:") {
                long n = 0;
                status >> n;
                total += n;
            }
    }
    return total;
}

TEST_F(RqLink, OtherIcmpTypesNeverWakeTheWatcher)
{
    // A sanitizer's runtime starts a helper thread of its own with the first thread created:
    // let that happen before the module's threads are told apart.
    std::thread([] {}).join();
    const std::set<std::string> before = threads_now();
    start();
    std::set<std::string> module;
    for (const std::string& id : threads_now())
        if (!before.count(id))
            module.insert(id);
    ASSERT_EQ(module.size(), 2u) << "sender and watcher";
    std::this_thread::sleep_for(100ms);  // both settle in their first wait

    const long settled = sleeps(module);
    for (const uint8_t type : {ICMP6_DST_UNREACH, ICMP6_ECHO_REQUEST, ICMP6_ECHO_REPLY, ND_ROUTER_SOLICIT,
                               ND_NEIGHBOR_SOLICIT, ND_NEIGHBOR_ADVERT, ND_REDIRECT, MLD_LISTENER_REPORT})
        send_icmp(type, 100);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sleeps(module), settled) << "a message other than an advertisement woke the module";

    send_ra({"tr0"});
    ASSERT_TRUE(tt::eventually([] { return posted(MGR_RA_SEEN) == 1; }));
    EXPECT_GT(sleeps(module), settled) << "an advertisement must wake the watcher";
}

TEST_F(RqLink, RadvdAnswersAndEndsABurstEarly)
{
    tt::temp_dir dir;
    start();
    tt::process radvd = tt::radvd(*net_, dir, tt::radvd_conf("tr0", "2001:db8::53"));
    // radvd advertises once on its own at start.
    ASSERT_TRUE(tt::eventually([] { return posted(MGR_RA_SEEN) >= 1; }, 10s)) << radvd.err();

    // radvd delays each answer by up to half a second (RFC 4861 6.2.6), about the length of a
    // burst, so one of a few cycles must end early.
    rq_set(3000, true);
    std::vector<size_t> cycles;
    auto deadline = wall::now() + 20s;
    while (cycles.size() < 4 && wall::now() < deadline) {
        auto first = capture_->next(deadline);
        if (!first)
            break;
        cycles.push_back(1 + capture_->until(first->at + 1500ms).size());
        if (cycles.back() < 26)
            break;
    }
    ASSERT_FALSE(cycles.empty());
    EXPECT_LT(cycles.back(), 26u) << "radvd never answered within a burst";
    EXPECT_GE(posted(MGR_RA_SEEN), 2);
    radvd.signal(SIGTERM);
    EXPECT_NE(radvd.wait(5s), -1);
}

TEST_F(RqLink, MissingInterfaceIsReportedEverySixSeconds)
{
    start("tw9");
    testing::internal::CaptureStderr();
    rq_set(3000, false);
    // The missing interface's index is 0, which is also the scope of a source that is not
    // link-local, as ::1 is: such an advertisement must not count as the watched one's.
    const tt::result sent = tt::run(net_->in(net_->host(), {SEND_RA_BIN, "-d", "::1", "lo"}));
    EXPECT_EQ(sent.status, 0) << sent.err;
    std::this_thread::sleep_for(9600ms);
    const std::string err = testing::internal::GetCapturedStderr();
    size_t reports = 0;
    for (size_t at = 0; (at = err.find("if_nametoindex: ", at)) != std::string::npos; ++at)
        ++reports;
    // At about 3 s, then 6 s later; with the ordinary floor a third would come at 9 s.
    EXPECT_EQ(reports, 2u) << err;
    EXPECT_TRUE(capture_->until(wall::now()).empty());
    EXPECT_EQ(posted(MGR_RS_SENT), 0);
    EXPECT_EQ(posted(MGR_RA_SEEN), 0);
}

}  // namespace
