// The session operations and the three workflows: against pyftpdlib and the sample vendor
// site on loopback, and against the scripted FTP server where exact commands matter or
// a fault must be played.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <set>
#include <thread>

#include "base/cancel.h"
#include "installer/session.h"
#include "installer/shared_state.h"
#include "installer/text_file.h"
#include "installer/workflows.h"
#include "tests/support/support.h"

namespace klv::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const std::string kComplete = "Update Pages Is Now Complete!";

std::string Stored(std::string text) {  // as pyftpdlib stores an ASCII upload
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.erase(at, 1);
    }
    return text;
}

// The form as the workflows' user filled it in.
// clang-format off
const std::pair<Control, const char*> kForm[] = {
    {Control::Username, "ann"}, {Control::Password, "s3cret"}, {Control::Server, "127.0.0.1"},
    {Control::ClickBankNickName, "annie"}, {Control::HttpCgiPath, "http://blog.example.org/cgi"},
    {Control::MainEmail, "owner@example.org"}, {Control::PayPalEmail, "pay@example.org"},
    {Control::BlogTitle, "Ann's #password# Blog"}, {Control::BlogPassword, "opensesame"}};
// clang-format on

// A workflow's world: the window, the shared state, and the servers a case starts: an HTTP
// server on a copy of the sample vendor site, and pyftpdlib or the scripted FTP server.
// Until then nothing listens at either address.
class Workflow : public ::testing::Test {
protected:
    void Serve(std::vector<std::string> routes = {}) {
        routes.insert(routes.begin(), {"http", vendor.path, scratch / "http.log"});
        http.emplace(routes);
        config.vendorBaseUrl = http->Url();
    }
    void Ftp(std::vector<std::string> options = {}) {  // pyftpdlib with servers.py's options
        options.insert(options.begin(), {"pyftpd", scratch / "home", "ann", "s3cret"});
        ftp.emplace(options);
        config.ftpPort = ftp->port;
    }
    void Script(std::vector<std::string> rules) {
        log = scratch / ("ftp" + std::to_string(++scripts) + ".log");  // late QUITs go elsewhere
        rules.insert(rules.begin(), {"ftp", log});
        ftp.emplace(rules);
        config.ftpPort = ftp->port;
        config.connections = 1;  // the scripted server takes one connection at a time
    }
    void SetUp() override {
        fs::copy(KLV_DEMO_VENDOR_SITE, vendor.path, fs::copy_options::recursive);
        for (const char* directory : {"home/www/cgi-bin", "home/www/klv", "program"}) {
            fs::create_directories(scratch.path / directory);
        }
        shared.appDirectory = scratch / "program";
        config = {"http://127.0.0.1:" + std::to_string(kClosedPort), "http://hop.clickbank.net/",
                  kClosedPort, 1s};
        for (const auto& [field, text] : kForm) {
            window.SetFieldText(field, text);
        }
        CaptureForm(window, shared.formData, config.affiliateHopUrl);
    }
    InstallerContext Context() { return {window, shared, config}; }
    std::string Vendor(const std::string& name) const { return vendor.path / "klvsetup" / name; }
    std::string Home(const std::string& name) const { return scratch / ("home/" + name); }
    std::vector<std::string> Sent(std::size_t atLeast = 0) const { return Lines(log, atLeast); }
    std::set<std::string> Pages() const {  // the names in www/klv on the server
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(Home("www/klv"))) {
            names.insert(entry.path().filename());
        }
        return names;
    }
    // Runs Update Pages on `list`; what its completion box names after kComplete.
    std::string UpdatePages(const std::string& list) {
        WriteFile(Vendor("list.txt"), list);
        const std::size_t boxes = window.messages.size();
        OnUpdatePages(Context());
        const bool completed =
            window.messages.size() == boxes + 1 && window.messages.back().starts_with(kComplete);
        return completed ? window.messages.back().substr(kComplete.size()) : "<no completion>";
    }
    std::string Working(const std::string& name) const { return shared.appDirectory + "/" + name; }

    Scratch scratch, vendor;
    std::string log;
    int scripts = 0;
    std::optional<LocalServer> http, ftp;
    FakeWindow window;
    SharedState shared;
    Config config;
};

