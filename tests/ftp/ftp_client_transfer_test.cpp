// TransferFile against a scripted server: the exact dialogue, the bytes that move, and
// every way a transfer can fail, with the text and the stage it leaves.
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "tests/ftp/ftp_test_helpers.h"

namespace klv::ftp {
namespace {

using klv::testing::FakeFtpServer;
using klv::testing::kShortIdleTimeout;
using klv::testing::kTestIdleTimeout;
using klv::testing::ReadFileBytes;
using klv::testing::ScratchDirectory;
using klv::testing::WriteFileBytes;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// Compares without printing megabytes of binary on failure.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
        ++at;
    }
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                         << ", first difference at byte " << at;
}

constexpr char kLogonLine[] = "USER klv\r\n";

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xff);
    }
    return bytes;
}

// The six numbers of the first PORT line in `sent`, if it is "PORT n,n,n,n,n,n" + CR LF
// with nothing but decimal digits between the commas.
std::optional<std::array<int, 6>> PortNumbers(const std::string& sent) {
    const auto start = sent.find("PORT ");
    const auto end = sent.find("\r\n", start);
    if (start == std::string::npos || end == std::string::npos) {
        return std::nullopt;
    }
    const std::string argument = sent.substr(start + 5, end - start - 5);
    std::array<int, 6> numbers{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        std::size_t digits = 0;
        while (at + digits < argument.size() && argument[at + digits] >= '0' &&
               argument[at + digits] <= '9') {
            ++digits;
        }
        if (digits == 0 || digits > 5) {
            return std::nullopt;
        }
        numbers[i] = std::stoi(argument.substr(at, digits));
        at += digits;
        if (i + 1 < numbers.size()) {
            if (at >= argument.size() || argument[at] != ',') {
                return std::nullopt;
            }
            ++at;
        }
    }
    if (at != argument.size()) {
        return std::nullopt;
    }
    return numbers;
}

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override { klv::testing::ScriptLogon(server); }

    void LogOn() {
        server.Start();
        client.setIdleTimeout(kTestIdleTimeout);
        ASSERT_TRUE(client.LogOn(klv::testing::DirectLogon(server.port()))) << client.replyText();
    }
    void Finish() {
        client.Disconnect();
        server.Finish();
        EXPECT_THAT(server.errors(), IsEmpty());
    }
    // Everything the client sent after its logon.
    std::string Sent() const {
        const std::string all = server.transcript();
        return all.compare(0, std::strlen(kLogonLine), kLogonLine) == 0
                   ? all.substr(std::strlen(kLogonLine))
                   : all;
    }
    bool Upload(const std::string& remote, const std::string& local, DataConnection mode,
                TransferType type = TransferType::Image) {
        return client.TransferFile(remote, local, mode, Direction::Upload, type);
    }
    bool Download(const std::string& remote, const std::string& local, DataConnection mode,
                  TransferType type = TransferType::Image) {
        return client.TransferFile(remote, local, mode, Direction::Download, type);
    }

    FakeFtpServer server;
    FtpClient client;
    ScratchDirectory dir;
};

// --- the dialogue and the bytes ---------------------------------------------------------

TEST_F(TransferTest, ActiveUploadSendsTheFileUnchangedInAsciiType) {
    const std::string content = "#!/usr/bin/perl\r\nprint \"ok\";\r\n\r\nlast line\n";
    WriteFileBytes(dir.File("klvcfg.cgi"), content);
    server.Expect("TYPE A")
        .Reply("200 Type set to A\r\n")
        .ExpectStartingWith("PORT 127,0,0,1,")
        .Reply("200 PORT ok\r\n")
        .Expect("STOR cgi-bin/klvcfg.cgi")
        .Reply("150 Opening data connection\r\n")
        .ConnectData()
        .ReceiveData()
        .CloseData()
        .Reply("226 Transfer complete\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_TRUE(Upload("cgi-bin/klvcfg.cgi", dir.File("klvcfg.cgi"), DataConnection::Active,
                       TransferType::Ascii));
    EXPECT_EQ(client.replyText(), "226 Transfer complete");
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Done);
    EXPECT_TRUE(client.connected());
    Finish();
    EXPECT_TRUE(SameBytes(server.receivedData(), content));
    const std::string sent = Sent();
    EXPECT_THAT(sent, StartsWith("TYPE A\r\nPORT 127,0,0,1,"));
    EXPECT_THAT(sent, ::testing::EndsWith("\r\nSTOR cgi-bin/klvcfg.cgi\r\n"));
    EXPECT_TRUE(PortNumbers(sent).has_value()) << sent;
}

