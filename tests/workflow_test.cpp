// The session operations and the three workflows: against pyftpdlib and the sample vendor
// site on loopback, and against the scripted FTP server where exact commands matter or
// a fault must be played.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "installer/session.h"
#include "installer/shared_state.h"
#include "installer/workflows.h"
#include "tests/support/fake_window.h"
#include "tests/support/testkit.h"

namespace klv::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr std::string_view kComplete = "Update Pages Is Now Complete!";
constexpr std::string_view kHint = "If Script Upload OK, Then Update Pages";

std::string Big(std::size_t size) {
    std::string page;
    for (int line = 0; page.size() < size; ++line) {
        page += "<p>paragraph " + std::to_string(line) + " of a long page</p>\r\n";
    }
    return page;
}

// A workflow's world: the window, the shared state, an HTTP server on a copy of the
// sample vendor site (with `routes`), and an FTP server: pyftpdlib (with `ftpOptions`)
// unless the test starts the scripted one.
class Workflow : public ::testing::Test {
public:
    void Serve(std::vector<std::string> routes) {
        routes.insert(routes.begin(), {"http", vendor.path, scratch / "http.log"});
        http.emplace(routes);
        config.vendorBaseUrl = http->Url();
    }
    void Start(std::vector<std::string> routes = {}, std::vector<std::string> ftpOptions = {}) {
        fs::copy(KLV_DEMO_VENDOR_SITE, vendor.path, fs::copy_options::recursive);
        for (const char* directory : {"home/www/cgi-bin", "home/www/klv", "program"}) {
            fs::create_directories(scratch.path / directory);
        }
        Serve(std::move(routes));
        ftpOptions.insert(ftpOptions.begin(), {"pyftpd", scratch / "home", "ann", "s3cret"});
        ftp.emplace(ftpOptions);
        shared.appDirectory = scratch / "program";
        config.affiliateHopUrl = "http://hop.clickbank.net/";
        config.ftpPort = ftp->port;
        config.idleTimeout = 1s;
    }
    void Script(std::vector<std::string> rules) {
        fs::remove(scratch / "ftp.log");
        rules.insert(rules.begin(), {"ftp", scratch / "ftp.log"});
        ftp.emplace(rules);
        config.ftpPort = ftp->port;
    }
    void FillForm() {
        window.SetFieldText(Control::Username, "ann");
        window.SetFieldText(Control::Password, "s3cret");
        window.SetFieldText(Control::Server, "127.0.0.1");
        window.SetFieldText(Control::HttpCgiPath, "http://blog.example.org/cgi-bin");
        window.SetFieldText(Control::MainEmail, "owner@example.org");
        window.SetFieldText(Control::PayPalEmail, "pay@example.org");
        window.SetFieldText(Control::BlogTitle, "Ann's #password# Blog");
        window.SetFieldText(Control::BlogPassword, "opensesame");
        window.SetFieldText(Control::ClickBankNickName, "annie");
    }
    void Capture() {
        FillForm();
        CaptureForm(window, shared.formData, config.affiliateHopUrl);
    }
    InstallerContext Context() { return {window, shared, config}; }
    std::string Vendor(const std::string& name) const {
        return vendor.path / "klvsetup" / name;
    }
    std::string Home(const std::string& name) const { return scratch / ("home/" + name); }
    std::vector<std::string> Requests() const { return Lines(scratch / "http.log"); }
    std::vector<std::string> Sent(std::size_t atLeast = 0) const {  // QUIT awaits no reply
        for (int wait = 0; wait < 100 && Lines(scratch / "ftp.log").size() < atLeast; ++wait) {
            std::this_thread::sleep_for(20ms);
        }
        return Lines(scratch / "ftp.log");
    }
    SessionArguments Account(std::string remotePath, int chmodAfter = 1) {
        WriteFile(scratch / "script", "#!/bin/sh\r\necho hi\r\n");
        return {"127.0.0.1", "ann", "pw", scratch / "script", std::move(remotePath), 0, chmodAfter};
    }

    Scratch scratch, vendor;
    std::optional<LocalServer> http, ftp;
    FakeWindow window;
    SharedState shared;
    Config config;
};

