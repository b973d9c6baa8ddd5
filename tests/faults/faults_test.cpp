// The workflows against servers that fail: an FTP server that dies in the middle of an
// upload, a web server that dies in the middle of a body, a server that takes PORT but
// never connects, servers that fall silent, and one that answers a byte at a time.
//
// Each run must end with the failure told to the user (status line or message box), no
// crash, no wait much past the configured idle bound, and no file passed off as
// complete: a page the server did not get whole is named as failed, and a file whose
// download broke off is not uploaded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftp_client.h"
#include "installer/session.h"
#include "tests/installer/workflow_fixture.h"
#include "tests/support/ftp/fake_ftp_server.h"

namespace klv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kIdle{1000};
constexpr std::string_view kComplete = "Update Pages Is Now Complete!";

// A page of many lines, large enough to take many reads on the server's side.
std::string BigPage(std::size_t size) {
    std::string page;
    for (int line = 0; page.size() < size; ++line) {
        page += "<p>paragraph ";
        page += std::to_string(line);
        page += " of a long KLV page</p>\r\n";
    }
    return page;
}

std::vector<std::string> Lines(const std::string& text, std::string_view separator) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = text.find(separator); end != std::string::npos;
         end = text.find(separator, start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + separator.size();
    }
    lines.push_back(text.substr(start));
    return lines;
}

// Measures how long the workflow took.
class Stopwatch {
public:
    [[nodiscard]] std::chrono::milliseconds Elapsed() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_);
    }

private:
    Clock::time_point start_ = Clock::now();
};

// The whole installer against pyftpdlib and the sample vendor site, with the idle bound
// lowered to one second.
class FaultTest : public WorkflowTest {
protected:
    explicit FaultTest(PyFtpServerOptions options = DefaultFtpOptions())
        : WorkflowTest(std::move(options)) {
        config.idleTimeout = kIdle;
    }

    // Update Pages uses the account and blog values that Install Script captured.
    void CaptureValidForm() {
        FillValidForm();
        CaptureForm(window, shared.formData, config.affiliateHopUrl);
    }
    void SetList(const std::string& list) { WriteFileBytes(Vendor("list.txt"), list); }
};

// --- the FTP server dies in the middle of an upload ----------------------------------

class FtpServerDies : public FaultTest {
protected:
    static constexpr long kDieAfter = 64 * 1024;
    FtpServerDies() : FaultTest(Options()) {}
    static PyFtpServerOptions Options() {
        PyFtpServerOptions options = DefaultFtpOptions();
        options.dieAfterBytes = kDieAfter;
        return options;
    }
};

TEST_F(FtpServerDies, UpdatePagesNamesThePageCutShortAndEveryPageAfterIt) {
    const std::string big = BigPage(512 * 1024);
    WriteFileBytes(Vendor("big.html"), big);
    SetList("faq.txt\nbig.html\nstyle.css\n");
    CaptureValidForm();

    const Stopwatch stopwatch;
    OnUpdatePages(Context());

    // The server process is gone: what it got of big.html is on its disk, but the user is
    // told the page did not land, nor did the one after it.
    ASSERT_THAT(window.messages, SizeIs(1));
    EXPECT_EQ(window.messages[0], std::string(kComplete) +
                                      "\nbig.html: Network error"
                                      "\nstyle.css: Unable to connect to server");
    EXPECT_EQ(ReadFileBytes(OnServer("www/klv/faq.txt")), ReadFileBytes(Vendor("faq.txt")));
    const std::string partial = ReadFileBytes(OnServer("www/klv/big.html"));
    EXPECT_GE(partial.size(), static_cast<std::size_t>(kDieAfter) / 2);  // CR LF became LF
    EXPECT_LT(partial.size(), big.size() / 2);
    EXPECT_FALSE(fs::exists(OnServer("www/klv/style.css")));
    EXPECT_FALSE(shared.sharedClient.connected());
    EXPECT_LT(stopwatch.Elapsed(), 3 * kIdle);
}

