#include "installer/text_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "tests/support/files.h"

namespace klv {
namespace {

class TextFileTest : public ::testing::Test {
protected:
    std::string File(const std::string& name) const { return directory_.File(name); }

    void Write(const std::string& path, const std::string& bytes) const {
        testing::WriteFileBytes(path, bytes);
    }
    std::string Read(const std::string& path) const { return testing::ReadFileBytes(path); }
    // ReadTextFile on a file holding `bytes`.
    std::string ReadAsText(const std::string& bytes) const {
        Write(File("in.txt"), bytes);
        std::string text = "left over";
        EXPECT_TRUE(ReadTextFile(File("in.txt"), text));
        return text;
    }

private:
    testing::ScratchDirectory directory_;
};

std::string Replaced(std::string text, std::string_view placeholder, std::string_view value) {
    ReplaceAll(text, placeholder, value);
    return text;
}

TEST(ReplaceAll, ReplacesEveryOccurrenceFromLeftToRight) {
    EXPECT_EQ(Replaced("#a# and #a#, #a#", "#a#", "x"), "x and x, x");
    EXPECT_EQ(Replaced("#a##a#", "#a#", "[]"), "[][]");
    EXPECT_EQ(Replaced("no placeholder", "#a#", "x"), "no placeholder");
    EXPECT_EQ(Replaced("", "#a#", "x"), "");
}

TEST(ReplaceAll, MatchesWithoutOverlap) {
    EXPECT_EQ(Replaced("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(Replaced("aaa", "aa", "b"), "ba");
    EXPECT_EQ(Replaced("#email#email#", "#email#", "X"), "Xemail#");
}

TEST(ReplaceAll, ResumesBehindTheInsertedText) {
    // A value holding the placeholder is not searched again by the same call.
    EXPECT_EQ(Replaced("#p# #p#", "#p#", "<#p#>"), "<#p#> <#p#>");
    EXPECT_EQ(Replaced("\n\n", "\n", "\r\n"), "\r\n\r\n");
    EXPECT_EQ(Replaced("a@b@@c", "@", "\\@"), "a\\@b\\@\\@c");
    // Nor does an insertion join with the text behind it into a new match.
    EXPECT_EQ(Replaced("#x#p#", "#x#", "#"), "#p#");
}

TEST(ReplaceAll, AnEmptyValueDeletesAndAnEmptyPlaceholderMatchesNothing) {
    EXPECT_EQ(Replaced("a#emailpp#b", "#emailpp#", ""), "ab");
    EXPECT_EQ(Replaced("abc", "", "x"), "abc");
}

TEST(ReplaceAll, IsCaseSensitive) {
    EXPECT_EQ(Replaced("#EMAIL# #Email# #email#", "#email#", "x"), "#EMAIL# #Email# x");
}

TEST(ReplaceAll, KeepsZeroBytes) {
    const std::string text("a\0#p#\0b", 7);
    EXPECT_EQ(Replaced(text, "#p#", std::string_view("\0", 1)), std::string("a\0\0\0b", 5));
}

TEST_F(TextFileTest, CrLfIsReadAsLfAndALoneCrStays) {
    EXPECT_EQ(ReadAsText("one\r\ntwo\r\n"), "one\ntwo\n");
    EXPECT_EQ(ReadAsText("one\ntwo"), "one\ntwo");
    EXPECT_EQ(ReadAsText("a\rb\r"), "a\rb\r");
    EXPECT_EQ(ReadAsText("a\r\r\nb"), "a\r\nb");
    EXPECT_EQ(ReadAsText("\n\r\n\r"), "\n\n\r");
    EXPECT_EQ(ReadAsText("\r\n\r\n"), "\n\n");
}

TEST_F(TextFileTest, CtrlZEndsTheText) {
    EXPECT_EQ(ReadAsText("before\x1A"
                         "after"),
              "before");
    EXPECT_EQ(ReadAsText("\x1A"
                         "all hidden"),
              "");
    EXPECT_EQ(ReadAsText("cr\r\x1A\n"), "cr\r");
}

TEST_F(TextFileTest, OtherBytesAreReadUnchanged) {
    std::string every;
    for (int byte = 0; byte < 256; ++byte) {
        if (byte != '\r' && byte != 0x1A) {
            every += static_cast<char>(byte);
        }
    }
    EXPECT_EQ(ReadAsText(every), every);
    EXPECT_EQ(ReadAsText(""), "");
}

TEST_F(TextFileTest, ACrLfPairAcrossTheBlockBoundaryIsOneLf) {
    const std::string head(kTextReadBlockSize - 1, 'x');
    EXPECT_EQ(ReadAsText(head + "\r\n" + "tail"), head + "\n" + "tail");
    EXPECT_EQ(ReadAsText(head + "\r" + "tail"), head + "\r" + "tail");
    EXPECT_EQ(ReadAsText(head + "\r"), head + "\r");
    EXPECT_EQ(ReadAsText(head + "\r\x1A" + "tail"), head + "\r");
    EXPECT_EQ(ReadAsText(head + "\r\r\n"), head + "\r\n");
    // Several blocks, with the pair straddling the second boundary too.
    const std::string two(2 * kTextReadBlockSize - 1, 'y');
    EXPECT_EQ(ReadAsText(two + "\r\n"), two + "\n");
}

TEST(TextModeDecoder, GivesTheSameTextWhateverTheBlockSizes) {
    const std::string input = "a\r\nb\rc\r\r\n\n\rd\r";
    const std::string expected = "a\nb\rc\r\n\n\rd\r";
    for (std::size_t size = 1; size <= input.size(); ++size) {
        TextModeDecoder decoder;
        std::string text;
        for (std::size_t at = 0; at < input.size(); at += size) {
            ASSERT_TRUE(decoder.Feed(std::string_view(input).substr(at, size), text));
        }
        decoder.Finish(text);
        EXPECT_EQ(text, expected) << "blocks of " << size;
    }
}

TEST(TextModeDecoder, IgnoresEverythingAfterCtrlZ) {
    TextModeDecoder decoder;
    std::string text;
    EXPECT_FALSE(decoder.Feed("ab\r", text) && decoder.Feed("\x1A"
                                                            "cd",
                                                            text));
    EXPECT_FALSE(decoder.Feed("more", text));
    decoder.Finish(text);
    EXPECT_EQ(text, "ab\r");
}

TEST_F(TextFileTest, AFileThatCannotBeOpenedGivesFalseAndAnEmptyText) {
    std::string text = "stale";
    EXPECT_FALSE(ReadTextFile(File("missing.txt"), text));
    EXPECT_EQ(text, "");
    text = "stale";
    EXPECT_FALSE(ReadTextFile(File(""), text));  // the directory itself
    EXPECT_EQ(text, "");
}

TEST_F(TextFileTest, RewriteReplacesTheWholeContent) {
    Write(File("out.txt"), std::string(1000, 'o'));
    RewriteTextFile(File("out.txt"), "new\r\ntext");
    EXPECT_EQ(Read(File("out.txt")), "new\r\ntext");

    RewriteTextFile(File("fresh.txt"), std::string("with\0zero", 9));
    EXPECT_EQ(Read(File("fresh.txt")), std::string("with\0zero", 9));

    RewriteTextFile(File("out.txt"), "");
    EXPECT_TRUE(std::filesystem::exists(File("out.txt")));
    EXPECT_EQ(std::filesystem::file_size(File("out.txt")), 0u);
}

TEST_F(TextFileTest, RewriteReplacesASymlinkInsteadOfWritingThroughIt) {
    Write(File("target.txt"), "keep me");
    std::filesystem::create_symlink(File("target.txt"), File("link.txt"));
    RewriteTextFile(File("link.txt"), "new");
    EXPECT_EQ(Read(File("target.txt")), "keep me");
    EXPECT_EQ(Read(File("link.txt")), "new");
    EXPECT_FALSE(std::filesystem::is_symlink(File("link.txt")));
}

TEST_F(TextFileTest, RewriteIntoAMissingDirectoryReportsNothingAndCreatesNothing) {
    RewriteTextFile(File("missing/out.txt"), "text");
    EXPECT_FALSE(std::filesystem::exists(File("missing")));
}

}  // namespace
}  // namespace klv
