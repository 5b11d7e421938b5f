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
};

tt::result run_hook(const tt::temp_dir& d, const lists& l, const std::string& resolvconf = "none")
{
    tt::spawn_options o;
    o.env = {{"TAMROD_V6", l.v6},
             {"TAMROD_V4", l.v4},
             {"TAMROD_R6", l.r6},
             {"TAMROD_R4", l.r4},
             {"TAMROD_RESOLV_CONF", d.file("resolv.conf")},
             {"TAMROD_RESOLVCONF", resolvconf}};
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
    auto r = run_hook(d, {"2001:db8::53 2001:db8::54", "192.0.2.53", "2001:db8:ff::1", "198.51.100.1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tt::read_file(d.file("resolv.conf")),
              "# BEGIN tamrod\n"
              "nameserver 2001:db8::53\n"
              "nameserver 2001:db8::54\n"
              "nameserver 192.0.2.53\n"
              "nameserver 2001:db8:ff::1\n"
              "nameserver 198.51.100.1\n"
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
    ASSERT_EQ(run_hook(d, {"2001:db8::53", "192.0.2.53", "", ""}, fake).status, 0);
    ASSERT_EQ(run_hook(d, {"", "", "", ""}, fake).status, 0);
    EXPECT_EQ(tt::read_file(d.file("log")),
              "args: -a tamrod\nnameserver 2001:db8::53\nnameserver 192.0.2.53\n"
              "args: -d tamrod -f\n");
    EXPECT_FALSE(fs::exists(d.file("resolv.conf")));
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
        {std::string(TAMROD_HOOK_PATH), 0755},
        {"/usr/share/doc/tamrod/examples/tamrod.conf", 0644},
        {"/usr/lib/systemd/system/tamrod@.service", 0644},
    };
    for (const auto& [path, mode] : expected) {
        struct stat st{};
        ASSERT_EQ(stat((dest + path).c_str(), &st), 0) << path;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
        EXPECT_EQ(st.st_mode & 07777, mode) << path;
    }

    // One instance per interface, living as long as the interface's device.
    const std::string unit = tt::read_file(dest + "/usr/lib/systemd/system/tamrod@.service");
    const std::vector<std::string> lines = {
        std::string("ExecStart=/usr/sbin/tamrod -f -i %I -x ") + TAMROD_HOOK_PATH,
        "Type=notify",
        "BindsTo=sys-subsystem-net-devices-%i.device",
        "WantedBy=sys-subsystem-net-devices-%i.device",
    };
    for (const std::string& line : lines)
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << "\n" << unit;

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
    unit.replace(unit.find("@SBINDIR@/tamrod"), std::string("@SBINDIR@/tamrod").size(), tt::tamrod_bin());
    unit.replace(unit.find("@HOOK@"), std::string("@HOOK@").size(), kHook);
    const std::string path = d.write("tamrod@.service", unit);
    auto r = tt::run({"systemd-analyze", "verify", "--man=no", path}, std::chrono::seconds(30));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

}  // namespace
