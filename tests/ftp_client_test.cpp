// The FTP client against the scripted server of servers.py: the replies, logons and
// transfer failures no real server produces on demand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "ftp/ftp_client.h"
#include "tests/support/testkit.h"

namespace klv::ftp {
namespace {

using namespace std::chrono_literals;
using klv::testing::Lines;
using klv::testing::LocalServer;
using klv::testing::ReadFile;
using klv::testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

LogonRequest Account(std::string user, std::string password = {}, int type = 0) {
    LogonRequest request;
    request.user = std::move(user);
    request.password = std::move(password);
    request.logonType = type;
    return request;
}

class Scripted : public ::testing::Test {
protected:
    void Start(std::vector<std::string> rules) {
        log = scratch / ("log" + std::to_string(++starts));
        rules.insert(rules.begin(), {"ftp", log});
        server.emplace(rules);
        client.setIdleTimeout(2s);
    }
    bool Connect() { return client.Connect(server->host, server->port); }
    bool LogOn(LogonRequest request = {}) {
        if (request.logonType == 0) {
            request.host = server->host;
            request.port = server->port;
        }
        return client.LogOn(request);
    }
    std::vector<std::string> Sent() const { return Lines(log); }
    testing::Scratch scratch;
    std::string log;
    int starts = 0;
    std::optional<LocalServer> server;
    FtpClient client;
};

struct ReplyCase {
    std::string greeting;
    bool ok;
    std::string text;
    int digit;
};

void PrintTo(const ReplyCase& c, std::ostream* out) { *out << c.greeting; }

class Replies : public Scripted, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Replies, EndAtTheClosingLineAndSucceedOnlyInClassTwo) {
    Start({"GREETING=" + GetParam().greeting});
    client.setIdleTimeout(500ms);
    ASSERT_TRUE(Connect());
    EXPECT_EQ(client.Command(""), GetParam().ok);
    EXPECT_EQ(client.replyText(), GetParam().text);
    EXPECT_EQ(client.replyDigit(), GetParam().digit);
}

INSTANTIATE_TEST_SUITE_P(
    Client, Replies,
    ::testing::Values(ReplyCase{"220 ready", true, "220 ready", 2},
                      ReplyCase{"220-a|220 x|220-b|221 c|220 end", true, "220 x", 2},
                      ReplyCase{"220-a|220x|221 c||220 end", true, "220 end", 2},
                      ReplyCase{"22", true, "22", 2}, ReplyCase{"120 wait", false, "120 wait", 1},
                      ReplyCase{"331 more", false, "331 more", 3},
                      ReplyCase{"450 busy", false, "450 busy", 4},
                      ReplyCase{"530 no", false, "530 no", 5},
                      ReplyCase{"", false, "", 0},  // an empty first reply is no success
                      ReplyCase{"CLOSE", false, std::string(kNetworkError), 0},
                      ReplyCase{"220-never|CLOSE", false, std::string(kNetworkError), 2},
                      ReplyCase{"SILENT", false, std::string(kNetworkError), 0}));

TEST_F(Scripted, RepliesArrivingOneByteAtATimeAreReadWhole) {
    Start({"bytewise", "GREETING=220-one|two|220 three"});
    ASSERT_TRUE(Connect());
    EXPECT_TRUE(client.Command(""));
    EXPECT_EQ(client.replyText(), "220 three");
    EXPECT_TRUE(client.Command("CWD www"));
    EXPECT_EQ(client.replyText(), "250 directory changed");
}

TEST_F(Scripted, CommandsCarryingASecondCommandAreNeverSent) {
    Start({});
    ASSERT_TRUE(Connect() && client.Command(""));
    EXPECT_FALSE(client.Command("CWD a\r\nDELE b"));
    EXPECT_EQ(client.replyText(), kCommandHasLineBreak);
    EXPECT_FALSE(client.Command("CWD a\nDELE b"));
    EXPECT_FALSE(client.Command(std::string("CWD a\0b", 7)));
    EXPECT_EQ(client.replyText(), kCommandHasNul);
    EXPECT_TRUE(client.Command("SITE chmod 755 klv.cgi"));
    client.LogOff();
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(client.Command("NOOP"));
    EXPECT_EQ(client.replyText(), kNetworkError);
    for (int wait = 0; wait < 100 && Sent().size() < 2; ++wait) {
        std::this_thread::sleep_for(20ms);  // QUIT awaits no reply
    }
    EXPECT_THAT(Sent(), ElementsAre("SITE chmod 755 klv.cgi", "QUIT"));
}

TEST(Client, ConnectFailuresNameTheirCause) {
    FtpClient client;
    client.setIdleTimeout(2s);
    EXPECT_FALSE(client.Connect("127.0.0.1", testing::ClosedPort()));
    EXPECT_EQ(client.replyText(), kUnableToConnect);
    EXPECT_FALSE(client.Connect("host.invalid", 21));
    EXPECT_EQ(client.replyText(), kUnableToConnect);
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(client.LogOn(Account("u", "p", 9)));
    EXPECT_FALSE(client.LogOn(Account("u", "p", -1)));
    EXPECT_EQ(client.replyText(), kUnableToConnect);  // out of range: nothing dialled
}

// Each logon type walked with every reply of class 2, of class 3 (ACCT aside), and
// mixed; the commands the server saw and whether the client logged on.
struct Walk {
    int type;
    std::vector<std::string> allTwo, allThree, mixed;
    bool twoLogsOn, threeLogsOn;
};

void PrintTo(const Walk& walk, std::ostream* out) { *out << "type " << walk.type; }

class Logon : public Scripted, public ::testing::WithParamInterface<Walk> {
protected:
    bool Run(std::vector<std::string> rules) {
        Start(std::move(rules));
        LogonRequest request = Account("u", "p", GetParam().type);
        request.host = "ftp.target.test";
        request.port = 2121;
        request.account = "a";
        request.firewallHost = server->host;
        request.firewallUser = "fu";
        request.firewallPassword = "fp";
        request.firewallPort = server->port;
        const bool loggedOn = LogOn(request);
        if (!loggedOn && client.replyText() != kLogonFailed) {
            ADD_FAILURE() << client.replyText();
        }
        return loggedOn;
    }
};

TEST_P(Logon, FollowsTheSequenceOfItsType) {
    const Walk& walk = GetParam();
    const std::vector<std::string> two{"USER=230 ok", "PASS=230 ok", "SITE=200 ok", "OPEN=220 ok"};
    EXPECT_EQ(Run(two), walk.twoLogsOn);
    EXPECT_THAT(Sent(), ElementsAreArray(walk.allTwo));
    const std::vector<std::string> three{"USER=331 more", "PASS=332 more", "SITE=331 more",
                                         "OPEN=331 more"};
    EXPECT_EQ(Run(three), walk.threeLogsOn);
    EXPECT_THAT(Sent(), ElementsAreArray(walk.allThree));
    EXPECT_TRUE(Run({"USER=331 more", "SITE=331 more"}));
    EXPECT_THAT(Sent(), ElementsAreArray(walk.mixed));
    if (walk.allThree.back() == "ACCT a") {
        auto moreForAccount = three;
        moreForAccount.push_back("ACCT=332 more");
        EXPECT_FALSE(Run(moreForAccount));
    }
}

const std::string H = "ftp.target.test:2121";
INSTANTIATE_TEST_SUITE_P(
    AllTypes, Logon,
    ::testing::Values(
        Walk{0, {"USER u"}, {"USER u", "PASS p", "ACCT a"}, {"USER u", "PASS p"}, true, true},
        Walk{1,
             {"USER fu", "SITE " + H},
             {"USER fu", "PASS fp"},
             {"USER fu", "PASS fp", "SITE " + H, "USER u", "PASS p"},
             false,
             false},
        Walk{2,
             {"USER fu", "USER u@" + H},
             {"USER fu", "PASS fp"},
             {"USER fu", "PASS fp", "USER u@" + H, "PASS p"},
             true,
             false},
        Walk{3,
             {"OPEN " + H, "USER u"},
             {"OPEN " + H, "USER u", "PASS p", "ACCT a"},
             {"OPEN " + H, "USER u", "PASS p"},
             true,
             true},
        Walk{4,
             {"USER fu", "USER u"},
             {"USER fu", "PASS fp"},
             {"USER fu", "PASS fp", "USER u", "PASS p"},
             true,
             false},
        Walk{5,
             {"USER u@" + H},
             {"USER u@" + H, "PASS p", "ACCT a"},
             {"USER u@" + H, "PASS p"},
             true,
             true},
        Walk{6,
             {"USER fu@" + H, "USER u"},
             {"USER fu@" + H, "PASS fp"},
             {"USER fu@" + H, "PASS fp", "USER u", "PASS p"},
             true,
             false},
        Walk{7,
             {"USER u@" + H + " fu"},
             {"USER u@" + H + " fu", "PASS p", "ACCT a"},
             {"USER u@" + H + " fu", "PASS p"},
             false,
             true},
        Walk{8,
             {"USER u@fu@" + H},
             {"USER u@fu@" + H, "PASS p@fp", "ACCT a"},
             {"USER u@fu@" + H, "PASS p@fp"},
             true,
             true}));

TEST_F(Scripted, ARefusalDuringTheLogonLeavesTheServersLine) {
    Start({"PASS=530 Login incorrect."});
    EXPECT_FALSE(LogOn(Account("u", "wrong")));
    EXPECT_EQ(client.replyText(), "530 Login incorrect.");
    Start({"GREETING=120 not yet"});
    EXPECT_FALSE(LogOn());
    EXPECT_EQ(client.replyText(), "120 not yet");
    Start({"USER=CLOSE"});
    EXPECT_FALSE(LogOn(Account("u")));
    EXPECT_EQ(client.replyText(), kNetworkError);
    Start({"USER=150 odd"});
    EXPECT_FALSE(LogOn(Account("u")));
    EXPECT_EQ(client.replyText(), "150 odd");
}

struct Transfer {
    DataConnection connection;
    Direction direction;
    TransferType type;
};

void PrintTo(const Transfer& t, std::ostream* out) {
    *out << (t.connection == DataConnection::Active ? "active " : "passive ")
         << (t.direction == Direction::Upload ? "upload" : "download");
}

class Transfers : public Scripted, public ::testing::WithParamInterface<Transfer> {};

TEST_P(Transfers, MoveTheBytesUnchangedAndSendTheCommandsInOrder) {
    const auto [connection, direction, type] = GetParam();
    const bool upload = direction == Direction::Upload;
    const std::string bytes = "line\r\nlone\rLF\n\x1a\x7f\xff end";
    Start({"RETR-BYTES=" + bytes});
    const std::string local = scratch / "local";
    WriteFile(local, upload ? bytes : "old content that is longer");
    ASSERT_TRUE(LogOn());
    EXPECT_TRUE(client.TransferFile("www/klv/page", local, connection, direction, type))
        << client.replyText();
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Done);
    EXPECT_EQ(client.replyText(), upload ? "226 stored" : "226 sent");
    EXPECT_EQ(ReadFile(upload ? log + ".stored" : local), bytes);
    const std::vector<std::string> sent = Sent();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[2], type == TransferType::Ascii ? "TYPE A" : "TYPE I");
    if (connection == DataConnection::Active) {
        EXPECT_THAT(sent[3], ::testing::MatchesRegex("PORT 127,0,0,1,[0-9]+,[0-9]+"));
    } else {
        EXPECT_EQ(sent[3], "PASV");
    }
    EXPECT_EQ(sent[4], (upload ? "STOR " : "RETR ") + std::string("www/klv/page"));
    EXPECT_TRUE(client.Command("CWD www"));  // still in step
}

