// Explicit FTP over TLS: the client against scripted servers that answer "AUTH TLS" as no
// honest server would, and against the four real servers requiring TLS on the control and
// data connections (vsftpd and proftpd also want each data connection to resume the
// control connection's session). The certificates are made for the run by openssl:
// "server", issued by the run's own authority "ca" for 127.0.0.1, and "other",
// self-signed for other.example.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <optional>

#include "ftp/ftp_client.h"
#include "installer/session.h"
#include "installer/shared_state.h"
#include "installer/workflows.h"
#include "tests/support/support.h"

namespace klv::testing {
namespace {

using namespace std::chrono_literals;
using ftp::DataConnection, ftp::Direction, ftp::TransferType, ::testing::HasSubstr;

const Scratch& Certificates() {
    static const Scratch directory;
    static const int made =
        Process({"/bin/sh", "-c",
                 "cd " + directory.path.string() +
                     " && R='req -x509 -newkey rsa:2048 -nodes -days 2' && openssl $R -subj /CN=ca"
                     " -keyout ca.key -out ca.crt && openssl $R -subj '/CN=klv test server' -CA"
                     " ca.crt -CAkey ca.key -addext subjectAltName=IP:127.0.0.1 -keyout server.key"
                     " -out server.crt && openssl $R -subj /CN=other.example -keyout other.key"
                     " -out other.crt"},
                directory / "log")
            .Wait();
    EXPECT_EQ(made, 0) << ReadFile(directory / "log");
    return directory;
}

ftp::LogonRequest Logon(const LocalServer& server) {  // type 0, with TLS attempted
    ftp::LogonRequest request;
    request.host = server.host, request.port = server.port, request.tls.attempt = true;
    request.user = "klv", request.password = "s3cret";
    return request;
}

// A TLS logon whose certificate questions land in `asked`, answered `answer`.
ftp::LogonRequest TlsLogon(const LocalServer& server, std::vector<ftp::CertificateInfo>& asked,
                           bool answer, std::string trusted = {}) {
    ftp::LogonRequest request = Logon(server);
    request.tls.trustedFingerprint = std::move(trusted);
    request.tls.askTrust = [&asked, answer](const ftp::CertificateInfo& certificate) {
        asked.push_back(certificate);
        return answer;
    };
    return request;
}

// A scripted server's reply to "AUTH TLS" (in one write), whether the host spoke TLS before, the
// logon's failure text.
using Hostile = std::tuple<std::string, bool, std::string_view>;
class HostileAuth : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileAuth, LogonFailsAndNothingFollowsAuthTls) {
    const auto& [reply, required, text] = GetParam();
    const Scratch scratch;
    const LocalServer server({"ftp", scratch / "log", "AUTH=" + reply}, KLV_FTP_SERVERS);
    ftp::FtpClient client;
    client.setIdleTimeout(500ms);  // a stalled handshake ends at the idle bound
    ftp::LogonRequest request = Logon(server);
    request.tls.required = required;
    EXPECT_FALSE(client.LogOn(request));
    EXPECT_THAT(client.replyText(), ::testing::StartsWith(std::string(text)));
    client.Disconnect();
    // After "AUTH TLS" at most a ClientHello (a TLS record, byte 22), never a command.
    const std::vector<std::string> sent = Lines(scratch / "log", 1);
    ASSERT_THAT(sent, ::testing::Not(::testing::IsEmpty()));
    EXPECT_EQ(sent[0], "AUTH TLS");
    EXPECT_TRUE(sent.size() == 1 || sent[1].starts_with('\x16')) << sent[1];
}

INSTANTIATE_TEST_SUITE_P(Replies, HostileAuth,
                         ::testing::Values(Hostile{"hello there", false, "hello there"},
                                           Hostile{"234 Go", false, "TLS handshake failed"},
                                           Hostile{"234 Go\r\n230 In", false,
                                                   ftp::kTlsReplyInjected},
                                           Hostile{"500 What?", true, ftp::kTlsDowngrade},
                                           Hostile{"234 Go", true, ftp::kTlsDowngrade}));

class RealTls : public ::testing::TestWithParam<std::tuple<std::string, DataConnection>> {};

TEST_P(RealTls, EveryFileLandsByteForByteWithItsMode) {
    const auto& [name, mode] = GetParam();
    const Scratch scratch;
    fs::create_directories(scratch.path / "home");
    ASSERT_EQ(::chown((scratch / "home").c_str(), 1000, 1000), 0);  // the servers' user
    const std::string home = scratch / "home", tls = "tls=" + Certificates() / "server";
    const bool py = name == "pyftpdlib";
    const LocalServer server(py ? std::vector<std::string>{"pyftpd", home, "klv", "s3cret", tls}
                                : std::vector<std::string>{"real", name, home, "klv", "s3cret",
                                                           KLV_FTP_SERVERS_DIR "/root", tls},
                             py ? KLV_FTP_SERVERS : KLV_SERVERS);
    std::vector<ftp::CertificateInfo> asked;
    ftp::FtpClient client;
    client.setIdleTimeout(5s);
    ASSERT_TRUE(client.LogOn(TlsLogon(server, asked, true))) << client.replyText();
    ASSERT_EQ(asked.size(), 1u);  // the run's own authority is not a trusted one
    EXPECT_THAT(asked[0].subject, HasSubstr("klv test server"));
    const std::string script = "#!/usr/bin/perl\nprint \"ok\\n\";\n";
    std::string image(300000, '\0');
    std::iota(image.begin(), image.end(), '\0');  // every byte value, CR LF among them
    WriteFile(scratch / "klv.cgi", script);
    WriteFile(scratch / "klv.jpg", image);
    for (const auto& [file, type] :
         {std::pair{"klv.cgi", TransferType::Ascii}, {"klv.jpg", TransferType::Image}}) {
        EXPECT_TRUE(client.TransferFile(file, scratch / file, mode, Direction::Upload, type))
            << client.replyText();
    }
    EXPECT_TRUE(client.Command("SITE chmod 755 klv.cgi")) << client.replyText();
    EXPECT_TRUE(client.TransferFile("klv.jpg", scratch / "back.jpg", mode, Direction::Download,
                                    TransferType::Image))
        << client.replyText();
    client.LogOff();
    EXPECT_EQ(ReadFile(home + "/klv.cgi"), script);
    EXPECT_TRUE(ReadFile(home + "/klv.jpg") == image && ReadFile(scratch / "back.jpg") == image);
    EXPECT_EQ(ModeOf(home + "/klv.cgi"), 0755u);
}

INSTANTIATE_TEST_SUITE_P(
    Debian, RealTls,
    ::testing::Combine(::testing::Values("pyftpdlib", "vsftpd", "proftpd", "pure-ftpd"),
                       ::testing::Values(DataConnection::Active, DataConnection::Passive)),
    [](const auto& info) {
        std::string name = std::get<0>(info.param);
        std::erase(name, '-');
        return name + (std::get<1>(info.param) == DataConnection::Active ? "Active" : "Passive");
    });

// pyftpdlib with TLS required and the certificate `name`, in a scratch home.
struct TlsPyftpd {
    explicit TlsPyftpd(const std::string& name)
        : server({"pyftpd", scratch.path, "klv", "s3cret", "tls=" + Certificates() / name},
                 KLV_FTP_SERVERS) {}
    Scratch scratch;
    LocalServer server;
};

// A certificate that verifies is taken without a question, one trusted before by its
// fingerprint too; another one is asked about as a change; "Cancel" ends the logon.
TEST(TlsCertificates, AskedOnlyWhenItDoesNotVerifyAndWasNotTrustedBefore) {
    const TlsPyftpd signedServer("server"), otherName("other");
    const auto logOn = [](const TlsPyftpd& tls, std::string trusted, bool answer) {
        std::vector<ftp::CertificateInfo> asked;
        ftp::FtpClient client;
        const bool loggedOn = client.LogOn(TlsLogon(tls.server, asked, answer, trusted));
        return std::make_tuple(loggedOn, client.replyText(), asked);
    };
    const auto [cancelled, text, asked] = logOn(otherName, "", false);
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(text, ftp::kCertificateNotTrusted);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_THAT(asked[0].reason, HasSubstr("another host name than 127.0.0.1"));
    EXPECT_THAT(std::get<2>(logOn(otherName, asked[0].sha256Fingerprint, false)),
                ::testing::IsEmpty());
    const auto [changed, changedText, again] =
        logOn(signedServer, asked[0].sha256Fingerprint, true);
    EXPECT_TRUE(changed) << changedText;
    ASSERT_EQ(again.size(), 1u);
    EXPECT_TRUE(again[0].changed);
    ASSERT_EQ(::setenv("SSL_CERT_FILE", (Certificates() / "ca.crt").c_str(), 1), 0);
    const auto [verified, verifiedText, unasked] = logOn(signedServer, "", false);
    ::unsetenv("SSL_CERT_FILE");
    EXPECT_TRUE(verified) << verifiedText;
    EXPECT_THAT(unasked, ::testing::IsEmpty());
}

// The session operations ask the window once and remember the answer with the host,
// which from then on is never spoken to in clear text.
TEST(TlsSessions, TrustAndTlsAreRememberedPerHost) {
    const TlsPyftpd tls("other");
    FakeWindow window;
    SharedState shared;
    const Config config{"", "", tls.server.port, 5s};
    const InstallerContext context{window, shared, config};
    WriteFile(tls.scratch / "klv.cgi", "#!/bin/sh\n");
    SessionArguments arguments{"127.0.0.1", "klv", "s3cret", tls.scratch / "klv.cgi",
                               "x.cgi",     0,     1};
    EXPECT_FALSE(UploadOnce(context, arguments));  // the window answers "Cancel"
    EXPECT_THAT(window.messages, ::testing::ElementsAre(std::string(ftp::kCertificateNotTrusted)));
    window.trustCertificates = true;
    EXPECT_TRUE(UploadOnce(context, arguments));
    EXPECT_TRUE(SessionLogOn(context, arguments));
    EXPECT_TRUE(SessionPutPage(context, {"", "", "", tls.scratch / "klv.cgi", "page.html", 0, 0}));
    SessionLogOff(context);
    EXPECT_EQ(window.certificates.size(), 2u);  // "Cancel", then "Trust"; then remembered
    EXPECT_EQ(ReadFile(tls.scratch / "page.html"), "#!/bin/sh\n");
    EXPECT_EQ(ModeOf(tls.scratch / "x.cgi"), 0755u);

    const LocalServer plain({"pyftpd", tls.scratch.path, "klv", "s3cret"}, KLV_FTP_SERVERS);
    shared.trustStore->RememberSpokeTls("127.0.0.1:" + std::to_string(plain.port));
    EXPECT_FALSE(SessionLogOn({window, shared, Config{"", "", plain.port, 5s}}, arguments));
    EXPECT_EQ(window.messages.back(), ftp::kTlsDowngrade);  // the downgrade is refused
}

}  // namespace
}  // namespace klv::testing