TEST_F(Workflow, InstallScriptThenUpdatePagesPutEverythingInPlace) {
    Serve();
    Ftp();
    OnInstallScript(Context());
    const std::string filled = ReadFile(scratch / "program/klvcfg.cgi");  // the form's values
    EXPECT_THAT(filled, HasSubstr("admin_email     => \"owner\\@example.org\",\r\n"));
    EXPECT_THAT(filled, HasSubstr("\"http://hop.clickbank.net/?annie/tamrixo\""));
    EXPECT_EQ(ReadFile(Home("www/cgi-bin/klvcfg.cgi")), Stored(filled));
    EXPECT_EQ(ReadFile(Home("www/cgi-bin/klv.cgi")), Stored(ReadFile(Vendor("klvcgi.txt"))));
    EXPECT_EQ(ModeOf(Home("www/cgi-bin/klvcfg.cgi")) & ModeOf(Home("www/cgi-bin/klv.cgi")), 0755u);
    EXPECT_THAT(window.messages,  // only the second upload shows its replies
                ElementsAre(::testing::MatchesRegex("226[^\n]* \n250[^\n]* \n200[^\n]*")));
    EXPECT_THAT(window.openedUrls, ElementsAre("http://blog.example.org/cgi/klv.cgi?data=setup"));
    EXPECT_THAT(window.statusHistory, ElementsAre("Downloading Current KLV Script From Kolvane",
                                                  "Uploading KLV Script", kScriptUploadHint));
    EXPECT_THAT(Lines(scratch / "http.log"), ElementsAre("GET /klvsetup/klvcfgcgi.txt HTTP/1.1",
                                                         "GET /klvsetup/klvcgi.txt HTTP/1.1"));

    window.SetFieldText(Control::Password, "changed since");  // Install Script's values count
    window.statusHistory.clear();
    WriteFile(Vendor("weblog.txt"), ReadFile(Vendor("weblog.txt")) + "#title# #password#\n");
    EXPECT_EQ(UpdatePages(ReadFile(Vendor("list.txt"))), "");
    for (const char* page : {"klv.jpg", "button.jpg"}) {  // image type: byte for byte
        EXPECT_EQ(ReadFile(Home("www/klv/") + page), ReadFile(Vendor(page)));
    }
    EXPECT_EQ(ReadFile(Home("www/klv/weblog.php")), Stored(ReadFile(Vendor("weblog.txt"))));
    const std::string blog = ReadFile(Home("www/klv/weblogex.php"));
    EXPECT_THAT(blog, HasSubstr("$blog_title = \"Ann's opensesame Blog\";"));
    EXPECT_THAT(blog, HasSubstr("$blog_password = \"opensesame\";"));
    // Three sessions: the pages go up in any order, each named while it goes.
    const std::vector<std::string>& history = window.statusHistory;
    ASSERT_GE(history.size(), 5u);
    EXPECT_THAT(std::vector(history.begin(), history.begin() + 3),
                ElementsAre("Downloading Current KLV Pages From Kolvane", "",
                            "Uploading New KLV Pages To Your Server"));
    EXPECT_THAT(
        std::vector(history.begin() + 3, history.end() - 1),
        Each(::testing::AnyOf("Uploading weblog.php", "Uploading weblogex.php", "Uploading klv.jpg",
                              "Uploading button.jpg", "Uploading index.html", "Uploading style.css",
                              "Uploading faq.txt")));
    EXPECT_EQ(history.back(), kComplete);
    for (const char* name : {"klvcfg.cgi", "klv.txt"}) {
        EXPECT_EQ(ModeOf(Working(name)), 0600u) << name;  // the user's alone
    }
    EXPECT_FALSE(fs::exists(Working(PageWorkingFile(1))));  // the blog page held the password
}