TEST_F(TransferTest, PortArgumentNamesTheListeningSocket) {
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("RETR f")
        .Reply("150 go\r\n")
        .ConnectData()  // to exactly the address and port the PORT line names
        .SendData("x")
        .CloseData()
        .Reply("226 ok\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_TRUE(Download("f", dir.File("f"), DataConnection::Active)) << client.replyText();
    Finish();
    const auto numbers = PortNumbers(Sent());
    ASSERT_TRUE(numbers.has_value()) << Sent();
    EXPECT_EQ((std::array<int, 4>{(*numbers)[0], (*numbers)[1], (*numbers)[2], (*numbers)[3]}),
              (std::array<int, 4>{127, 0, 0, 1}));
    EXPECT_LT((*numbers)[4], 256);
    EXPECT_LT((*numbers)[5], 256);
    EXPECT_GT((*numbers)[4] * 256 + (*numbers)[5], 0);
    EXPECT_EQ(ReadFileBytes(dir.File("f")), "x");
}

TEST_F(TransferTest, PassiveUploadInImageType) {
    const std::string content = RandomBytes(300000, 1);
    WriteFileBytes(dir.File("klv.jpg"), content);
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 Type set to I\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort))
        .Expect("STOR www/klv/klv.jpg")
        .AcceptData()
        .Reply("150 ok\r\n")
        .ReceiveData()
        .CloseData()
        .Reply("226 done\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_TRUE(Upload("www/klv/klv.jpg", dir.File("klv.jpg"), DataConnection::Passive));
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Done);
    Finish();
    EXPECT_TRUE(SameBytes(server.receivedData(), content));
    EXPECT_EQ(Sent(), "TYPE I\r\nPASV\r\nSTOR www/klv/klv.jpg\r\n");
}

TEST_F(TransferTest, ActiveDownloadStoresTheBytesUnchanged) {
    const std::string content = "line one\r\nline two\nbare cr\r" + RandomBytes(20000, 2);
    server.Expect("TYPE A")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT 127,0,0,1,")
        .Reply("200 ok\r\n")
        .Expect("RETR list.txt")
        .Reply("150 here it comes\r\n")
        .ConnectData()
        .SendData(content)
        .CloseData()
        .Reply("226 done\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_TRUE(
        Download("list.txt", dir.File("list.txt"), DataConnection::Active, TransferType::Ascii));
    Finish();
    EXPECT_TRUE(SameBytes(ReadFileBytes(dir.File("list.txt")), content));
}

TEST_F(TransferTest, PassiveDownloadWithMultiLineReplies) {
    const std::string content = RandomBytes(100000, 3);
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200-Type\r\n200 set\r\n")
        .Expect("PASV")
        .Reply("227-Passive\r\n" + FakeFtpServer::PasvReply(dataPort))
        .Expect("RETR klv.cgi")
        .AcceptData()
        .ReplyByteByByte("150-Opening\r\n150 BINARY\r\n")
        .SendData(content)
        .CloseData()
        .Reply("226-Done\r\n226 bye\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_TRUE(Download("klv.cgi", dir.File("klv.cgi"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), "226 bye");
    Finish();
    EXPECT_TRUE(SameBytes(ReadFileBytes(dir.File("klv.cgi")), content));
}

TEST_F(TransferTest, UploadEndsItsDataConnectionInOrderEvenWhenTheServerSentBytes) {
    // Closing a socket with unread bytes sends a reset, and a reset can cost the server
    // the end of the file; the client ends its side first and reads until the server's.
    const std::string content = RandomBytes(200000, 7);
    WriteFileBytes(dir.File("f"), content);
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort))
        .Expect("STOR f")
        .AcceptData()
        .SendData("unexpected bytes from the server")
        .Reply("150 ok\r\n")
        .ReceiveData()  // fails on a reset
        .CloseData()
        .Reply("226 ok\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_TRUE(Upload("f", dir.File("f"), DataConnection::Passive)) << client.replyText();
    Finish();
    EXPECT_TRUE(SameBytes(server.receivedData(), content));
}

