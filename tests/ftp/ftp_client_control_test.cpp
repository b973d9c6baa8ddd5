// The control connection: Connect, replies, Command, SendLine, LogOff, Disconnect.
#include <sys/resource.h>
#include <sys/socket.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ftp/tcp_socket.h"
#include "tests/ftp/ftp_test_helpers.h"

namespace klv::ftp {
namespace {

using klv::testing::FakeFtpServer;
using klv::testing::kShortIdleTimeout;
using klv::testing::kTestIdleTimeout;
using ::testing::IsEmpty;

class ControlTest : public ::testing::Test {
protected:
    // Starts the script and connects the client to it.
    void Connect() {
        server.Start();
        client.setIdleTimeout(kTestIdleTimeout);
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port())) << client.replyText();
    }
    void Finish() {
        client.Disconnect();
        server.Finish();
        EXPECT_THAT(server.errors(), IsEmpty());
    }

    FakeFtpServer server;
    FtpClient client;
};

TEST(FtpClientState, StartsDisconnectedWithNoReplyClass) {
    const FtpClient client;
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(client.replyText(), "");
    EXPECT_EQ(client.replyDigit(), 0);
    EXPECT_EQ(client.idleTimeout(), kIdleTimeout);
    EXPECT_EQ(kIdleTimeout, std::chrono::seconds(120));
}

TEST_F(ControlTest, ConnectReadsNothingAndLeavesUnableToCreateSocket) {
    server.Reply("220 hello\r\n").WaitForClose();
    Connect();
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(client.replyText(), kUnableToCreateSocket);
    Finish();
    EXPECT_EQ(server.transcript(), "");
}

TEST_F(ControlTest, SingleLineReply) {
    server.Reply("220 Service ready\r\n").WaitForClose();
    Connect();
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "220 Service ready");
    EXPECT_EQ(client.replyDigit(), 2);
    Finish();
}

TEST_F(ControlTest, MultiLineReplyKeepsItsClosingLine) {
    server.Reply("230-Welcome\r\nsome text\r\n230 Logged on\r\n221 next\r\n").WaitForClose();
    Connect();
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "230 Logged on");
    EXPECT_EQ(client.replyDigit(), 2);
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "221 next");
    Finish();
}

TEST_F(ControlTest, BodyLinesThatLookLikeClosersDoNotEndTheBlock) {
    server.Reply("230-Welcome\r\n230\r\n230-more\r\n231 other\r\n230 \r\n500 after\r\n")
        .WaitForClose();
    Connect();
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "230 ");
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "500 after");
    EXPECT_EQ(client.replyDigit(), 5);
    Finish();
}

TEST_F(ControlTest, ReplyClassFollowsEveryLineOfABlock) {
    // The class is the closing line's, even when the body lines say otherwise.
    server.Reply("250-first\r\n5 body\r\n250 done\r\n").WaitForClose();
    Connect();
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyDigit(), 2);
    Finish();
}

TEST_F(ControlTest, LfOnlyLineEndsAreAccepted) {
    server.Reply("230-a\nb\n230 done\n221 bye\n").WaitForClose();
    Connect();
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "230 done");
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "221 bye");
    Finish();
}

TEST_F(ControlTest, RepliesArrivingOneByteAtATime) {
    server.ReplyByteByByte("220-x\r\nbody\r\n220 ready\r\n331 more\r\n").WaitForClose();
    Connect();
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "220 ready");
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "331 more");
    EXPECT_EQ(client.replyDigit(), 3);
    Finish();
}

TEST_F(ControlTest, TwoCharacterReplyIsCompleteAndOfClassTwo) {
    server.Reply("22\r\n").WaitForClose();
    Connect();
    EXPECT_TRUE(client.Command(""));
    EXPECT_EQ(client.replyText(), "22");
    Finish();
}

TEST_F(ControlTest, ThreeCharacterFirstLineIsCompleteReply) {
    server.Reply("230\r\n").WaitForClose();
    Connect();
    EXPECT_TRUE(client.Command(""));
    EXPECT_EQ(client.replyText(), "230");
    Finish();
}

TEST_F(ControlTest, EmptyReplyLineKeepsTheEarlierClass) {
    server.Reply("331 more\r\n\r\n").WaitForClose();
    Connect();
    EXPECT_FALSE(client.Command(""));
    EXPECT_EQ(client.replyDigit(), 3);
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "");
    EXPECT_EQ(client.replyDigit(), 3);
    Finish();
}

