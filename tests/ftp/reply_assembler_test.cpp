#include "ftp/reply_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace klv::ftp {
namespace {

// How many of `lines` the assembler takes before the reply is complete; lines.size() + 1
// when it never completes.
std::size_t LinesTaken(const std::vector<std::string>& lines) {
    ReplyAssembler reply;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (reply.Add(lines[i])) {
            return i + 1;
        }
    }
    return lines.size() + 1;
}

TEST(ReplyAssembler, SingleLineReplyIsCompleteAtOnce) {
    EXPECT_EQ(LinesTaken({"220 Service ready", "230 next"}), 1u);
}

TEST(ReplyAssembler, ShortFirstLinesAreCompleteReplies) {
    EXPECT_EQ(LinesTaken({"22", "x"}), 1u);
    EXPECT_EQ(LinesTaken({"230", "x"}), 1u);
    EXPECT_EQ(LinesTaken({"", "x"}), 1u);
    EXPECT_EQ(LinesTaken({"-", "x"}), 1u);
}

TEST(ReplyAssembler, FourthCharacterOtherThanDashIsASingleLine) {
    EXPECT_EQ(LinesTaken({"230x", "x"}), 1u);
    EXPECT_EQ(LinesTaken({"2300-", "x"}), 1u);
}

TEST(ReplyAssembler, MultiLineBlockEndsAtItsClosingLine) {
    EXPECT_EQ(LinesTaken({"230-Welcome", "some text", "230 Logged on", "after"}), 3u);
}

TEST(ReplyAssembler, BodyLinesThatLookLikeClosersDoNotEndTheBlock) {
    EXPECT_EQ(LinesTaken({"230-Welcome", "230", "230-more", "231 other", "230 "}), 5u);
}

TEST(ReplyAssembler, FourCharacterCloserIsEnough) {
    EXPECT_EQ(LinesTaken({"230-Welcome", "230 "}), 2u);
}

TEST(ReplyAssembler, EmptyAndShortBodyLinesBelongToTheBody) {
    EXPECT_EQ(LinesTaken({"211-Features", "", "23", " MDTM", "211 End"}), 5u);
}

TEST(ReplyAssembler, NumbersAreComparedAsAtolReadsThem) {
    // "023-" opens code 23; "+23 " has a space in fourth place and reads as 23.
    EXPECT_EQ(LinesTaken({"023-x", "+23 done"}), 2u);
    // A closer needs the space in fourth place, not just the number.
    EXPECT_EQ(LinesTaken({"230-x", " 230 y", "230 z"}), 3u);
}

TEST(ReplyAssembler, BlockThatNeverClosesIsNeverComplete) {
    EXPECT_EQ(LinesTaken({"230-a", "b", "c", "231 d"}), 5u);
}

TEST(ReplyAssembler, OpeningLineNeverClosesItsOwnBlock) {
    ReplyAssembler reply;
    EXPECT_FALSE(reply.Add("230-"));
    EXPECT_FALSE(reply.complete());
    EXPECT_TRUE(reply.Add("230 ok"));
    EXPECT_TRUE(reply.complete());
}

TEST(ReplyClass, IsTheFirstByteMinusZero) {
    EXPECT_EQ(ReplyClass("220 ready"), 2);
    EXPECT_EQ(ReplyClass("5"), 5);
    EXPECT_EQ(ReplyClass("x"), 'x' - '0');
    // The first byte is taken as a signed 8-bit value.
    EXPECT_EQ(ReplyClass("\xff"), -1 - '0');
}

}  // namespace
}  // namespace klv::ftp