// A fault Install Script meets, and what the user sees of it.
struct InstallFault {
    const char* name;
    std::vector<std::string> site = {};  // the vendor site's routes; {"down"}: nothing listens
    bool ftpUp = false;                  // pyftpdlib listens; else nothing does
    Control field = Control::Password;   // holds `text` when the button is pressed
    const char* text = "s3cret";
    const char* status;    // the status line holds it
    const char* box = "";  // the message box starts with it; "": no box
    RunOutcome outcome;
    bool configLanded = false;
};
// clang-format off
const InstallFault kInstallFaults[] = {
    {.name = "VendorDown", .site = {"down"}, .status = "onnect",
     .outcome = RunOutcome::VendorFailed},
    {.name = "NoTemplate", .site = {"/klvsetup/klvcfgcgi.txt=404 Not Found"},
     .status = "HTTP 404 Not Found", .outcome = RunOutcome::VendorFailed},
    {.name = "MainScriptCut", .site = {"/klvsetup/klvcgi.txt=cut"}, .ftpUp = true,
     .status = "bytes remaining", .outcome = RunOutcome::VendorFailed, .configLanded = true},
    {.name = "FtpDown", .status = "Unable to connect to server",
     .box = "Unable to connect to server", .outcome = RunOutcome::Refused},
    {.name = "WrongPassword", .ftpUp = true, .text = "wrong", .status = "530", .box = "530",
     .outcome = RunOutcome::Refused},
    // Refused before anything is downloaded: the status line is as it was.
    {.name = "NoPaymentEmail", .site = {"down"}, .field = Control::PayPalEmail, .text = "",
     .status = kStatusAtStart.data(),
     .box = "You MUST Enter A PayPal Email, A StormPay Email Or Both!", .outcome = RunOutcome::Invalid},
    {.name = "AFieldLeftEmpty", .site = {"down"}, .field = Control::Username, .text = "",
     .status = kStatusAtStart.data(), .box = "You MUST Fill In ALL Fields Before Uploading!",
     .outcome = RunOutcome::Invalid},
    {.name = "ServerWithAPath", .site = {"down"}, .field = Control::Server, .text = "127.0.0.1/www",
     .status = kStatusAtStart.data(), .box = "\"Server\" holds a path (\"/www\")",
     .outcome = RunOutcome::Invalid},
};
// clang-format on
class InstallScriptFaults : public Workflow, public ::testing::WithParamInterface<InstallFault> {};