TEST_F(ControlTest, EmptyFirstReplyIsNoSuccess) {
    server.Reply("\r\n").WaitForClose();
    Connect();
    EXPECT_FALSE(client.Command(""));
    EXPECT_EQ(client.replyText(), "");
    EXPECT_EQ(client.replyDigit(), 0);
    Finish();
}

TEST_F(ControlTest, BlockThatNeverClosesEndsInNetworkErrorWhenTheServerCloses) {
    server.Reply("230-Welcome\r\nbody\r\n230-still open\r\n").CloseControl();
    Connect();
    EXPECT_FALSE(client.ReadReply());
    EXPECT_EQ(client.replyText(), kNetworkError);
    Finish();
}

TEST_F(ControlTest, ServerClosingBeforeAnyCharacterIsNetworkError) {
    server.CloseControl();
    Connect();
    EXPECT_FALSE(client.ReadLine());
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_FALSE(client.Command(""));
    EXPECT_EQ(client.replyText(), kNetworkError);
    Finish();
}

TEST_F(ControlTest, LineCutShortByTheServerClosingIsStillALine) {
    server.Reply("220 Hel").CloseControl();
    Connect();
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "220 Hel");
    EXPECT_FALSE(client.ReadReply());
    EXPECT_EQ(client.replyText(), kNetworkError);
    Finish();
}

TEST_F(ControlTest, ClosingLineCutShortByTheServerClosingStillEndsTheBlock) {
    server.Reply("230-Welcome\r\n230 Logg").CloseControl();
    Connect();
    // "230 Logg" arrives whole as a line and closes the block; the cut is not visible.
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), "230 Logg");
    Finish();
}

TEST_F(ControlTest, ConnectionClosingMidBodyLineIsNetworkError) {
    server.Reply("230-Welcome\r\nbo").CloseControl();
    Connect();
    EXPECT_FALSE(client.ReadReply());
    EXPECT_EQ(client.replyText(), kNetworkError);
    Finish();
}

TEST_F(ControlTest, OverLongReplyLineFailsAndClosesTheConnection) {
    server.Reply(std::string(kMaxLineLength + 1, 'x') + "\r\n220 after\r\n").WaitForClose();
    Connect();
    EXPECT_FALSE(client.ReadReply());
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_FALSE(client.connected());
    Finish();
}

TEST_F(ControlTest, ReplyLineOfTheLongestLengthIsRead) {
    const std::string longest = "220 " + std::string(kMaxLineLength - 4, 'y');
    server.Reply(longest + "\r\n").WaitForClose();
    Connect();
    ASSERT_TRUE(client.ReadReply());
    EXPECT_EQ(client.replyText(), longest);
    Finish();
}

struct ClassCase {
    const char* reply;
    bool success;
};

