// The example hooks under concurrent writers, signals, DHCP renewals and an interface that goes away.
#include "proc.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

const std::string kSrc = TAMROD_SOURCE_DIR;
const std::string kHook = kSrc + "/examples/tamrod.sh";

// A resolv.conf in one directory, the hooks' lock and state in another, stand-ins in a third (first
// on PATH).
struct HookRace : ::testing::Test {
    tt::temp_dir etc, run, bin;
    std::string conf = etc.file("resolv.conf");

    std::map<std::string, std::string> env(std::map<std::string, std::string> extra = {})
    {
        extra.merge(std::map<std::string, std::string>{{"TAMROD_RESOLV_CONF", conf},
                                                        {"TAMROD_RESOLVCONF", "none"},
                                                        {"TAMROD_RUNDIR", run.path()},
                                                        {"PATH", bin.path() + ":/usr/bin:/bin"}});
        return extra;
    }
    tt::spawn_options opts(std::map<std::string, std::string> extra = {})
    {
        tt::spawn_options o;
        o.env = env(std::move(extra));
        return o;
    }
    tt::result hook(const std::string& v6, const std::vector<std::string>& args = {})
    {
        std::vector<std::string> argv{kHook};
        argv.insert(argv.end(), args.begin(), args.end());
        return tt::run(argv, std::chrono::seconds(10), opts({{"TAMROD_V6", v6}}));
    }
    std::vector<std::string> etc_entries()
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(etc.path()))
            names.push_back(e.path().filename());
        return names;
    }
};

// Without the lock, a hook that reads the file while another writer renames over it puts back what it
// read and loses the other's line.
TEST_F(HookRace, TwoHooksAndALockedWriterLoseNoLine)
{
    etc.write("resolv.conf", "options edns0\n");
    const std::string script = R"(
        hook() { i=0; while [ $i -lt 12 ]; do TAMROD_V6=$1 "$0"; i=$((i + 1)); done; }
        hook 2001:db8::a & hook 2001:db8::b &
        i=0
        while [ $i -lt 12 ]; do
            flock "$TAMROD_RUNDIR/lock" sh -c 'cp "$0" "$0.w" && echo "nameserver 192.0.2.$1" >> "$0.w" && mv "$0.w" "$0"' \
                "$TAMROD_RESOLV_CONF" "$i"
            i=$((i + 1))
        done
        wait)";
    auto r = tt::run({"sh", "-c", script, kHook}, std::chrono::seconds(60), opts());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = tt::read_file(conf);
    for (int i = 0; i < 12; ++i)
        EXPECT_NE(text.find("nameserver 192.0.2." + std::to_string(i) + "\n"), std::string::npos) << i << "\n" << text;
    EXPECT_NE(text.find("options edns0\n"), std::string::npos);
    const bool a = text.rfind("# BEGIN tamrod\nnameserver 2001:db8::a\n# END tamrod\n", 0) == 0;
    const bool b = text.rfind("# BEGIN tamrod\nnameserver 2001:db8::b\n# END tamrod\n", 0) == 0;
    EXPECT_TRUE(a || b) << text;
    EXPECT_EQ(text.find("# BEGIN tamrod", 1), std::string::npos) << text;
    EXPECT_EQ(etc_entries(), std::vector<std::string>{"resolv.conf"});
}

// dash runs no EXIT trap when a signal kills it: stopped by the daemon's time limit, systemctl stop or
// Ctrl-C in the middle of a run, the hook must still take its temporary file away.
TEST_F(HookRace, KilledInTheMiddleLeavesNoTemporaryFileAndTheFileAsItWas)
{
    bin.write("awk", "#!/bin/sh\ntouch \"" + bin.file("started") + "\"\nsleep 1\nexec /usr/bin/awk \"$@\"\n", 0755);
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        fs::remove(bin.file("started"));
        etc.write("resolv.conf", "nameserver 192.0.2.1\n");
        tt::process p({kHook}, opts({{"TAMROD_V6", "2001:db8::53"}}));
        ASSERT_TRUE(tt::eventually([&] { return fs::exists(bin.file("started")); }));
        ASSERT_GT(etc_entries().size(), 1u) << "the temporary file should exist now";
        p.signal(sig);
        EXPECT_EQ(p.wait(), 128 + sig) << p.err();
        EXPECT_EQ(etc_entries(), std::vector<std::string>{"resolv.conf"});
        EXPECT_EQ(tt::read_file(conf), "nameserver 192.0.2.1\n");
    }
}

