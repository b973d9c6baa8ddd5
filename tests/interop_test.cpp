// The upload path against four real FTP servers from Debian: pyftpdlib, and vsftpd,
// proftpd and pure-ftpd unpacked from their packages (servers.py starts them).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "ftp/ftp_client.h"
#include "installer/session.h"
#include "installer/shared_state.h"
#include "installer/workflows.h"
#include "tests/support/support.h"

namespace klv::testing {
namespace {

using namespace std::chrono_literals;
using ftp::DataConnection;
using ftp::Direction;
using ftp::FtpClient;
using ftp::TransferType;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

// What differs between the servers, and the client copes with.
struct Server {
    std::string name;
    bool crLfToLf;         // an ASCII upload is stored with LF line ends (else as sent)
    bool dropsEveryCr;     // ... and without any CR at all
    std::string emptyCwd;  // the reply to "CWD " with nothing after it
};

void PrintTo(const Server& server, std::ostream* out) {
    *out << server.name;
}

class RealServer : public ::testing::TestWithParam<Server> {
protected:
    void SetUp() override {
        fs::create_directories(scratch.path / "home/www/cgi-bin");
        fs::create_directories(scratch.path / "home/www/klv");
        for (const auto& entry : fs::recursive_directory_iterator(scratch.path)) {
            ASSERT_EQ(::chown(entry.path().c_str(), 1000, 1000), 0);  // the servers' user
        }
        if (GetParam().name == "pyftpdlib") {
            server.emplace(std::vector<std::string>{"pyftpd", scratch / "home", "klv", "s3cret"},
                           KLV_FTP_SERVERS);
        } else {
            server.emplace(std::vector<std::string>{"real", GetParam().name, scratch / "home",
                                                    "klv", "s3cret", KLV_FTP_SERVERS_DIR "/root"});
        }
        config.ftpPort = server->port;
        config.idleTimeout = 5s;
        client.setIdleTimeout(5s);
    }
    std::string Local(const std::string& name, const std::string& bytes) const {
        WriteFile(scratch / name, bytes);
        return scratch / name;
    }
    std::string Home(const std::string& name) const { return scratch / ("home/" + name); }
    std::string Ascii(std::string text) const {  // as this server stores an ASCII upload
        for (std::size_t at = 0; at < text.size(); ++at) {
            const bool crLf = text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n';
            if (text[at] == '\r' && (GetParam().dropsEveryCr || (crLf && GetParam().crLfToLf))) {
                text.erase(at--, 1);
            }
        }
        return text;
    }
    SessionArguments Account(std::string remotePath, std::string local, int binary = 0) const {
        return {server->host, "klv", "s3cret", std::move(local), std::move(remotePath), binary, 1};
    }
    InstallerContext Context() { return {window, shared, config}; }