TEST_F(FtpServerDies, InstallScriptShowsTheFailedMainScriptInItsTranscript) {
    WriteFileBytes(Vendor("klvcgi.txt"), std::string("#!/usr/bin/perl\r\n") + BigPage(512 * 1024));
    FillValidForm();

    const Stopwatch stopwatch;
    OnInstallScript(Context());

    // The small configuration script landed whole and executable before the server died.
    EXPECT_EQ(ModeOf(OnServer("www/cgi-bin/klvcfg.cgi")), 0755u);
    // The transcript shows the main script's upload, CWD and chmod all failing: no 226.
    ASSERT_THAT(window.messages, SizeIs(1));
    EXPECT_THAT(Lines(window.messages[0], " \n"),
                ElementsAre("Network error", "Network error", "Network error"));
    EXPECT_NE(ModeOf(OnServer("www/cgi-bin/klv.cgi")), 0755u);
    EXPECT_LT(stopwatch.Elapsed(), 3 * kIdle);
}

// --- the web server dies in the middle of a body -------------------------------------

TEST_F(FaultTest, UpdatePagesDoesNotUploadAPageWhoseDownloadBrokeOff) {
    const std::string page = BigPage(4000);
    http.Serve("/klvsetup/faq.txt", HttpResponse::CutOff({page.substr(0, 1000)}, 4000));
    SetList("faq.txt\nstyle.css\n");
    CaptureValidForm();

    OnUpdatePages(Context());

    ASSERT_THAT(window.messages, SizeIs(1));
    const std::vector<std::string> lines = Lines(window.messages[0], "\n");
    ASSERT_THAT(lines, SizeIs(2)) << window.messages[0];
    EXPECT_EQ(lines[0], kComplete);
    // libcurl's own words for the body that broke off.
    EXPECT_THAT(lines[1], StartsWith("faq.txt: "));
    EXPECT_THAT(lines[1], HasSubstr("3000 bytes remaining"));
    EXPECT_FALSE(fs::exists(OnServer("www/klv/faq.txt")));
    EXPECT_EQ(ReadFileBytes(OnServer("www/klv/style.css")), ReadFileBytes(Vendor("style.css")));
}

TEST_F(FaultTest, UpdatePagesShowsAPageListThatBrokeOffAndDoesNotLogOn) {
    http.Serve("/klvsetup/list.txt", HttpResponse::CutOff({"faq.txt\nstyle"}, 100));
    CaptureValidForm();

    OnUpdatePages(Context());

    EXPECT_THAT(window.statusLine, HasSubstr("bytes remaining"));
    EXPECT_THAT(window.messages, IsEmpty());
    EXPECT_FALSE(shared.sharedClient.connected());
    EXPECT_FALSE(fs::exists(OnServer("www/klv/faq.txt")));
}

TEST_F(FaultTest, InstallScriptShowsATemplateThatBrokeOffAndUploadsNothing) {
    http.Serve("/klvsetup/klvcfgcgi.txt",
               HttpResponse::CutOff({"#!/usr/bin/perl\r\n# half a templ"}, 600));
    FillValidForm();

    OnInstallScript(Context());

    EXPECT_THAT(window.statusLine, HasSubstr("bytes remaining"));
    EXPECT_THAT(window.messages, IsEmpty());
    EXPECT_THAT(window.openedUrls, IsEmpty());
    EXPECT_FALSE(fs::exists(OnServer("www/cgi-bin/klvcfg.cgi")));
}

TEST_F(FaultTest, InstallScriptDoesNotUploadAMainScriptThatBrokeOff) {
    http.Serve("/klvsetup/klvcgi.txt",
               HttpResponse::CutOff({"#!/usr/bin/perl\r\nprint \"half a scri"}, 800));
    FillValidForm();

    OnInstallScript(Context());

    // The configuration script went up; the broken main script did not, and the set-up
    // page of a script that is not there is not opened.
    EXPECT_EQ(ModeOf(OnServer("www/cgi-bin/klvcfg.cgi")), 0755u);
    EXPECT_FALSE(fs::exists(OnServer("www/cgi-bin/klv.cgi")));
    EXPECT_THAT(window.statusLine, HasSubstr("bytes remaining"));
    EXPECT_THAT(window.openedUrls, IsEmpty());
}

// --- a web server that falls silent in the middle of a body --------------------------

