// The client against scripted servers: TYPE only when the connection's type changes, and
// "AUTH TLS" answered as no honest server would, or refused by a host that spoke TLS
// before. A failed "AUTH TLS" is followed by no command at all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ftp/ftp_client.h"
#include "tests/ftp/ftp_test_helpers.h"
#include "tests/support/files.h"

namespace klv::testing {
namespace {

TEST(TypeOncePerChange, SentOnlyWhenTheConnectionsTypeChanges) {
    ScratchDirectory dir;
    WriteFileBytes(dir.File("page"), "x");
    FakeFtpServer first, second;
    ScriptLogon(first);
    const char* script[] = {"TYPE A", "200", "PASV", "502", "PASV",   "502", "TYPE I", "504",
                            "TYPE I", "200", "PASV", "502", "TYPE A", "200", "PASV",   "502"};
    for (std::size_t i = 0; i < std::size(script); i += 2) {
        first.Expect(script[i]).Reply(std::string(script[i + 1]) + " ok\r\n");
    }
    ScriptLogon(second).Expect("TYPE A").Reply("200 A\r\n").Expect("PASV").Reply("502 no\r\n");
    first.WaitForClose().Start();
    second.WaitForClose().Start();
    ftp::FtpClient client;
    const auto upload = [&](ftp::TransferType type) {
        (void)client.TransferFile("p", dir.File("page"), ftp::DataConnection::Passive,
                                  ftp::Direction::Upload, type);
        return client.lastTransferStage();
    };
    using ftp::TransferStage, ftp::TransferType;
    ASSERT_TRUE(client.LogOn(DirectLogon(first.port())));
    EXPECT_EQ(upload(TransferType::Ascii), TransferStage::DataSetup);
    EXPECT_EQ(upload(TransferType::Ascii), TransferStage::DataSetup);
    EXPECT_EQ(upload(TransferType::Image), TransferStage::Type);  // refused: asked again
    EXPECT_EQ(upload(TransferType::Image), TransferStage::DataSetup);
    EXPECT_EQ(upload(TransferType::Ascii), TransferStage::DataSetup);
    ASSERT_TRUE(client.LogOn(DirectLogon(second.port())));  // a new connection knows none
    EXPECT_EQ(upload(TransferType::Ascii), TransferStage::DataSetup);
    client.Disconnect();
    for (FakeFtpServer* server : {&first, &second}) {
        server->Finish();
        EXPECT_THAT(server->errors(), ::testing::IsEmpty());
    }
}

// Name, reply to "AUTH TLS", whether the host spoke TLS before, the logon's failure text.
using Hostile = std::tuple<const char*, const char*, bool, std::string_view>;

class HostileAuthTest : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileAuthTest, LogonFailsAndNothingFollowsAuthTls) {
    const auto& [name, authReply, required, text] = GetParam();
    FakeFtpServer server;
    server.Reply("220 ready\r\n").Expect("AUTH TLS").Reply(authReply).WaitForClose().Start();
    ftp::FtpClient client;
    client.setIdleTimeout(kShortIdleTimeout);  // a stalled handshake ends at the idle bound
    ftp::LogonRequest request = DirectLogon(server.port());
    request.tls.attempt = true;
    request.tls.required = required;
    EXPECT_FALSE(client.LogOn(request));
    EXPECT_THAT(client.replyText(), ::testing::StartsWith(std::string(text)));
    server.Finish();
    EXPECT_THAT(server.errors(), ::testing::IsEmpty());
    // After "AUTH TLS" at most a ClientHello (a TLS record, byte 22), never a command.
    const std::string sent = server.transcript();
    EXPECT_THAT(sent, ::testing::StartsWith("AUTH TLS\r\n"));
    EXPECT_TRUE(sent.size() == 10 || sent[10] == '\x16') << sent;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, HostileAuthTest,
    ::testing::Values(Hostile{"Garbage", "hello there\r\n", false, "hello there"},
                      Hostile{"StalledHandshake", "234 Go\r\n", false, "TLS handshake failed"},
                      Hostile{"ClearTextAfter234", "234 Go\r\n230 In\r\n", false,
                              ftp::kTlsReplyInjected},
                      Hostile{"RefusedByATlsHost", "500 What?\r\n", true, ftp::kTlsDowngrade},
                      Hostile{"StalledAtATlsHost", "234 Go\r\n", true, ftp::kTlsDowngrade}),
    [](const ::testing::TestParamInfo<Hostile>& info) { return std::get<0>(info.param); });

}  // namespace
}  // namespace klv::testing
