// The README's first command, run to its end against this build: its milestones, in order.
#include "proc.h"

#include <gtest/gtest.h>

namespace {

// Position of needle in hay at or after from; fails the test when it is missing.
size_t expect_after(const std::string& hay, const std::string& needle, size_t from)
{
    size_t at = hay.find(needle, from);
    EXPECT_NE(at, std::string::npos) << "missing after offset " << from << ": " << needle;
    return at == std::string::npos ? from : at + needle.size();
}

TEST(Demo, RunsEndToEndAndShowsEveryMilestone)
{
    TT_REQUIRE_ROOT();
    tt::spawn_options o;
    o.env = {{"TAMROD_BUILD_DIR", TAMROD_BINARY_DIR}};
    auto r = tt::run({"bash", std::string(TAMROD_SOURCE_DIR) + "/scripts/demo.sh"}, std::chrono::seconds(150), o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string& out = r.out;

    size_t at = 0;
    at = expect_after(out, "hook run: TAMROD_V6='' TAMROD_V4='' TAMROD_R6='' TAMROD_R4=''", at);
    at = expect_after(out, "== Associating with 'DemoNet'", at);
    at = expect_after(out, "servers learnt:\n  2001:db8:1::53\n  2001:db8:1::54\n", at);
    at = expect_after(out, "hook run: TAMROD_V6='2001:db8:1::53 2001:db8:1::54' TAMROD_V4='' ", at);
    at = expect_after(out, "TAMROD_V4='192.0.2.53' TAMROD_R6='' TAMROD_R4=''", at);
    at = expect_after(out, "TAMROD_R6='2001:db8:ff::53' TAMROD_R4='198.51.100.53'", at);
    at = expect_after(out, "== tamrod -l\n  2001:db8:1::53\n  2001:db8:1::54\n  192.0.2.53\n", at);
    at = expect_after(out, "nameserver 2001:db8:1::53\n", at);
    at = expect_after(out, "== Losing the association", at);
    at = expect_after(out, "hook run: TAMROD_V6='' TAMROD_V4='192.0.2.53'", at);
    // After the loss only the IPv4 server set with -4 is listed.
    at = expect_after(out, "== tamrod -l\n  192.0.2.53\n== tamrod -t", at);
    expect_after(out, "ended with status 1", at);
    EXPECT_EQ(out.find("--- daemon's standard error"), std::string::npos) << out;
}

}  // namespace