class CommandByClassTest : public ControlTest, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(CommandByClassTest, OnlyClassTwoSucceedsAndTheLineStays) {
    const std::string reply = GetParam().reply;
    server.Expect("NOOP").Reply(reply + "\r\n").WaitForClose();
    Connect();
    EXPECT_EQ(client.Command("NOOP"), GetParam().success);
    EXPECT_EQ(client.replyText(), reply);
    EXPECT_EQ(client.replyDigit(), reply[0] - '0');
    Finish();
    EXPECT_EQ(server.transcript(), "NOOP\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Classes, CommandByClassTest,
    ::testing::Values(ClassCase{"150 Opening", false}, ClassCase{"200 NOOP ok", true},
                      ClassCase{"250 Done", true}, ClassCase{"331 Password required", false},
                      ClassCase{"450 Busy", false}, ClassCase{"550 No", false}));

TEST_F(ControlTest, CommandWithTheEmptyStringSendsNothing) {
    server.Reply("220 hi\r\n").WaitForClose();
    Connect();
    EXPECT_TRUE(client.Command(""));
    Finish();
    EXPECT_EQ(server.transcript(), "");
}

TEST_F(ControlTest, CommandSendsTheLineWithCrLf) {
    server.Expect("SITE chmod 755 klv.cgi").Reply("200 SITE CHMOD ok\r\n").WaitForClose();
    Connect();
    EXPECT_TRUE(client.Command("SITE chmod 755 klv.cgi"));
    Finish();
    EXPECT_EQ(server.transcript(), "SITE chmod 755 klv.cgi\r\n");
}

TEST_F(ControlTest, SendLineLeavesNetworkErrorOnSuccess) {
    server.Expect("NOOP").WaitForClose();
    Connect();
    EXPECT_TRUE(client.SendLine("NOOP"));
    EXPECT_EQ(client.replyText(), kNetworkError);
    Finish();
}

struct SmuggleCase {
    std::string line;
    std::string_view refusal;
};

class SendLineRefusalTest : public ControlTest,
                            public ::testing::WithParamInterface<SmuggleCase> {};

TEST_P(SendLineRefusalTest, LineThatCouldCarryASecondCommandIsNeverSent) {
    server.Expect("NOOP").Reply("200 ok\r\n").WaitForClose();
    Connect();
    EXPECT_FALSE(client.SendLine(GetParam().line));
    EXPECT_EQ(client.replyText(), GetParam().refusal);
    EXPECT_FALSE(client.Command(GetParam().line));
    EXPECT_EQ(client.replyText(), GetParam().refusal);
    // The connection is still in step: the next command is the first thing sent.
    EXPECT_TRUE(client.Command("NOOP"));
    Finish();
    EXPECT_EQ(server.transcript(), "NOOP\r\n");
}

INSTANTIATE_TEST_SUITE_P(Smuggled, SendLineRefusalTest,
                         ::testing::Values(SmuggleCase{"STOR a\r\nDELE b", kCommandHasLineBreak},
                                           SmuggleCase{"USER a\nDELE b", kCommandHasLineBreak},
                                           SmuggleCase{"USER a\r", kCommandHasLineBreak},
                                           SmuggleCase{"\n", kCommandHasLineBreak},
                                           SmuggleCase{std::string("USER a\0b", 8),
                                                       kCommandHasNul}));

TEST(CommandRefusalTexts, SayWhy) {
    EXPECT_EQ(kCommandHasLineBreak, "Command refused: it contains a line break");
    EXPECT_EQ(kCommandHasNul, "Command refused: it contains a NUL byte");
}

TEST_F(ControlTest, LogOffSendsQuitAwaitsNoReplyAndDisconnects) {
    server.Reply("220 hi\r\n").Expect("QUIT").WaitForClose();
    Connect();
    ASSERT_TRUE(client.Command(""));
    client.LogOff();
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_EQ(client.replyDigit(), 2);
    Finish();
    EXPECT_EQ(server.transcript(), "QUIT\r\n");
}

TEST(FtpClientState, LogOffOnADisconnectedClientLeavesNetworkError) {
    FtpClient client;
    client.LogOff();
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_FALSE(client.connected());
}

TEST_F(ControlTest, DisconnectChangesNeitherTextNorClassAndCanBeRepeated) {
    server.Reply("331 more\r\n").WaitForClose();
    Connect();
    EXPECT_FALSE(client.Command(""));
    client.Disconnect();
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(client.replyText(), "331 more");
    EXPECT_EQ(client.replyDigit(), 3);
    client.Disconnect();
    EXPECT_EQ(client.replyText(), "331 more");
    Finish();
    EXPECT_EQ(server.transcript(), "");  // no QUIT
}

TEST(FtpClientState, DisconnectOnANeverConnectedClientDoesNothing) {
    FtpClient client;
    client.Disconnect();
    client.Disconnect();
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(client.replyText(), "");
}

TEST(FtpClientState, OperationsOnADisconnectedClientFailWithNetworkError) {
    FtpClient client;
    EXPECT_FALSE(client.SendLine("NOOP"));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_FALSE(client.ReadReply());
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_FALSE(client.Command(""));
}

TEST(FtpClientLifetime, DestroyingAConnectedClientClosesWithoutQuit) {
    FakeFtpServer server;
    server.Reply("220 hi\r\n").WaitForClose();
    server.Start();
    {
        FtpClient client;
        client.setIdleTimeout(kTestIdleTimeout);
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
        ASSERT_TRUE(client.Command(""));
    }
    server.Finish();
    EXPECT_THAT(server.errors(), IsEmpty());
    EXPECT_EQ(server.transcript(), "");
}

TEST(FtpClientConnect, ConnectReleasesAnEarlierConnectionFirst) {
    FakeFtpServer first;
    FakeFtpServer second;
    // The first server sees its connection closed as soon as the client moves on.
    first.WaitForClose();
    second.Reply("220 second\r\n").WaitForClose();
    first.Start();
    second.Start();
    FtpClient client;
    client.setIdleTimeout(kTestIdleTimeout);
    ASSERT_TRUE(client.Connect("127.0.0.1", first.port()));
    ASSERT_TRUE(client.Connect("127.0.0.1", second.port()));
    first.Finish();
    EXPECT_THAT(first.errors(), IsEmpty());
    ASSERT_TRUE(client.Command(""));
    EXPECT_EQ(client.replyText(), "220 second");
    client.Disconnect();
    second.Finish();
    EXPECT_THAT(second.errors(), IsEmpty());
}

// A loopback port on which nothing listens.
unsigned ClosedPort() {
    const UniqueFd probe = tcp::OpenStreamSocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return ntohs(tcp::LocalAddress(probe.get())->sin_port);
}

TEST(FtpClientConnect, RefusedConnectionIsUnableToConnect) {
    FtpClient client;
    EXPECT_FALSE(client.Connect("127.0.0.1", ClosedPort()));
    EXPECT_EQ(client.replyText(), kUnableToConnect);
    EXPECT_FALSE(client.connected());
}

TEST(FtpClientConnect, HostThatDoesNotResolveIsUnableToConnect) {
    FtpClient client;
    EXPECT_FALSE(client.Connect("", 21));
    EXPECT_EQ(client.replyText(), kUnableToConnect);
    EXPECT_FALSE(client.Connect("127.0.0.1", 0));
    EXPECT_EQ(client.replyText(), kUnableToConnect);
    EXPECT_FALSE(client.Connect("127.0.0.1", 65536));
    EXPECT_EQ(client.replyText(), kUnableToConnect);
}

// Runs in a child process: with no descriptor left to open, Connect cannot make its socket.
[[noreturn]] void ConnectWithoutDescriptors() {
    rlimit none{};
    ::setrlimit(RLIMIT_NOFILE, &none);
    FtpClient client;
    const bool made = client.Connect("127.0.0.1", 21);
    std::_Exit(!made && client.replyText() == kUnableToCreateSocket ? 0 : 1);
}

TEST(FtpClientConnect, NoDescriptorLeftIsUnableToCreateSocket) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ConnectWithoutDescriptors(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ControlTest, SilentServerEndsTheReadAfterTheIdleBound) {
    server.Reply("220-first line of a block that never ends\r\n").WaitForClose();
    Connect();
    client.setIdleTimeout(kShortIdleTimeout);
    EXPECT_FALSE(client.ReadReply());
    EXPECT_EQ(client.replyText(), kNetworkError);
    Finish();
}

TEST_F(ControlTest, WritingToAClosedConnectionFailsInsteadOfEndingTheProcess) {
    // This test program does not ignore SIGPIPE: only MSG_NOSIGNAL keeps it alive.
    server.CloseControl();
    Connect();
    ASSERT_FALSE(client.ReadLine());  // the server has closed
    bool failed = false;
    for (int attempt = 0; attempt < 1000 && !failed; ++attempt) {
        failed = !client.SendLine("NOOP");
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(client.replyText(), kNetworkError);
    Finish();
}

TEST(FtpClientConnect, ConnectThatNobodyAnswersEndsAfterTheIdleBound) {
    // A listener whose queue is full drops further connection requests unanswered.
    const UniqueFd listener = tcp::OpenStreamSocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    ASSERT_EQ(::listen(listener.get(), 0), 0);
    address = *tcp::LocalAddress(listener.get());
    std::vector<UniqueFd> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(tcp::OpenStreamSocket(/*nonBlocking=*/true));
        (void)::connect(fillers.back().get(), reinterpret_cast<const sockaddr*>(&address),
                        sizeof address);
    }
    FtpClient client;
    client.setIdleTimeout(kShortIdleTimeout);
    EXPECT_FALSE(client.Connect("127.0.0.1", ntohs(address.sin_port)));
    EXPECT_EQ(client.replyText(), kUnableToConnect);
}

}  // namespace
}  // namespace klv::ftp
