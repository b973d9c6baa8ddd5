#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/installer/workflow_fixture.h"

namespace klv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr std::string_view kComplete = "Update Pages Is Now Complete!";

class UpdatePages : public WorkflowTest {
protected:
    // Install Script captures the account and the blog values Update Pages uses.
    void InstallFirst() {
        FillValidForm();
        OnInstallScript(Context());
        window.messages.clear();
        window.statusHistory.clear();
    }
    void SetList(const std::string& list) { WriteFileBytes(Vendor("list.txt"), list); }
    std::vector<std::string> PagesOnServer() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(OnServer("www/klv"))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(UpdatePages, PutsEveryListedPageIntoWwwKlv) {
    InstallFirst();
    OnUpdatePages(Context());

    EXPECT_THAT(PagesOnServer(), ElementsAre("button.jpg", "faq.txt", "index.html", "klv.jpg",
                                             "style.css", "weblog.php", "weblogex.php"));
    // The images go up in image type, byte for byte (they hold CR LF pairs, which an
    // ASCII transfer would change).
    EXPECT_EQ(ReadFileBytes(OnServer("www/klv/klv.jpg")), ReadFileBytes(Vendor("klv.jpg")));
    EXPECT_EQ(ReadFileBytes(OnServer("www/klv/button.jpg")), ReadFileBytes(Vendor("button.jpg")));
    EXPECT_EQ(ReadFileBytes(OnServer("www/klv/weblog.php")), ReadFileBytes(Vendor("weblog.txt")));
    EXPECT_EQ(ReadFileBytes(OnServer("www/klv/faq.txt")), ReadFileBytes(Vendor("faq.txt")));

    // The blog's title and password, from the last Install Script; the title holds
    // "#password#", which the second replacement fills in.
    const std::string blog = ReadFileBytes(OnServer("www/klv/weblogex.php"));
    EXPECT_THAT(blog, HasSubstr("$blog_title = \"Ann's opensesame Blog\";"));
    EXPECT_THAT(blog, HasSubstr("$blog_password = \"opensesame\";"));

    EXPECT_THAT(window.messages, ElementsAre(std::string(kComplete)));
    EXPECT_EQ(window.statusLine, kComplete);
    EXPECT_THAT(window.statusHistory,
                ElementsAre("Downloading Current KLV Pages From Kolvane", "",
                            "Uploading New KLV Pages To Your Server", "Uploading weblog.php",
                            "Uploading weblogex.php", "Uploading klv.jpg", "Uploading button.jpg",
                            "Uploading index.html", "Uploading style.css", "Uploading faq.txt",
                            std::string(kComplete)));
}

TEST_F(UpdatePages, UsesTheValuesOfTheLastInstallScriptNotTheForm) {
    InstallFirst();
    window.SetFieldText(Control::BlogTitle, "Changed, but Install Script not pressed");
    window.SetFieldText(Control::Password, "wrong");
    OnUpdatePages(Context());
    EXPECT_THAT(ReadFileBytes(OnServer("www/klv/weblogex.php")), HasSubstr("Ann's opensesame"));
    EXPECT_THAT(window.messages, ElementsAre(std::string(kComplete)));
}

TEST_F(UpdatePages, ReadsCrLfListsAndDropsALastLineWithoutLineFeed) {
    InstallFirst();
    SetList("faq.txt\r\nstyle.css\r\nindex.html");
    OnUpdatePages(Context());
    EXPECT_THAT(PagesOnServer(), ElementsAre("faq.txt", "style.css"));
    EXPECT_THAT(window.messages, ElementsAre(std::string(kComplete)));
}

TEST_F(UpdatePages, AnEmptyListLogsOnAndReportsCompletion) {
    InstallFirst();
    SetList("");
    OnUpdatePages(Context());
    EXPECT_THAT(PagesOnServer(), IsEmpty());
    EXPECT_THAT(window.messages, ElementsAre(std::string(kComplete)));
}

TEST_F(UpdatePages, AMissingPageIsNotUploadedAndIsNamedInTheCompletionBox) {
    InstallFirst();
    SetList("faq.txt\nmissing.html\n\nstyle.css\n");
    OnUpdatePages(Context());

    // Neither the missing page nor the empty name gets faq.txt's content.
    EXPECT_THAT(PagesOnServer(), ElementsAre("faq.txt", "style.css"));
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0],
              "Update Pages Is Now Complete!\nmissing.html: HTTP 404 Not Found\n"
              ": the name is empty");
}

TEST_F(UpdatePages, SpecialNamesMatchExactlyOnly) {
    InstallFirst();
    fs::copy_file(Vendor("klv.jpg"), Vendor("Klv.jpg"));
    fs::copy_file(Vendor("weblog.txt"), Vendor("Weblog.txt"));
    SetList("Klv.jpg\nWeblog.txt\n");
    OnUpdatePages(Context());
    EXPECT_THAT(PagesOnServer(), ElementsAre("Klv.jpg", "Weblog.txt"));
    // An ordinary page goes up in ASCII type, so the server turns CR LF into LF.
    std::string ascii = ReadFileBytes(Vendor("klv.jpg"));
    for (std::size_t at = ascii.find("\r\n"); at != std::string::npos;
         at = ascii.find("\r\n", at)) {
        ascii.erase(at, 1);
    }
    EXPECT_EQ(ReadFileBytes(OnServer("www/klv/Klv.jpg")), ascii);
}

TEST_F(UpdatePages, ShowsTheListDownloadFailureAndDoesNotLogOn) {
    InstallFirst();
    fs::remove(Vendor("list.txt"));
    OnUpdatePages(Context());
    EXPECT_EQ(window.statusLine, "HTTP 404 Not Found");
    EXPECT_THAT(window.messages, IsEmpty());
    EXPECT_FALSE(shared.sharedClient.connected());
}

TEST_F(UpdatePages, BeforeAnyInstallScriptTheEmptyAccountFailsToLogOn) {
    OnUpdatePages(Context());
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0], "Unable to connect to server");
    EXPECT_EQ(window.statusLine, "Unable to connect to server");
    EXPECT_THAT(PagesOnServer(), IsEmpty());
}

TEST_F(UpdatePages, PressedTwiceUploadsEverythingAgain) {
    InstallFirst();
    OnUpdatePages(Context());
    fs::remove(OnServer("www/klv/faq.txt"));
    OnUpdatePages(Context());
    EXPECT_TRUE(fs::exists(OnServer("www/klv/faq.txt")));
    EXPECT_THAT(window.messages, ElementsAre(std::string(kComplete), std::string(kComplete)));
}

}  // namespace
}  // namespace klv::testing