std::string WithoutCr(std::string text) {  // as the server stores an ASCII upload
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.erase(at, 1);
    }
    return text;
}

TEST_F(Workflow, InstallScriptUploadsBothScriptsMakesThemExecutableAndOpensTheSetupPage) {
    Start();
    FillForm();
    OnInstallScript(Context());
    const std::string filled = ReadFile(scratch / "program/klvcfg.cgi");
    EXPECT_THAT(filled, HasSubstr("admin_email     => \"owner\\@example.org\",\r\n"));
    EXPECT_THAT(filled, HasSubstr("stormpay_email  => \"\",\r\n"));
    EXPECT_THAT(filled, HasSubstr("\"http://hop.clickbank.net/?annie/tamrixo\""));
    EXPECT_THAT(filled, ::testing::Not(::testing::ContainsRegex("#[a-z-]+#")));
    EXPECT_EQ(ReadFile(Home("www/cgi-bin/klvcfg.cgi")), WithoutCr(filled));
    EXPECT_EQ(ReadFile(Home("www/cgi-bin/klv.cgi")), WithoutCr(ReadFile(Vendor("klvcgi.txt"))));
    EXPECT_EQ(ModeOf(Home("www/cgi-bin/klvcfg.cgi")), 0755u);
    EXPECT_EQ(ModeOf(Home("www/cgi-bin/klv.cgi")), 0755u);
    ASSERT_EQ(window.messages.size(), 1u);  // only the second upload shows its replies
    EXPECT_THAT(window.messages[0], ::testing::MatchesRegex("226[^\n]* \n250[^\n]* \n200[^\n]*"));
    EXPECT_THAT(window.openedUrls, ElementsAre("http://blog.example.org/cgi-bin/klv.cgi?data=setup"));
    EXPECT_THAT(window.statusHistory, ElementsAre("Downloading Current KLV Script From Kolvane",
                                                  "Uploading KLV Script", kHint));
    EXPECT_THAT(Requests(), ElementsAre("GET /klvsetup/klvcfgcgi.txt HTTP/1.1",
                                        "GET /klvsetup/klvcgi.txt HTTP/1.1"));
    EXPECT_EQ(shared.showTranscript, 0);

    // Update Pages uses the values of that Install Script, not the form's.
    window.SetFieldText(Control::Password, "changed since");
    window.messages.clear();
    window.statusHistory.clear();
    OnUpdatePages(Context());
    for (const char* page : {"klv.jpg", "button.jpg"}) {  // image type: byte for byte
        EXPECT_EQ(ReadFile(Home("www/klv/") + page), ReadFile(Vendor(page)));
    }
    EXPECT_EQ(ReadFile(Home("www/klv/weblog.php")), WithoutCr(ReadFile(Vendor("weblog.txt"))));
    EXPECT_EQ(ReadFile(Home("www/klv/faq.txt")), WithoutCr(ReadFile(Vendor("faq.txt"))));
    const std::string blog = ReadFile(Home("www/klv/weblogex.php"));
    EXPECT_THAT(blog, HasSubstr("$blog_title = \"Ann's opensesame Blog\";"));
    EXPECT_THAT(blog, HasSubstr("$blog_password = \"opensesame\";"));
    EXPECT_THAT(window.messages, ElementsAre(kComplete));
    EXPECT_THAT(window.statusHistory,
                ElementsAre("Downloading Current KLV Pages From Kolvane", "",
                            "Uploading New KLV Pages To Your Server", "Uploading weblog.php",
                            "Uploading weblogex.php", "Uploading klv.jpg", "Uploading button.jpg",
                            "Uploading index.html", "Uploading style.css", "Uploading faq.txt",
                            kComplete));
    EXPECT_FALSE(shared.sharedClient.connected());

    DeleteWorkingFiles(shared.appDirectory);
    WriteFile(scratch / "program/keep.txt", "");
    DeleteWorkingFiles(shared.appDirectory);  // missing files are no failure
    EXPECT_THAT(Lines(scratch / "program/keep.txt"), IsEmpty());
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "program"), {}), 1);
}

