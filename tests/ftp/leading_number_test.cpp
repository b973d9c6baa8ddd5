#include "ftp/leading_number.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace klv::ftp {
namespace {

TEST(LeadingNumber, ReadsTheDigitsAtTheStart) {
    EXPECT_EQ(LeadingNumber("230 Logged on"), 230);
    EXPECT_EQ(LeadingNumber("230-Welcome"), 230);
    EXPECT_EQ(LeadingNumber("19"), 19);
}

TEST(LeadingNumber, SkipsWhiteSpaceAndTakesASign) {
    EXPECT_EQ(LeadingNumber(" \t\n\v\f\r42x"), 42);
    EXPECT_EQ(LeadingNumber("-7,1"), -7);
    EXPECT_EQ(LeadingNumber("+7"), 7);
}

TEST(LeadingNumber, WithoutDigitsIsZero) {
    EXPECT_EQ(LeadingNumber(""), 0);
    EXPECT_EQ(LeadingNumber("abc"), 0);
    EXPECT_EQ(LeadingNumber("-"), 0);
    EXPECT_EQ(LeadingNumber("+ 5"), 0);
}

TEST(LeadingNumber, StopsAtTheEndOfTheViewNotAtANul) {
    const std::string text(
        "12\0"
        "34",
        5);
    EXPECT_EQ(LeadingNumber(text), 12);
    EXPECT_EQ(LeadingNumber(std::string_view("1234", 2)), 12);
}

TEST(LeadingNumber, SaturatesLikeStrtol) {
    EXPECT_EQ(LeadingNumber("99999999999999999999999"), LONG_MAX);
    EXPECT_EQ(LeadingNumber("-99999999999999999999999"), LONG_MIN);
    EXPECT_EQ(LeadingNumber("9223372036854775807"), LONG_MAX);
    EXPECT_EQ(LeadingNumber("-9223372036854775808"), LONG_MIN);
    EXPECT_EQ(LeadingNumber("9223372036854775808"), LONG_MAX);
    EXPECT_EQ(LeadingNumber("-9223372036854775807"), -9223372036854775807L);
}

static_assert(LeadingNumber("331 Password required") == 331);

}  // namespace
}  // namespace klv::ftp
