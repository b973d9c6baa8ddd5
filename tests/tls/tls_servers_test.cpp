// The client against real servers that require TLS on the control and data connections:
// pyftpdlib's TLS handler and vsftpd (require_ssl_reuse: a data connection that does
// not resume the control connection's session is refused). Certificates are made for
// the run with openssl.
#include "tests/tls/tls_servers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ftp/ftp_client.h"
#include "tests/ftp/ftp_test_helpers.h"
#include "tests/support/files.h"

namespace klv::testing {
namespace {

using ftp::DataConnection;
using ftp::Direction;
using ftp::TransferType;

struct Case {
    TlsServerKind server;
    DataConnection mode;
};

class TlsServerTest : public ::testing::TestWithParam<Case> {};

TEST_P(TlsServerTest, EveryFileLandsByteForByteWithItsModeOverTls) {
    TlsServer server(GetParam().server, "server");
    std::vector<ftp::CertificateInfo> asked;
    ftp::LogonRequest request = TlsLogon(server, asked, true);
    ftp::FtpClient client;
    client.setIdleTimeout(kTestIdleTimeout);
    ASSERT_TRUE(client.LogOn(request)) << client.replyText() << server.LogTail();
    EXPECT_TRUE(client.tlsActive());
    ASSERT_EQ(asked.size(), 1U);  // a certificate of the test's own authority
    EXPECT_EQ(asked[0].host, server.host() + ":" + std::to_string(server.port()));
    EXPECT_THAT(asked[0].subject, ::testing::HasSubstr("klv test server"));
    EXPECT_EQ(asked[0].sha256Fingerprint.size(), 95U);
    EXPECT_FALSE(asked[0].changed);

    ScratchDirectory dir;
    const std::string script = "#!/usr/bin/perl\nprint \"ok\\n\";\n";
    std::string image(300000, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>((i * 7919 + i / 251) % 256);  // every byte, CR and LF too
    }
    WriteFileBytes(dir.File("klv.cgi"), script);
    WriteFileBytes(dir.File("klv.jpg"), image);
    const DataConnection mode = GetParam().mode;
    // Several data connections, each resuming the newest session.
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(client.TransferFile("klv.cgi", dir.File("klv.cgi"), mode, Direction::Upload,
                                        TransferType::Ascii))
            << client.replyText() << server.LogTail();
        EXPECT_TRUE(client.TransferFile("klv.jpg", dir.File("klv.jpg"), mode, Direction::Upload,
                                        TransferType::Image))
            << client.replyText() << server.LogTail();
    }
    EXPECT_TRUE(client.Command("SITE chmod 755 klv.cgi")) << client.replyText();
    EXPECT_TRUE(client.TransferFile("klv.jpg", dir.File("back.jpg"), mode, Direction::Download,
                                    TransferType::Image))
        << client.replyText() << server.LogTail();
    client.LogOff();

    EXPECT_TRUE(ReadFileBytes(server.home() / "klv.cgi") == script);
    EXPECT_TRUE(ReadFileBytes(server.home() / "klv.jpg") == image);
    EXPECT_TRUE(ReadFileBytes(dir.File("back.jpg")) == image);
    struct stat status {};
    ASSERT_EQ(::stat((server.home() / "klv.cgi").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0755U);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, TlsServerTest,
    ::testing::Values(Case{TlsServerKind::Pyftpdlib, DataConnection::Active},
                      Case{TlsServerKind::Pyftpdlib, DataConnection::Passive},
                      Case{TlsServerKind::Vsftpd, DataConnection::Active},
                      Case{TlsServerKind::Vsftpd, DataConnection::Passive}),
    [](const ::testing::TestParamInfo<Case>& info) {
        return std::string(info.param.server == TlsServerKind::Vsftpd ? "vsftpd" : "pyftpdlib") +
               (info.param.mode == DataConnection::Active ? "Active" : "Passive");
    });

// Trust: a certificate that verifies is taken without a question; one trusted before by
// fingerprint too; another one is asked about as a change; "Cancel" ends the logon.
TEST(TlsCertificates, AskedOnlyWhenItDoesNotVerifyAndNotTrustedBefore) {
    TlsServer signedServer(TlsServerKind::Pyftpdlib, "server");
    TlsServer otherName(TlsServerKind::Pyftpdlib, "other");
    const auto logOn = [](TlsServer& server, std::string trusted, bool answer) {
        std::vector<ftp::CertificateInfo> asked;
        ftp::LogonRequest request = TlsLogon(server, asked, answer);
        request.tls.trustedFingerprint = std::move(trusted);
        ftp::FtpClient client;
        client.setIdleTimeout(kTestIdleTimeout);
        const bool loggedOn = client.LogOn(request);
        return std::make_tuple(loggedOn, client.replyText(), asked);
    };

    auto [cancelled, text, asked] = logOn(otherName, "", false);
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(text, ftp::kCertificateNotTrusted);
    ASSERT_EQ(asked.size(), 1U);
    EXPECT_THAT(asked[0].reason, ::testing::HasSubstr("another host name than 127.0.0.1"));
    const std::string fingerprint = asked[0].sha256Fingerprint;

    auto [trusted, trustedText, none] = logOn(otherName, fingerprint, false);
    EXPECT_TRUE(trusted) << trustedText;
    EXPECT_THAT(none, ::testing::IsEmpty());

    auto [changed, changedText, again] = logOn(signedServer, fingerprint, true);
    EXPECT_TRUE(changed) << changedText;
    ASSERT_EQ(again.size(), 1U);
    EXPECT_TRUE(again[0].changed);

    ASSERT_EQ(::setenv("SSL_CERT_FILE", (CertificateDirectory() / "ca.crt").c_str(), 1), 0);
    auto [verified, verifiedText, unasked] = logOn(signedServer, "", false);
    ::unsetenv("SSL_CERT_FILE");
    EXPECT_TRUE(verified) << verifiedText;
    EXPECT_THAT(unasked, ::testing::IsEmpty());
}

}  // namespace
}  // namespace klv::testing