INSTANTIATE_TEST_SUITE_P(
    Client, Transfers,
    ::testing::Values(Transfer{DataConnection::Active, Direction::Upload, TransferType::Ascii},
                      Transfer{DataConnection::Passive, Direction::Upload, TransferType::Image},
                      Transfer{DataConnection::Active, Direction::Download, TransferType::Image},
                      Transfer{DataConnection::Passive, Direction::Download, TransferType::Ascii}));

struct Failure {
    std::string rule;
    DataConnection connection;
    Direction direction;
    TransferStage stage;
    std::string text;
};

void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.rule; }

class Failures : public Scripted, public ::testing::WithParamInterface<Failure> {};

TEST_P(Failures, StopAtTheirStepWithTheServersLineOrTheCause) {
    const Failure& failure = GetParam();
    Start({failure.rule, "RETR-BYTES="});
    client.setIdleTimeout(500ms);
    const std::string local = scratch / "local";
    WriteFile(local, "upload");
    ASSERT_TRUE(LogOn());
    EXPECT_FALSE(client.TransferFile("www/klv/page", local, failure.connection, failure.direction,
                                     TransferType::Image));
    EXPECT_EQ(client.lastTransferStage(), failure.stage);
    EXPECT_EQ(client.replyText(), failure.text);
}