TEST_F(Workflow, InstallScriptRefusesAnIncompleteFormBeforeDownloading) {
    Start();
    FillForm();
    window.SetFieldText(Control::Username, "");
    window.SetFieldText(Control::PayPalEmail, "");
    OnInstallScript(Context());
    FillForm();
    window.SetFieldText(Control::PayPalEmail, "");
    OnInstallScript(Context());
    EXPECT_THAT(window.messages, ElementsAre("You MUST Fill In ALL Fields Before Uploading!",
                                             "You MUST Enter A PayPal Email, A StormPay Email Or Both!"));
    EXPECT_EQ(shared.formData.mainEmail, "owner@example.org");  // captured all the same
    EXPECT_THAT(Requests(), IsEmpty());
    window.SetFieldText(Control::StormPayEmail, "storm@example.org");
    window.SetFieldText(Control::MainEmail, "   ");  // blanks are content
    OnInstallScript(Context());
    EXPECT_THAT(ReadFile(Home("www/cgi-bin/klvcfg.cgi")), HasSubstr("admin_email     => \"   \""));
}

struct Fault {
    std::string name;
    std::function<void(Workflow&)> arrange;
    std::string status;               // the status line afterwards holds this
    std::vector<std::string> messages;  // each starting with this
    bool configUploaded;
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

class InstallScriptFaults : public Workflow, public ::testing::WithParamInterface<Fault> {};

TEST_P(InstallScriptFaults, ShowTheCauseAndGoNoFurther) {
    Start();
    FillForm();
    GetParam().arrange(*this);
    OnInstallScript(Context());
    EXPECT_THAT(window.statusLine, HasSubstr(GetParam().status));
    ASSERT_EQ(window.messages.size(), GetParam().messages.size());
    for (std::size_t i = 0; i < window.messages.size(); ++i) {
        EXPECT_THAT(window.messages[i], StartsWith(GetParam().messages[i]));
    }
    EXPECT_EQ(fs::exists(Home("www/cgi-bin/klvcfg.cgi")), GetParam().configUploaded);
    EXPECT_FALSE(fs::exists(Home("www/cgi-bin/klv.cgi")));
    EXPECT_THAT(window.openedUrls, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Workflows, InstallScriptFaults,
    ::testing::Values(
        Fault{"vendor down",
              [](Workflow& w) { w.config.vendorBaseUrl = "http://127.0.0.1:" + std::to_string(ClosedPort()); },
              "onnect", {}, false},
        Fault{"template missing", [](Workflow& w) { fs::remove(w.Vendor("klvcfgcgi.txt")); },
              "HTTP 404 Not Found", {}, false},
        Fault{"template cut", [](Workflow& w) { w.Serve({"/klvsetup/klvcfgcgi.txt=cut"}); },
              "bytes remaining", {}, false},
        Fault{"template silent",
              [](Workflow& w) { w.Serve({"/klvsetup/klvcfgcgi.txt=silent"}); },
              "Nothing received from the server for 1 second", {}, false},
        Fault{"main script cut",
              [](Workflow& w) { w.Serve({"/klvsetup/klvcgi.txt=cut"}); },
              "bytes remaining", {}, true},
        Fault{"ftp down", [](Workflow& w) { w.config.ftpPort = ClosedPort(); },
              "Unable to connect to server", {"Unable to connect to server"}, false},
        Fault{"wrong password",
              [](Workflow& w) { w.window.SetFieldText(Control::Password, "wrong"); }, "530",
              {"530"}, false}));

TEST_F(Workflow, UpdatePagesNamesEveryPageThatDidNotLand) {
    Start({"/klvsetup/cut.html=cut", "/klvsetup/silent.html=silent"});
    Capture();
    WriteFile(Vendor("list.txt"), "faq.txt\r\nmissing.html\r\n\r\ncut.html\r\nsilent.html\r\nKlv.jpg\r\nstyle.css\r\nnot listed");
    WriteFile(Vendor("cut.html"), Big(4000));
    WriteFile(Vendor("silent.html"), "");
    fs::copy_file(Vendor("klv.jpg"), Vendor("Klv.jpg"));
    OnUpdatePages(Context());
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_THAT(window.messages[0],
                ::testing::MatchesRegex("Update Pages Is Now Complete!\nmissing.html: HTTP 404 Not "
                                        "Found\n: HTTP 404 Not Found\ncut.html: .*bytes remaining.*\n"
                                        "silent.html: Nothing received from the server for 1 second"));
    std::vector<std::string> stored;
    for (const auto& entry : fs::directory_iterator(Home("www/klv"))) {
        stored.push_back(entry.path().filename());
    }
    std::sort(stored.begin(), stored.end());
    EXPECT_THAT(stored, ElementsAre("Klv.jpg", "faq.txt", "style.css"));
    EXPECT_EQ(ReadFile(Home("www/klv/Klv.jpg")), WithoutCr(ReadFile(Vendor("klv.jpg"))));  // ASCII
}

TEST_F(Workflow, UpdatePagesStopsAtAFailedListOrLogon) {
    Start({"/klvsetup/list.txt=cut"});
    Capture();
    OnUpdatePages(Context());
    EXPECT_THAT(window.statusLine, HasSubstr("bytes remaining"));
    fs::remove(Vendor("list.txt"));
    Serve({});
    OnUpdatePages(Context());
    EXPECT_EQ(window.statusLine, "HTTP 404 Not Found");
    EXPECT_THAT(window.messages, IsEmpty());
    EXPECT_FALSE(shared.sharedClient.connected());
    WriteFile(Vendor("list.txt"), "faq.txt\n");
    shared.formData.ftpPassword = "wrong";
    OnUpdatePages(Context());
    EXPECT_THAT(window.messages, ElementsAre(StartsWith("530")));
    EXPECT_EQ(window.statusLine, window.messages[0]);
    EXPECT_FALSE(fs::exists(Home("www/klv/faq.txt")));
}

TEST_F(Workflow, UpdatePagesGivesUpOnADeadServerAndNamesEveryPageAfter) {
    Start({}, {"die-after=65536"});
    Capture();
    WriteFile(Vendor("big.html"), Big(512 * 1024));
    WriteFile(Vendor("list.txt"), "faq.txt\nbig.html\nstyle.css\n");
    const auto start = std::chrono::steady_clock::now();
    OnUpdatePages(Context());
    EXPECT_THAT(window.messages, ElementsAre(std::string(kComplete) +
                                             "\nbig.html: Network error\nstyle.css: Network error"));
    EXPECT_TRUE(fs::exists(Home("www/klv/faq.txt")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    ftp.emplace(std::vector<std::string>{"pyftpd", scratch / "home", "ann", "s3cret", "die-after=65536"});
    config.ftpPort = ftp->port;
    WriteFile(Vendor("klvcgi.txt"), Big(512 * 1024));
    OnInstallScript(Context());
    EXPECT_EQ(window.messages.back(), "Network error \nNetwork error \nNetwork error");
    EXPECT_EQ(ModeOf(Home("www/cgi-bin/klvcfg.cgi")), 0755u);
    EXPECT_NE(ModeOf(Home("www/cgi-bin/klv.cgi")), 0755u);
}

TEST_F(Workflow, ReadDocsOpensTheDocumentationPage) {
    Start();
    OnReadDocs(Context());
    EXPECT_THAT(window.openedUrls, ElementsAre(http->Url("/klvdocs.html?id=500")));
    EXPECT_EQ(window.statusLine, "Reading KLV Docs");
}

struct Upload {
    std::string remotePath, cwd, chmod;
};

void PrintTo(const Upload& upload, std::ostream* out) { *out << upload.remotePath; }

class UploadOnceSteps : public Workflow, public ::testing::WithParamInterface<Upload> {};

TEST_P(UploadOnceSteps, StoreChangeDirectoryChmodThenShowTheRepliesAndQuit) {
    Script({"STOR=150 go|DATA|226 stored", "CWD=250 changed", "SITE=200 mode changed"});
    shared.showTranscript = 1;
    window.onMessage = [&](const std::string&) { EXPECT_NE(Sent().back(), "QUIT"); };
    EXPECT_TRUE(UploadOnce(Context(), Account(GetParam().remotePath)));
    EXPECT_THAT(window.messages, ElementsAre("226 stored \n250 changed \n200 mode changed"));
    EXPECT_EQ(shared.statusText, kHint);
    EXPECT_EQ(ReadFile(scratch / "ftp.log.stored"), "#!/bin/sh\r\necho hi\r\n");
    const std::vector<std::string> sent = Sent(8);
    ASSERT_EQ(sent.size(), 8u);
    EXPECT_THAT(std::vector(sent.begin() + 4, sent.end()),
                ElementsAre("STOR " + GetParam().remotePath, GetParam().cwd, GetParam().chmod, "QUIT"));
}

INSTANTIATE_TEST_SUITE_P(
    Session, UploadOnceSteps,
    ::testing::Values(Upload{"www/cgi-bin/klvcfg.cgi", "CWD www/cgi-bin", "SITE chmod 755 klvcfg.cgi"},
                      Upload{"klv.cgi", "CWD ", "SITE chmod 755 klv.cgi"},
                      Upload{"/klv.cgi", "CWD ", "SITE chmod 755 klv.cgi"},
                      Upload{"a/b/", "CWD a/b", "SITE chmod 755 "}));

TEST_F(Workflow, UploadOnceChmodsOnlyForOneAndStillAfterARefusedStore) {
    Script({"STOR=553 not allowed", "SITE=550 no such file"});
    shared.showTranscript = 2;
    EXPECT_TRUE(UploadOnce(Context(), Account("x.cgi", 2)));
    EXPECT_THAT(window.messages, IsEmpty());
    shared.showTranscript = 1;
    EXPECT_TRUE(UploadOnce(Context(), Account("x.cgi")));
    EXPECT_THAT(window.messages, ElementsAre("553 not allowed \n250 directory changed \n550 no such file"));
    EXPECT_THAT(Sent(14), ::testing::Contains("SITE chmod 755 x.cgi").Times(1));
    Script({"PASS=530 Login incorrect: 100% wrong"});
    window.messages.clear();
    EXPECT_FALSE(UploadOnce(Context(), Account("x.cgi")));
    EXPECT_THAT(window.messages, ElementsAre("530 Login incorrect: 100% wrong"));
    EXPECT_EQ(shared.statusText, "530 Login incorrect: 100% wrong");
    EXPECT_THAT(Sent(), ::testing::Not(::testing::Contains("QUIT")));
}

TEST_F(Workflow, ASessionFallsBackToPassiveOnceAndStaysThere) {
    Script({"STOR#1=425 Can't open data connection", "STOR#4=150 go|DATA|550 full"});
    ASSERT_TRUE(SessionLogOn(Context(), Account("")));
    EXPECT_TRUE(SessionPutPage(Context(), Account("a.html", 0)));
    EXPECT_TRUE(SessionPutPage(Context(), Account("b.html", 0)));
    EXPECT_FALSE(SessionPutPage(Context(), Account("c.html", 0)));  // not retried
    EXPECT_EQ(shared.sharedClient.replyText(), "550 full");
    SessionLogOff(Context());
    EXPECT_THAT(Sent(15), ElementsAre("USER ann", "PASS pw", "TYPE A", ::testing::StartsWith("PORT "),
                                    "STOR a.html", "TYPE A", "PASV", "STOR a.html", "TYPE A",
                                    "PASV", "STOR b.html", "TYPE A", "PASV", "STOR c.html", "QUIT"));
    config.ftpPort = ClosedPort();
    EXPECT_FALSE(SessionLogOn(Context(), Account("")));
    EXPECT_THAT(window.messages, ElementsAre("Unable to connect to server"));
}

TEST_F(Workflow, APortNeverConnectedAndNoPassiveCostOneIdleBoundNotOnePerPage) {
    Start();
    Script({"STOR=150 go", "PASV=502 Passive mode not allowed here"});
    Capture();
    WriteFile(Vendor("list.txt"), "faq.txt\nstyle.css\n");
    const auto start = std::chrono::steady_clock::now();
    OnUpdatePages(Context());
    EXPECT_THAT(window.messages, ElementsAre(std::string(kComplete) +
                                             "\nfaq.txt: 502 Passive mode not allowed here"
                                             "\nstyle.css: 502 Passive mode not allowed here"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    Script({"bytewise", "GREETING=220-slow|220 server"});
    window.messages.clear();
    OnUpdatePages(Context());
    EXPECT_THAT(window.messages, ElementsAre(kComplete));
}

}  // namespace
}  // namespace klv::testing