TEST_F(TransferTest, EmptyUploadOpensAndClosesTheDataConnection) {
    WriteFileBytes(dir.File("empty"), "");
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("STOR empty")
        .Reply("150 ok\r\n")
        .ConnectData()
        .ReceiveData()
        .CloseData()
        .Reply("226 got nothing\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_TRUE(Upload("empty", dir.File("empty"), DataConnection::Active));
    EXPECT_EQ(client.replyText(), "226 got nothing");
    Finish();
    EXPECT_EQ(server.receivedData(), "");
}

TEST_F(TransferTest, DownloadWhoseDataConnectionClosesAtOnceLeavesAnEmptyFile) {
    WriteFileBytes(dir.File("old"), "stale contents");
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort))
        .Expect("RETR old")
        .AcceptData()
        .Reply("150 ok\r\n")
        .CloseData()
        .Reply("226 ok\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_TRUE(Download("old", dir.File("old"), DataConnection::Passive));
    Finish();
    EXPECT_EQ(ReadFileBytes(dir.File("old")), "");
}

TEST_F(TransferTest, SlowDownloadThatKeepsMovingIsNotCutOff) {
    // Each pause is well inside the idle bound; all of them together are not.
    constexpr auto kIdle = std::chrono::milliseconds(400);
    constexpr int kPieces = 12;
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort))
        .Expect("RETR slow")
        .AcceptData()
        .Reply("150 ok\r\n");
    std::string expected;
    for (int piece = 0; piece < kPieces; ++piece) {
        server.Pause(std::chrono::milliseconds(50)).SendData("piece " + std::to_string(piece));
        expected += "piece " + std::to_string(piece);
    }
    server.CloseData().Reply("226 ok\r\n").WaitForClose();
    LogOn();
    client.setIdleTimeout(kIdle);
    EXPECT_TRUE(Download("slow", dir.File("slow"), DataConnection::Passive)) << client.replyText();
    Finish();
    EXPECT_EQ(ReadFileBytes(dir.File("slow")), expected);
}

// --- where the data connection goes -----------------------------------------------------

TEST_F(TransferTest, PassiveConnectsToTheControlPeerNotToThePasvHost) {
    // The reply names 127.0.0.2, where nothing listens; the server's own address works.
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort, "127,0,0,2"))
        .Expect("RETR f")
        .AcceptData()
        .Reply("150 ok\r\n")
        .SendData("from the right host")
        .CloseData()
        .Reply("226 ok\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_TRUE(Download("f", dir.File("f"), DataConnection::Passive)) << client.replyText();
    Finish();
    EXPECT_EQ(ReadFileBytes(dir.File("f")), "from the right host");
}

