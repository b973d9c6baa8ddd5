// "AUTH TLS" against scripted servers that answer what no honest server would, or
// refuse TLS after speaking it before: the logon fails and nothing follows "AUTH TLS".
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ftp/ftp_client.h"
#include "tests/ftp/ftp_test_helpers.h"

namespace klv::testing {
namespace {

struct Hostile {
    const char* name;
    const char* authReply;
    bool required;  // the host spoke TLS before
    std::string_view text;
};

class HostileAuthTest : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileAuthTest, LogonFailsAndNothingFollowsAuthTls) {
    FakeFtpServer server;
    server.Reply("220 ready\r\n").Expect("AUTH TLS").Reply(GetParam().authReply).WaitForClose();
    server.Start();
    ftp::FtpClient client;
    client.setIdleTimeout(kShortIdleTimeout);  // a stalled handshake ends at the idle bound
    ftp::LogonRequest request = DirectLogon(server.port());
    request.tls.attempt = true;
    request.tls.required = GetParam().required;
    EXPECT_FALSE(client.LogOn(request));
    EXPECT_THAT(client.replyText(), ::testing::StartsWith(std::string(GetParam().text)));
    EXPECT_FALSE(client.connected());
    server.Finish();
    EXPECT_THAT(server.errors(), ::testing::IsEmpty());
    // After "AUTH TLS" at most a ClientHello (a TLS record, byte 22), never a command.
    const std::string sent = server.transcript();
    EXPECT_THAT(sent, ::testing::StartsWith("AUTH TLS\r\n"));
    EXPECT_TRUE(sent.size() == 10 || sent[10] == '\x16') << sent;
    EXPECT_THAT(sent, ::testing::Not(::testing::HasSubstr("USER")));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, HostileAuthTest,
    ::testing::Values(
        Hostile{"Garbage", "hello there\r\n", false, "hello there"},
        Hostile{"TemporaryRefusal", "431 Try later\r\n", false, "431 Try later"},
        Hostile{"StalledHandshake", "234 Go ahead\r\n", false, "TLS handshake failed"},
        Hostile{"ClearTextAfter234", "234 Go ahead\r\n230 Logged in\r\n", false,
                ftp::kTlsReplyInjected},
        Hostile{"RefusedByAHostThatSpokeTls", "500 AUTH not understood\r\n", true,
                ftp::kTlsDowngrade},
        Hostile{"StalledAtAHostThatSpokeTls", "234 Go ahead\r\n", true, ftp::kTlsDowngrade}),
    [](const ::testing::TestParamInfo<Hostile>& info) { return info.param.name; });

TEST(AuthTlsRefused, AServerThatNeverSpokeTlsGoesOnInClearText) {
    FakeFtpServer server;
    server.Reply("220 ready\r\n")
        .Expect("AUTH TLS")
        .Reply("500 AUTH not understood\r\n")
        .Expect("USER klv")
        .Reply("230 logged on\r\n")
        .WaitForClose();
    server.Start();
    ftp::FtpClient client;
    client.setIdleTimeout(kTestIdleTimeout);
    ftp::LogonRequest request = DirectLogon(server.port());
    request.tls.attempt = true;
    EXPECT_TRUE(client.LogOn(request)) << client.replyText();
    EXPECT_FALSE(client.tlsActive());
    client.Disconnect();
    server.Finish();
    EXPECT_THAT(server.errors(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace klv::testing