TEST_F(FaultTest, UpdatePagesGivesUpOnASilentPageAfterTheIdleBound) {
    const std::string page = BigPage(4000);
    http.Serve("/klvsetup/faq.txt", HttpResponse::Stalled({page.substr(0, 1000)}, 4000));
    SetList("faq.txt\nstyle.css\n");
    CaptureValidForm();

    const Stopwatch stopwatch;
    OnUpdatePages(Context());

    ASSERT_THAT(window.messages, SizeIs(1));
    const std::vector<std::string> lines = Lines(window.messages[0], "\n");
    ASSERT_THAT(lines, SizeIs(2)) << window.messages[0];
    EXPECT_EQ(lines[1], "faq.txt: Nothing received from the server for 1 second");
    EXPECT_FALSE(fs::exists(OnServer("www/klv/faq.txt")));
    EXPECT_TRUE(fs::exists(OnServer("www/klv/style.css")));
    // The stall is checked at least once a second: one bound, plus at most one more.
    EXPECT_LT(stopwatch.Elapsed(), 3 * kIdle);
}

TEST_F(FaultTest, InstallScriptGivesUpOnASilentTemplateAfterTheIdleBound) {
    http.Serve("/klvsetup/klvcfgcgi.txt", HttpResponse::Stalled({"#!/usr/bin/perl\r\n"}, 600));
    FillValidForm();

    const Stopwatch stopwatch;
    OnInstallScript(Context());

    EXPECT_EQ(window.statusLine, "Nothing received from the server for 1 second");
    EXPECT_THAT(window.messages, IsEmpty());
    EXPECT_FALSE(fs::exists(OnServer("www/cgi-bin/klvcfg.cgi")));
    EXPECT_LT(stopwatch.Elapsed(), 3 * kIdle);
}

// --- scripted FTP servers: PORT that never connects, silence, one byte at a time -----

// Update Pages against a scripted FTP server, with the sample vendor site.
class ScriptedFtpFault : public ::testing::Test {
protected:
    ScriptedFtpFault() {
        fs::copy(KLV_DEMO_VENDOR_SITE, vendorSite.path(), fs::copy_options::recursive);
        http.ServeDirectory(vendorSite.path());
        shared.appDirectory = programDir.path().string();
        config.vendorBaseUrl = http.Url();
        config.ftpPort = server.port();
        config.idleTimeout = kIdle;
        shared.formData.ftpServer.assign("127.0.0.1");
        shared.formData.ftpUser.assign("ann");
        shared.formData.ftpPassword.assign("pw");
    }

    void SetList(const std::string& list) {
        WriteFileBytes(vendorSite.path() / "klvsetup/list.txt", list);
    }
    [[nodiscard]] std::string Vendor(const std::string& name) const {
        return ReadFileBytes(vendorSite.path() / "klvsetup" / name);
    }
    FakeFtpServer& LoggedOn() {
        return server.Reply("220 ready\r\n")
            .Expect("AUTH TLS")
            .Reply("500 AUTH not understood\r\n")
            .Expect("USER ann")
            .Reply("331 password\r\n")
            .Expect("PASS pw")
            .Reply("230 in\r\n");
    }
    InstallerContext Context() { return {window, shared, config}; }

    ScratchDirectory vendorSite;
    ScratchDirectory programDir;
    HttpTestServer http;
    FakeFtpServer server;
    FakeWindow window;
    SharedState shared;
    Config config;
};

// After STOR's 150 the server never connects to the address PORT named: the client gives
// up after the idle bound and closes the connection, since the server may still answer
// the STOR. The next page's fresh logon gets no greeting either, and the rest are named.
TEST_F(ScriptedFtpFault, PortTakenButNeverConnected) {
    SetList("faq.txt\nstyle.css\nindex.html\n");
    LoggedOn()
        .Expect("TYPE A")
        .Reply("200 type A\r\n")
        .ExpectStartingWith("PORT 127,0,0,1,")
        .Reply("200 PORT command successful\r\n")
        .Expect("STOR www/klv/faq.txt")
        .Reply("150 Opening data connection\r\n")
        .WaitForClose();
    server.Start();

    const Stopwatch stopwatch;
    OnUpdatePages(Context());
    server.Finish();

    EXPECT_THAT(server.errors(), IsEmpty());
    EXPECT_EQ(server.receivedData(), "");
    ASSERT_THAT(window.messages, SizeIs(1));
    EXPECT_EQ(window.messages[0], std::string(kComplete) +
                                      "\nfaq.txt: Network error"
                                      "\nstyle.css: Network error"
                                      "\nindex.html: the connection to the server was lost");
    EXPECT_LT(stopwatch.Elapsed(), 3 * kIdle);
}