constexpr auto A = DataConnection::Active;
constexpr auto P = DataConnection::Passive;
constexpr auto Up = Direction::Upload;
constexpr auto Down = Direction::Download;
const std::string Net(kNetworkError);
INSTANTIATE_TEST_SUITE_P(
    Client, Failures,
    ::testing::Values(Failure{"TYPE=504 no", A, Up, TransferStage::Type, "504 no"},
                      Failure{"TYPE=CLOSE", P, Up, TransferStage::Type, Net},
                      Failure{"PASV=500 no", P, Up, TransferStage::DataSetup, "500 no"},
                      Failure{"PASV=227 no address", P, Down, TransferStage::DataSetup,
                              "227 no address"},
                      Failure{"PORT=500 no", A, Up, TransferStage::DataSetup, "500 no"},
                      Failure{"STOR=550 denied", A, Up, TransferStage::TransferCommand,
                              "550 denied"},
                      Failure{"STOR=550 denied", P, Up, TransferStage::TransferCommand,
                              "550 denied"},
                      Failure{"RETR=226 odd", P, Down, TransferStage::TransferCommand, "226 odd"},
                      Failure{"STOR=150 go|425 no connection", A, Up, TransferStage::DataConnect,
                              "425 no connection"},
                      Failure{"STOR=150 go|CLOSE", A, Up, TransferStage::DataConnect, Net},
                      Failure{"STOR=150 go|SILENT", A, Up, TransferStage::DataConnect, Net},
                      Failure{"PASV=227 x (127,0,0,1,0,0)", P, Up, TransferStage::DataConnect,
                              Net},
                      Failure{"STOR=150 go|DATA|451 failed", A, Up, TransferStage::ClosingReply,
                              "451 failed"},
                      Failure{"RETR=150 go|DATA|CLOSE", P, Down, TransferStage::ClosingReply,
                              Net},
                      Failure{"RETR=150 go|DATA|SILENT", A, Down, TransferStage::ClosingReply,
                              Net}));

TEST_F(Scripted, LocalFaultsStopBeforeAnyCommand) {
    Start({});
    ASSERT_TRUE(LogOn());
    EXPECT_FALSE(client.TransferFile("x", scratch / "missing", A, Up, TransferType::Image));
    EXPECT_EQ(client.lastTransferStage(), TransferStage::LocalFile);
    EXPECT_EQ(client.replyText(), kUnableToOpenLocalFile);
    EXPECT_FALSE(client.TransferFile("x", scratch / "no/dir", A, Down, TransferType::Image));
    WriteFile(scratch / "local", "");
    EXPECT_FALSE(client.TransferFile("a\r\nDELE b", scratch / "local", P, Up, TransferType::Ascii));
    EXPECT_EQ(client.lastTransferStage(), TransferStage::TransferCommand);
    EXPECT_EQ(client.replyText(), kCommandHasLineBreak);
    EXPECT_THAT(Sent(), ElementsAre("USER ", "PASS ", "TYPE A", "PASV"));
    client.Disconnect();
    EXPECT_FALSE(client.TransferFile("x", scratch / "local", A, Up, TransferType::Image));
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Type);
    EXPECT_EQ(client.replyText(), kNetworkError);
}

}  // namespace
}  // namespace klv::ftp