// dhclient-script rewrites resolv.conf on every renewal; the lists are unchanged, so the daemon does
// not run the hook. The glue puts the block back; after the daemon cleared its lists it puts none.
TEST_F(HookRace, DhclientRenewalPutsTheBlockBack)
{
    bin.write("tamrod", "#!/bin/sh\nexit 0\n", 0755);
    auto renew = [&] {
        etc.write("resolv.conf", "nameserver 192.0.2.1\n");  // what dhclient-script writes
        return tt::run({"sh", "-c", ". \"$0\"", kSrc + "/examples/dhclient-exit-hook"}, std::chrono::seconds(10),
                       opts({{"reason", "RENEW"}, {"interface", "wlan0"}, {"new_domain_name_servers", "192.0.2.1"},
                             {"TAMROD_HOOK", kHook}}));
    };
    ASSERT_EQ(hook("2001:db8::53").status, 0);
    ASSERT_EQ(renew().status, 0);
    EXPECT_EQ(tt::read_file(conf), "# BEGIN tamrod\nnameserver 2001:db8::53\n# END tamrod\nnameserver 192.0.2.1\n");
    ASSERT_EQ(hook("").status, 0);
    ASSERT_EQ(renew().status, 0);
    EXPECT_EQ(tt::read_file(conf), "nameserver 192.0.2.1\n");
}

// Other components read the NAT64 prefixes and the portal from a file that a shell can source.
TEST_F(HookRace, StateFileCarriesNat64PrefixesAndPortal)
{
    const std::string state = run.file("wlan0.env");
    auto sourced = [&] {
        return tt::run({"sh", "-c", ". \"$0\" && printf '%s|%s' \"$PREF64\" \"$PORTAL\"", state}).out;
    };
    auto r = tt::run({kHook}, std::chrono::seconds(10),
                     opts({{"TAMROD_PREF64", "64:ff9b::/96 2001:db8:64::/64"},
                           {"TAMROD_PORTAL", "https://portal.example/api?a=1&b=$(id)"}}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sourced(), "64:ff9b::/96 2001:db8:64::/64|https://portal.example/api?a=1&b=$(id)");
    // A quote would end the value early: such a portal is left out, and said.
    r = tt::run({kHook}, std::chrono::seconds(10), opts({{"TAMROD_PORTAL", "https://x.example/'"}}));
    EXPECT_NE(r.err.find("portal URI skipped"), std::string::npos) << r.err;
    EXPECT_EQ(tt::read_file(state), "PREF64=''\nPORTAL=''\n");
}

// systemd-resolved takes link settings only for a link that exists. Wi-Fi off: the radio's link gets
// its servers at once; the WLAN's lists reach its link when it comes back, without a run of the daemon.
TEST_F(HookRace, ResolvedHookHandsOverWhenTheInterfaceReturns)
{
    const std::string log = bin.file("log");
    bin.write("resolvectl", "#!/bin/sh\necho \"$*\" >> \"" + log + "\"\n", 0755);
    // ip link show dev NAME: NAME exists when bin/present.NAME does; ip monitor prints a line once
    // the WLAN's does.
    bin.write("ip",
              "#!/bin/sh\n"
              "case $1 in\n"
              "link) [ -e \"" + bin.file("present.") + "$4\" ] ;;\n"
              "-o) until [ -e \"" + bin.file("present.wlan0") + "\" ]; do sleep 0.05; done; echo '9: wlan0: <UP>'; exec sleep 30 ;;\n"
              "esac\n",
              0755);
    bin.write("present.rmnet0", "");
    const std::string hook = kSrc + "/examples/tamrod-resolved.sh";
    auto r = tt::run({hook}, std::chrono::seconds(10),
                     opts({{"TAMROD_V4", "192.0.2.53"}, {"TAMROD_R6", "2001:db8:ff::1"}, {"TAMROD_SEARCH", "example.org"},
                           {"TAMROD_RADIO_INTERFACE", "rmnet0"}}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("wlan0 is absent"), std::string::npos) << r.err;
    EXPECT_EQ(tt::read_file(log), "dns -- rmnet0 2001:db8:ff::1\ndomain -- rmnet0 \n");

    bin.write("present.wlan0", "");
    const std::string want = "dns -- rmnet0 2001:db8:ff::1\ndomain -- rmnet0 \n"
                             "dns -- wlan0 192.0.2.53\ndomain -- wlan0 example.org\n"
                             "dns -- rmnet0 2001:db8:ff::1\ndomain -- rmnet0 \n";
    EXPECT_TRUE(tt::eventually([&] { return tt::read_file(log) == want; })) << tt::read_file(log);
    // The watcher is gone, and with it the monitor it started.
    EXPECT_TRUE(tt::eventually([&] {
        return tt::run({"flock", "-n", run.file("wlan0.watch"), "true"}).status == 0 &&
               tt::run({"pgrep", "-f", "sleep 30"}).status != 0;
    }));
}

}  // namespace
