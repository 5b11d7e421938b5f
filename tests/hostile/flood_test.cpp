// A flood of Router Advertisements with changing RDNSS server sets, sent over a real link while
// clients use the control socket: the daemon must keep up, keep its memory, never overlap two
// script runs, and end up holding exactly the servers the server table's rules give.
#include "ctl_wire.h"
#include "daemon.h"
#include "netns.h"
#include "out_test_support.h"
#include "proc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/icmp6.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace tw;

constexpr int kPool = 7;
#ifdef __SANITIZE_THREAD__
constexpr long kGrowthKib = 4096;  // its shadow and history grow with every new address touched
#else
constexpr long kGrowthKib = 1024;
#endif
constexpr int kAdverts = 4000;

in6_addr pool_addr(int k)
{
    in6_addr a{};
    inet_pton(AF_INET6, ("2001:db8:f::" + std::to_string(k + 1)).c_str(), &a);
    return a;
}
constexpr int kPhases = 8;
// The lifetimes shift every phase, so which servers win depends on the order they came in.
// Any two lifetimes of different servers or phases lie at least 20 s apart, so the few seconds
// the table ages during the flood cannot change a comparison the rules make.
uint32_t pool_lifetime(int k, int phase)
{
    return 1000u * static_cast<uint32_t>((k * 3 + phase) % kPool + 1) + 20u * static_cast<uint32_t>(phase);
}

// The server table's merge (refresh, insert into a free slot, else replace the first slot with
// less time left), without ageing.
struct table {
    std::array<int, kMaxServers> slot{-1, -1, -1, -1};  // pool index, -1 free
    std::array<uint32_t, kMaxServers> left{};
    // One option of one server, as the listener reports it.
    void merge(int k, uint32_t lifetime)
    {
        for (int i = 0; i < kMaxServers; ++i)
            if (slot[i] == k) {
                left[i] = lifetime;  // refresh
                return;
            }
        auto at = std::find(slot.begin(), slot.end(), -1) - slot.begin();  // the first free slot,
        for (int i = 0; at == kMaxServers && i < kMaxServers; ++i)        // else the first with less left
            if (left[i] < lifetime)
                at = i;
        if (at < kMaxServers) {
            slot[at] = k;
            left[at] = lifetime;
        }
    }
    std::set<std::string> held() const
    {
        std::set<std::string> out;
        for (int s : slot)
            if (s >= 0) {
                char text[INET6_ADDRSTRLEN];
                const in6_addr a = pool_addr(s);
                out.insert(inet_ntop(AF_INET6, &a, text, sizeof text));
            }
        return out;
    }
};

// One RDNSS option per server, since an option carries one lifetime for all its addresses.
std::string advert(const std::vector<int>& servers, int phase)
{
    std::string ra(16, '\0');
    ra[0] = static_cast<char>(ND_ROUTER_ADVERT);  // router lifetime 0: no default route
    for (int k : servers) {
        std::string opt(8, '\0');
        opt[0] = 25;
        opt[1] = 3;
        const uint32_t lifetime = htonl(pool_lifetime(k, phase));
        opt.replace(4, 4, reinterpret_cast<const char*>(&lifetime), 4);
        const in6_addr a = pool_addr(k);
        ra += opt + std::string(reinterpret_cast<const char*>(&a), sizeof a);
    }
    return ra;
}

long rss_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Replaces the policy file in one step, so a reload never reads half of it.
void write_policy(const tt::temp_dir& dir, const std::string& text)
{
    const std::string next = dir.write("policy.next", text);
    ASSERT_EQ(rename(next.c_str(), dir.file("policy").c_str()), 0);
}

