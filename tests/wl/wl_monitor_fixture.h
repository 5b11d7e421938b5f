// The wireless monitor's test fixture: each test in a private network namespace, where the
// preloaded stand-in answers the requests for a veth interface, forge_link multicasts link
// notifications as the kernel would, and a recording mgr_post (wl_monitor_fixture.cpp) stands in
// for the manager channel, so the posts are what the test observes.
//
// The association record outlives wl_cleanup by design (a daemon starts once), so a check of
// the very first record assumes a fresh process, as ctest gives every case.
#pragma once

#include "daemon.h"
#include "mgr.h"
#include "proc.h"
#include "util.h"
#include "wl.h"

#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace wm {

inline std::mutex posts_mu;
inline std::condition_variable posts_cv;
inline std::vector<assoc_info> posts;
inline int foreign_posts = 0;
inline bool gate_closed = false;
inline int held_posters = 0;
inline int inits_in_process = 0;

inline constexpr char kIf[] = "wlt0";
inline constexpr char kPeer[] = "wlp0";
inline constexpr char kA[] = "00:11:22:33:44:55";
inline constexpr char kB[] = "02:aa:bb:cc:dd:01";
inline constexpr char kC[] = "02:aa:bb:cc:dd:02";
inline constexpr char kZero[] = "00:00:00:00:00:00";

inline std::array<uint8_t, 6> mac(const std::string& text)
{
    std::array<unsigned, 6> v{};
    std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    std::array<uint8_t, 6> m{};
    for (size_t i = 0; i < 6; ++i)
        m[i] = static_cast<uint8_t>(v[i]);
    return m;
}

inline std::string essid_of(const assoc_info& a) { return std::string(a.essid.data()); }

inline ::testing::AssertionResult record_is(const assoc_info& a, int flag, const std::string& bssid,
                                            const std::string& essid)
{
    if (a.associated != flag || a.bssid != mac(bssid) || essid_of(a) != essid || a.reserved != 0)
        return ::testing::AssertionFailure()
               << "got flag " << a.associated << " essid '" << essid_of(a) << "', wanted flag " << flag
               << " bssid " << bssid << " essid '" << essid << "'";
    // Everything behind the name is zero: the manager compares the field as it stands.
    for (size_t i = essid.size(); i < a.essid.size(); ++i)
        if (a.essid[i] != '\0')
            return ::testing::AssertionFailure() << "ESSID byte " << i << " not zero";
    return ::testing::AssertionSuccess();
}

inline tt::wifi_state wifi(const std::string& bssid, const std::string& essid, int mode = 2)
{
    tt::wifi_state s;
    s.bssid = bssid;
    s.essid = essid;
    s.mode = mode;
    return s;
}

inline tt::wifi_state range_wifi(const std::string& bssid, int version, int range_len)
{
    tt::wifi_state s = wifi(bssid, "LabNet");
    s.version = version;
    s.range_len = range_len;
    return s;
}

inline tt::wifi_state failing_wifi(const std::string& bssid, bool fail)
{
    tt::wifi_state s = wifi(bssid, "LabNet");
    s.fail = fail;
    return s;
}

inline size_t post_count()
{
    std::lock_guard lock(posts_mu);
    return posts.size();
}

// The posts so far, once there are at least n of them (or after the time-out).
inline std::vector<assoc_info> wait_posts(size_t n)
{
    std::unique_lock lock(posts_mu);
    posts_cv.wait_for(lock, std::chrono::seconds(5), [n] { return posts.size() >= n; });
    return posts;
}

// Waits until the monitor is held inside a post by the closed gate.
inline bool monitor_held()
{
    std::unique_lock lock(posts_mu);
    return posts_cv.wait_for(lock, std::chrono::seconds(5), [] { return held_posters > 0; });
}

inline void set_gate(bool closed)
{
    std::lock_guard lock(posts_mu);
    gate_closed = closed;
    posts_cv.notify_all();
}

class WlMonitor : public ::testing::Test {
protected:
    void SetUp() override
    {
        TT_REQUIRE_ROOT();
        // Only this thread (and what it starts) moves; the namespace goes when the process ends.
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        const auto r = tt::run({"ip", "link", "add", kIf, "type", "veth", "peer", "name", kPeer});
        ASSERT_EQ(r.status, 0) << r.err;
        state_path_ = dir_.file("wext");
        err_.emplace(dir_.file("stderr"));
        setenv("TAMROD_WEXT_IFNAME", kIf, 1);
        setenv("TAMROD_WEXT_STATE", state_path_.c_str(), 1);
        std::lock_guard lock(posts_mu);
        posts.clear();
        foreign_posts = 0;
        gate_closed = false;
    }

    void TearDown() override
    {
        set_gate(false);
        wl_stop();
        wl_cleanup();
        EXPECT_EQ(foreign_posts, 0) << "only MGR_ASSOC with a whole record may be posted";
        if (err_) {
            const std::string text = err_->text();
            err_.reset();
            if (HasFailure())
                std::printf("standard error of the module:\n%s", text.c_str());
        }
    }

    void set_state(const tt::wifi_state& s, const std::string& extra = "")
    {
        tt::write_wifi_state(state_path_, s);
        if (!extra.empty())
            std::ofstream(state_path_, std::ios::app) << extra << "\n";
    }

    int init(const char* ifname = kIf)
    {
        ++inits_in_process;
        return wl_init(ifname);
    }

    // Starts the monitor from the given state and returns its first post.
    assoc_info start(const tt::wifi_state& s)
    {
        set_state(s);
        EXPECT_EQ(init(), 0);
        EXPECT_EQ(wl_start(), 0);
        const auto p = wait_posts(1);
        EXPECT_EQ(p.size(), 1u);
        return p.empty() ? assoc_info{} : p[0];
    }

    // Runs ip in the test's namespace.
    static void ip(std::vector<std::string> args)
    {
        args.insert(args.begin(), "ip");
        const auto r = tt::run(args);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    void forge(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{FORGE_LINK};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = tt::run(argv);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // Sends notifications and the access-point event `after` for the watched interface, and
    // returns the posts they caused: the posts come in notification order, so once `after` has
    // been posted everything sent before it has been handled.
    std::vector<assoc_info> forge_then(const std::vector<std::vector<std::string>>& sends,
                                       const std::string& after)
    {
        const size_t before = post_count();
        for (const auto& s : sends)
            forge(s);
        forge({kIf, "ap=" + after});
        auto all = wait_posts(before + 1);
        EXPECT_TRUE(!all.empty() && all.back().bssid == mac(after)) << "the closing event was not posted";
        return {all.begin() + static_cast<long>(before), all.end()};
    }

    tt::temp_dir dir_;
    std::string state_path_;
    std::optional<tt::stderr_capture> err_;
};

}  // namespace wm
