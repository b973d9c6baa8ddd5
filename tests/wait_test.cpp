// Every kind of wait the program makes ends in time: within a second of Cancel, or at its
// idle bound however the peer trickles its bytes. Each wait is reached at the layer where
// it lives (the FTP client, the HTTP fetch), on the same path the window's runs take.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <thread>

#include "base/cancel.h"
#include "ftp/ftp_client.h"
#include "ftp/sftp_client.h"
#include "tests/support/support.h"
#include "web/fetch.h"

namespace klv {
namespace {

using namespace std::chrono_literals;
using testing::LocalServer;
namespace fs = std::filesystem;

constexpr auto kCancelAfter = 300ms;
constexpr auto kShortBound = 500ms;  // for the rows that the idle bound ends

struct Waiting {
    testing::Scratch scratch;
    std::optional<LocalServer> server;
    ftp::FtpClient client;

    bool LogOn(bool tls = false) {
        ftp::LogonRequest request;
        request.host = server->host;
        request.port = server->port;
        request.tls = {tls, false, "", [](const ftp::CertificateInfo&) { return true; }};
        return client.LogOn(request);
    }
    // Puts a file larger than the sockets' buffers can take in (sparse: made at once).
    bool Put(ftp::DataConnection connection) {
        testing::WriteFile(scratch / "local", "");
        fs::resize_file(scratch / "local", std::size_t{64} << 20);
        return LogOn() &&
               client.Put("page", scratch / "local", connection, ftp::TransferType::Image);
    }

    // SFTP: sshd behind a relay (`server`) that goes silent once the client has sent what
    // the relay's rule says; any host key is trusted.
    std::optional<LocalServer> sshd;
    sftp::SftpClient sftpClient;
    bool SftpLogOn() {
        const auto trust = [](const sftp::HostKeyInfo&) { return true; };
        return sftpClient.LogOn({server->host, server->port, "klv", "s3cret", {.askTrust = trust}});
    }
    bool SftpPut() {
        testing::WriteFile(scratch / "local", "");
        fs::resize_file(scratch / "local", std::size_t{4} << 20);
        return sftpClient.Put("page", scratch / "local", ftp::TransferType::Image);
    }
};

struct Wait {
    const char* name;
    std::vector<std::string> server;  // the scripted FTP server's rules, or "http" or "full"
    std::function<bool(Waiting&)> run;
    bool endedByCancel = true;               // else by an idle bound of kShortBound
    std::function<bool(Waiting&)> before{};  // what must succeed first, before the clock starts
};

// Past the SSH logon (a few KiB from the client), well inside the first SFTP write.
constexpr const char* kSilentInTheFirstWrite = "stall-after=32768";

using ftp::DataConnection;
// clang-format off
const Wait kWaits[] = {
    {.name = "Connect", .server = {"full"},
     .run = [](Waiting& w) { return w.client.Connect(w.server->host, w.server->port); }},
    {.name = "Greeting", .server = {"GREETING=SILENT"},
     .run = [](Waiting& w) { return w.LogOn(); }},
    {.name = "TlsHandshake", .server = {"AUTH=234 Go|SILENT"},
     .run = [](Waiting& w) { return w.LogOn(true); }},
    {.name = "TrickledTlsHandshakeCancelled", .server = {"AUTH=234 Go|TRICKLE"},
     .run = [](Waiting& w) { return w.LogOn(true); }},
    {.name = "TlsServerSilentAfterUser", .server = {"AUTH=234 Go|TLS", "USER=SILENT"},
     .run = [](Waiting& w) { return w.LogOn(true); }},
    {.name = "PassiveData", .server = {"STOR=150 go"},  // the server never reads what is sent
     .run = [](Waiting& w) { return w.Put(DataConnection::Passive); }},
    {.name = "ActiveAccept", .server = {"STOR=150 go"},
     .run = [](Waiting& w) { return w.Put(DataConnection::Active); }},
    {.name = "HttpFetch", .server = {"http"}, .run = [](Waiting& w) {
         // anything but "Cancelled" counts as not ended by Cancel
         return web::FetchUrlToFile(w.server->Url("/x"), w.scratch / "x", {30s}) != web::kCancelled; }},
    {.name = "TrickledGreeting", .server = {"GREETING=SLOW|220 a greeting that comes byte by byte"},
     .run = [](Waiting& w) { return w.LogOn(); }, .endedByCancel = false},
    {.name = "TrickledTlsHandshake", .server = {"AUTH=234 Go|TRICKLE"},
     .run = [](Waiting& w) { return w.LogOn(true); }, .endedByCancel = false},
    {.name = "SshBanner", .server = {"sshd", "stall-after=0"},
     .run = [](Waiting& w) { return w.SftpLogOn(); }},
    // libssh's SFTP calls wait inside libssh: the socket is shut down under them.
    {.name = "SftpWrite", .server = {"sshd", kSilentInTheFirstWrite},
     .run = [](Waiting& w) { return w.SftpPut(); }, .before = &Waiting::SftpLogOn},
    {.name = "SftpWriteIdle", .server = {"sshd", kSilentInTheFirstWrite},
     .run = [](Waiting& w) { return w.SftpPut(); }, .endedByCancel = false,
     .before = &Waiting::SftpLogOn},
};
// clang-format on
class EveryWait : public ::testing::TestWithParam<Wait> {};

TEST_P(EveryWait, EndsWithinASecondOfCancelOrAtItsBound) {
    const Wait& wait = GetParam();
    Waiting waiting;
    std::vector<std::string> server = wait.server;
    if (server[0] == "http") {
        server = {"http", waiting.scratch.path, waiting.scratch / "log", "/x=silent"};
    } else if (server[0] == "sshd") {
        testing::StartSshd(waiting.sshd, waiting.scratch);
        server = {"relay", waiting.sshd->host, std::to_string(waiting.sshd->port), server[1]};
    } else if (server[0] != "full") {
        server.insert(server.begin(), {"ftp", waiting.scratch / "log"});
    }
    waiting.server.emplace(server);
    waiting.client.setIdleTimeout(wait.endedByCancel ? 30s : kShortBound);
    if (wait.before) {
        waiting.sftpClient.setIdleTimeout(5s);
        ASSERT_TRUE(wait.before(waiting)) << waiting.sftpClient.replyText();
    }
    waiting.sftpClient.setIdleTimeout(wait.endedByCancel ? 30s : kShortBound);

    CancelToken token;
    const RunScope scope(token);
    const auto start = Clock::now();  // before the canceller's clock starts
    std::jthread canceller;
    if (wait.endedByCancel) {
        canceller = std::jthread([&token] {
            std::this_thread::sleep_for(kCancelAfter);
            token.Cancel();
        });
    }
    EXPECT_FALSE(wait.run(waiting));
    EXPECT_FALSE(waiting.sftpClient.connected());
    const auto took = Clock::now() - start;
    const auto end = wait.endedByCancel ? kCancelAfter : kShortBound;
    EXPECT_GE(took, end);  // it did wait: nothing failed early for another reason
    EXPECT_LT(took, end + 1s);
}

INSTANTIATE_TEST_SUITE_P(Table, EveryWait, ::testing::ValuesIn(kWaits), testing::RowName);

}  // namespace
}  // namespace klv
