#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/templating.h"
#include "tests/installer/workflow_fixture.h"

namespace klv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr std::string_view kFillIn = "You MUST Fill In ALL Fields Before Uploading!";
constexpr std::string_view kPayment = "You MUST Enter A PayPal Email, A StormPay Email Or Both!";
constexpr std::string_view kHint = "If Script Upload OK, Then Update Pages";

std::string WithoutCr(std::string text) {
    std::erase(text, '\r');
    return text;
}

std::ptrdiff_t CountOf(const std::string& text, std::string_view piece) {
    std::ptrdiff_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos;
         at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

class InstallScript : public WorkflowTest {};

TEST_F(InstallScript, UploadsBothScriptsMakesThemExecutableAndOpensTheSetupPage) {
    FillValidForm();
    OnInstallScript(Context());

    // The configuration script is the template with the form's values, CR LF at every
    // line end; the server stores ASCII uploads with its own line ends (LF here).
    const std::string filled = ReadFileBytes(Working("klvcfg.cgi"));
    EXPECT_THAT(filled, HasSubstr("admin_email     => \"owner\\@example.org\",\r\n"));
    EXPECT_THAT(filled, HasSubstr("paypal_email    => \"pay\\@example.org\",\r\n"));
    EXPECT_THAT(filled, HasSubstr("stormpay_email  => \"\",\r\n"));
    EXPECT_THAT(filled, HasSubstr("\"http://blog.example.org/cgi-bin\""));
    EXPECT_THAT(filled, HasSubstr("\"http://hop.clickbank.net/?annie/tamrixo\""));
    EXPECT_THAT(filled, HasSubstr("\"5.00\""));
    EXPECT_THAT(filled, Not(::testing::ContainsRegex("#[a-z-]+#")));
    // Exactly one CR before every LF, and no other CR.
    EXPECT_EQ(std::count(filled.begin(), filled.end(), '\r'),
              std::count(filled.begin(), filled.end(), '\n'));
    EXPECT_EQ(CountOf(filled, "\r\n"), std::count(filled.begin(), filled.end(), '\n'));
    EXPECT_EQ(ReadFileBytes(OnServer("www/cgi-bin/klvcfg.cgi")), WithoutCr(filled));

    // The main script goes up exactly as it was downloaded.
    EXPECT_EQ(ReadFileBytes(OnServer("www/cgi-bin/klv.cgi")), ReadFileBytes(Vendor("klvcgi.txt")));
    EXPECT_EQ(ModeOf(OnServer("www/cgi-bin/klvcfg.cgi")), 0755u);
    EXPECT_EQ(ModeOf(OnServer("www/cgi-bin/klv.cgi")), 0755u);

    // Only the second upload shows the server's replies: STOR, CWD, SITE chmod.
    ASSERT_EQ(window.messages.size(), 1u);
    const std::string& transcript = window.messages[0];
    EXPECT_THAT(transcript, StartsWith("226"));
    EXPECT_THAT(transcript, HasSubstr(" \n250"));
    EXPECT_THAT(transcript, HasSubstr(" \n200"));
    EXPECT_EQ(std::count(transcript.begin(), transcript.end(), '\n'), 2);

    EXPECT_THAT(window.openedUrls,
                ElementsAre("http://blog.example.org/cgi-bin/klv.cgi?data=setup"));
    EXPECT_THAT(window.statusHistory, ElementsAre("Downloading Current KLV Script From Kolvane",
                                                  "Uploading KLV Script", kHint));
    EXPECT_THAT(RequestedTargets(), ElementsAre("/klvsetup/klvcfgcgi.txt", "/klvsetup/klvcgi.txt"));
    EXPECT_EQ(shared.showTranscript, 0);
}

TEST_F(InstallScript, RefusesAnEmptyRequiredFieldBeforeDownloadingAnything) {
    FillValidForm();
    window.SetFieldText(Control::Username, "");
    window.SetFieldText(Control::PayPalEmail, "");  // both payment addresses empty too
    window.SetFieldText(Control::BlogTitle, "kept");
    OnInstallScript(Context());

    EXPECT_THAT(window.messages, ElementsAre(std::string(kFillIn)));
    EXPECT_THAT(RequestedTargets(), IsEmpty());
    EXPECT_THAT(window.statusHistory, IsEmpty());
    // The buffers hold the form's values all the same.
    EXPECT_EQ(shared.formData.ftpUser, "");
    EXPECT_EQ(shared.formData.ftpServer, "127.0.0.1");
    EXPECT_EQ(shared.formData.blogTitle, "kept");
}

TEST_F(InstallScript, RefusesAFormWithoutAPaymentAddress) {
    FillValidForm();
    window.SetFieldText(Control::PayPalEmail, "");
    window.SetFieldText(Control::StormPayEmail, "");
    OnInstallScript(Context());

    EXPECT_THAT(window.messages, ElementsAre(std::string(kPayment)));
    EXPECT_THAT(RequestedTargets(), IsEmpty());
    EXPECT_EQ(shared.formData.mainEmail, "owner@example.org");
}

TEST_F(InstallScript, AcceptsBlanksAsContentAndOnePaymentAddress) {
    FillValidForm();
    window.SetFieldText(Control::PayPalEmail, "");
    window.SetFieldText(Control::StormPayEmail, "storm@example.org");
    window.SetFieldText(Control::MainEmail, "   ");
    OnInstallScript(Context());

    EXPECT_THAT(ReadFileBytes(Working("klvcfg.cgi")), HasSubstr("admin_email     => \"   \""));
    EXPECT_THAT(ReadFileBytes(Working("klvcfg.cgi")), HasSubstr("storm\\@example.org"));
    EXPECT_TRUE(fs::exists(OnServer("www/cgi-bin/klv.cgi")));
}

TEST_F(InstallScript, ShowsTheDownloadFailureWhenTheVendorSiteIsDown) {
    FillValidForm();
    config.vendorBaseUrl = "http://127.0.0.1:" + std::to_string(ClosedPort());
    OnInstallScript(Context());

    ASSERT_EQ(window.statusHistory.size(), 2u);
    EXPECT_FALSE(window.statusLine.empty());
    EXPECT_NE(window.statusLine, "Downloading Current KLV Script From Kolvane");
    EXPECT_EQ(window.statusLine, shared.statusText.view());
    EXPECT_THAT(window.messages, IsEmpty());
    EXPECT_FALSE(fs::exists(OnServer("www/cgi-bin/klvcfg.cgi")));
}

TEST_F(InstallScript, AMissingTemplateIsNotFilledOrUploaded) {
    FillValidForm();
    fs::remove(Vendor("klvcfgcgi.txt"));
    OnInstallScript(Context());

    EXPECT_THAT(window.statusLine, HasSubstr("404"));
    EXPECT_FALSE(fs::exists(Working("klvcfg.cgi")));
    EXPECT_FALSE(fs::exists(OnServer("www/cgi-bin/klvcfg.cgi")));
}

TEST_F(InstallScript, ShowsOneBoxWhenTheFtpServerIsDown) {
    FillValidForm();
    config.ftpPort = ClosedPort();
    OnInstallScript(Context());

    EXPECT_THAT(window.messages, ElementsAre("Unable to connect to server"));
    EXPECT_EQ(window.statusLine, "Unable to connect to server");
    EXPECT_THAT(window.openedUrls, IsEmpty());
    // The main script is neither fetched nor uploaded.
    EXPECT_THAT(RequestedTargets(), ElementsAre("/klvsetup/klvcfgcgi.txt"));
}

TEST_F(InstallScript, ShowsTheServersReplyToAWrongPassword) {
    FillValidForm();
    window.SetFieldText(Control::Password, "wrong");
    OnInstallScript(Context());

    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_THAT(window.messages[0], StartsWith("530"));
    EXPECT_EQ(window.statusLine, window.messages[0]);
    EXPECT_FALSE(fs::exists(OnServer("www/cgi-bin/klvcfg.cgi")));
    EXPECT_THAT(window.openedUrls, IsEmpty());
}

TEST_F(InstallScript, TheMainScriptIsUploadedAsDownloadedPlaceholdersAndAll) {
    FillValidForm();
    WriteFileBytes(Vendor("klvcgi.txt"), "#!/usr/bin/perl\r\nprint \"#email#\";\r\n");
    OnInstallScript(Context());
    EXPECT_EQ(ReadFileBytes(Working("klv.cgi")), "#!/usr/bin/perl\r\nprint \"#email#\";\r\n");
    EXPECT_THAT(ReadFileBytes(OnServer("www/cgi-bin/klv.cgi")), HasSubstr("#email#"));
}

class InstallScriptBehindNat : public WorkflowTest {
protected:
    InstallScriptBehindNat() : WorkflowTest(Options()) {}
    static PyFtpServerOptions Options() {
        PyFtpServerOptions options = DefaultFtpOptions();
        options.refusePort = true;
        return options;
    }
};

TEST_F(InstallScriptBehindNat, UploadsInPassiveModeWhenTheServerRefusesPort) {
    FillValidForm();
    OnInstallScript(Context());

    EXPECT_EQ(ReadFileBytes(OnServer("www/cgi-bin/klv.cgi")), ReadFileBytes(Vendor("klvcgi.txt")));
    EXPECT_EQ(ReadFileBytes(OnServer("www/cgi-bin/klvcfg.cgi")),
              WithoutCr(ReadFileBytes(Working("klvcfg.cgi"))));
    EXPECT_EQ(ModeOf(OnServer("www/cgi-bin/klvcfg.cgi")), 0755u);
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_THAT(window.messages[0], StartsWith("226"));
    EXPECT_EQ(window.openedUrls.size(), 1u);
}

}  // namespace
}  // namespace klv::testing