TEST_P(InstallScriptFaults, ShowTheCauseAndGoNoFurther) {
    const InstallFault& fault = GetParam();
    if (fault.site != std::vector<std::string>{"down"}) {
        Serve(fault.site);
    }
    if (fault.ftpUp) {
        Ftp();
    }
    window.SetFieldText(fault.field, fault.text);
    const RunResult result = InstallScript(Context());
    ShowInstallScriptResult(window, result);
    EXPECT_EQ(result.outcome, fault.outcome);
    EXPECT_THAT(window.statusLine, HasSubstr(fault.status));
    EXPECT_EQ(window.messages.size(), *fault.box == '\0' ? 0u : 1u);
    EXPECT_THAT(window.messages.empty() ? "" : window.messages[0], StartsWith(fault.box));
    EXPECT_EQ(fs::exists(Home("www/cgi-bin/klvcfg.cgi")), fault.configLanded);
    EXPECT_FALSE(fs::exists(Home("www/cgi-bin/klv.cgi")));
    EXPECT_THAT(window.openedUrls, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Workflows, InstallScriptFaults, ::testing::ValuesIn(kInstallFaults),
                         RowName);

// A host that refuses a step of the two script uploads (the scripted server's rules), the
// boxes the user reads, and how many STORs were sent.
struct Chmod {
    const char* name;
    std::vector<std::string> rules;
    std::vector<std::string> boxes;
    int stors;
    const char* notLanded = nullptr;  // the script the result names as not on the host
};
const std::string kNotExecutable = "The host did not make the script executable:\n";
// clang-format off
const Chmod kChmods[] = {
    {.name = "NoCwd", .rules = {"CWD=550 no"},
     .boxes = {"226 stored \n550 no \n200 SITE ok", kNotExecutable + "550 no"}, .stors = 2},
    {.name = "TheFirstRefusalIsNamed",
     .rules = {"SITE chmod 755 klvcfg.cgi=500 first", "SITE chmod 755 klv.cgi=502 second"},
     .boxes = {"226 stored \n250 CWD ok \n502 second", kNotExecutable + "500 first"}, .stors = 2},
    {.name = "OnlyTheMainScript", .rules = {"SITE chmod 755 klv.cgi=502 no"},
     .boxes = {"226 stored \n250 CWD ok \n502 no", kNotExecutable + "502 no"}, .stors = 2},
    {.name = "NotStoredIsNoChmodRefusal",
     .rules = {"STOR www/cgi-bin/klv.cgi=553 not allowed", "SITE chmod 755 klv.cgi=500 no"},
     .boxes = {"553 not allowed \n250 CWD ok \n500 no"}, .stors = 2, .notLanded = "klv.cgi"},
    {.name = "AFailedFirstStoreStops", .rules = {"STOR=553 not allowed", "SITE=500 no"},
     .boxes = {"553 not allowed \n250 CWD ok \n500 no"}, .stors = 1,
     .notLanded = "klvcfg.cgi"},
    {.name = "NoDataConnection", .rules = {"PORT=500 no", "PASV=502 no", "CWD=550 no"},
     .boxes = {"502 no \n550 no \n200 SITE ok"}, .stors = 0, .notLanded = "klvcfg.cgi"},
};
// clang-format on
class InstallScriptChmod : public Workflow, public ::testing::WithParamInterface<Chmod> {};

TEST_P(InstallScriptChmod, ARefusalIsNamedOnceAtTheEndButAFailedStoreStopsTheRun) {
    Serve();
    Script(GetParam().rules);
    window.onMessage = [&](const std::string& text) {
        if (text.starts_with("The host")) {  // at the end: the set-up page is open already
            EXPECT_EQ(window.openedUrls.size(), 1u);
        } else {  // a transcript; the main script's while its connection is still open
            EXPECT_THAT(window.openedUrls, IsEmpty());
            EXPECT_TRUE(GetParam().stors < 2 || Sent().back() != "QUIT");
        }
    };
    const RunResult result = InstallScript(Context());
    ShowInstallScriptResult(window, result);
    EXPECT_EQ(window.messages, GetParam().boxes);
    EXPECT_EQ(result.outcome, GetParam().notLanded ? RunOutcome::FilesFailed : RunOutcome::Done);
    EXPECT_EQ(result.failedFiles.empty() ? "" : result.failedFiles[0].name,
              GetParam().notLanded ? GetParam().notLanded : "");
    EXPECT_THAT(Sent(), ::testing::Contains(StartsWith("STOR ")).Times(GetParam().stors));
    EXPECT_EQ(window.openedUrls.size(), GetParam().stors == 2 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Workflows, InstallScriptChmod, ::testing::ValuesIn(kChmods), RowName);

// A "Server" that cannot be used is named in one box before the list is fetched.
TEST_F(Workflow, UpdatePagesRefusesAServerThatCannotBeUsedBeforeTheList) {
    window.SetFieldText(Control::Server, "ftp://ann@127.0.0.1");
    CaptureForm(window, shared.formData, config.affiliateHopUrl);
    EXPECT_EQ(UpdatePages("a.txt\n"), "<no completion>");
    EXPECT_THAT(window.messages, ElementsAre(StartsWith("\"Server\" holds a user name")));
    EXPECT_EQ(window.statusLine, kStatusAtStart);
}

TEST_F(Workflow, UpdatePagesNamesEveryPageThatDidNotLandAndWhy) {
    Serve({"/klvsetup/cut.html=cut", "/klvsetup/silent.html=silent"});
    Ftp();
    fs::copy_file(Vendor("klv.jpg"), Vendor("Klv.jpg"));
    WriteFile(Vendor("my page.v2.html"), "dots and a blank inside");
    const std::string leaves = R"(: the name has a "." or ".." part, which could leave www/klv/)";
    const std::string named =
        "\nmissing.html: HTTP 404 Not Found\n: the name is empty\n"
        "cut.html: transfer closed with 1000 bytes remaining to read\n"
        "silent.html: Nothing received from the server for 1 second\n"
        "../../www/cgi-bin/klv.cgi";
    EXPECT_EQ(UpdatePages("faq.txt\r\nmissing.html\r\n\r\ncut.html\r\nsilent.html\r\nKlv.jpg\r\n"
                          "../../www/cgi-bin/klv.cgi\r\n/etc/x\r\nsub/./a\r\n./a\r\n..\\x\r\n"
                          "my page.v2.html\r\nnot listed"),
              named + leaves + "\n/etc/x: the name is an absolute path\nsub/./a" + leaves +
                  "\n./a" + leaves + "\n..\\x: the name holds a backslash");
    EXPECT_THAT(Pages(), ElementsAre("Klv.jpg", "faq.txt", "my page.v2.html"));
    EXPECT_FALSE(fs::exists(Home("www/cgi-bin/klv.cgi")));
    EXPECT_EQ(ReadFile(Home("www/klv/Klv.jpg")), Stored(ReadFile(Vendor("klv.jpg"))));  // ASCII

    Serve({"/klvsetup/list.txt=cut"});  // a list cut short, then none at all: no logon
    OnUpdatePages(Context());
    EXPECT_THAT(window.statusLine, HasSubstr("bytes remaining"));
    fs::remove(Vendor("list.txt"));
    Serve();
    OnUpdatePages(Context());
    EXPECT_EQ(window.statusLine, "HTTP 404 Not Found");
    EXPECT_EQ(window.messages.size(), 1u);
    shared.formData.ftpPassword = "wrong";  // the pages are fetched while the logon fails
    UpdatePages("faq.txt\nweblogex.txt\n");
    EXPECT_THAT(window.messages.back(), StartsWith("530"));
    EXPECT_EQ(window.statusLine, window.messages.back());
    for (const std::size_t page : {0, 1}) {  // the blog page held the password
        EXPECT_FALSE(fs::exists(Working(PageWorkingFile(page))));
    }
}

TEST_F(Workflow, AServerThatDiesIsNamedForEveryPageAfterAndInTheTranscript) {
    Serve();
    Ftp({"die-after=65536"});
    config.connections = 1;  // one session: the page after the end cannot log on again
    WriteFile(Vendor("big.html"), std::string(512 * 1024, 'p'));
    const auto start = std::chrono::steady_clock::now();
    // Whichever copy goes first meets the end; the other cannot log on again (or meets the
    // server still dying).
    EXPECT_THAT(UpdatePages("big.html\nbig.html\n"),
                ::testing::MatchesRegex("\nbig.html: (Network error|Unable to connect to server)"
                                        "\nbig.html: (Network error|Unable to connect to server)"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    Ftp({"die-after=65536"});
    WriteFile(Vendor("klvcgi.txt"), std::string(512 * 1024, 's'));
    OnInstallScript(Context());
    EXPECT_EQ(window.messages.back(), "Network error \nNetwork error \nNetwork error");
    EXPECT_EQ(ModeOf(Home("www/cgi-bin/klvcfg.cgi")), 0755u);
    EXPECT_NE(ModeOf(Home("www/cgi-bin/klv.cgi")), 0755u);
}

// A session lost in the middle of a page hands the page back: another session sends it, the
// lost one logs on again for its next page, and every page lands.
TEST_F(Workflow, ASessionLostMidRunHandsItsPageToAnother) {
    Serve();
    Ftp({"drop-after=65536"});
    const std::string big(512 * 1024, 'p');
    WriteFile(Vendor("big.html"), big);
    EXPECT_EQ(UpdatePages("faq.txt\nbig.html\nstyle.css\nindex.html\nklv.jpg\n"), "");
    EXPECT_TRUE(ReadFile(Home("www/klv/big.html")) == big);
    EXPECT_EQ(ReadFile(Home("www/klv/klv.jpg")), ReadFile(Vendor("klv.jpg")));
    config.connections = 1;  // with no other session, the page fails as it did
    Ftp({"drop-after=65536"});
    EXPECT_EQ(UpdatePages("big.html\nfaq.txt\n"), "\nbig.html: Network error");
}

TEST_F(Workflow, ASessionFallsBackToPassiveOnceAndStaysThere) {
    Script({"STOR#1=425 Can't open data connection", "STOR#4=150 go|DATA|550 full"});
    Session session;
    ASSERT_TRUE(LogOn(Context(), session, {"127.0.0.1", "ann", "pw"}).ok());
    WriteFile(scratch / "page", "<p>\r\n");
    EXPECT_TRUE(PutFile(session, {scratch / "page", "a.html"}).ok());
    EXPECT_TRUE(PutFile(session, {scratch / "page", "b.html"}).ok());
    EXPECT_EQ(PutFile(session, {scratch / "page", "c.html"}).text(), "550 full");  // not retried
    LogOff(session);
    EXPECT_THAT(Sent(13), ElementsAre("AUTH TLS", "USER ann", "PASS pw", "TYPE A",
                                      StartsWith("PORT "), "STOR a.html", "PASV", "STOR a.html",
                                      "PASV", "STOR b.html", "PASV", "STOR c.html", "QUIT"));
}

// As the window runs it: on a thread of its own, cancelled from another.
TEST_F(Workflow, ACancelFromAnotherThreadEndsTheRunAndSaysHowFarItGot) {
    Serve();
    Script({"STOR#2=150 go|DATA|SILENT"});  // the second page's closing reply never comes
    WriteFile(Vendor("list.txt"), "faq.txt\nstyle.css\nindex.html\n");
    config.idleTimeout = 30s;
    CancelToken token;
    std::thread worker([&] {
        const RunScope scope(token);
        OnUpdatePages(Context());
    });
    while (Lines(log).empty() || Lines(log).back() != "STOR www/klv/style.css") {
        std::this_thread::sleep_for(10ms);  // ctest's timeout ends a run that never gets there
    }
    std::this_thread::sleep_for(100ms);  // into the wait for the closing reply
    const auto start = std::chrono::steady_clock::now();
    token.Cancel();
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(window.statusLine, "Cancelled after 1 of 3 pages");
    EXPECT_EQ(Sent(10).back(), "QUIT");
}

TEST_F(Workflow, ACancelledInstallScriptSaysHowManyStepsItHadDone) {
    Serve();
    Script({"STOR www/cgi-bin/klv.cgi=150 go|DATA|SILENT"});  // no closing reply
    config.idleTimeout = 30s;
    CancelToken token;
    std::thread worker([&] {
        const RunScope scope(token);
        OnInstallScript(Context());
    });
    while (Lines(log).empty() || Lines(log).back() != "STOR www/cgi-bin/klv.cgi") {
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(100ms);
    token.Cancel();
    worker.join();
    EXPECT_EQ(window.statusLine, "Cancelled after 3 of 4 steps");
    EXPECT_THAT(window.openedUrls, IsEmpty());
}

// The STOR's reply may still come: the connection is closed, the next page logs on anew and
// goes passive at once.
TEST_F(Workflow, APortNeverConnectedAndNoPassiveCostOneIdleBoundNotOnePerPage) {
    Serve();
    Script({"STOR=150 go", "PASV=502 Passive mode not allowed here"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(UpdatePages("faq.txt\nstyle.css\n"),
              "\nfaq.txt: Network error\nstyle.css: 502 Passive mode not allowed here");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    EXPECT_THAT(Sent(), ::testing::Contains("AUTH TLS").Times(2));
}

TEST_F(Workflow, DownloadsAndFilledFilesAreBoundedAndAFailedWriteIsAFailure) {
    Serve();
    Ftp();
    window.SetFieldText(Control::MainEmail, std::string(255, '@'));  // 510 bytes escaped
    std::string placeholders((1u << 20) / 7, '#');
    ReplaceAll(placeholders, "#", "#email#");
    WriteFile(Vendor("klvcfgcgi.txt"), placeholders);
    OnInstallScript(Context());
    EXPECT_EQ(window.statusLine, "The filled-in script would be larger than 64 MiB");
    WriteFile(Vendor("klvcfgcgi.txt"), std::string((1u << 20) + 1, 'x'));
    OnInstallScript(Context());
    EXPECT_EQ(window.statusLine, "The file is larger than 1 MiB");
    WriteFile(Vendor("big.html"), "");
    fs::resize_file(Vendor("big.html"), (std::size_t{64} << 20) + 1);  // sparse
    EXPECT_EQ(UpdatePages("big.html\nfaq.txt\n"), "\nbig.html: The file is larger than 64 MiB");
    EXPECT_THAT(Pages(), ElementsAre("faq.txt"));
    fs::remove(Home("www/klv/faq.txt"));

    // A working file cut short by a failed write is named, and never uploaded.
    WriteFile(Vendor("klvcfgcgi.txt"), std::string(30000, '\n'));  // fills in to 60,000
    std::string blog(1000, '#');
    ReplaceAll(blog, "#", "#title#");
    WriteFile(Vendor("weblogex.txt"), blog);  // fills in to 200,000
    window.SetFieldText(Control::BlogTitle, std::string(200, 't'));
    rlimit saved{};  // files may not grow past 40,000 bytes: a write beyond fails (EFBIG)
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit bound{40000, saved.rlim_max};
    ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &bound);
    OnInstallScript(Context());
    EXPECT_EQ(window.statusLine, "Cannot write " + Working("klvcfg.cgi") + ": File too large");
    const std::string named = UpdatePages("weblogex.txt\nfaq.txt\n");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(named,
              "\nweblogex.txt: Cannot write " + Working(PageWorkingFile(0)) + ": File too large");
    EXPECT_THAT(Pages(), ElementsAre("faq.txt"));
}

TEST_F(Workflow, APageAfterALostConnectionLogsOnAgainAtMostThreeTimes) {
    Serve();
    Script({"STOR#2=CLOSE"});  // each connection takes one page and is lost at the next
    EXPECT_EQ(UpdatePages("faq.txt\nstyle.css\nindex.html\nweblog.txt\nklv.jpg\nbutton.jpg\n"
                          "faq.txt\nindex.html\nweblogex.txt\n"),
              "\nstyle.css: Network error\nweblog.txt: Network error\nbutton.jpg: Network "
              "error\nindex.html: Network error\nweblogex.txt: the connection to the server "
              "was lost");
    EXPECT_THAT(Sent(), ::testing::Contains("AUTH TLS").Times(4));
    EXPECT_THAT(Sent(), ::testing::Contains(StartsWith("STOR ")).Times(8));
}

// Install Script and Update Pages over sftp:// (OpenSSH's sshd), with the host key in the
// user's $HOME/.ssh/known_hosts, unknown (asked once for the three logons, trusted), or
// changed since (the user is told so and cancels, in each workflow: nothing goes up).
struct HostKeyRow {
    const char* name;
    const char* knownHost;  // the key $HOME/.ssh/known_hosts holds: "hostkey", "otherkey", ""
    std::size_t asked;      // the user was asked this many times
    bool landed;
};
const HostKeyRow kHostKeyRows[] = {{"Known", "hostkey", 0, true},
                                   {"UnknownTrusted", "", 1, true},
                                   {"ChangedCancelled", "otherkey", 2, false}};
class OverSftp : public Workflow, public ::testing::WithParamInterface<HostKeyRow> {};

TEST_P(OverSftp, InstallScriptAndUpdatePagesTakeTheHostKeyAsTheUserSays) {
    const HostKeyRow& row = GetParam();
    Serve();
    std::optional<LocalServer> sshd;
    StartSshd(sshd, scratch);
    ASSERT_EQ(Process({"ssh-keygen", "-q", "-N", "", "-f", scratch / "otherkey"}).Wait(), 0);
    fs::create_directories(scratch.path / ".ssh");
    WriteFile(
        scratch.path / ".ssh/known_hosts",
        *row.knownHost ? KnownHost(sshd->host, sshd->port, scratch / row.knownHost + ".pub") : "");
    const std::string home = std::getenv("HOME");
    ::setenv("HOME", scratch.path.c_str(), 1);
    window.SetFieldText(Control::Username, "klv");
    window.SetFieldText(Control::Server, "sftp://127.0.0.1:" + std::to_string(sshd->port));
    window.trustCertificates = row.landed;

    const RunResult installed = InstallScript(Context());
    shared.stateDirectory = scratch / "state";  // a record kept: the next run sends nothing
    EXPECT_EQ(UpdatePages("faq.txt\nklv.jpg\n"), row.landed ? "" : "<no completion>");
    if (row.landed) {
        const auto sent = fs::last_write_time(Home("www/klv/klv.jpg"));
        WriteFile(Vendor("faq.txt"), "changed\r\n");
        EXPECT_EQ(UpdatePages("faq.txt\nklv.jpg\n"), "");
        EXPECT_EQ(fs::last_write_time(Home("www/klv/klv.jpg")), sent);
        EXPECT_EQ(ReadFile(Home("www/klv/faq.txt")), "changed\n");
    }
    ::setenv("HOME", home.c_str(), 1);
    ASSERT_EQ(window.hostKeys.size(), row.asked);
    EXPECT_EQ(row.asked && window.hostKeys[0].changed, !row.landed);
    EXPECT_EQ(installed.outcome, row.landed ? RunOutcome::Done : RunOutcome::Refused);
    EXPECT_EQ(fs::exists(Home("www/cgi-bin/klvcfg.cgi")), row.landed);
    if (row.landed) {
        EXPECT_EQ(ReadFile(Home("www/cgi-bin/klv.cgi")), Stored(ReadFile(Vendor("klvcgi.txt"))));
        EXPECT_EQ(ModeOf(Home("www/cgi-bin/klv.cgi")), 0755u);
        EXPECT_THAT(window.messages, ::testing::Contains("put www/cgi-bin/klv.cgi: OK \n"
                                                         "chmod 0755 www/cgi-bin/klv.cgi: OK"));
        EXPECT_EQ(ReadFile(Home("www/klv/klv.jpg")), ReadFile(Vendor("klv.jpg")));
    }
}

INSTANTIATE_TEST_SUITE_P(Workflows, OverSftp, ::testing::ValuesIn(kHostKeyRows), RowName);

}  // namespace
}  // namespace klv::testing
