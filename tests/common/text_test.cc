// The message-buffer formatter and the trailing-space trim.
#include "common/text.h"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