TEST_F(TransferTest, ActiveListensOnTheControlConnectionsAddressOnly) {
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT 127,0,0,1,")
        .ProbePortAddress("127.0.0.2")
        .Reply("200 ok\r\n")
        .Expect("RETR f")
        .Reply("150 ok\r\n")
        .ConnectData()
        .SendData("data")
        .CloseData()
        .Reply("226 ok\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_TRUE(Download("f", dir.File("f"), DataConnection::Active)) << client.replyText();
    Finish();
    EXPECT_EQ(server.probeResults(), std::vector<bool>{false});
}

TEST_F(TransferTest, ActiveClosesAConnectionFromAnotherAddressAndWaitsForTheServer) {
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT 127,0,0,1,")
        .Reply("200 ok\r\n")
        .Expect("RETR f")
        .Reply("150 ok\r\n")
        .ConnectData("127.0.0.2")
        .ExpectDataClosedUnused()
        .ConnectData("127.0.0.1")
        .SendData("from the server")
        .CloseData()
        .Reply("226 ok\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_TRUE(Download("f", dir.File("f"), DataConnection::Active)) << client.replyText();
    Finish();
    EXPECT_EQ(ReadFileBytes(dir.File("f")), "from the server");
}

// --- failures, in the order of the transfer ----------------------------------------------

TEST_F(TransferTest, LocalFileThatCannotBeOpenedStopsBeforeAnyCommand) {
    server.WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("x", dir.File("missing"), DataConnection::Active));
    EXPECT_EQ(client.replyText(), kUnableToOpenLocalFile);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::LocalFile);
    EXPECT_FALSE(Download("x", dir.File("no-such-dir/x"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), kUnableToOpenLocalFile);
    EXPECT_FALSE(Upload("x", dir.File(""), DataConnection::Passive));  // a directory
    EXPECT_EQ(client.replyText(), kUnableToOpenLocalFile);
    Finish();
    EXPECT_EQ(Sent(), "");
}

TEST_F(TransferTest, RefusedTypeFailsWithItsLine) {
    WriteFileBytes(dir.File("f"), "x");
    server.Expect("TYPE I").Reply("504 Type not supported\r\n").WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), "504 Type not supported");
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Type);
    Finish();
    EXPECT_EQ(Sent(), "TYPE I\r\n");
}

TEST_F(TransferTest, ControlConnectionLostAtTypeIsNetworkError) {
    WriteFileBytes(dir.File("f"), "x");
    server.Expect("TYPE A").CloseControl();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Passive, TransferType::Ascii));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Type);
    Finish();
}

TEST_F(TransferTest, RefusedPasvFailsWithItsLine) {
    WriteFileBytes(dir.File("f"), "x");
    server.Expect("TYPE I").Reply("200 ok\r\n").Expect("PASV").Reply("500 No\r\n").WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), "500 No");
    EXPECT_EQ(client.lastTransferStage(), TransferStage::DataSetup);
    Finish();
}

TEST_F(TransferTest, PasvReplyWithoutParenthesesFailsWithItsLineAndSendsNothingMore) {
    WriteFileBytes(dir.File("f"), "x");
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply("227 Entering Passive Mode 127,0,0,1,19,137\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), "227 Entering Passive Mode 127,0,0,1,19,137");
    EXPECT_EQ(client.lastTransferStage(), TransferStage::DataSetup);
    Finish();
    EXPECT_EQ(Sent(), "TYPE I\r\nPASV\r\n");
}

TEST_F(TransferTest, RefusedPortFailsWithItsLine) {
    WriteFileBytes(dir.File("f"), "x");
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("502 Active mode refused\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Active));
    EXPECT_EQ(client.replyText(), "502 Active mode refused");
    EXPECT_EQ(client.lastTransferStage(), TransferStage::DataSetup);
    Finish();
}

TEST_F(TransferTest, RemoteNameWithALineBreakIsRefusedNotSent) {
    WriteFileBytes(dir.File("f"), "x");
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort))
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("klv.txt\r\nDELE index.html", dir.File("f"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), kCommandHasLineBreak);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::TransferCommand);
    Finish();
    EXPECT_EQ(Sent(), "TYPE I\r\nPASV\r\n");
}

TEST_F(TransferTest, StorRefusedInActiveModeSendsNoData) {
    WriteFileBytes(dir.File("f"), "payload");
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("STOR f")
        .Reply("550 Permission denied\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Active));
    EXPECT_EQ(client.replyText(), "550 Permission denied");
    EXPECT_EQ(client.lastTransferStage(), TransferStage::TransferCommand);
    Finish();
}

TEST_F(TransferTest, StorRefusedInPassiveModeSendsNoData) {
    WriteFileBytes(dir.File("f"), "payload");
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort))
        .Expect("STOR f")
        .AcceptData()
        .Reply("550 Permission denied\r\n")
        .ExpectDataClosedUnused()
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), "550 Permission denied");
    EXPECT_EQ(client.lastTransferStage(), TransferStage::TransferCommand);
    Finish();
}

