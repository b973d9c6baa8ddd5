#include "installer/form.h"

#include <gtest/gtest.h>

#include <string>

#include "installer/shared_state.h"
#include "tests/support/fake_window.h"

namespace klv {
namespace {

using testing::FakeWindow;

constexpr std::string_view kHop = "http://hop.clickbank.net/";

void FillAll(FakeWindow& window, const std::string& text) {
    for (const FormField& field : kFormFields) {
        window.SetFieldText(field.id, text);
    }
}

TEST(FormDefaults, FiveFieldsHaveTheirStartTexts) {
    FakeWindow window;
    EXPECT_EQ(window.FieldText(Control::CgiPath), "www/cgi-bin");
    EXPECT_EQ(window.FieldText(Control::HttpCgiPath), "http://www.example.com/cgi-bin");
    EXPECT_EQ(window.FieldText(Control::BlogTitle), "Welcome to our Blog!");
    EXPECT_EQ(window.FieldText(Control::AdPricing), "5.00");
    EXPECT_EQ(window.FieldText(Control::ClickBankNickName), "tamrixo");
    for (Control empty :
         {Control::Username, Control::Password, Control::Server, Control::BlogPassword,
          Control::MainEmail, Control::PayPalEmail, Control::StormPayEmail}) {
        EXPECT_EQ(window.FieldText(empty), "");
    }
}

TEST(FormCapture, CopiesEveryFieldIntoItsBufferAsTyped) {
    FakeWindow window;
    window.SetFieldText(Control::Username, "  webmaster ");
    window.SetFieldText(Control::Password, "s3cret");
    window.SetFieldText(Control::Server, "ftp.example.org");
    window.SetFieldText(Control::MainEmail, "me@example.org");
    window.SetFieldText(Control::PayPalEmail, "pp@example.org");
    window.SetFieldText(Control::StormPayEmail, "");
    window.SetFieldText(Control::BlogPassword, "blog%s");
    window.SetFieldText(Control::ClickBankNickName, "nick");
    FormData data;
    CaptureForm(window, data, kHop);

    EXPECT_EQ(data.ftpUser, "  webmaster ");
    EXPECT_EQ(data.ftpPassword, "s3cret");
    EXPECT_EQ(data.ftpServer, "ftp.example.org");
    EXPECT_EQ(data.cgiPath, "www/cgi-bin");
    EXPECT_EQ(data.httpCgiPath, "http://www.example.com/cgi-bin");
    EXPECT_EQ(data.mainEmail, "me@example.org");
    EXPECT_EQ(data.payPalEmail, "pp@example.org");
    EXPECT_EQ(data.stormPayEmail, "");
    EXPECT_EQ(data.adPrice, "5.00");
    EXPECT_EQ(data.blogTitle, "Welcome to our Blog!");
    EXPECT_EQ(data.blogPassword, "blog%s");
    EXPECT_EQ(data.adUrl, "http://hop.clickbank.net/?nick/tamrixo");
    EXPECT_EQ(data.adTitle, "Tamrix - Tools No WebMaster Should Be Without!");
    EXPECT_EQ(data.adDescription.size(), 175u);
    EXPECT_TRUE(data.adDescription.view().ends_with("Download FREE Demo"));
}

TEST(FormCapture, KeepsExactly255BytesAndCutsLongerTextsAtACharacterBoundary) {
    FakeWindow window;
    FormData data;

    FillAll(window, std::string(255, 'x'));
    CaptureForm(window, data, kHop);
    EXPECT_EQ(data.ftpUser, std::string(255, 'x'));
    EXPECT_EQ(data.blogPassword, std::string(255, 'x'));

    FillAll(window, std::string(400, 'y'));
    CaptureForm(window, data, kHop);
    EXPECT_EQ(data.mainEmail, std::string(255, 'y'));

    // 254 ASCII bytes and a two-byte character would need 256 bytes: the character goes.
    FillAll(window, std::string(254, 'z') + "\xC3\xA9");
    CaptureForm(window, data, kHop);
    EXPECT_EQ(data.blogTitle, std::string(254, 'z'));
    EXPECT_STREQ(data.blogTitle.c_str(), std::string(254, 'z').c_str());

    // Three-byte characters: 85 of them fill exactly 255 bytes, an 86th is dropped whole.
    std::string euros;
    for (int i = 0; i < 86; ++i) {
        euros += "\xE2\x82\xAC";
    }
    FillAll(window, euros);
    CaptureForm(window, data, kHop);
    EXPECT_EQ(data.ftpServer, euros.substr(0, 255));
}

TEST(FormCapture, AdUrlAlwaysEndsInTheFixedSuffixAndFits) {
    EXPECT_EQ(BuildAdUrl(kHop, ""), "http://hop.clickbank.net/?/tamrixo");
    const std::string url = BuildAdUrl(kHop, std::string(300, 'n'));
    EXPECT_EQ(url.size(), 255u);
    EXPECT_TRUE(url.ends_with("n/tamrixo"));
    EXPECT_TRUE(url.starts_with("http://hop.clickbank.net/?nnn"));
}

TEST(FormCapture, LaterFieldChangesDoNotReachTheBuffersUntilTheNextCapture) {
    FakeWindow window;
    window.SetFieldText(Control::Server, "old.example.org");
    FormData data;
    CaptureForm(window, data, kHop);
    window.SetFieldText(Control::Server, "new.example.org");
    EXPECT_EQ(data.ftpServer, "old.example.org");
    CaptureForm(window, data, kHop);
    EXPECT_EQ(data.ftpServer, "new.example.org");
}

TEST(AppDirectory, IsThePathBeforeTheLastSeparator) {
    EXPECT_EQ(DirectoryOf("/home/ann/.local/bin/klv"), "/home/ann/.local/bin");
    EXPECT_EQ(DirectoryOf("/klv"), "");
    EXPECT_EQ(DirectoryOf("klv"), "");
    EXPECT_EQ(WorkingFile(DirectoryOf("/klv"), "klv.txt"), "/klv.txt");
    EXPECT_EQ(WorkingFile("/opt/klv", "temp.txt"), "/opt/klv/temp.txt");
}

TEST(AppDirectory, ExecutablePathNamesThisTestProgram) {
    const std::string path = ExecutablePath();
    EXPECT_TRUE(path.ends_with("/installer_tests")) << path;
}

}  // namespace
}  // namespace klv