    Scratch scratch;
    std::optional<LocalServer> server;
    FtpClient client;
    FakeWindow window;
    SharedState shared;
    Config config;
};

// A script with every kind of line end, or binary bytes (pseudo-random after a few).
std::string Bytes(bool script) {
    std::string bytes =
        script ? "#!/usr/bin/perl\r\n# lone LF:\nCR CR LF:\r\r\n" : "\r\n\n\r\r\r\n";
    for (unsigned state = 12345; bytes.size() < 200 * 1024;) {
        state = state * 1103515245u + 12345u;
        bytes += script ? "print \"line " + std::to_string(state % 1000) + "\";\r\n"
                        : std::string(1, static_cast<char>(state >> 16));
    }
    return bytes;
}

TEST_P(RealServer, StoresAndFetchesOverActiveAndPassiveConnections) {
    ftp::LogonRequest logon;
    logon.host = server->host;
    logon.port = server->port;
    logon.user = "klv";
    logon.password = "s3cret";
    ASSERT_TRUE(client.LogOn(logon)) << client.replyText();
    const std::string script = Local("script", Bytes(true));
    const std::string image = Local("image", Bytes(false));
    for (const DataConnection connection : {DataConnection::Active, DataConnection::Passive}) {
        const std::string suffix = connection == DataConnection::Active ? "-active" : "-passive";
        EXPECT_TRUE(client.TransferFile("www/klv/ascii" + suffix, script, connection,
                                        Direction::Upload, TransferType::Ascii))
            << client.replyText();
        EXPECT_THAT(client.replyText(), StartsWith("226"));
        EXPECT_EQ(ReadFile(Home("www/klv/ascii" + suffix)), Ascii(Bytes(true)));
        EXPECT_TRUE(client.TransferFile("www/klv/image" + suffix, image, connection,
                                        Direction::Upload, TransferType::Image));
        EXPECT_EQ(ReadFile(Home("www/klv/image" + suffix)), Bytes(false));
        EXPECT_EQ(ModeOf(Home("www/klv/image" + suffix)), 0644u);
        EXPECT_TRUE(client.TransferFile("www/klv/image" + suffix, scratch / ("back" + suffix),
                                        connection, Direction::Download, TransferType::Image));
        EXPECT_THAT(client.replyText(), StartsWith("226"));
        EXPECT_EQ(ReadFile(scratch / ("back" + suffix)), Bytes(false));
    }
    EXPECT_FALSE(client.TransferFile("www/klv/missing", scratch / "missing",
                                     DataConnection::Passive, Direction::Download,
                                     TransferType::Image));
    EXPECT_THAT(client.replyText(), StartsWith("550"));
    const bool accepted = client.Command("CWD ");
    EXPECT_THAT(client.replyText(), StartsWith(GetParam().emptyCwd));
    EXPECT_EQ(accepted, GetParam().emptyCwd[0] == '2');
    EXPECT_TRUE(client.Command("CWD www")) << client.replyText();  // still in step
    client.LogOff();
    EXPECT_FALSE(client.connected());
}

TEST_P(RealServer, UploadOnceStoresTheScriptMakesItExecutableAndShowsEveryReply) {
    shared.showTranscript = 1;
    EXPECT_TRUE(
        UploadOnce(Context(), Account("www/cgi-bin/klvcfg.cgi", Local("cfg", Bytes(true)))));
    EXPECT_TRUE(UploadOnce(Context(), Account("klv.cgi", Local("klv", "#!/bin/sh\r\n"))));
    EXPECT_EQ(ReadFile(Home("www/cgi-bin/klvcfg.cgi")), Ascii(Bytes(true)));
    EXPECT_EQ(ModeOf(Home("www/cgi-bin/klvcfg.cgi")), 0755u);
    EXPECT_EQ(ModeOf(Home("klv.cgi")), 0755u);
    EXPECT_THAT(window.messages, ElementsAre(MatchesRegex("226[^\n]* \n250[^\n]* \n200[^\n]*"),
                                             MatchesRegex("226[^\n]* \n" + GetParam().emptyCwd +
                                                          "[^\n]* \n200[^\n]*")));
    EXPECT_EQ(shared.statusText, kScriptUploadHint);
    config.idleTimeout = 20s;  // pure-ftpd is slow to refuse a password
    EXPECT_FALSE(UploadOnce(Context(), {server->host, "klv", "wrong", "", "", 0, 1}));
    EXPECT_THAT(window.messages.back(), StartsWith("530"));
}

INSTANTIATE_TEST_SUITE_P(Debian, RealServer,
                         ::testing::Values(Server{"pyftpdlib", true, false, "250"},
                                           Server{"vsftpd", false, false, "550"},
                                           Server{"proftpd", true, false, "501"},
                                           Server{"pure-ftpd", true, true, "250"}),
                         [](const auto& info) {
                             return info.param.name == "pure-ftpd" ? "pureftpd" : info.param.name;
                         });

}  // namespace
}  // namespace klv::testing
