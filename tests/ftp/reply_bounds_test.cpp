// A conversation that may have lost step ends, and no reply is read without end.
#include <functional>
#include <string>

#include "tests/ftp/ftp_test_helpers.h"

namespace klv::ftp {
namespace {

using klv::testing::FakeFtpServer;
using klv::testing::kTestIdleTimeout;

// A reply of `lines` lines: continuation lines, then the closing one.
std::string ReplyOfLines(std::size_t lines) {
    std::string reply;
    for (std::size_t i = 1; i < lines; ++i) {
        reply += "220-more\r\n";
    }
    return reply + "220 done\r\n";
}

struct BoundCase {
    const char* name;
    std::function<void(FakeFtpServer&)> script;
    bool read;
};

class ReplyBound : public ::testing::TestWithParam<BoundCase> {};

TEST_P(ReplyBound, WholeReplyWithinTheIdleBoundAndAThousandLines) {
    FakeFtpServer server;
    GetParam().script(server);
    server.Start();
    FtpClient client;
    client.setIdleTimeout(std::chrono::milliseconds(1000));
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    EXPECT_EQ(client.Command(""), GetParam().read);
    EXPECT_EQ(client.replyText(), GetParam().read ? "220 done" : kNetworkError);
    EXPECT_EQ(client.connected(), GetParam().read);
    client.Disconnect();
    server.Finish();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyBound,
    ::testing::Values(
        BoundCase{"ThousandLines", [](FakeFtpServer& s) { s.Reply(ReplyOfLines(1000)); }, true},
        BoundCase{"ThousandAndOneLines", [](FakeFtpServer& s) { s.Reply(ReplyOfLines(1001)); },
                  false},
        // Every line well within the idle bound, the whole reply far beyond it.
        BoundCase{"TricklingLines",
                  [](FakeFtpServer& s) {
                      for (int i = 0; i < 8; ++i) {
                          s.Reply("220-still coming\r\n").Pause(std::chrono::milliseconds(300));
                      }
                      s.Reply("220 done\r\n");
                  },
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

// After each of these failures a reply may still be on its way; the next command must
// not take it for its own.
struct StepCase {
    const char* name;
    std::function<void(FakeFtpServer&, unsigned dataPort)> script;
    const char* localFile;
};

class OutOfStep : public ::testing::TestWithParam<StepCase> {};

TEST_P(OutOfStep, FailureClosesTheControlConnection) {
    FakeFtpServer server;
    klv::testing::ScriptLogon(server).Expect("TYPE I").Reply("200 ok\r\n");
    GetParam().script(server, server.OpenPassiveListener());
    server.Start();
    FtpClient client;
    client.setIdleTimeout(kTestIdleTimeout);
    ASSERT_TRUE(client.LogOn(klv::testing::DirectLogon(server.port())));
    EXPECT_FALSE(client.TransferFile("f", GetParam().localFile, DataConnection::Passive,
                                     Direction::Download, TransferType::Image));
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(client.Command("NOOP"));  // not the stale reply
    EXPECT_EQ(client.replyText(), kNetworkError);
    server.Finish();
}

INSTANTIATE_TEST_SUITE_P(
    Failures, OutOfStep,
    ::testing::Values(StepCase{"OverLongReplyLine",
                               [](FakeFtpServer& s, unsigned) {
                                   s.Expect("PASV")
                                       .Reply(std::string(kMaxLineLength + 10, 'x') +
                                              "\r\n227 late\r\n")
                                       .WaitForClose();
                               },
                               "/dev/null"},
                      StepCase{"PassiveConnectFails",
                               [](FakeFtpServer& s, unsigned) {
                                   s.Expect("PASV")
                                       .Reply(FakeFtpServer::PasvReply(
                                           1))  // nothing listens on port 1
                                       .Expect("RETR f")
                                       .Reply("150 ok\r\n")
                                       .Reply("425 no data connection\r\n")
                                       .WaitForClose();
                               },
                               "/dev/null"},
                      StepCase{"CopyFailsMidway",
                               [](FakeFtpServer& s, unsigned dataPort) {
                                   s.Expect("PASV")
                                       .Reply(FakeFtpServer::PasvReply(dataPort))
                                       .Expect("RETR f")
                                       .AcceptData()
                                       .Reply("150 ok\r\n")
                                       .SendData(std::string(64 * 1024, 'd'))
                                       .CloseData()
                                       .Reply("226 Transfer complete\r\n")
                                       .WaitForClose();
                               },
                               "/dev/full"}),  // every write fails: no space left
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace klv::ftp
