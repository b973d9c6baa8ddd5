#include "installer/page_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/text_file.h"

namespace klv {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::string> NamesAsRead(std::string_view bytes) {
    TextModeDecoder decoder;
    std::string text;
    decoder.Feed(bytes, text);
    decoder.Finish(text);
    return ListedNames(text);
}

TEST(PageList, OneNamePerLineFeedAndNothingAfterTheLast) {
    EXPECT_THAT(ListedNames("a.html\nb.css\nc.txt"), ElementsAre("a.html", "b.css"));
    EXPECT_THAT(ListedNames("a.html\n"), ElementsAre("a.html"));
    EXPECT_THAT(ListedNames(""), IsEmpty());
    EXPECT_THAT(ListedNames("no line feed at all"), IsEmpty());
}

TEST(PageList, NamesAreKeptAsTheyStand) {
    EXPECT_THAT(ListedNames("\n page.html \nweblog.txt\n"),
                ElementsAre("", " page.html ", "weblog.txt"));
    EXPECT_THAT(ListedNames("a.html\nb.html\na.html\n"), ElementsAre("a.html", "b.html", "a.html"));
}

TEST(PageList, CrLfListsReadLikeLfListsAndCrCrLfLeavesOneCr) {
    EXPECT_EQ(NamesAsRead("klv.jpg\r\nfaq.txt\r\n"), NamesAsRead("klv.jpg\nfaq.txt\n"));
    EXPECT_THAT(NamesAsRead("faq.txt\r\r\n"), ElementsAre("faq.txt\r"));
    EXPECT_THAT(NamesAsRead("a.txt\n\x1A"
                            "b.txt\n"),
                ElementsAre("a.txt"));
}

TEST(PagePlan, TheBlogPagesAreRenamedAndOnlyTheTwoImagesGoUpBinary) {
    const PagePlan blogSettings = PlanFor("weblogex.txt");
    EXPECT_EQ(blogSettings.remoteName, "weblogex.php");
    EXPECT_TRUE(blogSettings.fillBlogValues);
    EXPECT_FALSE(blogSettings.binary);

    const PagePlan blog = PlanFor("weblog.txt");
    EXPECT_EQ(blog.remoteName, "weblog.php");
    EXPECT_FALSE(blog.fillBlogValues);

    EXPECT_TRUE(PlanFor("klv.jpg").binary);
    EXPECT_TRUE(PlanFor("button.jpg").binary);
    EXPECT_FALSE(PlanFor("logo.jpg").binary);
    EXPECT_FALSE(PlanFor("index.html").binary);
}

TEST(PagePlan, SpecialNamesMatchOnlyExactly) {
    for (const char* name :
         {"Klv.jpg", "KLV.JPG", "klv.jpg ", "Weblog.txt", "weblogex.txt\r", " weblog.txt"}) {
        const PagePlan plan = PlanFor(name);
        EXPECT_EQ(plan.remoteName, name);
        EXPECT_FALSE(plan.binary) << name;
        EXPECT_FALSE(plan.fillBlogValues) << name;
    }
}

}  // namespace
}  // namespace klv