TEST_F(TransferTest, RefusedDownloadLeavesTheLocalFileCreatedAndEmpty) {
    WriteFileBytes(dir.File("f"), "old contents");
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("RETR f")
        .Reply("550 No such file\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Download("f", dir.File("f"), DataConnection::Active));
    EXPECT_EQ(client.replyText(), "550 No such file");
    Finish();
    EXPECT_EQ(ReadFileBytes(dir.File("f")), "");
}

TEST_F(TransferTest, PreliminaryReplyThatCannotBeReadIsNetworkError) {
    WriteFileBytes(dir.File("f"), "x");
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("STOR f")
        .CloseControl();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Active));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::TransferCommand);
    Finish();
}

TEST_F(TransferTest, ActiveWaitEndsWhenTheServerRepliesInsteadOfConnecting) {
    WriteFileBytes(dir.File("f"), "x");
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("STOR f")
        .Reply("150 ok\r\n")
        .Pause(std::chrono::milliseconds(20))
        .Reply("425 Can't open data connection\r\n")
        .Expect("NOOP")
        .Reply("200 in step\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Active));
    EXPECT_EQ(client.replyText(), "425 Can't open data connection");
    EXPECT_EQ(client.lastTransferStage(), TransferStage::DataConnect);
    // The 425 was consumed: the next command reads its own reply.
    EXPECT_TRUE(client.Command("NOOP"));
    EXPECT_EQ(client.replyText(), "200 in step");
    Finish();
}

TEST_F(TransferTest, ActiveWaitEndsWhenAReplyCameWithThePreliminaryOne) {
    WriteFileBytes(dir.File("f"), "x");
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("STOR f")
        .Reply("150 ok\r\n425 No data connection\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Active));
    EXPECT_EQ(client.replyText(), "425 No data connection");
    EXPECT_EQ(client.lastTransferStage(), TransferStage::DataConnect);
    Finish();
}

TEST_F(TransferTest, ActiveWaitEndsWhenTheControlConnectionCloses) {
    WriteFileBytes(dir.File("f"), "x");
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("STOR f")
        .Reply("150 ok\r\n")
        .CloseControl();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Active));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::DataConnect);
    Finish();
}

TEST_F(TransferTest, ActiveWaitEndsAfterTheIdleBound) {
    WriteFileBytes(dir.File("f"), "x");
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("STOR f")
        .Reply("150 ok\r\n")
        .WaitForClose();
    LogOn();
    client.setIdleTimeout(kShortIdleTimeout);
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Active));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::DataConnect);
    Finish();
}

TEST_F(TransferTest, PassiveConnectionThatCannotBeMadeIsNetworkError) {
    WriteFileBytes(dir.File("f"), "x");
    // A port with nothing listening behind it.
    unsigned closedPort = 0;
    {
        FakeFtpServer unused;
        closedPort = unused.OpenPassiveListener();
    }
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(closedPort))
        .Expect("STOR f")
        .Reply("150 ok\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::DataConnect);
    Finish();
}

TEST_F(TransferTest, PassivePortOutOfRangeIsNotDialled) {
    WriteFileBytes(dir.File("f"), "x");
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply("227 Entering Passive Mode (127,0,0,1,256,21)\r\n")
        .Expect("STOR f")
        .Reply("425 no connection\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), "425 no connection");
    EXPECT_EQ(client.lastTransferStage(), TransferStage::TransferCommand);
    Finish();
}

TEST_F(TransferTest, LocalWriteErrorIsFileErrorAndClosesTheConnection) {
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort))
        .Expect("RETR big")
        .AcceptData()
        .Reply("150 ok\r\n")
        .SendData(RandomBytes(64 * 1024, 4))
        .CloseData()
        .Reply("226 Transfer complete\r\n")
        .WaitForClose();
    LogOn();
    // Every write to /dev/full fails with "no space left".
    EXPECT_FALSE(Download("big", "/dev/full", DataConnection::Passive));
    EXPECT_EQ(client.replyText(), kFileError);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Copy);
    // The closing reply is still unread: no later command may take it for its own.
    EXPECT_FALSE(client.connected());
    Finish();
}

