#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/installer/workflow_fixture.h"

namespace klv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ReadDocs, OpensTheDocumentationPageAndLeavesTheFormAlone) {
    FakeWindow window;
    SharedState shared;
    shared.statusText = "earlier outcome";
    const Config config{"http://vendor.example", "http://hop.example/", 21};
    window.SetFieldText(Control::Username, "ann");

    OnReadDocs({window, shared, config});
    OnReadDocs({window, shared, config});

    EXPECT_THAT(window.openedUrls, ElementsAre("http://vendor.example/klvdocs.html?id=500",
                                               "http://vendor.example/klvdocs.html?id=500"));
    EXPECT_EQ(window.statusLine, "Reading KLV Docs");
    EXPECT_EQ(window.FieldText(Control::Username), "ann");
    EXPECT_EQ(shared.formData.ftpUser, "");
    EXPECT_EQ(shared.statusText, "earlier outcome");
    EXPECT_THAT(window.messages, IsEmpty());
}

TEST(WorkingFiles, ClosingDeletesTheFourWorkingFilesAndNothingElse) {
    ScratchDirectory directory;
    const fs::path dir = directory.path();
    for (const char* name :
         {"klv.cgi", "klvcfg.cgi", "klv.txt", "temp.txt", "klv", "notes.txt", "temp.txt.bak"}) {
        WriteFileBytes(dir / name, "x");
    }
    fs::create_directory(dir / "www");

    DeleteWorkingFiles(dir.string());

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir)) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_THAT(left, ElementsAre("klv", "notes.txt", "temp.txt.bak", "www"));
}

TEST(WorkingFiles, MissingFilesAreNoFailure) {
    ScratchDirectory directory;
    WriteFileBytes(directory.path() / "temp.txt", "x");
    DeleteWorkingFiles(directory.path().string());
    DeleteWorkingFiles(directory.path().string());
    EXPECT_FALSE(fs::exists(directory.path() / "temp.txt"));
}

TEST_F(WorkflowTest, AfterBothWorkflowsClosingLeavesNoWorkingFile) {
    FillValidForm();
    OnInstallScript(Context());
    OnUpdatePages(Context());
    for (std::string_view name : kWorkingFiles) {
        EXPECT_TRUE(fs::exists(Working(std::string(name)))) << name;
    }
    DeleteWorkingFiles(shared.appDirectory);
    EXPECT_TRUE(fs::is_empty(programDir.path()));
}

}  // namespace
}  // namespace klv::testing