TEST_F(ScriptedFtpFault, AServerSilentAfterLogonCostsOneIdleBoundNotOnePerPage) {
    SetList("faq.txt\nstyle.css\nindex.html\nweblog.txt\nklv.jpg\n");
    LoggedOn().Expect("TYPE A").WaitForClose();
    server.Start();

    const Stopwatch stopwatch;
    OnUpdatePages(Context());
    server.Finish();

    EXPECT_THAT(server.errors(), IsEmpty());
    ASSERT_THAT(window.messages, SizeIs(1));
    EXPECT_EQ(window.messages[0], std::string(kComplete) +
                                      "\nfaq.txt: Network error"
                                      "\nstyle.css: Network error"
                                      "\nindex.html: the connection to the server was lost"
                                      "\nweblog.txt: the connection to the server was lost"
                                      "\nklv.jpg: the connection to the server was lost");
    EXPECT_LT(stopwatch.Elapsed(), 3 * kIdle);
}

TEST_F(ScriptedFtpFault, AServerAnsweringOneByteAtATimeStillGetsEveryPage) {
    SetList("faq.txt\nklv.jpg\n");
    const std::string faq = Vendor("faq.txt");
    const std::string image = Vendor("klv.jpg");
    server.ReplyByteByByte("220-Welcome\r\n220-to a slow server\r\n220 ready\r\n")
        .Expect("AUTH TLS")
        .ReplyByteByByte("500 AUTH not understood\r\n")
        .Expect("USER ann")
        .ReplyByteByByte("331 password\r\n")
        .Expect("PASS pw")
        .ReplyByteByByte("230-Logged on\r\n230 in\r\n")
        .Expect("TYPE A")
        .ReplyByteByByte("200 type A\r\n")
        .ExpectStartingWith("PORT 127,0,0,1,")
        .ReplyByteByByte("200 PORT ok\r\n")
        .Expect("STOR www/klv/faq.txt")
        .ReplyByteByByte("150 go ahead\r\n")
        .ConnectData()
        .ReceiveData()
        .CloseData()
        .ReplyByteByByte("226-Transfer complete\r\n226 ok\r\n")
        .Expect("TYPE I")
        .ReplyByteByByte("200 type I\r\n")
        .ExpectStartingWith("PORT 127,0,0,1,")
        .ReplyByteByByte("200 PORT ok\r\n")
        .Expect("STOR www/klv/klv.jpg")
        .ReplyByteByByte("150 go ahead\r\n")
        .ConnectData()
        .ReceiveData()
        .CloseData()
        .ReplyByteByByte("226 Transfer complete\r\n")
        .Expect("QUIT")
        .WaitForClose();
    server.Start();

    OnUpdatePages(Context());
    server.Finish();

    EXPECT_THAT(server.errors(), IsEmpty());
    EXPECT_EQ(server.receivedData(), faq + image);
    EXPECT_THAT(window.messages, ElementsAre(std::string(kComplete)));
    EXPECT_EQ(window.statusLine, kComplete);
}

// A reply that comes after the idle bound is not taken for the answer to the next
// command: the client ends the conversation instead of running one reply behind.
TEST(LateReply, EndsTheConversationInsteadOfAnsweringTheNextCommand) {
    FakeFtpServer server;
    server.Reply("220 ready\r\n")
        .Expect("NOOP")
        .Pause(kIdle * 3 / 2)
        .Reply("200 NOOP ok, but late\r\n")
        .WaitForClose();
    server.Start();
    ftp::FtpClient client;
    client.setIdleTimeout(kIdle);
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(client.Command(""));

    EXPECT_FALSE(client.Command("NOOP"));
    EXPECT_EQ(client.replyText(), ftp::kNetworkError);
    EXPECT_FALSE(client.connected());
    // TYPE I must not be answered by the late NOOP reply.
    const Stopwatch stopwatch;
    EXPECT_FALSE(client.Command("TYPE I"));
    EXPECT_EQ(client.replyText(), ftp::kNetworkError);
    EXPECT_LT(stopwatch.Elapsed(), kIdle / 2);
    server.Finish();
    EXPECT_THAT(server.errors(), IsEmpty());
    EXPECT_EQ(server.transcript(), "NOOP\r\n");
}

}  // namespace
}  // namespace klv::testing
