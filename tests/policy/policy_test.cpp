// The network policy file: what the reader accepts, what it refuses (exact message and line),
// and which entry the lookup finds.
#include "policy.h"
#include "proc.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct outcome {
    policy_list list = nullptr;
    std::string err;
};

// Reads a policy file with the given content, capturing what the reader writes to standard error.
class Reader : public ::testing::Test {
protected:
    void TearDown() override { policy_free(got.list); }

    const outcome& read(const std::string& content) { return read_path(path = dir.write("policy", content)); }
    const outcome& read_path(const std::string& p)
    {
        policy_free(got.list);
        const std::string capture = dir.file("stderr");
        std::fflush(stderr);
        const int saved = dup(2);
        const int fd = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
        got.list = policy_read(p.c_str());
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        got.err = tt::read_file(capture);
        return got;
    }
    std::string message(const char* what, int line) const
    {
        return std::string(what) + " line " + std::to_string(line) + " of " + path + "\n";
    }
    static std::vector<const policy_entry*> entries(policy_list l)
    {
        std::vector<const policy_entry*> v;
        for (; l != nullptr; l = l->next)
            v.push_back(l);
        return v;
    }

    tt::temp_dir dir;
    std::string path;
    outcome got;
};

TEST_F(Reader, EachFaultIsReportedWithItsLineCountingBlankAndCommentLines)
{
    const std::string ssid33(33, 's');
    const struct {
        std::string content;
        const char* what;
        int line;
    } cases[] = {
        {"\n# comment\n  \t \r\nMyNet\n", "syntax error", 4},
        {"MyNet +\n", "syntax error", 1},
        {"Net + 1\n" + ssid33 + " + 1\n", "illegal ssid", 2},
        {ssid33 + "\n", "illegal ssid", 1},                       // length before missing tokens
        {"Net zz\n", "syntax error", 1},                           // missing tokens before the BSSID
        {"Net zz 7\n", "illegal bssid", 1},                        // BSSID before the burst
        {"Net 00:11:22:33:44:55 2\n", "illegal burst", 1},
        {"   # indented comment\n#Net + 1\nNet + 1 # note\nX\n", "syntax error", 4},
        {"Net + 1\r\nLonely\r\n", "syntax error", 2},
        // 1023 characters with the line feed fit the buffer; one more and an entry line is refused.
        {"Net + 1" + std::string(1015, ' ') + "\nLonely\n", "syntax error", 2},
        {"Net + 1" + std::string(1016, ' ') + "\nLonely\n", "overlong", 1},
        // The tail of an over-long comment is still comment, never an entry that stops soliciting.
        {"#" + std::string(1022, ' ') + "Net + -1\nLonely\n", "syntax error", 2},
        // A NUL inside a line does not hide where the line ends.
        {std::string("# c\0x\nLonely\n+ + 1\n", 19), "syntax error", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 40));
        read(c.content);
        EXPECT_EQ(got.list, nullptr);
        EXPECT_EQ(got.err, message(c.what, c.line));
    }
    read_path(dir.file("missing"));
    EXPECT_EQ(got.list, nullptr);
    EXPECT_EQ(got.err, "can't access " + dir.file("missing") + "\n");
    // A directory is no empty file, and a FIFO must not wait for a writer.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& p : {dir.path(), fifo}) {
        read_path(p);
        EXPECT_EQ(got.list, nullptr);
        EXPECT_EQ(got.err, "not a regular file " + p + "\n");
    }
}

TEST_F(Reader, OnlyTheExactBssidFormIsAccepted)
{
    for (const char* bad : {"aZ:00:00:00:00:00", "00:11:22:33:44:55:66", "0:11:22:33:44:55", "00-11-22-33-44-55",
                            "00:11:22:33:44:55:", "00:11:22:33:44", "00:11:22:33:44:5", "000:11:22:33:44:55",
                            "00::11:22:33:44:55", ":00:11:22:33:44:55", "00:11:22:33:44:5g"}) {
        SCOPED_TRACE(bad);
        read(std::string("Net ") + bad + " 1\n");
        EXPECT_EQ(got.list, nullptr);
        EXPECT_EQ(got.err, message("illegal bssid", 1));
    }
    for (const char* bad : {"01", "+1", "2", "-0", "1x", "-", "--1"}) {
        SCOPED_TRACE(bad);
        read(std::string("Net + ") + bad + "\n");
        EXPECT_EQ(got.list, nullptr);
        EXPECT_EQ(got.err, message("illegal burst", 1));
    }
}

