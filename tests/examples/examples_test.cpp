// The shipped hook script and the installed tree.
#include "proc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

const std::string kHook = std::string(TAMROD_SOURCE_DIR) + "/examples/tamrod.sh";

struct lists {
    std::string v6, v4, r6, r4;
    std::string search = {};
};

// The hooks' lock and state go to a directory of their own, never the system's /run/tamrod.
tt::result run_hook(const tt::temp_dir& d, const lists& l, const std::string& resolvconf = "none")
{
    static const tt::temp_dir run;
    tt::spawn_options o;
    o.env = {{"TAMROD_V6", l.v6},
             {"TAMROD_V4", l.v4},
             {"TAMROD_R6", l.r6},
             {"TAMROD_R4", l.r4},
             {"TAMROD_SEARCH", l.search},
             {"TAMROD_RESOLV_CONF", d.file("resolv.conf")},
             {"TAMROD_RESOLVCONF", resolvconf},
             {"TAMROD_RUNDIR", run.path()}};
    return tt::run({kHook}, std::chrono::seconds(10), o);
}

tt::spawn_options env_only(std::map<std::string, std::string> env)
{
    tt::spawn_options o;
    o.env = std::move(env);
    return o;
}

std::vector<std::string> dir_entries(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(HookScript, WritesWlanIpv6FirstThenWlanIpv4ThenRadio)
{
    tt::temp_dir d;
    auto r = run_hook(d, {"2001:db8::53 2001:db8::54", "192.0.2.53", "2001:db8:ff::1", "198.51.100.1",
                          "example.org lab.example.org"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tt::read_file(d.file("resolv.conf")),
              "# BEGIN tamrod\n"
              "nameserver 2001:db8::53\n"
              "nameserver 2001:db8::54\n"
              "nameserver 192.0.2.53\n"
              "nameserver 2001:db8:ff::1\n"
              "nameserver 198.51.100.1\n"
              "search example.org lab.example.org\n"
              "# END tamrod\n");
    struct stat st{};
    ASSERT_EQ(stat(d.file("resolv.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(HookScript, KeepsForeignLinesAndReplacesItsOwnBlock)
{
    tt::temp_dir d;
    const std::string foreign = "search example.org\nnameserver 192.0.2.1\noptions edns0\n";
    d.write("resolv.conf", foreign);

    ASSERT_EQ(run_hook(d, {"2001:db8::53", "", "", ""}).status, 0);
    EXPECT_EQ(tt::read_file(d.file("resolv.conf")),
              "# BEGIN tamrod\nnameserver 2001:db8::53\n# END tamrod\n" + foreign);

    // A second run replaces the block instead of stacking another one on top.
    ASSERT_EQ(run_hook(d, {"", "", "", "198.51.100.7"}).status, 0);
    EXPECT_EQ(tt::read_file(d.file("resolv.conf")),
              "# BEGIN tamrod\nnameserver 198.51.100.7\n# END tamrod\n" + foreign);

    // All four lists empty: our entries go, the rest stays byte for byte.
    ASSERT_EQ(run_hook(d, {"", "", "", ""}).status, 0);
    EXPECT_EQ(tt::read_file(d.file("resolv.conf")), foreign);
}

TEST(HookScript, WritesThroughALinkedResolvConfAndKeepsTheLink)
{
    tt::temp_dir d;
    const std::string target = d.write("stub-resolv.conf", "options edns0\n");
    ASSERT_EQ(symlink(target.c_str(), d.file("resolv.conf").c_str()), 0);
    ASSERT_EQ(run_hook(d, {"2001:db8::53", "", "", ""}).status, 0);
    struct stat st{};
    ASSERT_EQ(lstat(d.file("resolv.conf").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a plain file";
    EXPECT_EQ(tt::read_file(target), "# BEGIN tamrod\nnameserver 2001:db8::53\n# END tamrod\noptions edns0\n");
}

TEST(HookScript, SameServerInTwoListsIsWrittenOnce)
{
    tt::temp_dir d;
    ASSERT_EQ(run_hook(d, {"2001:db8::1", "192.0.2.1", "2001:db8::1", "192.0.2.1 192.0.2.2"}).status, 0);
    EXPECT_EQ(tt::read_file(d.file("resolv.conf")),
              "# BEGIN tamrod\nnameserver 2001:db8::1\nnameserver 192.0.2.1\nnameserver 192.0.2.2\n"
              "# END tamrod\n");
}

TEST(HookScript, ReplacesTheFileAtomicallyAndLeavesNoTemporaryBehind)
{
    tt::temp_dir d;
    d.write("resolv.conf", "nameserver 192.0.2.1\n");
    struct stat before{}, after{};
    ASSERT_EQ(stat(d.file("resolv.conf").c_str(), &before), 0);
    ASSERT_EQ(run_hook(d, {"2001:db8::53", "", "", ""}).status, 0);
    ASSERT_EQ(stat(d.file("resolv.conf").c_str(), &after), 0);
    // A new inode: readers see either the old file or the new one, never a half-written one.
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(dir_entries(d.path()), std::vector<std::string>{"resolv.conf"});
}

TEST(HookScript, HandsServersToResolvconfWhenPresent)
{
    tt::temp_dir d;
    // A recording resolvconf: its arguments and standard input go to a log.
    const std::string fake = d.write("resolvconf",
                                     "#!/bin/sh\n"
                                     "{ echo \"args: $*\"; cat; } >> \"" + d.file("log") + "\"\n",
                                     0755);
    // The record is named after the interface with a protocol suffix: Debian's resolvconf takes any
    // name, systemd-resolved's shim wants an interface and drops the suffix.
    ASSERT_EQ(run_hook(d, {"2001:db8::53", "192.0.2.53", "", "", "example.org"}, fake).status, 0);
    ASSERT_EQ(run_hook(d, {"", "", "", "", ""}, fake).status, 0);
    EXPECT_EQ(tt::read_file(d.file("log")),
              "args: -a wlan0.tamrod\nnameserver 2001:db8::53\nnameserver 192.0.2.53\nsearch example.org\n"
              "args: -d wlan0.tamrod -f\n");
    EXPECT_FALSE(fs::exists(d.file("resolv.conf")));
}

// A damaged file never costs a foreign line: only lines between a BEGIN and the next END are the
// hook's; a marker without its partner goes alone, and the hook says what it removed.
TEST(HookScript, DamagedMarkersLoseNoForeignLine)
{
    const std::string block = "# BEGIN tamrod\nnameserver 2001:db8::53\n# END tamrod\n";
    const struct {
        const char* name;
        std::string before, after, said;
    } cases[] = {
        {"BEGIN without END", "a\n# BEGIN tamrod\nb\nc\n", "a\nb\nc\n", "unpaired line 2"},
        {"END without BEGIN", "a\n# END tamrod\nb\n", "a\nb\n", "unpaired line 2"},
        {"two blocks", "# BEGIN tamrod\nx\n# END tamrod\na\n# BEGIN tamrod\ny\n# END tamrod\nb\n", "a\nb\n",
         "removed 2 blocks"},
        {"BEGIN inside a block", "# BEGIN tamrod\na\n# BEGIN tamrod\nx\n# END tamrod\nb\n", "a\nb\n",
         "unpaired line 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tt::temp_dir d;
        d.write("resolv.conf", c.before);
        auto r = run_hook(d, {"2001:db8::53", "", "", ""});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(tt::read_file(d.file("resolv.conf")), block + c.after);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
}

TEST(HookScript, LinkIntoAMissingDirectoryIsReportedAndLeftAlone)
{
    tt::temp_dir d;
    ASSERT_EQ(symlink(d.file("gone/resolv.conf").c_str(), d.file("resolv.conf").c_str()), 0);
    auto r = run_hook(d, {"2001:db8::53", "", "", ""});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("whose directory does not exist"), std::string::npos) << r.err;
    EXPECT_EQ(fs::read_symlink(d.file("resolv.conf")), d.file("gone/resolv.conf"));
    EXPECT_EQ(dir_entries(d.path()), std::vector<std::string>{"resolv.conf"});
}

TEST(HookScript, ReadOnlyFileIsReportedAndLeftAlone)
{
    tt::temp_dir d;
    const std::string before = "nameserver 192.0.2.1\n";
    d.write("resolv.conf", before);
    const tt::temp_dir run;
    tt::spawn_options o;
    o.env = {{"TAMROD_V6", "2001:db8::53"}, {"TAMROD_RESOLV_CONF", d.file("resolv.conf")},
             {"TAMROD_RESOLVCONF", "none"}, {"TAMROD_RUNDIR", run.path()}};
    tt::result r;
    if (geteuid() == 0) {
        // Root writes through file modes: make the file system read-only in a private mount namespace.
        r = tt::run({"unshare", "-m", "sh", "-c",
                     "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && exec \"$1\"", d.path(),
                     kHook},
                    std::chrono::seconds(10), o);
    } else {
        ASSERT_EQ(chmod(d.file("resolv.conf").c_str(), 0444), 0);
        r = tt::run({kHook}, std::chrono::seconds(10), o);
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("read-only; left as it was"), std::string::npos) << r.err;
    EXPECT_EQ(tt::read_file(d.file("resolv.conf")), before);
    EXPECT_EQ(dir_entries(d.path()), std::vector<std::string>{"resolv.conf"});
}

TEST(ResolvedHook, SetsTheLinkAndRevertsWhenAllListsAreEmpty)
{
    tt::temp_dir d;
    const std::string fake = d.write("resolvectl", "#!/bin/sh\necho \"$# $*\" >> \"" + d.file("log") + "\"\n", 0755);
    // The link exists: a stand-in for ip that says so.
    fs::create_directory(d.file("bin"));
    d.write("bin/ip", "#!/bin/sh\nexit 0\n", 0755);
    const std::string hook = std::string(TAMROD_SOURCE_DIR) + "/examples/tamrod-resolved.sh";
    auto run = [&](const lists& l) {
        return tt::run({hook}, std::chrono::seconds(10),
                       env_only({{"TAMROD_V6", l.v6}, {"TAMROD_V4", l.v4}, {"TAMROD_R6", l.r6}, {"TAMROD_R4", l.r4},
                                 {"TAMROD_SEARCH", l.search}, {"TAMROD_INTERFACE", "wlp2s0"},
                                 {"TAMROD_RESOLVECTL", fake}, {"TAMROD_RUNDIR", d.file("run")},
                                 {"PATH", d.file("bin") + ":/usr/bin:/bin"}}))
            .status;
    };
    EXPECT_EQ(run({"fe80::53%wlp2s0", "192.0.2.53", "", "192.0.2.53", "example.org -h"}), 0);
    EXPECT_EQ(run({"", "", "2001:db8:ff::1", "", ""}), 0);  // no domains left: the list is cleared
    EXPECT_EQ(run({"", "", "", "", ""}), 0);
    // Argument counts show that an empty list is passed as one empty argument, not dropped; "--" ends
    // the options, and a name that would read as one (-h) never reaches resolvectl.
    EXPECT_EQ(tt::read_file(d.file("log")),
              "5 dns -- wlp2s0 fe80::53%wlp2s0 192.0.2.53\n"
              "4 domain -- wlp2s0 example.org\n"
              "4 dns -- wlp2s0 2001:db8:ff::1\n"
              "4 domain -- wlp2s0 \n"
              "3 revert -- wlp2s0\n");
}

// The DHCP clients' glue, run as each client runs it, against stand-ins for tamrod and ip on PATH
// that log their arguments.
struct DhcpGlue : ::testing::Test {
    tt::temp_dir d;
    std::string run(const std::vector<std::string>& argv, std::map<std::string, std::string> env)
    {
        const std::string bin = d.file("bin");
        fs::create_directory(bin);
        for (const char* tool : {"tamrod", "ip", "hook"})
            d.write(std::string("bin/") + tool, "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> \"" + d.file("log") + "\"\n",
                    0755);
        env["PATH"] = bin + ":/usr/bin:/bin";
        env["TAMROD_HOOK"] = bin + "/hook";
        fs::remove(d.file("log"));
        auto r = tt::run(argv, std::chrono::seconds(10), env_only(env));
        EXPECT_EQ(r.status, 0) << r.err;
        return fs::exists(d.file("log")) ? tt::read_file(d.file("log")) : "";
    }
};

TEST_F(DhcpGlue, DhclientHookSetsTheLeaseServersAndClearsThemWhenItEnds)
{
    // dhclient-script sources its exit hooks; a following command shows the hook did not end the script.
    const std::vector<std::string> sourced = {
        "sh", "-c", ". \"$0\"; echo after >> \"$1\"", std::string(TAMROD_SOURCE_DIR) + "/examples/dhclient-exit-hook",
        d.file("log")};
    for (const char* reason : {"BOUND", "RENEW", "REBIND", "REBOOT"})
        EXPECT_EQ(run(sourced, {{"reason", reason}, {"interface", "wlan0"},
                                {"new_domain_name_servers", "192.0.2.53 192.0.2.54"}}),
                  "tamrod -4 -- 192.0.2.53 192.0.2.54\nhook reapply\nafter\n")
            << reason;
    for (const char* reason : {"EXPIRE", "FAIL", "RELEASE", "STOP"})
        EXPECT_EQ(run(sourced, {{"reason", reason}, {"interface", "wlan0"}}), "tamrod -4\nafter\n") << reason;
    // Another interface's lease leaves tamrod alone, but dhclient-script rewrote resolv.conf for it
    // too, so the hook's block is put back; events that change nothing do neither.
    EXPECT_EQ(run(sourced, {{"reason", "BOUND"}, {"interface", "eth0"}, {"new_domain_name_servers", "192.0.2.1"}}),
              "hook reapply\nafter\n");
    EXPECT_EQ(run(sourced, {{"reason", "PREINIT"}, {"interface", "wlan0"}}), "after\n");
    EXPECT_EQ(run(sourced, {{"reason", "BOUND"}, {"interface", "wlp2s0"}, {"TAMROD_INTERFACE", "wlp2s0"},
                            {"new_domain_name_servers", "192.0.2.9"}}),
              "tamrod -4 -- 192.0.2.9\nhook reapply\nafter\n");
}

TEST_F(DhcpGlue, UdhcpcScriptConfiguresTheLeaseAndHandsOverItsServers)
{
    const std::string script = std::string(TAMROD_SOURCE_DIR) + "/examples/udhcpc.script";
    const std::map<std::string, std::string> lease = {{"interface", "wlan0"}, {"ip", "192.0.2.10"},   {"mask", "24"},
                                                      {"router", "192.0.2.1 192.0.2.2"},            {"dns", "192.0.2.53"}};
    for (const char* event : {"bound", "renew"})
        EXPECT_EQ(run({script, event}, lease),
                  "ip -4 addr flush dev wlan0\nip -4 addr add 192.0.2.10/24 dev wlan0\n"
                  "ip -4 route replace default via 192.0.2.1 dev wlan0\ntamrod -4 -- 192.0.2.53\n")
            << event;
    EXPECT_EQ(run({script, "deconfig"}, {{"interface", "wlan0"}}), "ip -4 addr flush dev wlan0\ntamrod -4\n");
    EXPECT_EQ(run({script, "leasefail"}, {{"interface", "wlan0"}}), "tamrod -4\n");
}

TEST(InstalledTree, EveryFileInItsPlaceWithSensibleModes)
{
    tt::temp_dir d;
    const std::string dest = d.file("root");
    auto r = tt::run({"cmake", "--install", TAMROD_BINARY_DIR, "--prefix", "/usr"}, std::chrono::seconds(60),
                     env_only({{"DESTDIR", dest}}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    const std::vector<std::pair<std::string, unsigned>> expected = {
        {"/usr/sbin/tamrod", 0755},
        {"/usr/share/man/man8/tamrod.8", 0644},
        {"/etc/tamrod.sh", 0755},
        {"/etc/tamrod-resolved.sh", 0755},
        {"/etc/tamrod/dhclient-exit-hook", 0644},
        {"/etc/tamrod/udhcpc.script", 0755},
        {"/usr/share/doc/tamrod/examples/tamrod.conf", 0644},
        {"/usr/lib/systemd/system/tamrod@.service", 0644},
    };
    for (const auto& [path, mode] : expected) {
        struct stat st{};
        ASSERT_EQ(stat((dest + path).c_str(), &st), 0) << path;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
        EXPECT_EQ(st.st_mode & 07777, mode) << path;
    }

    // The shipped policy example must be accepted by the daemon's own reader: -c reads it at once,
    // and with -l it ends with the usage text (not a reader's message).
    auto c = tt::run({tt::tamrod_bin(), "-c", dest + "/usr/share/doc/tamrod/examples/tamrod.conf", "-l"});
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.err.rfind("Usage: tamrod", 0), 0u) << c.err;
}

TEST(InstalledTree, ManualPageRendersWithoutWarnings)
{
    if (system("command -v man >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "man is not installed";
    auto r = tt::run({"man", "--warnings", "-l", std::string(TAMROD_SOURCE_DIR) + "/doc/tamrod.8"},
                     std::chrono::seconds(30), env_only({{"MANPAGER", "cat"}, {"MANWIDTH", "80"}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("TAMROD_V6"), std::string::npos);
}

TEST(InstalledTree, ServiceUnitPassesSystemdVerification)
{
    if (system("command -v systemd-analyze >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    tt::temp_dir d;
    // Verification wants the executable to exist: point the unit at the built one.
    std::string unit = tt::read_file(std::string(TAMROD_SOURCE_DIR) + "/examples/tamrod@.service.in");
    for (auto at = unit.find("@SBINDIR@/tamrod"); at != std::string::npos; at = unit.find("@SBINDIR@/tamrod"))
        unit.replace(at, std::string("@SBINDIR@/tamrod").size(), tt::tamrod_bin());
    for (auto at = unit.find("@SYSCONFDIR@/"); at != std::string::npos; at = unit.find("@SYSCONFDIR@/"))
        unit.replace(at, std::string("@SYSCONFDIR@/").size(), std::string(TAMROD_SOURCE_DIR) + "/examples/");
    const std::string path = d.write("tamrod@.service", unit);
    auto r = tt::run({"systemd-analyze", "verify", "--man=no", path}, std::chrono::seconds(30));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

}  // namespace
