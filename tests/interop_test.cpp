// The upload path against four real FTP servers from Debian: pyftpdlib, and vsftpd,
// proftpd and pure-ftpd unpacked from their packages (testkit/servers.py starts them), each
// also requiring explicit TLS on the control and data connections (vsftpd and proftpd also
// want each data connection to resume the control connection's session). How each server
// answers and stores is recorded in docs/interoperability.md; these tests hold what the
// client makes of any of them. The certificates are made for the run by openssl: "server",
// issued by the run's own authority "ca" for 127.0.0.1, and "other", by the same
// authority for another name, other.example.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>

#include "ftp/ftp_client.h"
#include "installer/server_address.h"
#include "installer/session.h"
#include "installer/shared_state.h"
#include "installer/workflows.h"
#include "tests/support/support.h"

namespace klv::testing {
namespace {

using namespace std::chrono_literals;
using ftp::DataConnection;
using ftp::FtpClient;
using ftp::TransferType;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

const Scratch& Certificates() {
    static const Scratch directory;
    static const int made =
        Process({"/bin/sh", "-c",
                 "cd " + directory.path.string() +
                     " && R='req -x509 -newkey rsa:2048 -nodes -days 2' && openssl $R -subj /CN=ca"
                     " -keyout ca.key -out ca.crt && openssl $R -subj '/CN=klv test server' -CA"
                     " ca.crt -CAkey ca.key -addext subjectAltName=IP:127.0.0.1 -keyout server.key"
                     " -out server.crt && openssl $R -subj /CN=other.example -CA ca.crt -CAkey"
                     " ca.key -keyout other.key -out other.crt"},
                directory / "log")
            .Wait();
    EXPECT_EQ(made, 0) << ReadFile(directory / "log");
    return directory;
}

// A TLS logon as "klv" on `server`, whose certificate questions land in `asked`, answered
// `answer`.
ftp::LogonRequest TlsLogon(const LocalServer& server, std::vector<ftp::CertificateInfo>& asked,
                           bool answer, std::string trusted = {}) {
    ftp::LogonRequest logon;
    logon.host = server.host;
    logon.port = server.port;
    logon.user = "klv";
    logon.password = "s3cret";
    logon.tls = {.attempt = true,
                 .trustedFingerprint = std::move(trusted),
                 .askTrust = [&asked, answer](const auto& certificate) {
                     return asked.push_back(certificate), answer;
                 }};
    return logon;
}

// A server, and whether it requires TLS with the certificate "server".
using Server = std::tuple<std::string, bool>;

class RealServer : public ::testing::TestWithParam<Server> {
protected:
    void SetUp() override {
        fs::create_directories(scratch.path / "home/www/cgi-bin");
        fs::create_directories(scratch.path / "home/www/klv");
        for (const auto& entry : fs::recursive_directory_iterator(scratch.path)) {
            ASSERT_EQ(::chown(entry.path().c_str(), 1000, 1000), 0);  // the servers' user
        }
        const auto& [name, tls] = GetParam();
        const std::string cert = tls ? "tls=" + Certificates() / "server" : "";
        server.emplace(
            name == "pyftpdlib"
                ? std::vector<std::string>{"pyftpd", scratch / "home", "klv", "s3cret", cert}
                : std::vector<std::string>{"real", name, scratch / "home", "klv", "s3cret",
                                           KLV_FTP_SERVERS_DIR "/root", cert});
        window.trustCertificates = true;
        config.ftpPort = server->port;
        config.idleTimeout = 5s;
        client.setIdleTimeout(5s);
    }
    std::string Local(const std::string& name, const std::string& bytes) const {
        WriteFile(scratch / name, bytes);
        return scratch / name;
    }
    std::string Home(const std::string& name) const { return scratch / ("home/" + name); }
    Account Klv() const { return {server->host, "klv", "s3cret"}; }
    InstallerContext Context() { return {window, shared, config}; }