TEST(HostileFlood, AdvertisementFloodWithClientsAndReloadsEndsWithTheServersTheRulesGive)
{
    TT_REQUIRE_ROOT();
    tt::netns_pair net("flood", 1);
    ASSERT_TRUE(net.ok()) << net.error();
    ASSERT_TRUE(net.wait_ready());
    tt::temp_dir dir;
    ot::script_log script{dir};
    const std::string state = dir.file("wifi");
    tt::wifi_state wifi;
    wifi.bssid = "02:00:5e:10:00:01";
    wifi.essid = "Flood";
    tt::write_wifi_state(state, wifi);
    write_policy(dir, "Flood + 1\n");

    // Advertisements count only once the association is known; the one solicitation the
    // policy allows shows it is.
    const int rs = tt::rs_socket(net.router());
    ASSERT_GE(rs, 0);
    tt::process daemon;
    {
        tt::spawn_options opt;
        opt.env = tt::wifi_stub_env("tw0", state);
        // Under AddressSanitizer freed memory sits in quarantine and would look like growth.
        opt.env["ASAN_OPTIONS"] += ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
        tt::netns_enter host(net.host());
        ASSERT_TRUE(host.ok());
        daemon = tt::process({tt::tamrod_bin(), "-f", "-i", "tw0", "-x", script.path(), "-c", dir.file("policy")}, opt);
    }
    ASSERT_TRUE(script.wait_ended(1)) << daemon.err();
    const bool soliciting = tt::solicitation_seen(rs, 10s);
    close(rs);
    ASSERT_TRUE(soliciting) << daemon.err();

    int fd = -1;
    {
        tt::netns_enter router(net.router());
        ASSERT_TRUE(router.ok());
        fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    }
    ASSERT_GE(fd, 0);
    const int hops = 255;
    const unsigned ifindex = tt::netns_pair::ifindex(net.router(), "tr0");
    ASSERT_EQ(setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops), 0);
    ASSERT_EQ(setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &ifindex, sizeof ifindex), 0);
    sockaddr_in6 dst{};
    dst.sin6_family = AF_INET6;
    dst.sin6_scope_id = ifindex;
    inet_pton(AF_INET6, "ff02::1", &dst.sin6_addr);

    // Clients set and list the IPv4 servers and reload the policy all through the flood.
    std::atomic<bool> flooding{true};
    std::atomic<int> client_rounds{0};
    std::thread clients([&] {
        for (int i = 0; flooding; ++i, ++client_rounds) {
            const ns4_list v4list = v4({i % 2 ? "192.0.2.1" : "192.0.2.2"});
            exchange(word(CMD_SET_WLAN4) + bytes_of(v4list));
            exchange(word(CMD_LIST));
            if (i % 16 == 0) {
                write_policy(dir, i % 32 ? "Flood + 1\n" : "Flood + 0\n");
                exchange(word(CMD_RELOAD));
            }
        }
        exchange(word(CMD_SET_WLAN4) + bytes_of(v4({"192.0.2.9"})));
    });

    std::mt19937 rng(20261207);
    table expected;
    long rss_warm = -1;
    const auto begun = std::chrono::steady_clock::now();
    for (int n = 0; n < kAdverts; ++n) {
        std::vector<int> servers;
        for (int want = 1 + static_cast<int>(rng() % 3); static_cast<int>(servers.size()) < want;) {
            const int k = static_cast<int>(rng() % kPool);
            if (std::find(servers.begin(), servers.end(), k) == servers.end())
                servers.push_back(k);
        }
        const int phase = n * kPhases / kAdverts;
        const std::string ra = advert(servers, phase);
        // A loaded machine may briefly have no buffer for the datagram: wait and send it again.
        ssize_t sent;
        for (int tries = 0; (sent = sendto(fd, ra.data(), ra.size(), 0, reinterpret_cast<sockaddr*>(&dst),
                                           sizeof dst)) < 0 && errno == ENOBUFS && tries < 100; ++tries)
            std::this_thread::sleep_for(1ms);
        if (sent != static_cast<ssize_t>(ra.size())) {
            flooding = false;
            clients.join();
            FAIL() << "sendto: " << std::strerror(errno);
        }
        for (int k : servers)
            expected.merge(k, pool_lifetime(k, phase));
        if (n % 8 == 7)
            std::this_thread::sleep_for(2ms);  // about 2500 a second
        if (n == kAdverts / 4)
            rss_warm = rss_kib(daemon.pid());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    flooding = false;
    clients.join();
    close(fd);

    const auto want = expected.held();
    std::set<std::string> got;
    ASSERT_TRUE(tt::eventually([&] {
        const auto r = tt::run({tt::tamrod_bin(), "-l"});
        std::set<std::string> lines;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            if (line.find(':') != std::string::npos)
                lines.insert(line);
        got = lines;
        return got == want;
    }, 10s)) << "held " << testing::PrintToString(got) << ", the rules give " << testing::PrintToString(want);
    EXPECT_EQ(list_lists().v4.count, 1);
    EXPECT_GT(client_rounds.load(), 10);
    const long rss_end = rss_kib(daemon.pid());
    EXPECT_LT(rss_end - rss_warm, kGrowthKib) << "VmRSS grew from " << rss_warm << " to " << rss_end << " kB";
    EXPECT_TRUE(daemon.running()) << daemon.err();
    EXPECT_EQ(daemon.err().find("ENOBUFS"), std::string::npos) << daemon.err();
    script.settle();
    EXPECT_FALSE(script.overlapped()) << "two script runs overlapped";
    std::printf("flood: %d advertisements in %.2f s, %d client rounds, %zu script runs, VmRSS %ld -> %ld kB\n",
                kAdverts, seconds, client_rounds.load(), script.runs().size(), rss_warm, rss_end);

    // The last reload forbids soliciting on this network: the next association report must find
    // it in force and drop the servers. Had a reload been lost, they would stay.
    write_policy(dir, "Flood + -1\n");
    EXPECT_EQ(exchange(word(CMD_RELOAD)), "");
    EXPECT_TRUE(tt::eventually([&] {
        tt::run(net.in(net.host(), {FORGE_LINK, "tw0", "ap=" + wifi.bssid}));
        return list_lists().v6.count == 0;
    }, 5s)) << "the reloaded policy never reached the manager";
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(10s), 1);
}

}  // namespace
