// The FTP client against the scripted server of servers.py: the replies, logons and
// transfer failures no real server produces on demand.
#include "ftp/ftp_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "ftp/line_channel.h"
#include "tests/support/support.h"

namespace klv::ftp {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

using testing::Split;

class Scripted : public ::testing::Test {
protected:
    void Start(std::vector<std::string> rules) {
        log = scratch / ("log" + std::to_string(++starts));
        rules.insert(rules.begin(), {"ftp", log});
        server.emplace(rules);
        client.setIdleTimeout(500ms);
    }
    bool LogOn(std::string user = "", int type = 0, TlsOptions tls = {}) {
        LogonRequest request{server->host, server->port, user,         "p",  "a", server->host,
                             "fu",         "fp",         server->port, type, tls};
        if (type != 0) {
            request.host = "ftp.target.test";
            request.port = 2121;
        }
        return client.LogOn(request);
    }
    std::vector<std::string> Sent(std::size_t atLeast = 0) const {
        return testing::Lines(log, atLeast);
    }
    testing::Scratch scratch;
    std::string log;
    int starts = 0;
    std::optional<testing::LocalServer> server;
    FtpClient client;
};

class Replies : public Scripted, public ::testing::WithParamInterface<std::string> {};

// rule;expected replyText;Command's result
TEST_P(Replies, EndAtTheClosingLineAndSucceedOnlyInClassTwo) {
    const std::vector<std::string> row = Split(GetParam() + ";");
    Start({row[0]});
    ASSERT_TRUE(client.Connect(server->host, server->port));
    EXPECT_EQ(client.Command(""), row[2] == "ok");
    EXPECT_EQ(client.replyText(), row[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Client, Replies,
    ::testing::Values("GREETING=220 ready;220 ready;ok",
                      "GREETING=220-a|220 x|220-b|221 c|220 end;220 x;ok",
                      "GREETING=220-a|220x|221 c||220 end;220 end;ok", "GREETING=22;22;ok",
                      "GREETING=120 wait;120 wait;no", "GREETING=331 more;331 more;no",
                      "GREETING=530 no;530 no;no", "GREETING=;;no",
                      "GREETING=CLOSE;Network error;no", "GREETING=220-a|CLOSE;Network error;no",
                      "GREETING=SILENT;Network error;no", "bytewise;220 scripted server ready;ok"));

// A whole reply is read within the idle bound and 1,000 lines, each line within 8 KiB;
// past a bound the reply is left unread, so the connection is closed.
TEST_F(Scripted, AReplyIsBoundedInTimeLinesAndLineLength) {
    const std::tuple<int, std::string, bool> rows[] = {
        {999, "220-more|", true},
        {1000, "220-more|", false},
        {4, "220-more|PAUSE|", false},  // a trickle: each line well within the bound
        {1, "220-" + std::string(kMaxLineLength, 'x') + "|", false}};
    for (const auto& [repeat, piece, read] : rows) {
        std::string greeting = "GREETING=";
        for (int i = 0; i < repeat; ++i) {
            greeting += piece;
        }
        Start({greeting + "220 done"});
        ASSERT_TRUE(client.Connect(server->host, server->port));
        EXPECT_EQ(client.Command(""), read) << repeat;
        EXPECT_EQ(client.replyText(), read ? "220 done" : kNetworkError);
        EXPECT_EQ(client.connected(), read);
    }
    // The bound a trickled reply lowered (to 0.5 s, at its second line) is restored.
    Start({"GREETING=220-a|PAUSE|220-b|PAUSE|220 done", "SITE=PAUSE|PAUSE|200 ok"});
    client.setIdleTimeout(800ms);
    ASSERT_TRUE(client.Connect(server->host, server->port) && client.Command(""));
    EXPECT_TRUE(client.Command("SITE x")) << client.replyText();
}

TEST_F(Scripted, CommandsCarryingASecondCommandAreNeverSent) {
    Start({});
    ASSERT_TRUE(client.Connect(server->host, server->port) && client.Command(""));
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
    EXPECT_THAT(Sent(2), ElementsAre("SITE chmod 755 klv.cgi", "QUIT"));
    EXPECT_FALSE(client.Connect("127.0.0.1", testing::kClosedPort));
    EXPECT_EQ(client.replyText(), kUnableToConnect);
    EXPECT_FALSE(client.Connect("host.invalid", 21));
    EXPECT_EQ(client.replyText(), kUnableToConnect);
    EXPECT_FALSE(LogOn("u", 9) || LogOn("u", -1));  // out of range: nothing dialled
    EXPECT_EQ(client.replyText(), kUnableToConnect);
}

// Each logon type walked with the replies of class 2, of class 3 (ACCT aside), and
// mixed: the commands sent, and "+" where the walk logs on.
class Logon : public Scripted, public ::testing::WithParamInterface<std::string> {};

TEST_P(Logon, FollowsTheSequenceOfItsType) {
    const std::vector<std::string> row = Split(GetParam(), '|');
    const std::vector<std::string> rules[] = {
        {"USER=230 ok", "PASS=230 ok", "SITE=200 ok", "OPEN=220 ok"},
        {"USER=331 more", "PASS=332 more", "SITE=331 more", "OPEN=331 more"},
        {"USER=331 more", "SITE=331 more"},
        {"USER=331 more", "PASS=332 more", "SITE=331 more", "OPEN=331 more", "ACCT=332 more"}};
    for (std::size_t walk = 0; walk < 3; ++walk) {
        Start(rules[walk]);
        std::string sent = LogOn("u", std::stoi(row[0])) ? "+" : client.replyText();
        for (const std::string& line : Sent()) {
            sent += "," + line;
        }
        EXPECT_EQ(sent, row[1 + walk]);
    }
    Start(rules[3]);
    EXPECT_EQ(LogOn("u", std::stoi(row[0])), false);
}

const std::string H = "ftp.target.test:2121";
INSTANTIATE_TEST_SUITE_P(
    AllTypes, Logon,
    ::testing::Values(
        "0|+,USER u|+,USER u,PASS p,ACCT a|+,USER u,PASS p",
        "1|Logon failed,USER fu,SITE " + H +
            "|Logon failed,USER fu,PASS fp|+,USER fu,PASS fp,SITE " + H + ",USER u,PASS p",
        "2|+,USER fu,USER u@" + H + "|Logon failed,USER fu,PASS fp|+,USER fu,PASS fp,USER u@" + H +
            ",PASS p",
        "3|+,OPEN " + H + ",USER u|+,OPEN " + H + ",USER u,PASS p,ACCT a|+,OPEN " + H +
            ",USER u,PASS p",
        "4|+,USER fu,USER u|Logon failed,USER fu,PASS fp|+,USER fu,PASS fp,USER u,PASS p",
        "5|+,USER u@" + H + "|+,USER u@" + H + ",PASS p,ACCT a|+,USER u@" + H + ",PASS p",
        "6|+,USER fu@" + H + ",USER u|Logon failed,USER fu@" + H + ",PASS fp|+,USER fu@" + H +
            ",PASS fp,USER u,PASS p",
        "7|Logon failed,USER u@" + H + " fu|+,USER u@" + H + " fu,PASS p,ACCT a|+,USER u@" + H +
            " fu,PASS p",
        "8|+,USER u@fu@" + H + "|+,USER u@fu@" + H + ",PASS p@fp,ACCT a|+,USER u@fu@" + H +
            ",PASS p@fp"));

TEST_F(Scripted, ARefusalDuringTheLogonLeavesTheServersLine) {
    for (const char* row :
         {"PASS=530 Login incorrect.;530 Login incorrect.", "GREETING=120 not yet;120 not yet",
          "USER=CLOSE;Network error", "USER=150 odd;150 odd"}) {
        Start({Split(row)[0]});
        EXPECT_FALSE(LogOn());
        EXPECT_EQ(client.replyText(), Split(row)[1]);
    }
}

// A reply to "AUTH TLS" (in one write) as no honest server gives, whether the host spoke
// TLS before, and the logon's failure text.
using Hostile = std::tuple<std::string, bool, std::string_view>;
class HostileAuth : public Scripted, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileAuth, LogonFailsAndNothingFollowsAuthTls) {
    const auto& [reply, required, text] = GetParam();
    Start({"AUTH=" + reply});  // a stalled handshake ends at the idle bound
    EXPECT_FALSE(LogOn("", 0, {true, required, "", nullptr}));
    EXPECT_THAT(client.replyText(), ::testing::StartsWith(std::string(text)));
    client.Disconnect();
    // After "AUTH TLS" at most a ClientHello (a TLS record, byte 22), never a command.
    const std::vector<std::string> sent = Sent(1);
    ASSERT_EQ(sent.at(0), "AUTH TLS");
    EXPECT_TRUE(sent.size() == 1 || sent[1].starts_with('\x16')) << sent[1];
}

INSTANTIATE_TEST_SUITE_P(Client, HostileAuth,
                         ::testing::Values(Hostile{"hello there", false, "hello there"},
                                           Hostile{"234 Go", false, "TLS handshake failed"},
                                           Hostile{"234 Go\r\n230 In", false, kTlsReplyInjected},
                                           Hostile{"500 What?", true, kTlsDowngrade},
                                           Hostile{"234 Go", true, kTlsDowngrade},
                                           Hostile{
                                               "234 Go|RESET", false,
                                               "TLS handshake failed: Connection reset by peer"}));

// The ClientHello names the host (SNI) when it is a name, and never an address.
TEST_F(Scripted, TheTlsHandshakeNamesTheHostButNoAddress) {
    for (const std::string host : {"localhost", "127.0.0.1"}) {
        Start({"AUTH=234 Go|SILENT"});
        client.setIdleTimeout(300ms);
        LogonRequest request;
        request.host = host;
        request.port = server->port;
        request.tls.attempt = true;
        EXPECT_FALSE(client.LogOn(request));
        client.Disconnect();
        const std::string hello = testing::ReadFile(log);
        EXPECT_EQ(hello.find(host) != std::string::npos, host == "localhost") << host;
    }
}

class Failures : public Scripted, public ::testing::WithParamInterface<std::string> {};

// rule;P(assive) or A(ctive), and B for a file too big for the sockets' buffers;stage;
// replyText
TEST_P(Failures, StopAtTheirStepWithTheServersLineOrTheCause) {
    const std::vector<std::string> row = Split(GetParam());
    Start({row[0]});
    testing::WriteFile(scratch / "local",
                       row[1].ends_with('B') ? std::string(std::size_t{64} << 20, 'u') : "upload");
    ASSERT_TRUE(LogOn());
    EXPECT_FALSE(client.Put("www/klv/page", scratch / "local",
                            row[1][0] == 'P' ? DataConnection::Passive : DataConnection::Active,
                            TransferType::Image));
    EXPECT_EQ(static_cast<int>(client.lastTransferStage()), std::stoi(row[2]));
    EXPECT_EQ(client.replyText(), row[3]);
}

// The stages: 2 TYPE, 3 data setup, 4 STOR, 5 data connection, 7 closing reply.
INSTANTIATE_TEST_SUITE_P(
    Client, Failures,
    ::testing::Values("TYPE=504 no;A;2;504 no", "TYPE=CLOSE;P;2;Network error",
                      "PASV=500 no;P;3;500 no", "PASV=227 no address;PD;3;227 no address",
                      "PORT=500 no;A;3;500 no", "STOR=550 denied;A;4;550 denied",
                      "STOR=550 denied;P;4;550 denied", "STOR=226 odd;P;4;226 odd",
                      "STOR=150 go|425 no connection;A;5;425 no connection",
                      "STOR=150 go|CLOSE;A;5;Network error", "STOR=150 go;A;5;Network error",
                      "PASV=227 x (127,0,0,1,0,0);P;5;Network error",
                      "STOR=150 go|DATA|451 failed;A;7;451 failed",
                      "STOR=150 go|DATA|CLOSE;P;7;Network error",
                      "STOR=150 go|CUT|226 sent;PB;6;Network error",
                      "STOR=150 go|DATA|SILENT;A;7;Network error"));

// TYPE goes out when the connection's type changes, again after a refusal, and anew on a
// new connection.
TEST_F(Scripted, TypeIsSentOnlyWhenTheConnectionsTypeChanges) {
    testing::WriteFile(scratch / "local", "x");
    const auto upload = [&](TransferType type) {
        (void)client.Put("p", scratch / "local", DataConnection::Passive, type);
        return client.lastTransferStage();
    };
    const TransferType a = TransferType::Ascii, i = TransferType::Image;
    Start({"PASV=502 no", "TYPE#2=504 no"});
    ASSERT_TRUE(LogOn());
    for (const auto& [type, stage] : {std::pair{a, TransferStage::DataSetup},
                                      {a, TransferStage::DataSetup},
                                      {i, TransferStage::Type},
                                      {i, TransferStage::DataSetup},
                                      {a, TransferStage::DataSetup}}) {
        EXPECT_EQ(upload(type), stage);
    }
    EXPECT_THAT(Sent(10), ElementsAre("USER ", "PASS p", "TYPE A", "PASV", "PASV", "TYPE I",
                                      "TYPE I", "PASV", "TYPE A", "PASV"));
    Start({"PASV=502 no"});
    ASSERT_TRUE(LogOn());
    EXPECT_EQ(upload(a), TransferStage::DataSetup);
    EXPECT_THAT(Sent(4), ElementsAre("USER ", "PASS p", "TYPE A", "PASV"));
}

TEST_F(Scripted, LocalFaultsStopBeforeAnyCommand) {
    Start({});
    ASSERT_TRUE(LogOn());
    const std::string local = scratch / "local";
    EXPECT_FALSE(client.Put("x", scratch / "missing", DataConnection::Active, TransferType::Image));
    EXPECT_EQ(client.lastTransferStage(), TransferStage::LocalFile);
    EXPECT_EQ(client.replyText(), kUnableToOpenLocalFile);
    testing::WriteFile(local, "");
    EXPECT_FALSE(client.Put("a\r\nDELE b", local, DataConnection::Passive, TransferType::Ascii));
    EXPECT_EQ(client.lastTransferStage(), TransferStage::TransferCommand);
    EXPECT_EQ(client.replyText(), kCommandHasLineBreak);
    EXPECT_THAT(Sent(), ElementsAre("USER ", "PASS p", "TYPE A", "PASV"));
    client.Disconnect();
    EXPECT_FALSE(client.Put("x", local, DataConnection::Active, TransferType::Image));
    EXPECT_EQ(client.lastTransferStage(), TransferStage::Type);
}

}  // namespace
}  // namespace klv::ftp
