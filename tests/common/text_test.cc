// The message-buffer formatter and the trailing-space trim.
#include "common/text.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(PutText, CutsToTheBufferAndReportsTheFullLength)
{
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(put_text(buf, sizeof buf, "%s-%d", "volume", 42), 9);
    EXPECT_STREQ(buf, "volume-");

    EXPECT_EQ(put_text(buf, sizeof buf, "%s", "ok"), 2);
    EXPECT_STREQ(buf, "ok");

    // A percent sign in an argument is not formatted again.
    EXPECT_EQ(put_text(buf, sizeof buf, "%s", "100%d"), 5);
    EXPECT_STREQ(buf, "100%d");
}

TEST(PutText, NoBufferWritesNothing)
{
    char buf[2] = {'a', 'b'};
    EXPECT_EQ(put_text(buf, 0, "%s", "text"), 0);
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(put_text(nullptr, 16, "%s", "text"), 0);
}

TEST(TrimTrailingSpace, RemovesEveryKindOfTrailingBlankOnly)
{
    char text[] = "  /dev/pve/vm-101-disk-0 \t\r\n\v\f";
    trim_trailing_space(text);
    EXPECT_STREQ(text, "  /dev/pve/vm-101-disk-0");

    char blank[] = " \n ";
    trim_trailing_space(blank);
    EXPECT_STREQ(blank, "");

    char empty[] = "";
    trim_trailing_space(empty);
    EXPECT_STREQ(empty, "");
}

const std::string kLocaleWarnings = vlt_test::perl_locale_warnings;

TEST(DropLocaleWarnings, RemovesPerlsComplaintInFrontOnly)
{
    std::string config = "agent: 1\nscsi0: local-lvm:vm-101-disk-0,size=4M\n";
    std::string text = kLocaleWarnings + config;
    EXPECT_EQ(drop_locale_warnings(text.data()), kLocaleWarnings.size());
    EXPECT_STREQ(text.c_str(), config.c_str());

    // Nothing in front: nothing removed, also not further down.
    std::string clean = config + kLocaleWarnings;
    EXPECT_EQ(drop_locale_warnings(clean.data()), 0u);
    EXPECT_EQ(std::string(clean.c_str()), config + kLocaleWarnings);

    // Only the complaint: empty.
    std::string only = kLocaleWarnings;
    drop_locale_warnings(only.data());
    EXPECT_STREQ(only.c_str(), "");
}

TEST(LastLineStartingWith, FindsTheAnswerAfterStrayLines)
{
    std::string path_answer = kLocaleWarnings + "/dev/pve/vm-101-disk-0 \r\n\n";
    size_t len = 0;
    const char *line = last_line_starting_with(path_answer.c_str(), '/', &len);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line, len), "/dev/pve/vm-101-disk-0");

    // The last one of several, and none at all.
    line = last_line_starting_with("/a\nx\n/b/c\ny", '/', &len);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line, len), "/b/c");
    EXPECT_EQ(last_line_starting_with("storage 'x' does not exist\n", '/', &len), nullptr);
    EXPECT_EQ(len, 0u);

    // Any line that is not blank.
    std::string number = kLocaleWarnings + "105\n \t\n";
    line = last_line_starting_with(number.c_str(), '\0', &len);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line, len), "105");
    EXPECT_EQ(last_line_starting_with(" \n\n", '\0', &len), nullptr);
    EXPECT_EQ(last_line_starting_with("", '\0', &len), nullptr);
}

}  // namespace