TEST_F(TransferTest, LocalReadErrorIsFileError) {
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort))
        .Expect("STOR mem")
        .AcceptData()
        .Reply("150 ok\r\n")
        .WaitForClose();
    LogOn();
    // Opens for reading, but reading at offset 0 fails (nothing is mapped there).
    EXPECT_FALSE(Upload("mem", "/proc/self/mem", DataConnection::Passive));
    EXPECT_EQ(client.replyText(), kFileError);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Copy);
    Finish();
}

TEST_F(TransferTest, DownloadBrokenOffByTheServerIsNetworkErrorNotSuccess) {
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort))
        .Expect("RETR f")
        .AcceptData()
        .Reply("150 ok\r\n")
        // More than the socket buffers hold: sending it all means the client is reading.
        .SendData(RandomBytes(8 << 20, 6))
        .ResetData()
        .Reply("226 Transfer complete\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Download("f", dir.File("f"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Copy);
    Finish();
}

TEST_F(TransferTest, UploadBrokenOffByTheServerIsNetworkErrorNotSuccess) {
    // Larger than every socket buffer between the two ends, so sends are still going on
    // when the reset arrives.
    WriteFileBytes(dir.File("big"), RandomBytes(16 << 20, 5));
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .ExpectStartingWith("PORT ")
        .Reply("200 ok\r\n")
        .Expect("STOR big")
        .Reply("150 ok\r\n")
        .ConnectData()
        .ReceiveSomeData(1)  // the client has accepted and is sending
        .ResetData()
        .Reply("226 Transfer complete\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("big", dir.File("big"), DataConnection::Active));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Copy);
    Finish();
}

TEST_F(TransferTest, ClosingReplyNotOfClassTwoFailsWithItsLine) {
    WriteFileBytes(dir.File("f"), "data");
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort))
        .Expect("STOR f")
        .AcceptData()
        .Reply("150 ok\r\n")
        .ReceiveData()
        .CloseData()
        .Reply("452 Disk full\r\n")
        .WaitForClose();
    LogOn();
    EXPECT_FALSE(Upload("f", dir.File("f"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), "452 Disk full");
    EXPECT_EQ(client.lastTransferStage(), TransferStage::ClosingReply);
    Finish();
    EXPECT_EQ(server.receivedData(), "data");
}

TEST_F(TransferTest, MissingClosingReplyIsNetworkError) {
    const unsigned dataPort = server.OpenPassiveListener();
    server.Expect("TYPE I")
        .Reply("200 ok\r\n")
        .Expect("PASV")
        .Reply(FakeFtpServer::PasvReply(dataPort))
        .Expect("RETR f")
        .AcceptData()
        .Reply("150 ok\r\n")
        .SendData("all of it")
        .CloseData()
        .CloseControl();
    LogOn();
    EXPECT_FALSE(Download("f", dir.File("f"), DataConnection::Passive));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_EQ(client.lastTransferStage(), TransferStage::ClosingReply);
    Finish();
}

TEST(TransferWithoutConnection, FailsWithNetworkError) {
    ScratchDirectory dir;
    WriteFileBytes(dir.File("f"), "x");
    FtpClient client;
    EXPECT_FALSE(client.TransferFile("f", dir.File("f"), DataConnection::Passive, Direction::Upload,
                                     TransferType::Image));
    EXPECT_EQ(client.replyText(), kNetworkError);
    EXPECT_NE(client.lastTransferStage(), TransferStage::Done);
}

}  // namespace
}  // namespace klv::ftp
