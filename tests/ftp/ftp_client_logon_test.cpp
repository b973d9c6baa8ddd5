// LogOn: the nine sequences walked against a scripted server.
#include <string>
#include <vector>

#include "ftp/tcp_socket.h"
#include "tests/ftp/ftp_test_helpers.h"

namespace klv::ftp {
namespace {

using klv::testing::FakeFtpServer;
using klv::testing::kTestIdleTimeout;
using ::testing::IsEmpty;

// The target, as the gateway types name it; never dialled by types 1 to 8.
constexpr char kTarget[] = "ftp.target.test";
constexpr unsigned kTargetPort = 2121;
constexpr char kTargetText[] = "ftp.target.test:2121";

struct Exchange {
    std::string line;  // what the client must send
    int replyClass;    // 2 or 3
};

enum class Outcome { LoggedOn, LogonFailed };

struct Walk {
    std::vector<Exchange> exchanges;
    Outcome outcome;
};

std::string Reply(int replyClass) {
    return replyClass == 2 ? "230 Completed\r\n" : "331 More needed\r\n";
}

LogonRequest RequestFor(int type, unsigned serverPort) {
    LogonRequest request;
    request.user = "u";
    request.password = "p";
    request.account = "a";
    request.firewallUser = "fu";
    request.firewallPassword = "fp";
    request.logonType = type;
    if (type == 0) {
        request.host = "127.0.0.1";
        request.port = serverPort;
    } else {
        request.host = kTarget;
        request.port = kTargetPort;
        request.firewallHost = "127.0.0.1";
        request.firewallPort = serverPort;
    }
    return request;
}

// For type 0 the target is dialled; its host text (with the suffix) is never sent.
const std::string H = kTargetText;

const std::vector<std::vector<Walk>> kWalks = {
    // 0
    {{{{"USER u", 2}}, Outcome::LoggedOn},
     {{{"USER u", 3}, {"PASS p", 2}}, Outcome::LoggedOn},
     {{{"USER u", 3}, {"PASS p", 3}, {"ACCT a", 2}}, Outcome::LoggedOn},
     {{{"USER u", 3}, {"PASS p", 3}, {"ACCT a", 3}}, Outcome::LogonFailed}},
    // 1
    {{{{"USER fu", 2}, {"SITE " + H, 2}}, Outcome::LogonFailed},
     {{{"USER fu", 2}, {"SITE " + H, 3}, {"USER u", 2}}, Outcome::LoggedOn},
     {{{"USER fu", 3}, {"PASS fp", 3}}, Outcome::LogonFailed},
     {{{"USER fu", 3},
       {"PASS fp", 2},
       {"SITE " + H, 3},
       {"USER u", 3},
       {"PASS p", 3},
       {"ACCT a", 2}},
      Outcome::LoggedOn},
     {{{"USER fu", 2}, {"SITE " + H, 3}, {"USER u", 3}, {"PASS p", 3}, {"ACCT a", 3}},
      Outcome::LogonFailed}},
    // 2
    {{{{"USER fu", 2}, {"USER u@" + H, 2}}, Outcome::LoggedOn},
     {{{"USER fu", 3}, {"PASS fp", 2}, {"USER u@" + H, 3}, {"PASS p", 3}, {"ACCT a", 2}},
      Outcome::LoggedOn},
     {{{"USER fu", 3}, {"PASS fp", 3}}, Outcome::LogonFailed},
     {{{"USER fu", 2}, {"USER u@" + H, 3}, {"PASS p", 3}, {"ACCT a", 3}}, Outcome::LogonFailed}},
    // 3
    {{{{"OPEN " + H, 2}, {"USER u", 2}}, Outcome::LoggedOn},
     {{{"OPEN " + H, 3}, {"USER u", 3}, {"PASS p", 2}}, Outcome::LoggedOn},
     {{{"OPEN " + H, 3}, {"USER u", 3}, {"PASS p", 3}, {"ACCT a", 2}}, Outcome::LoggedOn},
     {{{"OPEN " + H, 2}, {"USER u", 3}, {"PASS p", 3}, {"ACCT a", 3}}, Outcome::LogonFailed}},
    // 4
    {{{{"USER fu", 2}, {"USER u", 2}}, Outcome::LoggedOn},
     {{{"USER fu", 3}, {"PASS fp", 2}, {"USER u", 3}, {"PASS p", 3}, {"ACCT a", 2}},
      Outcome::LoggedOn},
     {{{"USER fu", 3}, {"PASS fp", 3}}, Outcome::LogonFailed},
     {{{"USER fu", 2}, {"USER u", 3}, {"PASS p", 3}, {"ACCT a", 3}}, Outcome::LogonFailed}},
    // 5
    {{{{"USER u@" + H, 2}}, Outcome::LoggedOn},
     {{{"USER u@" + H, 3}, {"PASS p", 2}}, Outcome::LoggedOn},
     {{{"USER u@" + H, 3}, {"PASS p", 3}, {"ACCT a", 2}}, Outcome::LoggedOn},
     {{{"USER u@" + H, 3}, {"PASS p", 3}, {"ACCT a", 3}}, Outcome::LogonFailed}},
    // 6
    {{{{"USER fu@" + H, 2}, {"USER u", 2}}, Outcome::LoggedOn},
     {{{"USER fu@" + H, 3}, {"PASS fp", 2}, {"USER u", 3}, {"PASS p", 3}, {"ACCT a", 2}},
      Outcome::LoggedOn},
     {{{"USER fu@" + H, 3}, {"PASS fp", 3}}, Outcome::LogonFailed},
     {{{"USER fu@" + H, 2}, {"USER u", 3}, {"PASS p", 3}, {"ACCT a", 3}}, Outcome::LogonFailed}},
    // 7
    {{{{"USER u@" + H + " fu", 2}}, Outcome::LogonFailed},
     {{{"USER u@" + H + " fu", 3}, {"PASS p", 2}}, Outcome::LoggedOn},
     {{{"USER u@" + H + " fu", 3}, {"PASS p", 3}, {"ACCT a", 2}}, Outcome::LoggedOn},
     {{{"USER u@" + H + " fu", 3}, {"PASS p", 3}, {"ACCT a", 3}}, Outcome::LogonFailed}},
    // 8
    {{{{"USER u@fu@" + H, 2}}, Outcome::LoggedOn},
     {{{"USER u@fu@" + H, 3}, {"PASS p@fp", 2}}, Outcome::LoggedOn},
     {{{"USER u@fu@" + H, 3}, {"PASS p@fp", 3}, {"ACCT a", 2}}, Outcome::LoggedOn},
     {{{"USER u@fu@" + H, 3}, {"PASS p@fp", 3}, {"ACCT a", 3}}, Outcome::LogonFailed}},
};

class LogonWalkTest : public ::testing::TestWithParam<int> {};

TEST_P(LogonWalkTest, WalksEverySequenceByReplyClass) {
    const int type = GetParam();
    for (std::size_t w = 0; w < kWalks[static_cast<std::size_t>(type)].size(); ++w) {
        const Walk& walk = kWalks[static_cast<std::size_t>(type)][w];
        SCOPED_TRACE("walk " + std::to_string(w));
        FakeFtpServer server;
        server.Reply("220 gateway ready\r\n");
        std::string expectedTranscript;
        for (const Exchange& exchange : walk.exchanges) {
            server.Expect(exchange.line).Reply(Reply(exchange.replyClass));
            expectedTranscript += exchange.line + "\r\n";
        }
        server.WaitForClose();
        server.Start();

        FtpClient client;
        client.setIdleTimeout(kTestIdleTimeout);
        const bool loggedOn = client.LogOn(RequestFor(type, server.port()));
        if (walk.outcome == Outcome::LoggedOn) {
            EXPECT_TRUE(loggedOn);
            EXPECT_EQ(client.replyText(), "230 Completed");
        } else {
            EXPECT_FALSE(loggedOn);
            EXPECT_EQ(client.replyText(), kLogonFailed);
        }
        // LogOn never sends QUIT and never disconnects.
        EXPECT_TRUE(client.connected());
        client.Disconnect();
        server.Finish();
        EXPECT_THAT(server.errors(), IsEmpty());
        EXPECT_EQ(server.transcript(), expectedTranscript);
    }
}

TEST_P(LogonWalkTest, RefusalOfTheFirstCommandLeavesTheServersLine) {
    const int type = GetParam();
    FakeFtpServer server;
    server.Reply("220 ready\r\n")
        .Expect(kWalks[static_cast<std::size_t>(type)][0].exchanges[0].line)
        .Reply("530 Not logged in\r\n")
        .WaitForClose();
    server.Start();
    FtpClient client;
    client.setIdleTimeout(kTestIdleTimeout);
    EXPECT_FALSE(client.LogOn(RequestFor(type, server.port())));
    EXPECT_EQ(client.replyText(), "530 Not logged in");
    client.Disconnect();
    server.Finish();
    EXPECT_THAT(server.errors(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(AllTypes, LogonWalkTest, ::testing::Range(0, 9));

class LogonTest : public ::testing::Test {
protected:
    bool LogOn(LogonRequest request) {
        server.Start();
        client.setIdleTimeout(kTestIdleTimeout);
        return client.LogOn(std::move(request));
    }
    void Finish() {
        client.Disconnect();
        server.Finish();
        EXPECT_THAT(server.errors(), IsEmpty());
    }
    FakeFtpServer server;
    FtpClient client;
};

TEST_F(LogonTest, LongestWalkSendsSixCommandsAfterTheGreeting) {
    server.Reply("220 ready\r\n")
        .Expect("USER fu")
        .Reply("331 fw password\r\n")
        .Expect("PASS fp")
        .Reply("230 fw ok\r\n")
        .Expect("SITE " + H)
        .Reply("331 site ok, user please\r\n")
        .Expect("USER u")
        .Reply("331 password\r\n")
        .Expect("PASS p")
        .Reply("332 account\r\n")
        .Expect("ACCT a")
        .Reply("230 in\r\n")
        .WaitForClose();
    EXPECT_TRUE(LogOn(RequestFor(1, server.port())));
    EXPECT_EQ(client.replyText(), "230 in");
    Finish();
}

TEST_F(LogonTest, TypeZeroDialsThePlainHostAndSendsNoSuffix) {
    server.Reply("220 ready\r\n")
        .Expect("USER u")
        .Reply("331 pw\r\n")
        .Expect("PASS p")
        .Reply("230 in\r\n")
        .WaitForClose();
    // The target's port is not 21, so the suffixed text is built, but type 0 never sends it.
    EXPECT_TRUE(LogOn(RequestFor(0, server.port())));
    Finish();
}

TEST_F(LogonTest, GatewayTypeDialsTheFirewallAndNamesTheTargetWithItsPort) {
    server.Reply("220 gateway\r\n")
        .Expect("USER fu")
        .Reply("230 fw ok\r\n")
        .Expect("USER u@ftp.target.test:2121")
        .Reply("230 in\r\n")
        .WaitForClose();
    EXPECT_TRUE(LogOn(RequestFor(2, server.port())));
    Finish();
}

TEST_F(LogonTest, TargetOnPort21IsNamedWithoutSuffix) {
    server.Reply("220 gateway\r\n")
        .Expect("USER u@ftp.target.test")
        .Reply("230 in\r\n")
        .WaitForClose();
    LogonRequest request = RequestFor(5, server.port());
    request.port = 21;
    EXPECT_TRUE(LogOn(request));
    Finish();
}

TEST_F(LogonTest, FieldsAreJoinedAsTheyAre) {
    // Kinds 10 and 11 with empty and spaced fields: nothing is tested or trimmed.
    server.Reply("220 gateway\r\n")
        .Expect("USER @fw user@ftp.target.test:2121")
        .Reply("331 pw\r\n")
        .Expect("PASS @")
        .Reply("230 in\r\n")
        .WaitForClose();
    LogonRequest request = RequestFor(8, server.port());
    request.user = "";
    request.firewallUser = "fw user";
    request.password = "";
    request.firewallPassword = "";
    EXPECT_TRUE(LogOn(request));
    Finish();
}

TEST_F(LogonTest, GreetingOfClassOneFailsWithItsLine) {
    server.Reply("120 Service ready in 5 minutes\r\n").WaitForClose();
    EXPECT_FALSE(LogOn(RequestFor(0, server.port())));
    EXPECT_EQ(client.replyText(), "120 Service ready in 5 minutes");
    Finish();
    EXPECT_EQ(server.transcript(), "");
}

TEST_F(LogonTest, MultiLineGreetingIsReadWhole) {
    server.Reply("220-Welcome\r\n220-Rules\r\n220 Go ahead\r\n")
        .Expect("USER u")
        .Reply("230 in\r\n")
        .WaitForClose();
    EXPECT_TRUE(LogOn(RequestFor(0, server.port())));
    Finish();
}

TEST_F(LogonTest, WrongPasswordLeavesThe530LineNotLogonFailed) {
    server.Reply("220 ready\r\n")
        .Expect("USER u")
        .Reply("331 pw\r\n")
        .Expect("PASS p")
        .Reply("530 Login incorrect.\r\n")
        .WaitForClose();
    EXPECT_FALSE(LogOn(RequestFor(0, server.port())));
    EXPECT_EQ(client.replyText(), "530 Login incorrect.");
    Finish();
}

TEST_F(LogonTest, ReplyOfClassOneDuringTheWalkFailsWithItsLine) {
    server.Reply("220 ready\r\n").Expect("USER u").Reply("150 odd\r\n").WaitForClose();
    EXPECT_FALSE(LogOn(RequestFor(0, server.port())));
    EXPECT_EQ(client.replyText(), "150 odd");
    Finish();
}

TEST_F(LogonTest, ServerClosingDuringTheWalkIsNetworkError) {
    server.Reply("220 ready\r\n").Expect("USER u").CloseControl();
    EXPECT_FALSE(LogOn(RequestFor(0, server.port())));
    EXPECT_EQ(client.replyText(), kNetworkError);
    Finish();
}

TEST_F(LogonTest, ServerClosingBeforeTheGreetingIsNetworkError) {
    server.CloseControl();
    EXPECT_FALSE(LogOn(RequestFor(0, server.port())));
    EXPECT_EQ(client.replyText(), kNetworkError);
    Finish();
}

TEST_F(LogonTest, UserNameWithALineBreakIsRefusedNotSent) {
    server.Reply("220 ready\r\n").WaitForClose();
    LogonRequest request = RequestFor(0, server.port());
    request.user = "anonymous\r\nDELE klv.cgi";
    EXPECT_FALSE(LogOn(request));
    EXPECT_EQ(client.replyText(), kCommandHasLineBreak);
    Finish();
    EXPECT_EQ(server.transcript(), "");
}

TEST_F(LogonTest, LogOnOnAConnectedClientReplacesTheConnection) {
    FakeFtpServer first;
    first.Reply("220 first\r\n").Expect("USER u").Reply("230 in\r\n").WaitForClose();
    first.Start();
    server.Reply("220 second\r\n").Expect("USER u").Reply("230 in again\r\n").WaitForClose();
    client.setIdleTimeout(kTestIdleTimeout);
    ASSERT_TRUE(client.LogOn(RequestFor(0, first.port())));
    EXPECT_TRUE(LogOn(RequestFor(0, server.port())));
    EXPECT_EQ(client.replyText(), "230 in again");
    // The first connection was released, so its server saw it close.
    first.Finish();
    EXPECT_THAT(first.errors(), IsEmpty());
    Finish();
}

class LogonTypeOutOfRangeTest : public ::testing::TestWithParam<int> {};

TEST_P(LogonTypeOutOfRangeTest, DialsNothingAndLeavesTheTextAlone) {
    FakeFtpServer server;  // never started: a connection would wait in its queue
    FtpClient client;
    client.LogOff();  // replyText is now "Network error"
    LogonRequest request = RequestFor(0, server.port());
    request.firewallHost = "127.0.0.1";
    request.firewallPort = server.port();
    request.logonType = GetParam();
    EXPECT_FALSE(client.LogOn(request));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(server.HasPendingConnection());
}

INSTANTIATE_TEST_SUITE_P(OutOfRange, LogonTypeOutOfRangeTest, ::testing::Values(-1, 9, 100));

TEST(LogonConnect, RefusedConnectionLeavesUnableToConnect) {
    // A port with nothing behind it: bind without listen.
    const UniqueFd holder = tcp::OpenStreamSocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const unsigned port = ntohs(tcp::LocalAddress(holder.get())->sin_port);
    FtpClient client;
    EXPECT_FALSE(client.LogOn(RequestFor(3, port)));
    EXPECT_EQ(client.replyText(), kUnableToConnect);
}

}  // namespace
}  // namespace klv::ftp
