// The client and the session operations against real servers that require TLS on the
// control and data connections: pyftpdlib's TLS handler, pure-ftpd -Y 2, and vsftpd
// (require_ssl_reuse) and proftpd (mod_tls), which refuse a data connection that does not
// resume the control connection's session. Certificates are made for the run by openssl: "server",
// issued by the run's own authority "ca" for 127.0.0.20, and "other", self-signed for
// other.example. Each server runs under ServerProcess and stops with the test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <numeric>

#include "installer/session.h"
#include "installer/workflows.h"
#include "tests/ftp/ftp_test_helpers.h"
#include "tests/interop/server_process.h"
#include "tests/support/fake_window.h"
#include "tests/support/files.h"
#include "tests/support/ftp/pyftpd.h"

namespace klv::testing {
namespace {

namespace fs = std::filesystem;
using ftp::DataConnection, ftp::Direction, ftp::TransferType, ::testing::HasSubstr,
    ::testing::Values;

fs::path Scratch() {
    std::string pattern = (fs::temp_directory_path() / "klv-tls-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    fs::permissions(pattern, fs::perms::others_exec, fs::perm_options::add);
    return pattern;
}

const fs::path& Certificates() {
    static const struct Directory {
        fs::path path = Scratch();
        Directory() {
            const std::string make =
                "cd " + path.string() +
                " && R='req -x509 -newkey rsa:2048 -nodes -days 2' && openssl $R"
                " -subj /CN=ca -keyout ca.key -out ca.crt && openssl $R -subj '/CN=klv"
                " test server' -CA ca.crt -CAkey ca.key -addext subjectAltName=IP:"
                "127.0.0.20 -keyout server.key -out server.crt && openssl $R -subj"
                " /CN=other.example -keyout other.key -out other.crt";
            EXPECT_EQ(
                RunToCompletion({"/bin/sh", "-c", make}, path / "log", std::chrono::minutes(1)), 0);
        }
        ~Directory() { fs::remove_all(path); }
    } directory;
    return directory.path;
}

enum Kind { kPyftpdlib, kVsftpd, kPureFtpd, kProftpd };
const std::string kRoot = KLV_TLS_SERVERS_DIR "/root";

struct TlsServer {
    TlsServer(Kind kind, const std::string& certificate)
        : host("127.0.0.20"), user(kind ? "klvtls" : "klv"), port(FreePort(host)) {
        const std::string cert = (Certificates() / certificate).string();
        // "secret", hashed by `openssl passwd -1 -salt klvtls secret`.
        const std::string account =
            "klvtls:$1$klvtls$7/9GVeB/RP3PCTQvlFSOa0:64011:64011::" + home.string();
        fs::create_directories(home);
        EXPECT_EQ(::chown(home.c_str(), 64011, 64011), 0);
        ServerProcessOptions options;
        options.argv = {"/usr/bin/python3",  KLV_TLS_FTPD_SCRIPT, home.string(),
                        cert + ".crt",       cert + ".key",       host,
                        std::to_string(port)};
        options.logFile = scratch / "log";
        // vsftpd's user exists in a passwd only the server sees (PAM reads it); proftpd's too.
        std::ifstream system("/etc/passwd");
        std::ofstream(scratch / "passwd") << system.rdbuf() << account << ":/bin/sh\n";
        fs::permissions(scratch / "passwd", fs::perms::others_read, fs::perm_options::remove);
        std::string config, at = scratch.string();
        if (kind == kVsftpd) {
            config =
                "listen=YES|listen_ipv6=NO|background=NO|anonymous_enable=NO|local_enable=YES|"
                "write_enable=YES|local_umask=022|pam_service_name=other|seccomp_sandbox=NO|"
                "ssl_enable=YES|ssl_ciphers=HIGH|force_local_logins_ssl=YES|"
                "force_local_data_ssl=YES|require_ssl_reuse=YES|listen_address=" +
                host + "|listen_port=" + std::to_string(port) + "|local_root=" + home.string() +
                "|secure_chroot_dir=" + scratch.string() + "|rsa_cert_file=" + cert +
                ".crt|rsa_private_key_file=" + cert + ".key";
            options.argv = {kRoot + "/usr/sbin/vsftpd", (scratch / "conf").string()};
            options.bindMounts = {{scratch / "passwd", "/etc/passwd"}};
        } else if (kind == kProftpd) {  // mod_tls: data connections must resume the session
            config =
                "ServerType standalone|UseIPv6 off|SocketBindTight on|User nobody|Group nogroup|"
                "DelayTable none|WtmpLog off|TransferLog none|AuthOrder mod_auth_file.c|Umask 022|"
                "RequireValidShell off|AllowOverwrite on|DefaultAddress " +
                host + "|Port " + std::to_string(port) + "|PidFile " + at + "/pid|ScoreboardFile " +
                at + "/sb|AuthUserFile " + at + "/passwd|ModulePath " + kRoot +
                "/usr/lib/proftpd|LoadModule mod_tls.c|TLSEngine on|TLSRequired on|"
                "TLSRSACertificateFile " +
                cert + ".crt|TLSRSACertificateKeyFile " + cert + ".key";
            options.argv = {kRoot + "/usr/sbin/proftpd", "--nodaemon", "--config",
                            (scratch / "conf").string()};
        } else if (kind == kPureFtpd) {  // "-Y 2": TLS required on the control connection
            std::ofstream(scratch / "pure") << account << "::::::::::::\n";
            fs::create_directories(scratch / "run");
            options.argv = {"/bin/sh", "-c",
                            kRoot + "/usr/bin/pure-pw mkdb " + at + "/pdb -f " + at +
                                "/pure && exec " + kRoot + "/usr/sbin/pure-ftpd -E -H -4 -Y 2 -S " +
                                host + "," + std::to_string(port) + " -l puredb:" + at +
                                "/pdb -2 " + cert + ".crt," + cert + ".key"};
            options.bindMounts = {{scratch / "run", "/run"}};
        }
        std::replace(config.begin(), config.end(), '|', '\n');
        std::ofstream(scratch / "conf") << config << "\n";
        process = std::make_unique<ServerProcess>(options);
        EXPECT_TRUE(WaitUntilListening(*process, host, port, std::chrono::seconds(20)))
            << process->LogTail();
    }
    ~TlsServer() { process.reset(), fs::remove_all(scratch); }

    fs::path scratch = Scratch(), home = scratch / "home";
    std::string host, user;
    unsigned port;
    std::unique_ptr<ServerProcess> process;
};

// A TLS logon whose certificate questions are recorded in `asked` and answered `answer`.
ftp::LogonRequest TlsLogon(const TlsServer& server, std::vector<ftp::CertificateInfo>& asked,
                           bool answer) {
    ftp::LogonRequest request = DirectLogon(server.port, server.user);
    request.host = server.host;
    request.tls.attempt = true;
    request.tls.askTrust = [&asked, answer](const ftp::CertificateInfo& certificate) {
        asked.push_back(certificate);
        return answer;
    };
    return request;
}

class TlsServerTest : public ::testing::TestWithParam<std::tuple<int, DataConnection>> {};

TEST_P(TlsServerTest, EveryFileLandsByteForByteWithItsModeOverTls) {
    const auto [kind, mode] = GetParam();
    TlsServer server(static_cast<Kind>(kind), "server");
    std::vector<ftp::CertificateInfo> asked;
    ftp::FtpClient client;
    client.setIdleTimeout(kTestIdleTimeout);
    ASSERT_TRUE(client.LogOn(TlsLogon(server, asked, true)))
        << client.replyText() << server.process->LogTail();
    ASSERT_EQ(asked.size(), 1U);  // the run's own authority is not a trusted one
    EXPECT_THAT(asked[0].subject, HasSubstr("klv test server"));

    ScratchDirectory dir;
    const std::string script = "#!/usr/bin/perl\nprint \"ok\\n\";\n";
    std::string image(300000, '\0');
    std::iota(image.begin(), image.end(), '\0');  // every byte value, CR LF among them
    WriteFileBytes(dir.File("klv.cgi"), script);
    WriteFileBytes(dir.File("klv.jpg"), image);
    // Three data connections, each resuming the newest session the server issued.
    EXPECT_TRUE(client.TransferFile("klv.cgi", dir.File("klv.cgi"), mode, Direction::Upload,
                                    TransferType::Ascii))
        << client.replyText() << server.process->LogTail();
    EXPECT_TRUE(client.TransferFile("klv.jpg", dir.File("klv.jpg"), mode, Direction::Upload,
                                    TransferType::Image))
        << client.replyText() << server.process->LogTail();
    EXPECT_TRUE(client.Command("SITE chmod 755 klv.cgi")) << client.replyText();
    EXPECT_TRUE(client.TransferFile("klv.jpg", dir.File("back.jpg"), mode, Direction::Download,
                                    TransferType::Image))
        << client.replyText();
    client.LogOff();
    EXPECT_TRUE(ReadFileBytes(server.home / "klv.cgi") == script);
    EXPECT_TRUE(ReadFileBytes(server.home / "klv.jpg") == image);
    EXPECT_TRUE(ReadFileBytes(dir.File("back.jpg")) == image);
    struct stat status {};
    EXPECT_EQ(::stat((server.home / "klv.cgi").c_str(), &status) == 0 ? status.st_mode & 0777 : 0,
              0755U);
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsServerTest,
                         ::testing::Combine(::testing::Range(0, 4),
                                            Values(DataConnection::Active,
                                                   DataConnection::Passive)));

// A certificate that verifies is taken without a question, one trusted before by its
// fingerprint too; another one is asked about as a change; "Cancel" ends the logon.
TEST(TlsCertificates, AskedOnlyWhenItDoesNotVerifyAndWasNotTrustedBefore) {
    TlsServer signedServer(kPyftpdlib, "server"), otherName(kPyftpdlib, "other");
    const auto logOn = [](TlsServer& server, std::string trusted, bool answer) {
        std::vector<ftp::CertificateInfo> asked;
        ftp::LogonRequest request = TlsLogon(server, asked, answer);
        request.tls.trustedFingerprint = std::move(trusted);
        ftp::FtpClient client;
        const bool loggedOn = client.LogOn(request);
        return std::make_tuple(loggedOn, client.replyText(), asked);
    };
    const auto [cancelled, text, asked] = logOn(otherName, "", false);
    EXPECT_EQ(text, cancelled ? "" : ftp::kCertificateNotTrusted);
    ASSERT_EQ(asked.size(), 1U);
    EXPECT_THAT(asked[0].reason, HasSubstr("another host name than 127.0.0.20"));
    EXPECT_EQ(std::get<2>(logOn(otherName, asked[0].sha256Fingerprint, false)).size(), 0U);
    const auto [changed, changedText, again] =
        logOn(signedServer, asked[0].sha256Fingerprint, true);
    EXPECT_TRUE(changed) << changedText;
    ASSERT_EQ(again.size(), 1U);
    EXPECT_TRUE(again[0].changed);
    ASSERT_EQ(::setenv("SSL_CERT_FILE", (Certificates() / "ca.crt").c_str(), 1), 0);
    const auto [verified, verifiedText, unasked] = logOn(signedServer, "", false);
    EXPECT_TRUE(verified) << verifiedText;
    EXPECT_THAT(unasked, ::testing::IsEmpty());
}

// The session operations: the user's answer is asked once and remembered with the host,
// which from then on is never spoken to in clear text.
TEST(TlsSessions, TrustAndTlsAreRememberedPerHost) {
    TlsServer server(kPyftpdlib, "other");
    FakeWindow window;
    SharedState shared;
    const Config config{"", "", server.port, kTestIdleTimeout};
    const InstallerContext context{window, shared, config};
    ScratchDirectory dir;
    WriteFileBytes(dir.File("klv.cgi"), "#!/bin/sh\n");
    SessionArguments arguments{server.host, server.user, "secret", dir.File("klv.cgi"),
                               "klv.cgi",   0,           1};
    EXPECT_FALSE(UploadOnce(context, arguments));  // the window answers "Cancel"
    EXPECT_THAT(window.messages, ::testing::ElementsAre(std::string(ftp::kCertificateNotTrusted)));
    window.trustCertificates = true;
    EXPECT_TRUE(UploadOnce(context, arguments));
    EXPECT_TRUE(SessionLogOn(context, arguments));
    EXPECT_TRUE(
        SessionPutPage(context, {server.host, "", "", dir.File("klv.cgi"), "page.html", 0, 0}));
    SessionLogOff(context);
    EXPECT_EQ(window.certificates.size(), 2U);  // "Cancel", then "Trust"; then remembered
    EXPECT_EQ(ReadFileBytes(server.home / "page.html"), "#!/bin/sh\n");
    struct stat status {};
    EXPECT_EQ(::stat((server.home / "klv.cgi").c_str(), &status) == 0 ? status.st_mode & 0777 : 0,
              0755U);

    PyFtpServer plain;  // refuses "AUTH TLS"
    arguments.server = "127.0.0.1";
    shared.trustStore->RememberSpokeTls("127.0.0.1:" + std::to_string(plain.port()));
    EXPECT_FALSE(
        SessionLogOn({window, shared, Config{"", "", plain.port(), kTestIdleTimeout}}, arguments));
    EXPECT_EQ(window.messages.back(), ftp::kTlsDowngrade);
}

}  // namespace
}  // namespace klv::testing