    Scratch scratch;
    std::optional<LocalServer> server;
    FtpClient client;
    FakeWindow window;
    SharedState shared;
    Config config;
};

// A script with every kind of line end (200 KiB), or every byte value (8 MiB: more than the
// sockets hold, so the sender has to wait for the server to read).
std::string Bytes(bool script) {
    std::string bytes = script ? "#!/usr/bin/perl\r\n# lone LF:\nCR CR LF:\r\r\n" : "\r\n\n\r\r";
    for (int i = 0; bytes.size() < (script ? 200 * 1024 : 8 << 20); ++i) {
        bytes += script ? "print \"line\";\r\n" : std::string(1, static_cast<char>(i * 7));
    }
    return bytes;
}

const auto WithoutCr = [](std::string text) { return std::erase(text, '\r'), text; };

// An image arrives byte for byte; a script in ASCII mode arrives with its lines as sent and
// the server's own line ends (which servers keep, change or drop CRs: see the docs). After
// any reply, even to a command the server finds odd, the conversation stays in step.
// PutScript makes a script executable in cgi-bin or in the logon directory, and its box
// shows the reply to each of the upload, the CWD and the chmod.
TEST_P(RealServer, UploadsArriveAndPutScriptMakesTheScriptExecutable) {
    std::vector<ftp::CertificateInfo> asked;  // a 5xx to AUTH TLS leaves clear text
    ASSERT_TRUE(client.LogOn(TlsLogon(*server, asked, true))) << client.replyText();
    EXPECT_EQ(asked.size(), std::get<bool>(GetParam()) ? 1u : 0u);  // the run's own authority
    const std::string script = Local("script", Bytes(true));
    const std::string image = Local("image", Bytes(false));
    for (const DataConnection connection : {DataConnection::Active, DataConnection::Passive}) {
        const std::string suffix = connection == DataConnection::Active ? "-active" : "-passive";
        EXPECT_TRUE(client.Put("www/klv/ascii" + suffix, script, connection, TransferType::Ascii))
            << client.replyText();
        EXPECT_EQ(WithoutCr(ReadFile(Home("www/klv/ascii" + suffix))), WithoutCr(Bytes(true)));
        EXPECT_TRUE(client.Put("www/klv/image" + suffix, image, connection, TransferType::Image));
        EXPECT_EQ(ReadFile(Home("www/klv/image" + suffix)), Bytes(false));
    }
    EXPECT_FALSE(client.Put("www/missing/x", image, DataConnection::Passive, TransferType::Image));
    EXPECT_THAT(client.replyText(), StartsWith("55"));  // no such directory
    (void)client.Command("CWD ");                       // each server answers it its own way
    EXPECT_TRUE(client.Command("CWD www")) << client.replyText();
    client.LogOff();

    for (const std::string remote : {"www/cgi-bin/klvcfg.cgi", "klv.cgi"}) {
        const ScriptUpload upload =
            PutScript(Context(), Klv(), {script, remote, TransferType::Ascii}, Transcript::Shown);
        EXPECT_TRUE(upload.logon.ok() && upload.put.ok()) << remote;
        EXPECT_EQ(ModeOf(Home(remote)), 0755u) << remote;
    }
    EXPECT_THAT(window.messages,
                ::testing::Each(MatchesRegex("226[^\n]* \n[0-9]{3}[^\n]* \n200[^\n]*")));
    EXPECT_EQ(window.messages.size(), 2u);
}

// After two uploads, PWD names the logon directory and the listing holds both pages (not
// the directory beside them) with the sizes the server stored, over either kind of data
// connection alike: MLSD's times where FEAT offers it, LIST's on vsftpd.
TEST_P(RealServer, ListsTheUploadedPagesAndNamesTheLogonDirectory) {
    const std::string& name = std::get<std::string>(GetParam());
    fs::create_directory(Home("www/klv/sub dir"));
    Session session;
    ASSERT_TRUE(LogOn(Context(), session, Klv()).ok());
    const FileToPut pages[] = {
        {Local("page", "<p>one</p>\r\n<p>two</p>\r\n"), "www/klv/page one.html"},
        {Local("image", Bytes(false).substr(0, 5000)), "www/klv/image.jpg", TransferType::Image}};
    for (const FileToPut& page : pages) {
        ASSERT_TRUE(PutFile(session, page).ok()) << page.remotePath;
    }
    std::string directory;
    ASSERT_TRUE(LoginDirectory(session, directory).ok()) << session.lastReply();
    EXPECT_EQ(directory, name == "pyftpdlib" ? "/" : scratch / "home");
    std::vector<ftp::ListedFile> listed[2];
    for (const bool passive : {false, true}) {
        session.passiveFirst = passive;
        ASSERT_TRUE(ListDirectory(session, "www/klv", listed[passive]).ok()) << session.lastReply();
        EXPECT_EQ(session.passiveFirst, passive);  // active did not fall back
        std::ranges::sort(listed[passive], {}, &ftp::ListedFile::name);
    }
    ASSERT_EQ(listed[0].size(), 2u);
    for (const ftp::ListedFile& file : listed[0]) {
        EXPECT_EQ(file.size, fs::file_size(Home("www/klv/" + file.name))) << file.name;
        EXPECT_THAT(file.modified,
                    MatchesRegex(name == "vsftpd" ? "[A-Z][a-z]{2} [0-9]+ [0-9:]+" : "[0-9]{14}"));
    }
    EXPECT_EQ(listed[0][0].name, "image.jpg");
    EXPECT_EQ(listed[0][1].name, "page one.html");
    EXPECT_EQ(listed[0], listed[1]);
    LogOff(session);
}

// Update Pages from the demo vendor site into `home`: the run's result.
RunResult UpdateDemoPages(const InstallerContext& context, unsigned connections) {
    Config config = context.config;
    config.connections = connections;
    return UpdatePages({context.window, context.shared, config});
}

// When each page on the host was last written.
std::map<std::string, fs::file_time_type> Stamps(const std::string& directory) {
    std::map<std::string, fs::file_time_type> stamps;
    for (const auto& entry : fs::directory_iterator(directory)) {
        stamps[entry.path().filename()] = entry.last_write_time();
    }
    return stamps;
}

// Every listed page lands over one session and over three, as the server stores it. With a
// record kept, a second run sends nothing; then exactly the pages changed at the vendor,
// edited on the host or removed from it go up again.
TEST_P(RealServer, UpdatePagesLandsEveryPageAndThenSendsOnlyWhatChanged) {
    Scratch vendor;
    fs::copy(KLV_DEMO_VENDOR_SITE, vendor.path, fs::copy_options::recursive);
    const LocalServer http({"http", vendor.path, scratch / "http.log"});
    config.vendorBaseUrl = http.Url();
    shared.formData.ftpServer = server->host, shared.formData.ftpUser = "klv";
    shared.formData.ftpPassword = "s3cret", shared.formData.blogTitle = "Ann's";
    shared.appDirectory = scratch / "program";
    fs::create_directory(shared.appDirectory);
    const auto vendorPage = [&](const char* name) {
        return vendor / ("klvsetup/" + std::string(name));
    };
    const std::string pages = Home("www/klv");
    for (const unsigned connections : {1u, 3u}) {
        fs::remove_all(pages), fs::create_directory(pages), ::chown(pages.c_str(), 1000, 1000);
        EXPECT_EQ(UpdateDemoPages(Context(), connections).outcome, RunOutcome::Done);
        for (const char* image : {"klv.jpg", "button.jpg"}) {
            EXPECT_EQ(ReadFile(pages + "/" + image), ReadFile(vendorPage(image))) << connections;
        }
        for (const char* page : {"index.html", "style.css", "faq.txt"}) {
            EXPECT_EQ(WithoutCr(ReadFile(pages + "/" + page)),
                      WithoutCr(ReadFile(vendorPage(page))));
        }
        EXPECT_EQ(WithoutCr(ReadFile(pages + "/weblog.php")),
                  WithoutCr(ReadFile(vendorPage("weblog.txt"))));
        EXPECT_THAT(ReadFile(pages + "/weblogex.php"), HasSubstr("Ann's"));
        shared.stateDirectory = scratch / "state";  // the second round keeps a record
    }
    const auto sent = Stamps(pages);
    EXPECT_EQ(UpdateDemoPages(Context(), 3).outcome, RunOutcome::Done);
    EXPECT_EQ(Stamps(pages), sent);  // nothing went up

    WriteFile(vendorPage("faq.txt"), "new questions\r\n");
    WriteFile(pages + "/index.html", ReadFile(pages + "/index.html") + "edited by hand\n");
    fs::remove(pages + "/style.css");
    EXPECT_EQ(UpdateDemoPages(Context(), 3).outcome, RunOutcome::Done);
    auto now = Stamps(pages);
    EXPECT_EQ(WithoutCr(ReadFile(pages + "/faq.txt")), "new questions\n");
    EXPECT_EQ(WithoutCr(ReadFile(pages + "/index.html")),
              WithoutCr(ReadFile(vendorPage("index.html"))));
    for (const char* changed : {"faq.txt", "index.html", "style.css"}) {
        EXPECT_EQ(now.count(changed), 1u) << changed;
        EXPECT_NE(now[changed], sent.count(changed) ? sent.at(changed) : fs::file_time_type{})
            << changed;
        now.erase(changed);
    }
    for (const auto& [name, stamp] : now) {
        EXPECT_EQ(stamp, sent.at(name)) << name << " went up again";
    }
}

INSTANTIATE_TEST_SUITE_P(Debian, RealServer,
                         ::testing::Combine(::testing::Values("pyftpdlib", "vsftpd", "proftpd",
                                                              "pure-ftpd"),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             const std::string name = std::get<std::string>(info.param);
                             return (name == "pure-ftpd" ? "pureftpd" : name) +
                                    (std::get<bool>(info.param) ? "Tls" : "");
                         });

// vsftpd reached as "Server" names it, the configured port closed unless it names none: on
// ::1 (EPRT and EPSV), on a port of its own, with implicit TLS (ftps://). Both kinds of data
// connection carry an image byte for byte, and the certificate is asked about once for
// every spelling of the host.
// A server that takes one connection from an address at a time refuses the extra sessions
// ("421" before the logon on vsftpd and pure-ftpd, "530" after it on proftpd): the run goes
// on with the one it has, and every page lands.
class OneConnection : public RealServer {};

TEST_P(OneConnection, UpdatePagesGoesOnWithTheSessionItHas) {
    const std::string& name = std::get<std::string>(GetParam());
    server.emplace(std::vector<std::string>{"real", name, scratch / "home", "klv", "s3cret",
                                            KLV_FTP_SERVERS_DIR "/root", "one-per-host"});
    config.ftpPort = server->port;
    Scratch vendor;
    fs::copy(KLV_DEMO_VENDOR_SITE, vendor.path, fs::copy_options::recursive);
    const LocalServer http({"http", vendor.path, scratch / "http.log"});
    config.vendorBaseUrl = http.Url();
    shared.formData.ftpServer = server->host, shared.formData.ftpUser = "klv";
    shared.formData.ftpPassword = "s3cret";
    shared.appDirectory = scratch / "program";
    fs::create_directory(shared.appDirectory);
    const RunResult result = UpdateDemoPages(Context(), 3);
    EXPECT_EQ(result.outcome, RunOutcome::Done)
        << (result.failedFiles.empty() ? "" : result.failedFiles[0].reason);
    EXPECT_EQ(Stamps(Home("www/klv")).size(), 7u);
}

INSTANTIATE_TEST_SUITE_P(Debian, OneConnection,
                         ::testing::Combine(::testing::Values("vsftpd", "proftpd", "pure-ftpd"),
                                            ::testing::Values(false)),
                         [](const auto& info) {
                             const std::string name = std::get<std::string>(info.param);
                             return name == "pure-ftpd" ? std::string("pureftpd") : name;
                         });

struct Reach {
    const char* name;
    std::vector<std::string> options;  // of servers.py's real server; "tls" with "server"
    std::vector<std::string> servers;  // "Server" as typed; PORT is the server's port
};
const Reach kReaches[] = {
    // TLS in every row that does not end with "ipv6"
    {"Ipv6", {"ipv6"}, {"[::1]:PORT", "::1", "ftp://[0::1]:PORT/"}},
    {"Ipv6Tls", {"ipv6", "tls"}, {"[::1]:PORT", "FTP://[0:0::1]:PORT/"}},
    {"PortInServer", {"tls"}, {"127.0.0.2:PORT", "ftp://127.0.0.2:PORT"}},
    {"ImplicitTls", {"implicit", "tls"}, {"ftps://127.0.0.2:PORT/", "FTPS://127.0.0.2:PORT"}},
};
class Reached : public ::testing::TestWithParam<Reach> {};

TEST_P(Reached, ByWhatServerNamesBothKindsOfDataConnectionCarryTheFiles) {
    Scratch scratch;
    fs::create_directories(scratch.path / "home");
    ASSERT_EQ(::chown((scratch.path / "home").c_str(), 1000, 1000), 0);  // the server's user
    std::vector<std::string> arguments{"real", "vsftpd", scratch / "home",
                                       "klv",  "s3cret", KLV_FTP_SERVERS_DIR "/root"};
    for (const std::string& option : GetParam().options) {
        arguments.push_back(option == "tls" ? "tls=" + Certificates() / "server" : option);
    }
    const LocalServer server(arguments);
    FakeWindow window;
    window.trustCertificates = true;
    SharedState shared;
    Config config{"", "", kClosedPort, 5s};
    const InstallerContext context{window, shared, config};
    WriteFile(scratch / "image", Bytes(false));
    for (std::string text : GetParam().servers) {
        const std::size_t port = text.find("PORT");
        config.ftpPort = port == std::string::npos ? server.port : kClosedPort;
        text =
            port == std::string::npos ? text : text.replace(port, 4, std::to_string(server.port));
        for (const bool passive : {false, true}) {  // EPRT and EPSV on IPv6
            Session session;
            session.passiveFirst = passive;
            ASSERT_TRUE(LogOn(context, session, {text, "klv", "s3cret"}).ok()) << text;
            EXPECT_EQ(session.client.tlsActive(), GetParam().options.back() != "ipv6");
            EXPECT_TRUE(PutFile(session, {scratch / "image", "image", TransferType::Image}).ok());
            EXPECT_EQ(session.passiveFirst, passive) << text;  // active did not fall back
            EXPECT_EQ(ReadFile(scratch / "home/image"), Bytes(false)) << text;
            LogOff(session);
            fs::remove(scratch / "home/image");
        }
    }
    EXPECT_EQ(window.certificates.size(), GetParam().options.back() == "ipv6" ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Vsftpd, Reached, ::testing::ValuesIn(kReaches),
                         [](const auto& info) { return std::string(info.param.name); });

// pyftpdlib with TLS required and the certificate `name`, in a scratch home.
struct TlsPyftpd {
    explicit TlsPyftpd(const std::string& name)
        : server({"pyftpd", scratch.path, "klv", "s3cret", "tls=" + Certificates() / name}) {}
    Scratch scratch;
    LocalServer server;
};

// A certificate that verifies is taken without a question, one trusted before by its
// fingerprint too; another one is asked about as a change; "Cancel" ends the logon.
TEST(TlsCertificates, AskedOnlyWhenItDoesNotVerifyAndWasNotTrustedBefore) {
    const TlsPyftpd signedServer("server"), otherName("other");
    std::vector<ftp::CertificateInfo> asked;
    ftp::FtpClient client;
    EXPECT_FALSE(client.LogOn(TlsLogon(otherName.server, asked, false)));
    EXPECT_EQ(client.replyText(), ftp::kCertificateNotTrusted);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_THAT(asked[0].reason, HasSubstr("another host name than 127.0.0.1"));
    const std::string trusted = asked[0].sha256Fingerprint;
    EXPECT_TRUE(client.LogOn(TlsLogon(otherName.server, asked, false, trusted)));
    EXPECT_TRUE(client.LogOn(TlsLogon(signedServer.server, asked, true, trusted)));
    ASSERT_EQ(asked.size(), 2u);  // only the other certificate, as a change
    EXPECT_TRUE(asked[1].changed && !asked[1].verifiedBefore);
    ftp::LogonRequest afterVerified = TlsLogon(otherName.server, asked, false);
    afterVerified.tls.verifiedBefore = true;
    EXPECT_FALSE(client.LogOn(afterVerified));
    ASSERT_EQ(asked.size(), 3u);  // a change too, though nothing was pinned
    EXPECT_TRUE(asked[2].changed && asked[2].verifiedBefore);
    ASSERT_EQ(::setenv("SSL_CERT_FILE", (Certificates() / "ca.crt").c_str(), 1), 0);
    EXPECT_TRUE(client.LogOn(TlsLogon(signedServer.server, asked, false))) << client.replyText();
    EXPECT_EQ(asked.size(), 3u);  // it verifies: no question
    EXPECT_FALSE(client.LogOn(TlsLogon(otherName.server, asked, false)));
    ::unsetenv("SSL_CERT_FILE");
    ASSERT_EQ(asked.size(), 4u);  // the wrong name is the fault found, and said once
    EXPECT_EQ(asked[3].reason, "IP address mismatch");
}

// The session operations ask the window once and remember the answer with the host, which
// from the handshake on, cancelled or not, is never spoken to in clear text: under its
// name, nor at its address by another name.
TEST(TlsSessions, TrustAndTlsAreRememberedPerHost) {
    const TlsPyftpd tls("other");
    FakeWindow window;
    SharedState shared;
    const Config config{"", "", tls.server.port, 5s};
    const InstallerContext context{window, shared, config};
    WriteFile(tls.scratch / "klv.cgi", "#!/bin/sh\n");
    const Account account{"127.0.0.1", "klv", "s3cret"};
    const FileToPut script{tls.scratch / "klv.cgi", "x.cgi"};
    EXPECT_EQ(PutScript(context, account, script, Transcript::Hidden).logon.text(),
              ftp::kCertificateNotTrusted);  // the window answers "Cancel"
    EXPECT_TRUE(shared.trustStore->SpokeTls("127.0.0.1:" + std::to_string(tls.server.port)));
    window.trustCertificates = true;
    EXPECT_TRUE(PutScript(context, account, script, Transcript::Hidden).put.ok());
    Session session;
    EXPECT_TRUE(LogOn(context, session, account).ok());
    LogOff(session);
    EXPECT_EQ(window.certificates.size(), 2u);  // "Cancel", then "Trust"; then remembered

    const LocalServer plain({"pyftpd", tls.scratch.path, "klv", "s3cret"});
    shared.trustStore->RememberSpokeTls("127.0.0.1:" + std::to_string(plain.port));
    EXPECT_THAT(
        LogOn(context, session, {"ftps://127.0.0.1:" + std::to_string(plain.port), "klv", "s3cret"})
            .text(),
        StartsWith("TLS handshake failed"));               // implicit TLS with a plain server
    for (const char* name : {"127.0.0.1", "localhost"}) {  // the downgrade is refused
        EXPECT_EQ(LogOn({window, shared, Config{"", "", plain.port, 5s}}, session,
                        {name, "klv", "s3cret"})
                      .text(),
                  ftp::kTlsDowngrade)
            << name;
    }
}

}  // namespace
}  // namespace klv::testing
