#include "ftp/data_address.h"

#include <gtest/gtest.h>

namespace klv::ftp {
namespace {

TEST(ParsePasvReply, ReadsHostAndPort) {
    const auto address = ParsePasvReply("227 Entering Passive Mode (10,0,0,5,19,137).");
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->host, "10.0.0.5");
    EXPECT_EQ(address->port, 5001);
}

TEST(ParsePasvReply, UsesTheFirstParenthesesOfTheLine) {
    const auto address = ParsePasvReply("227 =(127,0,0,1,0,21) (1,2,3,4,5,6)");
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->host, "127.0.0.1");
    EXPECT_EQ(address->port, 21);
}

TEST(ParsePasvReply, WithoutParenthesesThereIsNoAddress) {
    EXPECT_FALSE(ParsePasvReply("227 Entering Passive Mode 10,0,0,5,19,137").has_value());
    EXPECT_FALSE(ParsePasvReply("227 (10,0,0,5,19,137").has_value());
    EXPECT_FALSE(ParsePasvReply("227 10,0,0,5,19,137)").has_value());
    EXPECT_FALSE(ParsePasvReply("").has_value());
}

TEST(ParsePasvReply, NumbersAreReadAsAtolReadsThem) {
    const auto address = ParsePasvReply("227 ( 10, 0 ,0,5, 19 , 137x)");
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->port, 19 * 256 + 137);
    // The host keeps everything before the fourth comma, commas turned into dots.
    EXPECT_EQ(address->host, " 10. 0 .0.5");
}

TEST(ParsePasvReply, ChecksNeitherCountNorRange) {
    const auto few = ParsePasvReply("227 (1,2)");
    ASSERT_TRUE(few.has_value());
    EXPECT_EQ(few->host, "");
    EXPECT_EQ(few->port, 2 + 256 * 1);

    const auto none = ParsePasvReply("227 (7)");
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(none->host, "");
    EXPECT_EQ(none->port, 7);

    const auto large = ParsePasvReply("227 (1,2,3,4,300,-5)");
    ASSERT_TRUE(large.has_value());
    EXPECT_EQ(large->port, 300 * 256 - 5);
    EXPECT_FALSE(IsDialablePort(ParsePasvReply("227 (1,2,3,4,256,0)")->port));
}

TEST(ParsePasvReply, CloseBeforeOpenLeavesNothingBetween) {
    const auto address = ParsePasvReply("227 ) (1,2,3,4,5,6");
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->host, "");
    EXPECT_EQ(address->port, 0);
}

TEST(ParsePasvReply, HugeNumbersSaturateInsteadOfOverflowing) {
    const auto address = ParsePasvReply("227 (1,2,3,4,99999999999999999999,99999999999999999999)");
    ASSERT_TRUE(address.has_value());
    EXPECT_FALSE(IsDialablePort(address->port));
}

TEST(PortArgument, TurnsDotsIntoCommasAndSplitsThePort) {
    EXPECT_EQ(PortArgument("192.168.1.2", 5001), "192,168,1,2,19,137");
    EXPECT_EQ(PortArgument("127.0.0.1", 255), "127,0,0,1,0,255");
    EXPECT_EQ(PortArgument("127.0.0.1", 256), "127,0,0,1,1,0");
    EXPECT_EQ(PortArgument("127.0.0.1", 65535), "127,0,0,1,255,255");
}

TEST(IsDialablePort, AcceptsOnlyRealPorts) {
    EXPECT_FALSE(IsDialablePort(0));
    EXPECT_TRUE(IsDialablePort(1));
    EXPECT_TRUE(IsDialablePort(65535));
    EXPECT_FALSE(IsDialablePort(65536));
    EXPECT_FALSE(IsDialablePort(-1));
}

}  // namespace
}  // namespace klv::ftp