TEST_F(Reader, AcceptedLinesBecomeEntriesInFileOrderUpToTheCatchAll)
{
    const std::string ssid32(32, 'n');
    read(ssid32 + " + 1\n"
         "Home 00:1A:2b:3C:4d:5E 0\r\n"
         "\t+ a0:00:00:00:00:0f -1   # the café's access point\n"
         "Net#1 + 1 and more tokens\n"
         "+ + 0\n"
         "never read: + + + 9 zz:zz\n" +
         std::string(40, 'x') + "\n");
    ASSERT_EQ(got.err, "");
    const auto e = entries(got.list);
    ASSERT_EQ(e.size(), 5u);

    EXPECT_EQ(e[0]->flags, POLICY_ANY_BSSID);
    EXPECT_EQ(e[0]->burst, 1);
    EXPECT_EQ(std::string(e[0]->ssid.data()), ssid32);
    EXPECT_EQ(e[0]->bssid, (std::array<uint8_t, 6>{}));

    EXPECT_EQ(e[1]->flags, 0u);
    EXPECT_EQ(e[1]->burst, 0);
    EXPECT_STREQ(e[1]->ssid.data(), "Home");
    EXPECT_EQ(e[1]->bssid, (std::array<uint8_t, 6>{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));

    EXPECT_EQ(e[2]->flags, POLICY_ANY_SSID | POLICY_DISABLED);
    EXPECT_EQ(e[2]->burst, -1);
    EXPECT_STREQ(e[2]->ssid.data(), "");
    EXPECT_EQ(e[2]->bssid, (std::array<uint8_t, 6>{0xa0, 0, 0, 0, 0, 0x0f}));

    EXPECT_STREQ(e[3]->ssid.data(), "Net#1");

    EXPECT_EQ(e[4]->flags, POLICY_ANY_SSID | POLICY_ANY_BSSID);
    EXPECT_EQ(e[4]->burst, 0);
    EXPECT_EQ(e[4]->next, nullptr);
}

TEST_F(Reader, FilesWithoutEntriesGiveNoListAndNoMessage)
{
    for (const char* content : {"", "\n\n", "# only\n  # comments\n\t\n", "#Net + 1\n"}) {
        SCOPED_TRACE(content);
        read(content);
        EXPECT_EQ(got.list, nullptr);
        EXPECT_EQ(got.err, "");
    }
}

TEST_F(Reader, LookupReturnsTheFirstMatchDisabledOrNot)
{
    read("Lab 02:00:00:00:00:01 -1\n"
         "Lab + 1\n"
         "+ 02:00:00:00:00:02 0\n"
         "Lab + 0\n");
    const auto e = entries(got.list);
    ASSERT_EQ(e.size(), 4u);
    auto lookup = [&](const char* essid, uint8_t last) {
        assoc_info a{};
        a.associated = 0;  // not looked at
        a.bssid = {0x02, 0, 0, 0, 0, last};
        std::strncpy(a.essid.data(), essid, 32);
        return policy_lookup(a, got.list);
    };
    EXPECT_EQ(lookup("Lab", 1), e[0]);
    EXPECT_EQ(lookup("Lab", 2), e[1]);
    EXPECT_EQ(lookup("Other", 2), e[2]);
    EXPECT_EQ(lookup("lab", 1), nullptr);
    EXPECT_EQ(lookup("Labs", 3), nullptr);
    EXPECT_EQ(lookup("La", 3), nullptr);
    EXPECT_EQ(policy_lookup(assoc_info{}, nullptr), nullptr);
}

}  // namespace
